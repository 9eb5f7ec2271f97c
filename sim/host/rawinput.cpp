// Raw Input: registrations, WM_INPUT for the keyboard's input reports,
// GetRawInputData and GetRawInputDeviceInfoA.
#include "host/sim_bus.h"

#include "host/sim_windows.h"

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
        WPARAM code = sink && !win->visible ? RIM_INPUTSINK : RIM_INPUT;
        HRAWINPUT h = (HRAWINPUT)(w.next_raw_message += 0x10);
        w.raw_messages[h] = simbus::raw_input_message(i.raw_device, code, report, len);
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
    if (DWORD error = simbus::raw_registration_error(devices, count, size)) {
        SetLastError(error);
        return FALSE;
    }
    simbus::register_raw_input(world().raw_registrations, devices, count);
    return TRUE;
}

UINT GetRawInputData(HRAWINPUT raw, UINT command, LPVOID data, UINT* size, UINT header_size)
{
    sim::preemption_point();
    World& w = world();
    auto it = w.raw_messages.find(raw);
    return simbus::raw_input_data(it == w.raw_messages.end() ? nullptr : &it->second, command, data, size,
                                  header_size);
}

UINT GetRawInputDeviceInfoA(HANDLE device, UINT command, LPVOID data, UINT* size)
{
    World& w = world();
    auto it = w.raw_devices.find(device);
    return simbus::raw_device_info(it == w.raw_devices.end() ? nullptr : &it->second, command, data, size);
}
