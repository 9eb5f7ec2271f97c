// tessel-updater-sim.exe: the tool on real Windows (or Wine) with the
// simulated keyboard behind its device calls. This file is its entry point:
// it reads a scenario (the tessel-sim format, times in real milliseconds),
// plugs the keyboard into the simulated bus, performs the scenario's events,
// watches the tool through what Windows lets a process see of its own
// windows (a WH_CALLWNDPROC hook on the UI thread) and of its globals, writes
// the trace, and calls the tool's own entry point.
//
// Environment (the tool's command line stays its own):
//   TESSEL_SIM_SCENARIO  the scenario file (default: a keyboard attached, no events)
//   TESSEL_SIM_TRACE     the trace file (default: tessel-sim-trace.jsonl beside the program)
//   TESSEL_SIM_SEED      random device timing from this seed (default: none)
#include "sim/windows/bus.h"
#include "sim/windows/device_calls.h"

#include "app/app.h"
#include "common/globals.h"
#include "scenario/scenario.h"

#include <commctrl.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

// This file defines the process's entry point; the tool's is simdev_tool_main.
#undef WinMain

namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

Clock::time_point g_t0;
std::mutex g_trace_lock;
FILE* g_trace = nullptr;
runner::Scenario g_scenario;
std::vector<bool> g_fired;
uint8_t g_last_state = 0;
uint32_t g_last_result = 1;
int g_last_enabled = -1;
HWND g_prompt = nullptr;
std::string g_program_dir;

uint64_t now_ms()
{
    return (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - g_t0).count();
}

void perform(const std::string& action);

void schedule(uint64_t at_ms, const std::string& action)
{
    std::thread([at_ms, action] {
        std::this_thread::sleep_until(g_t0 + std::chrono::milliseconds(at_ms));
        perform(action);
    }).detach();
}

void check_triggers(const std::string& ev, const Json& r)
{
    for (size_t i = 0; i < g_scenario.events.size(); i++) {
        const runner::Event& e = g_scenario.events[i];
        if (e.at || g_fired[i])
            continue;
        bool hit = false;
        if (e.on == "button_enabled")
            hit = ev == "button" && r.value("enabled", false);
        else if (e.on == "prompt")
            hit = ev == "prompt" && r.value("open", false);
        else if (e.on.rfind("log:", 0) == 0)
            hit = ev == "log" && r.value("text", std::string()).find(e.on.substr(4)) != std::string::npos;
        if (!hit)
            continue;
        g_fired[i] = true;
        schedule(now_ms() + e.after, e.action);
    }
}

// With the trace lock held.
void write_locked(const std::string& ev, Json r)
{
    if (!g_trace)
        return;
    r["t"] = now_ms();
    r["ev"] = ev;
    std::string line = r.dump(-1, ' ', false);
    fputs(line.c_str(), g_trace);
    fputc('\n', g_trace);
    fflush(g_trace);
    check_triggers(ev, r);
}

// With the trace lock held: state and result changes since the last look.
void poll_locked()
{
    uint8_t state = g_update_state.load();
    if (state != g_last_state) {
        g_last_state = state;
        write_locked("state", Json{{"value", state}});
    }
    uint32_t result = g_update_result.load();
    if (result != g_last_result) {
        g_last_result = result;
        write_locked("result", Json{{"value", result}});
    }
}

void trace(const std::string& ev, const Json& fields)
{
    std::lock_guard<std::mutex> held(g_trace_lock);
    poll_locked();
    write_locked(ev, fields);
}

std::string utf8(const wchar_t* w)
{
    if (!w)
        return std::string();
    int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1)
        return std::string();
    std::string s((size_t)n - 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w, -1, &s[0], n, nullptr, nullptr);
    return s;
}

