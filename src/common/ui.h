// What the keyboard and DFU layers show the user. The application shell
// implements these on its main window; both threads may call them.
#pragma once

#include "platform/win32.h"

#include <cstdint>

// Appends a UTF-8 text at the end of the log view.
void log_append(const char* text);
// Moves the progress bar (0 to 100); served by the UI thread.
void ui_progress(uint32_t pos);
// Enables or disables the Update button.
void ui_enable_update(BOOL enable);
// Repaints the main window now, so that a long step shows what it is doing.
void ui_repaint();
// The keyboard reported its versions (KB_EVT_VERSION): -check decides on them.
void check_on_version();
