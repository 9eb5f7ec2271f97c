// The main window's timers, device notifications and power broadcasts.
#include "app/app.h"

#include "dfu/usb_list.h"
#include "keyboard/kb.h"

#include <cstddef>
#include <cstring>

namespace {

// The system's query to remove the keyboard, between DBT_DEVICEQUERYREMOVE
// and its outcome: none, asked, or asked and the run waiting for the detach
// moved on to ST_DETACHED by it. UI thread only.
enum : uint8_t { QUERY_NONE, QUERY_ASKED, QUERY_DETACHED };
uint8_t g_removal_query = QUERY_NONE;

// The open keyboard left (or the system is suspending): it is closed, and
// when the update waits for exactly that, the run learns of it. The state
// changes only from the one it replaces, never over a worker's step. True
// when the run moved on to ST_DETACHED.
bool kb_lost(bool keep_notify = false)
{
    if (keep_notify)
        kb_close_keep_notify();
    else
        kb_close();
    uint8_t expected = ST_WAIT_DETACH;
    return g_update_state.compare_exchange_strong(expected, ST_DETACHED);
}

// The keyboard's handle registration is handed to the drop message and
// dropped outside the notification being handled; no close drops it again.
void drop_notify_later(HWND hwnd)
{
    if (g_keyboard_notify) {
        PostMessageA(hwnd, WM_DROP_HANDLE_NOTIFY, 0, (LPARAM)g_keyboard_notify);
        g_keyboard_notify = nullptr;
    }
}

// The name of a device-interface broadcast, or nullptr when it has none.
const char* interface_name(LPARAM lp)
{
    const DEV_BROADCAST_DEVICEINTERFACE_A* d = (const DEV_BROADCAST_DEVICEINTERFACE_A*)lp;
    size_t at = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);
    if (!d || d->dbcc_size <= at)
        return nullptr;
    // The name must end within the broadcast.
    size_t room = d->dbcc_size - at;
    if (memchr(d->dbcc_name, 0, room) == nullptr)
        return nullptr;
    return d->dbcc_name;
}

bool is_hid_class(LPARAM lp)
{
    const DEV_BROADCAST_DEVICEINTERFACE_A* d = (const DEV_BROADCAST_DEVICEINTERFACE_A*)lp;
    if (d->dbcc_size < offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name))
        return false;
    GUID hid;
    HidD_GetHidGuid(&hid);
    return memcmp(&d->dbcc_classguid, &hid, sizeof(GUID)) == 0;
}

// A handle broadcast that belongs to the keyboard: its registration, or its
// open handle.
bool keyboard_handle_event(LPARAM lp)
{
    const DEV_BROADCAST_HANDLE* h = (const DEV_BROADCAST_HANDLE*)lp;
    if (h->dbch_size < offsetof(DEV_BROADCAST_HANDLE, dbch_hdevnotify))
        return false;
    HANDLE kb = g_keyboard.load();
    if (kb && h->dbch_handle == kb)
        return true;
    return g_keyboard_notify && h->dbch_size >= offsetof(DEV_BROADCAST_HANDLE, dbch_eventguid) &&
           h->dbch_hdevnotify == g_keyboard_notify;
}

}  // namespace

void kb_probe()
{
    KillTimer(g_main_wnd, TIMER_PROBE);
    kb_reopen(g_main_wnd);

    HANDLE kb = g_keyboard.load();
    if (kb)
        g_kb_open_arrivals.store(g_kb_arrivals.load());
    uint8_t state = g_update_state.load();
    bool bootloader = false;
    if (state == ST_IDLE && kb) {
        if (!g_silent) {
            uint8_t report[KB_OUT_REPORT_SIZE];
            kb_build_get_version(report);
            kb_send_command(report);
        }
        ui_enable_update(TRUE);
    } else if (state == ST_IDLE) {
        if (usb_bootloader_present()) {
            bootloader = true;
            ui_enable_update(TRUE);
        }
    } else if (state == ST_DETACHED && kb && g_removal_query == QUERY_NONE) {
        // While a removal query is open the keyboard may not have left at
        // all: the keyboard found is no re-attachment until the query ends.
        g_update_state.compare_exchange_strong(state, ST_REATTACHED);
    }

    if (g_silent)
        PostMessageA(g_main_wnd, WM_COMMAND, IDC_UPDATE, 0);
    else if (g_check)
        check_after_probe(kb != nullptr, bootloader);
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
        if (trace_peek(g_worker_running)) {
            char why[48];
            snprintf(why, sizeof why, "\"limit_ms\":%u,\"state\":%u", (unsigned)TIMER_SILENT_EXIT_MS,
                     (unsigned)trace_peek(g_update_state));
            trace_cause("silent_time_limit", why);
        }
        g_closing = 1;
        end_run_now();
        PostMessageA(hwnd, WM_DESTROY, 0, 0);
    } else if (id == TIMER_CHECK_END) {
        KillTimer(hwnd, TIMER_CHECK_END);
        check_search_over();
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
    trace_device_change(wp, hdr);
    switch (wp) {
    case DBT_DEVICEARRIVAL:
        if (hdr && hdr->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
            // The keyboard's interface enumerated (again): the probe that
            // follows opens the keyboard as it is now.
            if (is_hid_class(lp) && kb_names_keyboard(interface_name(lp))) {
                g_kb_arrivals.store(g_kb_arrivals.load() + 1);
                g_removal_query = QUERY_NONE;
            }
            SetTimer(hwnd, TIMER_PROBE, TIMER_PROBE_ARRIVAL_MS, nullptr);
            return TRUE;
        }
        return 0;
    case DBT_DEVICEQUERYREMOVE:
        if (hdr && hdr->dbch_devicetype == DBT_DEVTYP_HANDLE) {
            // The handle goes so that the removal may proceed; its
            // registration stays to learn the query's outcome.
            bool detached = kb_lost(true);
            if (g_removal_query != QUERY_DETACHED)
                g_removal_query = detached ? QUERY_DETACHED : QUERY_ASKED;
        }
        return TRUE;
    case DBT_DEVICEQUERYREMOVEFAILED:
        if (hdr && hdr->dbch_devicetype == DBT_DEVTYP_HANDLE) {
            // Another program kept the keyboard: it never left. A run that
            // the query moved on waits for the detach again, and the keyboard
            // is opened again.
            if (g_removal_query == QUERY_DETACHED) {
                uint8_t expected = ST_DETACHED;
                g_update_state.compare_exchange_strong(expected, ST_WAIT_DETACH);
            }
            g_removal_query = QUERY_NONE;
            if (!g_keyboard.load())
                kb_probe();
        }
        return 0;
    case DBT_DEVICEREMOVEPENDING:
    case DBT_DEVICEREMOVECOMPLETE:
        if (hdr && hdr->dbch_devicetype == DBT_DEVTYP_HANDLE && keyboard_handle_event(lp)) {
            drop_notify_later(hwnd);
            g_removal_query = QUERY_NONE;
            kb_lost();
        } else if (hdr && wp == DBT_DEVICEREMOVECOMPLETE &&
                   hdr->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE &&
                   kb_is_open_path(interface_name(lp))) {
            // The keyboard's own interface left and no handle notification
            // told of it (its registration failed, or its notice is late).
            drop_notify_later(hwnd);
            g_removal_query = QUERY_NONE;
            kb_lost();
        }
        return 0;
    default: return 0;
    }
}
