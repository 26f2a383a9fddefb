// The errno and signal names every client gives, made by tools/shared-code.py from clients/shared/protocol.json: do not edit.

package calvex

import "syscall"

var signalNamedHere = []named[syscall.Signal]{
	{syscall.SIGSTKFLT, "SIGSTKFLT"},
	{syscall.SIGPWR, "SIGPWR"},
}
