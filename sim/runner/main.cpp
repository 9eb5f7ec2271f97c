// tessel-sim: runs the unchanged tool in the simulated world, driven by a
// scenario, and writes what happens as a trace of JSON lines.
#include "models/ground_truth.h"  // before the product's headers, whose DFU names are macros

#include "bus/keyboard_bus.h"
#include "campaign.h"
#include "device_replay.h"
#include "run_scenario.h"
#include "scenario/engine.h"
#include "scenario/scenario.h"
#include "trace_text.h"
#include "world_view.h"

#include "app/app.h"
#include "common/globals.h"
#include "host/sim_core.h"
#include "host/sim_devices.h"

#include "package_facts.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

// The runner writes host files: it does not want the product's path mapping.
#undef fopen

#ifndef TESSEL_DEFAULT_PROGRAM
#define TESSEL_DEFAULT_PROGRAM "tessel-updater.exe"
#endif

namespace {

using Json = sim::Json;

enum { EXIT_REPLAY_DIVERGED = 124, EXIT_TIME_LIMIT = 125, EXIT_UNUSABLE = 126 };

FILE* g_out = stdout;
bool g_text_format = false;
bool g_ground_truth = false;  // the summary tells what the devices stored
std::string g_record_file;    // --record: the tool's own support trace of the run
runner::Scenario g_scenario;

[[noreturn]] void unusable(const std::string& message)
{
    std::fprintf(stderr, "tessel-sim: %s\n", message.c_str());
    std::exit(EXIT_UNUSABLE);
}

void usage()
{
    std::fprintf(
        stderr,
        "usage: tessel-sim [--trace FILE] [--program PACKAGED_EXE] [--format json|text] "
        "[--seed S] [--ground-truth] SCENARIO.json\n"
        "       tessel-sim --record TOOL_TRACE SCENARIO.json   (also writes the tool's own -trace= records)\n"
        "       tessel-sim --device-replay TOOL_TRACE [SCENARIO.json]\n"
        "       tessel-sim --campaign N [--seed S] [--jobs J] [--program PACKAGED_EXE]\n"
        "       tessel-sim --replay SCENARIO.json --variant V --seed S [--due] [--program PACKAGED_EXE]\n"
        "Runs tessel-updater in a simulated world with virtual time. SCENARIO.json may be -\n"
        "for standard input. --seed S (not 0) interleaves the tool's threads as seed S\n"
        "picks; the same seed gives the same trace. --ground-truth adds to the summary what\n"
        "the devices stored and run, held against the package (\"stored\"). Exit status: the\n"
        "tool's exit code; 125\n"
        "when the scenario's time limit came first; 126 for an unusable scenario or program.\n"
        "--campaign draws N scenarios from the fault space (campaign seed S), runs each in a\n"
        "process of its own under a seeded interleaving, J at a time, and checks every trace\n"
        "against the named invariants; a break prints the scenario, its package variant and\n"
        "seed for --replay, which runs it again and prints its trace. Exit status 0 when\n"
        "nothing broke, else 1.\n"
        "--device-replay plays a support trace (the tool's -trace=FILE, or --record) as the\n"
        "devices, with the recorded answers and delays, and the recorded user's actions (or\n"
        "SCENARIO's). At the first request the recording does not have next it stops: exit\n"
        "status 124, and standard error names the request, the one expected and its line.\n");
}

void write_record(const Json& record)
{
    std::string line = g_text_format ? runner::trace_as_text(record) : record.dump(-1, ' ', false);
    std::fputs(line.c_str(), g_out);
    std::fputc('\n', g_out);
}

// Another program (a backup, a virus scanner, an administrator's editor)
// holding the result log open without sharing: the tool's opens fail with
// a sharing violation until it lets go.
HANDLE g_held_log = INVALID_HANDLE_VALUE;

std::string result_log_windows_path()
{
    std::string windows_path = g_scenario.program_path;
    windows_path.erase(windows_path.find_last_of('\\') + 1);
    return windows_path + RESULT_LOG_NAME;
}

std::string read_all(std::istream& in);

// The tool sent what the recording does not have next: the run ends here.
[[noreturn]] void replay_diverged(const models::ReplayDivergence& d)
{
    std::fprintf(stderr, "tessel-sim: replay diverged at t=%llu: the tool sent %s; the recording %s%s\n",
                 (unsigned long long)sim::now_ms(), d.sent.c_str(),
                 d.line ? ("expected at line " + std::to_string(d.line) + ": ").c_str() : "had nothing more",
                 d.expected.c_str());
    sim::trace("replay_diverged", Json{{"sent", d.sent}, {"expected", d.expected}, {"line", d.line}});
    std::fflush(g_out);
    std::fflush(stderr);
    std::_Exit(EXIT_REPLAY_DIVERGED);
}

// The simulated world as the scenario engine drives it: virtual time, the
// user's input through the stand-in's windows, the devices' actions.
class SimulatedWorld : public runner::World {
public:
    uint64_t now_ms() override { return sim::now_ms(); }
    void run_at(uint64_t due_ms, std::function<void()> fn) override
    {
        sim::schedule_at(due_ms, std::move(fn));
    }
    void trace(const char* ev, const runner::Fields& fields) override { sim::trace(ev, fields); }

