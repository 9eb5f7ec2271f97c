// Helpers of the tests that run the tool, or parts of it, in the simulated
// world. The world is process-wide and runs once per process, so each such
// test runs in a child process of its own, in one of two ways:
// - death-test style (in_world, run_tool): the child checks with CHECK and
//   ends with exit code 0 when every check passed;
// - with a report (run_world): the child sends back what it saw as JSON and
//   the test checks it in the parent.
#pragma once

#include "app/app.h"
#include "common/globals.h"
#include "package/messages.h"
#include "host/sim_core.h"
#include "host/sim_devices.h"
#include "host/sim_windows.h"

#include "package_facts.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

// Checks inside a child process: a failure names the place and ends the
// child with exit code 3, which the parent's EXPECT_EXIT reports.
#define CHECK(cond)                                                                                          \
    do {                                                                                                     \
        if (!(cond)) {                                                                                       \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);                    \
            std::_Exit(3);                                                                                   \
        }                                                                                                    \
    } while (0)
#define CHECK_EQ(a, b)                                                                                       \
    do {                                                                                                     \
        long long a_ = (long long)(a), b_ = (long long)(b);                                                  \
        if (a_ != b_) {                                                                                      \
            std::fprintf(stderr, "%s:%d: %s == %lld, expected %s == %lld\n", __FILE__, __LINE__, #a, a_, #b, \
                         b_);                                                                                \
            std::_Exit(3);                                                                                   \
        }                                                                                                    \
    } while (0)
#define CHECK_STR(a, b)                                                                                      \
    do {                                                                                                     \
        std::string a_ = (a), b_ = (b);                                                                      \
        if (a_ != b_) {                                                                                      \
            std::fprintf(stderr, "%s:%d: \"%s\"\n   expected \"%s\"\n", __FILE__, __LINE__, a_.c_str(),      \
                         b_.c_str());                                                                        \
            std::_Exit(3);                                                                                   \
        }                                                                                                    \
    } while (0)

// A death-test style case whose child must end with exit code 0.
#define WORLD_TEST(body) EXPECT_EXIT(body, ::testing::ExitedWithCode(0), "")

