// Fuzzes the argument reader against a small model of its table: "--once"
// byte for byte, otherwise atol's reading of the leading integer with
// saturation, a floor of 200 ms and a cap of 4,294,967 ms.
#include "run_settings.h"

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>

namespace {

bool is_c_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

RunSettings model(const char* argument)
{
    RunSettings settings{false, 2000000u};
    if (argument == nullptr) return settings;
    if (strcmp(argument, "--once") == 0) {
        settings.once = true;
        return settings;
    }
    const char* c = argument;
    while (is_c_space(*c)) ++c;
    bool negative = *c == '-';
    if (*c == '-' || *c == '+') ++c;
    __int128 value = 0;
    for (; *c >= '0' && *c <= '9'; ++c) {
        value = value * 10 + (*c - '0');
        if (value > static_cast<__int128>(INT64_MAX) + 1) value = static_cast<__int128>(INT64_MAX) + 1;
    }
    if (negative) value = -value;
    if (value > INT64_MAX) value = INT64_MAX;
    __int128 milliseconds = value < 200 ? 200 : value > 4294967 ? 4294967 : value;
    settings.interval_us = static_cast<uint32_t>(milliseconds * 1000);
    return settings;
}

}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    int argc = 1 + data[0] % 3;
    std::string first(reinterpret_cast<const char*>(data) + 1, size - 1);
    const char* argv[] = {"calvex", first.c_str(), "750", nullptr};
    argv[argc] = nullptr;
    RunSettings got = read_run_settings(argc, argv);
    RunSettings expected = model(argc >= 2 ? first.c_str() : nullptr);
    if (got.once != expected.once || got.interval_us != expected.interval_us) {
        fprintf(stderr, "argument '%s': got once=%d %u us, model once=%d %u us\n", first.c_str(), got.once,
                got.interval_us, expected.once, expected.interval_us);
        abort();
    }
    return 0;
}
