// The main window, start-up and the ways out, observed through tessel-sim.
#include "scenario_helpers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

using worldtest::json;
using worldtest::run_sim;

namespace {

// The sample package's INI text, read independently of the tool's reader.
std::string sample_message(const std::string& section, const std::string& key)
{
    std::ifstream in(std::string(TESSEL_SOURCE_DIR) + "/sample-package/package.ini", std::ios::binary);
    std::string line, current;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.size() > 2 && line[0] == '[') {
            current = line.substr(1, line.find(']') - 1);
            continue;
        }
        auto eq = line.find('=');
        if (current == section && eq != std::string::npos && line.substr(0, eq) == key)
            return line.substr(eq + 1);
    }
    return "";
}

const std::string kS02 =
    "Please attach your keyboard and connect power adapter to your tablet. Please DO NOT detach the "
    "keyboard during the update process until instructed ...";

}  // namespace

TEST(Window, SamplePackageBuildsTheControlsAndCloseEndsWithOne)
{
    auto run = run_sim({{"events", {{{"at", 1000}, {"do", "close"}}}}});
    ASSERT_EQ(run.status, 1) << run.error;
    const json* window = run.first("window");
    ASSERT_NE(window, nullptr);
    EXPECT_EQ((*window)["title"], "Orvex Tessel Keyboard Firmware Updater");
    EXPECT_EQ((*window)["visible"], true);

    auto controls = run.events("control");
    ASSERT_EQ(controls.size(), 7u);
    // icon, three labels, button, log view, progress bar, in creation order
    EXPECT_TRUE(controls[0]["id"].is_null());
    EXPECT_EQ(controls[0]["class"], "STATIC");
    EXPECT_EQ(controls[1]["text"], "Orvex Tessel Keyboard Firmware Updater");
    EXPECT_EQ(controls[2]["text"], "Version =20171016_V0353_BTA23F");
    EXPECT_EQ(controls[3]["text"], "NXP = 0353, BT = A23F");
    EXPECT_EQ(controls[4]["id"], 100);
    EXPECT_EQ(controls[4]["class"], "BUTTON");
    EXPECT_EQ(controls[4]["text"], "Update");
    EXPECT_EQ(controls[4]["enabled"], false);
    EXPECT_EQ(controls[5]["id"], 101);
    EXPECT_EQ(controls[5]["class"], "EDIT");
    EXPECT_EQ(controls[5]["text"], kS02);
    EXPECT_EQ(controls[6]["id"], 110);
    EXPECT_EQ(controls[6]["visible"], false);
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(controls[i]["visible"], true) << i;

    // The log view starts with S02 and a line break; nothing else happened.
    EXPECT_EQ(run.summary()["log_view"], kS02 + "\r\n");
    EXPECT_EQ(run.summary()["exit_code"], 1);
    EXPECT_TRUE(run.summary()["result_log"].is_null());
    auto exits = run.events("exit");
    ASSERT_EQ(exits.size(), 1u);
    EXPECT_EQ(exits[0]["t"], 1000);
}

TEST(Window, SecondInstanceExitsWithTwoAndDoesNothing)
{
    for (const char* args : {"", "-silent"}) {
        auto run = run_sim({{"other_instance", true}, {"args", args}});
        EXPECT_EQ(run.status, 2);
        EXPECT_EQ(run.first("window"), nullptr);
        EXPECT_TRUE(run.summary()["result_log"].is_null());
    }
}

TEST(Window, TextsFollowTheLocaleAndTheLanguageOption)
{
    struct Case {
        json scenario;
        std::string section;
    };
    std::vector<Case> cases = {
        {{{"locale", {{"langid", 0x040C}, {"lcid", 0x040C}}}}, "LANG01"},
        {{{"locale", {{"langid", 0x0416}, {"lcid", 0x0416}}}}, "LANG05"},
        {{{"locale", {{"langid", 0x0404}, {"lcid", 0x0404}}}}, "LANG06"},
        {{{"locale", {{"langid", 0x0804}, {"lcid", 0x0804}}}}, "LANG07"},
        {{{"locale", {{"langid", 0x0417}, {"lcid", 0x0417}}}}, "LANG00"},
        {{{"args", "-lang=6"}, {"locale", {{"langid", 0x040C}, {"lcid", 0x040C}}}}, "LANG06"},
        {{{"args", "\"-lang=2\" -silent"}}, "LANG02"},
    };
    for (auto& c : cases) {
        c.scenario["until"] = 2000;
        auto run = run_sim(c.scenario);
        const json* button = run.control(100);
        ASSERT_NE(button, nullptr) << c.scenario.dump();
        std::string expected = sample_message(c.section, "S01");
        ASSERT_FALSE(expected.empty()) << c.section;
        EXPECT_EQ((*button)["text"], expected) << c.scenario.dump();
        // S02: the section's own, else its fallback, else English.
        std::string s02 = sample_message(c.section, "S02");
        const json* log = run.control(101);
        ASSERT_NE(log, nullptr);
        EXPECT_EQ((*log)["text"], s02.empty() ? kS02 : s02) << c.scenario.dump();
    }
}

