// What the simulated IOKit publishes: one block of services per snapshot,
// read from a scenario file or made up by the built-in default.
#ifndef CALVEX_SIM_SCENARIO_H
#define CALVEX_SIM_SCENARIO_H

#include <stdint.h>
#include <string>
#include <vector>

enum ServicePresence { SERVICE_NULL, SERVICE_WITH_EVENT, SERVICE_WITHOUT_EVENT };
enum ProductKind { PRODUCT_ABSENT, PRODUCT_NUMBER, PRODUCT_STRING };

struct PublishedService {
    ServicePresence presence;
    double reading;
    ProductKind product_kind;
    std::string product;
};

struct PublishedSnapshot {
    bool null_list;
    std::vector<PublishedService> services;
};

// The services of the given snapshot (counted from 0); the last block of a
// scenario file repeats for ever.
const PublishedSnapshot& scenario_snapshot(uint64_t index);

// Parses scenario text; on a bad line, fails naming it.
std::vector<PublishedSnapshot> parse_scenario(const std::string& text, const char* origin);

// The built-in machine: a plausible Apple Silicon sensor set whose readings
// drift from one snapshot to the next.
void default_snapshot(uint64_t index, PublishedSnapshot* snapshot);

#endif
