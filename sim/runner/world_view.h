// What the runner reads off the simulated world for the trace's summary.
#pragma once

#include "host/sim_core.h"

#include <string>

namespace runner {
HWND restart_prompt();        // the restart prompt while it exists, else null
std::string log_view_text();  // text of the main window's log view (UTF-8), "" without one
sim::Json button_summary();   // {text, enabled} of the Update button, or null
int progress_pos();           // position of the progress bar, 0 without one
}  // namespace runner
