// The Windows-side simulated bus (see bus.h). One lock guards the bus, the
// keyboard model and every table; the bus thread runs the model's timed
// steps; a second thread sends WM_DEVICECHANGE to the registered windows,
// one broadcast after the other, as the system's device manager does, so
// that neither the bus nor a caller of the device calls ever waits for a
// window procedure.
#include "sim/windows/bus.h"

#include "sim/windows/device_calls.h"

#include "models/keyboard_model.h"

#include <dbt.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <queue>
#include <random>
#include <thread>
#include <vector>

namespace simwin {

namespace {

using Clock = std::chrono::steady_clock;

const GUID kHidGuid = {0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
const NTSTATUS kStatusPending = 0x103;
const NTSTATUS kStatusCancelled = (NTSTATUS)0xC0000120;
const NTSTATUS kStatusNoDevice = (NTSTATUS)0xC000009D;  // device not connected

enum class Kind { KbdStandard, KbdEvents, KbdCommands, Dfu, HidOther };

struct Iface {
    int id = 0;
    Kind kind = Kind::HidOther;
    uint16_t vid = 0, pid = 0, version = 0, usage_page = 0, usage = 0, in_len = 0, out_len = 0;
    GUID guid = kHidGuid;
    std::string path;
    bool present = true;
    HANDLE raw_device = nullptr;
};

struct DeviceFile {
    int iface;
};

struct PendingWrite {
    HANDLE file;
    OVERLAPPED* ov;
    std::vector<uint8_t> report;
    bool done = false;
};

struct Registration {
    HWND hwnd;
    bool for_handle;
    GUID guid;
    HANDLE handle;
    int iface;
};

struct RawRecord {
    HANDLE device;
    WPARAM wparam;
    uint8_t report[64];
    uint32_t len;
};

struct Timed {
    Clock::time_point due;
    uint64_t seq;
    std::function<void()> fn;
    bool operator<(const Timed& o) const { return due != o.due ? due > o.due : seq > o.seq; }
};

struct Bus {
    std::mutex lock;
    std::condition_variable wake;
    std::priority_queue<Timed> timed;
    uint64_t seq = 0;

    std::vector<Iface> ifaces;
    int next_iface = 1;
    std::map<HANDLE, DeviceFile> files;
    std::vector<std::shared_ptr<PendingWrite>> writes;
    std::map<HDEVNOTIFY, Registration> registrations;
    std::vector<RAWINPUTDEVICE> raw_targets;
    std::deque<std::pair<HRAWINPUT, RawRecord>> raw_records;  // the latest, by handle
    uintptr_t next_raw = 0;
    std::map<HANDLE, Iface> raw_devices;  // present HID collections by Raw Input device handle
    uintptr_t next_raw_device = 0;
    std::map<void*, std::vector<int>> info_sets;
    std::map<void*, int> winusb;  // WinUSB interface handle -> interface

    sim::PackageFacts package;
    sim::KeyboardConfig config;
    std::unique_ptr<models::KeyboardModel> model;
    std::vector<int> kb_ifaces;
    bool quiet = false;
    int mice = 0;
    int violations = 0;
    int reports_taken = 0;  // output reports the keyboard's command collection took

    // After taking hang_after_reports reports its firmware hangs: later
    // writes to the command collection stay pending until they are
    // cancelled or the keyboard leaves.
    bool hung() const { return config.hang_after_reports >= 0 && reports_taken >= config.hang_after_reports; }

    std::function<void(const char*, const std::string&)> trace;
    std::mt19937 jitter_rng;
    bool jitter = false;

    // WM_DEVICECHANGE deliveries, in order.
    std::mutex send_lock;
    std::condition_variable send_wake;
    std::deque<std::function<void()>> sends;
};

Bus& bus()
{
    static Bus* b = new Bus;  // lives as long as the process: its threads never end
    return *b;
}

uint32_t jittered(uint32_t ms)
{
    Bus& b = bus();
    if (!b.jitter)
        return ms;
    return ms + std::uniform_int_distribution<uint32_t>(0, 3)(b.jitter_rng);
}

// With the lock held.
void after_locked(uint32_t ms, std::function<void()> fn)
{
    Bus& b = bus();
    b.timed.push(Timed{Clock::now() + std::chrono::milliseconds(ms), b.seq++, std::move(fn)});
    b.wake.notify_all();
}

void bus_thread()
{
    Bus& b = bus();
    std::unique_lock<std::mutex> held(b.lock);
    for (;;) {
        if (b.timed.empty()) {
            b.wake.wait(held);
            continue;
        }
        Clock::time_point due = b.timed.top().due;
        if (Clock::now() < due) {
            b.wake.wait_until(held, due);
            continue;
        }
        std::function<void()> fn = b.timed.top().fn;
        b.timed.pop();
        fn();
    }
}

void send_thread()
{
    Bus& b = bus();
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> held(b.send_lock);
            b.send_wake.wait(held, [&b] { return !b.sends.empty(); });
            job = std::move(b.sends.front());
            b.sends.pop_front();
        }
        job();
    }
}

void queue_send(std::function<void()> job)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> held(b.send_lock);
    b.sends.push_back(std::move(job));
    b.send_wake.notify_all();
}

