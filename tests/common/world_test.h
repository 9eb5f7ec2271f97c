// The one way tests run a world. The world is process-wide and runs once per
// process, so every run happens in a child process of this one: the child
// writes the trace as JSON lines (and, for a run in this program, a report)
// into a scratch folder, and the parent reads them back (WorldRun):
// - run_world: a function of the test as the simulated UI thread;
// - run_tool:  the tool's entry point with a command line;
// - run_sim:   tessel-sim on a scenario (the scenario engine's actions).
// Checks inside the child use CHECK: a failure names the place and ends the
// child with exit code 3, which the parent sees as the run's status;
// in_world runs a body made of such checks and expects a clean end.
#pragma once

#include "app/app.h"
#include "common/globals.h"
#include "package/messages.h"
#include "host/sim_core.h"
#include "host/sim_devices.h"
#include "host/sim_windows.h"

#include "common/temp_folder.h"
#include "package_facts.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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

namespace worldtest {

// Trace records, reports and scenarios: keys stay in the order they came.
using Json = sim::Json;
using json = Json;
using testing_support::TempFolder;

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

// ------------------------------------------------------------ the trace

// A trace: its records in order, and the ways tests find them.
struct Trace {
    std::vector<json> records;
    std::string text;  // as JSON lines, when read from them

