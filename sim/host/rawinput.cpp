// Raw Input: registrations, WM_INPUT for the keyboard's input reports,
// GetRawInputData and GetRawInputDeviceInfoA.
#include "host/sim_bus.h"

#include "host/sim_windows.h"

#include <algorithm>
#include <cstddef>

namespace sim {

void deliver_input(const Iface& i, const uint8_t* report, size_t len)
{
    World& w = world();
    for (const RAWINPUTDEVICE& r : w.raw_registrations) {
        if (r.usUsagePage != i.usage_page || r.usUsage != i.usage || !r.hwndTarget)
            continue;
        Window* win = window_of(r.hwndTarget);
        if (!win || win->destroyed)
            continue;
        // Without RIDEV_INPUTSINK input reaches only a window in the foreground.
        bool sink = (r.dwFlags & RIDEV_INPUTSINK) != 0;
        if (!sink && !win->visible)
            continue;
        RawMessage m;
        size_t at = offsetof(RAWINPUT, data.hid.bRawData);
        m.bytes.assign(at + len, 0);
        auto* in = reinterpret_cast<RAWINPUT*>(m.bytes.data());
        in->header.dwType = RIM_TYPEHID;
        in->header.dwSize = (DWORD)(at + len);
        in->header.hDevice = i.raw_device;
        in->header.wParam = sink && !win->visible ? RIM_INPUTSINK : RIM_INPUT;
        in->data.hid.dwSizeHid = (DWORD)len;
        in->data.hid.dwCount = 1;
        memcpy(m.bytes.data() + at, report, len);
        m.reported_size = (UINT)m.bytes.size();
        HRAWINPUT h = (HRAWINPUT)(w.next_raw_message += 0x10);
        WPARAM code = in->header.wParam;
        w.raw_messages[h] = std::move(m);
        system_post(r.hwndTarget, WM_INPUT, code, (LPARAM)h);
    }
}

HRAWINPUT raw_input_store(const RawInputSpec& desc)
{
    World& w = world();
    RawMessage m;
    m.bytes = desc.bytes;
    m.reported_size = desc.reported_size ? desc.reported_size : (UINT)desc.bytes.size();
    m.fail_size_query = desc.fail_size_query;
    m.fail_read = desc.fail_read;
    m.copied_size = desc.copied_size;
    HRAWINPUT h = (HRAWINPUT)(w.next_raw_message += 0x10);
    w.raw_messages[h] = std::move(m);
    return h;
}

void raw_input_release(HRAWINPUT raw)
{
    world().raw_messages.erase(raw);
}

HANDLE raw_device_store(DWORD type, uint16_t vid, uint16_t pid, uint16_t usage_page, uint16_t usage,
                        bool fail_info)
{
    World& w = world();
    HANDLE h = (HANDLE)(w.next_raw_device += 0x10);
    RawDevice d;
    d.type = type;
    d.vid = vid, d.pid = pid, d.usage_page = usage_page, d.usage = usage;
    d.fail_info = fail_info;
    w.raw_devices[h] = d;
    return h;
}

}  // namespace sim

using sim::World;
using sim::world;

BOOL RegisterRawInputDevices(PCRAWINPUTDEVICE devices, UINT count, UINT size)
{
    sim::ensure_init();
    if (!devices || count == 0 || size != sizeof(RAWINPUTDEVICE)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    for (UINT n = 0; n < count; ++n)
        if ((devices[n].dwFlags & RIDEV_INPUTSINK) && !devices[n].hwndTarget) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
    auto& regs = world().raw_registrations;
    for (UINT n = 0; n < count; ++n) {
        const RAWINPUTDEVICE& d = devices[n];
        regs.erase(std::remove_if(regs.begin(), regs.end(),
                                  [&d](const RAWINPUTDEVICE& r) {
                                      return r.usUsagePage == d.usUsagePage && r.usUsage == d.usUsage;
                                  }),
                   regs.end());
        if (!(d.dwFlags & RIDEV_REMOVE))
            regs.push_back(d);
    }
    return TRUE;
}

UINT GetRawInputData(HRAWINPUT raw, UINT command, LPVOID data, UINT* size, UINT header_size)
{
    sim::preemption_point();
    World& w = world();
    auto it = w.raw_messages.find(raw);
    if (it == w.raw_messages.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return (UINT)-1;
    }
    if (!size || header_size != sizeof(RAWINPUTHEADER) || (command != RID_INPUT && command != RID_HEADER)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return (UINT)-1;
    }
    const sim::RawMessage& m = it->second;
    UINT total = command == RID_HEADER ? (UINT)sizeof(RAWINPUTHEADER) : m.reported_size;
    if (!data) {
        if (m.fail_size_query) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return (UINT)-1;
        }
        *size = total;
        return 0;
    }
    if (*size < total) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return (UINT)-1;
    }
    if (m.fail_read) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return (UINT)-1;
    }
    // Never more than the caller's buffer holds, whatever the message claims.
    UINT n = std::min<UINT>(total, (UINT)m.bytes.size());
    n = std::min(n, *size);
    if (n)
        memcpy(data, m.bytes.data(), n);  // an empty message has no bytes to copy
    return m.copied_size ? m.copied_size : n;
}

UINT GetRawInputDeviceInfoA(HANDLE device, UINT command, LPVOID data, UINT* size)
{
    World& w = world();
    auto it = w.raw_devices.find(device);
    if (it == w.raw_devices.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return (UINT)-1;
    }
    if (!size || command != RIDI_DEVICEINFO) {
        SetLastError(ERROR_INVALID_PARAMETER);
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
    auto* info = static_cast<RID_DEVICE_INFO*>(data);
    if (info->cbSize != sizeof(RID_DEVICE_INFO) || it->second.fail_info) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return (UINT)-1;
    }
    const sim::RawDevice& d = it->second;
    memset(info, 0, sizeof(*info));
    info->cbSize = sizeof(RID_DEVICE_INFO);
    info->dwType = d.type;
    if (d.type == RIM_TYPEHID) {
        info->hid.dwVendorId = d.vid;
        info->hid.dwProductId = d.pid;
        info->hid.dwVersionNumber = d.version;
        info->hid.usUsagePage = d.usage_page;
        info->hid.usUsage = d.usage;
    }
    return sizeof(RID_DEVICE_INFO);
}
