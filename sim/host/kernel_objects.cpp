// Kernel objects of the simulated world: events, threads, sleeps and
// critical sections, each blocking through the scheduler (scheduler.cpp).
#include "host/sim_internal.h"

#include <cstdio>
#include <cstdlib>
#include <memory>

// ------------------------------------------------------------ kernel objects

using sim::EventObject;
using sim::EventState;

namespace {

struct ThreadState {
    bool finished = false;
    DWORD exit_code = 0;
};

struct ThreadObject : sim::HandleObject {
    std::shared_ptr<ThreadState> st;
    const char* kind() const override { return "thread"; }
};

sim::SimThread* self_or_die()
{
    sim::SimThread* self = sim::current_thread();
    if (!self) {
        std::fprintf(stderr, "simulated world: call from a thread outside the world\n");
        std::abort();
    }
    return self;
}

}  // namespace

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES, BOOL manual_reset, BOOL initial, LPCSTR)
{
    auto* ev = new EventObject;
    ev->st->manual = manual_reset != 0;
    ev->st->set = initial != 0;
    return sim::handle_insert(ev);
}

BOOL SetEvent(HANDLE h)
{
    sim::preemption_point();
    auto* ev = sim::handle_as<EventObject>(h);
    if (!ev) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ev->st->set = true;
    return TRUE;
}

BOOL ResetEvent(HANDLE h)
{
    sim::preemption_point();
    auto* ev = sim::handle_as<EventObject>(h);
    if (!ev) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ev->st->set = false;
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE h, DWORD ms)
{
    sim::preemption_point();
    std::function<bool()> signalled;
    std::function<void()> consume = [] {};
    if (auto* ev = sim::handle_as<EventObject>(h)) {
        std::shared_ptr<EventState> st = ev->st;
        signalled = [st] { return st->set; };
        consume = [st] {
            if (!st->manual)
                st->set = false;
        };
    } else if (auto* th = sim::handle_as<ThreadObject>(h)) {
        std::shared_ptr<ThreadState> st = th->st;
        signalled = [st] { return st->finished; };
    } else {
        // A wait on a closed handle returns at once: a thread whose waits
        // pace it would then race on. The trace shows it.
        sim::trace("fault", {{"what", "wait_on_invalid_handle"}});
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    self_or_die();
    sim::poll();
    if (signalled()) {
        consume();
        return WAIT_OBJECT_0;
    }
    if (ms == 0)
        return WAIT_TIMEOUT;
    auto timed_out = std::make_shared<bool>(false);
    uint64_t item = 0;
    if (ms != INFINITE)
        item = sim::schedule_after(ms, [timed_out] { *timed_out = true; });
    sim::block([&signalled, timed_out] { return signalled() || *timed_out; });
    if (signalled()) {
        sim::cancel(item);
        consume();
        return WAIT_OBJECT_0;
    }
    return WAIT_TIMEOUT;
}

void Sleep(DWORD ms)
{
    sim::preemption_point();
    self_or_die();
    if (ms == 0) {
        sim::poll();
        return;
    }
    auto done = std::make_shared<bool>(false);
    sim::schedule_after(ms == INFINITE ? UINT64_MAX / 2 : ms, [done] { *done = true; });
    sim::block([done] { return *done; });
}

HANDLE CreateThread(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE start, LPVOID param, DWORD,
                    LPDWORD id)
{
    sim::preemption_point();
    using namespace sim;
    self_or_die();
    auto st = std::make_shared<ThreadState>();
    SimThread* t = spawn_thread([start, param, st] {
        st->exit_code = start(param);
        st->finished = true;
    });
    if (id)
        *id = t->tid;
    auto* obj = new ThreadObject;
    obj->st = st;
    return handle_insert(obj);
}

HANDLE GetCurrentProcess(void)
{
    return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
}

DWORD GetCurrentThreadId(void)
{
    sim::SimThread* self = sim::current_thread();
    return self ? self->tid : 0;
}

void InitializeCriticalSection(LPCRITICAL_SECTION cs)
{
    cs->owner = nullptr;
    cs->recursion = 0;
    cs->impl = nullptr;
}

void EnterCriticalSection(LPCRITICAL_SECTION cs)
{
    sim::preemption_point();
    sim::SimThread* self = self_or_die();
    if (cs->owner && cs->owner != self)
        sim::block([cs] { return cs->owner == nullptr; });
    cs->owner = self;
    cs->recursion++;
}

void LeaveCriticalSection(LPCRITICAL_SECTION cs)
{
    sim::preemption_point();
    if (cs->owner != sim::current_thread() || cs->recursion <= 0)
        return;
    if (--cs->recursion == 0)
        cs->owner = nullptr;
}

void DeleteCriticalSection(LPCRITICAL_SECTION cs)
{
    cs->owner = nullptr;
    cs->recursion = 0;
}
