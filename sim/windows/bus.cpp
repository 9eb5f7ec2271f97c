// The Windows-side simulated bus (see bus.h). One lock guards the bus, the
// keyboard model and every table; the bus thread runs the model's timed
// steps; a second thread sends WM_DEVICECHANGE to the registered windows,
// one broadcast after the other, as the system's device manager does, so
// that neither the bus nor a caller of the device calls ever waits for a
// window procedure.
#include "sim/windows/bus_internal.h"

#include "sim/keyboard_instances.h"

#include <dbt.h>

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <thread>

namespace simwin {

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

static void bus_thread()
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

static void send_thread()
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

static void queue_send(std::function<void()> job)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> held(b.send_lock);
    b.sends.push_back(std::move(job));
    b.send_wake.notify_all();
}

// A JSON string of plain text (the models' rule names and details).
static std::string json_text(const std::string& text)
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

static std::vector<uint8_t> interface_broadcast(const Iface& i)
{
    return simbus::interface_broadcast(i.path, i.guid);
}

using simbus::handle_broadcast;

// Sends one broadcast to a registration's window, on the sending thread,
// unless the registration has been dropped meanwhile.
static void send_device_change(HDEVNOTIFY reg, HWND hwnd, WPARAM what, std::vector<uint8_t> payload)
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
static void announce_arrival(const Iface& i)
{
    for (auto& r : bus().registrations)
        if (!r.second.for_handle && simbus::same_guid(r.second.guid, i.guid))
            send_device_change(r.first, r.second.hwnd, DBT_DEVICEARRIVAL, interface_broadcast(i));
}

void complete_write(PendingWrite& w, DWORD error, DWORD moved)
{
    if (w.done)
        return;
    w.done = true;
    simbus::mark_done(w.ov, error, moved);
    if (w.ov->hEvent)
        SetEvent(w.ov->hEvent);
}

void end_writes_of(HANDLE file, DWORD error, DWORD thread)
{
    Bus& b = bus();
    for (auto& w : b.writes)
        if (w->file == file && (thread == 0 || w->thread == thread))
            complete_write(*w, error, 0);
    b.writes.erase(std::remove_if(b.writes.begin(), b.writes.end(), [](const auto& w) { return w->done; }),
                   b.writes.end());
}

void check_bus()
{
    Bus& b = bus();
    for (auto& f : b.files)
        simbus::require(iface_by_id(f.second.iface) != nullptr,
                        "an open device file of an unknown interface");
    for (auto& w : b.writes)
        simbus::require(b.files.count(w->file) != 0,
                        "a pending write on a handle that is no open device file");
    for (auto& r : b.registrations)
        simbus::require(!r.second.for_handle || iface_by_id(r.second.iface),
                        "a handle notification on an unknown interface");
    for (auto& u : b.winusb)
        simbus::require(u.second.iface == -1 || iface_by_id(u.second.iface),
                        "a WinUSB handle on an unknown interface");
    for (auto& set : b.info_sets)
        for (int id : set.second.ifaces)
            simbus::require(iface_by_id(id) != nullptr, "an information set with an unknown interface");
    for (auto& d : b.raw_devices) {
        const Iface* i = iface_by_id(d.second.iface);
        simbus::require(i && i->present, "a Raw Input device of an absent interface");
    }
}

// With the lock held.
static int add_iface(Iface i)
{
    Bus& b = bus();
    i.id = b.next_iface++;
    if (i.kind != Kind::Dfu) {
        HANDLE raw = (HANDLE)(uintptr_t)(0x20030 + (b.next_raw_device += 0x10));
        i.raw_device = raw;
        b.raw_devices[raw] = simbus::raw_device_of(i);
    }
    b.ifaces.push_back(i);
    check_bus();
    if (!b.quiet)
        announce_arrival(i);
    return i.id;
}