    void add(const json& record) { records.push_back(record); }
    void clear() { records.clear(); }
    // Every record of JSON-lines `text` (blank lines skipped).
    void read(const std::string& lines_text)
    {
        text = lines_text;
        std::istringstream lines(text);
        std::string line;
        while (std::getline(lines, line))
            if (!line.empty())
                records.push_back(Json::parse(line));
    }
    std::vector<json> events(const std::string& ev) const
    {
        std::vector<json> out;
        for (const json& r : records)
            if (r.value("ev", "") == ev)
                out.push_back(r);
        return out;
    }
    // Field `key` of every record of `ev`, in order.
    template <typename T>
    std::vector<T> values(const std::string& ev, const std::string& key) const
    {
        std::vector<T> out;
        for (const json& r : events(ev))
            out.push_back(r[key].get<T>());
        return out;
    }
    const json* first(const std::string& ev) const
    {
        for (const json& r : records)
            if (r.value("ev", "") == ev)
                return &r;
        return nullptr;
    }
    // The last record when it is tessel-sim's summary.
    const json& summary() const
    {
        static const json none;
        return !records.empty() && records.back().value("ev", "") == "summary" ? records.back() : none;
    }
    // The `log` texts, one after the other.
    std::string log_text() const
    {
        std::string s;
        for (const json& r : events("log"))
            s += r.value("text", "");
        return s;
    }
    // Time of the first record of `ev` whose `key` is `value`; -1 when none.
    long long time_of(const std::string& ev, const std::string& key, const json& value) const
    {
        for (const json& r : records)
            if (r.value("ev", "") == ev && r.contains(key) && r[key] == value)
                return r.value("t", -1LL);
        return -1;
    }
    const json* control(int id) const
    {
        for (const json& r : records)
            if (r.value("ev", "") == "control" && r["id"].is_number() && r["id"].get<int>() == id)
                return &r;
        return nullptr;
    }
};

// The trace so far, inside the child that runs the world.
inline Trace& trace()
{
    static Trace t;
    return t;
}

// ------------------------------------------------------------ the world

inline const char* const kSampleProgram = TESSEL_SAMPLE_DIR "/tessel-updater.exe";
inline const char* const kBareProgram = TESSEL_SAMPLE_DIR "/bare.exe";  // no package

// The program directory of the run in the child (a fresh host folder unless
// the World names one).
inline std::string g_dir;

struct World : sim::WorldConfig {
    World() { program_file = kSampleProgram; }
    // The keyboard attached (none: nullptr), rehearsed against the program's package.
    const sim::KeyboardConfig* keyboard = nullptr;
    // In the child: before the run, once the world is set up (world
    // callbacks may be scheduled), and after it, for inspection.
    std::function<void()> before;
    std::function<void(Json& out)> after;
};

inline World with_keyboard(const sim::KeyboardConfig* keyboard)
{
    World w;
    w.keyboard = keyboard;
    return w;
}

// A world whose child runs `after` once the run is over.
inline World after_run(std::function<void(Json& out)> after)
{
    World w;
    w.after = std::move(after);
    return w;
}

struct WorldRun : Trace {
    int status = -1;  // the child's exit status: 0 once it reported; tessel-sim's own
    int code = -1;    // the tool's (or the function's) exit code
    bool timed_out = false;
    uint64_t end_ms = 0;  // virtual time at the end of the run
    Json out;             // what the function and `after` stored
    std::string error;    // tessel-sim's standard error
    double real_ms = 0;   // wall-clock time of the whole child
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

// With TESSEL_TRACE_ARCHIVE naming a folder, every trace is kept there as
// <Suite>.<Test>-<n>.jsonl, n counting the runs of one test from 1, so that
// the traces of two builds can be compared file by file.
inline void archive_trace(const std::string& text)
{
    const char* folder = std::getenv("TESSEL_TRACE_ARCHIVE");
    if (!folder || !*folder)
        return;
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = info ? std::string(info->test_suite_name()) + "." + info->name() : "none";
    for (char& c : name)
        if (c == '/')
            c = '_';
    static std::map<std::string, int> runs;
    int n = ++runs[name];
    mkdir(folder, 0777);
    std::ofstream(std::string(folder) + "/" + name + "-" + std::to_string(n) + ".jsonl", std::ios::binary)
        << text;
}

// Runs `child` in a child process with a scratch folder, where it leaves
// trace.jsonl and, when it `reports`, report.json; reads both back.
inline WorldRun run_child(bool reports, const std::function<void(const TempFolder&)>& child,
                          bool archived = true)
{
    TempFolder folder("tessel-world");
    std::fflush(nullptr);
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        child(folder);
        std::fflush(nullptr);
        std::_Exit(0);
    }
    WorldRun run;
    int status = 0;
    waitpid(pid, &status, 0);
    run.real_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    std::string text = slurp(folder / "trace.jsonl");
    if (archived)
        archive_trace(text);
    run.read(text);
    run.error = slurp(folder / "stderr.txt");
    Json report = Json::parse(slurp(folder / "report.json"), nullptr, false);
    if (reports && !report.is_object()) {
        run.status = run.status ? run.status : 255;  // ended without a report
    } else if (reports) {
        run.code = report["code"].get<int>();
        run.timed_out = report["timed_out"].get<bool>();
        run.end_ms = report["end_ms"].get<uint64_t>();
        run.out = report["out"];
    } else {
        // tessel-sim: its exit status is the tool's exit code, or 125 at the time limit
        run.code = run.status;
        run.timed_out = run.status == 125;
        run.end_ms = run.summary().is_object() ? run.summary().value("t", 0ULL) : 0;
    }
    return run;
}

// In the child: the world set up as `world` says, `body` run in it, and the
// report written; `body` returns what run_function or run_entry gave.
inline void world_child(const TempFolder& folder, const World& world,
                        const std::function<int(Json& out)>& body)
{
    sim::WorldConfig config = world;
    if (config.program_dir.empty()) {
        config.program_dir = folder / "program";
        mkdir(config.program_dir.c_str(), 0777);
    }
    g_dir = config.program_dir;
    sim::configure(config);
    std::string text;
    sim::set_trace_sink([&text](const Json& r) {
        text += r.dump(-1, ' ', false) + "\n";
        trace().add(r);
    });
    sim::devices_setup(world.keyboard, package_facts(world.program_file));
    if (world.before)
        world.before();
    Json out = Json::object();
    int code = body(out);
    sim::set_trace_sink(nullptr);
    if (world.after)
        world.after(out);
    std::ofstream(folder / "trace.jsonl", std::ios::binary) << text;
    Json report = {
        {"code", code}, {"timed_out", sim::run_timed_out()}, {"end_ms", sim::now_ms()}, {"out", out}};
    std::ofstream(folder / "report.json", std::ios::binary) << report.dump();
}

// Runs `body` in this program's world, in a child that must report back
// (a CHECK that failed in it ends it without a report).
inline WorldRun run_reporting(const World& world, const std::function<int(Json& out)>& body)
{
    WorldRun run = run_child(true, [&](const TempFolder& folder) { world_child(folder, world, body); });
    EXPECT_EQ(run.status, 0) << "the world's child ended without its report (a check failed: see above)";
    return run;
}

// Runs `ui` as the simulated UI thread; it may store findings in `out`.
inline WorldRun run_world(const std::function<int(Json& out)>& ui, const World& world = World())
{
    return run_reporting(world,
                         [&ui](Json& out) { return sim::run_function([&ui, &out] { return ui(out); }); });
}

// Runs the whole tool, its entry point, with `args`.
inline WorldRun run_tool(const World& world, const std::string& args)
{
    return run_reporting(world, [&args](Json&) { return sim::run_entry(args, WinMain); });
}

// Runs `body`, made of CHECKs, as the UI thread; it must end with every
// check passed.
template <typename F>
WorldRun in_world(const World& world, F body)
{
    WorldRun run = run_world(
        [&body](Json&) {
            body();
            return 0;
        },
        world);
    EXPECT_EQ(run.code, 0);
    return run;
}

template <typename F>
WorldRun in_world(const sim::KeyboardConfig* keyboard, F body)
{
    return in_world(with_keyboard(keyboard), body);
}

// Runs the tool's entry point with `args`: `before` may schedule world
// callbacks, `after` checks (CHECK) what the run left.
inline WorldRun tool_in_world(World world, const std::string& args, std::function<void()> before,
                              std::function<void()> after)
{
    world.before = std::move(before);
    world.after = [after](Json&) {
        if (after)
            after();
    };
    return run_tool(world, args);
}

// What a replay of a run's recording must give again: the devices' traffic
// and what the user sees of the run.
inline std::vector<json> replayed_part(const Trace& t)
{
    std::vector<json> out;
    for (const json& r : t.records) {
        std::string ev = r.value("ev", "");
        if (ev == "kb_out" || ev == "kb_in" || ev == "dfu" || ev == "device" || ev == "log" || ev == "exit" ||
            ev == "cause")
            out.push_back(r);
        else if (ev == "summary")
            out.push_back(
                {{"result_log", r.value("result_log", json())}, {"exit_code", r.value("exit_code", json())}});
    }
    return out;
}

// Runs tessel-sim on `scenario` with `extra_args`. Every run is checked for
// protocol violations by the tool (the summary's `violations` must be 0)
// unless `violations_expected`. The tool's own recording of the run
// (--record) is then played back as the devices (--device-replay with the
// same scenario's user and system actions), which must give the same device
// traffic, log texts, causes and result.
inline WorldRun run_sim(const json& scenario, const std::vector<std::string>& extra_args = {},
                        bool violations_expected = false)
{
    TempFolder recorded("tessel-record");
    auto run_once = [&](const std::vector<std::string>& mode, bool archived) {
        return run_child(
            false,
            [&](const TempFolder& folder) {
                // written as tessel-sim's users write it: keys in alphabetical order
                std::ofstream(folder / "scenario.json", std::ios::binary)
                    << nlohmann::json::parse(scenario.dump()).dump();
                std::vector<std::string> args = {TESSEL_SIM, "--trace", folder / "trace.jsonl"};
                args.insert(args.end(), mode.begin(), mode.end());
                args.insert(args.end(), extra_args.begin(), extra_args.end());
                args.push_back(folder / "scenario.json");
                std::vector<char*> argv;
                for (std::string& a : args)
                    argv.push_back(&a[0]);
                argv.push_back(nullptr);
                int err = open((folder / "stderr.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
                dup2(err, 2);
                execv(TESSEL_SIM, argv.data());
                std::_Exit(127);
            },
            archived);
    };
    WorldRun run = run_once({"--record", recorded / "record.jsonl"}, true);
    // Seeded interleavings draw on the devices' own events, which a replay
    // does not make alike; a second keyboard is not recorded apart.
    bool seeded = std::find(extra_args.begin(), extra_args.end(), "--seed") != extra_args.end();
    if (run.status != 126 && !scenario.contains("keyboard2") && !seeded) {
        WorldRun replay = run_once({"--device-replay", recorded / "record.jsonl"}, false);
        EXPECT_EQ(replay.status, run.status) << "replay of the run's recording: " << replay.error;
        std::vector<json> want = replayed_part(run), got = replayed_part(replay);
        size_t i = 0;
        while (i < want.size() && i < got.size() && want[i] == got[i])
            i++;
        EXPECT_TRUE(i == want.size() && i == got.size())
            << "replay of the run's recording differs at its record " << i << ": "
            << (i < want.size() ? want[i].dump() : "(none)") << " vs "
            << (i < got.size() ? got[i].dump() : "(none)") << "\n"
            << replay.error;
    }
    const json& summary = run.summary();
    if (!violations_expected && summary.contains("violations")) {
        EXPECT_EQ(summary["violations"], 0) << "the tool broke a device protocol rule; see the trace's "
                                               "violation records";
    }
    return run;
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
