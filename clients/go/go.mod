module calvex.invalid/calvex

go 1.23
