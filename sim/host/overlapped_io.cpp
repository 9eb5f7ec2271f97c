// Overlapped operations: the end of one (GetOverlappedResult), cancelling
// (CancelIo), and the operations a device holds. Writes of the stand-in
// complete before WriteFile returns unless a device holds them (a keyboard
// whose firmware no longer takes reports); a held write ends when it is
// cancelled, its handle is closed or its device leaves.
#include "host/sim_core.h"

#include <map>
#include <vector>

namespace sim {
namespace {

const ULONG_PTR kStatusPending = 0x103;

std::map<HANDLE, std::vector<OVERLAPPED*>>& held()
{
    static std::map<HANDLE, std::vector<OVERLAPPED*>> m;
    return m;
}

}  // namespace

void hold_io(HANDLE h, OVERLAPPED* ov)
{
    ov->Internal = kStatusPending;
    ov->InternalHigh = 0;
    if (ov->hEvent)
        ResetEvent(ov->hEvent);
    held()[h].push_back(ov);
}

void end_held_io(HANDLE h, DWORD status)
{
    auto it = held().find(h);
    if (it == held().end())
        return;
    std::vector<OVERLAPPED*> ops = std::move(it->second);
    held().erase(it);
    for (OVERLAPPED* ov : ops) {
        ov->Internal = status;
        ov->InternalHigh = 0;
        if (ov->hEvent)
            SetEvent(ov->hEvent);
    }
}

}  // namespace sim

BOOL GetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD transferred, BOOL wait)
{
    if (!ov) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (ov->Internal == sim::kStatusPending) {
        if (!wait || !ov->hEvent) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        WaitForSingleObject(ov->hEvent, INFINITE);
    }
    (void)h;
    if (transferred)
        *transferred = (DWORD)ov->InternalHigh;
    if (ov->Internal != 0) {
        SetLastError((DWORD)ov->Internal);
        return FALSE;
    }
    return TRUE;
}

BOOL CancelIo(HANDLE h)
{
    if (!sim::handle_lookup(h)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    sim::end_held_io(h, ERROR_OPERATION_ABORTED);
    return TRUE;
}
