// The Update command and Alt+U: the rules that refuse a run, and the start of
// a run.
#include "app/app.h"
#include "keyboard/kb.h"
#include "package/ini.h"
#include "package/messages.h"

shared_atomic<uint8_t> g_worker_running{0};
shared_atomic<uint8_t> g_closing{0};

namespace {

const unsigned kMsgBtIncompatible = 11;
const unsigned kMsgNoDowngrade = 16;
const int kTextSize = 256;
const WPARAM kVirtualKeyU = 0x55;

// A run may start only with no run going on, the previous worker gone and
// no close accepted; -check never starts one.
bool run_may_start()
{
    return g_update_state == ST_IDLE && !g_worker_running && !g_closing && !g_check;
}

}  // namespace

bool is_downgrade(uint32_t package_nxp, uint32_t keyboard_nxp)
{
    // Only the low 12 bits take part; equal versions count as a downgrade.
    return (package_nxp & 0xFFF) <= (keyboard_nxp & 0xFFF);
}

bool bt_family_differs(uint32_t keyboard_bt, uint32_t package_bt)
{
    bool keyboard_a2 = keyboard_bt == 0x011E || (keyboard_bt & 0xFF00) == 0xA200;
    bool package_a2 = (package_bt & 0xFF00) == 0xA200;
    return keyboard_a2 != package_a2;
}

void on_update_command(HWND hwnd, WPARAM wp)
{
    if (LOWORD(wp) != IDC_UPDATE)
        return;
    // A window without a package has nothing to send.
    if (!g_package_loaded)
        return;
    if (g_update_done) {
        // The button reads Close. Its worker may still be writing the run's
        // line: the line is written first, once. Nothing starts meanwhile.
        g_closing = 1;
        if (g_worker_running)
            end_run_now();
        PostMessageA(hwnd, WM_DESTROY, 0, 0);
        return;
    }
    if (!run_may_start())
        return;

    char text[kTextSize];
    WCHAR wide[kTextSize];
    if (INI_ALLOW_DOWNGRADE == 0 && is_downgrade((uint32_t)parse_hex(INI_VER_NXP), g_kb_nxp_version)) {
        char why[64];
        snprintf(why, sizeof why, "\"nxp\":%u,\"package_nxp\":%u", (unsigned)trace_peek(g_kb_nxp_version),
                 (unsigned)parse_hex(INI_VER_NXP));
        trace_cause("downgrade_refused", why);
        if (g_silent) {
            // Nothing to do: the tool ends without a result line.
            g_closing = 1;
            PostMessageA(hwnd, WM_DESTROY, 0, 0);
        } else {
            load_message(kMsgNoDowngrade, text, wide);
            MessageBoxW(nullptr, wide, WTEXT("Warning !"), MB_OK | MB_ICONWARNING);
        }
        return;
    }

    uint32_t keyboard_bt = g_kb_bt_version;
    if (keyboard_bt != 0 && bt_family_differs(keyboard_bt, INI_VER_BT_VALUE)) {
        char why[64];
        snprintf(why, sizeof why, "\"bt\":%u,\"package_bt\":%u", (unsigned)keyboard_bt,
                 (unsigned)INI_VER_BT_VALUE);
        trace_cause("bt_family_differs", why);
        log_append("\r\n");
        log_append(load_message(kMsgBtIncompatible, text));
        UpdateWindow(g_main_wnd);
        return;
    }

    start_update_run(ST_BT_PREPARE);
}

void on_sys_key_up(HWND hwnd, WPARAM wp)
{
    (void)hwnd;
    // Alt+U: the USB stage alone, without the Update command's rules. Every
    // other key is swallowed.
    if (wp != kVirtualKeyU || !g_package_loaded)
        return;
    if (!run_may_start())
        return;
    start_update_run(ST_BT_DONE);
}

void start_update_run(uint8_t state)
{
    HWND progress = GetDlgItem(g_main_wnd, IDC_PROGRESS);
    HWND button = GetDlgItem(g_main_wnd, IDC_UPDATE);

    // A close accepted a moment ago (its WM_DESTROY still queued behind this
    // message) wins: the tool is ending and nothing may reach the keyboard.
    // The UI thread alone starts runs and accepts closes, so the test and the
    // state's change below cannot be split by a close.
    if (g_closing)
        return;
    uint8_t idle = ST_IDLE;
    if (!g_update_state.compare_exchange_strong(idle, state))
        return;
    g_update_result = RESULT_NO_UPDATE;
    g_result_line = 0;
    kb_follow_for_run();
    ShowWindow(progress, SW_SHOW);  // its position is not reset
    EnableWindow(button, FALSE);
    // Windows asks before it shuts down; the reason tells the user why to wait.
    ShutdownBlockReasonCreate(g_main_wnd, WTEXT("Updating the keyboard firmware"));

    g_worker_running = 1;
    HANDLE worker = CreateThread(nullptr, 0, update_worker, nullptr, 0, nullptr);
    if (!worker) {
        // No worker, no run: the window must stay usable and closable.
        g_update_state = ST_IDLE;
        g_worker_running = 0;
        ShutdownBlockReasonDestroy(g_main_wnd);
        EnableWindow(button, TRUE);
        return;
    }
    // Nothing waits for the worker; its handle is not needed.
    CloseHandle(worker);
}
