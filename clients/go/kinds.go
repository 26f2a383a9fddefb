package calvex

import (
	"regexp"
	"sync"
)

// What each sensor measures, from the shared kind table (embedded).

type kindRow struct {
	kind      string
	wholeName *regexp.Regexp
}

var kindRows = func() []kindRow {
	rows := make([]kindRow, 0, len(table.Rows))
	for _, row := range table.Rows {
		flags := ""
		if row.IgnoreCase {
			flags = "(?i)"
		}
		rows = append(rows, kindRow{row.Kind, regexp.MustCompile(flags + "^(?:" + row.Pattern + ")$")})
	}
	return rows
}()

// Names repeat from snapshot to snapshot, so each is matched once; the
// bound keeps a helper that invents names from growing the cache.
const knownNamesKept = 4096

var (
	knownMutex sync.Mutex
	known      = map[string]string{}
)

// Kinds is every kind, in the table's order ("other" last).
func Kinds() []string { return append([]string(nil), table.Kinds...) }

// KindOf is the kind of a sensor name: the first row of the shared table
// that matches it whole, or "other".
func KindOf(name string) string {
	knownMutex.Lock()
	kind, found := known[name]
	knownMutex.Unlock()
	if found {
		return kind
	}
	kind = table.Unmatched
	for _, row := range kindRows {
		if row.wholeName.MatchString(name) {
			kind = row.kind
			break
		}
	}
	knownMutex.Lock()
	if len(known) >= knownNamesKept {
		clear(known)
	}
	known[name] = kind
	knownMutex.Unlock()
	return kind
}

// plausible is whether a reading of this kind can be a temperature: not
// the placeholder, and not below the kind's lowest plausible reading.
func plausible(kind string, celsius float64) bool {
	floor := table.LowestPlausible.Celsius[kind]
	return celsius != table.Placeholder.Celsius && (floor == nil || celsius >= *floor)
}

func isKind(kind string) bool {
	for _, each := range table.Kinds {
		if each == kind {
			return true
		}
	}
	return false
}
