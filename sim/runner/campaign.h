// A fault campaign: scenarios drawn from the whole fault space (keyboard and
// boot-loader knobs, user and world actions at random times, silent and
// interactive runs, locales, package variants), each run in a process of
// its own under a seeded interleaving, every trace checked against named
// invariants. A break prints the invariants broken and how to replay it.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace runner {

struct CampaignOptions {
    std::string program;  // the packaged sample the variants are made from
    uint64_t count = 0;   // scenarios
    uint64_t seed = 1;    // the campaign's seed
    int jobs = 1;         // scenarios at once
    // Replay: the one scenario, variant and interleaving seed a break printed.
    nlohmann::ordered_json replay_scenario;
    int replay_variant = -1;
    uint64_t replay_seed = 0;
    bool replay_due = false;  // replay: success is due
    bool keep_trace = false;  // replay: the trace goes to standard output
};

// Runs the campaign; 0 when no trace broke an invariant, 1 otherwise, 126
// when the variants cannot be made.
int run_campaign(const CampaignOptions& options);

}  // namespace runner
