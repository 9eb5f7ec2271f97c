// Chief header of the application shell: update states, private messages,
// control and timer ids, and the shell's functions.
#pragma once

#include "common/globals.h"
#include "common/ui.h"

#include <atomic>
#include <cstdint>

#define APP_CLASS_NAME "Orvex Tessel Keyboard Firmware Updater"
#define APP_TITLE APP_CLASS_NAME

// Private messages of the main window.
#define WM_SHOW_RESTART_PROMPT (WM_USER + 10)
#define WM_DROP_HANDLE_NOTIFY (WM_USER + 20)
// Posted by the worker as it ends a run.
#define WM_RUN_ENDED (WM_USER + 30)

// Controls of the main window.
#define IDC_UPDATE 100
#define IDC_LOG 101
#define IDC_PROGRESS 110

// Timers of the main window.
#define TIMER_PROBE 3
#define TIMER_SILENT_EXIT 5
#define TIMER_PROBE_START_MS 250
#define TIMER_PROBE_ARRIVAL_MS 4000
#define TIMER_SILENT_EXIT_MS 45000
// -check: the search for the keyboard (and its answer) ends after 3 s; a
// probe that finds nothing, or finds the keyboard, looks again after 500 ms.
#define TIMER_CHECK_END 6
#define TIMER_CHECK_SEARCH_MS 3000
#define TIMER_CHECK_PROBE_AGAIN_MS 500

// Start-up (main.cpp)
extern HINSTANCE g_instance;
extern HBRUSH g_background_brush;
extern HFONT g_ui_font;
// The command line without the program name and the blanks and control
// characters behind it: a name in double quotes ends at its closing quote,
// any other at the first character with a code of 32 or less.
const char* command_line_tail(const char* line);
// The DPI of a window (of its monitor, where Windows tells it), or of the
// system for no window; 96 at a scale of 100 %.
UINT window_dpi(HWND wnd);
// A length of the 96-DPI layout at another DPI.
int scale_to_dpi(int length, UINT dpi);
// g_ui_font's face, size and character set at a DPI.
HFONT create_ui_font(UINT dpi);
// The main window's outer size at a DPI.
void window_size_for_dpi(UINT dpi, int* width, int* height);
// Whether the chosen language reads right to left (Arabic, Hebrew): the
// windows are then mirrored.
bool language_is_rtl();
// Set by the first argument -? or /?: the tool lists its switches and exit
// codes in a message box and ends.
extern uint8_t g_show_help;
// Reads the first argument of a command-line tail into g_silent, g_check,
// g_show_help and g_lang.
void parse_command_line(const char* tail);
// Takes one message of the UI thread and serves it: dialog keys of the main
// window and of the restart prompt, else translation and dispatch. FALSE on
// WM_QUIT (or a failing GetMessageA); the message's wParam is then the code.
BOOL serve_next_message(MSG* msg);

// Main window and log view (main_window.cpp)
extern HWND g_main_wnd;
extern HDEVNOTIFY g_hid_notify;
extern HDEVNOTIFY g_dfu_notify;
// Set in WM_CREATE when the update package was loaded (the window has its controls).
extern uint8_t g_package_loaded;
LRESULT CALLBACK main_wnd_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

// Timers, device and power events (events.cpp); each returns the message's result.
// The TIMER_PROBE operation: re-opens the keyboard, then enables the Update
// button, notices the keyboard's return during a run, or (silent) posts the
// Update command.
void kb_probe();
LRESULT on_timer(HWND hwnd, WPARAM id);
LRESULT on_power_broadcast(HWND hwnd, WPARAM wp, LPARAM lp);
LRESULT on_device_change(HWND hwnd, WPARAM wp, LPARAM lp);

// -check (check.cpp)
// What an update would do with a keyboard of these versions: up to date, it
// applies, or it is refused. Without a reported Bluetooth version the NXP
// version alone decides.
uint32_t check_outcome(uint32_t keyboard_nxp, uint32_t keyboard_bt, bool bt_reported);
// Ends the check once with `code`: the exit code, one line on the standard
// output when there is one, and the window destroyed.
void check_end(uint32_t code);
// After each probe: the boot loader alone ends the check; otherwise the
// probe runs again until the search ends.
void check_after_probe(bool keyboard, bool bootloader);
// TIMER_CHECK_END: a keyboard that was found but did not answer is judged by
// its NXP version; none found ends with RESULT_CHECK_NO_KEYBOARD.
void check_search_over();

