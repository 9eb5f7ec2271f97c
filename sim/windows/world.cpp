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
#include "scenario/engine.h"
#include "scenario/scenario.h"

#include <commctrl.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
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
// Records go out one at a time; the engine's state and result records are
// written from inside another record's turn.
std::recursive_mutex g_trace_lock;
FILE* g_trace = nullptr;
runner::Scenario g_scenario;
std::optional<runner::Engine> g_engine;
int g_last_enabled = -1;
HWND g_prompt = nullptr;
std::string g_program_dir;

uint64_t now_ms()
{
    return (uint64_t)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - g_t0).count();
}

void trace(const std::string& ev, Json r)
{
    std::lock_guard<std::recursive_mutex> held(g_trace_lock);
    g_engine->before_record(ev);
    if (!g_trace)
        return;
    r["t"] = now_ms();
    r["ev"] = ev;
    std::string line = r.dump(-1, ' ', false);
    fputs(line.c_str(), g_trace);
    fputc('\n', g_trace);
    fflush(g_trace);
    g_engine->after_record(runner::Fields(r));
}

void poll()
{
    std::lock_guard<std::recursive_mutex> held(g_trace_lock);
    g_engine->poll();
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
            poll();
        }
    }
    return CallNextHookEx(nullptr, code, wp, lp);
}

std::string read_file(const std::string& path, bool* ok)
{
    std::ifstream in(path, std::ios::binary);
    *ok = (bool)in;
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void click(HWND button)
{
    if (button && IsWindowEnabled(button))
        PostMessageA(button, BM_CLICK, 0, 0);
}

// The world of this process as the scenario engine drives it: real time,
// the user's input as messages to the tool's windows, the simulated bus.
class WindowsWorld : public runner::World {
public:
    uint64_t now_ms() override { return ::now_ms(); }
    void run_at(uint64_t due_ms, std::function<void()> fn) override
    {
        std::thread([due_ms, fn] {
            std::this_thread::sleep_until(g_t0 + std::chrono::milliseconds(due_ms));
            fn();
        }).detach();
    }
    void trace(const char* ev, const runner::Fields& fields) override { ::trace(ev, Json(fields)); }

    void press_update() override
    {
        HWND main = g_main_wnd;
        click(main ? GetDlgItem(main, IDC_UPDATE) : nullptr);
    }
    void alt_u() override
    {
        if (HWND main = g_main_wnd)
            PostMessageA(main, WM_SYSKEYUP, 'U', (LPARAM)(0xC0000001u | (1u << 29)));
    }
    void close() override
    {
        if (HWND main = g_main_wnd)
            PostMessageA(main, WM_CLOSE, 0, 0);
    }
    void answer_prompt(runner::PromptButton answer) override
    {
        HWND dlg = g_prompt;
        if (dlg && answer == runner::PromptButton::Close)
            PostMessageA(dlg, WM_CLOSE, 0, 0);
        else if (dlg)
            click(GetDlgItem(dlg, answer == runner::PromptButton::RestartNow ? IDOK : IDCANCEL));
    }
    void device_action(const std::string& action) override
    {
        simwin::bus_action(action);  // devices, and the system's removal and power requests
    }

    // Another program (a backup, a virus scanner, an editor) holding the
    // result log open without sharing: a real handle of this process.
    bool hold_result_log() override
    {
        m_held_log = CreateFileA(result_log().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        return m_held_log != INVALID_HANDLE_VALUE;
    }
    void release_result_log() override
    {
        HANDLE h = m_held_log.exchange(INVALID_HANDLE_VALUE);
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
    }
    void make_result_log_read_only() override
    {
        // A read-only file is one that exists: an empty one unless the scenario brings it.
        HANDLE h = CreateFileA(result_log().c_str(), GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        SetFileAttributesA(result_log().c_str(), FILE_ATTRIBUTE_READONLY);
    }
    void fill_volume() override { simwin::files_setup(g_program_dir, result_log(), true); }
    void remove_program_volume() override { simwin::files_remove_program_volume(); }

    std::optional<std::string> read_result_log() override
    {
        // The log is read as the user finds it afterwards: the program that
        // held it has let go (its handle shares nothing).
        release_result_log();
        bool ok = false;
        std::string log = read_file(result_log(), &ok);
        // The folder is left as it was found, for the next run.
        if (g_scenario.result_log == "read_only")
            SetFileAttributesA(result_log().c_str(), FILE_ATTRIBUTE_NORMAL);
        if (!ok)
            return std::nullopt;
        return log;
    }
    int reports_out(int keyboard) override { return simwin::bus_reports_out(keyboard); }
    int dfu_blocks(int keyboard) override { return simwin::bus_dfu_blocks(keyboard); }
    int violations() override { return simwin::bus_violations(); }

    static std::string result_log() { return g_program_dir + RESULT_LOG_NAME; }

private:
    std::atomic<HANDLE> m_held_log{INVALID_HANDLE_VALUE};
};

WindowsWorld g_world;

void summary(const Json& exit_code)
{
    runner::Fields s = runner::Fields::object();
    g_engine->summary(s, runner::Fields(exit_code));
    trace("summary", Json(s));
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
    g_engine.emplace(g_scenario, g_world, 0);
    trace("start", Json{{"args", cmdline ? cmdline : ""}});
    SetWindowsHookExW(WH_CALLWNDPROC, watch, nullptr, GetCurrentThreadId());
    simwin::files_setup(g_program_dir, WindowsWorld::result_log(), false);
    g_engine->setup_result_log();
    simwin::bus_start(
        g_scenario.has_keyboard ? &g_scenario.keyboard : nullptr, package,
        [](const char* ev, const std::string& fields) { trace(ev, Json::parse(fields)); },
        g_scenario.has_keyboard2 ? &g_scenario.keyboard2 : nullptr);
    simwin::bus_on_session_end([] {
        trace("exit", Json{{"code", simwin::kEndedWithTheSession}});
        summary(Json(simwin::kEndedWithTheSession));
        std::lock_guard<std::recursive_mutex> held(g_trace_lock);
        fclose(g_trace);
        g_trace = nullptr;
    });
    g_engine->schedule_timed_events();
    // State and result changes that no message or device event brings along.
    std::thread([] {
        for (;;) {
            Sleep(1);
            poll();
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
        std::lock_guard<std::recursive_mutex> held(g_trace_lock);
        fclose(g_trace);
        g_trace = nullptr;
    }
    return code;
}
