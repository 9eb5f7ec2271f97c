// The devices of the simulated world and the platform services through
// which the tool sees them: SetupAPI, the HID class library, device files,
// Raw Input, device notifications, power broadcasts and WinUSB.
//
// The keyboard itself is the device model in sim/models; this file is its
// bus: it turns the model's "connect in this mode" into interfaces with
// paths, collections and descriptors, routes writes and control transfers to
// it, and delivers its input reports and the arrivals and removals to the
// windows that registered for them.
#include "platform/host/sim_devices.h"

#include "platform/host/sim_core.h"
#include "platform/host/sim_internal.h"
#include "platform/host/sim_windows.h"

#include "models/keyboard_model.h"

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <set>

#ifndef ERROR_INVALID_FUNCTION
#define ERROR_INVALID_FUNCTION 1
#endif
#ifndef ERROR_INVALID_DATA
#define ERROR_INVALID_DATA 13
#endif
#ifndef ERROR_INVALID_USER_BUFFER
#define ERROR_INVALID_USER_BUFFER 1784
#endif
#ifndef ERROR_INVALID_FLAGS
#define ERROR_INVALID_FLAGS 1004
#endif
#ifndef RIDEV_REMOVE
#define RIDEV_REMOVE 0x00000001
#endif
#ifndef RIM_INPUT
#define RIM_INPUT 0
#endif
#ifndef RIM_INPUTSINK
#define RIM_INPUTSINK 1
#endif
#ifndef HIDP_STATUS_INVALID_PREPARSED_DATA
#define HIDP_STATUS_INVALID_PREPARSED_DATA ((NTSTATUS)0xC0110001)
#endif