// Update command and Alt+U (update_command.cpp)
// Set by start_update_run before the worker starts; the worker clears it as its
// very last step, so that no new run starts while it is still finishing.
extern shared_atomic<uint8_t> g_worker_running;
// Set once a close has been accepted (the Close button, an accepted WM_CLOSE,
// WM_DESTROY, the silent time limit, a silent run's end, the session's end):
// from then on no run starts and no command goes to a device. Only the UI
// thread starts runs; the worker sets it before it clears g_worker_running.
extern shared_atomic<uint8_t> g_closing;
void on_update_command(HWND hwnd, WPARAM wp);  // WM_COMMAND
void on_sys_key_up(HWND hwnd, WPARAM wp);      // WM_SYSKEYUP
// The common start of an update run (UI thread): ST_BT_PREPARE or ST_BT_DONE.
void start_update_run(uint8_t state);
// The worker thread of a run (update_worker.cpp).
DWORD WINAPI update_worker(LPVOID);
// The Update command's two refusal rules.
bool is_downgrade(uint32_t package_nxp, uint32_t keyboard_nxp);
bool bt_family_differs(uint32_t keyboard_bt, uint32_t package_bt);

// Result log and read-me (result_log.cpp)
#define RESULT_LOG_NAME "LogfileKarstDFU.txt"
#define PROGRAM_PATH_SIZE 300  // buffer for GetModuleFileNameA
#define PROGRAM_DIR_SIZE 256   // directory and file name together
#define PROGRAM_PATH_UNUSABLE 0xFFFFFFFFu
extern shared_atomic<uint8_t> g_readme_opened;
// The current run's result line: 0 until a writer claims it (and again when
// a run starts), then RESULT_LINE_CLAIMED while that writer opens the file
// and writes, then RESULT_LINE_WRITTEN once it is done with it; the low 32
// bits hold the result the line records. Each run writes one line, whoever
// claims it first.
#define RESULT_LINE_WRITTEN (1ull << 32)
#define RESULT_LINE_CLAIMED (1ull << 33)
extern shared_atomic<uint64_t> g_result_line;
// The last line this process claimed: RESULT_LINE_CLAIMED with its result in
// the low 32 bits, 0 when none. The exit code is that result.
extern shared_atomic<uint64_t> g_last_line;
// How long the side that ends the process waits for a line another writer
// has claimed: a little more than the open's retries take.
#define RESULT_LINE_WAIT_MS 1500
// Fills dir (256 bytes) with the program directory (up to and including the
// last backslash) and returns the length of the full path; 0 when the path
// cannot be read (dir empty: files are then used from the current directory);
// PROGRAM_PATH_UNUSABLE, dir empty, when the path has 300 characters or more
// or its directory leaves no room in dir.
DWORD get_program_dir(char* dir);
// The pieces of the above: the directory part of `path` into dir (false, dir
// empty, when it does not fit), and dir + name into out (false when the two do
// not fit into 256 bytes).
bool split_program_dir(const char* path, char* dir);
bool join_program_path(char* out, const char* dir, const char* name);
// "OK: " or "NG: " followed by "YYYY/MM/DD-hh:mm:ss error=N\r\n"; returns its length.
int format_result_line(char* line, const SYSTEMTIME* time, uint32_t result);
// Appends the result line of the current run, unless it was written
// already; opens the read-me after a verified interactive run.
void write_result_log();
// Ends the process during a run (close while detached, silent time limit,
// the session's end): the run's line with the result of this moment, which is
// also the exit code. When the worker has claimed the line already, waits
// (at most RESULT_LINE_WAIT_MS) until it is written: the process never ends
// between the claim and the write.
void end_run_now();

// Restart prompt (restart_prompt.cpp)
extern HWND g_restart_dlg;
INT_PTR CALLBACK restart_dlg_proc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp);
void show_restart_prompt();
BOOL set_shutdown_privilege(BOOL enable);
