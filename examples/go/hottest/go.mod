module calvex.invalid/examples/hottest

go 1.23

require calvex.invalid/calvex v0.0.0

// Until the client is published, it comes from this checkout.
replace calvex.invalid/calvex => ../../../clients/go
