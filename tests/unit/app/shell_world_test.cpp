// The entry point and the Update command's refusals, run through WinMain in
// the simulated world. The world runs once per process, so every case runs in
// a child process of its own (death-test style).
#include "common/world_test.h"
#include "host/sim_internal.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

using namespace worldtest;

namespace {

const WPARAM kKeyU = 0x55;

std::string result_log()
{
    return g_dir + "/" RESULT_LOG_NAME;
}

WorldSetup world(const char* program_file)
{
    WorldSetup w;
    w.program_file = program_file;
    w.until_ms = 60000;
    return w;
}

// Runs the entry point with `args`; `setup` may schedule world events first.
// The child process exits with 100 + the tool's exit code once `after` (run
// in the child after the tool ended) has passed its checks.
[[noreturn]] void run_tool(const WorldSetup& w, const char* args, std::function<void()> setup,
                           std::function<void(int)> after)
{
    std::_Exit(100 + run_entry_in_world(w, args, setup, after));
}

void post_to_main(UINT msg, WPARAM wp, LPARAM lp = 0)
{
    sim::system_post(sim::main_window(), msg, wp, lp);
}

class ShellWorld : public WorldTest {};

}  // namespace

TEST_F(ShellWorld, SecondInstanceEndsWithTwoAndDoesNothingElse)
{
    EXPECT_EXIT(
        {
            WorldSetup c = world(kSampleProgram);
            c.other_instance = true;
            run_tool(c, "-silent", nullptr, [](int) {
                CHECK(sim::gdi_objects().empty());
                CHECK(!exists(result_log()));
                CHECK(sim::now_ms() == 0);
            });
        },
        ::testing::ExitedWithCode(102), "");
}

TEST_F(ShellWorld, SilentStartWithoutPackageEndsAtOnceWithOneResultLine)
{
    EXPECT_EXIT(run_tool(world(kBareProgram), "-silent", nullptr,
                         [](int) {
                             CHECK(slurp(result_log()) == "NG: 2024/03/05-09:05:07 error=1\r\n");
                             CHECK(sim::now_ms() < 1000);
                             CHECK(sim::system_log().empty());  // no read-me
                             for (const sim::GdiObject& o : sim::gdi_objects())
                                 CHECK(!o.live && o.delete_calls == 1);
                         }),
                ::testing::ExitedWithCode(101), "");
}

TEST_F(ShellWorld, WindowWithoutPackageRefusesTheUpdateCommandAndAltU)
{
    // A run would set the result to 1; it stays at the value put there.
    EXPECT_EXIT(run_tool(
                    world(kBareProgram), "",
                    [] {
                        sim::schedule_at(50, [] { g_update_result = 9; });
                        sim::schedule_at(100, [] {
                            CHECK(sim::children(sim::main_window()).empty());
                            // No device registration, no wait event, no timer.
                            CHECK(sim::device_counters().notify_registrations == 0);
                            CHECK(g_wait_event == nullptr);
                            CHECK(sim::next_window_timer_after(sim::now_ms()) == UINT64_MAX);
                            post_to_main(WM_COMMAND, IDC_UPDATE);
                            post_to_main(WM_SYSKEYUP, kKeyU);
                        });
                        sim::schedule_at(5000, [] {
                            CHECK(g_update_state == ST_IDLE);
                            CHECK(g_update_result == 9);
                            post_to_main(WM_CLOSE, 0);
                        });
                    },
                    [](int) { CHECK(!exists(result_log())); }),
                ::testing::ExitedWithCode(109), "");
}

TEST_F(ShellWorld, DowngradeIsRefusedWithAWarningOrEndsASilentRun)
{
    // Interactive: a message box with S16; the tool stays.
    EXPECT_EXIT(run_tool(
                    world(kSampleProgram), "",
                    [] {
                        sim::schedule_at(50, [] {
                            g_kb_nxp_version = 0x0353;  // equal to the package: a downgrade
                            g_update_result = 9;
                            post_to_main(WM_COMMAND, IDC_UPDATE);
                        });
                        sim::schedule_at(200, [] {
                            CHECK(sim::message_boxes().size() == 1);
                            sim::MessageBoxRecord box = sim::message_boxes()[0];
                            char s16[256];
                            load_message(16, s16);
                            CHECK(box.caption == "Warning !");
                            CHECK(box.text == s16);
                            CHECK(box.owner == nullptr);
                            CHECK(box.type == (MB_OK | MB_ICONWARNING));
                            CHECK(g_update_state == ST_IDLE && g_update_result == 9);
                            post_to_main(WM_CLOSE, 0);
                        });
                    },
                    [](int) { CHECK(!exists(result_log())); }),
                ::testing::ExitedWithCode(109), "");
    // Silent: the tool ends at once, without a result line.
    EXPECT_EXIT(run_tool(
                    world(kSampleProgram), "-silent",
                    [] {
                        sim::schedule_at(50, [] {
                            g_kb_nxp_version = 0x1354;  // 0x354 in the low 12 bits: newer
                            post_to_main(WM_COMMAND, IDC_UPDATE);
                        });
                    },
                    [](int) {
                        CHECK(sim::message_boxes().empty());
                        CHECK(!exists(result_log()));
                        CHECK(sim::now_ms() < 250);
                    }),
                ::testing::ExitedWithCode(101), "");
}

