// The simulated window manager: messages across threads, timers, controls,
// the dialog and the user's input.
#include "common/world_test.h"

#include "host/sim_windows.h"
#include "resources/resource.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using worldtest::g_recorded;
using worldtest::g_recorder_hook;
using worldtest::Json;
using worldtest::message_loop;
using worldtest::register_recorder;
using worldtest::run_world;
using worldtest::World;
using worldtest::WorldRun;

namespace {

const char* const kTool = "Orvex Tessel Keyboard Firmware Updater";

HWND make_main(const char* title = "Main", DWORD style = WS_OVERLAPPEDWINDOW | WS_VISIBLE)
{
    register_recorder("Recorder");
    return CreateWindowExA(0, "Recorder", title, style, CW_USEDEFAULT, CW_USEDEFAULT, 640, 240, nullptr,
                           nullptr, nullptr, nullptr);
}

// Messages of one kind the recorder saw, as "msg/wp@t".
std::vector<std::string> seen(UINT msg)
{
    std::vector<std::string> v;
    for (const auto& r : g_recorded)
        if (r.msg == msg)
            v.push_back(std::to_string(r.wp) + "@" + std::to_string(r.t));
    return v;
}

Json to_json(const std::vector<std::string>& v)
{
    Json j = Json::array();
    for (const auto& s : v)
        j.push_back(s);
    return j;
}

std::vector<std::string> strings(const Json& j)
{
    std::vector<std::string> v;
    for (const Json& s : j)
        v.push_back(s.get<std::string>());
    return v;
}

HWND g_target;
DWORD g_ui_tid;

DWORD WINAPI sending_worker(LPVOID p)
{
    Json& out = *static_cast<Json*>(p);
    out["send_result"] = SendMessageA(g_target, WM_USER + 1, 5, 0);
    out["send_back_t"] = sim::now_ms();
    out["order"].push_back("worker:back");
    // the controls' calls are served by the UI thread too
    EnableWindow(g_target, FALSE);
    out["enabled_after"] = IsWindowEnabled(g_target);
    PostMessageA(g_target, WM_USER + 2, 0, 0);
    return 0;
}

}  // namespace

TEST(Messages, SendFromAnotherThreadIsServedByTheOwnersLoop)
{
    WorldRun r = run_world([](Json& out) {
        g_ui_tid = GetCurrentThreadId();
        g_target = make_main();
        g_recorder_hook = [&out](HWND h, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
            if (m == WM_USER + 1) {
                out["served_on_ui"] = GetCurrentThreadId() == g_ui_tid;
                out["served_t"] = sim::now_ms();
                PostMessageA(h, WM_USER + 3, 0, 0);
                return static_cast<LRESULT>(wp * 10);
            }
            if (m == WM_USER + 3)
                out["order"].push_back("ui:posted");
            if (m == WM_USER + 2)
                PostQuitMessage(4);
            return DefWindowProcA(h, m, wp, lp);
        };
        CreateThread(nullptr, 0, sending_worker, &out, 0, nullptr);
        // busy for 300 ms: the sender waits until the loop runs
        Sleep(300);
        return message_loop();
    });
    EXPECT_EQ(r.code, 4);
    EXPECT_TRUE(r.out["served_on_ui"].get<bool>());
    EXPECT_EQ(r.out["served_t"], 300);
    EXPECT_EQ(r.out["send_result"], 50);
    EXPECT_EQ(r.out["send_back_t"], 300);
    EXPECT_EQ(r.out["enabled_after"], FALSE);
    // the sender's call returns before the owner takes its next message
    EXPECT_EQ(r.out["order"], Json::parse(R"(["worker:back","ui:posted"])"));
}

