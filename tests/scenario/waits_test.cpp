// The waits the update sequence must keep, read from traces to the
// millisecond: the gap between two records that bracket each wait. A report
// written to the keyboard takes 1 ms in the simulated world, which is where
// the odd milliseconds come from.
#include "scenario_helpers.h"

#include <gtest/gtest.h>

using worldtest::json;
using worldtest::run_sim;
const auto on = worldtest::event_on;

namespace {

const std::string kS08 = "Keyboard firmware update fail";
const std::string kS10 = "within 20 seconds";
const std::string kGetVersion = "0607FFFFFFFF";
const std::string kEnterDfu = "0608AA55";
const std::string kFinish = "060B00";

// A record: the n-th (from 0) of kind `ev` whose field `key` starts with
// `prefix` (numbers compared by their text), or equals it when `whole`. An
// empty key takes every record of the kind.
struct Mark {
    std::string ev;
    std::string key;
    std::string prefix;
    int nth;
    bool whole = false;
};

long long time_of(const worldtest::WorldRun& run, const Mark& m)
{
    int seen = 0;
    for (const json& r : run.records) {
        if (r["ev"] != m.ev)
            continue;
        if (!m.key.empty()) {
            if (!r.contains(m.key))
                continue;
            const json& v = r[m.key];
            std::string text = v.is_string() ? v.get<std::string>() : v.dump();
            if (m.whole ? text != m.prefix : text.rfind(m.prefix, 0) != 0)
                continue;
        }
        if (seen++ == m.nth)
            return r["t"];
    }
    return -1;
}

struct Wait {
    const char* what;
    Mark from;
    Mark to;
    long long ms;
};

void expect_waits(const worldtest::WorldRun& run, const std::vector<Wait>& waits)
{
    for (const Wait& w : waits) {
        long long from = time_of(run, w.from);
        long long to = time_of(run, w.to);
        ASSERT_GE(from, 0) << w.what << ": no record " << w.from.ev << " " << w.from.prefix;
        ASSERT_GE(to, 0) << w.what << ": no record " << w.to.ev << " " << w.to.prefix;
        EXPECT_EQ(to - from, w.ms) << w.what;
    }
}

}  // namespace

TEST(Waits, InteractiveRunKeepsEveryMandatedWait)
{
    // A keyboard that never reports readiness, never acknowledges the finish
    // command and reports another Bluetooth version after the update: every
    // wait of the sequence runs to its end.
    json slow = {{"keyboard", {{"bt_ready", false}, {"finish_ack", false}, {"bt_after", 0x1234}}},
                 {"events",
                  {on("button_enabled", 500, "press_update"), on("log:" + kS10, 3000, "detach"),
                   on("log:" + kS10, 5000, "attach")}},
                 {"until", 200000}};
    auto run = run_sim(slow);
    expect_waits(
        run,
        {
            {"first probe 250 ms after start, its query written",
             {"start", "", "", 0},
             {"kb_out", "hex", kGetVersion, 0},
             251},
            {"readiness queries 1 s apart",
             {"kb_out", "hex", kGetVersion, 1},
             {"kb_out", "hex", kGetVersion, 2},
             1001},
            {"never ready: 10 queries, 100 waits of 100 ms, then the 1000 ms pause",
             {"user", "do", "press_update", 0},
             {"state", "value", "2", 0},
             10 + 10000 + 1000},
            {"4000 ms after the switch to the boot loader",
             {"kb_out", "hex", kEnterDfu, 0},
             {"state", "value", "4", 0},
             4000},
            {"5000 ms before the finish command",
             {"result", "value", "5", 0},
             {"state", "value", "6", 0},
             5000},
            {"finish handshake: 8 tries of 1 s",
             {"state", "value", "6", 0},
             {"log", "text", "Please detach", 0},
             8 * 1001},
            {"finish tries 1 s apart", {"kb_out", "hex", kFinish, 6}, {"kb_out", "hex", kFinish, 7}, 1001},
            {"count-down numbers 1 s apart", {"log", "text", " 20", 0}, {"log", "text", " 19", 0}, 1000},
            {"version queries 1 s apart",
             {"kb_out", "hex", kGetVersion, 20},
             {"kb_out", "hex", kGetVersion, 21},
             1001},
            {"version check: 50 queries of 1 s",
             {"state", "value", "10", 0},
             {"log", "text", kS08, 0},
             50 * 1001},
        });
    EXPECT_TRUE(run.summary()["result_log"].get<std::string>().find("error=6") != std::string::npos);

    // The user never detaches: the count-down runs out, then 8 s more.
    json stay = {{"keyboard", json::object()}, {"events", {on("button_enabled", 500, "press_update")}}};
    auto stayed = run_sim(stay);
    expect_waits(
        stayed,
        {
            {"count-down from 20 to 1", {"log", "text", " 20", 0}, {"log", "text", " 1", 0, true}, 19000},
            {"the count-down's last second and its 8 s tail",
             {"log", "text", " 1", 0, true},
             {"log", "text", kS08, 0},
             9000},
        });
    EXPECT_TRUE(stayed.summary()["result_log"].get<std::string>().find("error=5") != std::string::npos);

    // The keyboard never comes back from its boot loader: 30 s.
    auto gone = run_sim({{"keyboard", {{"returns", false}}},
                         {"events", {on("button_enabled", 500, "press_update")}},
                         {"until", 120000}});
    expect_waits(gone, {{"30 s for the keyboard after the download",
                         {"state", "value", "5", 0},
                         {"log", "text", kS08, 0},
                         30000}});
}

TEST(Waits, SilentRunSkipsThePausesAndEndsAtItsLimit)
{
    auto run = run_sim({{"args", "-silent"}, {"keyboard", json::object()}});
    expect_waits(run, {
                          {"the first probe starts the run at 250 ms",
                           {"start", "", "", 0},
                           {"state", "value", "1", 0},
                           250},
                          {"no pause, handshake or count-down: the check's first query at once",
                           {"state", "value", "10", 0},
                           {"kb_out", "hex", kGetVersion, 1},
                           1},
                      });
    EXPECT_EQ(run.status, 0) << run.error;
    EXPECT_EQ(time_of(run, {"kb_out", "hex", kFinish, 0}), -1);

    // A boot loader slow enough that the download is still running at 45 s:
    // the limit writes the line and ends the tool then.
    auto limited = run_sim({{"args", "-silent"}, {"keyboard", {{"bootloader", {{"poll_ms", 65}}}}}});
    expect_waits(limited, {{"the 45 s limit", {"start", "", "", 0}, {"exit", "", "", 0}, 45000}});
    EXPECT_TRUE(limited.summary()["result_log"].get<std::string>().find("error=4") != std::string::npos);
}