TEST(Window, ProgramWithoutPackageShowsAnEmptyWindow)
{
    std::string bare = std::string(TESSEL_SAMPLE_DIR) + "/bare.exe";
    auto run = run_sim({{"events", {{{"at", 500}, {"do", "close"}}}}}, {"--program", bare});
    EXPECT_EQ(run.status, 1) << run.error;
    ASSERT_NE(run.first("window"), nullptr);
    EXPECT_TRUE(run.events("control").empty());
    EXPECT_TRUE(run.events("log").empty());
}

TEST(Window, SilentWithoutPackageEndsAtOnceWithOneResultLine)
{
    std::string bare = std::string(TESSEL_SAMPLE_DIR) + "/bare.exe";
    auto run = run_sim({{"args", "-silent"}}, {"--program", bare});
    EXPECT_EQ(run.status, 1) << run.error;
    ASSERT_NE(run.first("window"), nullptr);
    EXPECT_EQ((*run.first("window"))["visible"], false);
    EXPECT_EQ(run.summary()["result_log"], "NG: 2024/03/05-09:05:07 error=1\r\n");
    EXPECT_EQ(run.events("exit")[0]["t"], 0);
}

TEST(Window, SilentRunEndsAtItsTimeLimitWithAResultLine)
{
    // The keyboard comes back with its old version: the version check would
    // go on for 50 s, but the time limit ends the tool 45 s after start.
    auto run = run_sim(
        {{"args", "-silent"}, {"clock", "2023-12-31 23:59:30"}, {"keyboard", {{"nxp_after", 0x0352}}}});
    EXPECT_EQ(run.status, 7) << run.error;
    EXPECT_EQ(run.events("exit")[0]["t"], 45000);
    EXPECT_EQ(run.summary()["result_log"], "NG: 2024/01/01-00:00:15 error=7\r\n");
}

TEST(Window, PressingADisabledButtonDoesNothingAndAltUWithoutPackageIsRefused)
{
    std::string bare = std::string(TESSEL_SAMPLE_DIR) + "/bare.exe";
    auto run = run_sim({{"events",
                         {{{"at", 300}, {"do", "alt_u"}},
                          {{"at", 400}, {"do", "press_update"}},
                          {{"at", 500}, {"do", "close"}}}}},
                       {"--program", bare});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(run.events("state").empty());
    EXPECT_TRUE(run.events("result").empty());
    EXPECT_EQ(run.events("user").size(), 3u);
}

TEST(Window, TraceIsTheSameEveryTime)
{
    json scenario = {{"args", "-lang=1"},
                     {"events", {{{"at", 300}, {"do", "alt_u"}}, {{"at", 5000}, {"do", "close"}}}}};
    auto a = run_sim(scenario);
    auto b = run_sim(scenario);
    EXPECT_FALSE(a.text.empty());
    EXPECT_EQ(a.text, b.text);
}

TEST(Window, UnusableScenarioOrProgramGives126WithOneLine)
{
    auto bad_field = run_sim({{"until", "soon"}});
    EXPECT_EQ(bad_field.status, 126);
    EXPECT_NE(bad_field.error.find("until"), std::string::npos);
    EXPECT_EQ(std::count(bad_field.error.begin(), bad_field.error.end(), '\n'), 1);

    auto bad_action = run_sim({{"events", {{{"at", 1}, {"do", "dance"}}}}});
    EXPECT_EQ(bad_action.status, 126);
    EXPECT_NE(bad_action.error.find("events[0].do"), std::string::npos);

    auto no_program = run_sim(json::object(), {"--program", "/nonexistent/x.exe"});
    EXPECT_EQ(no_program.status, 126);
    EXPECT_NE(no_program.error.find("/nonexistent/x.exe"), std::string::npos);
}

