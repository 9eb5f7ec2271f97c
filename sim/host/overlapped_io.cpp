// Overlapped operations: the end of one (GetOverlappedResult), cancelling
// (CancelIo), and the operations a device holds. A device write on a file
// opened for overlapped I/O is held from WriteFile (ERROR_IO_PENDING) until
// the device has taken it, it is cancelled by the thread that issued it,
// its handle is closed or its device leaves.
#include "host/sim_core.h"
#include "host/sim_internal.h"

#include "bus/device_rules.h"

#include <algorithm>
#include <map>
#include <vector>

namespace sim {
namespace {

struct Held {
    OVERLAPPED* ov = nullptr;
    int thread = 0;  // the simulated thread that issued it (0: none)
};

std::map<HANDLE, std::vector<Held>>& held()
{
    static std::map<HANDLE, std::vector<Held>> m;
    return m;
}

// Sets or resets an operation's event as the system does: no call of the
// tool's, so no scheduling point.
void signal(OVERLAPPED* ov, bool set)
{
    if (auto* ev = ov->hEvent ? handle_as<EventObject>(ov->hEvent) : nullptr)
        ev->st->set = set;
}

}  // namespace

void hold_io(HANDLE h, OVERLAPPED* ov)
{
    simbus::mark_pending(ov);
    signal(ov, false);
    SimThread* t = current_thread();
    held()[h].push_back(Held{ov, t ? t->number : 0});
}

bool is_held_io(HANDLE h, const OVERLAPPED* ov)
{
    auto it = held().find(h);
    return it != held().end() &&
           std::any_of(it->second.begin(), it->second.end(), [ov](const Held& e) { return e.ov == ov; });
}

void finish_held_io(HANDLE h, OVERLAPPED* ov, DWORD status, DWORD moved)
{
    auto it = held().find(h);
    if (it == held().end())
        return;
    std::vector<Held>& ops = it->second;
    ops.erase(std::remove_if(ops.begin(), ops.end(), [ov](const Held& e) { return e.ov == ov; }), ops.end());
    if (ops.empty())
        held().erase(it);
    simbus::mark_done(ov, status, moved);
    signal(ov, true);
}

void end_held_io(HANDLE h, DWORD status, int thread)
{
    auto it = held().find(h);
    if (it == held().end())
        return;
    std::vector<Held> ops;
    std::vector<Held>& all = it->second;
    for (auto e = all.begin(); e != all.end();) {
        if (thread == 0 || e->thread == thread) {
            ops.push_back(*e);
            e = all.erase(e);
        } else {
            ++e;
        }
    }
    if (all.empty())
        held().erase(it);
    for (const Held& e : ops) {
        simbus::mark_done(e.ov, status, 0);
        signal(e.ov, true);
    }
}

std::vector<HANDLE> handles_with_held_io()
{
    std::vector<HANDLE> hs;
    for (const auto& [h, ops] : held())
        hs.push_back(h);
    return hs;
}

}  // namespace sim

BOOL GetOverlappedResult(HANDLE, LPOVERLAPPED ov, LPDWORD transferred, BOOL wait)
{
    return simbus::overlapped_result(ov, transferred, wait);
}

BOOL CancelIo(HANDLE h)
{
    if (!sim::handle_lookup(h)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // Only what the calling thread issued on the handle.
    sim::SimThread* t = sim::current_thread();
    sim::end_held_io(h, ERROR_OPERATION_ABORTED, t ? t->number : -1);
    return TRUE;
}
