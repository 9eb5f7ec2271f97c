// What keeps the simulated system awake, and the texts the tool gives for
// refusing to let the session end.
#include "host/sim_core.h"
#include "host/sim_internal.h"
#include "host/sim_power.h"
#include "host/sim_windows.h"

#include <map>

namespace sim {
namespace {

std::map<int, EXECUTION_STATE>& thread_states()  // by simulated thread number
{
    static std::map<int, EXECUTION_STATE> m;
    return m;
}

std::map<HWND, std::u16string>& block_reasons()
{
    static std::map<HWND, std::u16string> m;
    return m;
}

}  // namespace

bool system_kept_awake()
{
    for (const auto& [number, flags] : thread_states()) {
        SimThread* t = thread_by_number(number);
        if (t && t->state != SimThread::DONE && (flags & ES_CONTINUOUS) && (flags & ES_SYSTEM_REQUIRED))
            return true;
    }
    return false;
}

std::u16string shutdown_block_reason(HWND wnd)
{
    auto it = block_reasons().find(wnd);
    return it == block_reasons().end() ? std::u16string() : it->second;
}

}  // namespace sim

EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE flags)
{
    sim::SimThread* t = sim::current_thread();
    if (!t)
        return 0;
    EXECUTION_STATE& mine = sim::thread_states()[t->number];
    EXECUTION_STATE before = mine | ES_CONTINUOUS;
    bool awake_before = sim::system_kept_awake();
    // Without ES_CONTINUOUS the call only resets the idle timer.
    if (flags & ES_CONTINUOUS)
        mine = flags;
    bool awake_after = sim::system_kept_awake();
    if (awake_before != awake_after)
        sim::trace("power", {{"what", awake_after ? "kept_awake" : "may_sleep"}});
    return before;
}

BOOL ShutdownBlockReasonCreate(HWND wnd, LPCWSTR reason)
{
    sim::Window* w = sim::window_of(wnd);
    sim::SimThread* t = sim::current_thread();
    if (!w || !reason) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!t || w->owner_thread != t->number) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    // Only the text Windows shows when a window refuses to let the session
    // end; setting it blocks nothing.
    sim::block_reasons()[wnd] = sim::wide_cstr(reason);
    return TRUE;
}

BOOL ShutdownBlockReasonDestroy(HWND wnd)
{
    sim::Window* w = sim::window_of(wnd);
    sim::SimThread* t = sim::current_thread();
    if (!w) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!t || w->owner_thread != t->number) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    // Destroying a reason that was never set succeeds, as on the platform.
    sim::block_reasons().erase(wnd);
    return TRUE;
}
