#include "sim_harness.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

namespace harness {

const std::string kS08 =
    "Keyboard firmware update fail, Please detach KB and press power button over 15s and attach then try "
    "again...";

json event_on(const std::string& on, long long after, const std::string& what)
{
    return {{"on", on}, {"after", after}, {"do", what}};
}

std::string temp_dir()
{
    const char* tmp = std::getenv("TMPDIR");
    std::string templ = std::string(tmp && *tmp ? tmp : "/tmp") + "/tessel-test.XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data()))
        throw std::runtime_error("mkdtemp failed");
    return buf.data();
}

std::string package_with(const std::string& dir, const std::string& line, const std::string& replacement,
                         const std::string& usb)
{
    std::ifstream in(std::string(TESSEL_SOURCE_DIR) + "/sample-package/package.ini", std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    std::string ini = ss.str();
    auto at = ini.find(line);
    if (at == std::string::npos)
        return "";
    ini.replace(at, line.size(), replacement);
    std::ofstream(dir + "/package.ini", std::ios::binary) << ini;
    std::string sample = TESSEL_SAMPLE_DIR;
    std::string cmd = std::string("'") + TESSEL_PACK + "' build --force --exe '" + sample +
                      "/bare.exe' --ini '" + dir + "/package.ini' --bt '" + sample + "/bt.bin' --usb '" +
                      (usb.empty() ? sample + "/usb.bin" : usb) + "' -o '" + dir +
                      "/packaged.exe' >/dev/null 2>&1";
    return std::system(cmd.c_str()) == 0 ? dir + "/packaged.exe" : "";
}

std::string sample_program()
{
    return std::string(TESSEL_SAMPLE_DIR) + "/tessel-updater.exe";
}

static std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// With TESSEL_TRACE_ARCHIVE naming a folder, every trace is kept there as
// <Suite>.<Test>-<n>.jsonl, n counting the runs of one test from 1, so that
// the traces of two builds can be compared file by file.
static void archive_trace(const std::string& trace)
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
    std::system(("mkdir -p '" + std::string(folder) + "'").c_str());
    std::string dest = std::string(folder) + "/" + name + "-" + std::to_string(n) + ".jsonl";
    std::ofstream out(dest, std::ios::binary);
    out << trace;
}

SimRun run_sim(const json& scenario, const std::vector<std::string>& extra_args, bool violations_expected)
{
    SimRun run;
    std::string dir = temp_dir();
    std::string scen = dir + "/scenario.json", trace = dir + "/trace.jsonl", err = dir + "/stderr.txt";
    {
        std::ofstream out(scen, std::ios::binary);
        out << scenario.dump();
    }
    std::string cmd = std::string("'") + TESSEL_SIM + "' --trace '" + trace + "'";
    for (const std::string& a : extra_args)
        cmd += " '" + a + "'";
    cmd += " '" + scen + "' 2>'" + err + "'";
    int rc = std::system(cmd.c_str());
    run.status = WIFEXITED(rc) ? WEXITSTATUS(rc) : 128 + WTERMSIG(rc);
    run.trace_text = slurp(trace);
    archive_trace(run.trace_text);
    run.error = slurp(err);
    std::istringstream lines(run.trace_text);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty())
            run.trace.push_back(json::parse(line));
    }
    std::system(("rm -rf '" + dir + "'").c_str());
    if (!violations_expected) {
        const json& summary = run.summary();
        if (summary.contains("violations")) {
            EXPECT_EQ(summary["violations"], 0) << "the tool broke a device protocol rule; see the trace's "
                                                   "violation records";
        }
    }
    return run;
}

std::vector<json> SimRun::events(const std::string& ev) const
{
    std::vector<json> out;
    for (const json& r : trace)
        if (r.value("ev", "") == ev)
            out.push_back(r);
    return out;
}

const json* SimRun::first(const std::string& ev) const
{
    for (const json& r : trace)
        if (r.value("ev", "") == ev)
            return &r;
    return nullptr;
}

const json& SimRun::summary() const
{
    static const json none;
    if (trace.empty() || trace.back().value("ev", "") != "summary")
        return none;
    return trace.back();
}

std::string SimRun::log_text() const
{
    std::string s;
    for (const json& r : trace)
        if (r.value("ev", "") == "log")
            s += r.value("text", "");
    return s;
}

long long SimRun::time_of(const std::string& ev, const std::string& key, const json& value) const
{
    for (const json& r : trace)
        if (r.value("ev", "") == ev && r.contains(key) && r[key] == value)
            return r.value("t", -1LL);
    return -1;
}

const json* SimRun::control(int id) const
{
    for (const json& r : trace)
        if (r.value("ev", "") == "control" && r["id"].is_number() && r["id"].get<int>() == id)
            return &r;
    return nullptr;
}

}  // namespace harness