namespace worldtest {

using Json = sim::Json;

// ------------------------------------------------------------ files

inline std::string make_dir()
{
    char templ[] = "/tmp/tessel-world.XXXXXX";
    CHECK(mkdtemp(templ) != nullptr);
    return templ;
}

inline std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

inline bool exists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

// ------------------------------------------------------------ trace

struct Rec {
    uint64_t t;
    std::string ev;
    Json f;
};

// Every trace record of the run in this process, once record_trace() was called.
inline std::vector<Rec>& records()
{
    static std::vector<Rec> v;
    return v;
}

inline std::vector<Rec> records_of(const std::string& ev)
{
    std::vector<Rec> out;
    for (const Rec& r : records())
        if (r.ev == ev)
            out.push_back(r);
    return out;
}

inline void record_trace()
{
    sim::set_trace_sink([](const Json& r) {
        records().push_back(Rec{r.value("t", (uint64_t)0), r.value("ev", std::string()), r});
    });
}

// ------------------------------------------------------------ the world

inline const char* const kSampleProgram = TESSEL_SAMPLE_DIR "/tessel-updater.exe";
inline const char* const kBareProgram = TESSEL_SAMPLE_DIR "/bare.exe";  // no package

// The program directory of the run (a fresh host folder).
inline std::string g_dir;

struct WorldSetup {
    const sim::KeyboardConfig* keyboard = nullptr;  // none
    std::string program_file = kSampleProgram;
    std::string program_path = "C:\\Tessel\\tessel-updater.exe";
    uint64_t until_ms = 180000;
    bool other_instance = false;
};

// What the devices know of the package in `program_file`, read on their own
// terms (a program without a readable package leaves them the defaults).
inline sim::PackageFacts package_facts(const std::string& program_file)
{
    sim::PackageFacts facts;
    std::string error;
    if (!sim::read_package_facts(program_file, facts, error))
        facts = sim::PackageFacts();
    return facts;
}

// Configures the world: the program file, a fresh program directory, the
// trace recorded, and the keyboard (or none) attached, rehearsed against the
// program's package.
inline void set_world(const WorldSetup& setup)
{
    g_dir = make_dir();
    sim::WorldConfig c;
    c.program_path = setup.program_path;
    c.program_file = setup.program_file;
    c.program_dir = g_dir;
    c.until_ms = setup.until_ms;
    c.other_instance = setup.other_instance;
    sim::configure(c);
    record_trace();
    sim::devices_setup(setup.keyboard, package_facts(setup.program_file));
}

inline void set_world(const sim::KeyboardConfig* keyboard)
{
    WorldSetup setup;
    setup.keyboard = keyboard;
    set_world(setup);
}

// ------------------------------------------------------------ the tool's pieces

// Start-up as the entry point makes it, without the message loop; the probe
// timer is killed unless `keep_probe`.
inline HWND create_main_window(const char* args = "", bool keep_probe = false)
{
    parse_command_line(args);
    g_background_brush = CreateSolidBrush(GetSysColor(COLOR_BTNFACE));
    g_ui_font = CreateFontA(15, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, "Arial");
    WNDCLASSA wc = {};
    wc.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    wc.lpfnWndProc = main_wnd_proc;
    wc.hbrBackground = g_background_brush;
    wc.lpszClassName = APP_CLASS_NAME;
    CHECK(RegisterClassA(&wc) != 0);
    HWND w = CreateWindowExA(WS_EX_CONTROLPARENT, APP_CLASS_NAME, APP_TITLE,
                             WS_OVERLAPPEDWINDOW | (g_silent ? 0 : WS_VISIBLE), CW_USEDEFAULT, CW_USEDEFAULT,
                             640, 240, nullptr, nullptr, g_instance, nullptr);
    CHECK(w != nullptr);
    CHECK(g_main_wnd == w);
    if (!keep_probe)
        KillTimer(w, TIMER_PROBE);
    return w;
}

// A plain message loop for the stand-in's own tests: dialog keys for the
// given windows, then translation and dispatch, until WM_QUIT or an error;
// returns the quit code. The tool's loop is serve_next_message.
inline int message_loop(HWND dialog_main = nullptr, HWND* dialog_other = nullptr)
{
    MSG msg;
    for (;;) {
        BOOL r = GetMessageA(&msg, nullptr, 0, 0);
        if (r == 0 || r == -1)
            return static_cast<int>(msg.wParam);
        if (dialog_main && IsDialogMessageA(dialog_main, &msg))
            continue;
        if (dialog_other && *dialog_other && IsDialogMessageA(*dialog_other, &msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

// The entry point's own loop over the main window and the restart prompt.
inline void pump()
{
    MSG msg;
    while (serve_next_message(&msg))
        ;
}

const UINT_PTR kTickTimer = 77;

// Serves the UI thread's messages until `done` holds (checked at least every
// 5 ms of virtual time), WM_QUIT arrives or `max_ms` have passed.
inline bool pump_until(const std::function<bool()>& done, uint64_t max_ms = 200000)
{
    uint64_t end = sim::now_ms() + max_ms;
    SetTimer(g_main_wnd, kTickTimer, 5, nullptr);
    MSG msg;
    while (!done() && sim::now_ms() < end) {
        if (!serve_next_message(&msg))
            return done();
    }
    KillTimer(g_main_wnd, kTickTimer);
    return done();
}

inline void pump_for(uint64_t ms)
{
    uint64_t end = sim::now_ms() + ms;
    pump_until([end] { return sim::now_ms() >= end; });
}

// A control of the main window (g_main_wnd), or nullptr.
inline sim::Window* main_control(int id)
{
    return sim::window_of(sim::child_by_id(g_main_wnd, id));
}

inline std::string log_text()
{
    sim::Window* w = main_control(IDC_LOG);
    return w ? w->text_utf8() : std::string();
}

inline bool button_enabled()
{
    sim::Window* w = main_control(IDC_UPDATE);
    return w && w->enabled;
}

inline std::string message(unsigned n)
{
    char text[256];
    return load_message(n, text);
}

// ------------------------------------------------------------ death-test style

// Runs `body` as the simulated UI thread in this (child) process and ends
// the process with 0 when every check passed.
template <typename F>
[[noreturn]] void in_world(const WorldSetup& setup, F body)
{
    set_world(setup);
    int code = sim::run_function([&] {
        body();
        return 0;
    });
    std::error_code ec;
    std::filesystem::remove_all(g_dir, ec);
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(code);
}

template <typename F>
[[noreturn]] void in_world(const sim::KeyboardConfig* keyboard, F body)
{
    WorldSetup setup;
    setup.keyboard = keyboard;
    in_world(setup, body);
}

// Runs the whole tool (its entry point) with `args`; `setup` (if any) may
// schedule world callbacks before it starts; `after` (if any) checks the
// outcome with the tool's exit code. Returns that exit code.
inline int run_entry_in_world(const WorldSetup& world, const char* args, const std::function<void()>& setup,
                              const std::function<void(int)>& after)
{
    set_world(world);
    if (setup)
        setup();
    int code = sim::run_entry(args, WinMain);
    if (after)
        after(code);
    std::error_code ec;
    std::filesystem::remove_all(g_dir, ec);
    std::fflush(stdout);
    std::fflush(stderr);
    return code;
}

// As run_entry_in_world; the child ends with 0 once `after` has passed.
[[noreturn]] inline void run_tool(const sim::KeyboardConfig* keyboard, const char* args,
                                  const std::function<void()>& setup, const std::function<void(int)>& after)
{
    WorldSetup world;
    world.keyboard = keyboard;
    run_entry_in_world(world, args, setup, after);
    std::_Exit(0);
}

// The fixture of death-test style cases (the world's threads live on).
class WorldTest : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

// ------------------------------------------------------------ with a report

struct ChildRun {
    int status = -1;  // the child's exit status; 0 when it reported back
    int code = -1;    // what run_function returned
    bool timed_out = false;
    uint64_t end_ms = 0;      // virtual time at the end of the run
    std::vector<Json> trace;  // every trace record of the run
    Json out;                 // what the UI function and `after` stored
    double real_ms = 0;       // wall-clock time of the whole child

    std::vector<Json> events(const std::string& ev) const
    {
        std::vector<Json> found;
        for (const Json& r : trace)
            if (r.value("ev", "") == ev)
                found.push_back(r);
        return found;
    }
};

// Runs one world in a child process and brings back what the child saw.
// `ui` runs as the simulated UI thread and may store findings in `out`;
// `after` runs on the test's thread once the run is over (inspection).
// `before` runs on the test's thread before the run starts. The child is
// killed after `limit_s` real seconds.
inline ChildRun run_world(const std::function<int(Json& out)>& ui,
                          sim::WorldConfig config = sim::WorldConfig(),
                          const std::function<void(Json& out)>& after = nullptr, unsigned limit_s = 20,
                          const std::function<void()>& before = nullptr)
{
    ChildRun result;
    int fds[2];
    if (pipe(fds) != 0)
        return result;
    std::fflush(nullptr);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        alarm(limit_s);
        Json out = Json::object();
        sim::configure(config);
        record_trace();
        if (before)
            before();
        int code = sim::run_function([&ui, &out] { return ui(out); });
        sim::set_trace_sink(nullptr);
        if (after)
            after(out);
        Json trace = Json::array();
        for (const Rec& r : records())
            trace.push_back(r.f);
        Json report = Json::object();
        report["code"] = code;
        report["timed_out"] = sim::run_timed_out();
        report["end_ms"] = sim::now_ms();
        report["trace"] = trace;
        report["out"] = out;
        std::string text = report.dump();
        for (size_t done = 0; done < text.size();) {
            ssize_t n = write(fds[1], text.data() + done, text.size() - done);
            if (n <= 0)
                break;
            done += static_cast<size_t>(n);
        }
        close(fds[1]);
        std::_Exit(0);
    }
    close(fds[1]);
    std::string text;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fds[0], buf, sizeof buf);
        if (n <= 0)
            break;
        text.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    result.real_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    Json report = Json::parse(text, nullptr, false);
    if (report.is_discarded() || !report.is_object()) {
        result.status = result.status ? result.status : 255;
        return result;
    }
    result.code = report["code"].get<int>();
    result.timed_out = report["timed_out"].get<bool>();
    result.end_ms = report["end_ms"].get<uint64_t>();
    for (const Json& r : report["trace"])
        result.trace.push_back(r);
    result.out = report["out"];
    return result;
}

// A window class whose procedure records what it receives in g_recorded
// (and answers with g_recorder_hook when one is set).
struct Recorded {
    HWND hwnd;
    UINT msg;
    WPARAM wp;
    LPARAM lp;
    DWORD thread;
    uint64_t t;
};
inline std::vector<Recorded> g_recorded;
inline std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)> g_recorder_hook;

inline LRESULT CALLBACK recorder_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    g_recorded.push_back(Recorded{hwnd, msg, wp, lp, GetCurrentThreadId(), sim::now_ms()});
    if (g_recorder_hook)
        return g_recorder_hook(hwnd, msg, wp, lp);
    return DefWindowProcA(hwnd, msg, wp, lp);
}

// Registers class `name` with the recording procedure.
inline void register_recorder(const char* name)
{
    WNDCLASSA wc{};
    wc.lpfnWndProc = recorder_proc;
    wc.lpszClassName = name;
    RegisterClassA(&wc);
}

}  // namespace worldtest
