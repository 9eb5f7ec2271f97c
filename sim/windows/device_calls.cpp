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
    std::vector<int> members;
    for (auto& i : b.ifaces)
        if ((i.present || !(flags & DIGCF_PRESENT)) && simwin::same_guid(i.guid, *guid))
            members.push_back(i.id);
    void* set = new simwin::InfoSetKey;
    b.info_sets[set] = members;
    return (HDEVINFO)set;
}

BOOL simdev_SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA, const GUID* guid, DWORD index,
                                        PSP_DEVICE_INTERFACE_DATA data)
{
    auto& b = bus();
    std::lock_guard<std::mutex> held(b.lock);
    auto s = b.info_sets.find((void*)set);
    if (s == b.info_sets.end() || !data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (index >= s->second.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->InterfaceClassGuid = *guid;
    data->Flags = SPINT_ACTIVE;
    data->Reserved = (ULONG_PTR)s->second[index];
    return TRUE;
}

BOOL simdev_SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                                             PDWORD required, PSP_DEVINFO_DATA)
{
    auto& b = bus();
    std::lock_guard<std::mutex> held(b.lock);
    if (!b.info_sets.count((void*)set) || !data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    simwin::Iface* i = simwin::iface_by_id((int)data->Reserved);
    std::string path = i ? i->path : std::string();
    DWORD need = (DWORD)(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (required)
        *required = need;
    if (!detail) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (size < need) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    return TRUE;
}

BOOL simdev_SetupDiDestroyDeviceInfoList(HDEVINFO set)
{
    auto& b = bus();
    std::lock_guard<std::mutex> held(b.lock);
    auto s = b.info_sets.find((void*)set);
    if (s == b.info_sets.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    delete (simwin::InfoSetKey*)s->first;
    b.info_sets.erase(s);
    return TRUE;
}

// ------------------------------------------------------------ HID class library
namespace {
struct Preparsed {
    HIDP_CAPS caps;
};
}  // namespace

void simdev_HidD_GetHidGuid(LPGUID guid)
{
    *guid = simwin::kHidGuid;
}

BOOLEAN simdev_HidD_GetAttributes(HANDLE h, PHIDD_ATTRIBUTES attr)
{
    auto& b = bus();
    std::lock_guard<std::mutex> held(b.lock);
    simwin::Iface* i = simwin::present_iface_of_file(h);
    if (!i || i->kind == simwin::Kind::Dfu || !attr) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    attr->Size = sizeof(HIDD_ATTRIBUTES);
    attr->VendorID = i->vid;
    attr->ProductID = i->pid;
    attr->VersionNumber = i->version;
    return TRUE;
}

BOOLEAN simdev_HidD_GetPreparsedData(HANDLE h, PHIDP_PREPARSED_DATA* pp)
{
    auto& b = bus();
    std::lock_guard<std::mutex> held(b.lock);
    simwin::Iface* i = simwin::present_iface_of_file(h);
    if (!i || i->kind == simwin::Kind::Dfu || !pp) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    Preparsed* p = new Preparsed;
    memset(&p->caps, 0, sizeof(p->caps));
    p->caps.Usage = i->usage;
    p->caps.UsagePage = i->usage_page;
    p->caps.InputReportByteLength = i->in_len;
    p->caps.OutputReportByteLength = i->out_len;
    p->caps.NumberLinkCollectionNodes = 1;
    *pp = (PHIDP_PREPARSED_DATA)p;
    return TRUE;
}

BOOLEAN simdev_HidD_FreePreparsedData(PHIDP_PREPARSED_DATA pp)
{
    delete (Preparsed*)pp;
    return TRUE;
}

NTSTATUS simdev_HidP_GetCaps(PHIDP_PREPARSED_DATA pp, PHIDP_CAPS caps)
{
    if (!pp)
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
        if (i.present && lstrcmpiA(i.path.c_str(), path) == 0)
            found = &i;
    if (!found) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // The system keeps the keyboard collection for itself; a WinUSB device
    // opens once at a time.
    bool refuse = found->kind == simwin::Kind::KbdStandard && (access & (GENERIC_READ | GENERIC_WRITE));
    if (found->kind == simwin::Kind::Dfu)
        for (auto& f : b.files)
            if (f.second.iface == found->id)
                refuse = true;
    if (refuse) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    // A real handle of the process stands for the device file, so that its
    // value is never another object's while it is open.
    HANDLE h = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!h)
        return INVALID_HANDLE_VALUE;
    b.files[h] = simwin::DeviceFile{found->id};
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
    if (!i || !i->present) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    if (i->kind == simwin::Kind::Dfu || i->out_len == 0) {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    if (size != i->out_len) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    bool commands = i->kind == simwin::Kind::KbdCommands;
    simwin::Keyboard* kb = simwin::keyboard_of(i);
    if (commands && kb && kb->hung()) {
        if (!ov) {
            // A synchronous write returns only when the keyboard leaves.
            while (simwin::present_iface_of_file(h)) {
                held.unlock();
                Sleep(10);
                held.lock();
            }
            SetLastError(ERROR_DEVICE_NOT_CONNECTED);
            return FALSE;
        }
        auto w = std::make_shared<simwin::PendingWrite>();
        w->file = h;
        w->ov = ov;
        ov->Internal = (ULONG_PTR)simwin::kStatusPending;
        ov->InternalHigh = 0;
        if (ov->hEvent)
            ResetEvent(ov->hEvent);
        b.writes.push_back(w);
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    auto w = std::make_shared<simwin::PendingWrite>();
    w->file = h;
    w->ov = ov;
    w->report.assign((const uint8_t*)data, (const uint8_t*)data + size);
    auto deliver = [w, size, commands, kb] {
        if (w->done)
            return;
        auto& bb = bus();
        std::string hex = "{\"hex\":\"" + simwin::hex_upper(w->report.data(), w->report.size()) + "\"}";
        if (kb) {
            if (commands)
                ++kb->reports_taken;
            simwin::trace_kb(*kb, "kb_out", hex);
            kb->model->output_report(w->report.data(), w->report.size());
        } else {
            simwin::trace("kb_out", hex);
        }
        if (w->ov)
            simwin::complete_write(*w, 0, size);
        w->done = true;
        bb.writes.erase(std::remove(bb.writes.begin(), bb.writes.end(), w), bb.writes.end());
    };
    if (!ov) {
        // A handle opened without overlapped I/O: the call lasts the transfer.
        held.unlock();
        Sleep(1);
        held.lock();
        if (!simwin::present_iface_of_file(h)) {
            SetLastError(ERROR_DEVICE_NOT_CONNECTED);
            return FALSE;
        }
        deliver();
        if (written)
            *written = size;
        return TRUE;
    }
    ov->Internal = (ULONG_PTR)simwin::kStatusPending;
    ov->InternalHigh = 0;
    if (ov->hEvent)
        ResetEvent(ov->hEvent);
    b.writes.push_back(w);
    // One interrupt OUT transfer.
    simwin::after_locked(simwin::jittered(1), deliver);
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
            simwin::end_writes_of(h, simwin::kStatusCancelled);
            b.files.erase(f);
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
    simwin::end_writes_of(h, simwin::kStatusCancelled);
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
    if ((NTSTATUS)ov->Internal == simwin::kStatusPending) {
        if (!wait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        WaitForSingleObject(ov->hEvent ? ov->hEvent : h, INFINITE);
    }
    if (moved)
        *moved = (DWORD)ov->InternalHigh;
    switch ((NTSTATUS)ov->Internal) {
    case 0: return TRUE;
    case simwin::kStatusCancelled: SetLastError(ERROR_OPERATION_ABORTED); return FALSE;
    case simwin::kStatusNoDevice: SetLastError(ERROR_DEVICE_NOT_CONNECTED); return FALSE;
    default: SetLastError(ERROR_GEN_FAILURE); return FALSE;
    }
system:
    return GetOverlappedResult(h, ov, moved, wait);
}

// ------------------------------------------------------------ Raw Input
BOOL simdev_RegisterRawInputDevices(PCRAWINPUTDEVICE devices, UINT count, UINT size)
{
    if (!devices || size != sizeof(RAWINPUTDEVICE)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto& b = bus();
    std::lock_guard<std::mutex> held(b.lock);
    for (UINT n = 0; n < count; n++) {
        const RAWINPUTDEVICE& d = devices[n];
        auto same = [&d](const RAWINPUTDEVICE& t) {
            return t.usUsagePage == d.usUsagePage && t.usUsage == d.usUsage;
        };
        b.raw_targets.erase(std::remove_if(b.raw_targets.begin(), b.raw_targets.end(), same),
                            b.raw_targets.end());
        if (!(d.dwFlags & RIDEV_REMOVE))
            b.raw_targets.push_back(d);
    }
    return TRUE;
}

UINT simdev_GetRawInputData(HRAWINPUT raw, UINT command, LPVOID data, PUINT size, UINT header_size)
{
    if (command != RID_INPUT && command != RID_HEADER) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return (UINT)-1;
    }
    if (!size || header_size != sizeof(RAWINPUTHEADER)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return (UINT)-1;
    }
    auto& b = bus();
    std::lock_guard<std::mutex> held(b.lock);
    const simwin::RawRecord* rec = nullptr;
    for (auto& r : b.raw_records)
        if (r.first == raw)
            rec = &r.second;
    if (!rec) {
        SetLastError(ERROR_INVALID_HANDLE);
        return (UINT)-1;
    }
    const UINT at = (UINT)offsetof(RAWINPUT, data.hid.bRawData);
    const UINT need = command == RID_HEADER ? (UINT)sizeof(RAWINPUTHEADER) : at + rec->len;
    if (!data) {
        *size = need;
        return 0;
    }
    if (*size < need) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return (UINT)-1;
    }
    std::vector<uint8_t> buf(need, 0);
    RAWINPUT* r = (RAWINPUT*)buf.data();
    r->header.dwType = RIM_TYPEHID;
    r->header.dwSize = at + rec->len;
    r->header.hDevice = rec->device;
    r->header.wParam = rec->wparam;
    if (command == RID_INPUT) {
        r->data.hid.dwSizeHid = rec->len;
        r->data.hid.dwCount = 1;
        memcpy(buf.data() + at, rec->report, rec->len);
    }
    memcpy(data, buf.data(), need);
    return need;
}

UINT simdev_GetRawInputDeviceInfoA(HANDLE device, UINT command, LPVOID data, PUINT size)
{
    if (!size || command != RIDI_DEVICEINFO) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return (UINT)-1;
    }
    auto& b = bus();
    std::lock_guard<std::mutex> held(b.lock);
    auto d = b.raw_devices.find(device);
    if (d == b.raw_devices.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return (UINT)-1;
    }
    if (!data) {
        *size = sizeof(RID_DEVICE_INFO);
        return 0;
    }
    if (*size < sizeof(RID_DEVICE_INFO)) {
        *size = sizeof(RID_DEVICE_INFO);
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return (UINT)-1;
    }
    RID_DEVICE_INFO info;
    memset(&info, 0, sizeof(info));
    info.cbSize = sizeof(info);
    info.dwType = RIM_TYPEHID;
    info.hid.dwVendorId = d->second.vid;
    info.hid.dwProductId = d->second.pid;
    info.hid.dwVersionNumber = d->second.version;
    info.hid.usUsagePage = d->second.usage_page;
    info.hid.usUsage = d->second.usage;
    memcpy(data, &info, sizeof(info));
    return sizeof(info);
}

// ------------------------------------------------------------ device notifications
HDEVNOTIFY simdev_RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags)
{
    const DEV_BROADCAST_HDR* hdr = (const DEV_BROADCAST_HDR*)filter;
    if (!recipient || !hdr || (flags & 3) != DEVICE_NOTIFY_WINDOW_HANDLE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto& b = bus();
    std::lock_guard<std::mutex> held(b.lock);
    simwin::Registration r{(HWND)recipient, false, GUID(), nullptr, 0};
    if (hdr->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE &&
        hdr->dbch_size >= offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name)) {
        r.guid = ((const DEV_BROADCAST_DEVICEINTERFACE_A*)hdr)->dbcc_classguid;
    } else if (hdr->dbch_devicetype == DBT_DEVTYP_HANDLE &&
               hdr->dbch_size >= offsetof(DEV_BROADCAST_HANDLE, dbch_hdevnotify)) {
        HANDLE h = ((const DEV_BROADCAST_HANDLE*)hdr)->dbch_handle;
        auto f = b.files.find(h);
        if (f == b.files.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        // The system may refuse to watch the keyboard's handles.
        const simwin::Keyboard* kb = simwin::keyboard_of(simwin::iface_by_id(f->second.iface));
        if (kb && kb->config.handle_notify_fails &&
            std::find(kb->ifaces.begin(), kb->ifaces.end(), f->second.iface) != kb->ifaces.end()) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        r.for_handle = true;
        r.handle = h;
        r.iface = f->second.iface;
    } else {
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    HDEVNOTIFY id = (HDEVNOTIFY) new char;
    b.registrations[id] = r;
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
    simwin::Iface* i = simwin::present_iface_of_file(file);
    if (!i || i->kind != simwin::Kind::Dfu || !iface) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    void* h = new char;
    b.winusb[h] = i->id;
    *iface = (WINUSB_INTERFACE_HANDLE)h;
    return TRUE;
}

BOOL simdev_WinUsb_Free(WINUSB_INTERFACE_HANDLE iface)
{
    auto& b = bus();
    std::lock_guard<std::mutex> held(b.lock);
    auto w = b.winusb.find((void*)iface);
    if (w == b.winusb.end())
        return FALSE;
    delete (char*)w->first;
    b.winusb.erase(w);
    return TRUE;
}

BOOL simdev_WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE iface, UCHAR type, UCHAR index, USHORT,
                                 PUCHAR buffer, ULONG length, PULONG transferred)
{
    auto& b = bus();
    std::lock_guard<std::mutex> held(b.lock);
    auto w = b.winusb.find((void*)iface);
    simwin::Iface* i = w == b.winusb.end() ? nullptr : simwin::iface_by_id(w->second);
    if (!i || !i->present) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    if (type != 1 || index != 0) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    const uint8_t desc[18] = {18,
                              1,
                              0x00,
                              0x02,
                              0,
                              0,
                              0,
                              64,
                              (uint8_t)i->vid,
                              (uint8_t)(i->vid >> 8),
                              (uint8_t)i->pid,
                              (uint8_t)(i->pid >> 8),
                              0x00,
                              0x01,
                              1,
                              2,
                              0,
                              1};
    ULONG n = std::min<ULONG>(length, sizeof(desc));
    memcpy(buffer, desc, n);
    if (transferred)
        *transferred = n;
    return TRUE;
}

BOOL simdev_WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE iface, WINUSB_SETUP_PACKET setup, PUCHAR buffer,
                                   ULONG length, PULONG transferred, LPOVERLAPPED)
{
    auto& b = bus();
    std::unique_lock<std::mutex> held(b.lock);
    if (transferred)
        *transferred = 0;
    auto w = b.winusb.find((void*)iface);
    simwin::Iface* i = w == b.winusb.end() ? nullptr : simwin::iface_by_id(w->second);
    // The model answers as the boot loader, or as the normal firmware's
    // run-time DFU interface where it has one.
    simwin::Keyboard* kb = simwin::keyboard_of(i);
    if (!i || !i->present || !kb) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    models::ControlSetup s{setup.RequestType, setup.Request, setup.Value, setup.Index,
                           (uint16_t)std::min<ULONG>(length, setup.Length)};
    std::vector<uint8_t> data(s.length + 64, 0);
    if (buffer && s.length)
        memcpy(data.data(), buffer, s.length);
    uint32_t moved = 0;
    if (!kb->model->control(s, data.data(), &moved)) {
        if (kb->model->dfu_unanswered()) {
            // No answer: the transfer holds the caller until the default
            // pipe's time-out has passed, as WinUSB does; the bus goes on.
            held.unlock();
            Sleep(models::kControlPipeTimeoutMs);
            SetLastError(ERROR_SEM_TIMEOUT);
            return FALSE;
        }
        SetLastError(ERROR_GEN_FAILURE);  // a stall fails at once
        return FALSE;
    }
    if ((setup.RequestType & 0x80) && buffer)
        memcpy(buffer, data.data(), std::min<uint32_t>(moved, s.length));
    if (transferred)
        *transferred = moved;
    return TRUE;
}

// ------------------------------------------------------------ power
EXECUTION_STATE simdev_SetThreadExecutionState(EXECUTION_STATE flags)
{
    simwin::bus_note_execution_state(flags);
    return SetThreadExecutionState(flags);
}
