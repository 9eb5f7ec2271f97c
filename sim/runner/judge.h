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

// Reads a run's records as they come; `tick` stands for a record that was
// left out (its time counts for the quiet times).
class Judge {
public:
    explicit Judge(const nlohmann::ordered_json& scenario);
    void observe(const nlohmann::ordered_json& record);
    // `ev` "dfu_block": a data block the boot loader accepted.
    void tick(uint64_t t, const char* ev = nullptr);
    // `summary`: the run's last record (nullptr: none); `status` the
    // process's exit status; `due`: success is due; `tolerated`: device rules
    // whose breaking is no fault of the tool here.
    Verdict verdict(const nlohmann::ordered_json* summary, int status, const nlohmann::ordered_json& scenario,
                    bool due, const std::vector<std::string>& tolerated) const;

private:
    void accepted_block();

    std::vector<std::string> broken_;
    uint32_t states_ = 1;
    int runs_ = 0, last_result_ = 1, data_blocks_ = 0, ended_held_ = 0;
    uint8_t state_ = 0;
    bool in_run_ = false, bt_confirmed_ = false, bt_sent_ = false, download_after_bad_bt_ = false;
    bool last_run_bt_ = false;  // the latest run went through the Bluetooth stage
    bool final_request_ = false;
    long long last_t_ = 0, longest_quiet_ = 0;
    uint64_t entered_ = 0;
    bool unwritable_ = false;  // the result log cannot be written for the rest of the run
    bool held_ = false;        // another program holds the result log open
    // A run's result went past the USB stage (5: the download was made)
    // without a download the boot loader accepted and that was ended.
    bool past_usb_unloaded_ = false;
    // The package's versions as the window names them, and those the
    // keyboard last reported (the log's version line).
    long package_nxp_ = -1, package_bt_ = -1, shown_nxp_ = -1, shown_bt_ = -1;
    bool verified_other_ = false;  // a run verified against other versions
    bool silent_run_ = false;      // the arguments may make the run silent
    std::vector<std::string> violations_;
    std::string fault_;
};

// The same over a whole trace.
Verdict judge(const Trace& t, int status, const nlohmann::ordered_json& scenario, bool due,
              const std::vector<std::string>& tolerated = {});

}  // namespace runner