TEST(Window, ControlCharactersInAValueKeepTheMessageOnOneLine)
{
    auto run = run_sim({{"events", {{{"at", 1}, {"do", "attach\n\x1b[2J"}}}}});
    EXPECT_EQ(run.status, 126);
    EXPECT_EQ(std::count(run.error.begin(), run.error.end(), '\n'), 1) << run.error;
    EXPECT_EQ(run.error.find('\x1b'), std::string::npos);
    EXPECT_NE(run.error.find("attach\\n\\u001b[2J"), std::string::npos) << run.error;
}

TEST(Window, TimeLimitGives125AndASummaryWithoutExitCode)
{
    auto run = run_sim({{"until", 3000}});
    EXPECT_EQ(run.status, 125);
    EXPECT_TRUE(run.summary()["exit_code"].is_null());
    EXPECT_EQ(run.summary()["t"], 3000);
    EXPECT_TRUE(run.events("exit").empty());
}

TEST(Window, StateChangesAreTracedBeforeWhatFollowsThem)
{
    // Alt+U sets the state, then shows the progress bar in the same breath:
    // the trace must show the new state first.
    auto run = run_sim({{"events", {{{"at", 300}, {"do", "alt_u"}}, {{"at", 2000}, {"do", "close"}}}}}, {});
    size_t state_at = run.records.size(), shown_at = run.records.size();
    for (size_t i = 0; i < run.records.size(); i++) {
        const json& r = run.records[i];
        if (state_at == run.records.size() && r["ev"] == "state" && r["value"] == 3)
            state_at = i;
        if (shown_at == run.records.size() && r["ev"] == "progress_shown")
            shown_at = i;
    }
    ASSERT_LT(shown_at, run.records.size());
    ASSERT_LT(state_at, run.records.size()) << "no state 3 in the trace";
    EXPECT_LT(state_at, shown_at);
    EXPECT_EQ(run.records[state_at]["t"], 300);
}

TEST(Window, MalformedClockOrProgramPathGives126)
{
    for (const char* clock : {"2024-03-05 09:05: 7", "2024-+3-05 09:05:07", "2024-03-05\t09:05:07",
                              "2024-03-05 09:05:07 ", "2024-02-30 09:05:07"}) {
        auto run = run_sim({{"clock", clock}});
        EXPECT_EQ(run.status, 126) << clock;
        EXPECT_NE(run.error.find("clock"), std::string::npos) << clock;
    }
    auto leap = run_sim({{"clock", "2024-02-29 23:59:59"}, {"until", 10}});
    EXPECT_EQ(leap.status, 125) << leap.error;

    // The tool sees a full path of its own file; anything else leaves it
    // without its package and its directory.
    for (const char* path : {"tessel-updater.exe", "C:tessel-updater.exe", "\\Tessel\\tessel-updater.exe",
                             "C:\\Tessel\\", "\\\\server\\share\\tessel-updater.exe"}) {
        auto run = run_sim({{"program_path", path}});
        EXPECT_EQ(run.status, 126) << path;
        EXPECT_NE(run.error.find("program_path"), std::string::npos) << path;
    }
    // A program in a drive's root finds its package and writes its log.
    auto root = run_sim({{"program_path", "D:\\tool.exe"}, {"args", "-silent"}, {"until", 60000}});
    EXPECT_NE(root.status, 126) << root.error;
    EXPECT_EQ(root.events("control").size(), 7u);
    ASSERT_TRUE(root.summary()["result_log"].is_string());
    EXPECT_EQ(root.summary()["result_log"].get<std::string>().rfind("NG: 2024/03/05-09:0", 0), 0u);
}

TEST(Window, ScenarioFilesAreNamedAsWindowsNamesThem)
{
    // The tool appends to an existing log whatever the case of its name; the
    // summary shows that file.
    std::string bare = std::string(TESSEL_SAMPLE_DIR) + "/bare.exe";
    auto run = run_sim({{"args", "-silent"}, {"files", {{"logfilekarstdfu.txt", "earlier\r\n"}}}},
                       {"--program", bare});
    EXPECT_EQ(run.status, 1) << run.error;
    EXPECT_EQ(run.summary()["result_log"], "earlier\r\nNG: 2024/03/05-09:05:07 error=1\r\n");

    // Two entries for one Windows file are refused.
    auto twice = run_sim({{"files", {{"readme.mht", "a"}, {"README.MHT", "b"}}}});
    EXPECT_EQ(twice.status, 126);
    EXPECT_NE(twice.error.find("files."), std::string::npos);
}
