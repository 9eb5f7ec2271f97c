// The heart of the simulated world: one baton shared by the simulated
// threads, the virtual clock with its queue of world callbacks, the trace and
// the poll hook, and the start and end of a run. See docs/scheduler.md.
//
// The simulated threads are coroutines (fiber.h) on the one OS thread that
// runs the world: handing the baton over is a context switch in user space.
#include "host/sim_internal.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <unordered_map>
#include <vector>

namespace sim {

namespace {

std::vector<std::unique_ptr<SimThread>> g_threads;  // index = number - 1
SimThread* g_current = nullptr;                     // holder of the baton
SimThread* t_self = nullptr;                        // the thread whose context runs
int t_world_depth = 0;                              // world callbacks in progress
Fiber g_main_ctx;                                   // where run_function waits for the end
const size_t kStackSize = 1 << 20;

// the run
bool g_run_active = false;
bool g_run_over = false;
bool g_timed_out = false;
int g_exit_code = 0;
bool g_end_requested = false;
int g_end_code = 0;
// The entry point has returned: the process ends once no other thread can go
// on at this instant (the other threads run on while it winds down, as on
// the platform, but no time passes).
// The most threads besides the UI thread alive at once.
int g_most_live_workers = 0;
bool g_exiting = false;
int g_exit_pending = 0;

// The seeded interleaving (config().interleave_seed; 0: the fixed order).
bool g_seeded = false;
uint64_t g_seed_state = 0;
// World callbacks at preemption points (config().events_anywhere, under a
// seed), with a stream of their own.
bool g_events_anywhere = false;
uint64_t g_event_state = 0;

uint64_t splitmix64(uint64_t& state)
{
    // small, fast and the same everywhere
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint64_t next_random()
{
    return splitmix64(g_seed_state);
}

// the clock and its queue of world callbacks, ordered by (due, scheduling order)
uint64_t g_now = 0;
uint64_t g_next_id = 0;
std::map<std::pair<uint64_t, uint64_t>, std::function<void()>> g_items;
std::unordered_map<uint64_t, uint64_t> g_item_due;  // id -> due

TraceSink g_sink;
int g_sink_depth = 0;                    // trace records on their way to the sink
std::vector<std::string> g_skip_events;  // records left out
std::function<void(const char* ev)> g_skipped;
std::function<void()> g_poll_hook;

[[noreturn]] void fatal(const char* what)
{
    std::fprintf(stderr, "simulated world: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

SimThread* new_thread(SimThread::State state)
{
    auto t = std::make_unique<SimThread>();
    t->number = static_cast<int>(g_threads.size()) + 1;
    t->tid = 0x1000 + 4 * static_cast<DWORD>(t->number);
    t->state = state;
    g_threads.push_back(std::move(t));
    return g_threads.back().get();
}

// Ends the run (once): the waiting run_entry returns `code`.
void finish_run(int code, bool timed_out)
{
    if (g_run_over)
        return;
    g_run_over = true;
    g_timed_out = timed_out;
    g_exit_code = code;
    g_current = nullptr;
}

// The calling thread never runs again: control goes back to run_function.
[[noreturn]] void park()
{
    t_self = nullptr;
    fiber_jump(g_main_ctx);
}

// Fires the world callbacks that are due (due <= now) in order.
bool fire_due()
{
    bool fired = false;
    while (!g_items.empty() && g_items.begin()->first.first <= g_now && !g_end_requested) {
        auto it = g_items.begin();
        std::function<void()> fn = std::move(it->second);
        g_item_due.erase(it->first.second);
        g_items.erase(it);
        run_in_world(fn);
        poll();
        fired = true;
    }
    return fired;
}

// When the next world callback or window timer is due (UINT64_MAX: none).
uint64_t next_due()
{
    uint64_t next = UINT64_MAX;
    if (!g_items.empty())
        next = g_items.begin()->first.first;
    uint64_t timer = next_window_timer_after(g_now);
    return timer < next ? timer : next;
}

// Nothing can run: moves the clock to the next due item and fires what is
// due then. False when nothing is due before the time limit (the clock then
// stands at the limit).
bool advance_clock()
{
    if (fire_due())
        return true;
    uint64_t next = next_due();
    uint64_t until = config().until_ms;
    if (next == UINT64_MAX || next > until) {
        if (g_now < until)
            g_now = until;
        return false;
    }
    g_now = next;
    fire_due();
    return true;
}

// At a preemption point (events_anywhere), as the draw `r` says: fires what
// is due now (at one point in two: a click or a device that has come does not
// wait for long, but may still come after the running thread's next step) or,
// when nothing is, moves the clock to the earliest world callback or window
// timer due within kEventHorizonMs (at one point in four, never past the
// time limit, and not while the process winds down, when no time passes) and
// fires what is due then. True when something came.
bool deliver_early(uint64_t r)
{
    if (!g_items.empty() && g_items.begin()->first.first <= g_now) {
        if (r % 2 != 0)
            return false;
        fire_due();
        return true;
    }
    if (r % 4 != 0 || g_exiting)
        return false;
    uint64_t next = next_due();
    if (next == UINT64_MAX || next > g_now + kEventHorizonMs || next > config().until_ms)
        return false;
    g_now = next;
    fire_due();
    return true;
}

bool can_run(SimThread* t)
{
    if (t->state == SimThread::READY || t->state == SimThread::RUNNING)
        return true;
    return t->state == SimThread::BLOCKED && t->wake && t->wake();
}

// Picks the thread to run next: the lowest-numbered one that can run; when
// none can, the clock moves on. nullptr: the run is over.
SimThread* pick_next()
{
    for (;;) {
        if (g_end_requested || g_run_over)
            return nullptr;
        poll();
        if (g_seeded) {
            std::vector<SimThread*> ready;
            for (auto& t : g_threads)
                if (can_run(t.get()))
                    ready.push_back(t.get());
            if (!ready.empty())
                return ready[next_random() % ready.size()];
        } else {
            for (auto& t : g_threads)
                if (can_run(t.get()))
                    return t.get();
        }
        if (g_exiting) {
            if (fire_due())
                continue;
            g_end_requested = true;
            g_end_code = g_exit_pending;
            return nullptr;
        }
        if (!advance_clock()) {
            if (!g_run_active)
                fatal("every simulated thread waits and nothing is due before the time limit");
            return nullptr;
        }
    }
}

// Hands the baton to `next` and returns when it comes back to `self`; a
// thread that has ended never comes back.
void transfer(SimThread* self, SimThread* next)
{
    g_current = next;
    t_self = next;
    if (self->state == SimThread::DONE) {
        fiber_jump(next->ctx);
    }
    fiber_switch(self->ctx, next->ctx);
    t_self = self;
}

// The calling thread cannot go on (BLOCKED, READY after a yield, or DONE):
// runs the scheduler and returns when `self` holds the baton again.
void switch_away(SimThread* self)
{
    SimThread* next = pick_next();
    if (!next) {
        if (g_end_requested)
            finish_run(g_end_code, false);
        else
            finish_run(125, true);
        park();
    }
    if (next != self)
        transfer(self, next);
    if (self->state != SimThread::DONE)
        self->state = SimThread::RUNNING;
}

// A coroutine starts here the first time the baton reaches it.
void thread_entry()
{
    SimThread* self = t_self;
    self->state = SimThread::RUNNING;
    self->body();
    park();  // bodies end by handing the baton on; never reached
}

void make_coroutine(SimThread* t, std::function<void()> body)
{
    t->body = std::move(body);
    t->stack.reset(new char[kStackSize]);
    fiber_make(t->ctx, t->stack.get(), kStackSize, thread_entry);
}

}  // namespace

// ------------------------------------------------------------ internals

SimThread* spawn_thread(std::function<void()> body)
{
    SimThread* t = new_thread(SimThread::READY);
    int live = live_workers();
    if (live > g_most_live_workers)
        g_most_live_workers = live;
    make_coroutine(t, [t, body] {
        body();
        t->state = SimThread::DONE;
        windows_thread_ended(t);
        switch_away(t);
    });
    return t;
}

SimThread* current_thread()
{
    if (t_world_depth > 0)
        return nullptr;  // world callbacks belong to no thread
    if (t_self)
        return t_self;
    if (g_run_active)
        return nullptr;
    // Outside a run the caller becomes a simulated thread holding the baton.
    SimThread* t = new_thread(SimThread::RUNNING);
    t_self = t;
    g_current = t;
    return t;
}

SimThread* running_thread()
{
    return t_self;
}

SimThread* thread_by_number(int number)
{
    if (number < 1 || number > static_cast<int>(g_threads.size()))
        return nullptr;
    return g_threads[number - 1].get();
}

bool in_world_context()
{
    return t_world_depth > 0;
}

void run_in_world(const std::function<void()>& fn)
{
    // The switching thread's last error is its own, not the world's.
    DWORD last_error = GetLastError();
    t_world_depth++;
    fn();
    t_world_depth--;
    SetLastError(last_error);
}

void poll()
{
    if (g_poll_hook)
        run_in_world(g_poll_hook);
}

void block(std::function<bool()> can_go)
{
    if (t_world_depth > 0)
        fatal("a world callback tried to wait");
    SimThread* self = current_thread();
    if (!self)
        fatal("a thread outside the simulated world tried to wait during a run");
    self->wake = std::move(can_go);
    self->state = SimThread::BLOCKED;
    switch_away(self);
    self->wake = nullptr;
}

void preemption_point()
{
    if (!g_seeded || !g_run_active || g_run_over || g_end_requested || t_world_depth > 0)
        return;
    SimThread* self = t_self;
    if (!self || self->state != SimThread::RUNNING || g_current != self)
        return;
    // What the sink does with a record (the runner reads the tool's globals
    // there) is no step of the world: the world must not act, nor time pass,
    // between the making of a record and its writing, nor in the middle of
    // the stand-in call or device model that made it.
    if (g_events_anywhere && g_sink_depth > 0)
        return;
    // The world may act here, as on the platform, where a device or the
    // user does not wait until every thread waits. What came makes a
    // scheduling point: the seed picks who goes on.
    if (g_events_anywhere && deliver_early(splitmix64(g_event_state))) {
        self->state = SimThread::READY;
        switch_away(self);
        return;
    }
    // A switch at about one point in four keeps runs long enough to reach
    // every stage while still mixing the threads everywhere.
    if (next_random() % 4 != 0)
        return;
    self->state = SimThread::READY;
    switch_away(self);
}

void yield_to(SimThread* target)
{
    SimThread* self = current_thread();
    if (!self || !target || target == self || t_world_depth > 0)
        return;
    poll();
    if (g_end_requested || g_run_over) {
        if (!g_run_over)
            finish_run(g_end_code, false);
        park();
    }
    self->state = SimThread::READY;
    transfer(self, target);
    self->state = SimThread::RUNNING;
}

// ------------------------------------------------------------ world API

uint64_t now_ms()
{
    return g_now;
}

uint64_t schedule_at(uint64_t due_ms, std::function<void()> fn)
{
    if (due_ms < g_now)
        due_ms = g_now;
    uint64_t id = ++g_next_id;
    g_items[{due_ms, id}] = std::move(fn);
    g_item_due[id] = due_ms;
    return id;
}

uint64_t schedule_after(uint64_t delay_ms, std::function<void()> fn)
{
    return schedule_at(g_now + delay_ms, std::move(fn));
}

void cancel(uint64_t id)
{
    auto it = g_item_due.find(id);
    if (it == g_item_due.end())
        return;
    g_items.erase({it->second, id});
    g_item_due.erase(it);
}

void set_trace_sink(TraceSink sink)
{
    g_sink = std::move(sink);
}

void set_trace_skip(std::vector<std::string> events, std::function<void(const char* ev)> skipped)
{
    g_skip_events = std::move(events);
    g_skipped = std::move(skipped);
}

bool trace_wanted(const char* ev)
{
    if (!g_sink)
        return false;
    for (const std::string& e : g_skip_events) {
        if (e == ev) {
            // The sink's place: the same scheduling points as a record.
            g_sink_depth++;
            if (g_skipped)
                g_skipped(ev);
            g_sink_depth--;
            return false;
        }
    }
    return true;
}

void trace(const char* ev, Json fields)
{
    if (!trace_wanted(ev))
        return;
    Json record = Json::object();
    record["t"] = g_now;
    record["ev"] = ev;
    if (fields.is_object())
        for (auto& it : fields.items())
            record[it.key()] = std::move(it.value());
    g_sink_depth++;
    g_sink(record);
    g_sink_depth--;
}

void set_poll_hook(std::function<void()> hook)
{
    g_poll_hook = std::move(hook);
}

int run_function(std::function<int()> fn)
{
    if (t_self && !g_run_active && g_threads.size() == 1 && g_threads[0].get() == t_self) {
        // The caller was adopted while setting the world up (it touched a
        // call that needs a thread) but never waited: the run's UI thread
        // takes its place as thread 1.
        g_threads.clear();
        t_self = nullptr;
        g_current = nullptr;
    }
    if (g_run_active || t_self)
        fatal("a run needs a fresh process (the world was used before)");
    g_run_active = true;
    g_seeded = config().interleave_seed != 0;
    g_seed_state = config().interleave_seed;
    g_events_anywhere = g_seeded && config().events_anywhere;
    g_event_state = config().interleave_seed ^ 0xA5A5C3C35A5A3C3Cull;
    SimThread* ui = new_thread(SimThread::READY);
    make_coroutine(ui, [ui, fn] {
        int code = fn();
        g_exit_pending = code;
        g_exiting = true;
        ui->state = SimThread::DONE;
        switch_away(ui);
        park();
    });
    g_current = ui;
    t_self = ui;
    fiber_switch(g_main_ctx, ui->ctx);
    // The run is over; the simulated threads stay where they are for good.
    t_self = nullptr;
    return g_exit_code;
}

void end_run(int code)
{
    if (g_run_over)
        return;
    if (!g_end_requested) {
        g_end_requested = true;
        g_end_code = code;
    }
    if (t_world_depth > 0 || !t_self)
        return;  // the scheduler ends the run when the callback returns
    finish_run(g_end_code, false);
    park();
}

bool run_timed_out()
{
    return g_timed_out;
}

int live_workers()
{
    int n = 0;
    for (auto& t : g_threads)
        if (t->number > 1 && t->state != SimThread::DONE)
            n++;
    return n;
}

int most_live_workers()
{
    return g_most_live_workers;
}

}  // namespace sim
