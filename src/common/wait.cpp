#include "common/globals.h"

namespace {

// The longest delay a multimedia timer accepts (timeGetDevCaps' wPeriodMax
// on Windows); timeSetEvent refuses anything longer.
const UINT kTimerDelayMax = 1000000;

void wait_once(UINT ms)
{
    // The multimedia timer sets g_wait_event once when it expires.
    UINT id = timeSetEvent(ms, 0, (LPTIMECALLBACK)g_wait_event, 0, TIME_ONESHOT | TIME_CALLBACK_EVENT_SET);
    if (id == 0)
        return;
    WaitForSingleObject(g_wait_event, INFINITE);
    timeKillEvent(id);
}

}  // namespace

void wait_ms(UINT ms)
{
    // A wait longer than one timer can cover is made of several.
    while (ms > kTimerDelayMax) {
        wait_once(kTimerDelayMax);
        ms -= kTimerDelayMax;
    }
    wait_once(ms);
}
