// Helpers of the keyboard tests that run in the simulated world. The world
// runs once per process, so each such test runs in a child process of its own
// (death-test style) and reports failed checks through its exit code.
#pragma once

#include "app/app.h"
#include "common/globals.h"
#include "keyboard/kb.h"
#include "package/ini.h"
#include "package/messages.h"
#include "package/package.h"
#include "platform/host/sim_core.h"
#include "platform/host/sim_devices.h"
#include "platform/host/sim_windows.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#define CHECK(cond)                                                                        \
    do {                                                                                   \
        if (!(cond)) {                                                                     \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            std::_Exit(3);                                                                 \
        }                                                                                  \
    } while (0)
#define CHECK_EQ(a, b)                                                                       \
    do {                                                                                     \
        long long a_ = (long long)(a), b_ = (long long)(b);                                  \
        if (a_ != b_) {                                                                      \
            std::fprintf(stderr, "%s:%d: %s == %lld, expected %s == %lld\n", __FILE__, __LINE__, \
                         #a, a_, #b, b_);                                                    \
            std::_Exit(3);                                                                   \
        }                                                                                    \
    } while (0)
#define CHECK_STR(a, b)                                                                    \
    do {                                                                                   \
        std::string a_ = (a), b_ = (b);                                                    \
        if (a_ != b_) {                                                                    \
            std::fprintf(stderr, "%s:%d: \"%s\"\n   expected \"%s\"\n", __FILE__, __LINE__, \
                         a_.c_str(), b_.c_str());                                          \
            std::_Exit(3);                                                                 \
        }                                                                                  \
    } while (0)

namespace kbtest {

struct Rec {
    uint64_t t;
    std::string ev;
    sim::Json f;
};

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

inline std::string g_dir;

inline std::string make_dir()
{
    char templ[] = "/tmp/tessel-kb.XXXXXX";
    CHECK(mkdtemp(templ) != nullptr);
    return templ;
}

// The sample package as the program file, a fresh program directory, the
// trace recorded, and the keyboard (or none) attached.
inline void set_world(const sim::KeyboardConfig* keyboard)
{
    g_dir = make_dir();
    sim::WorldConfig c;
    c.program_file = std::string(TESSEL_SAMPLE_DIR) + "/tessel-updater.exe";
    c.program_dir = g_dir;
    sim::configure(c);
    sim::set_trace_sink([](const sim::Json& r) {
        records().push_back(Rec{r.value("t", (uint64_t)0), r.value("ev", std::string()), r});
    });
    sim::devices_setup(keyboard);
}

// Start-up as the entry point makes it, without the message loop; the probe
// timer is left to the test (killed unless `keep_probe`).
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
                             WS_OVERLAPPEDWINDOW | (g_silent ? 0 : WS_VISIBLE), CW_USEDEFAULT,
                             CW_USEDEFAULT, 640, 240, nullptr, nullptr, g_instance, nullptr);
    CHECK(w != nullptr);
    CHECK(g_main_wnd == w);
    if (!keep_probe)
        KillTimer(w, TIMER_PROBE);
    return w;
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
        if (GetMessageA(&msg, nullptr, 0, 0) <= 0)
            return done();
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
    KillTimer(g_main_wnd, kTickTimer);
    return done();
}

inline void pump_for(uint64_t ms)
{
    uint64_t end = sim::now_ms() + ms;
    pump_until([end] { return sim::now_ms() >= end; });
}

inline std::string log_text()
{
    sim::Window* w = sim::window_of(sim::child_by_id(g_main_wnd, IDC_LOG));
    return w ? w->text_utf8() : std::string();
}

inline bool button_enabled()
{
    sim::Window* w = sim::window_of(sim::child_by_id(g_main_wnd, IDC_UPDATE));
    return w && w->enabled;
}

inline std::string message(unsigned n)
{
    char text[256];
    return load_message(n, text);
}

// Runs `body` as the simulated UI thread in this (child) process and ends
// the process with 0 when every check passed.
template <typename F>
[[noreturn]] void in_world(const sim::KeyboardConfig* keyboard, F body)
{
    set_world(keyboard);
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

// Runs the whole tool (its entry point) with `args`; `setup` may schedule
// world callbacks before it starts; `after` checks the outcome.
template <typename S, typename A>
[[noreturn]] void run_tool(const sim::KeyboardConfig* keyboard, const char* args, S setup,
                           A after)
{
    set_world(keyboard);
    setup();
    int code = sim::run_entry(args);
    after(code);
    std::error_code ec;
    std::filesystem::remove_all(g_dir, ec);
    std::fflush(stderr);
    std::_Exit(0);
}

inline std::string hex_of(const uint8_t* p, size_t n)
{
    static const char d[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += d[p[i] >> 4];
        s += d[p[i] & 15];
    }
    return s;
}

// 57-byte report given its leading bytes (the rest zero), as upper-case hex.
inline std::string report_hex(std::initializer_list<uint8_t> head)
{
    uint8_t r[KB_OUT_REPORT_SIZE] = {};
    size_t i = 0;
    for (uint8_t b : head)
        r[i++] = b;
    return hex_of(r, sizeof(r));
}

inline std::vector<std::string> kb_out_hex()
{
    std::vector<std::string> out;
    for (const Rec& r : records_of("kb_out"))
        out.push_back(r.f["hex"].get<std::string>());
    return out;
}

inline std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class World : public ::testing::Test {
protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

#define WORLD_TEST(body) EXPECT_EXIT(body, ::testing::ExitedWithCode(0), "")

}  // namespace kbtest
