#include "world_child.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

namespace standin {

std::vector<Recorded> g_recorded;
std::function<LRESULT(HWND, UINT, WPARAM, LPARAM)> g_recorder_hook;

std::vector<Json> ChildRun::events(const std::string& ev) const
{
    std::vector<Json> out;
    for (const Json& r : trace)
        if (r.value("ev", "") == ev)
            out.push_back(r);
    return out;
}

namespace {

LRESULT CALLBACK recorder_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    g_recorded.push_back(Recorded{hwnd, msg, wp, lp, GetCurrentThreadId(), sim::now_ms()});
    if (g_recorder_hook)
        return g_recorder_hook(hwnd, msg, wp, lp);
    return DefWindowProcA(hwnd, msg, wp, lp);
}

void write_all(int fd, const std::string& s)
{
    size_t done = 0;
    while (done < s.size()) {
        ssize_t n = write(fd, s.data() + done, s.size() - done);
        if (n <= 0)
            return;
        done += static_cast<size_t>(n);
    }
}

}  // namespace

void register_recorder(const char* name)
{
    WNDCLASSA wc{};
    wc.lpfnWndProc = recorder_proc;
    wc.lpszClassName = name;
    RegisterClassA(&wc);
}

int message_loop(HWND dialog_main, HWND* dialog_other)
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

ChildRun run_world(const std::function<int(Json& out)>& ui, sim::WorldConfig config,
                   const std::function<void(Json& out)>& after, unsigned limit_s,
                   const std::function<void()>& before)
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
        Json trace = Json::array();
        Json out = Json::object();
        sim::configure(config);
        sim::set_trace_sink([&trace](const Json& r) { trace.push_back(r); });
        if (before)
            before();
        int code = sim::run_function([&ui, &out] { return ui(out); });
        sim::set_trace_sink(nullptr);
        if (after)
            after(out);
        Json report = Json::object();
        report["code"] = code;
        report["timed_out"] = sim::run_timed_out();
        report["end_ms"] = sim::now_ms();
        report["trace"] = trace;
        report["out"] = out;
        write_all(fds[1], report.dump());
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
    result.real_ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
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

}  // namespace standin