TEST(Messages, SystemSendRepliesToTheWorldAndPostsKeepOrder)
{
    WorldRun r = run_world([](Json& out) {
        HWND h = make_main();
        Json* o = &out;
        g_recorder_hook = [](HWND hw, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
            if (m == WM_POWERBROADCAST)
                return 0x1234;
            if (m == WM_USER + 9)
                PostQuitMessage(0);
            return DefWindowProcA(hw, m, wp, lp);
        };
        sim::schedule_at(100, [h, o] {
            sim::system_post(h, WM_USER + 3, 1, 0);
            sim::system_post(h, WM_USER + 3, 2, 0);
            // sent messages come before posted ones
            sim::system_send(h, WM_POWERBROADCAST, 7, 0, [o](LRESULT res) {
                (*o)["reply"] = res;
                (*o)["reply_t"] = sim::now_ms();
            });
            sim::system_post(h, WM_USER + 9, 0, 0);
        });
        int code = message_loop();
        std::vector<std::string> order;
        for (const auto& rec : g_recorded)
            if (rec.msg == WM_POWERBROADCAST || rec.msg == WM_USER + 3)
                order.push_back(std::to_string(rec.msg) + ":" + std::to_string(rec.wp));
        out["order"] = to_json(order);
        return code;
    });
    EXPECT_EQ(r.out["reply"], 0x1234);
    EXPECT_EQ(r.out["reply_t"], 100);
    EXPECT_EQ(strings(r.out["order"]), (std::vector<std::string>{std::to_string(WM_POWERBROADCAST) + ":7",
                                                                 std::to_string(WM_USER + 3) + ":1",
                                                                 std::to_string(WM_USER + 3) + ":2"}));
}

TEST(Messages, QuitEndsTheLoopWithItsCodeAndCreationCanBeRefused)
{
    WorldRun r = run_world([](Json& out) {
        register_recorder("Refusing");
        g_recorder_hook = [](HWND h, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
            if (m == WM_CREATE) {
                auto* cs = reinterpret_cast<CREATESTRUCTA*>(lp);
                return std::string(cs->lpszName) == "no" ? -1 : 0;
            }
            return DefWindowProcA(h, m, wp, lp);
        };
        HWND refused = CreateWindowExA(0, "Refusing", "no", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr,
                                       nullptr, nullptr, nullptr);
        out["refused"] = refused == nullptr;
        out["main_after_refusal"] = sim::main_window() == nullptr;
        HWND ok = CreateWindowExA(0, "refusing", "yes", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr, nullptr,
                                  nullptr, nullptr);
        out["class_case_insensitive"] = ok != nullptr && sim::main_window() == ok;
        out["unknown_class"] =
            CreateWindowExA(0, "Nope", "", 0, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr) == nullptr;
        WNDCLASSA wc{};
        wc.lpfnWndProc = DefWindowProcA;
        wc.lpszClassName = "REFUSING";
        out["register_twice"] = RegisterClassA(&wc);
        out["find"] = FindWindowA("Refusing", nullptr) == ok;
        out["find_tool"] = FindWindowA(kTool, nullptr) == nullptr;
        PostQuitMessage(17);
        PostMessageA(ok, WM_USER, 0, 0);  // posted messages come before the quit
        MSG m;
        out["first"] = GetMessageA(&m, nullptr, 0, 0);
        out["first_msg"] = m.message;
        out["second"] = GetMessageA(&m, nullptr, 0, 0);
        out["second_msg"] = m.message;
        out["second_wp"] = m.wParam;
        return 0;
    });
    EXPECT_TRUE(r.out["refused"].get<bool>());
    EXPECT_TRUE(r.out["main_after_refusal"].get<bool>());
    EXPECT_TRUE(r.out["class_case_insensitive"].get<bool>());
    EXPECT_TRUE(r.out["unknown_class"].get<bool>());
    EXPECT_EQ(r.out["register_twice"], 0);
    EXPECT_TRUE(r.out["find"].get<bool>());
    EXPECT_TRUE(r.out["find_tool"].get<bool>());
    EXPECT_EQ(r.out["first"], TRUE);
    EXPECT_EQ(r.out["first_msg"], WM_USER);
    EXPECT_EQ(r.out["second"], FALSE);
    EXPECT_EQ(r.out["second_msg"], WM_QUIT);
    EXPECT_EQ(r.out["second_wp"], 17);
}

TEST(Messages, AnotherInstanceIsFoundByClass)
{
    World c;
    c.other_instance = true;
    WorldRun r = run_world(
        [](Json& out) {
            HWND other = FindWindowA(kTool, nullptr);
            out["found"] = other != nullptr;
            out["not_ours"] = sim::top_level_windows().empty() && sim::main_window() == nullptr;
            return 0;
        },
        c);
    EXPECT_TRUE(r.out["found"].get<bool>());
    EXPECT_TRUE(r.out["not_ours"].get<bool>());
}

