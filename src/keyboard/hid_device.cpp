// Finding, opening and closing the keyboard's vendor command collection,
// writing command reports to it, and the keyboard's part of a probe.
#include "keyboard/kb.h"

#include "common/ui.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

HDEVNOTIFY g_keyboard_notify = nullptr;
uint8_t g_kb_write_failures = 0;

namespace {

// The device path of the open keyboard's command collection ("" when none is
// open, or when its path does not fit): the interface whose removal is the
// keyboard's. UI thread only.
char kb_path[512] = "";

// Case-insensitive comparison of device paths (the system's may differ in case).
bool same_path(const char* a, const char* b)
{
    for (; *a && *b; ++a, ++b)
        if (tolower((unsigned char)*a) != tolower((unsigned char)*b))
            return false;
    return *a == *b;
}

// The command collection's path of the keyboard the current update run works
// on ("" until one is known). A keyboard that re-enumerates after its
// download comes back under the same path. UI thread only.
char kb_run_path[512] = "";
// The run started without a keyboard: the next one opened becomes the run's.
bool kb_run_follows_next = false;

// During a run, a keyboard other than the run's is left alone. (The state is
// looked at only for another keyboard's path.)
bool another_keyboard_during_run(const char* path)
{
    return kb_run_path[0] && !same_path(path, kb_run_path) && g_update_state.load() != ST_IDLE;
}

// Held around every write through g_keyboard and around its close, so that a
// worker write never uses a handle the UI thread is closing (or a value that
// the system has already handed to another object).
CRITICAL_SECTION* kb_lock()
{
    static CRITICAL_SECTION* cs = [] {
        static CRITICAL_SECTION storage;
        InitializeCriticalSection(&storage);
        return &storage;
    }();
    return cs;
}

// One overlapped write of a whole report, waited for at most
// KB_WRITE_TIMEOUT_MS: a device that never takes the report has its write
// cancelled, so that neither thread (nor a close waiting for the lock) hangs
// on it. Called with the lock held; the lock also guards the event.
// `waited_ms` receives the time the write was waited for beyond its start:
// KB_WRITE_TIMEOUT_MS when it was cancelled, else 0.
BOOL kb_bounded_write(HANDLE h, const uint8_t* report, UINT* waited_ms)
{
    static HANDLE done = nullptr;
    if (!done)
        done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!done)
        return FALSE;
    ResetEvent(done);
    OVERLAPPED ov;
    memset(&ov, 0, sizeof(ov));
    ov.hEvent = done;
    if (WriteFile(h, report, KB_OUT_REPORT_SIZE, nullptr, &ov))
        return TRUE;
    if (GetLastError() != ERROR_IO_PENDING)
        return FALSE;
    if (WaitForSingleObject(done, KB_WRITE_TIMEOUT_MS) != WAIT_OBJECT_0) {
        CancelIo(h);
        *waited_ms = KB_WRITE_TIMEOUT_MS;
    }
    // After a cancel the write ends at once, as failed.
    DWORD put = 0;
    return GetOverlappedResult(h, &ov, &put, TRUE);
}

// One write of a whole report through the current keyboard handle; FALSE when
// no keyboard is open or the write fails or times out.
BOOL kb_locked_write(const uint8_t* report, UINT* waited_ms)
{
    *waited_ms = 0;
    CRITICAL_SECTION* cs = kb_lock();
    EnterCriticalSection(cs);
    BOOL ok = FALSE;
    HANDLE h = g_keyboard.load();
    if (h)
        ok = kb_bounded_write(h, report, waited_ms);
    LeaveCriticalSection(cs);
    return ok;
}

bool is_command_collection(HANDLE h, uint16_t vid, uint16_t pid, uint16_t* version)
{
    HIDD_ATTRIBUTES attr = {};
    attr.Size = sizeof(attr);
    if (!HidD_GetAttributes(h, &attr))
        return false;
    PHIDP_PREPARSED_DATA pp = nullptr;
    if (!HidD_GetPreparsedData(h, &pp))
        return false;
    HIDP_CAPS caps = {};
    NTSTATUS st = HidP_GetCaps(pp, &caps);
    HidD_FreePreparsedData(pp);
    if (st != HIDP_STATUS_SUCCESS)
        return false;
    if (attr.VendorID != vid || attr.ProductID != pid)
        return false;
    if (caps.Usage != KB_USAGE || caps.UsagePage != KB_CMD_USAGE_PAGE ||
        caps.OutputReportByteLength != KB_OUT_REPORT_SIZE)
        return false;
    *version = attr.VersionNumber;
    return true;
}

}  // namespace

