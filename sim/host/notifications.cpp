// Device notifications: RegisterDeviceNotificationA and its removal, and
// their delivery as WM_DEVICECHANGE (arrivals, removals; the query before a
// safe removal is the bus's, keyboard_bus.cpp).
#include "host/sim_bus.h"

#include <algorithm>

namespace sim {

void send_device_change(HWND hwnd, WPARAM event, std::shared_ptr<std::vector<uint8_t>> buf,
                        std::function<void(LRESULT)> on_reply)
{
    auto send = [hwnd, event, buf, on_reply] {
        LPARAM lp = (LPARAM)buf->data();
        system_send(hwnd, WM_DEVICECHANGE, event, lp, [buf, on_reply](LRESULT r) {
            if (on_reply)
                on_reply(r);
        });
    };
    // The system sends from its own context; a test thread's request waits for it.
    if (in_world_context())
        send();
    else
        schedule_after(0, send);
}

std::shared_ptr<std::vector<uint8_t>> interface_broadcast(const Iface& i)
{
    return std::make_shared<std::vector<uint8_t>>(simbus::interface_broadcast(i.path(), i.class_guid()));
}

std::shared_ptr<std::vector<uint8_t>> handle_broadcast(const Registration& r)
{
    return std::make_shared<std::vector<uint8_t>>(simbus::handle_broadcast(r.id, r.handle));
}

void announce_arrival(const Iface& i)
{
    // Copies: a window procedure may register or drop notifications meanwhile.
    std::vector<Registration> regs = world().registrations;
    for (const Registration& r : regs)
        if (!r.for_handle && same_guid(r.guid, i.class_guid()))
            send_device_change(r.hwnd, DBT_DEVICEARRIVAL, interface_broadcast(i));
}

// The interfaces leave the system: handle registrations on them get
// `handle_event` (removal complete, after a surprise removal or a granted
// query), interface registrations of their class get removal complete.
void remove_interfaces(const std::vector<int>& ids)
{
    World& w = world();
    std::vector<Iface> gone;
    for (int id : ids) {
        Iface* i = iface_by_id(id);
        if (!i || !simbus::leave(*i, w.raw_devices))
            continue;
        // Writes the device held fail as it leaves.
        for (DeviceFile* f : w.files)
            if (f->iface == id)
                end_held_io(f->value, ERROR_DEVICE_NOT_CONNECTED);
        gone.push_back(*i);
    }
    check_bus();
    std::vector<Registration> regs = w.registrations;
    // The keyboard's removal may reach the windows late (removal_notice_ms).
    auto notice = [](const Iface& i, std::function<void()> send) {
        const KeyboardSlot* k = keyboard_of(i);
        uint64_t late = k ? (uint64_t)k->config.removal_notice_ms : 0;
        if (late)
            schedule_after(late, std::move(send));
        else
            send();
    };
    // A registration dropped before a late notice gets none.
    auto held = [](HDEVNOTIFY id) {
        const std::vector<Registration>& now = world().registrations;
        return std::any_of(now.begin(), now.end(), [id](const Registration& r) { return r.id == id; });
    };
    for (const Iface& i : gone)
        for (const Registration& r : regs)
            if (r.for_handle && r.iface == i.id)
                notice(i, [r, held] {
                    if (held(r.id))
                        send_device_change(r.hwnd, DBT_DEVICEREMOVECOMPLETE, handle_broadcast(r));
                });
    for (const Iface& i : gone)
        for (const Registration& r : regs)
            if (!r.for_handle && same_guid(r.guid, i.class_guid()))
                notice(i, [r, i, held] {
                    if (held(r.id))
                        send_device_change(r.hwnd, DBT_DEVICEREMOVECOMPLETE, interface_broadcast(i));
                });
}

}  // namespace sim

using sim::World;
using sim::world;

HDEVNOTIFY RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags)
{
    sim::preemption_point();
    sim::ensure_init();
    if (DWORD error = simbus::notification_filter_error(recipient, filter, flags)) {
        SetLastError(error);
        return nullptr;
    }
    const auto* hdr = static_cast<const DEV_BROADCAST_HDR*>(filter);
    sim::Registration r;
    r.hwnd = (HWND)recipient;
    if (hdr->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
        r.guid = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(filter)->dbcc_classguid;
    } else {
        HANDLE h = static_cast<const DEV_BROADCAST_HANDLE*>(filter)->dbch_handle;
        auto* f = sim::handle_as<sim::DeviceFile>(h);
        if (!f) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        const sim::Iface* i = sim::iface_by_id(f->iface);
        const sim::KeyboardSlot* k = i ? sim::keyboard_of(*i) : nullptr;
        if (k && k->config.handle_notify_fails) {
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return nullptr;
        }
        r.for_handle = true;
        r.handle = h;
        r.iface = f->iface;
    }
    World& w = world();
    r.id = (HDEVNOTIFY)(w.next_notify += 0x10);
    w.registrations.push_back(r);
    sim::check_bus();
    return r.id;
}

BOOL UnregisterDeviceNotification(HDEVNOTIFY handle)
{
    sim::preemption_point();
    World& w = world();
    auto it = std::find_if(w.registrations.begin(), w.registrations.end(),
                           [handle](const sim::Registration& r) { return r.id == handle; });
    if (!handle || it == w.registrations.end()) {
        ++w.counters.bad_unregisters;
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    w.registrations.erase(it);
    sim::check_bus();
    return TRUE;
}