namespace sim {

namespace {

const GUID kHidGuid = {0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
const uint32_t kHidWriteMs = 1;  // one interrupt OUT transfer per report

bool same_guid(const GUID& a, const GUID& b) { return memcmp(&a, &b, sizeof(GUID)) == 0; }

std::string guid_text(const GUID& g)
{
    char s[64];
    snprintf(s, sizeof(s), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", (unsigned)g.Data1,
             g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
             g.Data4[5], g.Data4[6], g.Data4[7]);
    return s;
}

std::string hex_upper(const uint8_t* p, size_t n)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

std::string lower_text(std::string s)
{
    for (char& c : s)
        c = (char)tolower((unsigned char)c);
    return s;
}

// ------------------------------------------------------------ interfaces
enum class Kind { KbdCommands, KbdEvents, KbdStandard, HidOther, Dfu };

struct Iface {
    int id = 0;
    int owner = -1;  // 0: the keyboard; -1: added by a test or the world
    Kind kind = Kind::HidOther;
    uint16_t vid = 0, pid = 0, version = 0;
    uint16_t usage_page = 0, usage = 0, in_len = 0, out_len = 0;
    int dfu_identity = 0;     // 1, 2: the package's pair (read when needed); 0: vid/pid
    std::string instance;     // path part that tells the interface apart
    bool present = true;
    bool refuse_open = false;
    bool enum_fails = false;
    bool attributes_fail = false;
    int descriptor_len = 18;
    HANDLE raw_device = nullptr;

    bool hid() const { return kind != Kind::Dfu; }
    // A collection the tool may rightly write its command reports to: the
    // keyboard's, or one that a test presents with the same capabilities.
    bool takes_commands() const
    {
        return hid() && usage_page == 0xFF01 && usage == 0x01 && out_len == 57;
    }
    uint16_t usb_vid() const;
    uint16_t usb_pid() const;
    GUID class_guid() const;
    std::string path() const
    {
        char head[96];
        snprintf(head, sizeof(head), "\\\\?\\%s#vid_%04x&pid_%04x", hid() ? "hid" : "usb",
                 usb_vid(), usb_pid());
        return std::string(head) + instance + "#" + guid_text(class_guid());
    }
};

struct RawDevice {
    DWORD type = RIM_TYPEHID;
    uint16_t vid = 0, pid = 0, version = 0, usage_page = 0, usage = 0;
    bool fail_info = false;
    int iface = -1;  // -1: not bound to an interface
};

struct RawMessage {
    std::vector<uint8_t> bytes;
    UINT reported_size = 0;
    bool fail_size_query = false;
    bool fail_read = false;
    UINT copied_size = 0;
};

struct Registration {
    HDEVNOTIFY id = nullptr;
    HWND hwnd = nullptr;
    bool for_handle = false;
    GUID guid = {};
    HANDLE handle = nullptr;
    int iface = -1;
};

struct Preparsed {
    HIDP_CAPS caps;
};

struct InfoSet {
    GUID guid;
    std::vector<int> ifaces;
};

struct WinUsbIf {
    int iface = -1;
    HANDLE file = nullptr;
};

struct DeviceFile;

struct KeyboardSlot {
    KeyboardConfig config;
    std::unique_ptr<models::KeyboardModel> model;
    std::vector<int> ifaces;  // of the current enumeration
    bool quiet = false;       // the attach at set-up is the initial state, not an event
};

struct World {
    bool initialised = false;
    std::vector<Iface> ifaces;  // in order of arrival
    int next_iface = 1;
    std::map<HANDLE, RawDevice> raw_devices;
    uintptr_t next_raw_device = 0x20000;
    std::map<HRAWINPUT, RawMessage> raw_messages;
    uintptr_t next_raw_message = 0x30000;
    std::vector<RAWINPUTDEVICE> raw_registrations;
    std::vector<Registration> registrations;
    uintptr_t next_notify = 0x40000;
    std::set<Preparsed*> preparsed;
    std::set<InfoSet*> info_sets;
    std::map<WINUSB_INTERFACE_HANDLE, WinUsbIf> winusb;
    uintptr_t next_winusb = 0x50000;
    std::set<HANDLE> closed_keyboard_handles;
    std::set<DeviceFile*> files;
    std::unique_ptr<KeyboardSlot> keyboard;
    PackageFacts package;
    bool suspended = false;
    bool preempt_writes = false;
    int mouse_count = 0;
    DeviceCounters counters;
};

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

// ------------------------------------------------------------ device files
struct DeviceFile : HandleObject {
    int iface = -1;
    DWORD access = 0;
    HANDLE value = nullptr;
    const char* kind() const override { return "device"; }
    BOOL write(const void* buf, DWORD n, DWORD* put) override;
    void on_close() override;
};

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

void ensure_init()
{
    World& w = world();
    if (w.initialised)
        return;
    w.initialised = true;
    set_write_observer(count_stale_writes);
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
    std::vector<uint8_t> report(static_cast<const uint8_t*>(buf),
                                static_cast<const uint8_t*>(buf) + n);
    int id = i->id;
    // The report goes out in the next interrupt OUT transfer; the write
    // completes when it has.
    Sleep(kHidWriteMs);
    i = iface_by_id(id);
    if (!i || !i->present) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    World& w = world();
    if (i->kind == Kind::KbdCommands && i->owner == 0 && w.keyboard) {
        trace("kb_out", Json{{"hex", hex_upper(report.data(), report.size())}});
        w.keyboard->model->output_report(report.data(), report.size());
    }
    if (put)
        *put = n;
    return TRUE;
}

void DeviceFile::on_close()
{
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

// ------------------------------------------------------------ notifications
void send_device_change(HWND hwnd, WPARAM event, std::shared_ptr<std::vector<uint8_t>> buf,
                        std::function<void(LRESULT)> on_reply = nullptr)
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
    std::string name = i.path();
    size_t size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + name.size() + 1;
    auto buf = std::make_shared<std::vector<uint8_t>>(
        std::max(size, sizeof(DEV_BROADCAST_DEVICEINTERFACE_A)), 0);
    auto* b = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(buf->data());
    b->dbcc_size = (DWORD)size;
    b->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    b->dbcc_classguid = i.class_guid();
    memcpy(b->dbcc_name, name.c_str(), name.size() + 1);
    return buf;
}

std::shared_ptr<std::vector<uint8_t>> handle_broadcast(const Registration& r)
{
    auto buf = std::make_shared<std::vector<uint8_t>>(sizeof(DEV_BROADCAST_HANDLE), 0);
    auto* b = reinterpret_cast<DEV_BROADCAST_HANDLE*>(buf->data());
    b->dbch_size = sizeof(DEV_BROADCAST_HANDLE);
    b->dbch_devicetype = DBT_DEVTYP_HANDLE;
    b->dbch_handle = r.handle;
    b->dbch_hdevnotify = r.id;
    b->dbch_nameoffset = -1;
    return buf;
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
        if (!i || !i->present)
            continue;
        i->present = false;
        if (i->raw_device)
            w.raw_devices.erase(i->raw_device);
        gone.push_back(*i);
    }
    std::vector<Registration> regs = w.registrations;
    for (const Iface& i : gone)
        for (const Registration& r : regs)
            if (r.for_handle && r.iface == i.id)
                send_device_change(r.hwnd, DBT_DEVICEREMOVECOMPLETE, handle_broadcast(r));
    for (const Iface& i : gone)
        for (const Registration& r : regs)
            if (!r.for_handle && same_guid(r.guid, i.class_guid()))
                send_device_change(r.hwnd, DBT_DEVICEREMOVECOMPLETE, interface_broadcast(i));
}

int add_iface(Iface i, bool announce)
{
    World& w = world();
    i.id = w.next_iface++;
    if (i.hid()) {
        HANDLE raw = (HANDLE)(w.next_raw_device += 0x10);
        RawDevice d;
        d.vid = i.vid;
        d.pid = i.pid;
        d.version = i.version;
        d.usage_page = i.usage_page;
        d.usage = i.usage;
        d.iface = i.id;
        w.raw_devices[raw] = d;
        i.raw_device = raw;
    }
    w.ifaces.push_back(i);
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

// ------------------------------------------------------------ raw input
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

// ------------------------------------------------------------ the keyboard's bus
void keyboard_connect(models::UsbMode mode)
{
    World& w = world();
    KeyboardSlot& k = *w.keyboard;
    bool announce = !k.quiet;
    k.ifaces.clear();
    if (mode == models::UsbMode::Normal) {
        uint16_t vid = k.config.identity == 2 ? 0x1FC9 : 0x3E71;
        uint16_t pid = k.config.identity == 2 ? 0x0088 : 0x2A60;
        uint16_t version = k.model->nxp_version();
        Iface std_kbd;
        std_kbd.owner = 0;
        std_kbd.kind = Kind::KbdStandard;
        std_kbd.vid = vid, std_kbd.pid = pid, std_kbd.version = version;
        std_kbd.usage_page = 0x01, std_kbd.usage = 0x06;
        std_kbd.in_len = 9, std_kbd.out_len = 2;
        std_kbd.instance = "&mi_00#8&2c5e1f4a&0&0000";
        Iface events = std_kbd;
        events.kind = Kind::KbdEvents;
        events.usage_page = 0xFF02, events.usage = 0x01;
        events.in_len = 9, events.out_len = 0;
        events.instance = "&mi_01&col01#8&3a1d77e0&0&0000";
        Iface commands = std_kbd;
        commands.kind = Kind::KbdCommands;
        commands.usage_page = 0xFF01, commands.usage = 0x01;
        commands.in_len = 0, commands.out_len = 57;
        commands.instance = "&mi_01&col02#8&3a1d77e0&0&0001";
        if (!k.quiet)
            trace("device", Json{{"what", "keyboard_attached"}});
        for (Iface* i : {&std_kbd, &events, &commands})
            k.ifaces.push_back(add_iface(*i, announce));
    } else {
        Iface dfu;
        dfu.owner = 0;
        dfu.kind = Kind::Dfu;
        dfu.dfu_identity = k.config.bootloader.identity == 2 ? 2 : 1;
        dfu.instance = "#6&1f3b9c2d&0&3";
        if (!k.quiet)
            trace("device", Json{{"what", "bootloader_attached"}});
        k.ifaces.push_back(add_iface(dfu, announce));
    }
}

void keyboard_disconnect()
{
    World& w = world();
    KeyboardSlot& k = *w.keyboard;
    bool boot = k.model->mode() == models::UsbMode::Bootloader;
    trace("device", Json{{"what", boot ? "bootloader_removed" : "keyboard_removed"}});
    std::vector<int> ids = k.ifaces;
    k.ifaces.clear();
    remove_interfaces(ids);
}

void keyboard_send_input(const uint8_t* report, size_t len)
{
    World& w = world();
    for (int id : w.keyboard->ifaces) {
        Iface* i = iface_by_id(id);
        if (i && i->present && i->kind == Kind::KbdEvents) {
            trace("kb_in", Json{{"hex", hex_upper(report, len)}});
            deliver_input(*i, report, len);
            return;
        }
    }
}

models::KeyboardSettings model_settings(const KeyboardConfig& c, const PackageFacts& package)
{
    models::KeyboardSettings s;
    s.nxp = c.nxp;
    s.bt = c.bt;
    s.sonix = c.sonix;
    s.bt_ready = c.bt_ready;
    s.checksum = c.checksum == "wrong"  ? models::ChecksumAnswer::Wrong
                 : c.checksum == "none" ? models::ChecksumAnswer::None
                                        : models::ChecksumAnswer::Correct;
    s.finish_ack = c.finish_ack;
    s.returns = c.returns;
    s.nxp_after = c.nxp_after;
    s.bt_after = c.bt_after;
    s.starts_in_bootloader = c.bootloader_mode;
    s.bootloader.poll_ms = c.bootloader.poll_ms;
    s.bootloader.busy_polls = c.bootloader.busy_polls;
    s.bootloader.error_at_block = c.bootloader.error_at_block;
    s.bootloader.manifest_polls = c.bootloader.manifest_polls;
    s.bootloader.fail_transfers = c.bootloader.fail_transfers;
    s.package_nxp = package.nxp;
    s.package_bt = package.bt;
    s.package_bt_sum = package.bt_sum;
    return s;
}

// ------------------------------------------------------------ world actions
void query_remove_keyboard()
{
    World& w = world();
    if (!w.keyboard || w.keyboard->ifaces.empty())
        return;
    std::vector<int> ids = w.keyboard->ifaces;
    std::vector<Registration> regs;
    for (const Registration& r : w.registrations)
        if (r.for_handle && std::find(ids.begin(), ids.end(), r.iface) != ids.end())
            regs.push_back(r);

    // Every handle registration is asked; when all have answered, the removal
    // goes on unless one denied it or a handle to the device is still open.
    auto pending = std::make_shared<size_t>(regs.size());
    auto denied = std::make_shared<bool>(false);
    auto decide = [ids, regs, denied] {
        // An open handle on any of its interfaces keeps the device.
        bool open = false;
        for (DeviceFile* f : world().files)
            if (std::find(ids.begin(), ids.end(), f->iface) != ids.end())
                open = true;
        if (*denied || open) {
            for (const Registration& r : regs)
                send_device_change(r.hwnd, DBT_DEVICEQUERYREMOVEFAILED, handle_broadcast(r));
            return;
        }
        for (const Registration& r : regs)
            send_device_change(r.hwnd, DBT_DEVICEREMOVEPENDING, handle_broadcast(r));
        KeyboardSlot* k = world().keyboard.get();
        if (k && k->ifaces == ids)
            k->model->unplug();
    };
    if (regs.empty()) {
        decide();
        return;
    }
    for (const Registration& r : regs) {
        send_device_change(r.hwnd, DBT_DEVICEQUERYREMOVE, handle_broadcast(r),
                           [pending, denied, decide](LRESULT res) {
                               if (res == BROADCAST_QUERY_DENY)
                                   *denied = true;
                               if (--*pending == 0)
                                   decide();
                           });
    }
}

void power_broadcast(WPARAM event, std::function<void(bool denied)> done = nullptr)
{
    std::vector<HWND> wins = top_level_windows();
    if (wins.empty()) {
        if (done)
            done(false);
        return;
    }
    auto pending = std::make_shared<size_t>(wins.size());
    auto denied = std::make_shared<bool>(false);
    for (HWND h : wins) {
        system_send(h, WM_POWERBROADCAST, event, 0, [pending, denied, done](LRESULT r) {
            if (r == BROADCAST_QUERY_DENY)
                *denied = true;
            if (--*pending == 0 && done)
                done(*denied);
        });
    }
}

}  // namespace

// ------------------------------------------------------------ set-up and counters
void devices_setup(const KeyboardConfig* keyboard, const PackageFacts& package)
{
    ensure_init();
    World& w = world();
    w.package = package;
    w.keyboard.reset();
    if (!keyboard)
        return;
    w.keyboard.reset(new KeyboardSlot);
    KeyboardSlot& k = *w.keyboard;
    k.config = *keyboard;
    models::KeyboardHost host;
    host.after = [](uint32_t ms, std::function<void()> fn) { schedule_after(ms, std::move(fn)); };
    host.send_input = keyboard_send_input;
    host.connect = keyboard_connect;
    host.disconnect = keyboard_disconnect;
    host.dfu_request = [](const char* name, uint16_t value, uint16_t length, bool ok) {
        Json f{{"req", name}, {"value", value}, {"length", length}};
        if (!ok)
            f["ok"] = false;
        trace("dfu", f);
    };
    k.model.reset(new models::KeyboardModel(model_settings(*keyboard, package), host));
    if (keyboard->attached) {
        k.quiet = true;
        k.model->plug(true);
        k.quiet = false;
    }
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
    } else if (what == "query_remove") {
        query_remove_keyboard();
    } else if (what == "suspend") {
        power_broadcast(PBT_APMQUERYSUSPEND, [](bool denied) {
            if (denied)
                return;
            world().suspended = true;
            power_broadcast(PBT_APMSUSPEND);
        });
    } else if (what == "force_suspend") {
        w.suspended = true;
        power_broadcast(PBT_APMSUSPEND);
    } else if (what == "resume") {
        if (!w.suspended)
            return;
        w.suspended = false;
        power_broadcast(PBT_APMRESUMEAUTOMATIC);
        power_broadcast(PBT_APMRESUMESUSPEND);
    } else if (what == "hid_arrival") {
        Iface mouse;
        mouse.kind = Kind::HidOther;
        mouse.vid = 0x046D, mouse.pid = 0xC077, mouse.version = 0x7200;
        mouse.usage_page = 0x01, mouse.usage = 0x02, mouse.in_len = 5;
        char inst[48];
        snprintf(inst, sizeof(inst), "#7&%08x&0&0000", 0x1d4c2a00u + (unsigned)w.mouse_count++);
        mouse.instance = inst;
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

int stale_handle_writes() { return world().counters.stale_handle_writes; }

void devices_preempt_writes(bool on)
{
    ensure_init();
    world().preempt_writes = on;
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
}

void devices_remove(int id)
{
    ensure_init();
    Iface* i = iface_by_id(id);
    if (!i || !i->present)
        return;
    remove_interfaces({id});
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

HANDLE raw_device_store(DWORD type, uint16_t vid, uint16_t pid, uint16_t usage_page,
                        uint16_t usage, bool fail_info)
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
    bool system_owned = found->hid() && found->usage_page == 0x01 &&
                        (found->usage == 0x06 || found->usage == 0x02);
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

using sim::World;
using sim::world;

// ------------------------------------------------------------ SetupAPI
HDEVINFO SetupDiGetClassDevsA(const GUID* class_guid, LPCSTR, HWND, DWORD flags)
{
    sim::ensure_init();
    if (!class_guid || !(flags & DIGCF_DEVICEINTERFACE)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    World& w = world();
    auto* set = new sim::InfoSet;
    set->guid = *class_guid;
    for (const sim::Iface& i : w.ifaces)
        if (i.present && sim::same_guid(i.class_guid(), *class_guid))
            set->ifaces.push_back(i.id);
    w.info_sets.insert(set);
    return (HDEVINFO)set;
}

namespace {
sim::InfoSet* info_set(HDEVINFO h)
{
    auto* set = (sim::InfoSet*)h;
    return world().info_sets.count(set) ? set : nullptr;
}
}  // namespace

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO h, PSP_DEVINFO_DATA, const GUID* guid, DWORD index,
                                 PSP_DEVICE_INTERFACE_DATA data)
{
    sim::InfoSet* set = info_set(h);
    if (!set) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || !guid) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (!sim::same_guid(*guid, set->guid) || index >= set->ifaces.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    const sim::Iface* i = sim::iface_by_id(set->ifaces[index]);
    if (!i || i->enum_fails) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    data->InterfaceClassGuid = set->guid;
    data->Flags = 1;  // SPINT_ACTIVE
    data->Reserved = (ULONG_PTR)index + 1;
    return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO h, PSP_DEVICE_INTERFACE_DATA data,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                                      PDWORD required, PSP_DEVINFO_DATA)
{
    sim::InfoSet* set = info_set(h);
    if (!set) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || data->Reserved == 0 ||
        data->Reserved > set->ifaces.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const sim::Iface* i = sim::iface_by_id(set->ifaces[data->Reserved - 1]);
    std::string path = i ? i->path() : std::string();
    DWORD need = (DWORD)(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + path.size() + 1);
    if (!detail) {
        if (size != 0) {
            SetLastError(ERROR_INVALID_USER_BUFFER);
            return FALSE;
        }
        if (required)
            *required = need;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (size < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) ||
        detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (size < need) {
        if (required)
            *required = need;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memcpy(detail->DevicePath, path.c_str(), path.size() + 1);
    if (required)
        *required = need;
    return TRUE;
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO h)
{
    sim::InfoSet* set = info_set(h);
    if (!set) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    world().info_sets.erase(set);
    delete set;
    return TRUE;
}

// ------------------------------------------------------------ HID class library
namespace {
// The HID interface behind an open device file, or nullptr (last error set).
const sim::Iface* hid_iface(HANDLE h)
{
    auto* f = sim::handle_as<sim::DeviceFile>(h);
    const sim::Iface* i = f ? sim::iface_by_id(f->iface) : nullptr;
    if (!i || !i->hid()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!i->present) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return nullptr;
    }
    return i;
}
}  // namespace

void HidD_GetHidGuid(LPGUID guid)
{
    if (guid)
        *guid = sim::kHidGuid;
}

BOOLEAN HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes)
{
    const sim::Iface* i = hid_iface(device);
    if (!i || !attributes)
        return FALSE;
    if (i->attributes_fail) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    attributes->Size = sizeof(HIDD_ATTRIBUTES);
    attributes->VendorID = i->vid;
    attributes->ProductID = i->pid;
    attributes->VersionNumber = i->version;
    return TRUE;
}

BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data)
{
    const sim::Iface* i = hid_iface(device);
    if (!i || !data)
        return FALSE;
    auto* p = new sim::Preparsed;
    memset(&p->caps, 0, sizeof(p->caps));
    p->caps.Usage = i->usage;
    p->caps.UsagePage = i->usage_page;
    p->caps.InputReportByteLength = i->in_len;
    p->caps.OutputReportByteLength = i->out_len;
    p->caps.NumberLinkCollectionNodes = 1;
    world().preparsed.insert(p);
    *data = (PHIDP_PREPARSED_DATA)p;
    return TRUE;
}

BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data)
{
    auto* p = (sim::Preparsed*)data;
    if (!world().preparsed.erase(p))
        return FALSE;
    delete p;
    return TRUE;
}

NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps)
{
    auto* p = (sim::Preparsed*)data;
    if (!world().preparsed.count(p) || !caps)
        return HIDP_STATUS_INVALID_PREPARSED_DATA;
    *caps = p->caps;
    return HIDP_STATUS_SUCCESS;
}

// ------------------------------------------------------------ Raw Input
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
                                      return r.usUsagePage == d.usUsagePage &&
                                             r.usUsage == d.usUsage;
                                  }),
                   regs.end());
        if (!(d.dwFlags & RIDEV_REMOVE))
            regs.push_back(d);
    }
    return TRUE;
}

