// The end of an overlapped operation. Device and file writes of the stand-in
// complete before WriteFile returns unless a device holds them; a held write
// records its status in the OVERLAPPED when it ends or is cancelled.
#include "platform/host/sim_core.h"

BOOL GetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD transferred, BOOL wait)
{
    (void)wait;
    if (!ov || !sim::handle_lookup(h)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
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
    return TRUE;
}
