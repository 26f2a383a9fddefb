module calvex.invalid/bench/authflood

go 1.23
