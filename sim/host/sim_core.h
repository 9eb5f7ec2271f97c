// The simulated world behind the host stand-in: virtual clock, cooperative
// scheduler, windows, files and the hooks through which the trial runner
// (tessel-sim), the device models and the tests observe and drive it.
//
// Everything here is host-only and never seen by product code.
#pragma once

#include "host/win32_host.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace sim {

using Json = nlohmann::ordered_json;

// ------------------------------------------------------------ world set-up
// Called once by whoever runs the tool, before `run_entry`.
struct WorldConfig {
    std::string program_path = "C:\\Tessel\\tessel-updater.exe";  // what GetModuleFileNameA gives
    std::string program_file;  // host file that stands for the program file
    std::string program_dir;   // host folder that stands for the program's directory
    uint16_t langid = 1033;
    uint32_t lcid = 1033;
    // local time at virtual time 0
    int year = 2024, month = 3, day = 5, hour = 9, minute = 5, second = 7;
    bool other_instance = false;  // a window of the tool's class already exists
    uint64_t until_ms = 180000;   // the run is stopped here if the tool has not ended
    // 0: the fixed order (the lowest-numbered thread that can go on runs).
    // Otherwise the seed of an interleaving: at every scheduling point it
    // picks among the threads that can go on, and every access to a value
    // the threads share and every call into the stand-in may switch threads.
    uint64_t interleave_seed = 0;
    // Under a seed only: world callbacks (user actions, device events, the
    // time-outs of waits) and window timers may also come at a preemption
    // point while threads can still go on, not only when every thread waits:
    // what is due then, or what falls due within kEventHorizonMs, as for a
    // thread that is preempted for a moment. A random stream of its own
    // decides, apart from the interleaving's, so that the interleaving draws
    // the same numbers without it. No effect with seed 0.
    bool events_anywhere = false;
};
// How far ahead a preemption point may move the clock to an item that falls
// due (events_anywhere): a little more than one tick of the platform's
// default timer (15.6 ms), about as long as a thread that has used up its
// time slice waits for the others.
constexpr uint64_t kEventHorizonMs = 20;
void configure(const WorldConfig& config);
const WorldConfig& config();

// Maps a Windows path to the host path it stands for ("" when it maps nowhere).
std::string map_path(const char* windows_path);
// Serves the program file from memory instead of `program_file` (nullptr:
// from the host file again): CreateFileA, ReadFile, SetFilePointer,
// GetFileSize and fopen read these bytes, which must outlive every handle
// and stream opened on them. For the fuzz targets, which hand the tool a new
// program file for every input without touching the disk.
void set_program_bytes(const uint8_t* data, size_t size);

// Faults of the program's volume and of its files, as the world sets them
// (before run_entry or in world context).
// The file (which exists) carries the read-only attribute: opening it for
// writing fails with ERROR_ACCESS_DENIED.
void files_set_read_only(const char* windows_path);
// The volume is full: opening still works, every WriteFile of at least one
// byte fails with ERROR_DISK_FULL and writes nothing.
void files_set_volume_full(bool full);
// The program's volume leaves the system (a USB stick pulled, a share gone):
// from then on every path on its drive fails to open with
// ERROR_PATH_NOT_FOUND (the drive letter is gone), and reads and writes
// through handles already open on it fail with ERROR_DEVICE_NOT_CONNECTED.
void files_remove_program_volume();

// Runs entry(instance, nullptr, args, SW_SHOWNORMAL) on the simulated UI
// thread (the runner and the tests pass the tool's WinMain), drives the world
// until the tool ends or the time limit passes, and returns the exit code;
// 125 when the time limit came first. GetCommandLineA gives the program path
// in double quotes, a blank and `args`. Never returns twice in one process.
using EntryFn = int (*)(HINSTANCE, HINSTANCE, LPSTR, int);
int run_entry(const std::string& args, EntryFn entry);
// As run_entry, but runs `fn` on the simulated UI thread instead of an entry
// point (tests of the stand-in). Never returns twice in one process.
int run_function(std::function<int()> fn);
// Ends the run at once: run_entry/run_function returns `code`. From world
// context it takes effect when the callback returns; a simulated thread that
// calls it never runs again.
void end_run(int code);
// Threads other than the UI thread (number 1) that have not ended, now and
// at most at once during the run.
int live_workers();
int most_live_workers();
// True when the last run_entry ended because the time limit came first.
bool run_timed_out();

