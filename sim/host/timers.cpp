// Timers and the clock as the tool sees them: window timers (SetTimer,
// WM_TIMER through GetMessageA), multimedia timers (timeSetEvent) and the
// local time at the world's virtual time.
#include "host/sim_wm.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace sim {

std::vector<WinTimer> g_timers;

namespace {
uint64_t g_timer_seq = 0;
UINT_PTR g_thread_timer_id = 0x7F00;
}  // namespace

void kill_timers_of(HWND h)
{
    g_timers.erase(
        std::remove_if(g_timers.begin(), g_timers.end(), [h](const WinTimer& t) { return t.hwnd == h; }),
        g_timers.end());
}
void kill_thread_timers(int thread_number)
{
    g_timers.erase(
        std::remove_if(g_timers.begin(), g_timers.end(),
                       [thread_number](const WinTimer& tm) { return tm.owner_thread == thread_number; }),
        g_timers.end());
}

uint64_t next_window_timer_after(uint64_t now)
{
    uint64_t next = UINT64_MAX;
    for (const WinTimer& t : g_timers)
        if (t.due > now && t.due < next && thread_alive(thread_by_number(t.owner_thread)))
            next = t.due;
    return next;
}

}  // namespace sim

using sim::Window;

// ------------------------------------------------------------ timers

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT ms, void* proc)
{
    sim::preemption_point();
    sim::SimThread* self = sim::current_thread();
    int owner = self ? self->number : 0;
    if (hwnd) {
        Window* w = sim::live(hwnd);
        if (!w) {
            SetLastError(sim::kErrInvalidWindow);
            return 0;
        }
        if (self && w->owner_thread != self->number) {
            SetLastError(ERROR_ACCESS_DENIED);  // a window's timers belong to its own thread
            return 0;
        }
        owner = w->owner_thread;
    } else {
        id = ++sim::g_thread_timer_id;
    }
    if (ms < sim::kTimerMinimum)
        ms = sim::kTimerMinimum;
    if (ms > 0x7FFFFFFF)
        ms = 0x7FFFFFFF;
    uint64_t now = sim::now_ms();
    for (sim::WinTimer& t : sim::g_timers)
        if (hwnd && t.hwnd == hwnd && t.id == id) {
            // arming again restarts the period
            t.period = ms;
            t.due = now + ms;
            t.seq = ++sim::g_timer_seq;
            t.proc = proc;
            return id ? id : 1;
        }
    sim::WinTimer t;
    t.hwnd = hwnd;
    t.id = id;
    t.owner_thread = owner;
    t.period = ms;
    t.due = now + ms;
    t.seq = ++sim::g_timer_seq;
    t.proc = proc;
    sim::g_timers.push_back(t);
    return id ? id : 1;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id)
{
    sim::preemption_point();
    for (auto it = sim::g_timers.begin(); it != sim::g_timers.end(); ++it)
        if (it->hwnd == hwnd && it->id == id) {
            sim::g_timers.erase(it);
            return TRUE;
        }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

// ------------------------------------------------------------ multimedia timers and the local time

namespace {

using sim::EventObject;

struct MmTimer {
    UINT delay = 0;
    bool periodic = false;
    bool event_set = false;
    LPTIMECALLBACK proc = nullptr;
    DWORD_PTR user = 0;
    uint64_t item = 0;
};
std::map<UINT, MmTimer> g_mm_timers;
UINT g_mm_next = 0;

constexpr MMRESULT kMmInvalidParam = 11;  // MMSYSERR_INVALPARAM

void mm_fire(UINT id);

void mm_arm(UINT id)
{
    MmTimer& t = g_mm_timers[id];
    t.item = sim::schedule_after(t.delay, [id] { mm_fire(id); });
}

void mm_fire(UINT id)
{
    auto it = g_mm_timers.find(id);
    if (it == g_mm_timers.end())
        return;
    MmTimer t = it->second;
    if (t.periodic)
        mm_arm(id);
    else
        g_mm_timers.erase(it);
    if (t.event_set) {
        // The handle is looked up when the timer expires, as the platform does.
        if (auto* ev = sim::handle_as<EventObject>(reinterpret_cast<HANDLE>(t.proc)))
            ev->st->set = true;
    } else if (t.proc) {
        t.proc(id, 0, t.user, 0, 0);
    }
}

// days since 1970-01-01 of a civil date, and back
int64_t days_from_civil(int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civil_from_days(int64_t z, int64_t& y, unsigned& m, unsigned& d)
{
    z += 719468;
    const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    y = static_cast<int64_t>(yoe) + era * 400;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y += m <= 2;
}

}  // namespace

MMRESULT timeSetEvent(UINT delay, UINT, LPTIMECALLBACK proc, DWORD_PTR user, UINT flags)
{
    sim::preemption_point();
    // Windows accepts delays from 1 ms up to its wPeriodMax of 1,000,000 ms.
    const UINT kDelayMax = 1000000;
    if (delay == 0 || delay > kDelayMax)
        return 0;
    UINT id = ++g_mm_next;
    MmTimer& t = g_mm_timers[id];
    t.delay = delay;
    t.periodic = (flags & TIME_PERIODIC) != 0;
    t.event_set = (flags & TIME_CALLBACK_EVENT_SET) != 0;
    t.proc = proc;
    t.user = user;
    mm_arm(id);
    return id;
}

MMRESULT timeKillEvent(UINT id)
{
    sim::preemption_point();
    auto it = g_mm_timers.find(id);
    if (it == g_mm_timers.end())
        return kMmInvalidParam;
    sim::cancel(it->second.item);
    g_mm_timers.erase(it);
    return TIMERR_NOERROR;
}

DWORD timeGetTime(void)
{
    // The virtual clock counts from the start of the run, as the system's
    // count does from its start; only differences mean anything. Reading it
    // touches nothing another thread shares: no preemption point.
    return static_cast<DWORD>(sim::now_ms());
}

void GetLocalTime(LPSYSTEMTIME st)
{
    const sim::WorldConfig& c = sim::config();
    uint64_t now = sim::now_ms();
    int64_t secs =
        days_from_civil(c.year, static_cast<unsigned>(c.month), static_cast<unsigned>(c.day)) * 86400 +
        c.hour * 3600 + c.minute * 60 + c.second + static_cast<int64_t>(now / 1000);
    int64_t days = secs >= 0 ? secs / 86400 : (secs - 86399) / 86400;
    int64_t rem = secs - days * 86400;
    int64_t y;
    unsigned m, d;
    civil_from_days(days, y, m, d);
    st->wYear = static_cast<WORD>(y);
    st->wMonth = static_cast<WORD>(m);
    st->wDay = static_cast<WORD>(d);
    st->wDayOfWeek = static_cast<WORD>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
    st->wHour = static_cast<WORD>(rem / 3600);
    st->wMinute = static_cast<WORD>(rem / 60 % 60);
    st->wSecond = static_cast<WORD>(rem % 60);
    st->wMilliseconds = static_cast<WORD>(now % 1000);
}