// What the tool does to its own windows, seen before each message reaches
// the window procedure (messages sent to the UI thread's windows).
LRESULT CALLBACK watch(int code, WPARAM wp, LPARAM lp)
{
    if (code == HC_ACTION) {
        const CWPSTRUCT* m = (const CWPSTRUCT*)lp;
        HWND main = g_main_wnd;
        bool child = main && GetParent(m->hwnd) == main;
        int id = child ? GetDlgCtrlID(m->hwnd) : 0;
        if (child && id == IDC_LOG && m->message == EM_REPLACESEL) {
            trace("log", Json{{"text", utf8((const wchar_t*)m->lParam)}});
        } else if (child && id == IDC_PROGRESS && m->message == PBM_SETPOS) {
            trace("progress", Json{{"pos", (int)m->wParam}});
        } else if (child && id == IDC_PROGRESS && m->message == WM_SHOWWINDOW && m->wParam) {
            trace("progress_shown", Json::object());
        } else if (child && id == IDC_UPDATE && m->message == WM_ENABLE) {
            int enabled = m->wParam ? 1 : 0;
            if (enabled != g_last_enabled) {
                g_last_enabled = enabled;
                trace("button", Json{{"enabled", enabled == 1}});
            }
        } else if (child && id == IDC_UPDATE && m->message == WM_SETTEXT) {
            trace("button_text", Json{{"text", utf8((const wchar_t*)m->lParam)}});
        } else if (m->message == WM_INITDIALOG && !g_prompt) {
            g_prompt = m->hwnd;
            trace("prompt", Json{{"open", true}});
        } else if (m->hwnd == g_prompt &&
                   (m->message == WM_DESTROY || (m->message == WM_SHOWWINDOW && !m->wParam) ||
                    (m->message == WM_WINDOWPOSCHANGED &&
                     (((const WINDOWPOS*)m->lParam)->flags & SWP_HIDEWINDOW)))) {
            // EndDialog takes a modeless dialog off the screen; the window stays.
            g_prompt = nullptr;
            trace("prompt", Json{{"open", false}});
        } else {
            std::lock_guard<std::mutex> held(g_trace_lock);
            poll_locked();
        }
    }
    return CallNextHookEx(nullptr, code, wp, lp);
}

// Another program (a backup, a virus scanner, an editor) holding the result
// log open without sharing: a real handle of this process.
HANDLE g_held_log = INVALID_HANDLE_VALUE;

void hold_result_log()
{
    if (g_held_log != INVALID_HANDLE_VALUE)
        return;
    g_held_log = CreateFileA((g_program_dir + RESULT_LOG_NAME).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                             nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    trace("file", Json{{"what", "held"}, {"ok", g_held_log != INVALID_HANDLE_VALUE}});
}

// The result log as the scenario's `result_log` has it from the start.
void setup_result_log()
{
    const std::string& fault = g_scenario.result_log;
    std::string path = g_program_dir + RESULT_LOG_NAME;
    simwin::files_setup(g_program_dir, path, fault == "volume_full");
    if (fault == "locked") {
        hold_result_log();
    } else if (fault == "read_only") {
        // A read-only file is one that exists: an empty one unless the scenario brings it.
        HANDLE h =
            CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY);
        trace("file", Json{{"what", "read_only"}});
    } else if (fault == "volume_full") {
        trace("file", Json{{"what", "volume_full"}});
    }
}

void click(HWND button)
{
    if (button && IsWindowEnabled(button))
        PostMessageA(button, BM_CLICK, 0, 0);
}

void perform(const std::string& action)
{
    HWND main = g_main_wnd;
    trace("user", Json{{"do", action}});
    if (action == "press_update") {
        click(main ? GetDlgItem(main, IDC_UPDATE) : nullptr);
    } else if (action == "alt_u") {
        if (main)
            PostMessageA(main, WM_SYSKEYUP, 'U', (LPARAM)(0xC0000001u | (1u << 29)));
    } else if (action == "close") {
        if (main)
            PostMessageA(main, WM_CLOSE, 0, 0);
    } else if (action == "hold_result_log") {
        hold_result_log();
    } else if (action == "release_result_log") {
        if (g_held_log != INVALID_HANDLE_VALUE) {
            CloseHandle(g_held_log);
            g_held_log = INVALID_HANDLE_VALUE;
            trace("file", Json{{"what", "released"}});
        }
    } else if (action == "program_volume_gone") {
        simwin::files_remove_program_volume();
        trace("file", Json{{"what", "volume_gone"}});
    } else if (action == "restart_now" || action == "restart_later" || action == "close_prompt") {
        HWND dlg = g_prompt;
        if (dlg && action == "close_prompt")
            PostMessageA(dlg, WM_CLOSE, 0, 0);
        else if (dlg)
            click(GetDlgItem(dlg, action == "restart_now" ? IDOK : IDCANCEL));
    } else {
        simwin::bus_action(action);  // devices, and the system's removal and power requests
    }
}