    void press_update() override
    {
        HWND main = sim::main_window();
        HWND button = main ? sim::child_by_id(main, IDC_UPDATE) : nullptr;
        if (button)
            sim::user_click_button(button);
    }
    void alt_u() override
    {
        if (HWND main = sim::main_window())
            sim::user_key(main, WM_SYSKEYUP, 'U');
    }
    void close() override
    {
        // The window's close box: in the window's queue behind the input
        // that came before it, as the user's clicks and keys are.
        if (HWND main = sim::main_window())
            sim::system_post(main, WM_CLOSE, 0, 0);
    }
    void answer_prompt(runner::PromptButton answer) override
    {
        HWND dlg = runner::restart_prompt();
        if (!dlg)
            return;
        if (answer == runner::PromptButton::Close)
            sim::system_send(dlg, WM_CLOSE, 0, 0);
        else if (HWND b = sim::child_by_id(dlg, answer == runner::PromptButton::RestartNow ? IDOK : IDCANCEL))
            sim::user_click_button(b);
    }
    void device_action(const std::string& action) override { sim::device_action(action); }

    bool hold_result_log() override
    {
        g_held_log = CreateFileA(result_log_windows_path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        return g_held_log != INVALID_HANDLE_VALUE;
    }
    void release_result_log() override
    {
        CloseHandle(g_held_log);
        g_held_log = INVALID_HANDLE_VALUE;
    }
    void make_result_log_read_only() override
    {
        // A read-only file is one that exists: an empty one unless the scenario brings it.
        std::string host = sim::map_path(result_log_windows_path().c_str());
        struct stat st;
        if (stat(host.c_str(), &st) != 0)
            std::ofstream(host, std::ios::binary).flush();
        sim::files_set_read_only(result_log_windows_path().c_str());
    }
    void fill_volume() override { sim::files_set_volume_full(true); }
    void remove_program_volume() override { sim::files_remove_program_volume(); }

    std::optional<std::string> read_result_log() override
    {
        // The tool's own name for it, found as Windows finds it (without regard to case).
        std::ifstream log(sim::map_path(result_log_windows_path().c_str()), std::ios::binary);
        if (!log)
            return std::nullopt;
        return read_all(log);
    }
    int reports_out(int keyboard) override
    {
        return keyboard == 2 ? sim::reports_out2() : sim::reports_out();
    }
    int dfu_blocks(int keyboard) override { return keyboard == 2 ? sim::dfu_blocks2() : sim::dfu_blocks(); }
    int violations() override { return sim::violations(); }
    void add_summary_fields(const char* next, runner::Fields& s) override
    {
        std::string field = next;
        if (field == "result_log") {
            s["log_view"] = runner::log_view_text();
        } else if (field == "state") {
            s["button"] = runner::button_summary();
            s["progress"] = runner::progress_pos();
        } else if (field == "violations") {
            s["stale_handle_writes"] = sim::stale_handle_writes();
            s["workers"] = sim::live_workers();
            s["most_workers"] = sim::most_live_workers();
        }
    }
};

SimulatedWorld g_world;
std::optional<runner::Engine> g_engine;

std::string read_all(std::istream& in)
{
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string make_program_dir()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/tessel-sim.XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        unusable(std::string("cannot create a scratch program directory: ") + std::strerror(errno));
    return buf.data();
}

void remove_tree(const std::string& dir)
{
    // Leaving a scratch folder behind is harmless.
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

Json summary(int exit_code, bool ended)
{
    Json s = Json::object();
    s["t"] = sim::now_ms();
    s["ev"] = "summary";
    g_engine->summary(s, ended ? Json(exit_code) : Json(nullptr));
    if (g_ground_truth) {
        sim::GroundTruth truth = sim::ground_truth();
        s["stored"] = {{"usb", truth.usb_stored},
                       {"usb_runs", truth.usb_runs},
                       {"bt", truth.bt_stored},
                       {"bt_runs", truth.bt_runs}};
    }
    return s;
}

}  // namespace

int main(int argc, char** argv)
{
    std::string trace_file, program = TESSEL_DEFAULT_PROGRAM, scenario_file;
    uint64_t seed = 0, campaign = 0, jobs = 1, variant = 0;
    bool has_variant = false;
    bool due = false;
    std::string replay, device_replay;
    auto number = [](const std::string& name, const std::string& v) {
        char* end = nullptr;
        uint64_t n = std::strtoull(v.c_str(), &end, 10);
        if (v.empty() || *end)
            unusable(name + " must be a decimal number");
        return n;
    };
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if ((a == "--campaign" || a == "--jobs" || a == "--replay" || a == "--variant") && i + 1 < argc) {
            std::string v = argv[++i];
            if (a == "--campaign")
                campaign = number(a, v);
            else if (a == "--jobs")
                jobs = number(a, v);
            else if (a == "--variant") {
                variant = number(a, v);
                has_variant = true;
            } else
                replay = v;
        } else if ((a == "--trace" || a == "--program" || a == "--format" || a == "--seed") && i + 1 < argc) {
            std::string v = argv[++i];
            if (a == "--seed") {
                seed = number(a, v);
            } else if (a == "--trace")
                trace_file = v;
            else if (a == "--program")
                program = v;
            else if (v == "text")
                g_text_format = true;
            else if (v != "json")
                unusable("--format must be json or text");
        } else if (a == "--device-replay" && i + 1 < argc) {
            device_replay = argv[++i];
        } else if (a == "--record" && i + 1 < argc) {
            g_record_file = argv[++i];
        } else if (a == "--ground-truth") {
            g_ground_truth = true;
        } else if (a == "--due") {
            due = true;
        } else if (a == "-h" || a == "--help") {
            usage();
            return 0;
        } else if (a.size() > 1 && a[0] == '-' && a != "-") {
            usage();
            return EXIT_UNUSABLE;
        } else if (scenario_file.empty()) {
            scenario_file = a;
        } else {
            usage();
            return EXIT_UNUSABLE;
        }
    }
    if (campaign > 0 || !replay.empty()) {
        runner::CampaignOptions o;
        o.program = program;
        o.jobs = jobs == 0 ? 1 : (int)jobs;
        if (!replay.empty()) {
            std::ifstream in(replay, std::ios::binary);
            if (!in)
                unusable("--replay: cannot read " + replay);
            o.replay_scenario = nlohmann::ordered_json::parse(read_all(in), nullptr, false);
            if (o.replay_scenario.is_discarded() || !o.replay_scenario.is_object())
                unusable("--replay: not a scenario");
            o.replay_variant = has_variant ? (int)variant : 0;
            o.replay_seed = seed;
            o.replay_due = due;
            o.count = 1;
            o.keep_trace = true;
        } else {
            o.count = campaign;
            o.seed = seed == 0 ? 1 : seed;
        }
        return runner::run_campaign(o);
    }
    if (scenario_file.empty() && device_replay.empty()) {
        usage();
        return EXIT_UNUSABLE;
    }

