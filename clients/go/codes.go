// The failure codes every client shares, made by tools/shared-code.py from clients/shared/protocol.json: do not edit.

package calvex

// The codes an *Error carries.
const (
	// CodeIOKitNotAvailable: the helper could not load IOKit or CoreFoundation.
	CodeIOKitNotAvailable Code = "IOKIT_NOT_AVAILABLE"
	// CodeNoHIDEventSystem: the helper could not open the HID event system.
	CodeNoHIDEventSystem Code = "NO_HID_EVENT_SYSTEM"
	// CodePressureNotAvailable: the pressure helper found no notify service.
	CodePressureNotAvailable Code = "PRESSURE_NOT_AVAILABLE"
	// CodeNoPressureNotification: the pressure helper could not register for the notification.
	CodeNoPressureNotification Code = "NO_PRESSURE_NOTIFICATION"
	// CodeUnsupportedPlatform: not macOS on arm64, and no helper was given; nothing was run.
	CodeUnsupportedPlatform Code = "UNSUPPORTED_PLATFORM"
	// CodeHelperFailed: the helper could not start, was killed, exited without a line or while watched, or took longer than the timeout; the message says how.
	CodeHelperFailed Code = "HELPER_FAILED"
	// CodeBadOutput: the helper wrote a line that is neither a snapshot nor an error line.
	CodeBadOutput Code = "BAD_OUTPUT"
)

// The codes a failure of each helper can carry: its error lines' own, then the others.
var (
	sensorCodes   = []Code{CodeIOKitNotAvailable, CodeNoHIDEventSystem, CodeUnsupportedPlatform, CodeHelperFailed, CodeBadOutput}
	pressureCodes = []Code{CodePressureNotAvailable, CodeNoPressureNotification, CodeUnsupportedPlatform, CodeHelperFailed, CodeBadOutput}
)
