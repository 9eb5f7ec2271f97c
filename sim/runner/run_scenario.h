// One scenario run in this process's simulated world: the scenario's files
// and devices set up, its actions performed, every trace record handed to a
// sink as it happens and the run's summary last.
#pragma once

#include "scenario/scenario.h"

#include "package_facts.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace runner {

using RecordSink = std::function<void(const nlohmann::ordered_json& record)>;

// Runs `scenario` against the packaged program `program` (whose package
// reads as `package`) under interleaving seed `seed` (0: the fixed order).
// Returns the exit status tessel-sim gives it: the tool's exit code, 125
// when the time limit came first. A world runs once per process: the caller
// ends the process after it (simulated threads may still be blocked).
// With `on`, the run's summary tells what the devices stored and run, held
// against the package ("stored").
void report_ground_truth(bool on);

// Leaves the records of `events` out of the next run: `tick` receives the
// time and the event of each instead.
void skip_records(std::vector<std::string> events, std::function<void(uint64_t t, const char* ev)> tick);

int run_scenario(const Scenario& scenario, const std::string& program, const sim::PackageFacts& package,
                 uint64_t seed, const RecordSink& sink);

}  // namespace runner