std::string read_file(const std::string& path, bool* ok)
{
    std::ifstream in(path, std::ios::binary);
    *ok = (bool)in;
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void summary(const Json& exit_code)
{
    Json s;
    s["exit_code"] = exit_code;
    bool ok = false;
    // The log is read as the user finds it afterwards: the program that held
    // it has let go (its handle shares nothing).
    if (g_held_log != INVALID_HANDLE_VALUE) {
        CloseHandle(g_held_log);
        g_held_log = INVALID_HANDLE_VALUE;
    }
    std::string log = read_file(g_program_dir + RESULT_LOG_NAME, &ok);
    // The folder is left as it was found, for the next run.
    if (g_scenario.result_log == "read_only")
        SetFileAttributesA((g_program_dir + RESULT_LOG_NAME).c_str(), FILE_ATTRIBUTE_NORMAL);
    s["result_log"] = ok ? Json(log) : Json(nullptr);
    s["state"] = g_update_state.load();
    s["reports_out"] = simwin::bus_reports_out();
    s["dfu_blocks"] = simwin::bus_dfu_blocks();
    if (g_scenario.has_keyboard2) {
        s["reports_out_kb2"] = simwin::bus_reports_out(2);
        s["dfu_blocks_kb2"] = simwin::bus_dfu_blocks(2);
    }
    s["violations"] = simwin::bus_violations();
    trace("summary", s);
}

[[noreturn]] void unusable(const std::string& why)
{
    fprintf(stderr, "tessel-updater-sim: %s\n", why.c_str());
    fflush(stderr);
    ExitProcess(126);
}

}  // namespace

int WINAPI WinMain(HINSTANCE inst, HINSTANCE prev, LPSTR cmdline, int show)
{
    char module[MAX_PATH];
    DWORD n = GetModuleFileNameA(nullptr, module, sizeof(module));
    std::string program(module, n);
    g_program_dir = program.substr(0, program.find_last_of('\\') + 1);

    const char* scenario_file = getenv("TESSEL_SIM_SCENARIO");
    std::string text = "{\"keyboard\":{}}";
    if (scenario_file && *scenario_file) {
        bool ok = false;
        text = read_file(scenario_file, &ok);
        if (!ok)
            unusable(std::string("cannot read scenario ") + scenario_file);
    }
    std::string error;
    if (!runner::parse_scenario(text, g_scenario, error))
        unusable(error);
    sim::PackageFacts package;
    if (!sim::read_package_facts(program, package, error))
        unusable("program " + program + ": " + error);
    for (auto& f : g_scenario.files) {
        std::ofstream out(g_program_dir + f.first, std::ios::binary);
        out << f.second;
    }
    const char* trace_file = getenv("TESSEL_SIM_TRACE");
    std::string trace_path =
        trace_file && *trace_file ? trace_file : g_program_dir + "tessel-sim-trace.jsonl";
    g_trace = fopen(trace_path.c_str(), "wb");
    if (!g_trace)
        unusable("cannot write trace " + trace_path);
    if (const char* seed = getenv("TESSEL_SIM_SEED"))
        simwin::bus_set_jitter((uint32_t)strtoul(seed, nullptr, 10));

    g_t0 = Clock::now();
    g_fired.assign(g_scenario.events.size(), false);
    trace("start", Json{{"args", cmdline ? cmdline : ""}});
    SetWindowsHookExW(WH_CALLWNDPROC, watch, nullptr, GetCurrentThreadId());
    setup_result_log();
    simwin::bus_start(
        g_scenario.has_keyboard ? &g_scenario.keyboard : nullptr, package,
        [](const char* ev, const std::string& fields) { trace(ev, Json::parse(fields)); },
        g_scenario.has_keyboard2 ? &g_scenario.keyboard2 : nullptr);
    simwin::bus_on_session_end([] {
        trace("exit", Json{{"code", simwin::kEndedWithTheSession}});
        summary(Json(simwin::kEndedWithTheSession));
        std::lock_guard<std::mutex> held(g_trace_lock);
        fclose(g_trace);
        g_trace = nullptr;
    });
    for (const runner::Event& e : g_scenario.events)
        if (e.at)
            schedule(*e.at, e.action);
    // State and result changes that no message or device event brings along.
    std::thread([] {
        for (;;) {
            Sleep(1);
            std::lock_guard<std::mutex> held(g_trace_lock);
            poll_locked();
        }
    }).detach();
    uint64_t until = g_scenario.until;
    std::thread([until] {
        std::this_thread::sleep_until(g_t0 + std::chrono::milliseconds(until));
        summary(Json(nullptr));
        ExitProcess(125);
    }).detach();

    int code = simdev_tool_main(inst, prev, cmdline, show);

    trace("exit", Json{{"code", code}});
    summary(Json(code));
    {
        std::lock_guard<std::mutex> held(g_trace_lock);
        fclose(g_trace);
        g_trace = nullptr;
    }
    return code;
}
