// The simulated USB bus: the interfaces present on the system, the keyboard
// model plugged into it (its modes become interfaces with paths,
// collections and descriptors), the world's device actions and the counters
// tests read. The keyboard itself is the device model in sim/models; it
// knows the package only through the facts it is set up with.
#include "host/sim_bus.h"
#include "host/sim_power.h"
#include "host/sim_windows.h"

#include "bus/system_requests.h"
#include "models/ground_truth.h"

#include <algorithm>
#include <memory>

namespace sim {

World& world()
{
    static World w;
    return w;
}

uint16_t Iface::usb_vid() const
{
    const PackageFacts& p = world().package;
    return dfu_identity == 1 ? p.vid1 : dfu_identity == 2 ? p.vid2 : vid;
}

uint16_t Iface::usb_pid() const
{
    const PackageFacts& p = world().package;
    return dfu_identity == 1 ? p.pid1 : dfu_identity == 2 ? p.pid2 : pid;
}

GUID Iface::class_guid() const
{
    if (hid())
        return kHidGuid;
    const PackageFacts::Guid& g = world().package.dfu_guid;
    GUID guid;
    guid.Data1 = g.data1;
    guid.Data2 = g.data2;
    guid.Data3 = g.data3;
    memcpy(guid.Data4, g.data4, sizeof(guid.Data4));
    return guid;
}

Iface* iface_by_id(int id)
{
    for (Iface& i : world().ifaces)
        if (i.id == id)
            return &i;
    return nullptr;
}

void check_bus()
{
    World& w = world();
    for (DeviceFile* f : w.files) {
        simbus::require(iface_by_id(f->iface) != nullptr, "an open device file of an unknown interface");
        simbus::require(handle_lookup(f->value) == f, "an open device file that is not in the handle table");
    }
    for (HANDLE h : handles_with_held_io()) {
        auto* f = handle_as<DeviceFile>(h);
        simbus::require(f && w.files.count(f), "a pending write on a handle that is no open device file");
    }
    for (const Registration& r : w.registrations)
        simbus::require(!r.for_handle || iface_by_id(r.iface),
                        "a handle notification on an unknown interface");
    for (const auto& u : w.winusb)
        simbus::require(u.second.iface == -1 || iface_by_id(u.second.iface),
                        "a WinUSB handle on an unknown interface");
    for (const InfoSet* set : w.info_sets)
        for (int id : set->ifaces)
            simbus::require(iface_by_id(id) != nullptr, "an information set with an unknown interface");
    for (const auto& d : w.raw_devices) {
        const Iface* i = d.second.iface == -1 ? nullptr : iface_by_id(d.second.iface);
        simbus::require(d.second.iface == -1 || (i && i->present),
                        "a Raw Input device of an absent interface");
    }
    for (const KeyboardSlot* k : {w.keyboard.get(), w.keyboard2.get()})
        if (k)
            for (int id : k->ifaces)
                simbus::require(iface_by_id(id) != nullptr, "a keyboard with an unknown interface");
}

void ensure_init()
{
    World& w = world();
    if (w.initialised)
        return;
    w.initialised = true;
    set_write_observer(count_stale_writes);
}

int add_iface(Iface i, bool announce)
{
    World& w = world();
    i.id = w.next_iface++;
    if (i.hid()) {
        HANDLE raw = (HANDLE)(w.next_raw_device += 0x10);
        w.raw_devices[raw] = simbus::raw_device_of(i);
        i.raw_device = raw;
    }
    w.ifaces.push_back(i);
    check_bus();
    if (announce) {
        // Arrivals reach the registered windows from the system, a moment later.
        int id = i.id;
        schedule_after(0, [id] {
            if (Iface* a = iface_by_id(id))
                if (a->present)
                    announce_arrival(*a);
        });
    }
    return i.id;
}

KeyboardSlot* keyboard_of(const Iface& i)
{
    World& w = world();
    if (i.owner == 0)
        return w.keyboard.get();
    if (i.owner == 1)
        return w.keyboard2.get();
    return nullptr;
}

namespace {

// The host world behind the shared keyboard code: the virtual clock, the
// scheduler and this bus's tables.
struct HostBus : simbus::BusHost {
    bool has_clock() const override { return true; }
    uint64_t now_ms() override { return sim::now_ms(); }
    void after(uint32_t ms, std::function<void()> fn) override { schedule_after(ms, std::move(fn)); }
    bool wanted(const char* what) override { return trace_wanted(what); }
    void trace(const char* ev, const simbus::Fields& fields) override
    {
        Json j = Json::object();
        for (const simbus::Field& f : fields) {
            switch (f.type) {
            case simbus::Field::Type::Number: j[f.key] = f.number; break;
            case simbus::Field::Type::Text: j[f.key] = f.text; break;
            case simbus::Field::Type::False: j[f.key] = false; break;
            case simbus::Field::Type::Null: j[f.key] = nullptr; break;
            }
        }
        sim::trace(ev, j);
    }
    void count_violation() override { ++world().counters.violations; }
    const simbus::Interface* find_interface(int id) override { return iface_by_id(id); }
    int add_interface(const KeyboardSlot& k, const simbus::Arrival& a) override
    {
        Iface i;
        static_cast<simbus::Interface&>(i) = a.iface;
        i.instance = a.instance;
        i.dfu_identity = a.dfu_identity;
        return add_iface(i, !k.quiet);
    }
    void remove_interfaces(const KeyboardSlot&, const std::vector<int>& ids) override
    {
        sim::remove_interfaces(ids);
    }
    void deliver_input(const simbus::Interface& events, const uint8_t* report, size_t len) override
    {
        sim::deliver_input(static_cast<const Iface&>(events), report, len);
    }
    void hold_caller(uint32_t ms) override
    {
        auto over = std::make_shared<bool>(false);
        schedule_after(ms, [over] { *over = true; });
        block([over] { return *over; });
    }
    BOOL control_elsewhere(const simbus::Interface& i, const WINUSB_SETUP_PACKET& setup, PUCHAR buffer,
                           ULONG length, PULONG transferred) override
    {
        return answer_control(static_cast<const Iface&>(i), setup, buffer, length, transferred);
    }
    void locked(const std::function<void()>& fn) override { fn(); }
    KeyboardSlot* keyboard(int number) override
    {
        return number == 1 ? world().keyboard.get() : world().keyboard2.get();
    }
    std::vector<simbus::HandleRegistration> handle_registrations() override
    {
        std::vector<simbus::HandleRegistration> regs;
        for (const Registration& r : world().registrations)
            if (r.for_handle)
                regs.push_back({r.id, r.hwnd, r.handle, r.iface});
        return regs;
    }
    bool device_open(const std::vector<int>& ids) override
    {
        for (DeviceFile* f : world().files)
            if (std::find(ids.begin(), ids.end(), f->iface) != ids.end())
                return true;
        return false;
    }
    void send_device_change(const simbus::HandleRegistration& r, WPARAM event, std::vector<uint8_t> payload,
                            std::function<void(LRESULT)> on_reply) override
    {
        sim::send_device_change(r.hwnd, event, std::make_shared<std::vector<uint8_t>>(std::move(payload)),
                                std::move(on_reply));
    }
    std::vector<HWND> top_level_windows() override { return sim::top_level_windows(); }
    void send_message(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp,
                      std::function<void(LRESULT)> on_reply) override
    {
        system_send(hwnd, msg, wp, lp, std::move(on_reply));
    }
    bool& suspended() override { return world().suspended; }
    bool kept_awake() override { return system_kept_awake(); }
    std::string block_reason(HWND hwnd) override { return utf16_to_utf8(shutdown_block_reason(hwnd)); }
    // The exit code Windows gives a process it ends with the session.
    void end_process() override { end_run(0x40010004); }
};

}  // namespace

simbus::BusHost& bus_host()
{
    static HostBus host;
    return host;
}

// ------------------------------------------------------------ set-up and counters
void devices_setup(const KeyboardConfig* keyboard, const PackageFacts& package,
                   const KeyboardConfig* keyboard2)
{
    ensure_init();
    World& w = world();
    w.package = package;
    w.keyboard.reset();
    w.keyboard2.reset();
    // Both exist before either is plugged in: the first one's interfaces
    // come first in the system's enumeration order.
    if (keyboard)
        w.keyboard = simbus::make_keyboard(bus_host(), 1, *keyboard, package);
    if (keyboard2)
        w.keyboard2 = simbus::make_keyboard(bus_host(), 2, *keyboard2, package);
    if (w.keyboard)
        simbus::plug_at_setup(*w.keyboard);
    if (w.keyboard2)
        simbus::plug_at_setup(*w.keyboard2);
}

void device_action(const std::string& what)
{
    ensure_init();
    World& w = world();
    if (what == "detach") {
        if (w.keyboard)
            w.keyboard->model->unplug();
    } else if (what == "attach") {
        if (w.keyboard)
            w.keyboard->model->plug();
    } else if (what == "detach2") {
        if (w.keyboard2)
            w.keyboard2->model->unplug();
    } else if (what == "attach2") {
        if (w.keyboard2)
            w.keyboard2->model->plug();
    } else if (what == "query_remove" || what == "query_remove_vetoed") {
        simbus::query_remove(bus_host(), what == "query_remove_vetoed");
    } else if (what == "suspend" || what == "sleep" || what == "force_suspend" || what == "resume") {
        simbus::power_request(bus_host(), what);
    } else if (what == "end_session" || what == "force_end_session") {
        simbus::end_session(bus_host(), what == "force_end_session");
    } else if (what == "keyboard_hangs") {
        // Its firmware takes no output report from now on.
        if (w.keyboard)
            w.keyboard->config.hang_after_reports = w.keyboard->reports_taken;
    } else if (what == "bootloader_hangs") {
        if (w.keyboard)
            w.keyboard->model->hang_bootloader();
    } else if (what == "hid_arrival") {
        Iface mouse;
        static_cast<simbus::Interface&>(mouse) = simbus::arriving_mouse(w.mouse_count++, &mouse.instance);
        add_iface(mouse, true);
    }
}

int reports_out()
{
    World& w = world();
    return w.keyboard ? w.keyboard->model->reports_received() : 0;
}

int dfu_blocks()
{
    World& w = world();
    return w.keyboard ? w.keyboard->model->dfu_blocks() : 0;
}

GroundTruth ground_truth()
{
    // With two keyboards, the one the run updated: the one that holds more
    // of the package (the first on a tie).
    World& w = world();
    auto score = [](const GroundTruth& t) { return t.usb_stored + t.usb_runs + t.bt_stored + t.bt_runs; };
    GroundTruth first =
        w.keyboard ? read_ground_truth(w.keyboard->model->stored(), w.package) : GroundTruth();
    if (w.keyboard2) {
        GroundTruth second = read_ground_truth(w.keyboard2->model->stored(), w.package);
        if (score(second) > score(first))
            return second;
    }
    return first;
}

int reports_out2()
{
    World& w = world();
    return w.keyboard2 ? w.keyboard2->model->reports_received() : -1;
}

int dfu_blocks2()
{
    World& w = world();
    return w.keyboard2 ? w.keyboard2->model->dfu_blocks() : -1;
}

int violations()
{
    return world().counters.violations;
}

int stale_handle_writes()
{
    return world().counters.stale_handle_writes;
}

void devices_preempt_writes(bool on)
{
    ensure_init();
    world().preempt_writes = on;
}

DeviceCounters device_counters()
{
    World& w = world();
    DeviceCounters c = w.counters;
    c.open_info_sets = (int)w.info_sets.size();
    c.open_preparsed = (int)w.preparsed.size();
    c.open_winusb = (int)w.winusb.size();
    c.notify_registrations = (int)w.registrations.size();
    return c;
}

int devices_add_hid(const ExtraHid& hid)
{
    ensure_init();
    Iface i;
    i.kind = Kind::HidOther;
    i.vid = hid.vid, i.pid = hid.pid, i.version = hid.version;
    i.usage_page = hid.usage_page, i.usage = hid.usage;
    i.in_len = hid.input_len, i.out_len = hid.output_len;
    i.refuse_open = hid.refuse_open;
    i.enum_fails = hid.enum_fails;
    i.attributes_fail = hid.attributes_fail;
    char inst[48];
    snprintf(inst, sizeof(inst), "#9&%08x&0&0000", 0x0e000000u + (unsigned)world().next_iface);
    i.instance = inst;
    return add_iface(i, true);
}

int devices_add_dfu(const ExtraDfu& dfu)
{
    ensure_init();
    Iface i;
    i.kind = Kind::Dfu;
    i.dfu_identity = dfu.identity;
    i.vid = dfu.vid, i.pid = dfu.pid;
    i.refuse_open = dfu.refuse_open;
    i.descriptor_len = dfu.descriptor_len;
    char inst[48];
    snprintf(inst, sizeof(inst), "#6&%08x&0&%u", 0x2a000000u + (unsigned)world().next_iface,
             (unsigned)world().next_iface % 8);
    i.instance = inst + std::string((size_t)std::max(0, dfu.path_padding), 'x');
    return add_iface(i, true);
}

void devices_set_refuse_open(int id, bool refuse)
{
    if (Iface* i = iface_by_id(id))
        i->refuse_open = refuse;
    check_bus();
}

}  // namespace sim
