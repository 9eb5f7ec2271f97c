// The simulated windows: classes, creation and destruction, window state
// (enabled, visible, text), and the lookups the world, the runner and the
// tests use. Message queues are in messages.cpp.
#include "host/sim_wm.h"

#include "host/sim_devices.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace sim {

std::map<uintptr_t, std::unique_ptr<Window>> g_windows;
HWND g_main = nullptr;

namespace {

uintptr_t g_window_count = 0;
HWND g_foreign = nullptr;
std::set<HWND> g_dying;

struct ClassInfo {
    std::string name;
    WNDCLASSA wc;
};
std::map<std::string, ClassInfo> g_classes;  // by lower-case name
ATOM g_next_atom = 0xC000;

}  // namespace

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

SimThread* owner_of(const Window* w)
{
    return thread_by_number(w->owner_thread);
}

bool thread_alive(const SimThread* t)
{
    return t && t->state != SimThread::DONE;
}

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

bool g_default_layout_rtl = false;  // SetProcessDefaultLayout(LAYOUT_RTL)

Window* make_window(WindowKind kind, const std::string& cls, DWORD style, DWORD ex_style, int x, int y, int w,
                    int h, HWND parent, int id)
{
    auto win = std::make_unique<Window>();
    uintptr_t value = 0x10000 + 4 * (++g_window_count);
    win->hwnd = reinterpret_cast<HWND>(value);
    win->kind = kind;
    win->class_name = cls;
    win->style = style;
    // Mirroring passes from a parent to its children, and from the process's
    // default layout to the windows its threads make.
    SimThread* maker = current_thread();
    Window* parent_window = parent ? find(parent) : nullptr;
    if (parent_window ? (parent_window->ex_style & WS_EX_LAYOUTRTL) != 0 : (maker && g_default_layout_rtl))
        ex_style |= WS_EX_LAYOUTRTL;
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
    Window* win =
        make_window(kind, name, style, ex_style, x, y, w, h, (style & WS_CHILD) ? parent : nullptr, id);
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

// ------------------------------------------------------------ internals

std::string Window::text_utf8() const
{
    return utf16_to_utf8(text);
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
    kill_thread_timers(t->number);
}
// ------------------------------------------------------------ world API

Window* window_of(HWND hwnd)
{
    return find(hwnd);
}

HWND main_window()
{
    return g_main;
}

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
                Window* w =
                    sim::make_window(WindowKind::App, sim::kToolClass, WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0,
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
    return sim::create_window(ex_style, class_name, sim::ansi_to_utf16(title), style, x, y, w, h, parent,
                              menu, inst, param);
}

HWND CreateWindowExW(DWORD ex_style, LPCWSTR class_name, LPCWSTR title, DWORD style, int x, int y, int w,
                     int h, HWND parent, HMENU menu, HINSTANCE inst, LPVOID param)
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
    case WM_SETTEXT: w->text = sim::text_arg(lp, false); return TRUE;
    case WM_GETTEXT: return sim::get_text(w, wp, lp, false);
    case WM_GETTEXTLENGTH: return static_cast<LRESULT>(w->text.size());
    case WM_CLOSE: sim::destroy_window(w); return 0;
    case WM_SYSCOMMAND:
        if ((wp & 0xFFF0) == SC_CLOSE)
            return sim::send(w, WM_CLOSE, 0, 0, false);
        return 0;
    case WM_POWERBROADCAST: return TRUE;
    case WM_DEVICECHANGE: return wp == DBT_DEVICEQUERYREMOVE ? TRUE : 0;
    case WM_QUERYENDSESSION: return TRUE;  // the session may end
    case WM_INPUT:
        // Input of a window in the foreground: the system cleans up after it
        // here, and its handle is no longer valid.
        if (GET_RAWINPUT_CODE_WPARAM(wp) == RIM_INPUT)
            sim::raw_input_release(reinterpret_cast<HRAWINPUT>(lp));
        return 0;
    default: return 0;
    }
}
// ------------------------------------------------------------ window state

BOOL EnableWindow(HWND hwnd, BOOL enable)
{
    sim::preemption_point();
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
    sim::preemption_point();
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
    sim::preemption_point();
    Window* w = sim::live(hwnd);
    if (!w)
        return FALSE;
    sim::on_owner(w, 0, 0, 0, false, [w]() -> LRESULT {
        w->repaint_count++;
        return TRUE;
    });
    return TRUE;
}

// ------------------------------------------------------------ layout and DPI

LONG GetWindowLongA(HWND hwnd, int index)
{
    Window* w = sim::live(hwnd);
    if (!w || index != GWL_EXSTYLE) {
        SetLastError(w ? ERROR_INVALID_PARAMETER : sim::kErrInvalidWindow);
        return 0;
    }
    return static_cast<LONG>(w->ex_style);
}

LONG SetWindowLongA(HWND hwnd, int index, LONG value)
{
    Window* w = sim::live(hwnd);
    if (!w || index != GWL_EXSTYLE) {
        SetLastError(w ? ERROR_INVALID_PARAMETER : sim::kErrInvalidWindow);
        return 0;
    }
    LONG previous = static_cast<LONG>(w->ex_style);
    w->ex_style = static_cast<DWORD>(value);
    return previous;
}

BOOL SetWindowPos(HWND hwnd, HWND, int x, int y, int w, int h, UINT flags)
{
    Window* win = sim::live(hwnd);
    if (!win) {
        SetLastError(sim::kErrInvalidWindow);
        return FALSE;
    }
    if (!(flags & SWP_NOMOVE)) {
        win->x = x;
        win->y = y;
    }
    win->w = w;
    win->h = h;
    return TRUE;
}

BOOL SetProcessDefaultLayout(DWORD layout)
{
    if (layout & ~static_cast<DWORD>(LAYOUT_RTL)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    sim::g_default_layout_rtl = layout == LAYOUT_RTL;
    return TRUE;
}

UINT GetDpiForWindow(HWND hwnd)
{
    if (!sim::live(hwnd)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return 96;
}
