// The built-in machine used when no scenario file is given: sensor names as
// an Apple Silicon laptop publishes them, a few repeats, one unnamed sensor,
// a few without events or out of range, and readings that drift.
#include "scenario.h"

#include <math.h>
#include <stdio.h>

namespace {

struct SensorGroup {
    const char* name_format; // takes the sensor's number, or none
    int first;
    int last;
    double base_celsius;
    ServicePresence presence;
};

const SensorGroup GROUPS[] = {
    {"PMU tdie%d", 1, 10, 45.0, SERVICE_WITH_EVENT},
    {"PMU tdie1", 0, 2, 46.0, SERVICE_WITH_EVENT},
    {"PMU tdev%d", 1, 8, 38.0, SERVICE_WITH_EVENT},
    {"PMU tcal", 0, 0, 51.0, SERVICE_WITH_EVENT},
    {"PMU TP%ds", 0, 1, 40.0, SERVICE_WITH_EVENT},
    {"NAND CH0 temp", 0, 0, 34.0, SERVICE_WITH_EVENT},
    {"gas gauge battery", 0, 0, 31.0, SERVICE_WITH_EVENT},
    {"pACC MTR Temp Sensor%d", 0, 9, 48.0, SERVICE_WITH_EVENT},
    {"eACC MTR Temp Sensor%d", 0, 3, 42.0, SERVICE_WITH_EVENT},
    {"GPU MTR Temp Sensor%d", 1, 6, 40.0, SERVICE_WITH_EVENT},
    {"PMGR SOC Die Temp Sensor%d", 0, 2, 44.0, SERVICE_WITH_EVENT},
    {"ANE MTR Temp Sensor1", 0, 0, 37.0, SERVICE_WITH_EVENT},
    {"ISP MTR Temp Sensor5", 0, 0, 36.0, SERVICE_WITH_EVENT},
    {"SOC MTR Temp Sensor%d", 0, 2, 43.0, SERVICE_WITH_EVENT},
    {nullptr, 0, 0, 35.0, SERVICE_WITH_EVENT},
    {"PMU tdev9", 0, 0, 0.0, SERVICE_WITHOUT_EVENT},
    {nullptr, 0, 0, 0.0, SERVICE_WITHOUT_EVENT},
    {"PMU TR0Z", 0, 0, -127.0, SERVICE_WITH_EVENT},
};

std::vector<PublishedService> build_machine(std::vector<double>* bases)
{
    std::vector<PublishedService> services;
    for (const SensorGroup& group : GROUPS) {
        for (int number = group.first; number <= group.last; ++number) {
            PublishedService service{group.presence, group.base_celsius, PRODUCT_ABSENT, std::string()};
            if (group.name_format != nullptr) {
                char name[64];
                snprintf(name, sizeof name, group.name_format, number);
                service.product_kind = PRODUCT_STRING;
                service.product = name;
            }
            services.push_back(service);
            bases->push_back(group.base_celsius + 0.7 * (number % 4));
        }
    }
    return services;
}

// A small, repeatable jitter in [-0.5, 0.5).
double jitter(uint64_t snapshot, size_t position)
{
    uint64_t x = snapshot * 0x9E3779B97F4A7C15ull ^ (position + 1) * 0xC2B2AE3D27D4EB4Full;
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    x ^= x >> 32;
    return static_cast<double>(x % 1000) / 1000.0 - 0.5;
}

}

void default_snapshot(uint64_t index, PublishedSnapshot* snapshot)
{
    static std::vector<double> bases;
    static const std::vector<PublishedService> machine = build_machine(&bases);
    if (snapshot->services.empty()) {
        snapshot->services = machine;
    }
    snapshot->null_list = false;
    for (size_t position = 0; position < machine.size(); ++position) {
        double base = bases[position];
        if (base < -40.0) {
            continue; // a sensor that always reads out of range
        }
        double wave = 5.0 * sin(static_cast<double>(index) * 0.07 + static_cast<double>(position));
        snapshot->services[position].reading = base + wave + jitter(index, position);
    }
}
