// The scheduler, the virtual clock and the kernel objects of the simulated world.
#include "common/world_test.h"

#include "common/globals.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using worldtest::Json;
using worldtest::run_world;
using worldtest::World;
using worldtest::WorldRun;

namespace {

// Appends "name@t" to out["log"]: what ran when.
void note(Json& out, const std::string& what)
{
    out["log"].push_back(what + "@" + std::to_string(sim::now_ms()));
}

std::vector<std::string> log_of(const WorldRun& r)
{
    std::vector<std::string> v;
    if (r.out.contains("log"))
        for (const Json& s : r.out["log"])
            v.push_back(s.get<std::string>());
    return v;
}

struct WorkerArgs {
    Json* out;
    const char* name;
    HANDLE event;
    DWORD wait_ms;
};

DWORD WINAPI waiting_worker(LPVOID p)
{
    auto* a = static_cast<WorkerArgs*>(p);
    note(*a->out, std::string(a->name) + ":start");
    DWORD r = WaitForSingleObject(a->event, a->wait_ms);
    note(*a->out, std::string(a->name) + (r == WAIT_OBJECT_0  ? ":signalled"
                                          : r == WAIT_TIMEOUT ? ":timeout"
                                                              : ":failed"));
    return 7;
}

}  // namespace

TEST(Clock, LongWaitCostsVirtualTimeOnly)
{
    WorldRun r = run_world([](Json& out) {
        g_wait_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        for (int i = 0; i < 450; i++)
            wait_ms(100);  // the way the tool waits: 45 s in 100 ms steps
        out["after_steps"] = sim::now_ms();
        wait_ms(0);  // cannot be armed: returns at once
        out["after_zero"] = sim::now_ms();
        return 3;
    });
    EXPECT_EQ(r.code, 3);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.out["after_steps"], 45000);
    EXPECT_EQ(r.out["after_zero"], 45000);
    // Slept for real, the 45 s would have taken at least as long.
    EXPECT_LT(r.real_ms, 45000.0);
}

TEST(Clock, TimeLimitEndsTheRunWith125)
{
    World c;
    c.until_ms = 5000;
    WorldRun r = run_world(
        [](Json& out) {
            HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            note(out, "waiting");
            WaitForSingleObject(never, INFINITE);
            note(out, "woke");  // must not happen
            return 0;
        },
        c);
    EXPECT_EQ(r.code, 125);
    EXPECT_TRUE(r.timed_out);
    EXPECT_EQ(r.end_ms, 5000u);
    EXPECT_EQ(log_of(r), (std::vector<std::string>{"waiting@0"}));
    EXPECT_LT(r.real_ms, 5000.0);  // the limit came in virtual time

    // A world item due after the limit does not move the clock past it.
    WorldRun late = run_world(
        [](Json&) {
            sim::schedule_at(9000, [] {});
            Sleep(20000);
            return 0;
        },
        c);
    EXPECT_EQ(late.code, 125);
    EXPECT_EQ(late.end_ms, 5000u);
}

TEST(Clock, WorldCallbacksFireInDueThenSchedulingOrder)
{
    WorldRun r = run_world([](Json& out) {
        Json* o = &out;
        sim::schedule_at(300, [o] { note(*o, "c"); });
        sim::schedule_at(100, [o] { note(*o, "a"); });
        sim::schedule_at(300, [o] { note(*o, "d"); });
        uint64_t gone = sim::schedule_at(200, [o] { note(*o, "cancelled"); });
        sim::schedule_after(100, [o] {
            note(*o, "b");
            // scheduled from a callback for the same time: fires in the same jump
            sim::schedule_after(0, [o] { note(*o, "b2"); });
        });
        sim::cancel(gone);
        Sleep(1000);
        note(out, "ui");
        return 0;
    });
    EXPECT_EQ(log_of(r), (std::vector<std::string>{"a@100", "b@100", "b2@100", "c@300", "d@300", "ui@1000"}));
}

TEST(Clock, EndRunFromWorldOrThread)
{
    WorldRun world = run_world([](Json&) {
        sim::schedule_at(700, [] { sim::end_run(42); });
        Sleep(100000);
        return 0;
    });
    EXPECT_EQ(world.code, 42);
    EXPECT_FALSE(world.timed_out);
    EXPECT_EQ(world.end_ms, 700u);

    WorldRun thread = run_world([](Json& out) {
        Sleep(50);
        sim::end_run(9);
        note(out, "after end_run");  // never runs
        return 0;
    });
    EXPECT_EQ(thread.code, 9);
    EXPECT_TRUE(log_of(thread).empty());
}

