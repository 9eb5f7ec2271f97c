// The support trace: the recording functions the gateway puts in place of the
// device calls, and the writer of the trace file.
#define TESSEL_DEVICE_TRACE_CALLS  // this file calls the platform's own functions
#include "platform/win32.h"
#include "platform/device_trace.h"

#include "common/globals.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace {

const size_t kBufferSize = 1 << 16;  // the file is written in pieces of this size
const size_t kRecordMax = 1024;      // a record without payload
const int kDeviceHandles = 16;       // device files open at once

FILE* g_file = nullptr;
char* g_buffer = nullptr;
std::atomic<bool> g_on{false};
std::atomic_flag g_busy = ATOMIC_FLAG_INIT;
DWORD g_start = 0;
void (*g_cause_hook)(const char*) = nullptr;
std::atomic<unsigned long> g_last_error{0};
// What was last recorded of the update state and result (-1: nothing yet).
long g_seen_state = -1;
long long g_seen_result = -1;
bool g_started = false;  // the first record (start) is written

// Device files open now, with the first letters of their paths: writes and
// closes of other files are not recorded.
struct DeviceFile {
    std::atomic<HANDLE> handle{nullptr};
};
DeviceFile g_devices[kDeviceHandles];

void lock()
{
    while (g_busy.test_and_set(std::memory_order_acquire))
        ;
}

void unlock()
{
    g_busy.clear(std::memory_order_release);
}

// The caller holds the lock.
void put(const char* text, size_t len)
{
    if (g_file && fwrite(text, 1, len, g_file) != len) {
        // A trace that cannot be written is given up; the run goes on.
        g_on = false;
    }
}

void put_record(const char* ev, const char* fields, const char* payload_key, const char* payload)
{
    char head[96];
    int n =
        snprintf(head, sizeof head, "{\"t\":%lu,\"ev\":\"%s\"", (unsigned long)(timeGetTime() - g_start), ev);
    put(head, (size_t)n);
    if (fields && *fields) {
        put(",", 1);
        put(fields, strlen(fields));
    }
    if (payload_key) {
        put(",\"", 2);
        put(payload_key, strlen(payload_key));
        put("\":\"", 3);
        put(payload, strlen(payload));
        put("\"", 1);
    }
    put("}\n", 2);
}

// The state and result records that changed since they were last written;
// the caller holds the lock.
void put_changes()
{
    if (!g_started) {
        g_started = true;
        return;
    }
    long state = (long)trace_peek(g_update_state);
    long long result = (long long)trace_peek(g_update_result);
    char f[48];
    if (state != g_seen_state) {
        g_seen_state = state;
        snprintf(f, sizeof f, "\"value\":%ld", state);
        put_record("state", f, nullptr, nullptr);
    }
    if (result != g_seen_result) {
        g_seen_result = result;
        snprintf(f, sizeof f, "\"value\":%lld", result);
        put_record("result", f, nullptr, nullptr);
    }
}

void record(const char* ev, const char* fields, const char* payload_key = nullptr,
            const char* payload = nullptr)
{
    if (!g_on)
        return;
    lock();
    put_changes();
    put_record(ev, fields, payload_key, payload);
    unlock();
}

// A failed call: its name and the Windows error code.
void failed(const char* call, DWORD error)
{
    g_last_error = error;
    if (!g_on)
        return;
    char f[128];
    snprintf(f, sizeof f, "\"call\":\"%s\",\"error\":%lu", call, (unsigned long)error);
    record("fail", f);
}

// Records a call that failed; the caller still finds the call's own error.
void note_failure(const char* call, bool ok)
{
    if (ok)
        return;
    DWORD e = GetLastError();
    failed(call, e);
    SetLastError(e);
}

