// Message queues: window procedures called on their own thread, messages
// sent across threads and from the world, posted messages, GetMessageA and
// its dispatch, and the user's clicks and keys.
#include "host/sim_wm.h"

#include <algorithm>

namespace sim {

// Calls the window's procedure on the calling thread.
LRESULT deliver(Window* w, UINT msg, WPARAM wp, LPARAM lp, bool wide)
{
    if (!w || w->destroyed || w->foreign)
        return 0;
    switch (w->kind) {
    case WindowKind::App: {
        if (!w->wndproc)
            return 0;
        if (wide && msg == WM_SETTEXT) {
            // an ANSI window procedure receives ANSI text
            std::string a = lp ? utf16_to_ansi(wide_cstr(reinterpret_cast<const WCHAR*>(lp))) : std::string();
            return w->wndproc(w->hwnd, msg, wp, lp ? reinterpret_cast<LPARAM>(a.c_str()) : 0);
        }
        return w->wndproc(w->hwnd, msg, wp, lp);
    }
    case WindowKind::Dialog: {
        INT_PTR r = w->dlgproc ? w->dlgproc(w->hwnd, msg, wp, lp) : 0;
        if (r)
            return r;
        return dialog_default(w, msg, wp, lp, wide);
    }
    default: return control_proc(w, msg, wp, lp, wide);
    }
}

// Serves the oldest message sent to `self` from another thread or the world.
void serve_one(SimThread* self)
{
    std::shared_ptr<SentMessage> m = self->sent_in.front();
    self->sent_in.pop_front();
    LRESULT r = 0;
    if (m->action)
        r = m->action();
    else
        r = deliver(live(m->hwnd), m->msg, m->wp, m->lp, m->wide);
    m->result = r;
    m->done = true;
    if (m->on_reply)
        run_in_world([&] { m->on_reply(r); });
    // The sender's call returns now: it goes on at once.
    if (m->sender && m->sender->state == SimThread::BLOCKED)
        yield_to(m->sender);
}

// Runs a call on the window's thread: directly when the caller owns the
// window, else as a sent message the owner serves while the caller waits.
LRESULT on_owner(Window* w, UINT msg, WPARAM wp, LPARAM lp, bool wide, std::function<LRESULT()> action)
{
    SimThread* owner = owner_of(w);
    if (!thread_alive(owner))
        return 0;
    SimThread* self = in_world_context() ? nullptr : current_thread();
    if (self == owner)
        return action ? action() : deliver(w, msg, wp, lp, wide);
    auto m = std::make_shared<SentMessage>();
    m->hwnd = w->hwnd;
    m->msg = msg;
    m->wp = wp;
    m->lp = lp;
    m->wide = wide;
    m->action = std::move(action);
    m->sender = self;
    owner->sent_in.push_back(m);
    if (!self)
        return 0;  // from the world: nobody waits for the answer
    for (;;) {
        block([m, self] { return m->done || !self->sent_in.empty(); });
        if (m->done)
            break;
        serve_one(self);  // a thread waiting for its send serves sends to it
    }
    return m->result;
}

LRESULT send(Window* w, UINT msg, WPARAM wp, LPARAM lp, bool wide)
{
    if (!w || w->destroyed)
        return 0;
    if (w->foreign)
        return 0;
    return on_owner(w, msg, wp, lp, wide, nullptr);
}

bool post(Window* w, HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    SimThread* t = w ? owner_of(w) : nullptr;
    if (!thread_alive(t))
        return false;
    MSG m{};
    m.hwnd = hwnd;
    m.message = msg;
    m.wParam = wp;
    m.lParam = lp;
    m.time = static_cast<DWORD>(now_ms());
    t->posted.push_back(m);
    return true;
}

namespace {

WPARAM key_lparam(UINT msg)
{
    switch (msg) {
    case WM_KEYDOWN: return 0x00000001;
    case WM_KEYUP: return 0xC0000001;
    case WM_SYSKEYDOWN: return 0x20000001;
    case WM_SYSKEYUP: return 0xE0000001;  // Alt held, key released
    default: return 0;
    }
}

}  // namespace

void system_send(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp, std::function<void(LRESULT)> on_reply)
{
    Window* w = live(hwnd);
    SimThread* owner = w ? owner_of(w) : nullptr;
    if (!thread_alive(owner)) {
        if (on_reply)
            run_in_world([&] { on_reply(0); });
        return;
    }
    auto m = std::make_shared<SentMessage>();
    m->hwnd = hwnd;
    m->msg = msg;
    m->wp = wp;
    m->lp = lp;
    m->on_reply = std::move(on_reply);
    owner->sent_in.push_back(m);
}

void system_post(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    Window* w = live(hwnd);
    if (w)
        post(w, hwnd, msg, wp, lp);
}

void user_click_button(HWND button)
{
    Window* w = live(button);
    if (!w || w->kind != WindowKind::Button || !effectively_enabled(w) || !effectively_visible(w))
        return;
    post(w, button, BM_CLICK, 0, 0);
}

void user_key(HWND target, UINT msg, WPARAM vk)
{
    Window* w = live(target);
    if (!w || !effectively_visible(w))
        return;
    post(w, target, msg, vk, static_cast<LPARAM>(key_lparam(msg)));
}

}  // namespace sim