TEST(Clock, LocalTimeFollowsTheCalendar)
{
    struct Case {
        int y, mo, d, h, mi, s;
        uint64_t after_ms;
        const char* expect;  // YYYY-MM-DD HH:MM:SS.mmm dow
    };
    const Case cases[] = {
        {2024, 3, 5, 9, 5, 7, 0, "2024-03-05 09:05:07.000 2"},
        {2023, 12, 31, 23, 59, 59, 1500, "2024-01-01 00:00:00.500 1"},
        {2024, 2, 28, 23, 59, 30, 45000, "2024-02-29 00:00:15.000 4"},
        {2023, 2, 28, 23, 0, 0, 3600000, "2023-03-01 00:00:00.000 3"},
        {2100, 2, 28, 12, 0, 0, 86400000, "2100-03-01 12:00:00.000 1"},
        {2024, 4, 30, 23, 59, 59, 1001, "2024-05-01 00:00:00.001 3"},
    };
    for (const Case& c : cases) {
        World cfg;
        cfg.year = c.y;
        cfg.month = c.mo;
        cfg.day = c.d;
        cfg.hour = c.h;
        cfg.minute = c.mi;
        cfg.second = c.s;
        cfg.until_ms = 200000000;
        uint64_t wait = c.after_ms;
        WorldRun r = run_world(
            [wait](Json& out) {
                if (wait)
                    Sleep(static_cast<DWORD>(wait));
                SYSTEMTIME st;
                GetLocalTime(&st);
                char buf[64];
                std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u.%03u %u", st.wYear, st.wMonth,
                              st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds, st.wDayOfWeek);
                out["time"] = buf;
                return 0;
            },
            cfg);
        EXPECT_EQ(r.out["time"], c.expect) << "start " << c.y << "-" << c.mo << "-" << c.d;
    }
}

TEST(Threads, CreateThreadDoesNotYieldAndLowestNumberedRunsFirst)
{
    WorldRun r = run_world([](Json& out) {
        HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        static WorkerArgs a{&out, "w2", ev, INFINITE};
        static WorkerArgs b{&out, "w3", ev, INFINITE};
        DWORD id2 = 0, id3 = 0;
        HANDLE t2 = CreateThread(nullptr, 0, waiting_worker, &a, 0, &id2);
        HANDLE t3 = CreateThread(nullptr, 0, waiting_worker, &b, 0, &id3);
        note(out, "ui:created");
        out["ids_distinct"] = id2 != id3 && id2 != GetCurrentThreadId() && id2 != 0;
        Sleep(10);  // the workers run now, in their order
        note(out, "ui:set");
        SetEvent(ev);  // no yield: the UI thread goes on
        note(out, "ui:after set");
        DWORD code = 0;
        WaitForSingleObject(t3, INFINITE);
        note(out, "ui:joined");
        (void)t2;
        out["t3_ended"] = WaitForSingleObject(t3, 0) == WAIT_OBJECT_0;
        (void)code;
        return 0;
    });
    EXPECT_EQ(log_of(r), (std::vector<std::string>{"ui:created@0", "w2:start@0", "w3:start@0", "ui:set@10",
                                                   "ui:after set@10", "w2:signalled@10", "w3:signalled@10",
                                                   "ui:joined@10"}));
    EXPECT_TRUE(r.out["ids_distinct"].get<bool>());
    EXPECT_TRUE(r.out["t3_ended"].get<bool>());
}

TEST(Threads, SameRunTwiceGivesTheSameTrace)
{
    auto scenario = [](Json& out) {
        HANDLE ev = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        static WorkerArgs a{&out, "w", ev, 500};
        CreateThread(nullptr, 0, waiting_worker, &a, 0, nullptr);
        for (int i = 0; i < 5; i++) {
            Sleep(37 * (i + 1));
            sim::trace("tick", Json{{"i", i}, {"tid", GetCurrentThreadId()}});
            if (i == 2)
                SetEvent(ev);
        }
        UINT id = timeSetEvent(25, 0, (LPTIMECALLBACK)ev, 0, TIME_ONESHOT | TIME_CALLBACK_EVENT_SET);
        WaitForSingleObject(ev, INFINITE);
        timeKillEvent(id);
        sim::trace("done", Json{{"log", out["log"]}});
        return 0;
    };
    WorldRun one = run_world(scenario);
    WorldRun two = run_world(scenario);
    ASSERT_FALSE(one.records.empty());
    Json a = one.records, b = two.records;
    EXPECT_EQ(a.dump(), b.dump());
    EXPECT_EQ(one.out.dump(), two.out.dump());
}

