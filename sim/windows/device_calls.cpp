// The device calls of tessel-updater-sim.exe (device_calls.h), answered
// from the simulated bus: SetupAPI, the HID class library, device files and
// their overlapped writes, Raw Input, device notifications and WinUSB. Calls
// on handles the bus does not know go to the system.
#include "sim/windows/bus_internal.h"

#include <dbt.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

using simwin::bus;

// ------------------------------------------------------------ SetupAPI
HDEVINFO simdev_SetupDiGetClassDevsA(const GUID* guid, PCSTR, HWND, DWORD flags)
{
    auto& b = bus();
    std::lock_guard<std::mutex> held(b.lock);
    if (!guid || !(flags & DIGCF_DEVICEINTERFACE)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    simbus::InfoSet members{*guid, {}};
    for (auto& i : b.ifaces)
        if ((i.present || !(flags & DIGCF_PRESENT)) && simbus::same_guid(i.guid, *guid))
            members.ifaces.push_back(i.id);
    void* set = new simwin::InfoSetKey;
    b.info_sets[set] = members;
    simwin::check_bus();
    return (HDEVINFO)set;
}

// With the lock held: the set behind a handle, or nullptr.
static simbus::InfoSet* info_set(HDEVINFO set)
{
    auto s = bus().info_sets.find((void*)set);
    return s == bus().info_sets.end() ? nullptr : &s->second;
}

BOOL simdev_SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID* guid, DWORD index,
                                        PSP_DEVICE_INTERFACE_DATA data)
{
    std::lock_guard<std::mutex> held(bus().lock);
    auto iface = [](int id) -> const simbus::Interface* { return simwin::iface_by_id(id); };
    return simbus::enum_interface(info_set(set), iface, guid, index, data);
}

BOOL simdev_SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                                             PDWORD required, PSP_DEVINFO_DATA)
{
    std::lock_guard<std::mutex> held(bus().lock);
    auto path = [](int id) {
        const simwin::Iface* i = simwin::iface_by_id(id);
        return i ? i->path : std::string();
    };
    return simbus::interface_detail(info_set(set), path, data, detail, size, required);
}

BOOL simdev_SetupDiDestroyDeviceInfoList(HDEVINFO set)
{
    std::lock_guard<std::mutex> held(bus().lock);
    if (!info_set(set)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    bus().info_sets.erase((void*)set);
    delete (simwin::InfoSetKey*)set;
    return TRUE;
}

// ------------------------------------------------------------ HID class library
namespace {
struct Preparsed {
    HIDP_CAPS caps;
};

// With the lock held: the interface behind a device file, or nullptr.
const simwin::Iface* file_iface(HANDLE h)
{
    auto f = bus().files.find(h);
    return f == bus().files.end() ? nullptr : simwin::iface_by_id(f->second.iface);
}
}  // namespace

void simdev_HidD_GetHidGuid(LPGUID guid)
{
    if (guid)
        *guid = simwin::kHidGuid;
}

BOOLEAN simdev_HidD_GetAttributes(HANDLE h, PHIDD_ATTRIBUTES attr)
{
    std::lock_guard<std::mutex> held(bus().lock);
    return simbus::get_attributes(file_iface(h), attr);
}

BOOLEAN simdev_HidD_GetPreparsedData(HANDLE h, PHIDP_PREPARSED_DATA* pp)
{
    std::lock_guard<std::mutex> held(bus().lock);
    const simwin::Iface* i = file_iface(h);
    if (!simbus::preparsed_ok(i, pp))
        return FALSE;
    *pp = (PHIDP_PREPARSED_DATA) new Preparsed{simbus::caps_of(*i)};
    return TRUE;
}

BOOLEAN simdev_HidD_FreePreparsedData(PHIDP_PREPARSED_DATA pp)
{
    delete (Preparsed*)pp;
    return TRUE;
}

NTSTATUS simdev_HidP_GetCaps(PHIDP_PREPARSED_DATA pp, PHIDP_CAPS caps)
{
    if (!pp || !caps)
        return HIDP_STATUS_INVALID_PREPARSED_DATA;
    *caps = ((Preparsed*)pp)->caps;
    return HIDP_STATUS_SUCCESS;
}

// ------------------------------------------------------------ device files
HANDLE simdev_CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                          DWORD flags, HANDLE templ)
{
    if (!path || strncmp(path, "\\\\?\\", 4) != 0)
        return simdev_file_open(path, access, share, sa, disposition, flags, templ);
    // A device path never reaches the system's own device stack.
    auto& b = bus();
    std::lock_guard<std::mutex> held(b.lock);
    simwin::Iface* found = nullptr;
    for (auto& i : b.ifaces)
        if (i.present && simbus::same_path(i.path, path))
            found = &i;
    if (!found) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    bool winusb_open = false;
    for (auto& f : b.files)
        winusb_open = winusb_open || f.second.iface == found->id;
    if (DWORD error = simbus::open_error(*found, access, winusb_open)) {
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    // A real handle of the process stands for the device file, so that its
    // value is never another object's while it is open.
    HANDLE h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!h)
        return INVALID_HANDLE_VALUE;
    b.files[h] = simwin::DeviceFile{found->id, access, flags};
    simwin::check_bus();
    return h;
}