// The interfaces leave; their removal notices reach the windows `late_ms`
// later (the keyboard's removal_notice_ms), or at once.
static void remove_ifaces(const std::vector<int>& ids, uint32_t late_ms = 0)
{
    Bus& b = bus();
    std::vector<Iface> gone;
    for (int id : ids) {
        Iface* i = iface_by_id(id);
        if (!i || !simbus::leave(*i, b.raw_devices))
            continue;
        for (auto& f : b.files)
            if (f.second.iface == id)
                end_writes_of(f.first, ERROR_DEVICE_NOT_CONNECTED);
        gone.push_back(*i);
    }
    check_bus();
    std::vector<std::function<void()>> notices;
    for (const Iface& i : gone)
        for (auto& r : b.registrations)
            if (r.second.for_handle && r.second.iface == i.id) {
                HDEVNOTIFY id = r.first;
                HWND hwnd = r.second.hwnd;
                std::vector<uint8_t> payload = handle_broadcast(r.first, r.second.handle);
                notices.push_back(
                    [id, hwnd, payload] { send_device_change(id, hwnd, DBT_DEVICEREMOVECOMPLETE, payload); });
            }
    for (const Iface& i : gone)
        for (auto& r : b.registrations)
            if (!r.second.for_handle && simbus::same_guid(r.second.guid, i.guid)) {
                HDEVNOTIFY id = r.first;
                HWND hwnd = r.second.hwnd;
                std::vector<uint8_t> payload = interface_broadcast(i);
                notices.push_back(
                    [id, hwnd, payload] { send_device_change(id, hwnd, DBT_DEVICEREMOVECOMPLETE, payload); });
            }
    // A registration dropped before a late notice gets none (send_device_change).
    auto send_all = [notices] {
        for (const auto& n : notices)
            n();
    };
    if (late_ms)
        after_locked(late_ms, send_all);
    else
        send_all();
}

static std::string make_path(bool hid, uint16_t vid, uint16_t pid, const char* instance, const GUID& guid)
{
    return simbus::device_path(hid, vid, pid, instance, guid);
}

void trace(const char* ev, const std::string& fields)
{
    if (bus().trace)
        bus().trace(ev, fields);
}

// ------------------------------------------------------------ the keyboard on the bus
// A DFU interface under the package's interface class and its first (1) or
// second (2) vendor/product pair.
static Iface dfu_iface(int identity, const char* instance)
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

Keyboard* keyboard_of(const Iface* i)
{
    if (!i || i->owner < 0 || i->owner > 1)
        return nullptr;
    return bus().keyboards[i->owner].get();
}

void trace_kb(const Keyboard& k, const char* ev, const std::string& fields)
{
    if (k.number == 2 && fields.size() >= 2 && fields.back() == '}')
        trace(ev, fields.substr(0, fields.size() - 1) + (fields.size() > 2 ? "," : "") + "\"kb\":2}");
    else
        trace(ev, fields);
}

static void keyboard_connect(Keyboard& kb, models::UsbMode mode)
{
    Bus& b = bus();
    int owner = kb.number - 1;
    const sim::KeyboardInstances& inst = sim::kKeyboardInstances[owner];
    kb.ifaces.clear();
    if (mode == models::UsbMode::Normal) {
        if (!b.quiet)
            trace_kb(kb, "device", "{\"what\":\"keyboard_attached\"}");
        for (const simbus::Collection& c :
             simbus::keyboard_collections(owner, kb.config.identity, kb.model->nxp_version())) {
            Iface i;
            static_cast<simbus::Interface&>(i) = c.iface;
            i.path = make_path(true, i.vid, i.pid, c.instance, kHidGuid);
            kb.ifaces.push_back(add_iface(i));
        }
        if (kb.config.runtime_dfu) {  // the run-time DFU interface of the normal firmware
            Iface runtime = dfu_iface(1, inst.runtime_dfu);
            runtime.owner = owner;
            kb.ifaces.push_back(add_iface(runtime));
        }
    } else {
        Iface dfu = dfu_iface(kb.config.bootloader.identity, inst.bootloader);
        dfu.owner = owner;
        if (!b.quiet)
            trace_kb(kb, "device", "{\"what\":\"bootloader_attached\"}");
        kb.ifaces.push_back(add_iface(dfu));
    }
}

static void keyboard_disconnect(Keyboard& kb)
{
    bool boot = kb.model->mode() == models::UsbMode::Bootloader;
    trace_kb(kb, "device", boot ? "{\"what\":\"bootloader_removed\"}" : "{\"what\":\"keyboard_removed\"}");
    std::vector<int> ids = kb.ifaces;
    kb.ifaces.clear();
    remove_ifaces(ids, (uint32_t)std::max(0, kb.config.removal_notice_ms));
}

