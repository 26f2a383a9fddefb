package main

import (
	"errors"
	"fmt"
	"io"
	"net"
	"regexp"
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

// version is set at build time from the repository's VERSION file.
var version = "0.0.0-dev"

type settings struct {
	listen         []string
	webConfigFile  string
	telemetryPath  string
	textfile       string
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
		if command, given := commands[option]; given && len(command) == 0 {
			return s, false, usageError{option + " needs a command after it: " + option + " PATH [ARGUMENTS ...]"}
		}
	}
	s.helper, s.pressureHelper = commands[helperFlag], commands[pressureFlag]

	app := kingpin.New("calvex-exporter", "Temperature sensors of this Mac for Prometheus, read through the calvex helper.")
	app.HelpFlag.Short('h')
	app.Version("calvex-exporter " + version)
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

	if _, err := app.Parse(leading); err != nil || done {
		return s, done, toUsageError(err)
	}
	s.textfile, s.telemetryPath = *textfile, *path
	if err := s.takeListen(*listen, *webFlags.WebListenAddresses, listenGiven); err != nil {
		return s, false, err
	}
	if err := s.takeWebConfig(*webConfig, *webFlags.WebConfigFile); err != nil {
		return s, false, err
	}
	if !strings.HasPrefix(s.telemetryPath, "/") {
		return s, false, usageError{fmt.Sprintf("--web.telemetry-path wants a path that starts with /, not %q", s.telemetryPath)}
	}
	return s, false, s.takeInterval(*interval)
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
		case word == helperFlag || word == pressureFlag:
			current = word
			if _, seen := commands[word]; seen && !slices.Contains(twice, word) {
				twice = append(twice, word)
			}
			commands[word] = []string{}
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