BOOL simdev_WriteFile(HANDLE h, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED ov)
{
    auto& b = bus();
    std::unique_lock<std::mutex> held(b.lock);
    auto f = b.files.find(h);
    if (f == b.files.end()) {
        held.unlock();
        if (simdev_file_write_fails(h, size, written))
            return FALSE;
        return WriteFile(h, data, size, written, ov);
    }
    if (written)
        *written = 0;
    simwin::Iface* i = simwin::iface_by_id(f->second.iface);
    if (DWORD error = simbus::write_error(i, f->second.access, data, size)) {
        SetLastError(error);
        return FALSE;
    }
    // A file opened without FILE_FLAG_OVERLAPPED writes synchronously, with
    // an OVERLAPPED or without.
    bool overlapped = ov && (f->second.flags & FILE_FLAG_OVERLAPPED);
    bool commands = i->kind == simwin::Kind::KbdCommands;
    simwin::Keyboard* kb = simwin::keyboard_of(i);
    std::vector<uint8_t> report((const uint8_t*)data, (const uint8_t*)data + size);
    if (commands && kb && kb->hung()) {
        if (!overlapped) {
            // A synchronous write returns only when the keyboard leaves.
            while (simwin::present_iface_of_file(h)) {
                held.unlock();
                Sleep(10);
                held.lock();
            }
            SetLastError(ERROR_DEVICE_NOT_CONNECTED);
            return FALSE;
        }
        b.writes.hold(h, ov, GetCurrentThreadId());
        if (ov->hEvent)
            ResetEvent(ov->hEvent);
        simwin::check_bus();
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    // The device takes the report.
    auto take = [report, commands, kb] {
        if (kb && commands)
            ++kb->reports_taken;
        simbus::trace_output_report(simwin::bus_host(), kb, report.data(), report.size());
        if (kb)
            kb->model->output_report(report.data(), report.size());
    };
    if (!overlapped) {
        // The call lasts the interrupt OUT transfer.
        held.unlock();
        Sleep(1);
        held.lock();
        if (!simwin::present_iface_of_file(h)) {
            SetLastError(ERROR_DEVICE_NOT_CONNECTED);
            return FALSE;
        }
        take();
        if (ov) {
            simbus::mark_done(ov, 0, size);
            if (ov->hEvent)
                SetEvent(ov->hEvent);
        }
        if (written)
            *written = size;
        return TRUE;
    }
    b.writes.hold(h, ov, GetCurrentThreadId());
    if (ov->hEvent)
        ResetEvent(ov->hEvent);
    simwin::check_bus();
    // One interrupt OUT transfer; the write may have been cancelled, its file
    // closed or its device gone meanwhile.
    simwin::after_locked(simwin::jittered(1), [h, ov, size, take] {
        if (!bus().writes.held(h, ov))
            return;
        take();
        simwin::complete_write(h, ov, 0, size);
    });
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

BOOL simdev_CloseHandle(HANDLE h)
{
    auto& b = bus();
    {
        std::lock_guard<std::mutex> held(b.lock);
        auto f = b.files.find(h);
        if (f != b.files.end()) {
            simwin::end_writes_of(h, ERROR_OPERATION_ABORTED);
            b.files.erase(f);
            // WinUSB interface handles on the file lose their device.
            for (auto& u : b.winusb)
                if (u.second.file == h)
                    u.second.iface = -1;
            simwin::check_bus();
        }
    }
    simdev_file_closed(h);
    return CloseHandle(h);
}

BOOL simdev_CancelIo(HANDLE h)
{
    auto& b = bus();
    std::unique_lock<std::mutex> held(b.lock);
    if (!b.files.count(h)) {
        held.unlock();
        return CancelIo(h);
    }
    // Only what the calling thread issued on the handle.
    simwin::end_writes_of(h, ERROR_OPERATION_ABORTED, GetCurrentThreadId());
    return TRUE;
}

BOOL simdev_GetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD moved, BOOL wait)
{
    {
        auto& b = bus();
        std::lock_guard<std::mutex> held(b.lock);
        if (!b.files.count(h))
            goto system;
    }
    return simbus::overlapped_result(ov, moved, wait);
system:
    return GetOverlappedResult(h, ov, moved, wait);
}

// ------------------------------------------------------------ Raw Input
BOOL simdev_RegisterRawInputDevices(PCRAWINPUTDEVICE devices, UINT count, UINT size)
{
    if (DWORD error = simbus::raw_registration_error(devices, count, size)) {
        SetLastError(error);
        return FALSE;
    }
    auto& b = bus();
    std::lock_guard<std::mutex> held(b.lock);
    simbus::register_raw_input(b.raw_targets, devices, count);
    return TRUE;
}

UINT simdev_GetRawInputData(HRAWINPUT raw, UINT command, LPVOID data, PUINT size, UINT header_size)
{
    auto& b = bus();
    std::lock_guard<std::mutex> held(b.lock);
    const simbus::RawMessage* m = nullptr;
    for (auto& r : b.raw_records)
        if (r.first == raw)
            m = &r.second;
    return simbus::raw_input_data(m, command, data, size, header_size);
}

UINT simdev_GetRawInputDeviceInfoA(HANDLE device, UINT command, LPVOID data, PUINT size)
{
    auto& b = bus();
    std::lock_guard<std::mutex> held(b.lock);
    auto d = b.raw_devices.find(device);
    return simbus::raw_device_info(d == b.raw_devices.end() ? nullptr : &d->second, command, data, size);
}

// ------------------------------------------------------------ device notifications
HDEVNOTIFY simdev_RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags)
{
    if (DWORD error = simbus::notification_filter_error(recipient, filter, flags)) {
        SetLastError(error);
        return nullptr;
    }
    const DEV_BROADCAST_HDR* hdr = (const DEV_BROADCAST_HDR*)filter;
    auto& b = bus();
    std::lock_guard<std::mutex> held(b.lock);
    simwin::Registration r{(HWND)recipient, false, GUID(), nullptr, 0};
    if (hdr->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
        r.guid = ((const DEV_BROADCAST_DEVICEINTERFACE_A*)hdr)->dbcc_classguid;
    } else {
        HANDLE h = ((const DEV_BROADCAST_HANDLE*)hdr)->dbch_handle;
        auto f = b.files.find(h);
        if (f == b.files.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        // The system may refuse to watch the keyboard's handles.
        const simwin::Keyboard* kb = simwin::keyboard_of(simwin::iface_by_id(f->second.iface));
        if (kb && kb->config.handle_notify_fails) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        r.for_handle = true;
        r.handle = h;
        r.iface = f->second.iface;
    }
    HDEVNOTIFY id = (HDEVNOTIFY) new char;
    b.registrations[id] = r;
    simwin::check_bus();
    return id;
}

BOOL simdev_UnregisterDeviceNotification(HDEVNOTIFY handle)
{
    auto& b = bus();
    std::lock_guard<std::mutex> held(b.lock);
    auto r = b.registrations.find(handle);
    if (r == b.registrations.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    b.registrations.erase(r);
    delete (char*)handle;
    return TRUE;
}

// ------------------------------------------------------------ WinUSB
BOOL simdev_WinUsb_Initialize(HANDLE file, PWINUSB_INTERFACE_HANDLE iface)
{
    auto& b = bus();
    std::lock_guard<std::mutex> held(b.lock);
    auto f = b.files.find(file);
    const simwin::Iface* i = f == b.files.end() ? nullptr : simwin::iface_by_id(f->second.iface);
    if (DWORD error = simbus::winusb_initialize_error(i, i ? f->second.flags : 0, iface)) {
        SetLastError(error);
        return FALSE;
    }
    void* h = new char;
    b.winusb[h] = simbus::WinUsbIf{i->id, file};
    simwin::check_bus();
    *iface = (WINUSB_INTERFACE_HANDLE)h;
    return TRUE;
}

BOOL simdev_WinUsb_Free(WINUSB_INTERFACE_HANDLE iface)
{
    auto& b = bus();
    std::lock_guard<std::mutex> held(b.lock);
    auto w = b.winusb.find((void*)iface);
    if (w == b.winusb.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    delete (char*)w->first;
    b.winusb.erase(w);
    return TRUE;
}

// With the lock held: the interface behind a WinUSB handle, present on the
// bus, or nullptr (last error set).
static simwin::Iface* winusb_iface(WINUSB_INTERFACE_HANDLE h)
{
    auto& b = bus();
    auto w = b.winusb.find((void*)h);
    simwin::Iface* i = w == b.winusb.end() ? nullptr : simwin::iface_by_id(w->second.iface);
    if (DWORD error = simbus::winusb_handle_error(w != b.winusb.end(), i)) {
        SetLastError(error);
        return nullptr;
    }
    return i;
}

BOOL simdev_WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE iface, UCHAR type, UCHAR index, USHORT,
                                 PUCHAR buffer, ULONG length, PULONG transferred)
{
    auto& b = bus();
    std::lock_guard<std::mutex> held(b.lock);
    if (transferred)
        *transferred = 0;
    const simwin::Iface* i = winusb_iface(iface);
    if (!i)
        return FALSE;
    return simbus::get_descriptor(*i, i->vid, i->pid, type, index, buffer, length, transferred);
}

BOOL simdev_WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE iface, WINUSB_SETUP_PACKET setup, PUCHAR buffer,
                                   ULONG length, PULONG transferred, LPOVERLAPPED)
{
    auto& b = bus();
    // The lock is held as a plain mutex: a transfer that gets no answer
    // lets it go while it waits (bus_host().hold_caller).
    std::lock_guard<std::mutex> held(b.lock);
    if (transferred)
        *transferred = 0;
    simwin::Iface* i = winusb_iface(iface);
    if (!i)
        return FALSE;
    return simbus::control_transfer(simwin::bus_host(), *i, simwin::keyboard_of(i), setup, buffer, length,
                                    transferred);
}

// ------------------------------------------------------------ power
EXECUTION_STATE simdev_SetThreadExecutionState(EXECUTION_STATE flags)
{
    simwin::bus_note_execution_state(flags);
    return SetThreadExecutionState(flags);
}
