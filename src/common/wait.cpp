#include "common/globals.h"

void wait_ms(UINT ms)
{
    // The multimedia timer sets g_wait_event once when it expires.
    UINT id = timeSetEvent(ms, 0, (LPTIMECALLBACK)g_wait_event, 0,
                           TIME_ONESHOT | TIME_CALLBACK_EVENT_SET);
    if (id == 0)
        return;
    WaitForSingleObject(g_wait_event, INFINITE);
    timeKillEvent(id);
}
