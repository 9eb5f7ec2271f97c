// Power broadcasts: WM_POWERBROADCAST to the tool's top-level windows when
// the world suspends (asking first, on its own when idle, or forced) and
// resumes.
#include "platform/host/sim_bus.h"

#include "platform/host/sim_power.h"
#include "platform/host/sim_windows.h"

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

}  // namespace

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