UINT GetRawInputData(HRAWINPUT raw, UINT command, LPVOID data, UINT* size, UINT header_size)
{
    World& w = world();
    auto it = w.raw_messages.find(raw);
    if (it == w.raw_messages.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return (UINT)-1;
    }
    if (!size || header_size != sizeof(RAWINPUTHEADER) ||
        (command != RID_INPUT && command != RID_HEADER)) {
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
    memcpy(data, m.bytes.data(), n);
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

// ------------------------------------------------------------ device notifications
HDEVNOTIFY RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags)
{
    sim::ensure_init();
    if (!recipient || !filter || flags != DEVICE_NOTIFY_WINDOW_HANDLE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const auto* hdr = static_cast<const DEV_BROADCAST_HDR*>(filter);
    sim::Registration r;
    r.hwnd = (HWND)recipient;
    if (hdr->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE) {
        if (hdr->dbch_size < sizeof(DEV_BROADCAST_DEVICEINTERFACE_A)) {
            SetLastError(ERROR_INVALID_DATA);
            return nullptr;
        }
        r.guid = static_cast<const DEV_BROADCAST_DEVICEINTERFACE_A*>(filter)->dbcc_classguid;
    } else if (hdr->dbch_devicetype == DBT_DEVTYP_HANDLE) {
        if (hdr->dbch_size < offsetof(DEV_BROADCAST_HANDLE, dbch_eventguid)) {
            SetLastError(ERROR_INVALID_DATA);
            return nullptr;
        }
        HANDLE h = static_cast<const DEV_BROADCAST_HANDLE*>(filter)->dbch_handle;
        auto* f = sim::handle_as<sim::DeviceFile>(h);
        if (!f) {
            SetLastError(ERROR_INVALID_HANDLE);
            return nullptr;
        }
        r.for_handle = true;
        r.handle = h;
        r.iface = f->iface;
    } else {
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    World& w = world();
    r.id = (HDEVNOTIFY)(w.next_notify += 0x10);
    w.registrations.push_back(r);
    return r.id;
}

BOOL UnregisterDeviceNotification(HDEVNOTIFY handle)
{
    World& w = world();
    auto it = std::find_if(w.registrations.begin(), w.registrations.end(),
                           [handle](const sim::Registration& r) { return r.id == handle; });
    if (!handle || it == w.registrations.end()) {
        ++w.counters.bad_unregisters;
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    w.registrations.erase(it);
    return TRUE;
}

// ------------------------------------------------------------ WinUSB
BOOL WinUsb_Initialize(HANDLE device, PWINUSB_INTERFACE_HANDLE iface)
{
    auto* f = sim::handle_as<sim::DeviceFile>(device);
    const sim::Iface* i = f ? sim::iface_by_id(f->iface) : nullptr;
    if (!i || i->hid() || !iface) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!i->present) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    World& w = world();
    WINUSB_INTERFACE_HANDLE h = (WINUSB_INTERFACE_HANDLE)(w.next_winusb += 0x10);
    w.winusb[h] = sim::WinUsbIf{i->id, device};
    *iface = h;
    return TRUE;
}

BOOL WinUsb_Free(WINUSB_INTERFACE_HANDLE iface)
{
    if (!world().winusb.erase(iface)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

namespace {
// The interface behind a WinUSB handle, present on the bus, or nullptr.
const sim::Iface* winusb_iface(WINUSB_INTERFACE_HANDLE h)
{
    World& w = world();
    auto it = w.winusb.find(h);
    if (it == w.winusb.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    const sim::Iface* i = sim::iface_by_id(it->second.iface);
    if (!i || !i->present) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return nullptr;
    }
    return i;
}
}  // namespace

BOOL WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE iface, UCHAR type, UCHAR index, USHORT,
                          PUCHAR buffer, ULONG length, PULONG transferred)
{
    if (transferred)
        *transferred = 0;
    const sim::Iface* i = winusb_iface(iface);
    if (!i)
        return FALSE;
    if (type != USB_DEVICE_DESCRIPTOR_TYPE || index != 0 || !buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    uint16_t vid = i->usb_vid(), pid = i->usb_pid();
    const uint8_t desc[18] = {18, 1, 0x00, 0x02, 0, 0, 0, 64, (uint8_t)vid, (uint8_t)(vid >> 8),
                              (uint8_t)pid, (uint8_t)(pid >> 8), 0x00, 0x01, 1, 2, 0, 1};
    ULONG n = std::min<ULONG>(length, (ULONG)std::max(0, std::min(18, i->descriptor_len)));
    memcpy(buffer, desc, n);
    if (transferred)
        *transferred = n;
    return TRUE;
}

namespace {
sim::ControlAnswer g_control_answer;
}

void sim::devices_set_control_answer(ControlAnswer answer) { g_control_answer = std::move(answer); }

BOOL WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE iface, WINUSB_SETUP_PACKET setup,
                            PUCHAR buffer, ULONG length, PULONG transferred, LPOVERLAPPED)
{
    if (transferred)
        *transferred = 0;
    const sim::Iface* i = winusb_iface(iface);
    if (!i)
        return FALSE;
    if (setup.Length > 0 && (!buffer || length < setup.Length)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    World& w = world();
    if (i->owner != 0 && g_control_answer) {
        ULONG moved = 0;
        BOOL ok = g_control_answer(setup, setup.Length ? buffer : nullptr, length, &moved);
        if (transferred)
            *transferred = ok ? moved : 0;
        if (!ok)
            SetLastError(ERROR_GEN_FAILURE);
        return ok;
    }
    if (i->owner != 0 || !w.keyboard) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    models::ControlSetup s{setup.RequestType, setup.Request, setup.Value, setup.Index, setup.Length};
    uint32_t moved = 0;
    if (!w.keyboard->model->control(s, setup.Length ? buffer : nullptr, &moved)) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    if (transferred)
        *transferred = moved;
    return TRUE;
}
