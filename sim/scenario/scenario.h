// tessel-sim scenarios: the JSON format read from a file and checked field by field.
#pragma once

#include "models/device_config.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace runner {

struct Event {
    std::string action;          // the `do` value
    std::optional<uint64_t> at;  // virtual ms
    std::string on;              // trigger, when not at
    uint64_t after = 0;
};

struct Scenario {
    std::string args;
    std::string program_path = "C:\\Tessel\\tessel-updater.exe";
    std::map<std::string, std::string> files;
    uint16_t langid = 1033;
    uint32_t lcid = 1033;
    int year = 2024, month = 3, day = 5, hour = 9, minute = 5, second = 7;
    bool other_instance = false;
    bool has_keyboard = false;
    sim::KeyboardConfig keyboard;
    // A second keyboard on the same system (actions detach2, attach2).
    bool has_keyboard2 = false;
    sim::KeyboardConfig keyboard2;
    // The result log beside the program: "normal"; "read_only" (the file
    // carries the read-only attribute); "locked" (another program holds it
    // open without sharing, from the start and for the whole run);
    // "volume_full" (it opens, but writes fail: the volume is full).
    std::string result_log = "normal";
    std::vector<Event> events;
    uint64_t until = 180000;
    // under a seed: world events may also come while threads still run
    bool events_anywhere = false;
};

// Fills `out` from the JSON text; on failure returns false with a one-line
// message naming the field and what is wrong.
bool parse_scenario(const std::string& text, Scenario& out, std::string& error);

}  // namespace runner