bool same_guid(const GUID& a, const GUID& c)
{
    return memcmp(&a, &c, sizeof(GUID)) == 0;
}

std::string guid_text(const GUID& g)
{
    char s[48];
    snprintf(s, sizeof(s), "{%08lx-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", (unsigned long)g.Data1,
             g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5],
             g.Data4[6], g.Data4[7]);
    return s;
}

std::string hex_upper(const uint8_t* p, size_t n)
{
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

// A JSON string of plain text (the models' rule names and details).
std::string json_text(const std::string& text)
{
    std::string s = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            s += '\\';
        if ((unsigned char)c >= 0x20)
            s += c;
    }
    return s + "\"";
}

Iface* iface_by_id(int id)
{
    for (Iface& i : bus().ifaces)
        if (i.id == id)
            return &i;
    return nullptr;
}

Iface* present_iface_of_file(HANDLE h)
{
    Bus& b = bus();
    auto f = b.files.find(h);
    if (f == b.files.end())
        return nullptr;
    Iface* i = iface_by_id(f->second.iface);
    return i && i->present ? i : nullptr;
}

std::vector<uint8_t> interface_broadcast(const Iface& i)
{
    size_t size = offsetof(DEV_BROADCAST_DEVICEINTERFACE_A, dbcc_name) + i.path.size() + 1;
    std::vector<uint8_t> buf(size, 0);
    auto* d = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_A*>(buf.data());
    d->dbcc_size = (DWORD)size;
    d->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    d->dbcc_classguid = i.guid;
    memcpy(d->dbcc_name, i.path.c_str(), i.path.size() + 1);
    return buf;
}

std::vector<uint8_t> handle_broadcast(HDEVNOTIFY id, HANDLE h)
{
    std::vector<uint8_t> buf(sizeof(DEV_BROADCAST_HANDLE), 0);
    auto* d = reinterpret_cast<DEV_BROADCAST_HANDLE*>(buf.data());
    d->dbch_size = sizeof(DEV_BROADCAST_HANDLE);
    d->dbch_devicetype = DBT_DEVTYP_HANDLE;
    d->dbch_handle = h;
    d->dbch_hdevnotify = id;
    d->dbch_nameoffset = -1;
    return buf;
}

// Sends one broadcast to a registration's window, on the sending thread,
// unless the registration has been dropped meanwhile.
void send_device_change(HDEVNOTIFY reg, HWND hwnd, WPARAM what, std::vector<uint8_t> payload)
{
    queue_send([reg, hwnd, what, payload] {
        {
            Bus& b = bus();
            std::lock_guard<std::mutex> held(b.lock);
            if (!b.registrations.count(reg))
                return;
        }
        std::vector<uint8_t> copy = payload;
        DWORD_PTR answer = 0;
        SendMessageTimeoutA(hwnd, WM_DEVICECHANGE, what, (LPARAM)copy.data(), SMTO_NORMAL, 30000, &answer);
    });
}

// With the lock held: the interface's arrival reaches the windows registered
// for its class.
void announce_arrival(const Iface& i)
{
    for (auto& r : bus().registrations)
        if (!r.second.for_handle && same_guid(r.second.guid, i.guid))
            send_device_change(r.first, r.second.hwnd, DBT_DEVICEARRIVAL, interface_broadcast(i));
}

