// The campaign's judge: the named invariants every trace must keep, read
// from the trace's records and from what the devices stored (the summary's
// "stored", written with --ground-truth).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace runner {

struct Trace {
    std::vector<nlohmann::ordered_json> records;
    const nlohmann::ordered_json* summary = nullptr;  // the last record, when it is the summary
};

struct Verdict {
    std::vector<std::string> broken;  // names of the invariants broken, with what broke them
    uint32_t states = 0;              // bit n: the update state n was reached
    std::string outcome;              // "exit N" or "until"
};

// `status` is the process's exit status; `due`: success is due.
// `tolerated`: device rules whose breaking is no fault of the tool here.
Verdict judge(const Trace& t, int status, const nlohmann::ordered_json& scenario, bool due,
              const std::vector<std::string>& tolerated = {});

}  // namespace runner
