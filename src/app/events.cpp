// The main window's timers, device notifications and power broadcasts.
#include "app/app.h"

#include "dfu/usb_list.h"
#include "keyboard/kb.h"

#include <cstddef>

namespace {

// The open keyboard left (or the system is suspending): it is closed, and
// when the update waits for exactly that, the run learns of it. The state
// changes only from the one it replaces, never over a worker's step.
void kb_lost()
{
    kb_close();
    g_kb_removals.store(g_kb_removals.load() + 1);
    uint8_t expected = ST_WAIT_DETACH;
    g_update_state.compare_exchange_strong(expected, ST_DETACHED);
}

}  // namespace

void kb_probe()
{
    KillTimer(g_main_wnd, TIMER_PROBE);
    kb_reopen(g_main_wnd);

    HANDLE kb = g_keyboard.load();
    uint8_t state = g_update_state.load();
    if (state == ST_IDLE && kb) {
        if (!g_silent) {
            uint8_t report[KB_OUT_REPORT_SIZE];
            kb_build_get_version(report);
            kb_send_command(report);
        }
        ui_enable_update(TRUE);
    } else if (state == ST_IDLE) {
        if (usb_bootloader_present())
            ui_enable_update(TRUE);
    } else if (state == ST_DETACHED && kb) {
        g_update_state.compare_exchange_strong(state, ST_REATTACHED);
    }

    if (g_silent)
        PostMessageA(g_main_wnd, WM_COMMAND, IDC_UPDATE, 0);
}

LRESULT on_timer(HWND hwnd, WPARAM id)
{
    if (id == TIMER_PROBE) {
        // A tool that is closing opens and asks the keyboard nothing more.
        if (g_closing)
            KillTimer(hwnd, TIMER_PROBE);
        else
            kb_probe();
    } else if (id == TIMER_SILENT_EXIT) {
        KillTimer(hwnd, TIMER_SILENT_EXIT);
        g_closing = 1;
        end_run_now();
        PostMessageA(hwnd, WM_DESTROY, 0, 0);
    }
    return 0;
}

LRESULT on_power_broadcast(HWND hwnd, WPARAM wp, LPARAM lp)
{
    switch (wp) {
    case PBT_APMQUERYSUSPEND: return BROADCAST_QUERY_DENY;
    case PBT_APMSUSPEND: kb_lost(); break;
    case PBT_APMRESUMESUSPEND:
    case PBT_APMRESUMEAUTOMATIC: SetTimer(hwnd, TIMER_PROBE, TIMER_PROBE_ARRIVAL_MS, nullptr); break;
    default: break;
    }
    return DefWindowProcA(hwnd, WM_POWERBROADCAST, wp, lp);
}

LRESULT on_device_change(HWND hwnd, WPARAM wp, LPARAM lp)
{
    const DEV_BROADCAST_HDR* hdr = (const DEV_BROADCAST_HDR*)lp;
    switch (wp) {
    case DBT_DEVICEARRIVAL:
        if (hdr && hdr->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
            SetTimer(hwnd, TIMER_PROBE, TIMER_PROBE_ARRIVAL_MS, nullptr);
            return TRUE;
        }
        return 0;
    case DBT_DEVICEQUERYREMOVE:
        if (hdr && hdr->dbch_devicetype == DBT_DEVTYP_HANDLE) {
            kb_lost();
        }
        return TRUE;
    case DBT_DEVICEREMOVEPENDING:
    case DBT_DEVICEREMOVECOMPLETE:
        if (hdr && hdr->dbch_devicetype == DBT_DEVTYP_HANDLE &&
            hdr->dbch_size >= offsetof(DEV_BROADCAST_HANDLE, dbch_hdevnotify)) {
            const DEV_BROADCAST_HANDLE* h = (const DEV_BROADCAST_HANDLE*)lp;
            HANDLE kb = g_keyboard.load();
            if (kb && h->dbch_handle == kb) {
                // The registration is handed to the drop message and dropped
                // outside this notification; the probe will not drop it again.
                PostMessageA(hwnd, WM_DROP_HANDLE_NOTIFY, 0, (LPARAM)g_keyboard_notify);
                g_keyboard_notify = nullptr;
                kb_lost();
            }
        }
        return 0;
    default: return 0;
    }
}
