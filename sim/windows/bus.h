// The Windows-side simulated bus: the keyboard model (sim/models) plugged
// into a bus that runs in real time on a thread of its own, answering the
// tool's device calls (device_calls.h) and delivering the keyboard's input
// reports as WM_INPUT and its arrivals and removals as WM_DEVICECHANGE.
//
// Internal to tessel-updater-sim.exe; world.cpp drives it.
#pragma once

#include <windows.h>

#include "models/device_config.h"
#include "package_facts.h"

#include <cstdint>
#include <functional>
#include <string>

namespace simwin {

// Random device timing: every delay of the keyboard and the bus varies
// within a few milliseconds, drawn from this seed (0: none).
void bus_set_jitter(uint32_t seed);

// Starts the bus thread with the keyboard (nullptr: none). The trace
// callback receives the bus's own records (kb_out, kb_in, dfu, device) and
// may be called from any thread.
// `keyboard2`: a second keyboard on the same system (its own boot loader and
// device instances; its records carry "kb": 2), or nullptr.
void bus_start(const sim::KeyboardConfig* keyboard, const sim::PackageFacts& package,
               std::function<void(const char* ev, const std::string& json_fields)> trace,
               const sim::KeyboardConfig* keyboard2 = nullptr);

// Runs `fn` on the bus thread `ms` milliseconds from now.
void bus_after(uint32_t ms, std::function<void()> fn);

// "detach", "attach", "detach2", "attach2" (the second keyboard), "hid_arrival", "query_remove" (the system asks the
// windows registered on the keyboard's handles), "query_remove_vetoed" (the
// same, and another program denies it), "suspend" (asking first),
// "sleep" (the system's own, unless a thread keeps it awake),
// "force_suspend", "resume", "end_session" (every window is asked; a FALSE
// answer keeps the session, else WM_ENDSESSION(TRUE) and the process ends
// with kEndedWithTheSession), "force_end_session" (a critical end: no
// refusal counts); others do nothing.
void bus_action(const std::string& what);

// The exit code Windows gives a process it ends with the session.
const UINT kEndedWithTheSession = 0x40010004;
// Called on the sending thread when the session has ended, just before the
// process ends.
void bus_on_session_end(std::function<void()> fn);

// The tool's SetThreadExecutionState, as the system keeps it per thread.
void bus_note_execution_state(EXECUTION_STATE flags);

// Of the keyboard (1) or the second one (2: -1 when there is none).
int bus_reports_out(int number = 1);
int bus_dfu_blocks(int number = 1);
int bus_violations();  // protocol rules the tool broke (each also a `violation` record)

}  // namespace simwin