using sim::Window;
using sim::WindowKind;

// ------------------------------------------------------------ messages

BOOL GetMessageA(LPMSG msg, HWND hwnd, UINT min, UINT max)
{
    sim::SimThread* self = sim::current_thread();
    if (!self || !msg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (hwnd && !sim::live(hwnd)) {
        SetLastError(sim::kErrInvalidWindow);
        return -1;
    }
    auto wanted = [hwnd, min, max](const MSG& m) {
        if (m.hwnd && !sim::live(m.hwnd))
            return true;  // taken out of the queue when looked at
        if (hwnd && !sim::is_descendant_or_self(m.hwnd, hwnd))
            return false;
        if ((min || max) && (m.message < min || m.message > max))
            return false;
        return true;
    };
    auto due_timer = [self, hwnd, min, max]() -> sim::WinTimer* {
        sim::WinTimer* due = nullptr;
        uint64_t now = sim::now_ms();
        if ((min || max) && (WM_TIMER < min || WM_TIMER > max))
            return nullptr;
        for (sim::WinTimer& t : sim::g_timers) {
            if (t.owner_thread != self->number || t.due > now)
                continue;
            if (hwnd && !(t.hwnd && sim::is_descendant_or_self(t.hwnd, hwnd)))
                continue;
            if (!due || t.due < due->due || (t.due == due->due && t.seq < due->seq))
                due = &t;
        }
        return due;
    };
    for (;;) {
        sim::poll();
        if (!self->sent_in.empty()) {
            sim::serve_one(self);
            continue;
        }
        for (auto it = self->posted.begin(); it != self->posted.end();) {
            if (it->hwnd && !sim::live(it->hwnd)) {  // its window is gone
                it = self->posted.erase(it);
                continue;
            }
            if (!wanted(*it)) {
                ++it;
                continue;
            }
            *msg = *it;
            self->posted.erase(it);
            return msg->message == WM_QUIT ? FALSE : TRUE;
        }
        if (self->quit) {
            self->quit = false;
            *msg = MSG{};
            msg->message = WM_QUIT;
            msg->wParam = static_cast<WPARAM>(self->quit_code);
            msg->time = static_cast<DWORD>(sim::now_ms());
            return FALSE;
        }
        // a due timer of this thread, earliest first
        sim::WinTimer* due = due_timer();
        if (due) {
            uint64_t now = sim::now_ms();
            due->due = now + due->period;
            *msg = MSG{};
            msg->hwnd = due->hwnd;
            msg->message = WM_TIMER;
            msg->wParam = due->id;
            msg->lParam = reinterpret_cast<LPARAM>(due->proc);
            msg->time = static_cast<DWORD>(now);
            return TRUE;
        }
        sim::block([self, &wanted, &due_timer] {
            if (!self->sent_in.empty() || self->quit || due_timer())
                return true;
            for (const MSG& m : self->posted)
                if (wanted(m))
                    return true;
            return false;
        });
    }
}

BOOL TranslateMessage(const MSG* msg)
{
    return msg && (msg->message == WM_KEYDOWN || msg->message == WM_SYSKEYDOWN) ? TRUE : FALSE;
}

LRESULT DispatchMessageA(const MSG* msg)
{
    sim::poll();
    if (!msg)
        return 0;
    Window* w = msg->hwnd ? sim::live(msg->hwnd) : nullptr;
    if (msg->message == WM_TIMER && msg->lParam && (w || !msg->hwnd)) {
        typedef void(CALLBACK * TimerProc)(HWND, UINT, UINT_PTR, DWORD);
        reinterpret_cast<TimerProc>(msg->lParam)(msg->hwnd, WM_TIMER, msg->wParam, msg->time);
        return 0;
    }
    if (!w)
        return 0;
    return sim::deliver(w, msg->message, msg->wParam, msg->lParam, false);
}
BOOL PostMessageA(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    sim::preemption_point();
    if (!hwnd) {
        sim::SimThread* self = sim::in_world_context() ? nullptr : sim::current_thread();
        if (!self)
            return FALSE;
        MSG m{};
        m.message = msg;
        m.wParam = wp;
        m.lParam = lp;
        m.time = static_cast<DWORD>(sim::now_ms());
        self->posted.push_back(m);
        return TRUE;
    }
    Window* w = sim::find(hwnd);
    if (w && w->foreign && !w->destroyed)
        return TRUE;  // another process's window: not ours to run
    w = sim::live(hwnd);
    if (!w || !sim::post(w, hwnd, msg, wp, lp)) {
        SetLastError(sim::kErrInvalidWindow);
        return FALSE;
    }
    return TRUE;
}

void PostQuitMessage(int code)
{
    sim::SimThread* self = sim::current_thread();
    if (!self)
        return;
    self->quit = true;
    self->quit_code = code;
}

LRESULT SendMessageA(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    sim::preemption_point();
    return sim::send(sim::live(hwnd), msg, wp, lp, false);
}

LRESULT SendMessageW(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    sim::preemption_point();
    return sim::send(sim::live(hwnd), msg, wp, lp, true);
}
