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

World world(const char* program_file)
{
    World w;
    w.program_file = program_file;
    w.until_ms = 60000;
    return w;
}

// Runs the entry point with `args`, which must end with `code` once `setup`
// (scheduling world events) and `after` (checks of what the run left) ran.
void expect_tool(int code, const World& w, const char* args, std::function<void()> setup,
                 std::function<void()> after)
{
    EXPECT_EQ(tool_in_world(w, args, std::move(setup), std::move(after)).code, code);
}

void post_to_main(UINT msg, WPARAM wp, LPARAM lp = 0)
{
    sim::system_post(sim::main_window(), msg, wp, lp);
}

}  // namespace

TEST(ShellWorld, SecondInstanceEndsWithTwoAndDoesNothingElse)
{
    World c = world(kSampleProgram);
    c.other_instance = true;
    expect_tool(2, c, "-silent", nullptr, [] {
        CHECK(sim::gdi_objects().empty());
        CHECK(!exists(result_log()));
        CHECK(sim::now_ms() == 0);
    });
}

TEST(ShellWorld, SilentStartWithoutPackageEndsAtOnceWithOneResultLine)
{
    expect_tool(1, world(kBareProgram), "-silent", nullptr, [] {
        CHECK(slurp(result_log()) == "NG: 2024/03/05-09:05:07 error=1\r\n");
        CHECK(sim::now_ms() < 1000);
        CHECK(sim::system_log().empty());  // no read-me
        for (const sim::GdiObject& o : sim::gdi_objects())
            CHECK(!o.live && o.delete_calls == 1);
    });
}

TEST(ShellWorld, WindowWithoutPackageRefusesTheUpdateCommandAndAltU)
{
    // A run would set the result to 1; it stays at the value put there.
    expect_tool(
        9, world(kBareProgram), "",
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
        [] { CHECK(!exists(result_log())); });
}

TEST(ShellWorld, DowngradeIsRefusedWithAWarningOrEndsASilentRun)
{
    // Interactive: a message box with S16; the tool stays.
    expect_tool(
        9, world(kSampleProgram), "",
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
        [] { CHECK(!exists(result_log())); });
    // Silent: the tool ends at once, without a result line.
    expect_tool(
        1, world(kSampleProgram), "-silent",
        [] {
            sim::schedule_at(50, [] {
                g_kb_nxp_version = 0x1354;  // 0x354 in the low 12 bits: newer
                post_to_main(WM_COMMAND, IDC_UPDATE);
            });
        },
        [] {
            CHECK(sim::message_boxes().empty());
            CHECK(!exists(result_log()));
            CHECK(sim::now_ms() < 250);
        });
}

TEST(ShellWorld, IncompatibleBluetoothIcIsRefusedInTheLogView)
{
    expect_tool(
        9, world(kSampleProgram), "",
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
        nullptr);
}

TEST(ShellWorld, NoRunStartsWhileOneIsGoingOnOrItsWorkerIsFinishing)
{
    expect_tool(
        9, world(kSampleProgram), "",
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
                CHECK(!sim::window_of(sim::child_by_id(sim::main_window(), IDC_PROGRESS))->visible);
                g_worker_running = 0;
                post_to_main(WM_CLOSE, 0);
            });
        },
        nullptr);
}

TEST(ShellWorld, OtherCommandsAndKeysDoNothing)
{
    expect_tool(
        9, world(kSampleProgram), "",
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
        nullptr);
}

TEST(ShellWorld, CloseButtonAfterAVerifiedRunEndsTheTool)
{
    // The Update command with the notification code of a click, after a verified run.
    expect_tool(
        0, world(kSampleProgram), "",
        [] {
            sim::schedule_at(50, [] {
                g_update_done = 1;
                g_update_result = 0;
                post_to_main(WM_COMMAND, (WPARAM)MAKELPARAM(IDC_UPDATE, BN_CLICKED));
            });
        },
        [] { CHECK(sim::now_ms() < 1000); });
}

TEST(ShellWorld, UpdateCommandAndAltUStartARunWhenIdle)
{
    // A run starts with the result 1 and shows the progress bar; the run
    // itself is not looked at here, so the world ends right after.
    for (WPARAM key : {WPARAM(0), kKeyU}) {
        SCOPED_TRACE(key ? "Alt+U" : "Update command");
        expect_tool(
            0, world(kSampleProgram), "",
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
            nullptr);
    }
}
