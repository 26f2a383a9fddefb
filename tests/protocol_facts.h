// The helpers' protocol, made by tools/shared-code.py from clients/shared/protocol.json: do not edit.
#pragma once

constexpr const char* PROTOCOL_SENSORS_ERROR_LINES[][2] = {{"IOKit not available", "IOKIT_NOT_AVAILABLE"}, {"no HID event system", "NO_HID_EVENT_SYSTEM"}};
constexpr const char* PROTOCOL_PRESSURE_ERROR_LINES[][2] = {{"thermal pressure not available", "PRESSURE_NOT_AVAILABLE"}, {"no thermal pressure notification", "NO_PRESSURE_NOTIFICATION"}};
constexpr const char* PROTOCOL_PRESSURE_LEVELS[] = {"nominal", "moderate", "heavy", "trapping", "sleeping"};
constexpr const char* PROTOCOL_UNKNOWN_PRESSURE = "unknown";
constexpr long PROTOCOL_SHORTEST_INTERVAL_MS = 200;
constexpr long PROTOCOL_DEFAULT_INTERVAL_MS = 2000;
constexpr long PROTOCOL_LONGEST_INTERVAL_MS = 4294967;