// ------------------------------------------------------------ kernel objects
// Every handle the stand-in gives out (files, events, threads, devices,
// tokens) is an object in one table. Values are small multiples of 4 and the
// lowest free value is reused first, as the platform does, so that a use of a
// closed handle can hit a reused one and tests can notice it.
struct HandleObject {
    virtual ~HandleObject() = default;
    virtual const char* kind() const = 0;
    // Defaults fail with ERROR_INVALID_HANDLE.
    virtual BOOL read(void* buf, DWORD n, DWORD* got);
    virtual BOOL write(const void* buf, DWORD n, DWORD* put);
    // WriteFile with an OVERLAPPED: by default the write completes before the
    // call returns (TRUE, the OVERLAPPED filled in and its event set).
    virtual BOOL write_overlapped(const void* buf, DWORD n, DWORD* put, OVERLAPPED* ov);
    // Called by CloseHandle before the object is deleted.
    virtual void on_close() {}
};
// Overlapped operations a device holds (overlapped_io.cpp): `hold_io` marks
// `ov` pending on `h`, issued by the calling thread; `finish_held_io` ends
// one with `status` (0: done) and `moved` bytes; `end_held_io` ends every
// one held on `h` (`thread` != 0: only those that simulated thread issued)
// with `status`. Ending an operation sets its event.
void hold_io(HANDLE h, OVERLAPPED* ov);
bool is_held_io(HANDLE h, const OVERLAPPED* ov);
void finish_held_io(HANDLE h, OVERLAPPED* ov, DWORD status, DWORD moved);
void end_held_io(HANDLE h, DWORD status, int thread = 0);
std::vector<HANDLE> handles_with_held_io();
HANDLE handle_insert(HandleObject* obj);  // takes ownership
HandleObject* handle_lookup(HANDLE h);    // nullptr when not open
template <typename T>
T* handle_as(HANDLE h)
{
    return dynamic_cast<T*>(handle_lookup(h));
}
size_t open_handle_count();
// Sees every WriteFile before the handle is looked up (it may let time pass,
// as a preemption there would); the device side uses it to notice writes
// through stale handles.
using WriteObserver = std::function<void(HANDLE h, const void* buf, DWORD n)>;
void set_write_observer(WriteObserver observer);

// Device paths ("\\?\...") are opened by the device side of the world;
// returns INVALID_HANDLE_VALUE (with the last error set) when no device
// answers to the path. `flags`: CreateFileA's dwFlagsAndAttributes.
HANDLE device_create_file(const char* path, DWORD access, DWORD share, DWORD flags);

// ------------------------------------------------------------ virtual clock
uint64_t now_ms();
// Runs `fn` in world context at virtual time `due_ms` (not before now).
// World callbacks must not block. Same due time: in order of scheduling.
uint64_t schedule_at(uint64_t due_ms, std::function<void()> fn);
uint64_t schedule_after(uint64_t delay_ms, std::function<void()> fn);
void cancel(uint64_t id);

// ------------------------------------------------------------ trace
// Every observable event of the world goes through `trace`; the sink (set by
// the runner or a test) receives it with "t" and "ev" first.
using TraceSink = std::function<void(const Json& record)>;
void set_trace_sink(TraceSink sink);
void trace(const char* ev, Json fields = Json::object());
// Everything the tool wrote to its standard output so far.
std::string standard_output();
// Leaves out the records of `events`: nothing is built for them, and
// `skipped` (with the event's name) runs where the sink would have run (the campaign's runs, which
// judge their records as they come, need neither the keyboard's reports nor
// the progress bar's positions). Hot places ask `trace_wanted` before they
// build a record; "dfu_status" stands for the boot loader's status requests,
// "dfu_block" for the data blocks it accepted.
void set_trace_skip(std::vector<std::string> events, std::function<void(const char* ev)> skipped);
bool trace_wanted(const char* ev);
// Called at every scheduling point and after every world callback; the
// runner uses it to notice changes of product globals (state, result).
void set_poll_hook(std::function<void()> hook);

// ------------------------------------------------------------ windows
struct Window;  // defined in sim_windows.h
Window* window_of(HWND hwnd);
HWND main_window();  // first top-level window of the tool's class
HWND child_by_id(HWND parent, int id);
std::vector<HWND> children(HWND parent);  // in creation order

// Delivers a message from the system (device, power) to a window as a
// sent message: it is served by the window's thread from its message loop,
// and `on_reply` (world context) receives the window procedure's result
// (0 at once when the window or its thread is gone). Whatever lParam points
// to must stay valid until the reply. Calls that send (SendMessageA,
// EnableWindow, ShowWindow, ...) made from world context are delivered the
// same way and return 0 without waiting.
void system_send(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, std::function<void(LRESULT)> on_reply = nullptr);
// Posts as PostMessageA does, from world context.
void system_post(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

// User input: what a person does to the window, from world context. A
// person reaches only what is on the screen: nothing happens when the target
// or one of its parents is hidden (e.g. the main window in silent mode).
// A click on an enabled button posts BM_CLICK to it; when the owner's loop
// dispatches it, the button sends WM_COMMAND MAKEWPARAM(id, BN_CLICKED) with
// lParam = the button to its parent (a dialog's DLGPROC for dialogs).
void user_click_button(HWND button);
// Posts the key message (msg.hwnd = target) to the target's thread, so the
// loop's IsDialogMessageA sees it; e.g. WM_SYSKEYUP 'U', WM_KEYDOWN VK_RETURN.
void user_key(HWND target, UINT msg, WPARAM vk);

// Top-level windows of the tool that exist (main window, dialogs).
std::vector<HWND> top_level_windows();

}  // namespace sim
