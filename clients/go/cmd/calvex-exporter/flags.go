package main

import (
	"errors"
	"fmt"
	"io"
	"net"
	"regexp"
	"runtime/debug"
	"slices"
	"strconv"
	"strings"

	"calvex.invalid/calvex"
	"github.com/alecthomas/kingpin/v2"
	"github.com/prometheus/common/promslog"
	"github.com/prometheus/common/promslog/flag"
	"github.com/prometheus/exporter-toolkit/web/kingpinflag"
)

// The command line: the Prometheus exporters' own flags, beside the names
// earlier versions took (kept as aliases, so no launchd property list has
// to change), and the helper commands that take the rest of the words.

// The interval bounds are the helpers' own, as the Go client gives them.
var (
	shortestMs = calvex.ShortestInterval().Milliseconds()
	longestMs  = calvex.LongestInterval().Milliseconds()
	defaultMs  = calvex.DefaultInterval().Milliseconds()
)

const (
	defaultListen  = "127.0.0.1:9879"
	defaultPath    = "/metrics"
	usageStatus    = 2
	helperFlag     = "--helper"
	pressureFlag   = "--pressure-helper"
	placeholderCmd = "CMD ..."
)

// version is set at build time from the repository's VERSION file
// (-ldflags "-X main.version=..."); a plain go build takes the module's
// version from the build information the toolchain writes, where it has
// one (go install calvex.invalid/...@v0.4.0), and says 0.0.0-dev where not.
var version = "0.0.0-dev"

func exporterVersion() string { return builtVersion(version, debug.ReadBuildInfo) }

func builtVersion(set string, read func() (*debug.BuildInfo, bool)) string {
	if set != "0.0.0-dev" {
		return set
	}
	if info, ok := read(); ok && info.Main.Version != "" && info.Main.Version != "(devel)" {
		return strings.TrimPrefix(info.Main.Version, "v")
	}
	return set
}

type settings struct {
	listen         []string
	webConfigFile  string
	telemetryPath  string
	textfile       string
	systemdSocket  bool // listen on the sockets systemd hands over
	intervalMs     int64
	intervalAsked  string // as given, when it had to be raised or capped
	helper         []string
	pressureHelper []string
	log            promslog.Config
}

var wholeNumber = regexp.MustCompile(`^[0-9]+$`)

// usageError is a command line that cannot be run, said in one sentence.
type usageError struct{ message string }

func (e usageError) Error() string { return e.message }

// parseCommandLine reads the words. done is true when there is nothing to
// run (help or version was shown); a usageError says what is wrong.
func parseCommandLine(words []string, out io.Writer) (s settings, done bool, err error) {
	leading, commands, twice := splitHelperCommands(words)
	if len(twice) > 0 {
		return s, false, usageError{twice[0] + " is given twice: give it once, with its command last"}
	}
	for _, option := range []string{helperFlag, pressureFlag} {
		command, given := commands[option]
		if given && len(command) == 0 {
			return s, false, usageError{option + " needs a command after it: " + option + " PATH [ARGUMENTS ...]"}
		}
		if given && command[0] == "" {
			return s, false, usageError{option + " needs a program to run, not an empty word"}
		}
		if given && slices.ContainsFunc(command, func(word string) bool { return strings.ContainsRune(word, 0) }) {
			return s, false, usageError{option + ": a word of the command must not contain a NUL character"}
		}
	}
	if err := negativeInterval(leading); err != nil {
		return s, false, err
	}
	s.helper, s.pressureHelper = commands[helperFlag], commands[pressureFlag]

	app := kingpin.New("calvex-exporter", "Temperature sensors of this Mac for Prometheus, read through the calvex helper.")
	app.HelpFlag.Short('h')
	app.Version("calvex-exporter " + exporterVersion())
	app.UsageWriter(out).ErrorWriter(io.Discard)
	app.Terminate(func(int) { done = true })
	webFlags := kingpinflag.AddFlags(app, defaultListen)
	listenGiven := false
	app.GetFlag("web.listen-address").PreAction(func(*kingpin.ParseContext) error { listenGiven = true; return nil })
	path := app.Flag("web.telemetry-path", "Path under which to expose metrics.").Default(defaultPath).String()
	flag.AddFlags(app, &s.log)
	textfile := app.Flag("textfile", "Write the metrics to PATH for node_exporter's textfile collector instead of serving them.").
		PlaceHolder("PATH").String()
	interval := app.Flag("interval-ms", fmt.Sprintf("Milliseconds between snapshots, from %d to %d.", shortestMs, longestMs)).
		Default(strconv.FormatInt(defaultMs, 10)).String()
	listen := app.Flag("listen", "The same as --web.listen-address (the name earlier versions took).").PlaceHolder("HOST:PORT").Strings()
	webConfig := app.Flag("web-config-file", "The same as --web.config.file (the name earlier versions took).").PlaceHolder("FILE").String()
	// Shown in the help; their words were split off before parsing.
	app.Flag("helper", "Run CMD ... instead of the calvex helper found beside this program or in PATH (comes last: takes the words after it).").
		PlaceHolder(placeholderCmd).String()
	app.Flag("pressure-helper", "Run CMD ... instead of the calvex-pressure helper found beside this program or in PATH (comes last).").
		PlaceHolder(placeholderCmd).String()

	textfileGiven := false
	app.GetFlag("textfile").IsSetByUser(&textfileGiven)
	if _, err := app.Parse(leading); err != nil || done {
		return s, done, toUsageError(err)
	}
	s.textfile, s.telemetryPath, s.systemdSocket = *textfile, *path, *webFlags.WebSystemdSocket
	if textfileGiven && s.textfile == "" {
		return s, false, usageError{"--textfile wants the path of the file to write, not an empty word"}
	}
	if err := s.takeListen(*listen, *webFlags.WebListenAddresses, listenGiven); err != nil {
		return s, false, err
	}
	if err := s.takeWebConfig(*webConfig, *webFlags.WebConfigFile); err != nil {
		return s, false, err
	}
	if !strings.HasPrefix(s.telemetryPath, "/") {
		return s, false, usageError{fmt.Sprintf("--web.telemetry-path wants a path that starts with /, not %q", s.telemetryPath)}
	}
	if strings.ContainsAny(s.telemetryPath, "{} \t\r\n") {
		// The serve mux would read these as a pattern: {x} a wildcard that
		// serves other paths too, a space a method.
		return s, false, usageError{fmt.Sprintf("--web.telemetry-path wants a plain path, without braces or white space, not %q", s.telemetryPath)}
	}
	return s, false, s.takeInterval(*interval)
}