TEST_F(ShellWorld, IncompatibleBluetoothIcIsRefusedInTheLogView)
{
    EXPECT_EXIT(run_tool(
                    world(kSampleProgram), "",
                    [] {
                        sim::schedule_at(50, [] {
                            g_kb_bt_version = 0x0120;  // not of the package's A2 family
                            g_update_result = 9;
                            post_to_main(WM_COMMAND, IDC_UPDATE);
                        });
                        sim::schedule_at(200, [] {
                            char s11[256];
                            load_message(11, s11);
                            std::string text = log_text();
                            std::string tail = std::string("\r\n") + s11;
                            CHECK(text.size() > tail.size());
                            CHECK(text.compare(text.size() - tail.size(), tail.size(), tail) == 0);
                            CHECK(sim::message_boxes().empty());
                            CHECK(g_update_state == ST_IDLE && g_update_result == 9);
                            post_to_main(WM_CLOSE, 0);
                        });
                    },
                    nullptr),
                ::testing::ExitedWithCode(109), "");
}

TEST_F(ShellWorld, NoRunStartsWhileOneIsGoingOnOrItsWorkerIsFinishing)
{
    EXPECT_EXIT(run_tool(
                    world(kSampleProgram), "",
                    [] {
                        sim::schedule_at(50, [] {
                            g_update_result = 9;
                            g_update_state = ST_WAIT_DETACH;
                            post_to_main(WM_COMMAND, IDC_UPDATE);
                            post_to_main(WM_SYSKEYUP, kKeyU);
                        });
                        sim::schedule_at(100, [] {
                            CHECK(g_update_state == ST_WAIT_DETACH && g_update_result == 9);
                            // Idle again, but the worker has not finished yet.
                            g_update_state = ST_IDLE;
                            g_worker_running = 1;
                            post_to_main(WM_COMMAND, IDC_UPDATE);
                            post_to_main(WM_SYSKEYUP, kKeyU);
                        });
                        sim::schedule_at(150, [] {
                            CHECK(g_update_state == ST_IDLE && g_update_result == 9);
                            CHECK(
                                !sim::window_of(sim::child_by_id(sim::main_window(), IDC_PROGRESS))->visible);
                            g_worker_running = 0;
                            post_to_main(WM_CLOSE, 0);
                        });
                    },
                    nullptr),
                ::testing::ExitedWithCode(109), "");
}

TEST_F(ShellWorld, OtherCommandsAndKeysDoNothing)
{
    EXPECT_EXIT(run_tool(
                    world(kSampleProgram), "",
                    [] {
                        sim::schedule_at(50, [] {
                            g_update_result = 9;
                            post_to_main(WM_COMMAND, IDC_LOG);
                            post_to_main(WM_COMMAND, IDC_PROGRESS);
                            post_to_main(WM_SYSKEYUP, 0x56);  // Alt+V
                            post_to_main(WM_SYSKEYUP, 0x75);  // F6
                        });
                        sim::schedule_at(200, [] {
                            CHECK(g_update_state == ST_IDLE && g_update_result == 9);
                            CHECK(sim::message_boxes().empty());
                            post_to_main(WM_CLOSE, 0);
                        });
                    },
                    nullptr),
                ::testing::ExitedWithCode(109), "");
}

TEST_F(ShellWorld, CloseButtonAfterAVerifiedRunEndsTheTool)
{
    // The Update command with the notification code of a click, after a verified run.
    EXPECT_EXIT(run_tool(
                    world(kSampleProgram), "",
                    [] {
                        sim::schedule_at(50, [] {
                            g_update_done = 1;
                            g_update_result = 0;
                            post_to_main(WM_COMMAND, (WPARAM)MAKELPARAM(IDC_UPDATE, BN_CLICKED));
                        });
                    },
                    [](int) { CHECK(sim::now_ms() < 1000); }),
                ::testing::ExitedWithCode(100), "");
}

TEST_F(ShellWorld, UpdateCommandAndAltUStartARunWhenIdle)
{
    // A run starts with the result 1 and shows the progress bar; the run
    // itself is not looked at here, so the world ends right after.
    for (WPARAM key : {WPARAM(0), kKeyU}) {
        EXPECT_EXIT(run_tool(
                        world(kSampleProgram), "",
                        [key] {
                            sim::schedule_at(50, [key] {
                                g_update_result = 9;
                                if (key)
                                    post_to_main(WM_SYSKEYUP, key);
                                else
                                    post_to_main(WM_COMMAND, IDC_UPDATE);
                            });
                            sim::schedule_at(100, [] {
                                HWND progress = sim::child_by_id(sim::main_window(), IDC_PROGRESS);
                                CHECK(sim::window_of(progress)->visible);
                                CHECK(g_update_result != 9);
                                sim::end_run(0);
                            });
                        },
                        nullptr),
                    ::testing::ExitedWithCode(100), "")
            << (key ? "Alt+U" : "Update command");
    }
}
