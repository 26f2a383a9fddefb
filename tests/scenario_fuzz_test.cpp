// Random scenarios against the whole binary: odd readings, arbitrary name
// bytes, null lists and services, services that come and go. Each run must
// end cleanly with every copied object released, and print exactly what a
// small model of the line rules predicts. CALVEX_FUZZ_SEED and
// CALVEX_FUZZ_RUNS change the seed and the number of scenarios.
#include "calvex_run.h"

#include <gtest/gtest.h>

#include <math.h>
#include <stdio.h>
#include <stdlib.h>

#include <random>

namespace {

struct Service {
    enum Kind { NULL_SERVICE, NO_EVENT, SENSOR } kind;
    double reading;
    enum Product { NONE, NUMBER, TEXT } product;
    std::string text;
};

struct Block {
    bool null_list;
    std::vector<Service> services;
};

class ScenarioMaker {
public:
    explicit ScenarioMaker(uint32_t seed) : random_(seed) {}

    std::vector<Block> blocks()
    {
        std::vector<Block> made(1 + pick(3));
        for (Block& block : made) {
            block.null_list = pick(8) == 0;
            block.services.resize(pick(12));
            for (Service& service : block.services) service = make_service();
        }
        return made;
    }

private:
    std::mt19937 random_;

    uint32_t pick(uint32_t below) { return std::uniform_int_distribution<uint32_t>(0, below - 1)(random_); }

    double reading()
    {
        static const double specials[] = {-40.0, 150.0, -39.999, 149.999, -0.0, 0.005, -0.005, 1e300, -1e-300,
                                          NAN, INFINITY, -INFINITY, 41.255, 99.995};
        if (pick(3) == 0) return specials[pick(sizeof specials / sizeof specials[0])];
        return std::uniform_real_distribution<double>(-60.0, 170.0)(random_);
    }

    // Valid UTF-8 of any length, or (short) arbitrary bytes.
    std::string text()
    {
        static const char* pieces[] = {"a", "PMU tdie", "\"", "\\", "\t", "\x01", "\x1f", "\x7f", "/", "%s",
                                       "\xc2\xb0", "\xe2\x82\xac", "\xf0\x9f\x94\xa5", " "};
        std::string made;
        if (pick(6) == 0) {
            for (uint32_t i = pick(40); i > 0; --i) made += static_cast<char>(pick(256));
            return made;
        }
        for (uint32_t i = pick(pick(4) == 0 ? 200 : 12); i > 0; --i) made += pieces[pick(14)];
        return made;
    }

    Service make_service()
    {
        Service service{static_cast<Service::Kind>(pick(3) == 0 ? pick(2) : 2), reading(),
                        static_cast<Service::Product>(pick(4) == 0 ? pick(2) : 2), std::string()};
        if (service.product == Service::TEXT) service.text = text();
        return service;
    }
};

std::string scenario_text(const std::vector<Block>& blocks)
{
    std::string text;
    for (const Block& block : blocks) {
        text += "snapshot\n";
        if (block.null_list) text += "null-list\n";
        for (const Service& service : block.services) {
            if (service.kind == Service::NULL_SERVICE) {
                text += "null-service\n";
                continue;
            }
            char reading[64];
            snprintf(reading, sizeof reading, "%a ", service.reading);
            text += service.kind == Service::NO_EVENT ? std::string("no-event ") : "sensor " + std::string(reading);
            if (service.product == Service::NONE) text += "none\n";
            if (service.product == Service::NUMBER) text += "number\n";
            if (service.product == Service::TEXT) {
                text += "\"";
                for (unsigned char byte : service.text) {
                    char escaped[8];
                    snprintf(escaped, sizeof escaped, "\\x%02x", byte);
                    text += escaped;
                }
                text += "\"\n";
            }
        }
    }
    return text;
}

// The name the platform hands over: whole UTF-8 characters within 255
// bytes (names longer than that are valid UTF-8 here), up to a zero byte.
std::string platform_name(const std::string& text)
{
    std::string name = text;
    if (name.size() > 255) {
        size_t end = 255;
        while (end > 0 && (static_cast<unsigned char>(name[end]) & 0xC0) == 0x80) --end;
        name.resize(end);
    }
    return name.substr(0, name.find('\0'));
}

std::string escaped(const std::string& name)
{
    std::string out;
    for (unsigned char byte : name) {
        char escape[8];
        if (byte == '"' || byte == '\\') {
            out += '\\';
            out += static_cast<char>(byte);
        } else if (byte < 0x20) {
            snprintf(escape, sizeof escape, "\\u%04x", byte);
            out += escape;
        } else {
            out += static_cast<char>(byte);
        }
    }
    return out;
}

std::string expected_line(const Block& block)
{
    std::string line = "{\"sensors\":[";
    bool first = true;
    for (size_t i = 0; !block.null_list && i < block.services.size(); ++i) {
        const Service& service = block.services[i];
        if (service.kind != Service::SENSOR || !(service.reading > -40.0 && service.reading < 150.0)) continue;
        std::string name = service.product == Service::TEXT ? platform_name(service.text) : "";
        if (name.empty()) name = "sensor " + std::to_string(i);
        char temperature[64];
        snprintf(temperature, sizeof temperature, "%.2f", service.reading);
        line += (first ? "{\"name\":\"" : ",{\"name\":\"") + escaped(name) + "\",\"t\":" + temperature + "}";
        first = false;
    }
    return line + "]}";
}

uint32_t from_environment(const char* name, uint32_t fallback)
{
    const char* text = getenv(name);
    return text != nullptr && *text != '\0' ? static_cast<uint32_t>(strtoul(text, nullptr, 10)) : fallback;
}

TEST(ScenarioFuzz, RandomScenariosMatchTheModelAndReleaseEverything)
{
    uint32_t seed = from_environment("CALVEX_FUZZ_SEED", 20261208);
    uint32_t runs = from_environment("CALVEX_FUZZ_RUNS", 300);
    for (uint32_t run = 0; run < runs; ++run) {
        ScenarioMaker maker(seed + run);
        std::vector<Block> blocks = maker.blocks();
        CalvexRun calvex;
        calvex.arguments = {"200"};
        calvex.scenario = scenario_text(blocks);
        calvex.environment = {{"CALVEX_SIM_PPID", std::to_string(blocks.size()) + ":1"}};
        CalvexResult result = run_calvex(calvex);

        std::vector<std::string> expected;
        for (const Block& block : blocks) expected.push_back(expected_line(block));
        SCOPED_TRACE("seed " + std::to_string(seed + run) + "\n" + calvex.scenario);
        ASSERT_EQ(result.err, "");
        ASSERT_EQ(result.exit_status, 0);
        ASSERT_EQ(result.out_lines(), expected);
        ASSERT_EQ(result.ledger.substr(0, result.ledger.find('\n')), START_UP_OBJECTS_ONLY);
    }
}

}