TEST(Events, AutoResetWakesOneWaiterManualResetWakesAll)
{
    WorldRun r = run_world([](Json& out) {
        HANDLE autoev = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        static WorkerArgs a{&out, "a1", autoev, 1000};
        static WorkerArgs b{&out, "a2", autoev, 1000};
        static WorkerArgs c{&out, "m1", manual, 1000};
        static WorkerArgs d{&out, "m2", manual, 1000};
        a.event = b.event = autoev;
        c.event = d.event = manual;
        CreateThread(nullptr, 0, waiting_worker, &a, 0, nullptr);
        CreateThread(nullptr, 0, waiting_worker, &b, 0, nullptr);
        CreateThread(nullptr, 0, waiting_worker, &c, 0, nullptr);
        CreateThread(nullptr, 0, waiting_worker, &d, 0, nullptr);
        Sleep(100);
        SetEvent(autoev);
        SetEvent(manual);
        Sleep(2000);
        out["manual_still_set"] = WaitForSingleObject(manual, 0) == WAIT_OBJECT_0;
        ResetEvent(manual);
        out["manual_after_reset"] = WaitForSingleObject(manual, 0) == WAIT_OBJECT_0;
        SetEvent(autoev);
        out["auto_first"] = WaitForSingleObject(autoev, 0) == WAIT_OBJECT_0;
        out["auto_second"] = WaitForSingleObject(autoev, 0) == WAIT_OBJECT_0;
        out["bad_handle"] = WaitForSingleObject(reinterpret_cast<HANDLE>(0x7777), 0);
        return 0;
    });
    std::vector<std::string> log = log_of(r);
    auto has = [&log](const std::string& s) { return std::find(log.begin(), log.end(), s) != log.end(); };
    EXPECT_TRUE(has("a1:signalled@100"));
    EXPECT_TRUE(has("a2:timeout@1000"));  // the auto-reset event released one waiter only
    EXPECT_TRUE(has("m1:signalled@100"));
    EXPECT_TRUE(has("m2:signalled@100"));
    EXPECT_TRUE(r.out["manual_still_set"].get<bool>());
    EXPECT_FALSE(r.out["manual_after_reset"].get<bool>());
    EXPECT_TRUE(r.out["auto_first"].get<bool>());
    EXPECT_FALSE(r.out["auto_second"].get<bool>());
    EXPECT_EQ(r.out["bad_handle"], WAIT_FAILED);
}

TEST(Events, WaitTimeoutsAndThreadHandles)
{
    WorldRun r = run_world([](Json& out) {
        HANDLE ev = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        out["poll"] = WaitForSingleObject(ev, 0);
        out["poll_t"] = sim::now_ms();
        out["timeout"] = WaitForSingleObject(ev, 1234);
        out["timeout_t"] = sim::now_ms();
        // signalled by a world callback before the time-out
        sim::schedule_after(300, [ev] { SetEvent(ev); });
        out["early"] = WaitForSingleObject(ev, 5000);
        out["early_t"] = sim::now_ms();
        // the cancelled time-out does not disturb a later wait
        out["later"] = WaitForSingleObject(ev, 100);
        out["later_t"] = sim::now_ms();
        static WorkerArgs a{&out, "w", ev, 2000};
        a.event = ev;
        HANDLE th = CreateThread(nullptr, 0, waiting_worker, &a, 0, nullptr);
        out["thread_running"] = WaitForSingleObject(th, 500);
        out["thread_joined"] = WaitForSingleObject(th, INFINITE);
        out["join_t"] = sim::now_ms();
        CloseHandle(th);
        return 0;
    });
    EXPECT_EQ(r.out["poll"], WAIT_TIMEOUT);
    EXPECT_EQ(r.out["poll_t"], 0);
    EXPECT_EQ(r.out["timeout"], WAIT_TIMEOUT);
    EXPECT_EQ(r.out["timeout_t"], 1234);
    EXPECT_EQ(r.out["early"], WAIT_OBJECT_0);
    EXPECT_EQ(r.out["early_t"], 1534);
    EXPECT_EQ(r.out["later"], WAIT_TIMEOUT);
    EXPECT_EQ(r.out["later_t"], 1634);
    EXPECT_EQ(r.out["thread_running"], WAIT_TIMEOUT);
    EXPECT_EQ(r.out["thread_joined"], WAIT_OBJECT_0);
    EXPECT_EQ(r.out["join_t"], 1634 + 2000);
}