// A text as a JSON string body: quotes, backslashes and control characters escaped.
void escape(char* out, size_t room, const char* text)
{
    size_t o = 0;
    for (const unsigned char* p = (const unsigned char*)text; *p && o + 7 < room; ++p) {
        if (*p == '"' || *p == '\\') {
            out[o++] = '\\';
            out[o++] = (char)*p;
        } else if (*p == '\r') {
            out[o++] = '\\';
            out[o++] = 'r';
        } else if (*p == '\n') {
            out[o++] = '\\';
            out[o++] = 'n';
        } else if (*p < 0x20) {
            o += (size_t)snprintf(out + o, room - o, "\\u%04x", *p);
        } else {
            out[o++] = (char)*p;
        }
    }
    out[o] = '\0';
}

bool is_device_path(LPCSTR name)
{
    return name && name[0] == '\\' && name[1] == '\\';
}

bool is_device(HANDLE h)
{
    if (!h || h == INVALID_HANDLE_VALUE)
        return false;
    for (DeviceFile& d : g_devices)
        if (d.handle.load() == h)
            return true;
    return false;
}

void remember_device(HANDLE h)
{
    for (DeviceFile& d : g_devices) {
        HANDLE none = nullptr;
        if (d.handle.compare_exchange_strong(none, h))
            return;
    }
}

void forget_device(HANDLE h)
{
    for (DeviceFile& d : g_devices) {
        HANDLE was = h;
        d.handle.compare_exchange_strong(was, nullptr);
    }
}

const char* dfu_request_name(uint8_t request)
{
    static const char* const names[] = {"DETACH",    "DNLOAD",   "UPLOAD", "GETSTATUS",
                                        "CLRSTATUS", "GETSTATE", "ABORT"};
    return request < 7 ? names[request] : "OTHER";
}

}  // namespace

bool trace_open(const char* path)
{
    FILE* f = fopen(path, "wb");
    if (!f)
        return false;
    trace_open_stream(f);
    return true;
}

void trace_open_stream(FILE* stream)
{
    g_buffer = (char*)malloc(kBufferSize);
    if (g_buffer)
        setvbuf(stream, g_buffer, _IOFBF, kBufferSize);
    g_file = stream;
    g_start = timeGetTime();
    g_on = true;
}

void trace_flush()
{
    if (!g_file)
        return;
    lock();
    fflush(g_file);
    unlock();
}

void trace_close()
{
    if (!g_file)
        return;
    lock();
    g_on = false;
    fclose(g_file);
    g_file = nullptr;
    unlock();
    free(g_buffer);
    g_buffer = nullptr;
}

bool trace_on()
{
    return g_on;
}

void trace_record(const char* ev, const char* fields)
{
    record(ev, fields);
}

void trace_cause(const char* name, const char* fields)
{
    char f[512];
    snprintf(f, sizeof f, "\"name\":\"%s\"%s%s", name, fields && *fields ? "," : "", fields ? fields : "");
    if (g_cause_hook)
        g_cause_hook(f);
    if (!g_on)
        return;
    lock();
    put_changes();
    put_record("cause", f, nullptr, nullptr);
    if (g_file)
        fflush(g_file);  // a run that stops here keeps its cause
    unlock();
}

void trace_set_cause_hook(void (*hook)(const char*))
{
    g_cause_hook = hook;
}

unsigned long trace_last_device_error()
{
    return g_last_error;
}

void trace_log_text(const char* text)
{
    trace_text_record("log", "text", text);
}

void trace_text_record(const char* ev, const char* key, const char* text)
{
    if (!g_on || !text)
        return;
    char escaped[2048];
    escape(escaped, sizeof escaped, text);
    record(ev, nullptr, key, escaped);
}

void trace_watch(unsigned, unsigned long)
{
    if (!g_on)
        return;
    lock();
    put_changes();
    unlock();
}