// An input report on the event collection reaches the windows registered for
// its usage as a posted WM_INPUT whose handle GetRawInputData resolves.
static void keyboard_send_input(Keyboard& kb, const uint8_t* report, size_t len)
{
    Bus& b = bus();
    const Iface* events = nullptr;
    for (int id : kb.ifaces) {
        Iface* i = iface_by_id(id);
        if (i && i->present && i->kind == Kind::KbdEvents)
            events = i;
    }
    if (!events)
        return;
    trace_kb(kb, "kb_in", "{\"hex\":\"" + simbus::hex_upper(report, len) + "\"}");
    for (const RAWINPUTDEVICE& t : b.raw_targets) {
        if (t.usUsagePage != events->usage_page || t.usUsage != events->usage || !t.hwndTarget)
            continue;
        bool foreground = GetForegroundWindow() == t.hwndTarget;
        if (!foreground && !(t.dwFlags & RIDEV_INPUTSINK))
            continue;
        WPARAM code = foreground ? RIM_INPUT : RIM_INPUTSINK;
        HRAWINPUT handle = (HRAWINPUT)(uintptr_t)(0x3E0004 + 4 * (b.next_raw++));
        b.raw_records.emplace_back(handle, simbus::raw_input_message(events->raw_device, code, report, len));
        if (b.raw_records.size() > 256)
            b.raw_records.pop_front();
        PostMessageA(t.hwndTarget, WM_INPUT, code, (LPARAM)handle);
    }
}

static models::KeyboardTiming model_timing()
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

// ------------------------------------------------------------ bus set-up and actions
void bus_set_jitter(uint32_t seed)
{
    Bus& b = bus();
    b.jitter = seed != 0;
    b.jitter_rng.seed(seed);
}

// A keyboard as its configuration says, not yet plugged in.
static std::unique_ptr<Keyboard> make_keyboard(int number, const sim::KeyboardConfig& config,
                                               const sim::PackageFacts& package)
{
    std::unique_ptr<Keyboard> made(new Keyboard);
    Keyboard* kb = made.get();
    kb->number = number;
    kb->config = config;
    models::KeyboardHost host;
    host.after = [](uint32_t ms, std::function<void()> fn) { after_locked(jittered(ms), std::move(fn)); };
    host.send_input = [kb](const uint8_t* report, size_t len) { keyboard_send_input(*kb, report, len); };
    host.connect = [kb](models::UsbMode mode) { keyboard_connect(*kb, mode); };
    host.disconnect = [kb] { keyboard_disconnect(*kb); };
    host.dfu_request = [kb](const char* name, uint16_t value, uint16_t length, bool ok) {
        char f[128];
        snprintf(f, sizeof(f), "{\"length\":%u,\"req\":\"%s\",\"value\":%u%s}", length, name, value,
                 ok ? "" : ",\"ok\":false");
        trace_kb(*kb, "dfu", f);
    };
    host.violation = [kb](const char* rule, const std::string& detail) {
        ++bus().violations;
        trace_kb(*kb, "violation", "{\"rule\":" + json_text(rule) + ",\"detail\":" + json_text(detail) + "}");
    };
    host.firmware = [kb](const char* part, const char* what, int version) {
        trace_kb(*kb, "firmware",
                 std::string("{\"part\":\"") + part + "\",\"what\":\"" + what +
                     "\",\"version\":" + (version >= 0 ? std::to_string(version) : "null") + "}");
    };
    kb->model.reset(new models::KeyboardModel(sim::keyboard_settings(config, package), host, model_timing()));
    return made;
}

