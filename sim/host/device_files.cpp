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

namespace {
// The device takes a report written to interface `id`; false when it has left.
bool take_report(int id, const std::vector<uint8_t>& report)
{
    Iface* i = iface_by_id(id);
    if (!i || !i->present)
        return false;
    KeyboardSlot* k = keyboard_of(*i);
    if (i->kind == Kind::KbdCommands && k) {
        simbus::trace_output_report(bus_host(), k, report.data(), report.size());
        ++k->reports_taken;
        k->model->output_report(report.data(), report.size());
    }
    return true;
}
}  // namespace

BOOL DeviceFile::write_overlapped(const void* buf, DWORD n, DWORD* put, OVERLAPPED* ov)
{
    // A file opened without FILE_FLAG_OVERLAPPED writes synchronously, with
    // an OVERLAPPED or without.
    if (!(flags & FILE_FLAG_OVERLAPPED))
        return HandleObject::write_overlapped(buf, n, put, ov);
    if (put)
        *put = 0;
    if (DWORD error = simbus::write_error(iface_by_id(iface), access, buf, n)) {
        SetLastError(error);
        return FALSE;
    }
    hold_io(value, ov);
    check_bus();
    // A keyboard whose firmware has hung holds the write until it is
    // cancelled, its handle closed or the keyboard leaves; otherwise the
    // report goes out in the next interrupt OUT transfer and the write
    // completes when it has.
    if (!writes_hang()) {
        std::vector<uint8_t> report(static_cast<const uint8_t*>(buf), static_cast<const uint8_t*>(buf) + n);
        HANDLE file = value;
        int id = iface;
        schedule_after(kHidWriteMs, [file, ov, id, report, n] {
            if (!is_held_io(file, ov))
                return;  // cancelled, closed or failed meanwhile
            bool taken = take_report(id, report);
            finish_held_io(file, ov, taken ? 0 : ERROR_DEVICE_NOT_CONNECTED, taken ? n : 0);
        });
    }
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

BOOL DeviceFile::write(const void* buf, DWORD n, DWORD* put)
{
    if (put)
        *put = 0;
    if (DWORD error = simbus::write_error(iface_by_id(iface), access, buf, n)) {
        SetLastError(error);
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
    std::vector<uint8_t> report(static_cast<const uint8_t*>(buf), static_cast<const uint8_t*>(buf) + n);
    // The call lasts the interrupt OUT transfer.
    Sleep(kHidWriteMs);
    if (!take_report(iface, report)) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
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
    check_bus();
}

std::string device_path(int id)
{
    const Iface* i = iface_by_id(id);
    return i ? i->path() : std::string();
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

HANDLE device_create_file(const char* path, DWORD access, DWORD, DWORD flags)
{
    ensure_init();
    World& w = world();
    std::string wanted = path ? path : "";
    Iface* found = nullptr;
    for (Iface& i : w.ifaces)
        if (i.present && simbus::same_path(i.path(), wanted))
            found = &i;
    if (!found) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    bool winusb_open = false;
    for (DeviceFile* f : w.files)
        winusb_open = winusb_open || f->iface == found->id;
    if (DWORD error = simbus::open_error(*found, access, winusb_open)) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    auto* f = new DeviceFile;
    f->iface = found->id;
    f->access = access;
    f->flags = flags;
    HANDLE h = handle_insert(f);
    f->value = h;
    w.files.insert(f);
    ++w.counters.open_device_handles;
    ++w.counters.device_opens;
    if (found->takes_commands())
        w.closed_keyboard_handles.erase(h);
    check_bus();
    return h;
}

}  // namespace sim
