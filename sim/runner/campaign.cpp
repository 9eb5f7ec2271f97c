#include "campaign.h"
#include "draw.h"
#include "judge.h"
#include "run_scenario.h"
#include "scenario/scenario.h"

#include "package_facts.h"
#include "host/sim_core.h"

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

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void put_le32(std::string& b, uint32_t v)
{
    for (int i = 0; i < 4; i++)
        b += (char)(uint8_t)(v >> (8 * i));
}

// The packaged sample made into a variant: the package is the INI text up
// to its end marker line, 32768 bytes of Bluetooth image, then the USB
// image to the end of the file; the tool finds each by the marker and the
// fixed size, so a line of another length only moves what follows it.
bool make_variant(const std::string& sample, const Variant& v, std::string& out)
{
    std::string bytes = sample;
    size_t marker = bytes.find("S__=END_OF_FILE");
    size_t ini_end = marker == std::string::npos ? marker : bytes.find('\n', marker);
    size_t main_at = bytes.find("[MAIN]");
    if (ini_end == std::string::npos || main_at == std::string::npos || main_at > marker)
        return false;
    ini_end++;
    size_t ini_start = bytes.rfind('\0', main_at);
    ini_start = ini_start == std::string::npos ? 0 : ini_start + 1;
    std::string ini = bytes.substr(ini_start, ini_end - ini_start);
    std::string images = bytes.substr(ini_end);
    for (const auto& [line, replacement] : v.ini) {
        size_t at = ini.find(line);
        if (at == std::string::npos)
            return false;
        ini.replace(at, std::strlen(line), replacement);
    }
    if (v.crlf) {
        std::string crlf;
        for (size_t i = 0; i < ini.size(); i++) {
            if (ini[i] == '\n' && (i == 0 || ini[i - 1] != '\r'))
                crlf += '\r';
            crlf += ini[i];
        }
        ini = crlf;
    }
    const size_t bt_size = 32768;
    if (images.size() < bt_size)
        return false;
    std::string bt = images.substr(0, bt_size), usb = images.substr(bt_size);
    std::string kind = v.usb;
    if (kind == "empty")
        usb.clear();
    else if (kind == "1" || kind == "63")
        usb.resize(std::min(usb.size(), (size_t)std::stoi(kind)));
    else if (kind == "odd")
        usb.append(37, (char)0x5A);
    else if (kind == "too_big")
        usb.resize(0x10000 + 64, (char)0xFF);
    else if (kind == "suffix") {
        // bcdDevice, idProduct, idVendor, bcdDFU 1.00, "UFD", bLength, dwCRC
        std::string suffix = std::string("\xFF\xFF\xFF\xFF\xFF\xFF\x00\x01UFD\x10", 12);
        std::string body = usb + suffix;
        uint32_t crc = 0xFFFFFFFFu;
        for (unsigned char c : body) {
            crc ^= c;
            for (int k = 0; k < 8; k++)
                crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
        usb = body;
        put_le32(usb, crc);
    }
    out = bytes.substr(0, ini_start) + ini + bt + usb;
    return true;
}

struct Program {
    std::string path;
    std::string bytes;
    sim::PackageFacts facts;
    bool facts_read = false;
};

// What a run tells the campaign: the invariants it broke and how it ended
// ("exit N" or "until"), judged in the run's own process. A JSON object, so
// that a run can tell more.
// Runs one scenario in a process of its own, forked from the campaign (which
// never runs a world itself): the run is judged there and its report comes
// back as one line through the pipe whose reading end is `*report_fd`. With a
// `trace_file`, the run also writes its trace there.
pid_t run_one(const Program& program, const Drawn& d, uint64_t seed, const std::string& trace_file,
              int* report_fd)
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
        if (!parse_scenario(d.scenario.dump(), parsed, error) || !program.facts_read)
            _exit(126);
        sim::set_program_bytes((const uint8_t*)program.bytes.data(), program.bytes.size());
        report_ground_truth(true);
        FILE* out = trace_file.empty() ? nullptr : std::fopen(trace_file.c_str(), "wb");
        // The run is judged as its records come. Without a trace to keep,
        // the keyboard's reports, the progress bar's positions, the boot
        // loader's status requests and the blocks it accepted are not even
        // made: the judge needs only their times (and counts the blocks).
        Judge judge(d.scenario);
        json summary;
        if (!out)
            skip_records({"kb_out", "kb_in", "progress", "dfu_status", "dfu_block"},
                         [&judge](uint64_t t, const char* ev) { judge.tick(t, ev); });
        int status = run_scenario(parsed, program.path, program.facts, seed, [&](const json& record) {
            if (record["ev"].get_ref<const std::string&>() == "summary")
                summary = record;
            else
                judge.observe(record);
            if (out) {
                std::string line = record.dump(-1, ' ', false);
                std::fputs(line.c_str(), out);
                std::fputc('\n', out);
            }
        });
        if (out)
            std::fclose(out);
        Verdict v =
            judge.verdict(summary.is_null() ? nullptr : &summary, status, d.scenario, d.due, d.tolerated);
        json report = json::object();
        report["broken"] = v.broken;
        report["states"] = v.states;
        if (!v.outcome.empty())
            report["outcome"] = v.outcome;
        // A text cut from the tool's output may end inside a character: the
        // report is sent all the same.
        std::string line = report.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
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
    std::string dir =
        std::filesystem::temp_directory_path().string() + "/tessel-campaign-" + std::to_string(getpid());
    std::filesystem::create_directories(dir);
    // Every variant is made and read once, here; the runs are forked from
    // this process and find them in memory.
    std::string sample = read_file(o.program);
    std::vector<Program> programs;
    for (const Variant& v : variants()) {
        Program p;
        p.path = dir + "/" + v.name + ".exe";
        if (!make_variant(sample, v, p.bytes) || !(std::ofstream(p.path, std::ios::binary) << p.bytes)) {
            std::fprintf(stderr, "campaign: cannot make the package variant %s\n", v.name);
            return 126;
        }
        std::string why;
        p.facts_read = sim::read_package_facts(p.path, p.facts, why);
        programs.push_back(std::move(p));
    }

    struct Job {
        uint64_t index;
        Drawn drawn;
        uint64_t seed;
        std::string trace;
        int fd = -1;
        std::string report;
    };
    std::map<pid_t, Job> running;
    std::map<std::string, int> outcomes;  // "exit N" or "until"
    const std::vector<std::string>& fams = families();
    std::map<std::string, std::vector<uint64_t>> reached;  // family -> scenarios per state
    std::map<std::string, uint64_t> drawn_in;              // family -> scenarios
    for (const std::string& f : fams)
        reached[f].assign(11, 0);
    uint64_t next = 0, done = 0, breaks = 0, due = 0, due_verified = 0;
    FILE* out = o.keep_trace ? stderr : stdout;
    auto start = [&](uint64_t i) {
        Rng r{o.seed * 0x100000001B3ull + i};
        Job j;
        j.index = i;
        if (o.replay_scenario.is_null()) {
            j.drawn = draw_scenario(r);
        } else {
            j.drawn.scenario = o.replay_scenario;
            j.drawn.variant = (size_t)std::max(0, o.replay_variant) % programs.size();
            j.drawn.family = "none";
            j.drawn.due = o.replay_due;
        }
        j.seed = o.replay_seed ? o.replay_seed : (r.next() | 1);
        if (o.keep_trace)
            j.trace = dir + "/t" + std::to_string(i) + ".jsonl";
        pid_t pid = run_one(programs[j.drawn.variant], j.drawn, j.seed, j.trace, &j.fd);
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
        uint32_t states = 1;
        std::string outcome;
        if (report.is_object() && report.contains("broken")) {
            broken = report["broken"].get<std::vector<std::string>>();
            states = report.value("states", 1u);
            outcome = report.value("outcome", std::string());
            if (!outcome.empty())
                outcomes[outcome]++;
        } else {
            // The run ended before it could judge itself: judged here on
            // the nothing it told.
            broken = judge(Trace(), code, j.drawn.scenario, j.drawn.due).broken;
        }
        drawn_in[j.drawn.family]++;
        for (int st = 0; st < 11; st++)
            if (states & (1u << st))
                reached[j.drawn.family][(size_t)st]++;
        if (j.drawn.due) {
            due++;
            if (outcome == "exit 0")
                due_verified++;
        }
        if (!broken.empty()) {
            breaks++;
            std::fflush(stdout);
            std::fprintf(out, "BREAK scenario %llu (family %s, variant %s, interleaving seed %llu%s):\n",
                         (unsigned long long)j.index, j.drawn.family.c_str(),
                         variants()[j.drawn.variant].name, (unsigned long long)j.seed,
                         j.drawn.due ? ", success due" : "");
            for (const std::string& b : broken)
                std::fprintf(out, "  broken: %s\n", b.c_str());
            std::fprintf(out, "  scenario: %s\n", j.drawn.scenario.dump().c_str());
            std::fprintf(out, "  replay: tessel-sim --replay SCENARIO.json --variant %zu --seed %llu%s\n",
                         j.drawn.variant, (unsigned long long)j.seed, j.drawn.due ? " --due" : "");
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
    if (o.replay_scenario.is_null()) {
        // The coverage table: how many scenarios of each fault family
        // reached each update state.
        static const char* kStates[] = {"IDLE",         "BT_PREPARE", "BT_TRANSFER", "BT_DONE",
                                        "USB_DOWNLOAD", "USB_DONE",   "WAIT_ACK",    "ACKED",
                                        "WAIT_DETACH",  "DETACHED",   "REATTACHED"};
        std::fprintf(out, "%-16s", "state \\ family");
        for (const std::string& f : fams)
            std::fprintf(out, " %10s", f.c_str());
        std::fprintf(out, "\n%-16s", "(scenarios)");
        for (const std::string& f : fams)
            std::fprintf(out, " %10llu", (unsigned long long)drawn_in[f]);
        std::fprintf(out, "\n");
        for (int st = 0; st < 11; st++) {
            std::fprintf(out, "%2d %-13s", st, kStates[st]);
            for (const std::string& f : fams)
                std::fprintf(out, " %10llu", (unsigned long long)reached[f][(size_t)st]);
            std::fprintf(out, "\n");
        }
    }
    std::string spread;
    for (const auto& [k, n] : outcomes)
        spread += (spread.empty() ? "" : ", ") + k + ": " + std::to_string(n);
    std::fprintf(
        out, "campaign: %llu scenarios, %llu broken (%s); success due in %llu, verified in %llu of them\n",
        (unsigned long long)o.count, (unsigned long long)breaks, spread.c_str(), (unsigned long long)due,
        (unsigned long long)due_verified);
    return breaks == 0 ? 0 : 1;
}

}  // namespace runner
