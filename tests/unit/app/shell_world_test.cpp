// The entry point and the Update command's refusals, run through WinMain in
// the simulated world. The world runs once per process, so every case runs in
// a child process of its own (death-test style).
#include "app/app.h"
#include "common/globals.h"
#include "package/messages.h"
#include "platform/host/sim_core.h"
#include "platform/host/sim_windows.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace {

#define WORLD_CHECK(cond)                                                                   \
    do {                                                                                    \
        if (!(cond)) {                                                                      \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);   \
            std::_Exit(3);                                                                  \
        }                                                                                   \
    } while (0)

const char* const kSampleWithPackage = TESSEL_SAMPLE_DIR "/tessel-updater.exe";
const char* const kSampleWithoutPackage = TESSEL_SAMPLE_DIR "/bare.exe";
const WPARAM kKeyU = 0x55;

std::string g_dir;

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string result_log() { return g_dir + "/" RESULT_LOG_NAME; }

sim::WorldConfig world(const char* program_file)
{
    char templ[] = "/tmp/tessel-shell.XXXXXX";
    WORLD_CHECK(mkdtemp(templ) != nullptr);
    g_dir = templ;
    sim::WorldConfig c;
    c.program_file = program_file;
    c.program_dir = g_dir;
    c.until_ms = 60000;
    return c;
}

// Runs the entry point with `args`; `setup` may schedule world events first.
// The child process exits with 100 + the tool's exit code once `after` (run
// in the child after the tool ended) has passed its checks.
void run_tool(const sim::WorldConfig& c, const char* args, std::function<void()> setup,
              std::function<void(int)> after)
{
    sim::configure(c);
    if (setup)
        setup();
    int code = sim::run_entry(args);
    if (after)
        after(code);
    std::fflush(stdout);
    std::_Exit(100 + code);
}

void post_to_main(UINT msg, WPARAM wp, LPARAM lp = 0)
{
    sim::system_post(sim::main_window(), msg, wp, lp);
}

std::string log_view()
{
    sim::Window* log = sim::window_of(sim::child_by_id(sim::main_window(), IDC_LOG));
    return log ? log->text_utf8() : std::string();
}

class ShellWorld : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

}  // namespace

TEST_F(ShellWorld, SecondInstanceEndsWithTwoAndDoesNothingElse)
{
    EXPECT_EXIT(
        {
            sim::WorldConfig c = world(kSampleWithPackage);
            c.other_instance = true;
            run_tool(c, "-silent", nullptr, [](int) {
                WORLD_CHECK(sim::gdi_objects().empty());
                WORLD_CHECK(!exists(result_log()));
                WORLD_CHECK(sim::now_ms() == 0);
            });
        },
        ::testing::ExitedWithCode(102), "");
}

TEST_F(ShellWorld, SilentStartWithoutPackageEndsAtOnceWithOneResultLine)
{
    EXPECT_EXIT(run_tool(world(kSampleWithoutPackage), "-silent", nullptr,
                         [](int) {
                             WORLD_CHECK(slurp(result_log()) == "NG: 2024/03/05-09:05:07 error=1\r\n");
                             WORLD_CHECK(sim::now_ms() < 1000);
                             WORLD_CHECK(sim::system_log().empty());  // no read-me
                             for (const sim::GdiObject& o : sim::gdi_objects())
                                 WORLD_CHECK(!o.live && o.delete_calls == 1);
                         }),
                ::testing::ExitedWithCode(101), "");
}

TEST_F(ShellWorld, WindowWithoutPackageRefusesTheUpdateCommandAndAltU)
{
    // A run would set the result to 1; it stays at the value put there.
    EXPECT_EXIT(run_tool(
                    world(kSampleWithoutPackage), "",
                    [] {
                        sim::schedule_at(50, [] { g_update_result = 9; });
                        sim::schedule_at(100, [] {
                            WORLD_CHECK(sim::children(sim::main_window()).empty());
                            post_to_main(WM_COMMAND, IDC_UPDATE);
                            post_to_main(WM_SYSKEYUP, kKeyU);
                        });
                        sim::schedule_at(5000, [] {
                            WORLD_CHECK(g_update_state == ST_IDLE);
                            WORLD_CHECK(g_update_result == 9);
                            post_to_main(WM_CLOSE, 0);
                        });
                    },
                    [](int) { WORLD_CHECK(!exists(result_log())); }),
                ::testing::ExitedWithCode(109), "");
}