TEST(Events, MultimediaTimerSetsTheEventOnceAtItsTime)
{
    WorldRun r = run_world([](Json& out) {
        HANDLE ev = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        out["zero"] = timeSetEvent(0, 0, (LPTIMECALLBACK)ev, 0, TIME_ONESHOT | TIME_CALLBACK_EVENT_SET);
        Sleep(40);
        UINT id = timeSetEvent(250, 0, (LPTIMECALLBACK)ev, 0, TIME_ONESHOT | TIME_CALLBACK_EVENT_SET);
        out["id_nonzero"] = id != 0;
        out["before"] = WaitForSingleObject(ev, 249);  // 289: not yet
        out["at"] = WaitForSingleObject(ev, INFINITE);
        out["at_t"] = sim::now_ms();
        out["again"] = WaitForSingleObject(ev, 1000);  // one-shot: no second time
        timeKillEvent(id);
        // a timer killed before it is due never sets the event
        UINT killed = timeSetEvent(100, 0, (LPTIMECALLBACK)ev, 0, TIME_ONESHOT | TIME_CALLBACK_EVENT_SET);
        out["kill"] = timeKillEvent(killed);
        out["after_kill"] = WaitForSingleObject(ev, 500);
        out["kill_unknown"] = timeKillEvent(killed);
        // periodic
        UINT per = timeSetEvent(30, 0, (LPTIMECALLBACK)ev, 0, TIME_PERIODIC | TIME_CALLBACK_EVENT_SET);
        uint64_t t0 = sim::now_ms();
        for (int i = 0; i < 3; i++)
            WaitForSingleObject(ev, INFINITE);
        out["periodic_span"] = sim::now_ms() - t0;
        timeKillEvent(per);
        return 0;
    });
    EXPECT_EQ(r.out["zero"], 0);
    EXPECT_TRUE(r.out["id_nonzero"].get<bool>());
    EXPECT_EQ(r.out["before"], WAIT_TIMEOUT);
    EXPECT_EQ(r.out["at"], WAIT_OBJECT_0);
    EXPECT_EQ(r.out["at_t"], 290);
    EXPECT_EQ(r.out["again"], WAIT_TIMEOUT);
    EXPECT_EQ(r.out["kill"], TIMERR_NOERROR);
    EXPECT_EQ(r.out["after_kill"], WAIT_TIMEOUT);
    EXPECT_NE(r.out["kill_unknown"], TIMERR_NOERROR);
    EXPECT_EQ(r.out["periodic_span"], 90);
}

namespace {
CRITICAL_SECTION g_cs;

DWORD WINAPI cs_holder(LPVOID p)
{
    Json& out = *static_cast<Json*>(p);
    EnterCriticalSection(&g_cs);
    EnterCriticalSection(&g_cs);  // recursion
    note(out, "worker:in");
    Sleep(500);
    LeaveCriticalSection(&g_cs);
    note(out, "worker:left once");
    Sleep(500);
    LeaveCriticalSection(&g_cs);
    note(out, "worker:out");
    Sleep(10);
    return 0;
}
}  // namespace

TEST(Threads, CriticalSectionMakesTheOtherThreadWait)
{
    WorldRun r = run_world([](Json& out) {
        InitializeCriticalSection(&g_cs);
        CreateThread(nullptr, 0, cs_holder, &out, 0, nullptr);
        Sleep(100);  // the worker takes the section
        note(out, "ui:enter");
        EnterCriticalSection(&g_cs);
        note(out, "ui:in");
        LeaveCriticalSection(&g_cs);
        DeleteCriticalSection(&g_cs);
        return 0;
    });
    EXPECT_EQ(log_of(r), (std::vector<std::string>{"worker:in@0", "ui:enter@100", "worker:left once@500",
                                                   "worker:out@1000", "ui:in@1000"}));
}

TEST(Threads, SetUpCallsBeforeTheRunDoNotTakeTheUiThreadsPlace)
{
    static DWORD before_tid = 0;
    World w;
    w.before = [] { before_tid = GetCurrentThreadId(); };
    WorldRun r = run_world(
        [](Json& out) {
            out["same_number"] = GetCurrentThreadId() == before_tid;
            Sleep(10);
            return 5;
        },
        w);
    EXPECT_EQ(r.code, 5);
    EXPECT_TRUE(r.out["same_number"].get<bool>());
}

// Without a run, the calling thread is adopted: tests may call the tool's
// waiting functions directly, and workers run while it waits.
DWORD WINAPI adopted_worker(LPVOID p)
{
    Sleep(300);
    SetEvent(static_cast<HANDLE>(p));
    return 0;
}

