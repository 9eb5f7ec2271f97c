// The main window, log view, result log and restart prompt, run in the
// simulated world. The world is process-wide and runs once per process, so
// every case runs in a child process of its own (death-test style).
#include "common/world_test.h"
#include "resources/resource.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

using namespace worldtest;

namespace {

// The sample package as the program file, with room for long waits.
World app_world(const std::string& program_path = "C:\\Tessel\\tessel-updater.exe")
{
    World w;
    w.program_path = program_path;
    w.until_ms = 10000000;
    return w;
}

// Start-up as the entry point makes it, with its probe timer.
HWND start_main_window(const char* args = "")
{
    return create_main_window(args, true);
}

// Runs `body`, made of checks, as the simulated UI thread in the app's world.
template <typename F>
void in_app_world(F body)
{
    in_world(app_world(), body);
}

}  // namespace

TEST(AppWorld, LogAppendMovesTheCaretAndKeepsItsLimit)
{
    in_app_world([] {
        start_main_window();
        sim::Window* log = main_control(IDC_LOG);
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
    });
}

TEST(AppWorld, CloseIsRefusedDuringARunAndAcceptedWhenIdleOrDetached)
{
    for (uint8_t refused :
         {ST_BT_PREPARE, ST_BT_TRANSFER, ST_USB_DOWNLOAD, ST_WAIT_ACK, ST_WAIT_DETACH, ST_REATTACHED}) {
        SCOPED_TRACE(testing::Message() << "state " << (int)refused);
        in_app_world([refused] {
            start_main_window();
            g_update_state = refused;
            SendMessageA(g_main_wnd, WM_CLOSE, 0, 0);
            // Nothing was released: the wait event still works and no quit is queued.
            CHECK(sim::gdi_objects()[0].live);
            g_update_state = ST_IDLE;
            SendMessageA(g_main_wnd, WM_CLOSE, 0, 0);
            pump();  // returns only because the accepted close posted WM_QUIT
            CHECK(!sim::gdi_objects()[0].live);
        });
    }
    in_app_world([] {
        start_main_window();
        g_update_state = ST_DETACHED;
        g_update_result = 5;
        SendMessageA(g_main_wnd, WM_CLOSE, 0, 0);
        pump();
        // The run the close ended keeps its line.
        CHECK(g_update_result == 5);
        CHECK_STR(slurp(g_dir + "/" RESULT_LOG_NAME), "NG: 2024/03/05-09:05:07 error=5\r\n");
    });
}

TEST(AppWorld, CleanUpHappensOnceWhenDestroyArrivesTwice)
{
    in_app_world([] {
        start_main_window();
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
    });
}

TEST(AppWorld, ResultLogIsCreatedAppendedAndNeverTruncated)
{
    in_app_world([] {
        start_main_window();
        std::string path = g_dir + "/" RESULT_LOG_NAME;
        g_update_result = 4;
        write_result_log();
        CHECK_STR(slurp(path), "NG: 2024/03/05-09:05:07 error=4\r\n");
        Sleep(3723000);      // 1 h 2 min 3 s later
        write_result_log();  // a run writes one line
        g_result_line = 0;   // the next run
        g_update_result = 0;
        write_result_log();
        CHECK_STR(slurp(path), "NG: 2024/03/05-09:05:07 error=4\r\nOK: 2024/03/05-10:07:10 error=0\r\n");
    });
}

TEST(AppWorld, ReadMeOpensOnceAfterAVerifiedInteractiveRunWithDocxFallback)
{
    in_app_world([] {
        std::ofstream(g_dir + "/readme.docx") << "doc";
        start_main_window();
        g_update_result = 2;
        write_result_log();  // a failure never opens it
        CHECK(sim::system_log().empty());
        g_result_line = 0;
        g_update_result = 0;
        write_result_log();
        g_result_line = 0;
        write_result_log();  // once per process
        std::vector<std::string> expected = {"shell:readme.mht:fail", "shell:readme.docx:ok"};
        CHECK(sim::system_log() == expected);
    });
    in_app_world([] {
        std::ofstream(g_dir + "/readme.mht") << "mht";
        start_main_window("-silent");
        g_update_result = 0;
        write_result_log();  // never in silent mode
        CHECK(sim::system_log().empty());
        CHECK_STR(slurp(g_dir + "/" RESULT_LOG_NAME), "OK: 2024/03/05-09:05:07 error=0\r\n");
    });
}