void bus_start(const sim::KeyboardConfig* keyboard, const sim::PackageFacts& package,
               std::function<void(const char*, const std::string&)> trace_fn,
               const sim::KeyboardConfig* keyboard2)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> held(b.lock);
    b.trace = std::move(trace_fn);
    b.package = package;
    // Both exist before either is plugged in: the first one's interfaces
    // come first in the system's enumeration order.
    if (keyboard)
        b.keyboards[0] = make_keyboard(1, *keyboard, package);
    if (keyboard2)
        b.keyboards[1] = make_keyboard(2, *keyboard2, package);
    for (auto& kb : b.keyboards)
        if (kb && kb->config.attached) {
            b.quiet = true;
            kb->model->plug(true);
            b.quiet = false;
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

// ------------------------------------------------------------ the system's requests
// The process's top-level windows, which the system's power broadcasts reach.
static std::vector<HWND> process_windows()
{
    std::vector<HWND> found;
    EnumWindows(
        [](HWND h, LPARAM out) -> BOOL {
            DWORD pid = 0;
            GetWindowThreadProcessId(h, &pid);
            if (pid == GetCurrentProcessId())
                reinterpret_cast<std::vector<HWND>*>(out)->push_back(h);
            return TRUE;
        },
        (LPARAM)&found);
    return found;
}

// On the sending thread: WM_POWERBROADCAST to every window; whether one denied.
static bool power_broadcast(WPARAM event)
{
    bool denied = false;
    for (HWND h : process_windows()) {
        DWORD_PTR answer = 0;
        SendMessageTimeoutA(h, WM_POWERBROADCAST, event, 0, SMTO_NORMAL, 30000, &answer);
        denied = denied || answer == (DWORD_PTR)BROADCAST_QUERY_DENY;
    }
    return denied;
}

// Whether a live thread keeps the system awake (the system's own sleep when
// idle does not ask the programs, but such a thread prevents it).
static bool kept_awake_locked()
{
    for (const auto& [id, flags] : bus().execution_states) {
        HANDLE t = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, id);
        DWORD code = 0;
        bool live = t && GetExitCodeThread(t, &code) && code == STILL_ACTIVE;
        if (t)
            CloseHandle(t);
        if (live && (flags & ES_CONTINUOUS) && (flags & ES_SYSTEM_REQUIRED))
            return true;
    }
    return false;
}

static void power_action(const std::string& what)
{
    queue_send([what] {
        Bus& b = bus();
        if (what == "suspend" && power_broadcast(PBT_APMQUERYSUSPEND))
            return;  // a program denied it
        if (what == "sleep") {
            std::lock_guard<std::mutex> held(b.lock);
            if (kept_awake_locked()) {
                trace("power", "{\"what\":\"sleep_refused\"}");
                return;
            }
        }
        if (what == "resume") {
            {
                std::lock_guard<std::mutex> held(b.lock);
                if (!b.suspended)
                    return;
                b.suspended = false;
            }
            power_broadcast(PBT_APMRESUMEAUTOMATIC);
            power_broadcast(PBT_APMRESUMESUSPEND);
            return;
        }
        {
            std::lock_guard<std::mutex> held(b.lock);
            b.suspended = true;
        }
        power_broadcast(PBT_APMSUSPEND);
    });
}

// The end of the user's session (shut down, restart, log off), on the
// sending thread: every window is asked with WM_QUERYENDSESSION and the first
// FALSE answer keeps the session (a critical end asks but takes no refusal);
// the windows that agreed then hear WM_ENDSESSION(FALSE). Otherwise every
// window gets WM_ENDSESSION(TRUE), and once all have returned the system ends
// the process.
static std::function<void()> g_session_ended;

static void end_session(bool critical)
{
    queue_send([critical] {
        LPARAM flags = critical ? ENDSESSION_CRITICAL : 0;
        std::vector<HWND> wins = process_windows();
        for (size_t i = 0; i < wins.size(); i++) {
            DWORD_PTR answer = TRUE;
            SendMessageTimeoutA(wins[i], WM_QUERYENDSESSION, 0, flags, SMTO_NORMAL, 30000, &answer);
            if (answer == FALSE && !critical) {
                // Looked up, not imported: Wine 8 has no ShutdownBlockReasonQuery
                // (the reason is then traced empty).
                typedef BOOL(WINAPI * Query)(HWND, LPWSTR, DWORD*);
                Query query =
                    (Query)(void*)GetProcAddress(GetModuleHandleA("user32.dll"), "ShutdownBlockReasonQuery");
                WCHAR reason[256] = {0};
                DWORD size = 256;
                if (query)
                    query(wins[i], reason, &size);
                char utf8[1024] = {0};
                WideCharToMultiByte(CP_UTF8, 0, reason, -1, utf8, sizeof(utf8), nullptr, nullptr);
                trace("power", "{\"what\":\"end_session_refused\",\"reason\":" + json_text(utf8) + "}");
                for (size_t k = 0; k < i; k++)
                    SendMessageTimeoutA(wins[k], WM_ENDSESSION, FALSE, flags, SMTO_NORMAL, 30000, nullptr);
                return;
            }
        }
        for (HWND h : wins)
            SendMessageTimeoutA(h, WM_ENDSESSION, TRUE, flags, SMTO_NORMAL, 30000, nullptr);
        trace("power", "{\"what\":\"session_ended\"}");
        if (g_session_ended)
            g_session_ended();
        ExitProcess(kEndedWithTheSession);
    });
}

