// The simulated window manager: classes, windows, per-thread message queues,
// sent messages across threads, window timers, the built-in controls and the
// restart dialog, and the user's clicks and keys.
#include "platform/host/sim_internal.h"
#include "platform/host/sim_windows.h"

#include "resources/restart_dialog.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>

namespace sim {

namespace {

constexpr DWORD kErrInvalidWindow = 1400;    // ERROR_INVALID_WINDOW_HANDLE
constexpr DWORD kErrNoClass = 1407;          // ERROR_CANNOT_FIND_WND_CLASS
constexpr DWORD kErrClassExists = 1410;      // ERROR_CLASS_ALREADY_EXISTS
constexpr DWORD kErrChildWithoutParent = 1406;  // ERROR_TLW_WITH_WSCHILD
constexpr DWORD kErrNoControl = 1421;        // ERROR_CONTROL_ID_NOT_FOUND
constexpr DWORD kErrNoResource = 1814;       // ERROR_RESOURCE_NAME_NOT_FOUND
constexpr UINT kTimerMinimum = 10;           // USER_TIMER_MINIMUM
constexpr const char* kToolClass = "Orvex Tessel Keyboard Firmware Updater";

std::map<uintptr_t, std::unique_ptr<Window>> g_windows;
uintptr_t g_window_count = 0;
HWND g_main = nullptr;
HWND g_foreign = nullptr;
std::set<HWND> g_dying;

struct ClassInfo {
    std::string name;
    WNDCLASSA wc;
};
std::map<std::string, ClassInfo> g_classes;  // by lower-case name
ATOM g_next_atom = 0xC000;

struct WinTimer {
    HWND hwnd = nullptr;
    UINT_PTR id = 0;
    int owner_thread = 0;
    uint64_t period = 0, due = 0, seq = 0;
    void* proc = nullptr;
};
std::vector<WinTimer> g_timers;
uint64_t g_timer_seq = 0;
UINT_PTR g_thread_timer_id = 0x7F00;

Window* find(HWND h)
{
    auto it = g_windows.find(reinterpret_cast<uintptr_t>(h));
    return it == g_windows.end() ? nullptr : it->second.get();
}

// An existing window of the tool (not destroyed, not another process's).
Window* live(HWND h)
{
    Window* w = find(h);
    return w && !w->destroyed && !w->foreign ? w : nullptr;
}

bool is_main_child(const Window* w, int id)
{
    return g_main && w->parent == g_main && w->id == id;
}

SimThread* owner_of(const Window* w) { return thread_by_number(w->owner_thread); }

bool thread_alive(const SimThread* t) { return t && t->state != SimThread::DONE; }

bool effectively_visible(const Window* w)
{
    for (; w; w = w->parent ? find(w->parent) : nullptr)
        if (!w->visible || w->destroyed)
            return false;
    return true;
}

bool effectively_enabled(const Window* w)
{
    for (; w; w = w->parent ? find(w->parent) : nullptr)
        if (!w->enabled || w->destroyed)
            return false;
    return true;
}

bool is_descendant_or_self(HWND h, HWND top)
{
    for (Window* w = find(h); w; w = w->parent ? find(w->parent) : nullptr)
        if (w->hwnd == top)
            return true;
    return false;
}

const char* builtin_name(WindowKind k)
{
    switch (k) {
    case WindowKind::Static: return "STATIC";
    case WindowKind::Button: return "BUTTON";
    case WindowKind::Edit: return "EDIT";
    case WindowKind::Progress: return PROGRESS_CLASSA;
    case WindowKind::Dialog: return "#32770";
    default: return "";
    }
}

bool builtin_kind(const std::string& cls, WindowKind& kind)
{
    std::string l = lower(cls);
    if (l == "static")
        kind = WindowKind::Static;
    else if (l == "button")
        kind = WindowKind::Button;
    else if (l == "edit")
        kind = WindowKind::Edit;
    else if (l == "msctls_progress32")
        kind = WindowKind::Progress;
    else
        return false;
    return true;
}

void set_style_bit(Window* w, DWORD bit, bool on)
{
    if (on)
        w->style |= bit;
    else
        w->style &= ~bit;
}

void set_visible(Window* w, bool visible)
{
    if (w->visible == visible)
        return;
    w->visible = visible;
    set_style_bit(w, WS_VISIBLE, visible);
    if (visible && is_main_child(w, 110))
        trace("progress_shown");
    if (w->kind == WindowKind::Dialog)
        trace("prompt", Json{{"open", visible}});
}

void kill_timers_of(HWND h)
{
    g_timers.erase(std::remove_if(g_timers.begin(), g_timers.end(),
                                  [h](const WinTimer& t) { return t.hwnd == h; }),
                   g_timers.end());
}

// Marks a window and its children gone without messages.
void drop_window(Window* w)
{
    if (w->destroyed)
        return;
    set_visible(w, false);
    w->destroyed = true;
    kill_timers_of(w->hwnd);
    for (HWND c : w->children)
        if (Window* cw = find(c))
            drop_window(cw);
}

Window* make_window(WindowKind kind, const std::string& cls, DWORD style, DWORD ex_style, int x, int y,
                    int w, int h, HWND parent, int id)
{
    auto win = std::make_unique<Window>();
    uintptr_t value = 0x10000 + 4 * (++g_window_count);
    win->hwnd = reinterpret_cast<HWND>(value);
    win->kind = kind;
    win->class_name = cls;
    win->style = style;
    win->ex_style = ex_style;
    win->id = id;
    win->x = x;
    win->y = y;
    win->w = w;
    win->h = h;
    win->enabled = (style & WS_DISABLED) == 0;
    win->visible = (style & WS_VISIBLE) != 0;
    SimThread* self = current_thread();
    win->owner_thread = self ? self->number : 0;
    win->parent = parent;
    Window* raw = win.get();
    g_windows[value] = std::move(win);
    if (parent)
        if (Window* pw = find(parent))
            pw->children.push_back(raw->hwnd);
    return raw;
}

LRESULT control_proc(Window* w, UINT msg, WPARAM wp, LPARAM lp, bool wide);
LRESULT dialog_default(Window* w, UINT msg, WPARAM wp, LPARAM lp, bool wide);
LRESULT send(Window* w, UINT msg, WPARAM wp, LPARAM lp, bool wide);

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
    default:
        return control_proc(w, msg, wp, lp, wide);
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

void destroy_window(Window* w)
{
    if (!w || w->destroyed || g_dying.count(w->hwnd))
        return;
    g_dying.insert(w->hwnd);
    set_visible(w, false);
    deliver(w, WM_DESTROY, 0, 0, false);
    for (HWND c : w->children)
        destroy_window(find(c));
    w->destroyed = true;
    kill_timers_of(w->hwnd);
    g_dying.erase(w->hwnd);
}

// ---------------------------------------------------------- text messages

std::u16string text_arg(LPARAM lp, bool wide)
{
    if (!lp)
        return std::u16string();
    return wide ? wide_cstr(reinterpret_cast<const WCHAR*>(lp)) : ansi_to_utf16(reinterpret_cast<const char*>(lp));
}

LRESULT get_text(const Window* w, WPARAM size, LPARAM lp, bool wide)
{
    if (!lp || size == 0)
        return 0;
    size_t n = std::min<size_t>(w->text.size(), size - 1);
    if (wide) {
        auto* out = reinterpret_cast<WCHAR*>(lp);
        std::copy(w->text.begin(), w->text.begin() + n, out);
        out[n] = 0;
    } else {
        std::string a = utf16_to_ansi(w->text.substr(0, n));
        auto* out = reinterpret_cast<char*>(lp);
        std::copy(a.begin(), a.end(), out);
        out[a.size()] = 0;
    }
    return static_cast<LRESULT>(n);
}

void set_text(Window* w, const std::u16string& text)
{
    bool changed = w->text != text;
    w->text = text;
    if (w->kind == WindowKind::Edit) {
        w->sel_start = w->sel_end = w->caret = 0;
    }
    if (changed && is_main_child(w, 100))
        trace("button_text", Json{{"text", w->text_utf8()}});
}

// --------------------------------------------------------- built-in controls

LRESULT control_proc(Window* w, UINT msg, WPARAM wp, LPARAM lp, bool wide)
{
    switch (msg) {
    case WM_SETTEXT:
        set_text(w, text_arg(lp, wide));
        return TRUE;
    case WM_GETTEXT:
        return get_text(w, wp, lp, wide);
    case WM_GETTEXTLENGTH:
        // The ANSI form has one byte per UTF-16 unit (Windows-1252, '?' for the rest).
        return static_cast<LRESULT>(w->text.size());
    case WM_SETFONT:
        w->font = reinterpret_cast<HFONT>(wp);
        return 0;
    case WM_GETFONT:
        return reinterpret_cast<LRESULT>(w->font);
    default:
        break;
    }
    if (w->kind == WindowKind::Edit) {
        int len = static_cast<int>(w->text.size());
        switch (msg) {
        case EM_SETSEL: {
            int start = static_cast<int>(static_cast<int32_t>(wp));
            int end = static_cast<int>(static_cast<int32_t>(lp));
            if (start == -1) {  // remove the selection, keep the caret
                w->sel_start = w->sel_end = w->caret;
                return TRUE;
            }
            if (start < 0 || start > len)
                start = len;
            if (end < 0 || end > len)
                end = len;
            w->sel_start = std::min(start, end);
            w->sel_end = std::max(start, end);
            w->caret = end;
            return TRUE;
        }
        case EM_GETSEL:
            if (wp)
                *reinterpret_cast<DWORD*>(wp) = static_cast<DWORD>(w->sel_start);
            if (lp)
                *reinterpret_cast<DWORD*>(lp) = static_cast<DWORD>(w->sel_end);
            return MAKELPARAM(w->sel_start, w->sel_end);
        case EM_REPLACESEL: {
            std::u16string ins = text_arg(lp, wide);
            w->text.replace(static_cast<size_t>(w->sel_start), static_cast<size_t>(w->sel_end - w->sel_start), ins);
            w->caret = w->sel_start + static_cast<int>(ins.size());
            w->sel_start = w->sel_end = w->caret;
            if (!ins.empty() && is_main_child(w, 101))
                trace("log", Json{{"text", utf16_to_utf8(ins)}});
            return 0;
        }
        default:
            return 0;
        }
    }
    if (w->kind == WindowKind::Static) {
        if (msg == STM_SETICON) {
            HICON prev = w->icon;
            w->icon = reinterpret_cast<HICON>(wp);
            return reinterpret_cast<LRESULT>(prev);
        }
        if (msg == STM_GETICON)
            return reinterpret_cast<LRESULT>(w->icon);
        return 0;
    }
    if (w->kind == WindowKind::Progress) {
        switch (msg) {
        case PBM_SETRANGE: {
            LRESULT prev = MAKELPARAM(w->range_min, w->range_max);
            w->range_min = LOWORD(lp);
            w->range_max = HIWORD(lp);
            w->pos = std::min(std::max(w->pos, w->range_min), w->range_max);
            return prev;
        }
        case PBM_SETPOS: {
            int prev = w->pos;
            int pos = static_cast<int>(static_cast<int32_t>(wp));
            w->pos = std::min(std::max(pos, w->range_min), w->range_max);
            if (is_main_child(w, 110))
                trace("progress", Json{{"pos", w->pos}});
            return prev;
        }
        case PBM_GETPOS:
            return w->pos;
        default:
            return 0;
        }
    }
    if (w->kind == WindowKind::Button && msg == BM_CLICK) {
        // the user's click: the button tells its parent
        if (!effectively_enabled(w))
            return 0;
        Window* parent = live(w->parent);
        if (parent)
            send(parent, WM_COMMAND, MAKEWPARAM(w->id, BN_CLICKED), reinterpret_cast<LPARAM>(w->hwnd), false);
        return 0;
    }
    return 0;
}

// What the dialog manager does with a message the dialog procedure left.
LRESULT dialog_default(Window* w, UINT msg, WPARAM wp, LPARAM lp, bool wide)
{
    if (w->destroyed)
        return 0;
    switch (msg) {
    case WM_SETTEXT:
        w->text = text_arg(lp, wide);
        return TRUE;
    case WM_GETTEXT:
        return get_text(w, wp, lp, wide);
    case WM_GETTEXTLENGTH:
        return static_cast<LRESULT>(w->text.size());
    case WM_CLOSE: {
        // as if the user chose the cancel button, when it is enabled
        Window* cancel = live(child_by_id(w->hwnd, IDCANCEL));
        if (!cancel || cancel->enabled)
            post(w, w->hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                 reinterpret_cast<LPARAM>(cancel ? cancel->hwnd : nullptr));
        return 0;
    }
    default:
        return 0;
    }
}

HWND create_window(DWORD ex_style, const std::string& cls, const std::u16string& title, DWORD style, int x,
                   int y, int w, int h, HWND parent, HMENU menu, HINSTANCE inst, LPVOID param)
{
    if (parent && !live(parent)) {
        SetLastError(kErrInvalidWindow);
        return nullptr;
    }
    if ((style & WS_CHILD) && !parent) {
        SetLastError(kErrChildWithoutParent);
        return nullptr;
    }
    WindowKind kind = WindowKind::App;
    WNDPROC proc = nullptr;
    std::string name = cls;
    if (builtin_kind(cls, kind)) {
        name = builtin_name(kind);
    } else {
        auto it = g_classes.find(lower(cls));
        if (it == g_classes.end()) {
            SetLastError(kErrNoClass);
            return nullptr;
        }
        name = it->second.name;
        proc = it->second.wc.lpfnWndProc;
    }
    if (x == CW_USEDEFAULT) {
        x = 100;
        y = 100;
    }
    if (w == CW_USEDEFAULT) {
        w = 640;
        h = 480;
    }
    int id = (style & WS_CHILD) ? static_cast<int>(reinterpret_cast<intptr_t>(menu)) : 0;
    Window* win = make_window(kind, name, style, ex_style, x, y, w, h, (style & WS_CHILD) ? parent : nullptr, id);
    if (!(style & WS_CHILD))
        win->owner = parent;
    win->wndproc = proc;
    win->text = title;
    if (!g_main && kind == WindowKind::App && !win->parent) {
        g_main = win->hwnd;
        trace("window", Json{{"title", win->text_utf8()}, {"visible", win->visible}});
    } else if (g_main && win->parent == g_main) {
        Json fields = Json::object();
        bool no_id = menu == nullptr || id == -1 || id == 0xFFFF;
        fields["id"] = no_id ? Json(nullptr) : Json(id);
        fields["class"] = name;
        fields["text"] = win->text_utf8();
        fields["enabled"] = win->enabled;
        fields["visible"] = win->visible;
        fields["x"] = x;
        fields["y"] = y;
        fields["w"] = w;
        fields["h"] = h;
        fields["style"] = win->style;
        trace("control", fields);
    }
    std::string title_a = utf16_to_ansi(title);
    CREATESTRUCTA cs{};
    cs.lpCreateParams = param;
    cs.hInstance = inst;
    cs.hMenu = menu;
    cs.hwndParent = parent;
    cs.cy = h;
    cs.cx = w;
    cs.y = y;
    cs.x = x;
    cs.style = static_cast<LONG>(style);
    cs.lpszName = title_a.c_str();
    cs.lpszClass = name.c_str();
    cs.dwExStyle = ex_style;
    if (deliver(win, WM_CREATE, 0, reinterpret_cast<LPARAM>(&cs), false) == -1) {
        destroy_window(win);
        if (g_main == win->hwnd)
            g_main = nullptr;
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return win->hwnd;
}

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

bool is_push_button(const Window* w)
{
    return w && w->kind == WindowKind::Button && (w->style & 0x0F) <= BS_DEFPUSHBUTTON;
}

void command_from_key(Window* dlg, int id, Window* button)
{
    if (button && !effectively_enabled(button))
        return;
    send(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(button ? button->hwnd : nullptr),
         false);
}

}  // namespace

// ------------------------------------------------------------ internals

std::string Window::text_utf8() const { return utf16_to_utf8(text); }

uint64_t next_window_timer_after(uint64_t now)
{
    uint64_t next = UINT64_MAX;
    for (const WinTimer& t : g_timers)
        if (t.due > now && t.due < next && thread_alive(thread_by_number(t.owner_thread)))
            next = t.due;
    return next;
}

void windows_thread_ended(SimThread* t)
{
    // Calls waiting for this thread get 0 as the platform's SendMessage does.
    while (!t->sent_in.empty()) {
        std::shared_ptr<SentMessage> m = t->sent_in.front();
        t->sent_in.pop_front();
        m->done = true;
        m->result = 0;
        if (m->on_reply)
            run_in_world([&] { m->on_reply(0); });
    }
    for (auto& entry : g_windows)
        if (entry.second->owner_thread == t->number && !entry.second->foreign)
            drop_window(entry.second.get());
    g_timers.erase(std::remove_if(g_timers.begin(), g_timers.end(),
                                  [t](const WinTimer& tm) { return tm.owner_thread == t->number; }),
                   g_timers.end());
}

// ------------------------------------------------------------ world API

Window* window_of(HWND hwnd) { return find(hwnd); }

HWND main_window() { return g_main; }

HWND child_by_id(HWND parent, int id)
{
    Window* p = find(parent);
    if (!p)
        return nullptr;
    for (HWND c : p->children) {
        Window* w = find(c);
        if (w && !w->destroyed && w->id == id)
            return c;
    }
    return nullptr;
}

std::vector<HWND> children(HWND parent)
{
    std::vector<HWND> out;
    if (Window* p = find(parent))
        for (HWND c : p->children)
            if (Window* w = find(c); w && !w->destroyed)
                out.push_back(c);
    return out;
}

std::vector<HWND> top_level_windows()
{
    std::vector<HWND> out;
    for (auto& entry : g_windows) {
        Window* w = entry.second.get();
        if (!w->destroyed && !w->foreign && !w->parent)
            out.push_back(w->hwnd);
    }
    return out;
}

HWND focus_of(HWND top)
{
    Window* w = find(top);
    return w ? w->focus : nullptr;
}

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

// ------------------------------------------------------------ classes and windows

ATOM RegisterClassA(const WNDCLASSA* wc)
{
    if (!wc || !wc->lpszClassName || IS_INTRESOURCE(wc->lpszClassName) || !wc->lpfnWndProc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    std::string key = sim::lower(wc->lpszClassName);
    WindowKind kind;
    if (sim::g_classes.count(key) || sim::builtin_kind(key, kind)) {
        SetLastError(sim::kErrClassExists);
        return 0;
    }
    sim::ClassInfo info;
    info.name = wc->lpszClassName;
    info.wc = *wc;
    info.wc.lpszClassName = nullptr;
    info.wc.lpszMenuName = nullptr;
    sim::g_classes[key] = info;
    return sim::g_next_atom++;
}

HWND FindWindowA(LPCSTR class_name, LPCSTR window_name)
{
    if (class_name && !IS_INTRESOURCE(class_name)) {
        std::string key = sim::lower(class_name);
        if (sim::config().other_instance && key == sim::lower(sim::kToolClass) &&
            (!window_name || std::string(window_name) == sim::kToolClass)) {
            if (!sim::g_foreign) {
                Window* w = sim::make_window(WindowKind::App, sim::kToolClass, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0,
                                             100, 100, 640, 240, nullptr, 0);
                w->foreign = true;
                w->owner_thread = 0;
                w->text = sim::ansi_to_utf16(sim::kToolClass);
                sim::g_foreign = w->hwnd;
            }
            return sim::g_foreign;
        }
        for (auto& entry : sim::g_windows) {
            Window* w = entry.second.get();
            if (w->destroyed || w->foreign || w->parent || sim::lower(w->class_name) != key)
                continue;
            if (window_name && sim::utf16_to_ansi(w->text) != window_name)
                continue;
            return w->hwnd;
        }
        return nullptr;
    }
    if (window_name)
        for (auto& entry : sim::g_windows) {
            Window* w = entry.second.get();
            if (!w->destroyed && !w->foreign && !w->parent && sim::utf16_to_ansi(w->text) == window_name)
                return w->hwnd;
        }
    return nullptr;
}

HWND CreateWindowExA(DWORD ex_style, LPCSTR class_name, LPCSTR title, DWORD style, int x, int y, int w, int h,
                     HWND parent, HMENU menu, HINSTANCE inst, LPVOID param)
{
    if (!class_name || IS_INTRESOURCE(class_name)) {
        SetLastError(sim::kErrNoClass);
        return nullptr;
    }
    return sim::create_window(ex_style, class_name, sim::ansi_to_utf16(title), style, x, y, w, h, parent, menu,
                              inst, param);
}

HWND CreateWindowExW(DWORD ex_style, LPCWSTR class_name, LPCWSTR title, DWORD style, int x, int y, int w, int h,
                     HWND parent, HMENU menu, HINSTANCE inst, LPVOID param)
{
    if (!class_name || IS_INTRESOURCE(class_name)) {
        SetLastError(sim::kErrNoClass);
        return nullptr;
    }
    return sim::create_window(ex_style, sim::utf16_to_utf8(sim::wide_cstr(class_name)), sim::wide_cstr(title),
                              style, x, y, w, h, parent, menu, inst, param);
}

LRESULT DefWindowProcA(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    Window* w = sim::live(hwnd);
    if (!w)
        return 0;
    switch (msg) {
    case WM_SETTEXT:
        w->text = sim::text_arg(lp, false);
        return TRUE;
    case WM_GETTEXT:
        return sim::get_text(w, wp, lp, false);
    case WM_GETTEXTLENGTH:
        return static_cast<LRESULT>(w->text.size());
    case WM_CLOSE:
        sim::destroy_window(w);
        return 0;
    case WM_SYSCOMMAND:
        if ((wp & 0xFFF0) == SC_CLOSE)
            return sim::send(w, WM_CLOSE, 0, 0, false);
        return 0;
    case WM_POWERBROADCAST:
        return TRUE;
    case WM_DEVICECHANGE:
        return wp == DBT_DEVICEQUERYREMOVE ? TRUE : 0;
    default:
        return 0;
    }
}

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

BOOL IsDialogMessageA(HWND dlg, LPMSG msg)
{
    Window* d = sim::live(dlg);
    if (!d || !msg || !msg->hwnd || !sim::is_descendant_or_self(msg->hwnd, dlg))
        return FALSE;
    if (msg->message == WM_KEYDOWN) {
        if (msg->wParam == VK_RETURN) {
            Window* target = sim::live(msg->hwnd);
            Window* button = nullptr;
            if (target != d && sim::is_push_button(target))
                button = target;
            if (!button)
                for (HWND c : d->children) {
                    Window* cw = sim::live(c);
                    if (cw && cw->kind == WindowKind::Button && (cw->style & 0x0F) == BS_DEFPUSHBUTTON) {
                        button = cw;
                        break;
                    }
                }
            int id = button ? button->id : IDOK;
            if (!button)
                button = sim::live(sim::child_by_id(dlg, IDOK));
            sim::command_from_key(d, id, button);
            return TRUE;
        }
        if (msg->wParam == VK_ESCAPE) {
            sim::command_from_key(d, IDCANCEL, sim::live(sim::child_by_id(dlg, IDCANCEL)));
            return TRUE;
        }
        if (msg->wParam == VK_TAB) {
            std::vector<HWND> stops;
            for (HWND c : d->children) {
                Window* cw = sim::live(c);
                if (cw && (cw->style & WS_TABSTOP) && cw->visible && cw->enabled)
                    stops.push_back(c);
            }
            if (!stops.empty()) {
                auto it = std::find(stops.begin(), stops.end(), d->focus);
                d->focus = (it == stops.end() || it + 1 == stops.end()) ? stops.front() : *(it + 1);
            }
            return TRUE;
        }
    }
    DispatchMessageA(msg);
    return TRUE;
}

BOOL PostMessageA(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
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
    return sim::send(sim::live(hwnd), msg, wp, lp, false);
}

LRESULT SendMessageW(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    return sim::send(sim::live(hwnd), msg, wp, lp, true);
}

// ------------------------------------------------------------ timers

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT ms, void* proc)
{
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
    for (auto it = sim::g_timers.begin(); it != sim::g_timers.end(); ++it)
        if (it->hwnd == hwnd && it->id == id) {
            sim::g_timers.erase(it);
            return TRUE;
        }
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}

// ------------------------------------------------------------ window state

BOOL EnableWindow(HWND hwnd, BOOL enable)
{
    Window* w = sim::live(hwnd);
    if (!w)
        return FALSE;
    bool en = enable != 0;
    return static_cast<BOOL>(sim::on_owner(w, 0, 0, 0, false, [w, en]() -> LRESULT {
        if (w->destroyed)
            return 0;
        bool was_disabled = !w->enabled;
        if (w->enabled != en) {
            w->enabled = en;
            sim::set_style_bit(w, WS_DISABLED, !en);
            sim::deliver(w, WM_ENABLE, en, 0, false);
            if (sim::is_main_child(w, 100))
                sim::trace("button", sim::Json{{"enabled", en}});
        }
        return was_disabled ? TRUE : FALSE;
    }));
}

BOOL IsWindowEnabled(HWND hwnd)
{
    Window* w = sim::live(hwnd);
    return w && w->enabled ? TRUE : FALSE;
}

BOOL SetWindowTextW(HWND hwnd, LPCWSTR text)
{
    Window* w = sim::live(hwnd);
    if (!w) {
        SetLastError(sim::kErrInvalidWindow);
        return FALSE;
    }
    sim::send(w, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text), true);
    return TRUE;
}

int GetWindowTextLengthA(HWND hwnd)
{
    Window* w = sim::live(hwnd);
    if (!w) {
        SetLastError(sim::kErrInvalidWindow);
        return 0;
    }
    return static_cast<int>(sim::send(w, WM_GETTEXTLENGTH, 0, 0, false));
}

BOOL ShowWindow(HWND hwnd, int cmd)
{
    Window* w = sim::live(hwnd);
    if (!w)
        return FALSE;
    bool show = cmd != SW_HIDE;
    return static_cast<BOOL>(sim::on_owner(w, 0, 0, 0, false, [w, show]() -> LRESULT {
        if (w->destroyed)
            return 0;
        bool was = w->visible;
        sim::set_visible(w, show);
        return was ? TRUE : FALSE;
    }));
}

BOOL UpdateWindow(HWND hwnd)
{
    Window* w = sim::live(hwnd);
    if (!w)
        return FALSE;
    sim::on_owner(w, 0, 0, 0, false, [w]() -> LRESULT {
        w->repaint_count++;
        return TRUE;
    });
    return TRUE;
}

HWND GetDlgItem(HWND dlg, int id)
{
    if (!sim::live(dlg)) {
        SetLastError(sim::kErrInvalidWindow);
        return nullptr;
    }
    HWND c = sim::child_by_id(dlg, id);
    if (!c)
        SetLastError(sim::kErrNoControl);
    return c;
}

void InitCommonControls(void) {}

// ------------------------------------------------------------ dialogs

HWND CreateDialogParamA(HINSTANCE inst, LPCSTR templ, HWND owner, DLGPROC proc, LPARAM param)
{
    if (!IS_INTRESOURCE(templ) || LOWORD(templ) != IDD_RESTART) {
        SetLastError(sim::kErrNoResource);
        return nullptr;
    }
    if (owner && !sim::live(owner)) {
        SetLastError(sim::kErrInvalidWindow);
        return nullptr;
    }
    Window* d = sim::make_window(WindowKind::Dialog, "#32770", RESTART_DLG_STYLE, 0, RESTART_DLG_X, RESTART_DLG_Y,
                                 RESTART_DLG_W, RESTART_DLG_H, nullptr, 0);
    d->owner = owner;
    d->dlgproc = proc;
    d->dlg_param = param;
    d->text = sim::ansi_to_utf16(RESTART_DLG_CAPTION);
    HWND first_stop = nullptr;
#define SIM_DLG_CONTROL(cid, cls, txt, icon_ordinal, cstyle, cx, cy, cw, ch)                                   \
    {                                                                                                        \
        WindowKind k = WindowKind::Static;                                                                   \
        sim::builtin_kind(cls, k);                                                                           \
        Window* c = sim::make_window(k, sim::builtin_name(k), (cstyle), 0, cx, cy, cw, ch, d->hwnd, (cid));  \
        c->text = sim::ansi_to_utf16(txt);                                                                   \
        if ((icon_ordinal) != 0)                                                                             \
            c->icon = LoadIconA(nullptr, MAKEINTRESOURCEA(icon_ordinal));                                    \
        if (!first_stop && ((cstyle) & WS_TABSTOP))                                                          \
            first_stop = c->hwnd;                                                                            \
    }
    RESTART_DLG_CONTROLS(SIM_DLG_CONTROL)
#undef SIM_DLG_CONTROL
    (void)inst;
    HWND h = d->hwnd;
    if (proc && proc(h, WM_INITDIALOG, reinterpret_cast<WPARAM>(first_stop), param))
        d->focus = first_stop;
    if (d->destroyed)
        return nullptr;
    if (d->style & WS_VISIBLE) {
        d->visible = false;
        sim::set_visible(d, true);
    }
    return h;
}

BOOL SetDlgItemTextW(HWND dlg, int id, LPCWSTR text)
{
    HWND item = GetDlgItem(dlg, id);
    if (!item)
        return FALSE;
    sim::send(sim::live(item), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text), true);
    return TRUE;
}

BOOL EndDialog(HWND dlg, INT_PTR)
{
    Window* d = sim::live(dlg);
    if (!d || d->kind != WindowKind::Dialog)
        return FALSE;
    // The prompt leaves the screen and goes away with its controls.
    sim::drop_window(d);
    return TRUE;
}
