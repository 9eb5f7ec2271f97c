// Device files: CreateFileA on a device interface's path, output reports
// written to the keyboard, and the watch for writes through stale handles.
#include "host/sim_bus.h"

namespace sim {

namespace {
const uint32_t kHidWriteMs = 1;  // one interrupt OUT transfer per report
}  // namespace

void count_stale_writes(HANDLE h, const void* buf, DWORD n)
{
    World& w = world();
    // Time passes between reading a handle value and the system's lookup of
    // it: 2 ms, so that a thread due in the millisecond in between runs while
    // this write holds a handle value it has not used yet.
    if (w.preempt_writes && current_thread())
        Sleep(2);
    HandleObject* obj = handle_lookup(h);
    if (auto* f = dynamic_cast<DeviceFile*>(obj)) {
        Iface* i = iface_by_id(f->iface);
        if (i && i->takes_commands())
            return;
    }
    bool stale = false;
    if (!obj && w.closed_keyboard_handles.count(h))
        stale = true;  // a keyboard handle written after its close
    if (n == 57 && buf && static_cast<const uint8_t*>(buf)[0] == 6)
        stale = true;  // a command report that reaches another object
    if (stale)
        ++w.counters.stale_handle_writes;
}

bool DeviceFile::writes_hang() const
{
    const Iface* i = iface_by_id(iface);
    const KeyboardSlot* k = i ? keyboard_of(*i) : nullptr;
    return i && i->present && i->kind == Kind::KbdCommands && k && k->hung() && (access & GENERIC_WRITE);
}

BOOL DeviceFile::write_overlapped(const void* buf, DWORD n, DWORD* put, OVERLAPPED* ov)
{
    if (!writes_hang())
        return HandleObject::write_overlapped(buf, n, put, ov);
    if (put)
        *put = 0;
    hold_io(value, ov);
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

BOOL DeviceFile::write(const void* buf, DWORD n, DWORD* put)
{
    if (put)
        *put = 0;
    Iface* i = iface_by_id(iface);
    if (!i || !i->present) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    if (writes_hang()) {
        // A synchronous write to a keyboard that no longer takes reports
        // returns only when the keyboard leaves.
        int id = iface;
        block([id] {
            const Iface* gone = iface_by_id(id);
            return !gone || !gone->present;
        });
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    if (!(access & GENERIC_WRITE)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (!i->hid() || i->out_len == 0) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    if (!buf || n != i->out_len) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<uint8_t> report(static_cast<const uint8_t*>(buf), static_cast<const uint8_t*>(buf) + n);
    int id = i->id;
    // The report goes out in the next interrupt OUT transfer; the write
    // completes when it has.
    Sleep(kHidWriteMs);
    i = iface_by_id(id);
    if (!i || !i->present) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    KeyboardSlot* k = keyboard_of(*i);
    if (i->kind == Kind::KbdCommands && k) {
        if (trace_wanted("kb_out"))
            trace_kb(*k, "kb_out", Json{{"hex", hex_upper(report.data(), report.size())}});
        ++k->reports_taken;
        k->model->output_report(report.data(), report.size());
    }
    if (put)
        *put = n;
    return TRUE;
}

void DeviceFile::on_close()
{
    // Closing a handle ends what is pending on it.
    end_held_io(value, ERROR_OPERATION_ABORTED);
    World& w = world();
    --w.counters.open_device_handles;
    w.files.erase(this);
    Iface* i = iface_by_id(iface);
    if (i && i->takes_commands())
        w.closed_keyboard_handles.insert(value);
    // WinUSB interface handles that still refer to this file lose their device.
    for (auto& u : w.winusb)
        if (u.second.file == value)
            u.second.iface = -1;
}

std::string device_path_of(HANDLE h)
{
    auto* f = handle_as<DeviceFile>(h);
    const Iface* i = f ? iface_by_id(f->iface) : nullptr;
    return i ? i->path() : std::string();
}

int device_iface_of(HANDLE h)
{
    auto* f = handle_as<DeviceFile>(h);
    return f ? f->iface : 0;
}

HANDLE device_create_file(const char* path, DWORD access, DWORD)
{
    ensure_init();
    World& w = world();
    std::string wanted = lower_text(path ? path : "");
    Iface* found = nullptr;
    for (Iface& i : w.ifaces)
        if (i.present && lower_text(i.path()) == wanted)
            found = &i;
    if (!found) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (found->refuse_open) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    // The system keeps keyboards and mice to itself: they open for queries only.
    bool system_owned =
        found->hid() && found->usage_page == 0x01 && (found->usage == 0x06 || found->usage == 0x02);
    if (system_owned && (access & (GENERIC_READ | GENERIC_WRITE))) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    // A WinUSB device opens once at a time.
    if (!found->hid()) {
        for (DeviceFile* f : w.files)
            if (f->iface == found->id) {
                SetLastError(ERROR_ACCESS_DENIED);
                return INVALID_HANDLE_VALUE;
            }
    }
    auto* f = new DeviceFile;
    f->iface = found->id;
    f->access = access;
    HANDLE h = handle_insert(f);
    f->value = h;
    w.files.insert(f);
    ++w.counters.open_device_handles;
    ++w.counters.device_opens;
    if (found->takes_commands())
        w.closed_keyboard_handles.erase(h);
    return h;
}

}  // namespace sim
