// Power broadcasts: WM_POWERBROADCAST to the tool's top-level windows when
// the world suspends (asking first, on its own when idle, or forced) and
// resumes; and the end of the user's session (shut down, restart, log off).
#include "host/sim_bus.h"

#include "host/sim_power.h"
#include "host/sim_windows.h"

namespace sim {

namespace {

void power_broadcast(WPARAM event, std::function<void(bool denied)> done = nullptr)
{
    std::vector<HWND> wins = top_level_windows();
    if (wins.empty()) {
        if (done)
            done(false);
        return;
    }
    auto pending = std::make_shared<size_t>(wins.size());
    auto denied = std::make_shared<bool>(false);
    for (HWND h : wins) {
        system_send(h, WM_POWERBROADCAST, event, 0, [pending, denied, done](LRESULT r) {
            if (r == BROADCAST_QUERY_DENY)
                *denied = true;
            if (--*pending == 0 && done)
                done(*denied);
        });
    }
}

// The exit code Windows gives a process it ends with the session.
const int kEndedWithTheSession = 0x40010004;

void session_ends(std::shared_ptr<std::vector<HWND>> wins, LPARAM flags)
{
    // WM_ENDSESSION(TRUE) to every window; once all have returned, the
    // system ends the process, whatever its threads are doing.
    if (wins->empty()) {
        trace("power", {{"what", "session_ended"}});
        end_run(kEndedWithTheSession);
        return;
    }
    auto pending = std::make_shared<size_t>(wins->size());
    for (HWND h : *wins) {
        system_send(h, WM_ENDSESSION, TRUE, flags, [pending](LRESULT) {
            if (--*pending == 0) {
                trace("power", {{"what", "session_ended"}});
                end_run(kEndedWithTheSession);
            }
        });
    }
}

// Asks window `next` whether the session may end, then the one after it.
// The first window that answers FALSE stops the asking: the session goes on,
// and the windows that agreed hear so through WM_ENDSESSION(FALSE). A
// critical end (ENDSESSION_CRITICAL) asks too, but no answer stops it.
void query_end_session(std::shared_ptr<std::vector<HWND>> wins, size_t next, LPARAM flags)
{
    if (next == wins->size()) {
        session_ends(wins, flags);
        return;
    }
    HWND h = (*wins)[next];
    system_send(h, WM_QUERYENDSESSION, 0, flags, [wins, next, flags, h](LRESULT answer) {
        if (answer == FALSE && !(flags & ENDSESSION_CRITICAL)) {
            trace("power",
                  {{"what", "end_session_refused"}, {"reason", utf16_to_utf8(shutdown_block_reason(h))}});
            for (size_t k = 0; k < next; k++)
                system_send((*wins)[k], WM_ENDSESSION, FALSE, flags);
            return;
        }
        query_end_session(wins, next + 1, flags);
    });
}

}  // namespace

void session_action(const std::string& what)
{
    auto wins = std::make_shared<std::vector<HWND>>(top_level_windows());
    query_end_session(wins, 0, what == "force_end_session" ? ENDSESSION_CRITICAL : 0);
}

void power_action(const std::string& what)
{
    World& w = world();
    if (what == "suspend") {
        power_broadcast(PBT_APMQUERYSUSPEND, [](bool denied) {
            if (denied)
                return;
            world().suspended = true;
            power_broadcast(PBT_APMSUSPEND);
        });
    } else if (what == "sleep") {
        // The system's own sleep when idle: current Windows no longer asks
        // the programs, but a thread that keeps the system awake prevents it.
        if (system_kept_awake()) {
            trace("power", {{"what", "sleep_refused"}});
            return;
        }
        w.suspended = true;
        power_broadcast(PBT_APMSUSPEND);
    } else if (what == "force_suspend") {
        w.suspended = true;
        power_broadcast(PBT_APMSUSPEND);
    } else if (what == "resume") {
        if (!w.suspended)
            return;
        w.suspended = false;
        power_broadcast(PBT_APMRESUMEAUTOMATIC);
        power_broadcast(PBT_APMRESUMESUSPEND);
    }
}

}  // namespace sim