TEST(Threads, CallerIsAdoptedOutsideARun)
{
    EXPECT_EXIT(
        {
            g_wait_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
            wait_ms(1500);
            bool ok = sim::now_ms() == 1500;
            HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            CreateThread(nullptr, 0, adopted_worker, ev, 0, nullptr);
            ok = ok && WaitForSingleObject(ev, 10000) == WAIT_OBJECT_0 && sim::now_ms() == 1800;
            std::_Exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(Threads, AWaitThatCanNeverEndAbortsOutsideARun)
{
    EXPECT_DEATH(
        {
            HANDLE ev = CreateEventA(nullptr, TRUE, FALSE, nullptr);
            WaitForSingleObject(ev, INFINITE);
        },
        "every simulated thread waits");
}

namespace {

// Two threads that never wait: the UI thread counts kBusySteps steps in a
// value both share (every access a preemption point) while a worker reads
// it. World items note the step they came at; "loop end" notes the clock
// when the UI thread has counted to the end, then both threads wait.
const int kBusySteps = 400;
shared_atomic<int> g_busy_step(0);

DWORD WINAPI busy_reader(LPVOID)
{
    for (int i = 0; i < kBusySteps; i++)
        (void)g_busy_step.load();
    return 0;
}

int busy_threads(Json& out, const std::vector<uint64_t>& items, UINT timer_ms)
{
    if (timer_ms)
        SetTimer(nullptr, 0, timer_ms, nullptr);  // first: its own preemption point moves nothing yet
    Json* o = &out;
    for (uint64_t due : items)
        sim::schedule_at(due, [o] { note(*o, "item step " + std::to_string(g_busy_step.load())); });
    HANDLE worker = CreateThread(nullptr, 0, busy_reader, nullptr, 0, nullptr);
    for (int i = 1; i <= kBusySteps; i++)
        g_busy_step.store(i);
    note(out, "loop end");
    WaitForSingleObject(worker, INFINITE);
    Sleep(100);
    return 0;
}

WorldRun busy_run(uint64_t seed, bool anywhere, const std::vector<uint64_t>& items, UINT timer_ms = 0)
{
    World c;
    c.interleave_seed = seed;
    c.events_anywhere = anywhere;
    return run_world([items, timer_ms](Json& out) { return busy_threads(out, items, timer_ms); }, c);
}

}  // namespace

TEST(EventsAnywhere, ACallbackOrATimerComesWhileThreadsRun)
{
    // Seeded, with the option: a callback due 5 ms ahead comes at some
    // preemption point in the middle of the loop, at 5 ms, and the clock
    // moves on to a timer due at 10 ms before the loop ends. Without the
    // option, or in the fixed order, the callback waits until both threads
    // wait, and the clock stands still while they run.
    for (uint64_t seed : {1, 2, 3, 4}) {
        WorldRun r = busy_run(seed, true, {5}, 10);
        std::vector<std::string> log = log_of(r);
        ASSERT_EQ(log.size(), 2u) << seed;
        int step = -1;
        ASSERT_EQ(std::sscanf(log[0].c_str(), "item step %d@5", &step), 1) << log[0];
        EXPECT_LT(step, kBusySteps) << seed;
        EXPECT_EQ(log[0].substr(log[0].size() - 2), "@5") << seed;
        EXPECT_EQ(log[1], "loop end@10") << seed;
    }
    for (uint64_t seed : {0, 1, 2}) {
        WorldRun r = busy_run(seed, seed == 0, {5}, 10);
        EXPECT_EQ(log_of(r), (std::vector<std::string>{"loop end@0", "item step 400@5"})) << seed;
    }
}

TEST(EventsAnywhere, NothingFurtherThanTheHorizonComesEarly)
{
    // An item due at the horizon comes while the threads run; one due more
    // than the horizon after it waits until both threads wait.
    const uint64_t near = sim::kEventHorizonMs, far = 2 * sim::kEventHorizonMs + 1;
    for (uint64_t seed : {1, 2, 3, 4}) {
        WorldRun r = busy_run(seed, true, {near, far});
        std::vector<std::string> log = log_of(r);
        ASSERT_EQ(log.size(), 3u) << seed;
        int step = -1;
        EXPECT_EQ(std::sscanf(log[0].c_str(), "item step %d@", &step), 1) << log[0];
        EXPECT_LT(step, kBusySteps) << seed;
        EXPECT_EQ(log[0].substr(log[0].find('@')), "@" + std::to_string(near)) << seed;
        EXPECT_EQ(log[1], "loop end@" + std::to_string(near)) << seed;
        EXPECT_EQ(log[2], "item step 400@" + std::to_string(far)) << seed;
    }
}
