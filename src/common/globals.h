// Values shared by the UI thread and the update worker, and the one way any
// part of the tool waits.
#pragma once

#include "platform/win32.h"

#include <atomic>
#include <cstdint>

// Update state (one byte; the states are listed in app/app.h).
extern std::atomic<uint8_t> g_update_state;
// Result code of the update: the process exit code and the result log's error= value.
extern std::atomic<uint32_t> g_update_result;
// Set after a verified run: the Update button then reads Close.
extern std::atomic<uint32_t> g_update_done;
// Open handle of the keyboard's vendor command collection, or none (nullptr).
extern std::atomic<HANDLE> g_keyboard;
// The keyboard's NXP (USB microcontroller) and Bluetooth versions.
extern std::atomic<uint32_t> g_kb_nxp_version;
extern std::atomic<uint32_t> g_kb_bt_version;

// Auto-reset event on which wait_ms waits (created with the main window).
extern HANDLE g_wait_event;

// Waits `ms` milliseconds on a one-shot multimedia timer; returns at once when
// the timer cannot be armed (for example for 0 ms).
void wait_ms(UINT ms);