void trace_device_change(uintptr_t event, const void* broadcast)
{
    if (!g_on || !broadcast)
        return;
    const char* what = event == DBT_DEVICEARRIVAL          ? "arrival"
                       : event == DBT_DEVICEREMOVECOMPLETE ? "removal"
                       : event == DBT_DEVICEQUERYREMOVE    ? "query_remove"
                       : event == DBT_DEVICEREMOVEPENDING  ? "removal_pending"
                                                           : nullptr;
    if (!what)
        return;
    const DEV_BROADCAST_HDR* hdr = (const DEV_BROADCAST_HDR*)broadcast;
    char f[64];
    snprintf(f, sizeof f, "\"what\":\"%s\"", what);
    if (hdr->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
        const DEV_BROADCAST_DEVICEINTERFACE_A* d = (const DEV_BROADCAST_DEVICEINTERFACE_A*)broadcast;
        size_t at = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name);
        if (d->dbcc_size <= at || !memchr(d->dbcc_name, 0, d->dbcc_size - at))
            return;
        char path[600];
        escape(path, sizeof path, d->dbcc_name);
        record("notify", f, "path", path);
    } else if (hdr->dbch_devicetype == DBT_DEVTYP_HANDLE) {
        record("notify", f, "path", "handle");
    }
}

void trace_hex(char* out, const uint8_t* data, size_t len)
{
    static const char digits[] = "0123456789ABCDEF";
    for (size_t i = 0; i < len; i++) {
        out[2 * i] = digits[data[i] >> 4];
        out[2 * i + 1] = digits[data[i] & 15];
    }
    out[2 * len] = '\0';
}

// ---- the device calls ----

HDEVINFO dt_SetupDiGetClassDevsA(const GUID* guid, LPCSTR enumerator, HWND parent, DWORD flags)
{
    HDEVINFO set = SetupDiGetClassDevsA(guid, enumerator, parent, flags);
    if (set == INVALID_HANDLE_VALUE) {
        DWORD e = GetLastError();
        failed("SetupDiGetClassDevsA", e);
        SetLastError(e);
    }
    return set;
}

BOOL dt_SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA info, const GUID* guid, DWORD index,
                                    PSP_DEVICE_INTERFACE_DATA data)
{
    BOOL ok = SetupDiEnumDeviceInterfaces(set, info, guid, index, data);
    if (!ok) {
        DWORD e = GetLastError();
        if (e != ERROR_NO_MORE_ITEMS)
            failed("SetupDiEnumDeviceInterfaces", e);
        SetLastError(e);
    }
    return ok;
}

BOOL dt_SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                         PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                                         PDWORD required, PSP_DEVINFO_DATA info)
{
    BOOL ok = SetupDiGetDeviceInterfaceDetailA(set, data, detail, size, required, info);
    if (!g_on || !detail)
        return ok;  // the size query fails by design
    DWORD e = GetLastError();
    if (ok) {
        char path[600];
        escape(path, sizeof path, detail->DevicePath);
        record("iface", nullptr, "path", path);
    } else {
        failed("SetupDiGetDeviceInterfaceDetailA", e);
    }
    SetLastError(e);
    return ok;
}

HANDLE dt_CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                      DWORD flags, HANDLE templ)
{
    HANDLE h = CreateFileA(name, access, share, sa, disposition, flags, templ);
    if (!g_on || !is_device_path(name))
        return h;
    DWORD e = GetLastError();
    char path[600];
    escape(path, sizeof path, name);
    if (h == INVALID_HANDLE_VALUE) {
        char f[48];
        snprintf(f, sizeof f, "\"ok\":false,\"error\":%lu", (unsigned long)e);
        g_last_error = e;
        record("open", f, "path", path);
    } else {
        remember_device(h);
        record("open", nullptr, "path", path);
    }
    SetLastError(e);
    return h;
}

