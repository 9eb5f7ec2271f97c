#include "campaign.h"
#include "run_scenario.h"
#include "scenario.h"

#include "package_facts.h"
#include "platform/host/sim_core.h"

#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

// The campaign writes host files: it does not want the product's path mapping.
#undef fopen

namespace runner {

namespace {

using json = nlohmann::ordered_json;

// splitmix64: the same draws on every machine.
struct Rng {
    uint64_t s;
    uint64_t next()
    {
        uint64_t z = (s += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    int below(int n) { return n <= 0 ? 0 : (int)(next() % (uint64_t)n); }
    bool chance(int percent) { return below(100) < percent; }
    template <typename T>
    const T& pick(const std::vector<T>& v) { return v[(size_t)below((int)v.size())]; }
};

// The package variants a campaign draws from: one INI line replaced in the
// packaged program's text (the package is rebuilt around it).
struct Variant {
    const char* name;
    const char* line;         // as in the sample INI
    const char* replacement;  // "" for the sample itself
};
const std::vector<Variant> kVariants = {
    {"sample", "", ""},
    {"transfer-32", "INI_DFU_TRANSFER_SIZE=64", "INI_DFU_TRANSFER_SIZE=32"},
    {"transfer-1024", "INI_DFU_TRANSFER_SIZE=64", "INI_DFU_TRANSFER_SIZE=1024"},
    {"detach-delay", "INI_DFU_DETACH_DELAY=0", "INI_DFU_DETACH_DELAY=2000"},
    {"downgrade-allowed", "INI_ALLOW_DOWNGRADE=0", "INI_ALLOW_DOWNGRADE=1"},
    {"nxp-0352", "INI_VER_NXP=0353", "INI_VER_NXP=0352"},
};

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// The packaged program with one INI line replaced: the INI text is plain
// text inside the package, and the tool finds its end by its marker, so a
// line of another length only moves what follows it.
bool write_variant(const std::string& sample, const Variant& v, const std::string& out, std::string& bytes)
{
    bytes = read_file(sample);
    if (bytes.empty())
        return false;
    if (*v.line) {
        size_t at = bytes.find(v.line);
        if (at == std::string::npos)
            return false;
        bytes.replace(at, std::strlen(v.line), v.replacement);
    }
    std::ofstream o(out, std::ios::binary);
    o << bytes;
    return (bool)o;
}

json event_at(uint64_t at, const std::string& what) { return {{"at", at}, {"do", what}}; }
json event_on(const std::string& on, uint64_t after, const std::string& what)
{
    return {{"on", on}, {"after", after}, {"do", what}};
}

json draw_scenario(Rng& r)
{
    json s = json::object();
    bool silent = r.chance(30);
    std::vector<std::string> args = {"", "-lang=1", "-lang=6", "-lang=29"};
    s["args"] = silent ? std::string("-silent") : r.pick(args);
    std::vector<std::pair<int, int>> locales = {{1033, 1033}, {1036, 1036}, {2052, 2052}, {1041, 1041}};
    auto loc = r.pick(locales);
    s["locale"] = {{"langid", loc.first}, {"lcid", loc.second}};

    if (!r.chance(8)) {
        json k = json::object();
        k["identity"] = 1 + r.below(2);
        k["mode"] = r.chance(15) ? "bootloader" : "normal";
        k["attached"] = !r.chance(10);
        // Often already at the package's versions: a run must then still not
        // end verified without a download.
        k["nxp"] = r.pick(std::vector<int>{0x0352, 0x0352, 0x0353, 0x0353, 0x0354, 0x1352, 0});
        k["bt"] = r.pick(std::vector<int>{0xA23F, 0xA23F, 0xA23F, 0x011E, 0x0120, 0});
        k["bt_ready"] = !r.chance(15);
        k["checksum"] = r.pick(std::vector<std::string>{"correct", "correct", "correct", "wrong", "none"});
        k["finish_ack"] = !r.chance(15);
        k["returns"] = !r.chance(15);
        if (r.chance(10))
            k["nxp_after"] = r.pick(std::vector<int>{0x0352, 0x0353, 0x0400});
        if (r.chance(10))
            k["bt_after"] = r.pick(std::vector<int>{0xA23F, 0x011E, 0xA240});
        if (r.chance(8))
            k["hang_after_reports"] = r.below(1200);
        if (r.chance(15))
            k["runtime_dfu"] = true;
        json b = json::object();
        b["identity"] = 1 + r.below(2);
        b["poll_ms"] = r.pick(std::vector<int>{0, 1, 5, 5, 5, 50, 4000, 1000000});
        b["busy_polls"] = r.pick(std::vector<int>{0, 1, 1, 3});
        if (r.chance(12))
            b["error_at_block"] = r.below(700);
        b["manifest_polls"] = r.pick(std::vector<int>{0, 2, 2, 10});
        b["fail_transfers"] = r.chance(10);
        if (r.chance(20))
            b["manifestation_tolerant"] = true;
        // Not drawn: a boot loader without bitWillDetach waits for a USB reset
        // after manifestation or after DFU_DETACH, and the tool has no way
        // to reset a device (WinUSB offers none); such devices are outside
        // what it supports.
        if (r.chance(10))
            b["strict_poll"] = true;
        k["bootloader"] = b;
        s["keyboard"] = k;
    }

    json ev = json::array();
    if (!silent) {
        if (r.chance(85))
            ev.push_back(event_on("button_enabled", (uint64_t)r.below(3000), r.chance(85) ? "press_update" : "alt_u"));
        ev.push_back(event_on("log:within 20 seconds", 1000 + (uint64_t)r.below(6000), "detach"));
        ev.push_back(event_on("log:within 20 seconds", 3000 + (uint64_t)r.below(8000), "attach"));
        ev.push_back(event_on("prompt", 500 + (uint64_t)r.below(2000), "restart_later"));
    }
    if (r.chance(30)) {
        // The user re-plugs the keyboard while the USB stage runs.
        uint64_t after = (uint64_t)r.below(8000);
        ev.push_back(event_on("log:DFU DOWNLOAD", after, "detach"));
        ev.push_back(event_on("log:DFU DOWNLOAD", after + 500 + (uint64_t)r.below(3000), "attach"));
    }
    std::vector<std::string> world = {"detach",  "attach", "query_remove", "suspend", "sleep",
                                      "resume",  "hid_arrival", "close", "press_update", "alt_u",
                                      "force_suspend"};
    int extra = r.below(5);
    for (int i = 0; i < extra; i++)
        ev.push_back(event_at((uint64_t)r.below(90000), r.pick(world)));
    if (!silent)
        ev.push_back(event_at(100000 + (uint64_t)r.below(50000), "close"));
    s["events"] = ev;
    s["until"] = 170000;
    return s;
}

struct Trace {
    std::vector<json> records;
    const json* summary = nullptr;
};

// The named invariants every trace must keep; the names of those broken.
std::vector<std::string> check(const Trace& t, int status, const json& scenario, uint64_t expected_blocks)
{
    std::vector<std::string> broken;
    if (!t.summary) {
        broken.push_back("the run ends with a summary (status " + std::to_string(status) + ")");
        return broken;
    }
    const json& s = *t.summary;
    std::string log = s["result_log"].is_string() ? s["result_log"].get<std::string>() : "";
    std::vector<std::string> lines;
    for (size_t a = 0; a < log.size();) {
        size_t e = log.find("\r\n", a);
        if (e == std::string::npos) {
            lines.push_back(log.substr(a));
            break;
        }
        lines.push_back(log.substr(a, e - a));
        a = e + 2;
    }

    // Stages and runs as the trace shows them.
    int runs = 0;
    int last_result = 1;
    uint8_t state = 0;
    bool in_run = false, bt_confirmed = false, bt_sent = false, download_after_bad_bt = false;
    int data_blocks = 0;
    bool final_request = false;
    long long last_t = 0, longest_quiet = 0;
    for (const json& r : t.records) {
        const std::string ev = r.value("ev", "");
        long long now = r.value("t", 0LL);
        if (in_run && ev != "summary") {
            if (now - last_t > longest_quiet)
                longest_quiet = now - last_t;
        }
        if (ev != "summary")
            last_t = now;
        if (ev == "state") {
            uint8_t v = r["value"].get<uint8_t>();
            if (state == 0 && v != 0) {
                runs++;
                in_run = true;
                bt_confirmed = bt_sent = false;
                data_blocks = 0;
                final_request = false;
            }
            if (v == 2)
                bt_sent = true;
            if (v == 3 && bt_sent)
                bt_confirmed = true;
            if (v == 0)
                in_run = false;
            state = v;
        } else if (ev == "result") {
            last_result = r["value"].get<int>();
        } else if (ev == "dfu" && r.value("req", "") == "DNLOAD") {
            if (r.value("length", 0) > 0) {
                data_blocks++;
                if (bt_sent && !bt_confirmed)
                    download_after_bad_bt = true;
            } else {
                final_request = true;
            }
        }
    }

    bool exited = s["exit_code"].is_number();
    int exit_code = exited ? s["exit_code"].get<int>() : -1;
    bool other_instance = scenario.value("other_instance", false);

    // 1. Success only with a whole download that was ended, and the
    //    package's versions.
    bool success = (exited && exit_code == 0) || (!lines.empty() && lines.back().rfind("OK: ", 0) == 0);
    if (success && (uint64_t)data_blocks < expected_blocks)
        broken.push_back("success only after the whole image was downloaded (" + std::to_string(data_blocks) +
                         " of " + std::to_string(expected_blocks) + " blocks)");
    if (success && !final_request)
        broken.push_back("success only after the download was ended and manifested");
    // 2. The exit code is the result of the last stage reached.
    if (exited && !other_instance && exit_code != last_result && !(exit_code == 2 && runs == 0))
        broken.push_back("the exit code equals the last result (" + std::to_string(exit_code) + " against " +
                         std::to_string(last_result) + ")");
    // 3. One whole result line per finished run.
    for (const std::string& l : lines) {
        bool whole = l.size() >= 30 && (l.rfind("OK: ", 0) == 0 || l.rfind("NG: ", 0) == 0) &&
                     l.find(" error=") != std::string::npos;
        if (!whole)
            broken.push_back("every result line is whole: \"" + l + "\"");
    }
    int finished = runs - ((!exited && state != 0) ? 1 : 0);
    bool refused_silently = scenario.value("args", "") == "-silent" && runs == 0;
    if (!refused_silently && (int)lines.size() != finished && !(runs == 0 && lines.size() == 1))
        broken.push_back("one result line per finished run (" + std::to_string(lines.size()) + " lines, " +
                         std::to_string(finished) + " runs)");
    // 4. No write through a closed keyboard handle.
    if (s.value("stale_handle_writes", 0) != 0)
        broken.push_back("no write through a closed keyboard handle");
    // 5. At most one worker at a time.
    if (s.value("most_workers", 0) > 1)
        broken.push_back("at most one worker at a time");
    // 6. No DFU download after an unconfirmed Bluetooth checksum.
    if (download_after_bad_bt)
        broken.push_back("no DFU download after an unconfirmed Bluetooth checksum");
    // 7. No hidden hang: the longest quiet time of a run stays under the
    //    longest wait the tool makes on purpose (the manifestation's 60 s).
    if (longest_quiet > 61000)
        broken.push_back("no quiet time over 61 s during a run (" + std::to_string(longest_quiet) + " ms)");
    // 8. No state left behind without a worker.
    if (!exited && s.value("state", 0) != 0 && s.value("workers", 0) == 0)
        broken.push_back("no state left behind without a worker (state " +
                         std::to_string(s.value("state", 0)) + ")");
    // 9. The host keeps every rule of the devices' protocols.
    if (s.value("violations", 0) != 0) {
        std::string rules;
        for (const json& r : t.records)
            if (r.value("ev", "") == "violation" && rules.size() < 200)
                rules += (rules.empty() ? "" : ", ") + r.value("rule", std::string());
        broken.push_back("zero protocol violations (" + rules + ")");
    }
    for (const json& r : t.records)
        if (r.value("ev", "") == "fault") {
            broken.push_back("no fault: " + r.value("what", std::string()));
            break;
        }
    return broken;
}

// A package variant as the runs see it: its file, its bytes (the tool reads
// them from memory) and its package as the devices are rehearsed against it.
struct Program {
    std::string path;
    std::string bytes;
    sim::PackageFacts facts;
    bool facts_read = false;
};

// What a run tells the campaign: the invariants it broke and how it ended
// ("exit N" or "until"), judged in the run's own process. A JSON object, so
// that a run can tell more.
json run_report(const Trace& t, int status, const json& scenario, uint64_t expected_blocks)
{
    json report = json::object();
    report["broken"] = check(t, status, scenario, expected_blocks);
    if (t.summary) {
        const json& s = *t.summary;
        report["outcome"] =
            s["exit_code"].is_number() ? "exit " + std::to_string(s["exit_code"].get<int>()) : "until";
    }
    return report;
}

// Runs one scenario in a process of its own, forked from the campaign (which
// never runs a world itself): the run is judged there and its report comes
// back as one line through the pipe whose reading end is `*report_fd`. With a
// `trace_file`, the run also writes its trace there.
pid_t run_one(const Program& program, const json& scenario, uint64_t seed, uint64_t expected_blocks,
              const std::string& trace_file, int* report_fd)
{
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    std::fflush(stdout);
    std::fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        if (!std::freopen("/dev/null", "w", stderr))
            _exit(127);
        Scenario parsed;
        std::string error;
        if (!parse_scenario(scenario.dump(), parsed, error) || !program.facts_read)
            _exit(126);
        sim::set_program_bytes((const uint8_t*)program.bytes.data(), program.bytes.size());
        FILE* out = trace_file.empty() ? nullptr : std::fopen(trace_file.c_str(), "wb");
        Trace t;
        t.records.reserve(8192);
        int status = run_scenario(parsed, program.path, program.facts, seed, [&](const json& record) {
            t.records.push_back(record);
            if (out) {
                std::string line = record.dump(-1, ' ', false);
                std::fputs(line.c_str(), out);
                std::fputc('\n', out);
            }
        });
        if (out)
            std::fclose(out);
        if (!t.records.empty() && t.records.back().value("ev", "") == "summary")
            t.summary = &t.records.back();
        // A text cut from the tool's output may end inside a character: the
        // report is sent all the same.
        std::string line = run_report(t, status, scenario, expected_blocks)
                               .dump(-1, ' ', false, json::error_handler_t::replace) +
                           "\n";
        for (size_t at = 0; at < line.size();) {
            ssize_t n = write(fds[1], line.data() + at, line.size() - at);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            at += (size_t)n;
        }
        // Simulated threads may still be blocked; end without joining them.
        _exit(status);
    }
    close(fds[1]);
    if (pid < 0) {
        close(fds[0]);
        return -1;
    }
    *report_fd = fds[0];
    return pid;
}

}  // namespace

int run_campaign(const CampaignOptions& o)
{
    // Scratch files (the variants, every run's program folder) go to memory
    // where the system offers it, unless TMPDIR says where: a run makes and
    // removes its folder within milliseconds, and a disk under load makes
    // every run wait for its journal.
    const char* tmp = std::getenv("TMPDIR");
    struct stat shm;
    if ((!tmp || !*tmp) && stat("/dev/shm", &shm) == 0 && S_ISDIR(shm.st_mode) &&
        access("/dev/shm", W_OK | X_OK) == 0)
        setenv("TMPDIR", "/dev/shm", 1);
    std::string dir = std::filesystem::temp_directory_path().string() + "/tessel-campaign-" +
                      std::to_string(getpid());
    std::filesystem::create_directories(dir);
    // The USB image of the sample: what follows the Bluetooth image, which
    // follows the INI text's end marker line.
    uint64_t usb_length = 0;
    {
        std::string bytes = read_file(o.program);
        size_t marker = bytes.find("S__=END_OF_FILE");
        size_t lf = marker == std::string::npos ? marker : bytes.find('\n', marker);
        if (lf != std::string::npos && bytes.size() > lf + 1 + 32768)
            usb_length = bytes.size() - (lf + 1 + 32768);
    }
    // Every variant is made and read once, here; the runs are forked from
    // this process and find them in memory.
    std::vector<Program> programs;
    for (const Variant& v : kVariants) {
        Program p;
        p.path = dir + "/" + v.name + ".exe";
        if (!write_variant(o.program, v, p.path, p.bytes)) {
            std::fprintf(stderr, "campaign: cannot make the package variant %s\n", v.name);
            return 126;
        }
        std::string why;
        p.facts_read = sim::read_package_facts(p.path, p.facts, why);
        programs.push_back(std::move(p));
    }

    struct Job {
        uint64_t index;
        json scenario;
        uint64_t seed;
        size_t variant;
        uint64_t expected;
        std::string trace;
        int fd = -1;
        std::string report;
    };
    std::map<pid_t, Job> running;
    std::map<std::string, int> outcomes;  // "exit N" or "until", with the last line's error=
    uint64_t next = 0, done = 0, breaks = 0;
    auto start = [&](uint64_t i) {
        Rng r{o.seed * 0x100000001B3ull + i};
        Job j;
        j.index = i;
        j.variant = o.replay_variant >= 0 ? (size_t)o.replay_variant : (size_t)r.below((int)programs.size());
        j.scenario = o.replay_scenario.is_null() ? draw_scenario(r) : o.replay_scenario;
        j.seed = o.replay_seed ? o.replay_seed : (r.next() | 1);
        // Blocks of the whole image for this variant's transfer size.
        uint64_t size = std::string(kVariants[j.variant].name) == "transfer-32"     ? 32
                        : std::string(kVariants[j.variant].name) == "transfer-1024" ? 1024
                                                                                    : 64;
        j.expected = (usb_length + size - 1) / size;
        if (o.keep_trace)
            j.trace = dir + "/t" + std::to_string(i) + ".jsonl";
        pid_t pid = run_one(programs[j.variant], j.scenario, j.seed, j.expected, j.trace, &j.fd);
        if (pid < 0) {
            std::fprintf(stderr, "campaign: cannot start a run: %s\n", std::strerror(errno));
            std::exit(126);
        }
        running[pid] = std::move(j);
    };
    auto finish = [&](Job& j, int status) {
        done++;
        int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        json report = json::parse(j.report, nullptr, false);
        std::vector<std::string> broken;
        if (report.is_object() && report.contains("broken")) {
            broken = report["broken"].get<std::vector<std::string>>();
            if (report.contains("outcome"))
                outcomes[report["outcome"].get<std::string>()]++;
        } else {
            // The run ended before it could judge itself: judged here on
            // the nothing it told.
            broken = check(Trace(), code, j.scenario, j.expected);
        }
        if (!broken.empty()) {
            breaks++;
            std::fflush(stdout);
            std::fprintf(o.keep_trace ? stderr : stdout,
                         "BREAK scenario %llu (variant %s, interleaving seed %llu):\n",
                         (unsigned long long)j.index, kVariants[j.variant].name, (unsigned long long)j.seed);
            FILE* out = o.keep_trace ? stderr : stdout;
            for (const std::string& b : broken)
                std::fprintf(out, "  broken: %s\n", b.c_str());
            std::fprintf(out, "  scenario: %s\n", j.scenario.dump().c_str());
            std::fprintf(out, "  replay: tessel-sim --replay SCENARIO.json --variant %zu --seed %llu\n",
                         j.variant, (unsigned long long)j.seed);
        }
        if (o.keep_trace) {
            std::ifstream in(j.trace, std::ios::binary);
            std::cout << in.rdbuf() << std::flush;
            std::remove(j.trace.c_str());
        }
    };
    while (done < o.count) {
        while (next < o.count && running.size() < (size_t)o.jobs)
            start(next++);
        // Read every run's report as it comes; a run has ended when its
        // pipe does.
        std::vector<pollfd> fds;
        for (const auto& [pid, j] : running)
            fds.push_back({j.fd, POLLIN, 0});
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "campaign: poll: %s\n", std::strerror(errno));
            return 126;
        }
        std::vector<pid_t> ended;
        size_t k = 0;
        for (auto& [pid, j] : running) {
            const pollfd& p = fds[k++];
            if (!p.revents)
                continue;
            char buf[65536];
            ssize_t n = read(j.fd, buf, sizeof(buf));
            if (n > 0)
                j.report.append(buf, (size_t)n);
            else if (n == 0 || errno != EINTR)
                ended.push_back(pid);
        }
        for (pid_t pid : ended) {
            Job j = std::move(running[pid]);
            running.erase(pid);
            close(j.fd);
            int status = 0;
            while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
            }
            finish(j, status);
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    std::string spread;
    for (const auto& [k, n] : outcomes)
        spread += (spread.empty() ? "" : ", ") + k + ": " + std::to_string(n);
    std::fprintf(o.keep_trace ? stderr : stdout, "campaign: %llu scenarios, %llu broken (%s)\n",
                 (unsigned long long)o.count, (unsigned long long)breaks, spread.c_str());
    return breaks == 0 ? 0 : 1;
}

}  // namespace runner
