#include "campaign.h"
#include "draw.h"
#include "judge.h"

#include <sys/wait.h>
#include <unistd.h>

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

Trace read_trace(const std::string& path)
{
    Trace t;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty())
            continue;
        json r = json::parse(line, nullptr, false);
        if (!r.is_discarded())
            t.records.push_back(std::move(r));
    }
    if (!t.records.empty() && t.records.back().value("ev", "") == "summary")
        t.summary = &t.records.back();
    return t;
}

int run_one(const std::string& self, const std::string& program, const std::string& scenario_file,
            const std::string& trace_file, uint64_t seed)
{
    pid_t pid = fork();
    if (pid == 0) {
        std::string seed_text = std::to_string(seed);
        if (!std::freopen("/dev/null", "w", stderr))
            _exit(127);
        execl(self.c_str(), self.c_str(), "--program", program.c_str(), "--seed", seed_text.c_str(), "--trace",
              trace_file.c_str(), "--ground-truth", scenario_file.c_str(), (char*)nullptr);
        _exit(127);
    }
    return pid;
}

}  // namespace

int run_campaign(const CampaignOptions& o)
{
    std::string dir = std::filesystem::temp_directory_path().string() + "/tessel-campaign-" +
                      std::to_string(getpid());
    std::filesystem::create_directories(dir);
    std::string sample = read_file(o.program);
    std::vector<std::string> programs;
    for (const Variant& v : variants()) {
        std::string p = dir + "/" + v.name + ".exe", bytes;
        if (!make_variant(sample, v, bytes) || !(std::ofstream(p, std::ios::binary) << bytes)) {
            std::fprintf(stderr, "campaign: cannot make the package variant %s\n", v.name);
            return 126;
        }
        programs.push_back(p);
    }

    struct Job {
        uint64_t index;
        Drawn drawn;
        uint64_t seed;
        std::string scen, trace;
    };
    std::map<pid_t, Job> running;
    std::map<std::string, int> outcomes;  // "exit N" or "until"
    const std::vector<std::string>& fams = families();
    std::map<std::string, std::vector<uint64_t>> reached;  // family -> scenarios per state
    std::map<std::string, uint64_t> drawn_in;               // family -> scenarios
    for (const std::string& f : fams)
        reached[f].assign(11, 0);
    uint64_t next = 0, done = 0, breaks = 0, due = 0, due_verified = 0;
    auto start = [&](uint64_t i) {
        Rng r{o.seed * 0x100000001B3ull + i};
        Job j;
        j.index = i;
        if (o.replay_scenario.is_null()) {
            j.drawn = draw_scenario(r);
        } else {
            j.drawn.scenario = o.replay_scenario;
            j.drawn.variant = (size_t)std::max(0, o.replay_variant);
            j.drawn.family = "none";
            j.drawn.due = o.replay_due;
        }
        j.seed = o.replay_seed ? o.replay_seed : (r.next() | 1);
        j.scen = dir + "/s" + std::to_string(i) + ".json";
        j.trace = dir + "/t" + std::to_string(i) + ".jsonl";
        { json sc = j.drawn.scenario; sc.erase("events_anywhere"); std::ofstream(j.scen) << sc.dump(); }
        pid_t pid = run_one(o.self, programs[j.drawn.variant % programs.size()], j.scen, j.trace, j.seed);
        running[pid] = std::move(j);
    };
    FILE* out = o.keep_trace ? stderr : stdout;
    while (done < o.count) {
        while (next < o.count && running.size() < (size_t)o.jobs)
            start(next++);
        int status = 0;
        pid_t pid = wait(&status);
        auto it = running.find(pid);
        if (it == running.end())
            continue;
        Job j = std::move(it->second);
        running.erase(it);
        done++;
        int code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        Trace t = read_trace(j.trace);
        Verdict v = judge(t, code, j.drawn.scenario, j.drawn.due, j.drawn.tolerated);
        if (t.summary)
            outcomes[v.outcome]++;
        drawn_in[j.drawn.family]++;
        for (int st = 0; st < 11; st++)
            if (v.states & (1u << st))
                reached[j.drawn.family][(size_t)st]++;
        if (j.drawn.due) {
            due++;
            if (v.outcome == "exit 0")
                due_verified++;
        }
        if (!v.broken.empty()) {
            breaks++;
            std::fflush(stdout);
            std::fprintf(out, "BREAK scenario %llu (family %s, variant %s, interleaving seed %llu%s):\n",
                         (unsigned long long)j.index, j.drawn.family.c_str(), variants()[j.drawn.variant].name,
                         (unsigned long long)j.seed, j.drawn.due ? ", success due" : "");
            for (const std::string& b : v.broken)
                std::fprintf(out, "  broken: %s\n", b.c_str());
            std::fprintf(out, "  scenario: %s\n", j.drawn.scenario.dump().c_str());
            std::fprintf(out, "  replay: tessel-sim --replay SCENARIO.json --variant %zu --seed %llu%s\n",
                         j.drawn.variant, (unsigned long long)j.seed, j.drawn.due ? " --due" : "");
        }
        if (o.keep_trace) {
            std::ifstream in(j.trace, std::ios::binary);
            std::cout << in.rdbuf();
        }
        std::remove(j.scen.c_str());
        std::remove(j.trace.c_str());
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
    std::fprintf(out, "campaign: %llu scenarios, %llu broken (%s); success due in %llu, verified in %llu of them\n",
                 (unsigned long long)o.count, (unsigned long long)breaks, spread.c_str(), (unsigned long long)due,
                 (unsigned long long)due_verified);
    return breaks == 0 ? 0 : 1;
}

}  // namespace runner
