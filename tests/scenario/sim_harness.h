// Runs tessel-sim on a scenario in a process of its own and reads its trace.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace harness {

using json = nlohmann::json;

struct SimRun {
    int status = -1;          // tessel-sim's exit status
    std::vector<json> trace;  // every record, in order
    std::string trace_text;   // the raw trace
    std::string error;        // standard error

    std::vector<json> events(const std::string& ev) const;
    const json* first(const std::string& ev) const;
    const json& summary() const;
    // Concatenated `log` texts.
    std::string log_text() const;
    // Time of the first record of `ev` whose field `key` equals `value`; -1 when none.
    long long time_of(const std::string& ev, const std::string& key, const json& value) const;
    // The control record with this id.
    const json* control(int id) const;
};

// The failure message S08 in English, as the log view shows it.
extern const std::string kS08;
// A scenario event fired `after` ms after the trigger `on`.
json event_on(const std::string& on, long long after, const std::string& what);

// Every run is checked for protocol violations by the tool (the summary's
// `violations` must be 0) unless `violations_expected`.
SimRun run_sim(const json& scenario, const std::vector<std::string>& extra_args = {},
               bool violations_expected = false);
std::string sample_program();
std::string temp_dir();
// A package built in `dir` from the sample with one INI line replaced and,
// when given, another USB image. Returns the packaged program, or "" on failure.
std::string package_with(const std::string& dir, const std::string& line, const std::string& replacement,
                         const std::string& usb = "");

}  // namespace harness
