// The system's power and session requests, decided once for both simulated
// worlds: which windows are asked, what a refusal keeps and what follows.
// Each world only delivers the messages (through its BusHost).
#pragma once

#include "bus/keyboard_bus.h"

#include <string>

namespace simbus {

// Without the bus's lock. "suspend": PBT_APMQUERYSUSPEND to the tool's
// top-level windows; unless one denies, the system suspends
// (PBT_APMSUSPEND). "sleep": the system's own sleep when idle, which asks no
// one but does not happen while a thread keeps the system awake (trace
// power/sleep_refused). "force_suspend": suspends without asking. "resume":
// after a suspend, PBT_APMRESUMEAUTOMATIC then PBT_APMRESUMESUSPEND.
void power_request(BusHost& host, const std::string& what);

// The end of the user's session (shut down, restart, log off), without the
// bus's lock: every window is asked with WM_QUERYENDSESSION in turn and the
// first FALSE keeps the session (trace power/end_session_refused with the
// window's reason); the windows that agreed then hear WM_ENDSESSION(FALSE).
// A `critical` end asks too but takes no refusal. Otherwise every window
// gets WM_ENDSESSION(TRUE), and once all have returned the process ends.
void end_session(BusHost& host, bool critical);

}  // namespace simbus