void complete_write(PendingWrite& w, NTSTATUS status, DWORD moved)
{
    if (w.done)
        return;
    w.done = true;
    w.ov->InternalHigh = moved;
    w.ov->Internal = (ULONG_PTR)status;
    if (w.ov->hEvent)
        SetEvent(w.ov->hEvent);
}

void end_writes_of(HANDLE file, NTSTATUS status)
{
    Bus& b = bus();
    for (auto& w : b.writes)
        if (w->file == file)
            complete_write(*w, status, 0);
    b.writes.erase(std::remove_if(b.writes.begin(), b.writes.end(), [](const auto& w) { return w->done; }),
                   b.writes.end());
}

// With the lock held.
int add_iface(Iface i)
{
    Bus& b = bus();
    i.id = b.next_iface++;
    if (i.kind != Kind::Dfu) {
        HANDLE raw = (HANDLE)(uintptr_t)(0x20030 + (b.next_raw_device += 0x10));
        i.raw_device = raw;
        b.raw_devices[raw] = i;
    }
    b.ifaces.push_back(i);
    if (!b.quiet)
        announce_arrival(i);
    return i.id;
}

void remove_ifaces(const std::vector<int>& ids)
{
    Bus& b = bus();
    std::vector<Iface> gone;
    for (int id : ids) {
        Iface* i = iface_by_id(id);
        if (!i || !i->present)
            continue;
        i->present = false;
        if (i->raw_device)
            b.raw_devices.erase(i->raw_device);
        for (auto& f : b.files)
            if (f.second.iface == id)
                end_writes_of(f.first, kStatusNoDevice);
        gone.push_back(*i);
    }
    for (const Iface& i : gone)
        for (auto& r : b.registrations)
            if (r.second.for_handle && r.second.iface == i.id)
                send_device_change(r.first, r.second.hwnd, DBT_DEVICEREMOVECOMPLETE,
                                   handle_broadcast(r.first, r.second.handle));
    for (const Iface& i : gone)
        for (auto& r : b.registrations)
            if (!r.second.for_handle && same_guid(r.second.guid, i.guid))
                send_device_change(r.first, r.second.hwnd, DBT_DEVICEREMOVECOMPLETE, interface_broadcast(i));
}

std::string make_path(bool hid, uint16_t vid, uint16_t pid, const char* instance, const GUID& guid)
{
    char head[96];
    snprintf(head, sizeof(head), "\\\\?\\%s#vid_%04x&pid_%04x", hid ? "hid" : "usb", vid, pid);
    return std::string(head) + instance + "#" + guid_text(guid);
}

void trace(const char* ev, const std::string& fields)
{
    if (bus().trace)
        bus().trace(ev, fields);
}

// ------------------------------------------------------------ the keyboard on the bus
// A DFU interface under the package's interface class and its first (1) or
// second (2) vendor/product pair.
Iface dfu_iface(int identity, const char* instance)
{
    Bus& b = bus();
    Iface dfu;
    dfu.kind = Kind::Dfu;
    dfu.vid = identity == 2 ? b.package.vid2 : b.package.vid1;
    dfu.pid = identity == 2 ? b.package.pid2 : b.package.pid1;
    const sim::PackageFacts::Guid& g = b.package.dfu_guid;
    dfu.guid.Data1 = g.data1;
    dfu.guid.Data2 = g.data2;
    dfu.guid.Data3 = g.data3;
    memcpy(dfu.guid.Data4, g.data4, sizeof(dfu.guid.Data4));
    dfu.path = make_path(false, dfu.vid, dfu.pid, instance, dfu.guid);
    return dfu;
}

