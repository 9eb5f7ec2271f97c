// -check: what an update would do, told by the exit code and one line on the
// standard output, without a window, a run or a result line.
#include "scenario_helpers.h"

#include <gtest/gtest.h>

using worldtest::json;
using worldtest::run_sim;

TEST(Check, EachOutcomeEndsHiddenWithoutARunOrAResultLine)
{
    const std::string kGetVersion = "0607FFFFFFFF";  // report 6, command 7
    struct Case {
        const char* name;
        json scenario;
        int code;
        std::string line;  // the standard output, up to the package's versions
    };
    const std::string package = " package_nxp=0353 package_bt=A23F\r\n";
    std::vector<Case> cases = {
        {"up to date",
         {{"keyboard", {{"nxp", 0x0353}, {"bt", 0xA23F}}}},
         0,
         "outcome=up-to-date nxp=0353 bt=A23F" + package},
        {"older keyboard",
         {{"args", "/Check"}, {"keyboard", json::object()}},
         10,
         "outcome=update-applies nxp=0352 bt=A23F" + package},
        {"boot loader only",
         {{"keyboard", {{"mode", "bootloader"}}}},
         10,
         "outcome=update-applies nxp=0000 bt=0000" + package},
        {"nothing attached", json::object(), 11, "outcome=no-keyboard nxp=0000 bt=0000" + package},
        {"other Bluetooth family",
         {{"keyboard", {{"bt", 0x0120}}}},
         12,
         "outcome=not-applicable nxp=0352 bt=0120" + package},
        {"newer keyboard",
         {{"keyboard", {{"nxp", 0x0354}}}},
         12,
         "outcome=not-applicable nxp=0354 bt=A23F" + package},
        // The keyboard takes no report: its NXP version alone decides.
        {"no answer, package's NXP",
         {{"keyboard", {{"nxp", 0x0353}, {"hang_after_reports", 0}}}},
         0,
         "outcome=up-to-date nxp=0353 bt=0000" + package},
    };
    for (Case& c : cases) {
        if (!c.scenario.contains("args"))
            c.scenario["args"] = "-check";
        auto run = run_sim(c.scenario);
        SCOPED_TRACE(c.name);
        EXPECT_EQ(run.status, c.code) << run.error;
        EXPECT_EQ(run.summary()["exit_code"], c.code);
        const json* window = run.first("window");
        ASSERT_NE(window, nullptr);
        EXPECT_EQ((*window)["visible"], false);
        EXPECT_TRUE(run.summary()["result_log"].is_null());
        EXPECT_TRUE(run.events("shell").empty());
        EXPECT_TRUE(run.events("msgbox").empty());
        // Only version queries reach the keyboard; the run ends well within 10 s.
        for (const json& r : run.events("kb_out"))
            EXPECT_EQ(r["hex"].get<std::string>().substr(0, 12), kGetVersion);
        EXPECT_EQ(run.events("dfu").size(), 0u);
        EXPECT_LE(run.events("exit").at(0)["t"].get<long long>(), 10000);
        std::string out;
        for (const json& r : run.events("stdout"))
            out += r["text"].get<std::string>();
        EXPECT_EQ(out, c.line);
    }
}

TEST(Check, AProgramWithoutPackageEndsWithThirteen)
{
    auto run = run_sim({{"args", "-check"}}, {"--program", worldtest::kBareProgram});
    EXPECT_EQ(run.status, 13) << run.error;
    EXPECT_EQ(run.first("window")->at("visible"), false);
    EXPECT_TRUE(run.summary()["result_log"].is_null());
    ASSERT_EQ(run.events("stdout").size(), 1u);
    EXPECT_EQ(run.events("stdout")[0]["text"],
              "outcome=no-package nxp=0000 bt=0000 package_nxp=0000 package_bt=0000\r\n");
}

TEST(Switches, QuestionMarkListsTheSwitchesAndExitCodesThenEnds)
{
    for (const char* args : {"-?", "/? -silent"}) {
        auto run = run_sim({{"args", args}, {"keyboard", json::object()}});
        SCOPED_TRACE(args);
        EXPECT_EQ(run.status, 0) << run.error;
        EXPECT_EQ(run.first("window"), nullptr);
        EXPECT_TRUE(run.events("kb_out").empty());
        EXPECT_TRUE(run.summary()["result_log"].is_null());
        auto boxes = run.events("msgbox");
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0]["caption"], "Orvex Tessel Keyboard Firmware Updater");
        std::string text = boxes[0]["text"];
        for (const char* part :
             {"-silent", "/silent", "-lang=N", "-check", "-trace=FILE", "record a support trace to FILE",
              "10\t-check: the update applies", "11\t-check: no keyboard", "12\t", "13\t"})
            EXPECT_NE(text.find(part), std::string::npos) << part;
    }
}
