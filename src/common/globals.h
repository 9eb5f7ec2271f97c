// Values shared by the UI thread and the update worker, and the one way any
// part of the tool waits.
#pragma once

#include "platform/win32.h"

#include <atomic>
#include <cstdint>

// Update states (g_update_state).
enum : uint8_t {
    ST_IDLE = 0,          // no run
    ST_BT_PREPARE = 1,    // waiting for the keyboard's Bluetooth readiness
    ST_BT_TRANSFER = 2,   // Bluetooth image being sent, checksum awaited
    ST_BT_DONE = 3,       // Bluetooth stage done or skipped
    ST_USB_DOWNLOAD = 4,  // DFU download running
    ST_USB_DONE = 5,      // download over, waiting for the keyboard
    ST_WAIT_ACK = 6,      // finish command sent
    ST_ACKED = 7,         // finish acknowledged
    ST_WAIT_DETACH = 8,   // user asked to detach and re-attach
    ST_DETACHED = 9,      // keyboard removed (or system suspending) during ST_WAIT_DETACH
    ST_REATTACHED = 10,   // keyboard back, versions being verified
};

// Update state: one byte, moved forward by the worker and by the UI thread
// on the keyboard's events and on device changes.
extern shared_atomic<uint8_t> g_update_state;
// Set by the first command-line argument: no window, no questions, the tool
// ends by itself.
extern uint8_t g_silent;
// Set by the first argument -check: no window, no run, no result line; the
// tool asks the keyboard its versions and ends with one of the RESULT_CHECK_
// codes below.
extern uint8_t g_check;
// Result codes (g_update_result): the stage at which a run stopped, which is
// the process exit code and the result log's error= value. The IT
// administrators' guide lists them under "Exit codes"; 2 has three meanings.
enum ResultCode : uint32_t {
    RESULT_VERIFIED = 0,          // the keyboard reports the package's versions
    RESULT_NO_UPDATE = 1,         // no run: up to date, or the time limit came first
    RESULT_ALREADY_RUNNING = 2,   // another copy of the tool has its window
    RESULT_NO_WINDOW = 2,         // the window class or window could not be created
    RESULT_BT_FAILED = 2,         // the keyboard did not confirm the image's checksum
    RESULT_SWITCH_STOPPED = 3,    // stopped while switching to the boot loader
    RESULT_USB_FAILED = 4,        // image not taken whole, or keyboard not back in 30 s
    RESULT_NOT_REATTACHED = 5,    // interactive: not detached and re-attached in time
    RESULT_FINISH_NOT_ACKED = 6,  // interactive: the finish command went unacknowledged
    RESULT_VERSIONS_DIFFER = 7,   // the keyboard reports other versions than the package's
};

// Exit codes of -check (which runs no update). 2 keeps its start-up meanings
// (another copy runs, no window).
enum CheckCode : uint32_t {
    RESULT_CHECK_UP_TO_DATE = 0,    // the keyboard has the package's NXP and Bluetooth versions
    RESULT_CHECK_APPLIES = 10,      // the update would run (also: only the boot loader is present)
    RESULT_CHECK_NO_KEYBOARD = 11,  // neither keyboard nor boot loader within the search
    RESULT_CHECK_REFUSED = 12,      // the update would refuse it: a downgrade, or the other Bluetooth family
    RESULT_CHECK_NO_PACKAGE = 13,   // the program carries no readable update package
};

// Result code of the update: the process exit code and the result log's error= value.
extern shared_atomic<uint32_t> g_update_result;
// Set after a verified run: the Update button then reads Close.
extern shared_atomic<uint32_t> g_update_done;
// Open handle of the keyboard's vendor command collection, or none (nullptr).
extern shared_atomic<HANDLE> g_keyboard;
// How many arrivals of the keyboard's HID interfaces the UI thread has seen,
// and that count as it was when the probe opened the keyboard handle now
// open: a handle opened after an arrival that came after the switch to the
// boot loader is the keyboard come back, not the departing one.
extern shared_atomic<uint32_t> g_kb_arrivals;
extern shared_atomic<uint32_t> g_kb_open_arrivals;
// The keyboard's NXP (USB microcontroller) and Bluetooth versions.
extern shared_atomic<uint32_t> g_kb_nxp_version;
extern shared_atomic<uint32_t> g_kb_bt_version;

// Auto-reset event on which wait_ms waits (created with the main window).
extern HANDLE g_wait_event;

// Waits `ms` milliseconds on a one-shot multimedia timer; returns at once when
// the timer cannot be armed (for example for 0 ms).
void wait_ms(UINT ms);