void kb_open(uint16_t vid, uint16_t pid)
{
    GUID hid_guid;
    HidD_GetHidGuid(&hid_guid);
    HDEVINFO set = SetupDiGetClassDevsA(&hid_guid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE || !set)
        return;

    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA data = {};
        data.cbSize = sizeof(data);
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &hid_guid, index, &data)) {
            if (GetLastError() == ERROR_NO_MORE_ITEMS)
                break;
            continue;
        }

        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &data, nullptr, 0, &required, nullptr);
        // A size too small for even the fixed part cannot hold a path.
        if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A))
            break;
        PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail = (PSP_DEVICE_INTERFACE_DETAIL_DATA_A)malloc(required);
        if (!detail)
            break;
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (!SetupDiGetDeviceInterfaceDetailA(set, &data, detail, required, nullptr, nullptr)) {
            free(detail);
            break;
        }

        // Overlapped, so that every write can be bounded in time.
        HANDLE h =
            CreateFileA(detail->DevicePath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (h == INVALID_HANDLE_VALUE || !h) {
            free(detail);
            continue;
        }

        uint16_t version = 0;
        if (is_command_collection(h, vid, pid, &version) &&
            !another_keyboard_during_run(detail->DevicePath)) {
            size_t len = strlen(detail->DevicePath);
            if (len < sizeof(kb_path))
                memcpy(kb_path, detail->DevicePath, len + 1);
            // A run that started without a keyboard follows the first one that comes.
            if (kb_run_follows_next) {
                memcpy(kb_run_path, kb_path, sizeof(kb_run_path));
                kb_run_follows_next = false;
            }
            free(detail);
            g_kb_nxp_version.store(version);
            g_keyboard.store(h);
            break;
        }
        free(detail);
        CloseHandle(h);
    }
    SetupDiDestroyDeviceInfoList(set);
}

void kb_close_keep_notify()
{
    CRITICAL_SECTION* cs = kb_lock();
    EnterCriticalSection(cs);
    HANDLE h = g_keyboard.load();
    if (h) {
        CloseHandle(h);
        g_keyboard.store(nullptr);
    }
    LeaveCriticalSection(cs);
    kb_path[0] = '\0';
    ui_enable_update(FALSE);
}

void kb_close()
{
    kb_close_keep_notify();
    if (g_keyboard_notify) {
        UnregisterDeviceNotification(g_keyboard_notify);
        g_keyboard_notify = nullptr;
    }
}

void kb_follow_for_run()
{
    kb_run_path[0] = '\0';
    kb_run_follows_next = !g_keyboard.load();
    if (!kb_run_follows_next)
        memcpy(kb_run_path, kb_path, sizeof(kb_run_path));
}

bool kb_is_open_path(const char* path)
{
    return g_keyboard.load() && kb_path[0] && path && same_path(path, kb_path);
}

bool kb_names_keyboard(const char* path)
{
    static const uint16_t kIdentities[][2] = {{KB_VID1, KB_PID1}, {KB_VID2, KB_PID2}};
    if (!path)
        return false;
    for (const auto& identity : kIdentities) {
        // Device paths name the identity as "vid_3e71&pid_2a60", in any case.
        char id[24];
        wsprintfA(id, "vid_%04x&pid_%04x", (unsigned)identity[0], (unsigned)identity[1]);
        size_t n = strlen(id);
        for (const char* p = path; *p; ++p) {
            size_t i = 0;
            while (i < n && p[i] && tolower((unsigned char)p[i]) == id[i])
                ++i;
            if (i == n)
                return true;
        }
    }
    return false;
}

int kb_write_report(const uint8_t* report)
{
    if (g_kb_write_failures >= KB_WRITE_FAILURE_LIMIT)
        return 0;
    for (;;) {
        UINT waited = 0;
        if (kb_locked_write(report, &waited))
            return 1;
        g_kb_write_failures = (uint8_t)(g_kb_write_failures + 1);
        wait_ms(1000);
        if (g_kb_write_failures >= KB_WRITE_FAILURE_LIMIT)
            return 0;
    }
}

BOOL kb_send_command(const uint8_t* report)
{
    UINT waited = 0;
    return kb_locked_write(report, &waited);
}

BOOL kb_send_command_timed(const uint8_t* report, UINT* waited_ms)
{
    return kb_locked_write(report, waited_ms);
}

void kb_reopen(HWND notify_wnd)
{
    kb_close();
    kb_open(KB_VID1, KB_PID1);
    if (!g_keyboard.load())
        kb_open(KB_VID2, KB_PID2);

    // The close has dropped the registration of the earlier handle: only the
    // open handle is watched.
    HANDLE kb = g_keyboard.load();
    if (!kb)
        return;
    DEV_BROADCAST_HANDLE filter = {};
    filter.dbch_size = sizeof(filter);
    filter.dbch_devicetype = DBT_DEVTYP_HANDLE;
    filter.dbch_handle = kb;
    g_keyboard_notify = RegisterDeviceNotificationA(notify_wnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}