TEST(Timers, RearmingRestartsThePeriodAndKillStopsIt)
{
    WorldRun r = run_world([](Json& out) {
        HWND h = make_main();
        g_recorder_hook = [h](HWND hw, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
            if (m == WM_TIMER && wp == 3)
                KillTimer(hw, 3);  // one-shot, as the tool does it
            if (m == WM_USER + 1)
                SetTimer(h, 3, 4000, nullptr);  // re-armed before it fired
            if (m == WM_TIMER && wp == 7 && sim::now_ms() >= 1500) {
                KillTimer(hw, 7);
                PostQuitMessage(0);
            }
            return DefWindowProcA(hw, m, wp, lp);
        };
        SetTimer(h, 3, 250, nullptr);
        SetTimer(h, 7, 500, nullptr);  // periodic until killed
        sim::schedule_at(200, [h] { sim::system_post(h, WM_USER + 1, 0, 0); });
        sim::schedule_at(3000, [h] { sim::system_post(h, WM_USER + 2, 0, 0); });
        message_loop();
        // the loop ended at 1500; keep serving until the re-armed timer fires
        g_recorder_hook = [](HWND hw, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
            if (m == WM_TIMER && wp == 3) {
                KillTimer(hw, 3);
                PostQuitMessage(0);
            }
            return DefWindowProcA(hw, m, wp, lp);
        };
        message_loop();
        out["timer3"] = to_json(seen(WM_TIMER));
        out["kill_unknown"] = KillTimer(h, 99);
        return 0;
    });
    EXPECT_EQ(strings(r.out["timer3"]), (std::vector<std::string>{"7@500", "7@1000", "7@1500", "3@4200"}));
    EXPECT_EQ(r.out["kill_unknown"], FALSE);
}

TEST(Timers, AWindowTimerBelongsToItsThread)
{
    WorldRun r = run_world([](Json& out) {
        g_target = make_main();
        HANDLE th = CreateThread(
            nullptr, 0,
            [](LPVOID p) -> DWORD {
                (*static_cast<Json*>(p))["from_worker"] = SetTimer(g_target, 1, 100, nullptr);
                return 0;
            },
            &out, 0, nullptr);
        WaitForSingleObject(th, INFINITE);
        out["from_owner"] = SetTimer(g_target, 1, 100, nullptr);
        return 0;
    });
    EXPECT_EQ(r.out["from_worker"], 0);
    EXPECT_NE(r.out["from_owner"], 0);
}

TEST(Controls, EditSelectionReplaceAndCaret)
{
    WorldRun r = run_world([](Json& out) {
        HWND main = make_main();
        HWND edit = CreateWindowExW(0, u"EDIT", u"Hello\u00e9", WS_CHILD | WS_VISIBLE | ES_MULTILINE, 160, 80,
                                    440, 80, main, reinterpret_cast<HMENU>(101), nullptr, nullptr);
        int n = GetWindowTextLengthA(edit);
        out["len"] = n;
        SendMessageA(edit, EM_SETSEL, n, n);
        SendMessageW(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(u" w\u00f6rld\r\n"));
        // replace a selection in the middle, given backwards
        SendMessageA(edit, EM_SETSEL, 3, 1);
        SendMessageW(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(u"EE"));
        sim::Window* w = sim::window_of(edit);
        out["caret"] = w->caret;
        out["sel"] = Json::array({w->sel_start, w->sel_end});
        // ANSI text through SendMessageA
        SendMessageA(edit, EM_SETSEL, 0, -1);
        out["all"] = Json::array({w->sel_start, w->sel_end});
        SendMessageA(edit, EM_SETSEL, static_cast<WPARAM>(-1), 0);  // drop the selection
        out["dropped"] = Json::array({w->sel_start, w->sel_end});
        SendMessageA(edit, EM_SETSEL, 1000, 1000);  // beyond the end: the end
        SendMessageA(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>("!"));
        SendMessageA(edit, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(""));
        out["text"] = w->text_utf8();
        out["len_after"] = GetWindowTextLengthA(edit);
        return 0;
    });
    EXPECT_EQ(r.out["len"], 6);
    EXPECT_EQ(r.out["caret"], 3);
    EXPECT_EQ(r.out["sel"], Json::array({3, 3}));
    EXPECT_EQ(r.out["all"], Json::array({0, 14}));
    EXPECT_EQ(r.out["dropped"], Json::array({14, 14}));
    EXPECT_EQ(r.out["text"], "HEElo\u00e9 w\u00f6rld\r\n!");
    EXPECT_EQ(r.out["len_after"], 15);
    std::vector<Json> logs = r.events("log");
    ASSERT_EQ(logs.size(), 3u);  // empty insertions are not reported
    EXPECT_EQ(logs[0]["text"], " w\u00f6rld\r\n");
    EXPECT_EQ(logs[1]["text"], "EE");
    EXPECT_EQ(logs[2]["text"], "!");
}