    std::string text;
    if (scenario_file.empty()) {
        text = "{}";
    } else if (scenario_file == "-") {
        text = read_all(std::cin);
    } else {
        std::ifstream in(scenario_file, std::ios::binary);
        if (!in)
            unusable("cannot read scenario " + scenario_file);
        text = read_all(in);
    }
    std::string error;
    runner::Scenario scenario;
    if (!runner::parse_scenario(text, scenario, error))
        unusable(error);
    if (!device_replay.empty()) {
        std::ifstream in(device_replay, std::ios::binary);
        if (!in)
            unusable("cannot read recording " + device_replay);
        static runner::DeviceRecording recording;
        int notice =
            !scenario_file.empty() && scenario.has_keyboard ? scenario.keyboard.removal_notice_ms : 0;
        if (!runner::read_device_recording(read_all(in), recording, error, notice))
            unusable(device_replay + ": " + error);
        runner::apply_recording(recording, scenario_file.empty(), scenario);
        simbus::set_model_factory([](const models::KeyboardSettings& s, models::KeyboardHost host) {
            auto model = std::make_unique<models::ReplayModel>(
                s, std::move(host), recording.plan,
                [](const models::ReplayDivergence& d) { replay_diverged(d); });
            model->start();
            return std::unique_ptr<models::KeyboardModel>(std::move(model));
        });
    }