// negativeInterval says a negative --interval-ms the way a wrong number is
// said, where kingpin would take its minus for a flag of its own.
func negativeInterval(words []string) error {
	for at := 0; at+1 < len(words); at++ {
		if words[at] == "--interval-ms" && strings.HasPrefix(words[at+1], "-") && len(words[at+1]) > 1 &&
			strings.ContainsRune("0123456789", rune(words[at+1][1])) {
			return usageError{fmt.Sprintf("--interval-ms wants whole milliseconds, not %q", words[at+1])}
		}
	}
	return nil
}

func toUsageError(err error) error {
	if err == nil {
		return nil
	}
	return usageError{err.Error()}
}

// splitHelperCommands is the words before the first helper option, each
// helper option's command (empty when the option came bare), and the
// helper options given more than once, as the clients' commands say.
func splitHelperCommands(words []string) ([]string, map[string][]string, []string) {
	var leading, twice []string
	commands := map[string][]string{}
	current := ""
	for _, word := range words {
		switch {
		case helperOption(word) != "":
			option, value, hasValue := strings.Cut(word, "=")
			current = option
			if _, seen := commands[option]; seen && !slices.Contains(twice, option) {
				twice = append(twice, option)
			}
			commands[option] = []string{}
			if hasValue { // --helper=PATH, as --help writes it
				commands[option] = append(commands[option], value)
			}
		case current == "":
			leading = append(leading, word)
		default:
			commands[current] = append(commands[current], word)
		}
	}
	return leading, commands, twice
}

func (s *settings) takeListen(aliased, toolkit []string, toolkitGiven bool) error {
	s.listen = append([]string(nil), aliased...)
	if toolkitGiven || len(aliased) == 0 {
		s.listen = append(s.listen, toolkit...)
	}
	if s.textfile != "" && (toolkitGiven || len(aliased) > 0) {
		return usageError{"--textfile and --web.listen-address (or --listen) do not go together: write the file or serve it, not both"}
	}
	for _, address := range s.listen {
		if err := checkAddress(address); err != nil {
			return err
		}
	}
	return nil
}

func checkAddress(address string) error {
	if strings.HasPrefix(address, "vsock://") {
		return nil // the toolkit reads these itself
	}
	_, port, err := net.SplitHostPort(address)
	number, bad := strconv.Atoi(port)
	if err != nil || bad != nil || number < 0 || number > 65535 || !wholeNumber.MatchString(port) {
		return usageError{fmt.Sprintf("a listen address wants HOST:PORT, not %q", address)}
	}
	return nil
}

func (s *settings) takeWebConfig(aliased, toolkit string) error {
	if aliased != "" && toolkit != "" && aliased != toolkit {
		return usageError{"--web.config.file and --web-config-file name two files; give one"}
	}
	s.webConfigFile = toolkit
	if s.webConfigFile == "" {
		s.webConfigFile = aliased
	}
	if s.webConfigFile != "" && s.textfile != "" {
		return usageError{"--web.config.file is for serving; in --textfile mode node_exporter serves the file"}
	}
	return nil
}

func (s *settings) takeInterval(given string) error {
	if !wholeNumber.MatchString(given) {
		return usageError{fmt.Sprintf("--interval-ms wants whole milliseconds, not %q", given)}
	}
	ms, err := strconv.ParseInt(given, 10, 64)
	if errors.Is(err, strconv.ErrRange) {
		ms = longestMs
	}
	s.intervalMs = min(max(ms, shortestMs), longestMs)
	if strconv.FormatInt(s.intervalMs, 10) != strings.TrimLeft(given, "0") {
		s.intervalAsked = given
	}
	return nil
}

// helperOption is the helper option a word gives (bare, or with its first
// word after "="), or "".
func helperOption(word string) string {
	for _, option := range []string{helperFlag, pressureFlag} {
		if word == option || strings.HasPrefix(word, option+"=") {
			return option
		}
	}
	return ""
}
