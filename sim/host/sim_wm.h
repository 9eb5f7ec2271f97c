// Internals of the simulated window manager shared by its files (windows,
// message queues, controls, dialogs, timers). Not for product code, the
// runner, the device side or the tests: they use sim_windows.h.
#pragma once

#include "host/sim_internal.h"
#include "host/sim_windows.h"

#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace sim {

constexpr DWORD kErrInvalidWindow = 1400;       // ERROR_INVALID_WINDOW_HANDLE
constexpr DWORD kErrNoClass = 1407;             // ERROR_CANNOT_FIND_WND_CLASS
constexpr DWORD kErrClassExists = 1410;         // ERROR_CLASS_ALREADY_EXISTS
constexpr DWORD kErrChildWithoutParent = 1406;  // ERROR_TLW_WITH_WSCHILD
constexpr DWORD kErrNoControl = 1421;           // ERROR_CONTROL_ID_NOT_FOUND
constexpr DWORD kErrNoResource = 1814;          // ERROR_RESOURCE_NAME_NOT_FOUND
constexpr UINT kTimerMinimum = 10;              // USER_TIMER_MINIMUM
inline constexpr const char* kToolClass = "Orvex Tessel Keyboard Firmware Updater";

// ------------------------------------------------------------ windows (windows.cpp)
extern std::map<uintptr_t, std::unique_ptr<Window>> g_windows;
extern HWND g_main;
extern bool g_default_layout_rtl;  // the process's default layout mirrors new top-level windows

Window* find(HWND h);
// An existing window of the tool (not destroyed, not another process's).
Window* live(HWND h);
bool is_main_child(const Window* w, int id);
SimThread* owner_of(const Window* w);
bool thread_alive(const SimThread* t);
bool effectively_visible(const Window* w);
bool effectively_enabled(const Window* w);
bool is_descendant_or_self(HWND h, HWND top);
void set_style_bit(Window* w, DWORD bit, bool on);
void set_visible(Window* w, bool visible);
// Marks a window and its children gone without messages.
void drop_window(Window* w);
Window* make_window(WindowKind kind, const std::string& cls, DWORD style, DWORD ex_style, int x, int y, int w,
                    int h, HWND parent, int id);
void destroy_window(Window* w);

// ------------------------------------------------------------ message queues (messages.cpp)
// Calls the window's procedure on the calling thread.
LRESULT deliver(Window* w, UINT msg, WPARAM wp, LPARAM lp, bool wide);
// Serves the oldest message sent to `self` from another thread or the world.
void serve_one(SimThread* self);
// Runs a call on the window's thread: directly when the caller owns the
// window, else as a sent message the owner serves while the caller waits.
LRESULT on_owner(Window* w, UINT msg, WPARAM wp, LPARAM lp, bool wide, std::function<LRESULT()> action);
LRESULT send(Window* w, UINT msg, WPARAM wp, LPARAM lp, bool wide);
bool post(Window* w, HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

// ------------------------------------------------------------ controls (controls.cpp)
const char* builtin_name(WindowKind k);
bool builtin_kind(const std::string& cls, WindowKind& kind);
std::u16string text_arg(LPARAM lp, bool wide);
LRESULT get_text(const Window* w, WPARAM size, LPARAM lp, bool wide);
LRESULT control_proc(Window* w, UINT msg, WPARAM wp, LPARAM lp, bool wide);

// ------------------------------------------------------------ dialogs (dialogs.cpp)
// What the dialog manager does with a message the dialog procedure left.
LRESULT dialog_default(Window* w, UINT msg, WPARAM wp, LPARAM lp, bool wide);

// ------------------------------------------------------------ window timers (timers.cpp)
struct WinTimer {
    HWND hwnd = nullptr;
    UINT_PTR id = 0;
    int owner_thread = 0;
    uint64_t period = 0, due = 0, seq = 0;
    void* proc = nullptr;
};
extern std::vector<WinTimer> g_timers;
void kill_timers_of(HWND h);
// The timers of a thread that ended go with it.
void kill_thread_timers(int thread_number);

}  // namespace sim
