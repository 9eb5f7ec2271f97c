// The simulated system's power requests, as the world's devices and power
// events see them. Host-only; never seen by product code.
#pragma once

#include "host/win32_host.h"

#include <string>

namespace sim {

// A thread that is still running holds ES_CONTINUOUS | ES_SYSTEM_REQUIRED:
// the system does not go to sleep when it would on its own.
bool system_kept_awake();
// The text a window set with ShutdownBlockReasonCreate ("" when none).
// Windows shows it while the window refuses to let the session end; the
// text alone blocks nothing.
std::u16string shutdown_block_reason(HWND wnd);

}  // namespace sim