BOOL dt_WriteFile(HANDLE h, LPCVOID data, DWORD len, LPDWORD written, LPOVERLAPPED ov)
{
    BOOL ok = WriteFile(h, data, len, written, ov);
    if (!ok && !g_on) {
        DWORD e = GetLastError();
        if (e != ERROR_IO_PENDING)
            g_last_error = e;
        return ok;
    }
    if (!g_on || !is_device(h))
        return ok;
    DWORD e = GetLastError();
    char hex[2 * 64 + 1];
    trace_hex(hex, (const uint8_t*)data, len < 64 ? len : 64);
    if (ok || e == ERROR_IO_PENDING) {
        record("kb_out", nullptr, "hex", hex);
    } else {
        // The same record, refused: the bytes, then the error.
        char f[48];
        snprintf(f, sizeof f, "\"ok\":false,\"error\":%lu", (unsigned long)e);
        g_last_error = e;
        char line[2 * 64 + 64];
        snprintf(line, sizeof line, "\"hex\":\"%s\",%s", hex, f);
        record("kb_out", line);
    }
    SetLastError(e);
    return ok;
}

BOOL dt_GetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD moved, BOOL wait)
{
    BOOL ok = GetOverlappedResult(h, ov, moved, wait);
    if (!ok && !g_on)
        g_last_error = GetLastError();
    if (!ok && g_on && is_device(h)) {
        DWORD e = GetLastError();
        failed("WriteFile", e);
        SetLastError(e);
    }
    return ok;
}

BOOL dt_CancelIo(HANDLE h)
{
    if (g_on && is_device(h))
        record("cancel", nullptr);
    return CancelIo(h);
}

BOOL dt_CloseHandle(HANDLE h)
{
    if (g_on && is_device(h))
        forget_device(h);
    return CloseHandle(h);
}

BOOLEAN dt_HidD_GetAttributes(HANDLE h, PHIDD_ATTRIBUTES attr)
{
    BOOLEAN ok = HidD_GetAttributes(h, attr);
    if (!g_on)
        return ok;
    DWORD e = GetLastError();
    if (ok) {
        char f[96];
        snprintf(f, sizeof f, "\"vid\":%u,\"pid\":%u,\"version\":%u", (unsigned)attr->VendorID,
                 (unsigned)attr->ProductID, (unsigned)attr->VersionNumber);
        record("hid_attr", f);
    } else {
        failed("HidD_GetAttributes", e);
    }
    SetLastError(e);
    return ok;
}

BOOLEAN dt_HidD_GetPreparsedData(HANDLE h, PHIDP_PREPARSED_DATA* pp)
{
    BOOLEAN ok = HidD_GetPreparsedData(h, pp);
    note_failure("HidD_GetPreparsedData", ok);
    return ok;
}

NTSTATUS dt_HidP_GetCaps(PHIDP_PREPARSED_DATA pp, PHIDP_CAPS caps)
{
    NTSTATUS st = HidP_GetCaps(pp, caps);
    if (!g_on)
        return st;
    char f[128];
    if (st == HIDP_STATUS_SUCCESS)
        snprintf(f, sizeof f, "\"usage_page\":%u,\"usage\":%u,\"in_len\":%u,\"out_len\":%u",
                 (unsigned)caps->UsagePage, (unsigned)caps->Usage, (unsigned)caps->InputReportByteLength,
                 (unsigned)caps->OutputReportByteLength);
    else
        snprintf(f, sizeof f, "\"ok\":false,\"status\":%ld", (long)st);
    record("hid_caps", f);
    return st;
}

UINT dt_GetRawInputData(HRAWINPUT raw, UINT command, LPVOID data, UINT* size, UINT header)
{
    UINT got = GetRawInputData(raw, command, data, size, header);
    if (!g_on || !data)
        return got;
    DWORD e = GetLastError();
    if (got == (UINT)-1) {
        failed("GetRawInputData", e);
    } else {
        // The first report of a HID message, whole or as far as it was copied.
        const RAWINPUT* in = (const RAWINPUT*)data;
        size_t at = offsetof(RAWINPUT, data.hid.bRawData);
        if (got >= at && in->header.dwType == RIM_TYPEHID) {
            size_t len = in->data.hid.dwSizeHid;
            if (len > got - at)
                len = got - at;
            if (len > 64)
                len = 64;
            char hex[2 * 64 + 1];
            trace_hex(hex, (const uint8_t*)data + at, len);
            record("kb_in", nullptr, "hex", hex);
        }
    }
    SetLastError(e);
    return got;
}

