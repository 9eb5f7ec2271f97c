// Internals of the simulated world shared by the stand-in's own files
// (scheduler, kernel objects, window manager). Not for product code, the
// runner or the device models: they use sim_core.h and sim_windows.h.
#pragma once

#include "host/sim_core.h"

#include "host/fiber.h"
#include <deque>
#include <functional>
#include <memory>
#include <string>

// Standard values the product does not use but the stand-in needs.
#ifndef MAKEWPARAM
#define MAKEWPARAM(l, h) ((WPARAM)(DWORD)(((WORD)(l)) | (((DWORD)(WORD)(h)) << 16)))
#endif
#ifndef BM_CLICK
#define BM_CLICK 0x00F5
#endif
#ifndef EM_GETSEL
#define EM_GETSEL 0x00B0
#endif
#ifndef WM_GETFONT
#define WM_GETFONT 0x0031
#endif
#ifndef STM_GETICON
#define STM_GETICON 0x0171
#endif
#ifndef PBM_GETPOS
#define PBM_GETPOS (WM_USER + 8)
#endif
#ifndef SC_CLOSE
#define SC_CLOSE 0xF060
#endif
#ifndef IDYES
#define IDYES 6
#endif

namespace sim {

struct SimThread;

// A message sent to a window of another thread (or by the world). The
// owner thread serves it inside GetMessageA (or while it waits for a send
// of its own); the sender waits until `done`.
struct SentMessage {
    HWND hwnd = nullptr;
    UINT msg = 0;
    WPARAM wp = 0;
    LPARAM lp = 0;
    bool wide = false;
    std::function<LRESULT()> action;  // set: run this on the owner thread instead of the window procedure
    SimThread* sender = nullptr;      // nullptr: sent by the world
    std::function<void(LRESULT)> on_reply;
    bool done = false;
    LRESULT result = 0;
};

struct SimThread {
    enum State { READY, RUNNING, BLOCKED, DONE };
    int number = 0;  // 1, 2, ... in order of creation; the scheduler prefers the lowest
    DWORD tid = 0;
    State state = READY;
    std::function<bool()> wake;  // while BLOCKED: true when the thread may go on
    // Its own context and stack: every simulated thread is a coroutine on the
    // one OS thread that runs the world (an adopted thread keeps that OS
    // thread's stack).
    Fiber ctx;
    std::unique_ptr<char[]> stack;
    std::function<void()> body;
    DWORD last_error = 0;
    // message queue
    std::deque<std::shared_ptr<SentMessage>> sent_in;
    std::deque<MSG> posted;
    bool quit = false;
    int quit_code = 0;
};

// The calling simulated thread. Outside a run, the first OS thread that
// calls into the world is adopted as a simulated thread (tests that call
// product functions directly). nullptr in world context and for a foreign
// thread during a run.
SimThread* current_thread();
// The thread whose context runs now, also in world context; never adopts.
SimThread* running_thread();
SimThread* thread_by_number(int number);
// A new simulated thread, runnable; it runs `body` when the scheduler picks it.
SimThread* spawn_thread(std::function<void()> body);
bool in_world_context();

// Gives up the baton until `can_go()` is true (checked by the scheduler at
// its scheduling points). Never call from world context.
void block(std::function<bool()> can_go);
// Hands the baton straight to `target` (which must be able to go on); the
// caller stays runnable and resumes when the scheduler picks it next.
void yield_to(SimThread* target);
// In a seeded interleaving: may let another thread run here (no effect in
// the fixed order, in world context or outside a run).
void preemption_point();
// The poll hook, called at scheduling points.
void poll();
// Runs fn as world context on the calling OS thread (callbacks, replies).
void run_in_world(const std::function<void()>& fn);

// An event object (CreateEventA); multimedia timers set it too.
struct EventState {
    bool manual = false;
    bool set = false;
};

struct EventObject : HandleObject {
    std::shared_ptr<EventState> st = std::make_shared<EventState>();
    const char* kind() const override { return "event"; }
};

// Window manager hooks used by the scheduler.
// Earliest due time of a window timer that lies after `now` (UINT64_MAX: none).
uint64_t next_window_timer_after(uint64_t now);
// A thread ended: its windows go away.
void windows_thread_ended(SimThread* t);

// Paths (paths.cpp).
bool is_device_path(const char* p);  // \\?\... or \\.\...: a device, never a file
bool parent_exists(const std::string& host_path);
DWORD unmapped_error(const std::string& windows_path);  // why a path that maps nowhere cannot be opened
bool on_gone_volume(const char* windows_path);          // a path on the program's volume after it has left
bool program_volume_gone();                             // every file of this world lies on that volume

// Text helpers.
std::u16string ansi_to_utf16(const char* s);  // Windows-1252
std::string utf16_to_ansi(const std::u16string& s);
std::u16string wide_cstr(const WCHAR* s);
std::string lower(const std::string& s);

}  // namespace sim