TEST_F(ShellWorld, DowngradeIsRefusedWithAWarningOrEndsASilentRun)
{
    // Interactive: a message box with S16; the tool stays.
    EXPECT_EXIT(run_tool(
                    world(kSampleWithPackage), "",
                    [] {
                        sim::schedule_at(50, [] {
                            g_kb_nxp_version = 0x0353;  // equal to the package: a downgrade
                            g_update_result = 9;
                            post_to_main(WM_COMMAND, IDC_UPDATE);
                        });
                        sim::schedule_at(200, [] {
                            WORLD_CHECK(sim::message_boxes().size() == 1);
                            sim::MessageBoxRecord box = sim::message_boxes()[0];
                            char s16[256];
                            load_message(16, s16);
                            WORLD_CHECK(box.caption == "Warning !");
                            WORLD_CHECK(box.text == s16);
                            WORLD_CHECK(box.owner == nullptr);
                            WORLD_CHECK(box.type == (MB_OK | MB_ICONWARNING));
                            WORLD_CHECK(g_update_state == ST_IDLE && g_update_result == 9);
                            post_to_main(WM_CLOSE, 0);
                        });
                    },
                    [](int) { WORLD_CHECK(!exists(result_log())); }),
                ::testing::ExitedWithCode(109), "");
    // Silent: the tool ends at once, without a result line.
    EXPECT_EXIT(run_tool(
                    world(kSampleWithPackage), "-silent",
                    [] {
                        sim::schedule_at(50, [] {
                            g_kb_nxp_version = 0x1354;  // 0x354 in the low 12 bits: newer
                            post_to_main(WM_COMMAND, IDC_UPDATE);
                        });
                    },
                    [](int) {
                        WORLD_CHECK(sim::message_boxes().empty());
                        WORLD_CHECK(!exists(result_log()));
                        WORLD_CHECK(sim::now_ms() < 250);
                    }),
                ::testing::ExitedWithCode(101), "");
}

TEST_F(ShellWorld, IncompatibleBluetoothIcIsRefusedInTheLogView)
{
    EXPECT_EXIT(run_tool(
                    world(kSampleWithPackage), "",
                    [] {
                        sim::schedule_at(50, [] {
                            g_kb_bt_version = 0x0120;  // not of the package's A2 family
                            g_update_result = 9;
                            post_to_main(WM_COMMAND, IDC_UPDATE);
                        });
                        sim::schedule_at(200, [] {
                            char s11[256];
                            load_message(11, s11);
                            std::string text = log_view();
                            std::string tail = std::string("\r\n") + s11;
                            WORLD_CHECK(text.size() > tail.size());
                            WORLD_CHECK(text.compare(text.size() - tail.size(), tail.size(), tail) == 0);
                            WORLD_CHECK(sim::message_boxes().empty());
                            WORLD_CHECK(g_update_state == ST_IDLE && g_update_result == 9);
                            post_to_main(WM_CLOSE, 0);
                        });
                    },
                    nullptr),
                ::testing::ExitedWithCode(109), "");
}

TEST_F(ShellWorld, NoRunStartsWhileOneIsGoingOnOrItsWorkerIsFinishing)
{
    EXPECT_EXIT(run_tool(
                    world(kSampleWithPackage), "",
                    [] {
                        sim::schedule_at(50, [] {
                            g_update_result = 9;
                            g_update_state = ST_WAIT_DETACH;
                            post_to_main(WM_COMMAND, IDC_UPDATE);
                            post_to_main(WM_SYSKEYUP, kKeyU);
                        });
                        sim::schedule_at(100, [] {
                            WORLD_CHECK(g_update_state == ST_WAIT_DETACH && g_update_result == 9);
                            // Idle again, but the worker has not finished yet.
                            g_update_state = ST_IDLE;
                            g_worker_running = 1;
                            post_to_main(WM_COMMAND, IDC_UPDATE);
                            post_to_main(WM_SYSKEYUP, kKeyU);
                        });
                        sim::schedule_at(150, [] {
                            WORLD_CHECK(g_update_state == ST_IDLE && g_update_result == 9);
                            WORLD_CHECK(!sim::window_of(sim::child_by_id(sim::main_window(), IDC_PROGRESS))->visible);
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
                    world(kSampleWithPackage), "",
                    [] {
                        sim::schedule_at(50, [] {
                            g_update_result = 9;
                            post_to_main(WM_COMMAND, IDC_LOG);
                            post_to_main(WM_COMMAND, IDC_PROGRESS);
                            post_to_main(WM_SYSKEYUP, 0x56);  // Alt+V
                            post_to_main(WM_SYSKEYUP, 0x75);  // F6
                        });
                        sim::schedule_at(200, [] {
                            WORLD_CHECK(g_update_state == ST_IDLE && g_update_result == 9);
                            WORLD_CHECK(sim::message_boxes().empty());
                            post_to_main(WM_CLOSE, 0);
                        });
                    },
                    nullptr),
                ::testing::ExitedWithCode(109), "");
}

TEST_F(ShellWorld, CloseButtonAfterAVerifiedRunEndsTheTool)
{
    // The Update command with the notification code of a click, after a verified run.
    EXPECT_EXIT(run_tool(world(kSampleWithPackage), "",
                         [] {
                             sim::schedule_at(50, [] {
                                 g_update_done = 1;
                                 g_update_result = 0;
                                 post_to_main(WM_COMMAND, (WPARAM)MAKELPARAM(IDC_UPDATE, BN_CLICKED));
                             });
                         },
                         [](int) { WORLD_CHECK(sim::now_ms() < 1000); }),
                ::testing::ExitedWithCode(100), "");
}

TEST_F(ShellWorld, UpdateCommandAndAltUStartARunWhenIdle)
{
    // A run starts with the result 1 and shows the progress bar; the run
    // itself is not looked at here, so the world ends right after.
    for (WPARAM key : {WPARAM(0), kKeyU}) {
        EXPECT_EXIT(run_tool(
                        world(kSampleWithPackage), "",
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
                                WORLD_CHECK(sim::window_of(progress)->visible);
                                WORLD_CHECK(g_update_result != 9);
                                sim::end_run(0);
                            });
                        },
                        nullptr),
                    ::testing::ExitedWithCode(100), "")
            << (key ? "Alt+U" : "Update command");
    }
}