void keyboard_connect(models::UsbMode mode)
{
    Bus& b = bus();
    b.kb_ifaces.clear();
    if (mode == models::UsbMode::Normal) {
        uint16_t vid = b.config.identity == 2 ? 0x1FC9 : 0x3E71;
        uint16_t pid = b.config.identity == 2 ? 0x0088 : 0x2A60;
        Iface k;
        k.vid = vid, k.pid = pid, k.version = b.model->nxp_version();
        k.kind = Kind::KbdStandard;
        k.usage_page = 0x01, k.usage = 0x06, k.in_len = 9, k.out_len = 2;
        k.path = make_path(true, vid, pid, "&mi_00#8&2c5e1f4a&0&0000", kHidGuid);
        Iface ev = k;
        ev.kind = Kind::KbdEvents;
        ev.usage_page = 0xFF02, ev.usage = 0x01, ev.in_len = 9, ev.out_len = 0;
        ev.path = make_path(true, vid, pid, "&mi_01&col01#8&3a1d77e0&0&0000", kHidGuid);
        Iface cmd = k;
        cmd.kind = Kind::KbdCommands;
        cmd.usage_page = 0xFF01, cmd.usage = 0x01, cmd.in_len = 0, cmd.out_len = 57;
        cmd.path = make_path(true, vid, pid, "&mi_01&col02#8&3a1d77e0&0&0001", kHidGuid);
        if (!b.quiet)
            trace("device", "{\"what\":\"keyboard_attached\"}");
        for (Iface* i : {&k, &ev, &cmd})
            b.kb_ifaces.push_back(add_iface(*i));
        if (b.config.runtime_dfu)  // the run-time DFU interface of the normal firmware
            b.kb_ifaces.push_back(add_iface(dfu_iface(1, "&mi_02#8&3a1d77e0&0&0002")));
    } else {
        Iface dfu = dfu_iface(b.config.bootloader.identity, "#6&1f3b9c2d&0&3");
        if (!b.quiet)
            trace("device", "{\"what\":\"bootloader_attached\"}");
        b.kb_ifaces.push_back(add_iface(dfu));
    }
}

void keyboard_disconnect()
{
    Bus& b = bus();
    bool boot = b.model->mode() == models::UsbMode::Bootloader;
    trace("device", boot ? "{\"what\":\"bootloader_removed\"}" : "{\"what\":\"keyboard_removed\"}");
    std::vector<int> ids = b.kb_ifaces;
    b.kb_ifaces.clear();
    remove_ifaces(ids);
}

// An input report on the event collection reaches the windows registered for
// its usage as a posted WM_INPUT whose handle GetRawInputData resolves.
void keyboard_send_input(const uint8_t* report, size_t len)
{
    Bus& b = bus();
    const Iface* events = nullptr;
    for (int id : b.kb_ifaces) {
        Iface* i = iface_by_id(id);
        if (i && i->present && i->kind == Kind::KbdEvents)
            events = i;
    }
    if (!events)
        return;
    trace("kb_in", "{\"hex\":\"" + hex_upper(report, len) + "\"}");
    for (const RAWINPUTDEVICE& t : b.raw_targets) {
        if (t.usUsagePage != events->usage_page || t.usUsage != events->usage || !t.hwndTarget)
            continue;
        bool foreground = GetForegroundWindow() == t.hwndTarget;
        if (!foreground && !(t.dwFlags & RIDEV_INPUTSINK))
            continue;
        RawRecord rec;
        rec.device = events->raw_device;
        rec.wparam = foreground ? RIM_INPUT : RIM_INPUTSINK;
        rec.len = (uint32_t)std::min(len, sizeof(rec.report));
        memcpy(rec.report, report, rec.len);
        HRAWINPUT handle = (HRAWINPUT)(uintptr_t)(0x3E0004 + 4 * (b.next_raw++));
        b.raw_records.emplace_back(handle, rec);
        if (b.raw_records.size() > 256)
            b.raw_records.pop_front();
        PostMessageA(t.hwndTarget, WM_INPUT, rec.wparam, (LPARAM)handle);
    }
}

models::KeyboardTiming model_timing()
{
    models::KeyboardTiming t;
    t.answer_ms = jittered(t.answer_ms);
    t.checksum_ms = jittered(t.checksum_ms);
    t.enumerate_ms = jittered(t.enumerate_ms);
    t.reset_ms = jittered(t.reset_ms);
    t.bootloader_up_ms = jittered(t.bootloader_up_ms);
    t.firmware_up_ms = jittered(t.firmware_up_ms);
    return t;
}

struct InfoSetKey {};

}  // namespace

// ------------------------------------------------------------ bus set-up and actions
void bus_set_jitter(uint32_t seed)
{
    Bus& b = bus();
    b.jitter = seed != 0;
    b.jitter_rng.seed(seed);
}

