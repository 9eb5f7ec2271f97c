#include "judge.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

namespace runner {

using json = nlohmann::ordered_json;

namespace {

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    for (size_t a = 0; a < text.size();) {
        size_t e = text.find("\r\n", a);
        if (e == std::string::npos) {
            lines.push_back(text.substr(a));
            break;
        }
        lines.push_back(text.substr(a, e - a));
        a = e + 2;
    }
    return lines;
}

// The longest a stage may last, by the tool's documented waits, with a
// second to spare: 0 where no bound applies (the download, and the
// Bluetooth transfer, last as long as the devices take).
uint64_t stage_bound_ms(uint8_t state)
{
    switch (state) {
    case 1: return 11000 + 1000;   // readiness (10 s) and the pause before the transfer (1 s)
    case 5: return 35000 + 1000;   // the keyboard back (30 s) and the pause before the finish command (5 s)
    case 6: return 8000 + 1000;    // the finish handshake
    case 8: return 28000 + 1000;   // detach and re-attach (with ST_DETACHED)
    case 10: return 50000 + 1000;  // the version check
    default: return 0;
    }
}

// The hexadecimal number that follows `key` in `text`, or -1.
long hex_after(const std::string& text, const char* key)
{
    size_t at = text.find(key);
    if (at == std::string::npos)
        return -1;
    const char* start = text.c_str() + at + std::strlen(key);
    char* end = nullptr;
    long v = std::strtol(start, &end, 16);
    return end == start ? -1 : v;
}

}  // namespace

Judge::Judge(const json& scenario)
{
    // Where the arguments may make the run silent, only what a silent run
    // checks is asked for.
    std::string args = scenario.value("args", "");
    std::transform(args.begin(), args.end(), args.begin(),
                   [](unsigned char c) { return (char)std::tolower(c); });
    silent_run_ = args.find("silent") != std::string::npos;
}

void Judge::tick(uint64_t t, const char* ev)
{
    if (in_run_ && (long long)t - last_t_ > longest_quiet_)
        longest_quiet_ = (long long)t - last_t_;
    last_t_ = (long long)t;
    if (ev && std::strcmp(ev, "dfu_block") == 0)
        accepted_block();
}

void Judge::accepted_block()
{
    data_blocks_++;
    if (bt_sent_ && !bt_confirmed_)
        download_after_bad_bt_ = true;
}

void Judge::observe(const json& r)
{
    const std::string& ev = r["ev"].get_ref<const std::string&>();
    if (ev == "summary")
        return;
    long long now = r.value("t", 0LL);
    tick((uint64_t)now);
    if (ev == "state") {
        uint8_t next = r["value"].get<uint8_t>();
        // ST_DETACHED belongs to the detach wait that ST_WAIT_DETACH began.
        bool same_wait = state_ == 8 && next == 9;
        if (!same_wait) {
            uint64_t bound = stage_bound_ms(state_ == 9 ? 8 : state_);
            if (bound && (uint64_t)now - entered_ > bound)
                broken_.push_back("stage " + std::to_string(state_) + " lasts at most " +
                                  std::to_string(bound) + " ms (" + std::to_string((uint64_t)now - entered_) +
                                  " ms)");
            entered_ = (uint64_t)now;
        }
        if (next < 32)
            states_ |= 1u << next;
        if (state_ == 0 && next != 0) {
            runs_++;
            in_run_ = true;
            bt_confirmed_ = bt_sent_ = last_run_bt_ = false;
            data_blocks_ = 0;
            final_request_ = false;
        }
        if (next == 2)
            bt_sent_ = last_run_bt_ = true;
        if (next == 3 && bt_sent_)
            bt_confirmed_ = true;
        if (next == 0) {
            in_run_ = false;
            if (held_ || unwritable_)
                ended_held_++;
        }
        state_ = next;
    } else if (ev == "file") {
        // The log cannot be written: held by another program, read-only, on
        // a full volume, or on a volume that has gone.
        std::string what = r.value("what", "");
        if (what == "held" && r.value("ok", true))
            held_ = true;
        else if (what == "released")
            held_ = false;
        else if (what == "read_only" || what == "volume_full" || what == "volume_gone")
            unwritable_ = true;
    } else if (ev == "control" && package_nxp_ < 0) {
        const std::string& text = r["text"].get_ref<const std::string&>();
        if (text.rfind("NXP = ", 0) == 0) {
            package_nxp_ = hex_after(text, "NXP = ");
            package_bt_ = hex_after(text, "BT = ");
        }
    } else if (ev == "log") {
        const std::string& text = r["text"].get_ref<const std::string&>();
        if (text.find(" NXP=") != std::string::npos) {
            shown_nxp_ = hex_after(text, " NXP=");
            shown_bt_ = hex_after(text, ", BT=");
        }
    } else if (ev == "result") {
        last_result_ = r["value"].get<int>();
        // Interactive runs verify both versions, silent ones the NXP version.
        if (in_run_ && last_result_ == 0 && package_nxp_ >= 0 &&
            (shown_nxp_ != package_nxp_ || (!silent_run_ && shown_bt_ != package_bt_)))
            verified_other_ = true;
        if (in_run_ && last_result_ >= 5 && last_result_ <= 7 && (data_blocks_ == 0 || !final_request_))
            past_usb_unloaded_ = true;
    } else if (ev == "dfu" && r.value("req", "") == "DNLOAD" && r.value("ok", true)) {
        // Only requests the boot loader accepted count.
        if (r.value("length", 0) > 0) {
            accepted_block();
        } else {
            final_request_ = true;
        }
    } else if (ev == "violation") {
        violations_.push_back(r.value("rule", std::string()));
    } else if (ev == "fault" && fault_.empty()) {
        fault_ = r.value("what", std::string("?"));
    }
}