TEST(Controls, MainWindowControlsAreTraced)
{
    WorldRun r = run_world([](Json& out) {
        HWND main = make_main(kTool);
        CreateWindowExA(0, "STATIC", "Label", WS_CHILD | WS_VISIBLE, 160, 20, 250, 15, main, nullptr, nullptr,
                        nullptr);
        HWND b = CreateWindowExW(0, u"BUTTON", u"Update", WS_CHILD | WS_VISIBLE | WS_DISABLED, 420, 20, 180,
                                 50, main, reinterpret_cast<HMENU>(100), nullptr, nullptr);
        HWND p = CreateWindowExA(0, "msctls_progress32", nullptr, WS_CHILD, 160, 170, 440, 20, main,
                                 reinterpret_cast<HMENU>(110), nullptr, nullptr);
        SendMessageA(p, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
        EnableWindow(b, TRUE);
        EnableWindow(b, TRUE);  // no change, no record
        out["prev_disabled"] = EnableWindow(b, FALSE);
        SetWindowTextW(b, u"Close");
        SetWindowTextW(b, u"Close");  // no change
        ShowWindow(p, SW_SHOW);
        ShowWindow(p, SW_SHOW);
        out["prev_pos"] = SendMessageA(p, PBM_SETPOS, 30, 0);
        out["prev_pos2"] = SendMessageA(p, PBM_SETPOS, 150, 0);  // clamped to the range
        UpdateWindow(main);
        UpdateWindow(main);
        out["repaints"] = sim::window_of(main)->repaint_count;
        out["button_font_default"] = sim::window_of(b)->font == nullptr;
        return 0;
    });
    std::vector<std::string> evs;
    for (const Json& t : r.records)
        evs.push_back(t["ev"].get<std::string>());
    EXPECT_EQ(evs, (std::vector<std::string>{"window", "control", "control", "control", "button", "button",
                                             "button_text", "progress_shown", "progress", "progress"}));
    EXPECT_EQ(r.records[0]["title"], kTool);
    EXPECT_EQ(r.records[0]["visible"], true);
    EXPECT_TRUE(r.records[1]["id"].is_null());
    EXPECT_EQ(r.records[1]["class"], "STATIC");
    EXPECT_EQ(r.records[1]["text"], "Label");
    EXPECT_EQ(r.records[2]["id"], 100);
    EXPECT_EQ(r.records[2]["text"], "Update");
    EXPECT_EQ(r.records[2]["enabled"], false);
    EXPECT_EQ(r.records[2]["x"], 420);
    EXPECT_EQ(r.records[3]["class"], "msctls_progress32");
    EXPECT_EQ(r.records[3]["visible"], false);
    EXPECT_EQ(r.records[4]["enabled"], true);
    EXPECT_EQ(r.records[5]["enabled"], false);
    EXPECT_EQ(r.records[6]["text"], "Close");
    EXPECT_EQ(r.records[8]["pos"], 30);
    EXPECT_EQ(r.records[9]["pos"], 100);
    EXPECT_EQ(r.out["prev_disabled"], FALSE);
    EXPECT_EQ(r.out["prev_pos"], 0);
    EXPECT_EQ(r.out["prev_pos2"], 30);
    EXPECT_EQ(r.out["repaints"], 2);
}

namespace {
std::vector<std::string> g_dlg_log;
HWND g_dlg;

INT_PTR CALLBACK test_dlg_proc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp)
{
    switch (msg) {
    case WM_INITDIALOG:
        g_dlg = dlg;
        g_dlg_log.push_back("init:" + std::to_string(lp));
        SetDlgItemTextW(dlg, IDC_RESTART_TEXT, u"Restart?");
        return 0;
    case WM_COMMAND:
        g_dlg_log.push_back("command:" + std::to_string(wp) + (lp ? ":button" : ":none"));
        return 0;
    case WM_CLOSE:
        g_dlg_log.push_back("close");
        PostMessageA(dlg, WM_DESTROY, 0, 0);
        return 0;
    case WM_DESTROY:
        g_dlg_log.push_back("destroy");
        g_dlg = nullptr;
        EndDialog(dlg, 0);
        PostQuitMessage(0);
        return 0;
    default: return 0;
    }
}
}  // namespace