void bus_start(const sim::KeyboardConfig* keyboard, const sim::PackageFacts& package,
               std::function<void(const char*, const std::string&)> trace_fn)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> held(b.lock);
    b.trace = std::move(trace_fn);
    b.package = package;
    if (keyboard) {
        b.config = *keyboard;
        models::KeyboardHost host;
        host.after = [](uint32_t ms, std::function<void()> fn) { after_locked(jittered(ms), std::move(fn)); };
        host.send_input = keyboard_send_input;
        host.connect = keyboard_connect;
        host.disconnect = keyboard_disconnect;
        host.dfu_request = [](const char* name, uint16_t value, uint16_t length, bool ok) {
            char f[128];
            snprintf(f, sizeof(f), "{\"length\":%u,\"req\":\"%s\",\"value\":%u%s}", length, name, value,
                     ok ? "" : ",\"ok\":false");
            trace("dfu", f);
        };
        host.violation = [](const char* rule, const std::string& detail) {
            ++bus().violations;
            trace("violation", "{\"rule\":" + json_text(rule) + ",\"detail\":" + json_text(detail) + "}");
        };
        host.firmware = [](const char* part, const char* what, int version) {
            trace("firmware", std::string("{\"part\":\"") + part + "\",\"what\":\"" + what +
                                  "\",\"version\":" + (version >= 0 ? std::to_string(version) : "null") +
                                  "}");
        };
        b.model.reset(
            new models::KeyboardModel(sim::keyboard_settings(*keyboard, package), host, model_timing()));
        if (keyboard->attached) {
            b.quiet = true;
            b.model->plug(true);
            b.quiet = false;
        }
    }
    std::thread(bus_thread).detach();
    std::thread(send_thread).detach();
}

void bus_after(uint32_t ms, std::function<void()> fn)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> held(b.lock);
    after_locked(ms, std::move(fn));
}

void bus_action(const std::string& what)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> held(b.lock);
    if (what == "detach") {
        if (b.model)
            b.model->unplug();
    } else if (what == "attach") {
        if (b.model)
            b.model->plug();
    } else if (what == "hid_arrival") {
        Iface mouse;
        mouse.kind = Kind::HidOther;
        mouse.vid = 0x046D, mouse.pid = 0xC077, mouse.version = 0x7200;
        mouse.usage_page = 0x01, mouse.usage = 0x02, mouse.in_len = 5;
        char inst[48];
        snprintf(inst, sizeof(inst), "#7&%08x&0&0000", 0x1d4c2a00u + (unsigned)b.mice++);
        mouse.path = make_path(true, mouse.vid, mouse.pid, inst, kHidGuid);
        add_iface(mouse);
    }
}

int bus_reports_out()
{
    Bus& b = bus();
    std::lock_guard<std::mutex> held(b.lock);
    return b.model ? b.model->reports_received() : 0;
}

int bus_dfu_blocks()
{
    Bus& b = bus();
    std::lock_guard<std::mutex> held(b.lock);
    return b.model ? b.model->dfu_blocks() : 0;
}

int bus_violations()
{
    Bus& b = bus();
    std::lock_guard<std::mutex> held(b.lock);
    return b.violations;
}

}  // namespace simwin

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
        return CreateFileA(path, access, share, sa, disposition, flags, templ);
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
    if (commands && b.hung()) {
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
    auto deliver = [w, size, commands] {
        if (w->done)
            return;
        auto& bb = bus();
        if (commands)
            ++bb.reports_taken;
        simwin::trace("kb_out",
                      "{\"hex\":\"" + simwin::hex_upper(w->report.data(), w->report.size()) + "\"}");
        if (bb.model)
            bb.model->output_report(w->report.data(), w->report.size());
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
    std::lock_guard<std::mutex> held(b.lock);
    if (transferred)
        *transferred = 0;
    auto w = b.winusb.find((void*)iface);
    simwin::Iface* i = w == b.winusb.end() ? nullptr : simwin::iface_by_id(w->second);
    // The model answers as the boot loader, or as the normal firmware's
    // run-time DFU interface where it has one.
    if (!i || !i->present || !b.model) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    models::ControlSetup s{setup.RequestType, setup.Request, setup.Value, setup.Index,
                           (uint16_t)std::min<ULONG>(length, setup.Length)};
    std::vector<uint8_t> data(s.length + 64, 0);
    if (buffer && s.length)
        memcpy(data.data(), buffer, s.length);
    uint32_t moved = 0;
    if (!b.model->control(s, data.data(), &moved)) {
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    if ((setup.RequestType & 0x80) && buffer)
        memcpy(buffer, data.data(), std::min<uint32_t>(moved, s.length));
    if (transferred)
        *transferred = moved;
    return TRUE;
}
