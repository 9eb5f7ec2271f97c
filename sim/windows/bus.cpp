// The Windows-side simulated bus (see bus.h). One lock guards the bus, the
// keyboard model and every table; the bus thread runs the model's timed
// steps; a second thread sends WM_DEVICECHANGE to the registered windows,
// one broadcast after the other, as the system's device manager does, so
// that neither the bus nor a caller of the device calls ever waits for a
// window procedure.
#include "sim/windows/bus_internal.h"

#include "bus/system_requests.h"

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

void complete_write(HANDLE file, OVERLAPPED* ov, DWORD error, DWORD moved)
{
    if (bus().writes.finish(file, ov, error, moved) && ov->hEvent)
        SetEvent(ov->hEvent);
}

void end_writes_of(HANDLE file, DWORD error, DWORD thread)
{
    for (OVERLAPPED* ov : bus().writes.end(file, error, thread))
        if (ov->hEvent)
            SetEvent(ov->hEvent);
}

void check_bus()
{
    Bus& b = bus();
    for (auto& f : b.files)
        simbus::require(iface_by_id(f.second.iface) != nullptr,
                        "an open device file of an unknown interface");
    for (HANDLE h : b.writes.files())
        simbus::require(b.files.count(h) != 0, "a pending write on a handle that is no open device file");
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

// With the lock held; with `announce`, the arrival reaches the registered windows.
static int add_iface(Iface i, bool announce = true)
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
    if (announce)
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

void trace(const char* ev, const std::string& fields)
{
    if (bus().trace)
        bus().trace(ev, fields);
}

// ------------------------------------------------------------ the keyboard on the bus
Keyboard* keyboard_of(const Iface* i)
{
    if (!i || i->owner < 0 || i->owner > 1)
        return nullptr;
    return bus().keyboards[i->owner].get();
}

namespace {

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

// Told when the session ends, before the process does.
static std::function<void()> g_session_ended;

// This bus behind the shared keyboard code: the bus thread's timers (with
// the bus's jitter), the trace as JSON text and this bus's tables. The
// model gets no clock here: the tool's poll timing is judged in the host
// world's runs.
struct WindowsBus : simbus::BusHost {
    bool has_clock() const override { return false; }
    uint64_t now_ms() override { return 0; }
    void after(uint32_t ms, std::function<void()> fn) override { after_locked(jittered(ms), std::move(fn)); }
    bool wanted(const char*) override { return true; }
    void trace(const char* ev, const simbus::Fields& fields) override
    {
        std::string text = "{";
        for (const simbus::Field& f : fields) {
            if (text.size() > 1)
                text += ",";
            text += json_text(f.key) + ":";
            switch (f.type) {
            case simbus::Field::Type::Number: text += std::to_string(f.number); break;
            case simbus::Field::Type::Text: text += json_text(f.text); break;
            case simbus::Field::Type::False: text += "false"; break;
            case simbus::Field::Type::Null: text += "null"; break;
            }
        }
        simwin::trace(ev, text + "}");
    }
    void count_violation() override { ++bus().violations; }
    const simbus::Interface* find_interface(int id) override { return iface_by_id(id); }
    // A DFU interface comes under the package's interface class and its
    // first (1) or second (2) vendor/product pair.
    int add_interface(const Keyboard& k, const simbus::Arrival& a) override
    {
        Iface i;
        static_cast<simbus::Interface&>(i) = a.iface;
        if (a.dfu_identity) {
            const sim::PackageFacts& p = bus().package;
            i.vid = a.dfu_identity == 2 ? p.vid2 : p.vid1;
            i.pid = a.dfu_identity == 2 ? p.pid2 : p.pid1;
            i.guid.Data1 = p.dfu_guid.data1;
            i.guid.Data2 = p.dfu_guid.data2;
            i.guid.Data3 = p.dfu_guid.data3;
            memcpy(i.guid.Data4, p.dfu_guid.data4, sizeof(i.guid.Data4));
        }
        i.path = simbus::device_path(i.hid(), i.vid, i.pid, a.instance, i.guid);
        return add_iface(i, !k.quiet);
    }
    void remove_interfaces(const Keyboard& k, const std::vector<int>& ids) override
    {
        remove_ifaces(ids, (uint32_t)std::max(0, k.config.removal_notice_ms));
    }
    // The report reaches the windows registered for its usage as a posted
    // WM_INPUT whose handle GetRawInputData resolves.
    void deliver_input(const simbus::Interface& events, const uint8_t* report, size_t len) override
    {
        Bus& b = bus();
        for (const RAWINPUTDEVICE& t : b.raw_targets) {
            if (t.usUsagePage != events.usage_page || t.usUsage != events.usage || !t.hwndTarget)
                continue;
            bool foreground = GetForegroundWindow() == t.hwndTarget;
            if (!foreground && !(t.dwFlags & RIDEV_INPUTSINK))
                continue;
            WPARAM code = foreground ? RIM_INPUT : RIM_INPUTSINK;
            HRAWINPUT handle = (HRAWINPUT)(uintptr_t)(0x3E0004 + 4 * (b.next_raw++));
            b.raw_records.emplace_back(handle,
                                       simbus::raw_input_message(events.raw_device, code, report, len));
            if (b.raw_records.size() > 256)
                b.raw_records.pop_front();
            PostMessageA(t.hwndTarget, WM_INPUT, code, (LPARAM)handle);
        }
    }
    void hold_caller(uint32_t ms) override
    {
        bus().lock.unlock();
        Sleep(ms);
        bus().lock.lock();
    }
    void locked(const std::function<void()>& fn) override
    {
        std::lock_guard<std::mutex> held(bus().lock);
        fn();
    }
    Keyboard* keyboard(int number) override { return bus().keyboards[number == 1 ? 0 : 1].get(); }
    std::vector<simbus::HandleRegistration> handle_registrations() override
    {
        std::vector<simbus::HandleRegistration> regs;
        for (auto& r : bus().registrations)
            if (r.second.for_handle)
                regs.push_back({r.first, r.second.hwnd, r.second.handle, r.second.iface});
        return regs;
    }
    bool device_open(const std::vector<int>& ids) override
    {
        for (auto& f : bus().files)
            if (std::find(ids.begin(), ids.end(), f.second.iface) != ids.end())
                return true;
        return false;
    }
    // A query waits on the sending thread for the window's answer.
    void send_device_change(const simbus::HandleRegistration& r, WPARAM event, std::vector<uint8_t> payload,
                            std::function<void(LRESULT)> on_reply) override
    {
        if (!on_reply)
            return simwin::send_device_change(r.id, r.hwnd, event, std::move(payload));
        DWORD_PTR answer = 0;
        SendMessageTimeoutA(r.hwnd, WM_DEVICECHANGE, event, (LPARAM)payload.data(), SMTO_NORMAL, 30000,
                            &answer);
        on_reply((LRESULT)answer);
    }
    std::vector<HWND> top_level_windows() override { return process_windows(); }
    void send_message(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp,
                      std::function<void(LRESULT)> on_reply) override
    {
        DWORD_PTR answer = msg == WM_QUERYENDSESSION ? TRUE : 0;
        SendMessageTimeoutA(hwnd, msg, wp, lp, SMTO_NORMAL, 30000, &answer);
        if (on_reply)
            on_reply((LRESULT)answer);
    }
    bool& suspended() override { return bus().suspended; }
    bool kept_awake() override { return kept_awake_locked(); }
    std::string block_reason(HWND hwnd) override
    {
        // Looked up, not imported: Wine 8 has no ShutdownBlockReasonQuery
        // (the reason is then empty).
        typedef BOOL(WINAPI * Query)(HWND, LPWSTR, DWORD*);
        Query query =
            (Query)(void*)GetProcAddress(GetModuleHandleA("user32.dll"), "ShutdownBlockReasonQuery");
        WCHAR reason[256] = {0};
        DWORD size = 256;
        if (query)
            query(hwnd, reason, &size);
        char utf8[1024] = {0};
        WideCharToMultiByte(CP_UTF8, 0, reason, -1, utf8, sizeof(utf8), nullptr, nullptr);
        return utf8;
    }
    void end_process() override
    {
        if (g_session_ended)
            g_session_ended();
        ExitProcess(kEndedWithTheSession);
    }
};

}  // namespace

simbus::BusHost& bus_host()
{
    static WindowsBus host;
    return host;
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
        b.keyboards[0] = simbus::make_keyboard(bus_host(), 1, *keyboard, package, model_timing());
    if (keyboard2)
        b.keyboards[1] = simbus::make_keyboard(bus_host(), 2, *keyboard2, package, model_timing());
    for (auto& kb : b.keyboards)
        if (kb)
            simbus::plug_at_setup(*kb);
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
void bus_on_session_end(std::function<void()> fn)
{
    g_session_ended = std::move(fn);
}

void bus_action(const std::string& what)
{
    if (what == "query_remove" || what == "query_remove_vetoed")
        return queue_send([what] { simbus::query_remove(bus_host(), what == "query_remove_vetoed"); });
    if (what == "suspend" || what == "sleep" || what == "force_suspend" || what == "resume")
        return queue_send([what] { simbus::power_request(bus_host(), what); });
    if (what == "end_session" || what == "force_end_session")
        return queue_send([what] { simbus::end_session(bus_host(), what == "force_end_session"); });
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
        mouse.path = simbus::device_path(true, mouse.vid, mouse.pid, inst, kHidGuid);
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
