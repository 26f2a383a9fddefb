module calvex.invalid/calvex/cmd/calvex-exporter

go 1.26.0

require (
	calvex.invalid/calvex v0.0.0
	github.com/alecthomas/kingpin/v2 v2.4.0
	github.com/coreos/go-systemd/v22 v22.7.0
	github.com/prometheus/client_golang v1.25.0
	github.com/prometheus/common v0.74.0
	github.com/prometheus/exporter-toolkit v0.21.0
	go.yaml.in/yaml/v2 v2.4.5
	golang.org/x/crypto v0.59.0
)

require (
	github.com/alecthomas/units v0.0.0-20240927000941-0f3dac36c52b // indirect
	github.com/beorn7/perks v1.0.1 // indirect
	github.com/cespare/xxhash/v2 v2.3.0 // indirect
	github.com/kylelemons/godebug v1.1.0 // indirect
	github.com/mdlayher/socket v0.8.0 // indirect
	github.com/mdlayher/vsock v1.4.0 // indirect
	github.com/munnerz/goautoneg v0.0.0-20191010083416-a7dc8b61c822 // indirect
	github.com/pandatix/go-abnf v0.5.5 // indirect
	github.com/prometheus/client_model v0.6.3 // indirect
	github.com/prometheus/procfs v0.22.0 // indirect
	github.com/xhit/go-str2duration/v2 v2.1.0 // indirect
	golang.org/x/net v0.62.0 // indirect
	golang.org/x/sync v0.25.0 // indirect
	golang.org/x/sys v0.50.0 // indirect
	golang.org/x/time v0.16.0 // indirect
	google.golang.org/protobuf v1.36.12 // indirect
)

// The client is this repository's own module, one folder up.
replace calvex.invalid/calvex => ../..