TEST(Dialogs, RestartDialogIsBuiltFromTheTemplate)
{
    WorldRun r = run_world([](Json& out) {
        HWND main = make_main(kTool);
        out["bad_template"] =
            CreateDialogParamA(nullptr, MAKEINTRESOURCEA(501), main, test_dlg_proc, 0) == nullptr;
        HWND d = CreateDialogParamA(nullptr, MAKEINTRESOURCEA(IDD_RESTART), main, test_dlg_proc, 77);
        sim::Window* w = sim::window_of(d);
        out["same"] = d == g_dlg;
        out["hidden"] = !w->visible;
        out["caption"] = w->text_utf8();
        Json ctl = Json::array();
        for (HWND c : sim::children(d)) {
            sim::Window* cw = sim::window_of(c);
            ctl.push_back(
                Json::array({cw->id, cw->class_name, cw->text_utf8(), cw->x, cw->w, cw->icon != nullptr}));
        }
        out["controls"] = ctl;
        out["tops"] = sim::top_level_windows().size();
        ShowWindow(d, SW_SHOW);
        // the world closes it: WM_CLOSE to the dialog procedure, which posts WM_DESTROY
        sim::schedule_after(100, [d] { sim::system_send(d, WM_CLOSE, 0, 0); });
        HWND other = d;
        message_loop(main, &other);
        // EndDialog takes the modeless dialog off the screen; the window stays.
        out["gone"] = sim::window_of(d)->destroyed;
        out["shown_after"] = sim::window_of(d)->visible;
        out["log"] = to_json(g_dlg_log);
        return 0;
    });
    EXPECT_TRUE(r.out["bad_template"].get<bool>());
    EXPECT_TRUE(r.out["same"].get<bool>());
    EXPECT_TRUE(r.out["hidden"].get<bool>());
    EXPECT_EQ(r.out["caption"], kTool);
    EXPECT_EQ(r.out["controls"],
              Json::parse(R"([[502,"STATIC","",7,32,true],[501,"STATIC","Restart?",47,153,false],
        [2,"BUTTON","Cancel",7,90,false],[1,"BUTTON","OK",110,90,false]])"));
    EXPECT_EQ(r.out["tops"], 2);
    EXPECT_FALSE(r.out["gone"].get<bool>());
    EXPECT_FALSE(r.out["shown_after"].get<bool>());
    // The procedure left WM_CLOSE to the dialog manager too, which chose
    // Cancel; the hidden dialog still takes that command.
    EXPECT_EQ(strings(r.out["log"]),
              (std::vector<std::string>{"init:77", "close", "destroy", "command:2:button"}));
    std::vector<Json> prompts = r.events("prompt");
    ASSERT_EQ(prompts.size(), 2u);
    EXPECT_EQ(prompts[0]["open"], true);
    EXPECT_EQ(prompts[0]["t"], 0);
    EXPECT_EQ(prompts[1]["open"], false);
    EXPECT_EQ(prompts[1]["t"], 100);
}