TEST(AppWorld, ResultLineIsNotLostWhileTheOtherWriterHoldsTheFile)
{
    in_app_world([] {
        start_main_window();
        std::ofstream(g_dir + "/" RESULT_LOG_NAME, std::ios::binary) << "earlier\r\n";
        // Another writer holds the log open without sharing for 300 ms.
        HANDLE held = CreateFileA("C:\\Tessel\\" RESULT_LOG_NAME, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        CHECK(held != INVALID_HANDLE_VALUE);
        sim::schedule_after(300, [held] { CloseHandle(held); });
        g_update_result = 7;
        write_result_log();
        CHECK_STR(slurp(g_dir + "/" RESULT_LOG_NAME), "earlier\r\nNG: 2024/03/05-09:05:07 error=7\r\n");
    });
}

TEST(AppWorld, LongProgramDirectorySkipsTheLogWithoutOverflow)
{
    World world = app_world("C:\\" + std::string(240, 'd') + "\\tessel-updater.exe");
    world.after = [](Json&) { CHECK(!exists(g_dir + "/" RESULT_LOG_NAME)); };
    in_world(world, [] {
        start_main_window();
        g_update_result = 0;
        write_result_log();
        CHECK(sim::system_log().empty());
    });
}

TEST(AppWorld, RestartPromptIsSingleAndAnswersAsTheUserMeansIt)
{
    in_app_world([] {
        start_main_window();
        SendMessageA(g_main_wnd, WM_SHOW_RESTART_PROMPT, 0, 0);
        HWND first = g_restart_dlg;
        CHECK(first != nullptr);
        SendMessageA(g_main_wnd, WM_SHOW_RESTART_PROMPT, 0, 0);
        CHECK(g_restart_dlg == first);
        sim::Window* text = sim::window_of(GetDlgItem(first, IDC_RESTART_TEXT));
        CHECK(text != nullptr);
        char s13[256];
        load_message(13, s13);
        CHECK_STR(text->text_utf8(), s13);
        CHECK_STR(sim::window_of(GetDlgItem(first, IDOK))->text_utf8(), "Restart Now");
        CHECK_STR(sim::window_of(GetDlgItem(first, IDCANCEL))->text_utf8(), "Restart Later");

        // Esc closes it without restarting; then a new one can open.
        sim::user_key(first, WM_KEYDOWN, VK_ESCAPE);
        sim::schedule_after(10, [] { PostMessageA(g_main_wnd, WM_NULL, 0, 0); });
        MSG msg;
        while (g_restart_dlg && serve_next_message(&msg))
            ;
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
    });
}

TEST(AppWorld, RestartLaterAndTheCloseBoxEndThePromptWithoutRestarting)
{
    in_app_world([] {
        start_main_window();
        // The restart-later button, then the caption's close box.
        for (int way = 0; way < 2; way++) {
            SendMessageA(g_main_wnd, WM_SHOW_RESTART_PROMPT, 0, 0);
            HWND prompt = g_restart_dlg;
            CHECK(prompt != nullptr && sim::window_of(prompt)->visible);
            if (way == 0)
                sim::user_click_button(GetDlgItem(prompt, IDCANCEL));
            else
                sim::system_send(prompt, WM_CLOSE, 0, 0);
            sim::schedule_after(10, [] { PostMessageA(g_main_wnd, WM_NULL, 0, 0); });
            MSG msg;
            while (g_restart_dlg && serve_next_message(&msg))
                ;
            CHECK(g_restart_dlg == nullptr);
            CHECK(!sim::window_of(prompt)->visible);
        }
        CHECK(sim::reboots() == 0);
        CHECK(sim::system_log().empty());
    });
}

TEST(AppWorld, RestartEnablesThePrivilegeOnlyWhereThePlatformHasOne)
{
    // A Windows 9x platform restarts without touching the token.
    in_app_world([] {
        sim::set_os_platform(VER_PLATFORM_WIN32_WINDOWS);
        start_main_window();
        SendMessageA(g_main_wnd, WM_SHOW_RESTART_PROMPT, 0, 0);
        SendMessageA(g_restart_dlg, WM_COMMAND, IDOK, 0);
        std::vector<std::string> expected = {"exitwindows:ok"};
        CHECK(sim::system_log() == expected);
    });
    // NT without the privilege assigned: the switch "succeeds", the restart
    // fails, the privilege is switched off again and the prompt stays.
    in_app_world([] {
        sim::set_shutdown_privilege_assigned(false);
        start_main_window();
        SendMessageA(g_main_wnd, WM_SHOW_RESTART_PROMPT, 0, 0);
        HWND prompt = g_restart_dlg;
        SendMessageA(prompt, WM_COMMAND, IDOK, 0);
        SendMessageA(prompt, WM_COMMAND, IDOK, 0);  // the user may press again
        std::vector<std::string> expected = {"exitwindows:denied", "exitwindows:denied"};
        CHECK(sim::system_log() == expected);
        CHECK(sim::reboots() == 0);
        CHECK(!sim::shutdown_privilege_enabled());
        CHECK(g_restart_dlg == prompt);
    });
}
