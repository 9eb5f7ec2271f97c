// Overlapped operations: the end of one (GetOverlappedResult), cancelling
// (CancelIo), and the operations a device holds. A device write on a file
// opened for overlapped I/O is held from WriteFile (ERROR_IO_PENDING) until
// the device has taken it, it is cancelled by the thread that issued it,
// its handle is closed or its device leaves.
#include "host/sim_core.h"
#include "host/sim_internal.h"

#include "bus/device_rules.h"
#include "bus/held_writes.h"

#include <vector>

namespace sim {
namespace {

simbus::HeldWrites& held()
{
    static simbus::HeldWrites writes;
    return writes;
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
    SimThread* t = current_thread();
    held().hold(h, ov, t ? t->number : 0);
    signal(ov, false);
}

bool is_held_io(HANDLE h, const OVERLAPPED* ov)
{
    return held().held(h, ov);
}

void finish_held_io(HANDLE h, OVERLAPPED* ov, DWORD status, DWORD moved)
{
    if (held().finish(h, ov, status, moved))
        signal(ov, true);
}

void end_held_io(HANDLE h, DWORD status, int thread)
{
    for (OVERLAPPED* ov : held().end(h, status, thread))
        signal(ov, true);
}

std::vector<HANDLE> handles_with_held_io()
{
    return held().files();
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