BOOL dt_RegisterRawInputDevices(PCRAWINPUTDEVICE devices, UINT count, UINT size)
{
    BOOL ok = RegisterRawInputDevices(devices, count, size);
    note_failure("RegisterRawInputDevices", ok);
    return ok;
}

HDEVNOTIFY dt_RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags)
{
    HDEVNOTIFY n = RegisterDeviceNotificationA(recipient, filter, flags);
    note_failure("RegisterDeviceNotificationA", n != nullptr);
    return n;
}

BOOL dt_WinUsb_Initialize(HANDLE file, PWINUSB_INTERFACE_HANDLE iface)
{
    BOOL ok = WinUsb_Initialize(file, iface);
    note_failure("WinUsb_Initialize", ok);
    return ok;
}

BOOL dt_WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE iface, UCHAR type, UCHAR index, USHORT language,
                             PUCHAR buffer, ULONG length, PULONG transferred)
{
    BOOL ok = WinUsb_GetDescriptor(iface, type, index, language, buffer, length, transferred);
    if (!g_on)
        return ok;
    DWORD e = GetLastError();
    if (ok) {
        ULONG n = transferred && *transferred < 64 ? *transferred : 0;
        char hex[2 * 64 + 1];
        trace_hex(hex, buffer, n);
        char f[32];
        snprintf(f, sizeof f, "\"type\":%u", (unsigned)type);
        record("usb_desc", f, "hex", hex);
    } else {
        failed("WinUsb_GetDescriptor", e);
    }
    SetLastError(e);
    return ok;
}

// The record of a DFU request: request, value, length as tessel-sim writes
// them, "ok":false when refused; then the setup packet's type and index, the
// milliseconds the call lasted, and the answer: the bytes moved ("got") and,
// for a request that reads, their bytes ("hex"), or the Windows error code.
BOOL dt_WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE iface, WINUSB_SETUP_PACKET setup, PUCHAR buffer,
                               ULONG length, PULONG transferred, LPOVERLAPPED ov)
{
    if (!g_on) {
        BOOL ok = WinUsb_ControlTransfer(iface, setup, buffer, length, transferred, ov);
        if (!ok)
            g_last_error = GetLastError();
        return ok;
    }
    DWORD began = timeGetTime();
    BOOL ok = WinUsb_ControlTransfer(iface, setup, buffer, length, transferred, ov);
    DWORD e = GetLastError();
    DWORD lasted = timeGetTime() - began;
    const char* name = (setup.RequestType & 0x60) == 0x20 ? dfu_request_name(setup.Request) : "OTHER";
    char f[160];
    int n = snprintf(f, sizeof f,
                     "\"req\":\"%s\",\"value\":%u,\"length\":%u%s,\"type\":%u,\"index\":%u,\"ms\":%lu", name,
                     (unsigned)setup.Value, (unsigned)setup.Length, ok ? "" : ",\"ok\":false",
                     (unsigned)setup.RequestType, (unsigned)setup.Index, (unsigned long)lasted);
    // The bytes of the data stage: what the tool sent (or meant to send), or
    // what the device answered.
    size_t len = 0;
    if (!ok) {
        g_last_error = e;
        snprintf(f + n, sizeof f - n, ",\"error\":%lu", (unsigned long)e);
        len = buffer && (setup.RequestType & 0x80) == 0 ? setup.Length : 0;
    } else {
        ULONG moved = transferred ? *transferred : 0;
        snprintf(f + n, sizeof f - n, ",\"got\":%lu", (unsigned long)moved);
        len = buffer ? (moved < length ? moved : length) : 0;
        if ((setup.RequestType & 0x80) == 0)
            len = buffer ? setup.Length : 0;
    }
    if (len > 4096)
        len = 4096;
    char hex[2 * 4096 + 1];
    trace_hex(hex, buffer, len);
    if (len)
        record("dfu", f, "hex", hex);
    else
        record("dfu", f);
    SetLastError(e);
    return ok;
}