Verdict Judge::verdict(const json* summary, int status, const json& scenario, bool due,
                       const std::vector<std::string>& tolerated) const
{
    Verdict v;
    v.states = states_;
    v.broken = broken_;
    if (!summary) {
        v.broken.push_back("the run ends with a summary (status " + std::to_string(status) + ")");
        return v;
    }
    const json& s = *summary;
    v.outcome = s["exit_code"].is_number() ? "exit " + std::to_string(s["exit_code"].get<int>()) : "until";
    std::string log = s["result_log"].is_string() ? s["result_log"].get<std::string>() : "";
    // A result log that was there before the run keeps its lines.
    const json& files = scenario.contains("files") ? scenario["files"] : json::object();
    std::string before = files.value("LogfileKarstDFU.txt", std::string());
    if (!before.empty() && log.compare(0, before.size(), before) == 0)
        log.erase(0, before.size());
    else if (!before.empty())
        v.broken.push_back("the result log keeps the lines it had before the run");
    std::vector<std::string> lines = lines_of(log);
    int runs = runs_, last_result = last_result_, data_blocks = data_blocks_, ended_held = ended_held_;
    uint8_t state = state_;
    bool final_request = final_request_, last_run_bt = last_run_bt_,
         download_after_bad_bt = download_after_bad_bt_;
    long long longest_quiet = longest_quiet_;

    bool exited = s["exit_code"].is_number();
    int exit_code = exited ? s["exit_code"].get<int>() : -1;
    // Windows ended the process with the session, whatever it was doing.
    bool ended_by_system = exited && exit_code == 0x40010004;
    bool other_instance = scenario.value("other_instance", false);
    std::string first = scenario.value("args", "");
    std::transform(first.begin(), first.end(), first.begin(),
                   [](unsigned char c) { return (char)std::tolower(c); });
    bool silent = first.rfind("-silent", 0) == 0 || first.rfind("/silent", 0) == 0;

    // 1. Success only when the devices hold and run the package's images.
    bool success = (exited && exit_code == 0) || (!lines.empty() && lines.back().rfind("OK: ", 0) == 0);
    if (success) {
        const json& stored = s.contains("stored") ? s["stored"] : json::object();
        if (data_blocks == 0 || !final_request)
            v.broken.push_back("success only after a download the boot loader accepted and that was ended (" +
                               std::to_string(data_blocks) +
                               " blocks accepted, ended: " + (final_request ? "yes" : "no") + ")");
        if (!stored.value("usb", false))
            v.broken.push_back(
                "success only when the boot loader stored and manifested the package's USB image");
        if (!stored.value("usb_runs", false))
            v.broken.push_back("success only when the keyboard runs the package's USB image");
        if (last_run_bt && !stored.value("bt", false))
            v.broken.push_back("success only when the Bluetooth IC stored the package's Bluetooth image");
        if (last_run_bt && !silent && !stored.value("bt_runs", false))
            v.broken.push_back("success only when the Bluetooth IC runs the package's Bluetooth image");
    }
    // 2. Success where it is due.
    if (due && !(exited && exit_code == 0 && lines.size() == 1 && lines[0].rfind("OK: ", 0) == 0))
        v.broken.push_back("a due success ends with exit 0 and one OK line (" + v.outcome + ", " +
                           std::to_string(lines.size()) + " lines" +
                           (lines.empty() ? std::string() : ", last \"" + lines.back() + "\"") + ")");
    // 2b. A run's result tells the stage it failed in: it goes past the
    //     USB stage only when the boot loader accepted the whole download.
    if (past_usb_unloaded_)
        v.broken.push_back(
            "a run gets past the USB stage only after a download the boot loader accepted and that "
            "was ended");
    // 2c. A run is verified only when the keyboard last reported the
    //     package's versions.
    if (verified_other_)
        v.broken.push_back("a run is verified only when the keyboard last reported the package's versions");
    // 3. The exit code is the result of the last stage reached.
    if (exited && !other_instance && !ended_by_system && exit_code != last_result &&
        !(exit_code == 2 && runs == 0))
        v.broken.push_back("the exit code equals the last result (" + std::to_string(exit_code) +
                           " against " + std::to_string(last_result) + ")");
    // 4. One whole result line per finished run.
    for (const std::string& l : lines) {
        bool whole = l.size() >= 30 && (l.rfind("OK: ", 0) == 0 || l.rfind("NG: ", 0) == 0) &&
                     l.find(" error=") != std::string::npos;
        if (!whole)
            v.broken.push_back("every result line is whole: \"" + l + "\"");
    }
    int finished = runs - (((!exited || ended_by_system) && state != 0) ? 1 : 0);
    bool refused_silently = silent && runs == 0;
    // A run that ends while another program holds the log cannot write its
    // line: the tool tries for a while, then gives up.
    // A run the session's end cut short may have written its line.
    int cut_short = ended_by_system && state != 0 ? 1 : 0;
    bool lines_fit = (int)lines.size() <= finished + cut_short && (int)lines.size() >= finished - ended_held;
    if (!refused_silently && !lines_fit && !(runs == 0 && lines.size() == 1))
        v.broken.push_back("one result line per finished run (" + std::to_string(lines.size()) + " lines, " +
                           std::to_string(finished) + " runs)");
    // 5. No write through a closed keyboard handle.
    if (s.value("stale_handle_writes", 0) != 0)
        v.broken.push_back("no write through a closed keyboard handle");
    // 6. At most one worker at a time.
    if (s.value("most_workers", 0) > 1)
        v.broken.push_back("at most one worker at a time");
    // 7. No DFU download after an unconfirmed Bluetooth checksum.
    if (download_after_bad_bt)
        v.broken.push_back("no DFU download after an unconfirmed Bluetooth checksum");
    // 8. No hidden hang: the longest quiet time of a run stays under the
    //    longest wait the tool makes on purpose (the manifestation's 60 s).
    if (longest_quiet > 61000)
        v.broken.push_back("no quiet time over 61 s during a run (" + std::to_string(longest_quiet) + " ms)");
    // 9. No state left behind without a worker.
    if (!exited && s.value("state", 0) != 0 && s.value("workers", 0) == 0)
        v.broken.push_back("no state left behind without a worker (state " +
                           std::to_string(s.value("state", 0)) + ")");
    // 10. The host keeps every rule of the devices' protocols.
    if (s.value("violations", 0) != 0) {
        std::string rules;
        for (const std::string& rule : violations_)
            if (std::find(tolerated.begin(), tolerated.end(), rule) == tolerated.end() && rules.size() < 200)
                rules += (rules.empty() ? "" : ", ") + rule;
        if (!rules.empty())
            v.broken.push_back("zero protocol violations (" + rules + ")");
    }
    if (!fault_.empty())
        v.broken.push_back("no fault: " + fault_);
    return v;
}

Verdict judge(const Trace& t, int status, const json& scenario, bool due,
              const std::vector<std::string>& tolerated)
{
    Judge j(scenario);
    for (const json& r : t.records)
        j.observe(r);
    return j.verdict(t.summary, status, scenario, due, tolerated);
}

}  // namespace runner
