module calvex.invalid/bench/oneshot

go 1.23

require calvex.invalid/calvex v0.0.0

replace calvex.invalid/calvex => ../../../clients/go