    struct stat st;
    if (stat(program.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        unusable("program " + program + ": cannot read it");
    // The devices are rehearsed against the package as read here, not as the
    // tool reads it.
    sim::PackageFacts package;
    {
        std::string why;
        if (!sim::read_package_facts(program, package, why))
            unusable("program " + program + ": " + why);
    }

    if (!trace_file.empty()) {
        g_out = std::fopen(trace_file.c_str(), "wb");
        if (!g_out)
            unusable("cannot write trace " + trace_file);
    }

    int status = runner::run_scenario(scenario, program, package, seed, write_record);
    std::fflush(g_out);
    if (g_out != stdout)
        std::fclose(g_out);
    std::fflush(stdout);
    // Simulated threads may still be blocked; end the process without joining them.
    std::_Exit(status);
}

void runner::report_ground_truth(bool on)
{
    g_ground_truth = on;
}

namespace {
std::vector<std::string> g_skip;
std::function<void(uint64_t, const char*)> g_skip_tick;
}  // namespace

void runner::skip_records(std::vector<std::string> events,
                          std::function<void(uint64_t t, const char* ev)> tick)
{
    g_skip = std::move(events);
    g_skip_tick = std::move(tick);
}

int runner::run_scenario(const runner::Scenario& scenario, const std::string& program,
                         const sim::PackageFacts& package, uint64_t seed, const runner::RecordSink& sink)
{
    g_scenario = scenario;

    std::string program_dir = make_program_dir();
    for (auto& f : g_scenario.files) {
        std::ofstream out(program_dir + "/" + f.first, std::ios::binary);
        out << f.second;
        if (!out)
            unusable("files." + f.first + ": cannot write it");
    }

    sim::WorldConfig config;
    config.program_path = g_scenario.program_path;
    config.program_file = program;
    config.program_dir = program_dir;
    config.langid = g_scenario.langid;
    config.lcid = g_scenario.lcid;
    config.year = g_scenario.year;
    config.month = g_scenario.month;
    config.day = g_scenario.day;
    config.hour = g_scenario.hour;
    config.minute = g_scenario.minute;
    config.second = g_scenario.second;
    config.other_instance = g_scenario.other_instance;
    config.until_ms = g_scenario.until;
    config.interleave_seed = seed;
    config.events_anywhere = g_scenario.events_anywhere;
    sim::configure(config);

    g_engine.emplace(g_scenario, g_world, seed);
    sim::set_trace_sink([&sink](const Json& record) {
        g_engine->before_record(record["ev"].get_ref<const std::string&>());
        sink(record);
        g_engine->after_record(record);
    });
    sim::set_poll_hook([] { g_engine->poll(); });
    if (!g_skip.empty())
        sim::set_trace_skip(g_skip, [](const char* ev) {
            g_engine->poll();
            g_skip_tick(sim::now_ms(), ev);
        });

    sim::devices_setup(g_scenario.has_keyboard ? &g_scenario.keyboard : nullptr, package,
                       g_scenario.has_keyboard2 ? &g_scenario.keyboard2 : nullptr);

    g_engine->schedule_timed_events();

    // Why a run stopped, as the tool records it, goes into the trace too.
    trace_set_cause_hook([](const char* fields) {
        Json j = Json::parse(std::string("{") + fields + "}", nullptr, false);
        if (!j.is_discarded())
            sim::trace("cause", j);
    });
    if (!g_record_file.empty()) {
        FILE* record = std::fopen(g_record_file.c_str(), "wb");
        if (!record)
            unusable("cannot write --record " + g_record_file);
        trace_open_stream(record);
        trace_text_record("start", "args", g_scenario.args.c_str());
    }

    sim::trace("start", Json{{"args", g_scenario.args}});
    g_engine->setup_result_log();
    int code = sim::run_entry(g_scenario.args, WinMain);
    trace_close();
    bool ended = !sim::run_timed_out();
    g_engine->poll();
    if (ended)
        sim::trace("exit", Json{{"code", code}});
    sim::set_trace_sink(nullptr);
    sink(summary(code, ended));
    remove_tree(program_dir);
    return ended ? code : EXIT_TIME_LIMIT;
}
