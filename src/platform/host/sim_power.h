// The simulated system's power requests, as the world's devices and power
// events see them. Host-only; never seen by product code.
#pragma once

namespace sim {

// A thread that is still running holds ES_CONTINUOUS | ES_SYSTEM_REQUIRED:
// the system does not go to sleep when it would on its own.
bool system_kept_awake();
// A window has set a shutdown block reason.
bool shutdown_blocked();

}  // namespace sim
