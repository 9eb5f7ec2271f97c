// The support trace: what it tells of a failed run, a replay that leaves the
// recording, and a trace file that cannot be written. (Every scenario run by
// run_sim is also recorded and replayed: see world_test.h.)
#include "scenario_helpers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

using worldtest::json;
using worldtest::run_sim;
using worldtest::slurp;

namespace {

std::vector<json> lines_of(const std::string& text)
{
    std::vector<json> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty())
            out.push_back(json::parse(line));
    return out;
}

const json* cause_of(const std::vector<json>& records)
{
    for (const json& r : records)
        if (r.value("ev", "") == "cause")
            return &r;
    return nullptr;
}

}  // namespace

TEST(Trace, AFailedDownloadNamesItsBlockAndAReplayThatLeavesTheRecordingSaysWhere)
{
    testing_support::TempFolder dir("tessel-trace");
    json scenario = {{"args", "-silent"}, {"keyboard", {{"bootloader", {{"error_at_block", 7}}}}}};
    std::ofstream(dir / "scenario.json") << scenario.dump();
    std::string sim = TESSEL_SIM;
    std::string record = dir / "record.jsonl";
    ASSERT_EQ(std::system(("'" + sim + "' --record '" + record + "' --trace '" + (dir / "run.jsonl") + "' '" +
                           (dir / "scenario.json") + "'")
                              .c_str()) >>
                  8,
              4);

    // The recording names the block the device refused and its status; so
    // does the trace of its replay, which ends alike.
    std::vector<json> recorded = lines_of(slurp(record));
    const json* cause = cause_of(recorded);
    ASSERT_NE(cause, nullptr);
    EXPECT_EQ((*cause)["name"], "dfu_status_error");
    EXPECT_EQ((*cause)["block"], 7);
    EXPECT_EQ((*cause)["status"], 5);  // errCHECK_ERASED
    EXPECT_EQ((*cause)["state"], 10);  // dfuERROR
    int replayed = std::system(("'" + sim + "' --device-replay '" + record + "' --trace '" +
                                (dir / "replay.jsonl") + "' 2>/dev/null")
                                   .c_str()) >>
                   8;
    EXPECT_EQ(replayed, 4);
    std::vector<json> replay = lines_of(slurp(dir / "replay.jsonl"));
    ASSERT_NE(cause_of(replay), nullptr);
    EXPECT_EQ((*cause_of(replay))["block"], 7);
    EXPECT_EQ(replay.back()["result_log"], lines_of(slurp(dir / "run.jsonl")).back()["result_log"]);

    // The recording's 100th report altered: the tool sends what it always
    // sends, and the replay stops there and says where.
    std::ofstream altered(dir / "altered.jsonl");
    int reports = 0, line = 0, altered_line = 0;
    for (json r : recorded) {
        ++line;
        if (r["ev"] == "kb_out" && ++reports == 100) {
            std::string hex = r["hex"];
            hex[hex.size() - 1] = hex.back() == '0' ? '1' : '0';
            r["hex"] = hex;
            altered_line = line;
        }
        altered << r.dump() << "\n";
    }
    altered.close();
    std::string err = dir / "stderr.txt";
    int diverged = std::system(("'" + sim + "' --device-replay '" + (dir / "altered.jsonl") + "' --trace '" +
                                (dir / "diverged.jsonl") + "' 2>'" + err + "'")
                                   .c_str()) >>
                   8;
    EXPECT_EQ(diverged, 124);
    std::string report = slurp(err);
    EXPECT_NE(report.find("the tool sent kb_out 0601"), std::string::npos) << report;
    EXPECT_NE(report.find("expected at line " + std::to_string(altered_line) + ": kb_out 0601"),
              std::string::npos)
        << report;
    EXPECT_EQ(lines_of(slurp(dir / "diverged.jsonl")).back()["ev"], "replay_diverged");
}

TEST(Trace, ATraceThatCannotBeWrittenChangesNothing)
{
    // The option stands after the first argument, which keeps its meaning.
    auto plain = run_sim({{"args", "-silent"}, {"keyboard", json::object()}});
    auto traced =
        run_sim({{"args", "-silent -trace=Q:\\no such folder\\t.jsonl"}, {"keyboard", json::object()}});
    EXPECT_EQ(traced.status, 0) << traced.error;
    EXPECT_EQ(traced.status, plain.status);
    EXPECT_EQ(worldtest::replayed_part(traced), worldtest::replayed_part(plain));
}
