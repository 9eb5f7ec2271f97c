// The main window, log view, result log and restart prompt, run in the
// simulated world. The world is process-wide and runs once per process, so
// every case runs in a child process of its own (death-test style).
#include "app/app.h"
#include "common/globals.h"
#include "package/messages.h"
#include "platform/host/sim_core.h"
#include "platform/host/sim_windows.h"
#include "resources/resource.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Fails the child process with a message that the parent test shows.
#define CHECK(cond)                                                                  \
    do {                                                                             \
        if (!(cond)) {                                                               \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::_Exit(3);                                                           \
        }                                                                            \
    } while (0)
#define CHECK_EQ_STR(a, b)                                                                 \
    do {                                                                                   \
        std::string a_ = (a), b_ = (b);                                                    \
        if (a_ != b_) {                                                                    \
            std::fprintf(stderr, "%s:%d: \"%s\" != \"%s\"\n", __FILE__, __LINE__, a_.c_str(), \
                         b_.c_str());                                                      \
            std::_Exit(3);                                                                 \
        }                                                                                  \
    } while (0)

std::string make_dir()
{
    char templ[] = "/tmp/tessel-app.XXXXXX";
    CHECK(mkdtemp(templ) != nullptr);
    return templ;
}

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

std::string g_dir;

// A world with the sample package as the program file and a fresh program directory.
void set_world(const std::string& program_path = "C:\\Tessel\\tessel-updater.exe")
{
    g_dir = make_dir();
    sim::WorldConfig c;
    c.program_path = program_path;
    c.program_file = std::string(TESSEL_SAMPLE_DIR) + "/tessel-updater.exe";
    c.program_dir = g_dir;
    c.until_ms = 10000000;
    sim::configure(c);
}

// Start-up as the entry point makes it, without the message loop.
HWND create_main_window(const char* args = "")
{
    parse_command_line(args);
    g_background_brush = CreateSolidBrush(GetSysColor(COLOR_BTNFACE));
    g_ui_font = CreateFontA(15, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, "Arial");
    WNDCLASSA wc = {};
    wc.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    wc.lpfnWndProc = main_wnd_proc;
    wc.hbrBackground = g_background_brush;
    wc.lpszClassName = APP_CLASS_NAME;
    CHECK(RegisterClassA(&wc) != 0);
    HWND w = CreateWindowExA(WS_EX_CONTROLPARENT, APP_CLASS_NAME, APP_TITLE,
                             WS_OVERLAPPEDWINDOW | (g_silent ? 0 : WS_VISIBLE), CW_USEDEFAULT,
                             CW_USEDEFAULT, 640, 240, nullptr, nullptr, g_instance, nullptr);
    CHECK(w != nullptr);
    return w;
}