void bus_on_session_end(std::function<void()> fn)
{
    g_session_ended = std::move(fn);
}

// The user asks to remove the keyboard safely: every handle registration on
// it is asked; unless one denies, another program that holds it vetoes
// (`vetoed`) or a handle to it is still open afterwards, the removal goes on
// and the keyboard leaves.
static void query_remove_keyboard(bool vetoed)
{
    queue_send([vetoed] {
        Bus& b = bus();
        std::vector<int> ids;
        std::vector<std::pair<HDEVNOTIFY, Registration>> regs;
        {
            std::lock_guard<std::mutex> held(b.lock);
            if (b.keyboards[0])
                ids = b.keyboards[0]->ifaces;
            for (auto& r : b.registrations)
                if (r.second.for_handle && std::find(ids.begin(), ids.end(), r.second.iface) != ids.end())
                    regs.push_back(r);
        }
        if (ids.empty())
            return;
        bool denied = vetoed;
        for (auto& r : regs) {
            std::vector<uint8_t> payload = handle_broadcast(r.first, r.second.handle);
            DWORD_PTR answer = 0;
            SendMessageTimeoutA(r.second.hwnd, WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE, (LPARAM)payload.data(),
                                SMTO_NORMAL, 30000, &answer);
            denied = denied || answer == (DWORD_PTR)BROADCAST_QUERY_DENY;
        }
        std::lock_guard<std::mutex> held(b.lock);
        bool open = false;
        for (auto& f : b.files)
            open = open || std::find(ids.begin(), ids.end(), f.second.iface) != ids.end();
        WPARAM outcome = denied || open ? DBT_DEVICEQUERYREMOVEFAILED : DBT_DEVICEREMOVEPENDING;
        for (auto& r : regs)
            send_device_change(r.first, r.second.hwnd, outcome, handle_broadcast(r.first, r.second.handle));
        Keyboard* kb = b.keyboards[0].get();
        if (outcome == DBT_DEVICEREMOVEPENDING && kb && kb->ifaces == ids)
            kb->model->unplug();
    });
}

void bus_action(const std::string& what)
{
    if (what == "query_remove" || what == "query_remove_vetoed")
        return query_remove_keyboard(what == "query_remove_vetoed");
    if (what == "suspend" || what == "sleep" || what == "force_suspend" || what == "resume")
        return power_action(what);
    if (what == "end_session" || what == "force_end_session")
        return end_session(what == "force_end_session");
    Bus& b = bus();
    std::lock_guard<std::mutex> held(b.lock);
    Keyboard* kb = b.keyboards[what == "detach2" || what == "attach2" ? 1 : 0].get();
    if (what == "detach" || what == "detach2") {
        if (kb)
            kb->model->unplug();
    } else if (what == "attach" || what == "attach2") {
        if (kb)
            kb->model->plug();
    } else if (what == "keyboard_hangs") {
        // Its firmware takes no output report from now on.
        if (kb)
            kb->config.hang_after_reports = kb->reports_taken;
    } else if (what == "bootloader_hangs") {
        if (kb)
            kb->model->hang_bootloader();
    } else if (what == "hid_arrival") {
        Iface mouse;
        std::string inst;
        static_cast<simbus::Interface&>(mouse) = simbus::arriving_mouse(b.mice++, &inst);
        mouse.path = make_path(true, mouse.vid, mouse.pid, inst.c_str(), kHidGuid);
        add_iface(mouse);
    }
}

void bus_note_execution_state(EXECUTION_STATE flags)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> held(b.lock);
    // Without ES_CONTINUOUS the call only resets the idle timer.
    if (flags & ES_CONTINUOUS)
        b.execution_states[GetCurrentThreadId()] = flags;
}

int bus_reports_out(int number)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> held(b.lock);
    const Keyboard* kb = b.keyboards[number == 2 ? 1 : 0].get();
    return kb ? kb->model->reports_received() : number == 2 ? -1 : 0;
}

int bus_dfu_blocks(int number)
{
    Bus& b = bus();
    std::lock_guard<std::mutex> held(b.lock);
    const Keyboard* kb = b.keyboards[number == 2 ? 1 : 0].get();
    return kb ? kb->model->dfu_blocks() : number == 2 ? -1 : 0;
}

int bus_violations()
{
    Bus& b = bus();
    std::lock_guard<std::mutex> held(b.lock);
    return b.violations;
}

}  // namespace simwin
