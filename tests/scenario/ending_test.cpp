// How the tool ends: a close and Alt+U in the same moment, a close while the
// run's line waits for its file, and the end of the user's session.
#include "scenario_helpers.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using worldtest::event_on;
using worldtest::json;
using worldtest::kS08;
using worldtest::run_sim;

namespace {

std::vector<std::string> result_lines(const worldtest::WorldRun& run)
{
    std::vector<std::string> lines;
    const json& log = run.summary()["result_log"];
    if (!log.is_string())
        return lines;
    std::string text = log.get<std::string>();
    for (size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(text.substr(at, end - at));
    return lines;
}

int line_result(const std::string& line)
{
    return std::stoi(line.substr(line.find("error=") + 6));
}

// Whether the first of the two actions performed at `t` was `what`.
bool performed_first(const worldtest::WorldRun& run, long long t, const std::string& what)
{
    for (const json& r : run.events("user"))
        if (r["t"] == t)
            return r["do"] == what;
    return false;
}

size_t commands_from(const worldtest::WorldRun& run, long long t, const std::string& prefix)
{
    size_t n = 0;
    for (const json& r : run.events("kb_out"))
        if (r["t"].get<long long>() >= t && r["hex"].get<std::string>().rfind(prefix, 0) == 0)
            n++;
    return n;
}

size_t dfu_requests_from(const worldtest::WorldRun& run, long long t)
{
    size_t n = 0;
    for (const json& r : run.events("dfu"))
        if (r["t"].get<long long>() >= t)
            n++;
    return n;
}

}  // namespace

TEST(Ending, CloseAndAltUInTheSameMoment)
{
    // Three ways of closing, each in the same millisecond as Alt+U: the
    // seeds put either first. A close taken first ends the tool: no run
    // starts and nothing more reaches the keyboard. Alt+U taken first starts
    // a run (the close is refused during it); it fails without a re-plug and
    // the user closes after its line. Either way the exit code is the result
    // of the last line.
    const std::string enter_dfu = "0608";
    json verified = {
        event_on("button_enabled", 500, "press_update"), event_on("log:within 20 seconds", 3000, "detach"),
        event_on("log:within 20 seconds", 5000, "attach"), event_on("prompt", 1000, "restart_later")};
    struct Case {
        const char* name;
        json events;
        std::string close;  // the action that closes
        size_t lines_before;
    };
    std::vector<Case> cases;
    cases.push_back({"idle", {{{"at", 1000}, {"do", "close"}}, {{"at", 1000}, {"do", "alt_u"}}}, "close", 0});
    for (const char* close : {"press_update", "close"}) {
        json events = verified;
        events.push_back(event_on("prompt", 3000, close));
        events.push_back(event_on("prompt", 3000, "alt_u"));
        cases.push_back({close, events, close, 1});
    }
    for (Case& c : cases) {
        c.events.push_back(event_on("log:" + kS08, 1000, "close"));
        bool seen[2] = {false, false};
        for (int seed : {0, 1, 2, 3, 4, 5}) {
            json scenario = {{"keyboard", json::object()}, {"events", c.events}, {"until", 200000}};
            auto run = run_sim(scenario, {"--seed", std::to_string(seed)});
            std::string what = std::string(c.name) + " seed " + std::to_string(seed);
            auto lines = result_lines(run);
            ASSERT_NE(run.status, 125) << what;
            EXPECT_EQ(run.status, lines.empty() ? 1 : line_result(lines.back())) << what;
            // The moment both actions came.
            long long t = run.time_of("user", "do", "alt_u");
            ASSERT_GT(t, 0) << what;
            bool close_first = performed_first(run, t, c.close);
            seen[close_first] = true;
            if (close_first) {
                EXPECT_EQ(lines.size(), c.lines_before) << what;
                EXPECT_EQ(run.status, c.lines_before ? 0 : 1) << what;
                EXPECT_EQ(run.time_of("exit", "code", run.status), t) << what;
                EXPECT_EQ(commands_from(run, t, enter_dfu), 0u) << what;
                EXPECT_EQ(dfu_requests_from(run, t), 0u) << what;
                EXPECT_EQ(run.summary()["most_workers"], c.lines_before) << what;
            } else {
                EXPECT_EQ(lines.size(), c.lines_before + 1) << what;
                EXPECT_EQ(lines.back().rfind("NG: ", 0), 0u) << what;
            }
        }
        EXPECT_TRUE(seen[0] && seen[1]) << c.name << ": the seeds reach both orders";
    }
}

TEST(Ending, CloseWhileTheRunsLineWaitsForItsFileKeepsTheLine)
{
    // The keyboard is detached and never comes back; another program holds
    // the result log open as the run fails, so the worker's open of it is
    // retried; the user closes the window meanwhile (allowed while detached)
    // and the other program lets go 600 ms after the failure.
    json scenario = {
        {"keyboard", json::object()},
        {"events",
         {event_on("button_enabled", 500, "press_update"), event_on("log:within 20 seconds", 3000, "detach"),
          event_on("log:within 20 seconds", 20000, "hold_result_log"), event_on("log:" + kS08, 200, "close"),
          event_on("log:" + kS08, 600, "release_result_log")}},
        {"until", 200000}};
    auto run = run_sim(scenario);
    long long failed = run.time_of("log", "text", kS08);
    ASSERT_GT(failed, 0);
    EXPECT_EQ(run.status, 5) << run.error;
    EXPECT_EQ(run.summary()["result_log"], "NG: 2024/03/05-09:05:56 error=5\r\n");
    // The process ended once the line was written, after the other program let go.
    long long ended = run.time_of("exit", "code", 5);
    EXPECT_GE(ended, failed + 600);
    EXPECT_LE(ended, failed + 650);
}

TEST(Ending, TheSessionDoesNotEndDuringARunAndItsLineIsWrittenWhenItEndsAnyway)
{
    // A shutdown during the Bluetooth stage is refused; the run goes on. A
    // critical end of the session during the count-down takes no refusal:
    // the run's line is written with the result of that moment before the
    // system ends the process.
    json scenario = {{"keyboard", json::object()},
                     {"events",
                      {event_on("button_enabled", 500, "press_update"),
                       event_on("log:Updating Bluetooth firmware", 1500, "end_session"),
                       event_on("log:within 20 seconds", 3000, "force_end_session")}},
                     {"until", 200000}};
    auto run = run_sim(scenario);
    std::vector<std::string> power;
    json refused;
    for (const json& r : run.events("power")) {
        if (r["what"] != "kept_awake")
            power.push_back(r["what"]);
        if (r["what"] == "end_session_refused")
            refused = r;
    }
    std::vector<std::string> expected = {"end_session_refused", "session_ended"};
    EXPECT_EQ(power, expected);
    EXPECT_EQ(refused.value("reason", ""), "Updating the keyboard firmware");
    EXPECT_NE(run.log_text().find("Updating USB firmware"), std::string::npos);
    EXPECT_EQ(run.summary()["exit_code"], 0x40010004);
    EXPECT_EQ(run.summary()["result_log"], "NG: 2024/03/05-09:05:30 error=5\r\n");
}

TEST(Ending, CloseAndAltUAsTheDownloadStartsComeBetweenTheWorkersSteps)
{
    // With events at any moment, a close and Alt+U due in the same
    // millisecond as the log line that starts the download can land while
    // the worker that wrote it still runs, before its first block, in either
    // order as the seed picks. Both are refused during the run, which ends
    // as always: one OK line, exit code 0.
    json scenario = {
        {"keyboard", json::object()},
        {"events_anywhere", true},
        {"events",
         {event_on("button_enabled", 500, "press_update"), event_on("log:within 20 seconds", 3000, "detach"),
          event_on("log:within 20 seconds", 5000, "attach"), event_on("log:DFU DOWNLOAD", 0, "close"),
          event_on("log:DFU DOWNLOAD", 0, "alt_u"), event_on("prompt", 1000, "restart_later"),
          event_on("prompt", 3000, "close")}}};
    bool seen[2] = {false, false};  // close first, Alt+U first: both before the first block
    for (int seed : {1, 2, 3, 4, 5, 6}) {
        auto run = run_sim(scenario, {"--seed", std::to_string(seed)});
        std::string what = "seed " + std::to_string(seed);
        EXPECT_EQ(run.status, 0) << what;
        auto lines = result_lines(run);
        ASSERT_EQ(lines.size(), 1u) << what;
        EXPECT_EQ(lines[0].rfind("OK: ", 0), 0u) << what;
        // What follows the line, in the trace's order; the clock never
        // goes back from one record to the next.
        std::vector<std::string> after;
        bool started = false;
        long long last = 0, back = 0;
        for (const json& r : run.records) {
            back += r["t"].get<long long>() < last;
            last = r["t"].get<long long>();
            if (r["ev"] == "log" && r["text"].get<std::string>().find("DFU DOWNLOAD") != std::string::npos)
                started = true;
            else if (started && after.size() < 3 && r["ev"] == "user")
                after.push_back(r["do"]);
            else if (started && after.size() < 3 && r["ev"] == "dfu" && r["req"] == "DNLOAD")
                after.push_back("block");
        }
        EXPECT_EQ(back, 0) << what;
        ASSERT_GE(after.size(), 3u) << what;
        if (after[2] == "block")
            seen[after[0] == "alt_u"] = true;
    }
    EXPECT_TRUE(seen[0] && seen[1]) << "the seeds reach both orders before the first block";
}