// The message loop of the entry point; returns when WM_QUIT arrives.
void pump()
{
    MSG msg;
    while (GetMessageA(&msg, nullptr, 0, 0) > 0) {
        if (IsDialogMessageA(g_main_wnd, &msg))
            continue;
        if (g_restart_dlg && IsDialogMessageA(g_restart_dlg, &msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

sim::Window* control(int id) { return sim::window_of(sim::child_by_id(g_main_wnd, id)); }

// Runs `body` as the simulated UI thread in a child process; exit code 0 means every check passed.
template <typename F>
void in_world(F body)
{
    set_world();
    int code = sim::run_function([&] {
        body();
        return 0;
    });
    std::fflush(stdout);
    std::_Exit(code);
}

class AppWorld : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

}  // namespace

TEST_F(AppWorld, LogAppendMovesTheCaretAndKeepsItsLimit)
{
    EXPECT_EXIT(in_world([] {
                    create_main_window();
                    sim::Window* log = control(IDC_LOG);
                    CHECK(log != nullptr);
                    std::string start = log->text_utf8();
                    // An empty text only moves the caret to the end.
                    SendMessageA(sim::child_by_id(g_main_wnd, IDC_LOG), EM_SETSEL, 0, 0);
                    log_append("");
                    CHECK(log->text_utf8() == start);
                    CHECK(log->sel_start == (int)log->text.size() && log->sel_end == log->sel_start);
                    // 255 UTF-16 units fit; 256 do not and append nothing.
                    std::string fits(254, 'a');
                    fits += "\xC3\xA9";  // one unit, two bytes
                    log_append(fits.c_str());
                    CHECK(log->text_utf8() == start + fits);
                    std::string too_long(256, 'b');
                    log_append(too_long.c_str());
                    CHECK(log->text_utf8() == start + fits);
                    // A character outside the basic plane takes two units.
                    std::string astral(254, 'c');
                    astral += "\xF0\x9F\x98\x80";
                    log_append(astral.c_str());
                    CHECK(log->text_utf8() == start + fits);
                    log_append("\r\nend");
                    CHECK(log->text_utf8() == start + fits + "\r\nend");
                }),
                ::testing::ExitedWithCode(0), "");
}

TEST_F(AppWorld, CloseIsRefusedDuringARunAndAcceptedWhenIdleOrDetached)
{
    for (uint8_t refused : {ST_BT_PREPARE, ST_BT_TRANSFER, ST_USB_DOWNLOAD, ST_WAIT_ACK, ST_WAIT_DETACH,
                            ST_REATTACHED}) {
        EXPECT_EXIT(in_world([refused] {
                        create_main_window();
                        g_update_state = refused;
                        SendMessageA(g_main_wnd, WM_CLOSE, 0, 0);
                        // Nothing was released: the wait event still works and no quit is queued.
                        CHECK(sim::gdi_objects()[0].live);
                        g_update_state = ST_IDLE;
                        SendMessageA(g_main_wnd, WM_CLOSE, 0, 0);
                        pump();  // returns only because the accepted close posted WM_QUIT
                        CHECK(!sim::gdi_objects()[0].live);
                    }),
                    ::testing::ExitedWithCode(0), "")
            << "state " << (int)refused;
    }
    EXPECT_EXIT(in_world([] {
                    create_main_window();
                    g_update_state = ST_DETACHED;
                    g_update_result = 5;
                    SendMessageA(g_main_wnd, WM_CLOSE, 0, 0);
                    pump();
                    CHECK(g_update_result == 5);
                    CHECK(!exists(g_dir + "/" RESULT_LOG_NAME));
                }),
                ::testing::ExitedWithCode(0), "");
}

TEST_F(AppWorld, CleanUpHappensOnceWhenDestroyArrivesTwice)
{
    EXPECT_EXIT(in_world([] {
                    create_main_window();
                    size_t handles = sim::open_handle_count();
                    PostMessageA(g_main_wnd, WM_DESTROY, 0, 0);
                    PostMessageA(g_main_wnd, WM_DESTROY, 0, 0);
                    SendMessageA(g_main_wnd, WM_CLOSE, 0, 0);
                    pump();
                    for (const sim::GdiObject& o : sim::gdi_objects())
                        CHECK(!o.live && o.delete_calls == 1);
                    CHECK(sim::bad_delete_calls() == 0);
                    // Only the wait event was closed.
                    CHECK(sim::open_handle_count() == handles - 1);
                }),
                ::testing::ExitedWithCode(0), "");
}

TEST_F(AppWorld, ResultLogIsCreatedAppendedAndNeverTruncated)
{
    EXPECT_EXIT(in_world([] {
                    create_main_window();
                    std::string path = g_dir + "/" RESULT_LOG_NAME;
                    g_update_result = 4;
                    write_result_log();
                    CHECK_EQ_STR(slurp(path), "NG: 2024/03/05-09:05:07 error=4\r\n");
                    Sleep(3723000);  // 1 h 2 min 3 s later
                    g_update_result = 0;
                    write_result_log();
                    CHECK_EQ_STR(slurp(path),
                                 "NG: 2024/03/05-09:05:07 error=4\r\nOK: 2024/03/05-10:07:10 error=0\r\n");
                }),
                ::testing::ExitedWithCode(0), "");
}

TEST_F(AppWorld, ReadMeOpensOnceAfterAVerifiedInteractiveRunWithDocxFallback)
{
    EXPECT_EXIT(in_world([] {
                    std::ofstream(g_dir + "/readme.docx") << "doc";
                    create_main_window();
                    g_update_result = 2;
                    write_result_log();  // a failure never opens it
                    CHECK(sim::system_log().empty());
                    g_update_result = 0;
                    write_result_log();
                    write_result_log();  // once per process
                    std::vector<std::string> expected = {"shell:readme.mht:fail", "shell:readme.docx:ok"};
                    CHECK(sim::system_log() == expected);
                }),
                ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(in_world([] {
                    std::ofstream(g_dir + "/readme.mht") << "mht";
                    create_main_window("-silent");
                    g_update_result = 0;
                    write_result_log();  // never in silent mode
                    CHECK(sim::system_log().empty());
                    CHECK_EQ_STR(slurp(g_dir + "/" RESULT_LOG_NAME), "OK: 2024/03/05-09:05:07 error=0\r\n");
                }),
                ::testing::ExitedWithCode(0), "");
}

TEST_F(AppWorld, ResultLineIsNotLostWhileTheOtherWriterHoldsTheFile)
{
    EXPECT_EXIT(in_world([] {
                    create_main_window();
                    std::ofstream(g_dir + "/" RESULT_LOG_NAME, std::ios::binary) << "earlier\r\n";
                    // Another writer holds the log open without sharing for 300 ms.
                    HANDLE held = CreateFileA("C:\\Tessel\\" RESULT_LOG_NAME, GENERIC_WRITE, 0, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
                    CHECK(held != INVALID_HANDLE_VALUE);
                    sim::schedule_after(300, [held] { CloseHandle(held); });
                    g_update_result = 7;
                    write_result_log();
                    CHECK_EQ_STR(slurp(g_dir + "/" RESULT_LOG_NAME),
                                 "earlier\r\nNG: 2024/03/05-09:05:07 error=7\r\n");
                }),
                ::testing::ExitedWithCode(0), "");
}

TEST_F(AppWorld, LongProgramDirectorySkipsTheLogWithoutOverflow)
{
    EXPECT_EXIT(
        {
            std::string dir = "C:\\" + std::string(240, 'd') + "\\";
            set_world(dir + "tessel-updater.exe");
            int code = sim::run_function([] {
                create_main_window();
                g_update_result = 0;
                write_result_log();
                CHECK(sim::system_log().empty());
                return 0;
            });
            CHECK(!exists(g_dir + "/" RESULT_LOG_NAME));
            std::_Exit(code);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(AppWorld, RestartPromptIsSingleAndAnswersAsTheUserMeansIt)
{
    EXPECT_EXIT(in_world([] {
                    create_main_window();
                    SendMessageA(g_main_wnd, WM_SHOW_RESTART_PROMPT, 0, 0);
                    HWND first = g_restart_dlg;
                    CHECK(first != nullptr);
                    SendMessageA(g_main_wnd, WM_SHOW_RESTART_PROMPT, 0, 0);
                    CHECK(g_restart_dlg == first);
                    sim::Window* text = sim::window_of(GetDlgItem(first, IDC_RESTART_TEXT));
                    CHECK(text != nullptr);
                    char s13[256];
                    load_message(13, s13);
                    CHECK_EQ_STR(text->text_utf8(), s13);
                    CHECK_EQ_STR(sim::window_of(GetDlgItem(first, IDOK))->text_utf8(), "Restart Now");
                    CHECK_EQ_STR(sim::window_of(GetDlgItem(first, IDCANCEL))->text_utf8(), "Restart Later");

                    // Esc closes it without restarting; then a new one can open.
                    sim::user_key(first, WM_KEYDOWN, VK_ESCAPE);
                    sim::schedule_after(10, [] { PostMessageA(g_main_wnd, WM_NULL, 0, 0); });
                    MSG msg;
                    while (g_restart_dlg && GetMessageA(&msg, nullptr, 0, 0) > 0) {
                        if (!IsDialogMessageA(g_restart_dlg, &msg)) {
                            TranslateMessage(&msg);
                            DispatchMessageA(&msg);
                        }
                    }
                    CHECK(g_restart_dlg == nullptr);
                    CHECK(sim::reboots() == 0);

                    SendMessageA(g_main_wnd, WM_SHOW_RESTART_PROMPT, 0, 0);
                    HWND second = g_restart_dlg;
                    CHECK(second != nullptr && second != first);
                    // Enter restarts: the privilege is enabled before and disabled after.
                    sim::user_key(second, WM_KEYDOWN, VK_RETURN);
                    GetMessageA(&msg, nullptr, 0, 0);
                    CHECK(IsDialogMessageA(g_restart_dlg, &msg));
                    std::vector<std::string> expected = {"privilege:on", "exitwindows:ok", "privilege:off"};
                    CHECK(sim::system_log() == expected);
                    CHECK(g_restart_dlg == second);  // the prompt stays while Windows restarts
                }),
                ::testing::ExitedWithCode(0), "");
}