TEST(Dialogs, EnterAndEscapeBecomeCommandsInTheDialogLoop)
{
    WorldRun r = run_world([](Json& out) {
        HWND main = make_main(kTool);
        HWND d = CreateDialogParamA(nullptr, MAKEINTRESOURCEA(IDD_RESTART), main, test_dlg_proc, 0);
        ShowWindow(d, SW_SHOW);
        HWND cancel = GetDlgItem(d, IDCANCEL);
        sim::schedule_at(10, [d] { sim::user_key(d, WM_KEYDOWN, VK_RETURN); });  // default button: OK
        sim::schedule_at(20, [cancel] { sim::user_key(cancel, WM_KEYDOWN, VK_RETURN); });  // focused button
        sim::schedule_at(30, [d] { sim::user_key(d, WM_KEYDOWN, VK_TAB); });
        sim::schedule_at(40,
                         [main] { sim::user_key(main, WM_KEYDOWN, VK_RETURN); });  // main window: IDOK to it
        sim::schedule_at(45, [d] { sim::user_click_button(GetDlgItem(d, IDOK)); });
        sim::schedule_at(50, [d] { sim::user_key(d, WM_KEYDOWN, VK_ESCAPE); });
        sim::schedule_at(60, [d] { sim::system_post(d, WM_DESTROY, 0, 0); });
        HWND other = d;
        message_loop(main, &other);
        out["focus_is_cancel"] = sim::focus_of(d) == cancel;
        out["log"] = to_json(g_dlg_log);
        out["main_commands"] = to_json(seen(WM_COMMAND));
        return 0;
    });
    std::string ok = std::to_string(MAKEWPARAM(IDOK, BN_CLICKED));
    std::string cancel = std::to_string(MAKEWPARAM(IDCANCEL, BN_CLICKED));
    EXPECT_EQ(
        strings(r.out["log"]),
        (std::vector<std::string>{"init:0", "command:" + ok + ":button", "command:" + cancel + ":button",
                                  "command:" + ok + ":button", "command:" + cancel + ":button", "destroy"}));
    EXPECT_EQ(strings(r.out["main_commands"]), (std::vector<std::string>{ok + "@40"}));
    EXPECT_TRUE(r.out["focus_is_cancel"].get<bool>());
}

TEST(Input, ClicksReachOnlyEnabledVisibleButtons)
{
    WorldRun r = run_world([](Json& out) {
        HWND main = make_main(kTool);
        HWND b = CreateWindowExW(0, u"BUTTON", u"Update", WS_CHILD | WS_VISIBLE | WS_DISABLED, 0, 0, 10, 10,
                                 main, reinterpret_cast<HMENU>(100), nullptr, nullptr);
        g_recorder_hook = [](HWND hw, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
            if (m == WM_USER + 5)
                PostQuitMessage(0);
            return DefWindowProcA(hw, m, wp, lp);
        };
        sim::schedule_at(10, [b] { sim::user_click_button(b); });  // disabled: nothing
        sim::schedule_at(20, [b] { EnableWindow(b, TRUE); });
        sim::schedule_at(30, [b] { sim::user_click_button(b); });
        sim::schedule_at(40, [main] { ShowWindow(main, SW_HIDE); });
        sim::schedule_at(50, [b] { sim::user_click_button(b); });                 // hidden window: nothing
        sim::schedule_at(60, [main] { sim::user_key(main, WM_SYSKEYUP, 'U'); });  // hidden: nothing
        sim::schedule_at(70, [main] { ShowWindow(main, SW_SHOW); });
        sim::schedule_at(80, [main] { sim::user_key(main, WM_SYSKEYUP, 'U'); });
        sim::schedule_at(90, [main] { sim::system_post(main, WM_USER + 5, 0, 0); });
        message_loop(main);
        Json cmds = Json::array();
        for (const auto& rec : g_recorded)
            if (rec.msg == WM_COMMAND)
                cmds.push_back(Json::array({rec.wp, rec.lp == reinterpret_cast<LPARAM>(b), rec.t}));
            else if (rec.msg == WM_SYSKEYUP)
                cmds.push_back(Json::array({"key", rec.wp, (rec.lp >> 29) & 1, rec.t}));
        out["got"] = cmds;
        return 0;
    });
    EXPECT_EQ(r.out["got"], Json::parse(R"([[100,true,30],["key",85,1,80]])"));
}

TEST(Messages, FilteredGetMessageWaitsForItsOwnWindow)
{
    WorldRun r = run_world([](Json& out) {
        HWND a = make_main("A");
        HWND b = CreateWindowExA(0, "Recorder", "B", WS_OVERLAPPEDWINDOW, 0, 0, 10, 10, nullptr, nullptr,
                                 nullptr, nullptr);
        PostMessageA(a, WM_USER + 1, 0, 0);
        sim::schedule_at(100, [b] { sim::system_post(b, WM_USER + 2, 0, 0); });
        MSG m;
        GetMessageA(&m, b, 0, 0);
        out["got"] = Json::array({m.hwnd == b, m.message, sim::now_ms()});
        GetMessageA(&m, nullptr, 0, 0);
        out["then"] = Json::array({m.hwnd == a, m.message});
        return 0;
    });
    EXPECT_EQ(r.out["got"], Json::array({true, WM_USER + 2, 100}));
    EXPECT_EQ(r.out["then"], Json::array({true, WM_USER + 1}));
}
