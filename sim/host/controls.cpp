// The built-in controls: STATIC, BUTTON, EDIT and the progress bar, and
// the text messages every window answers.
#include "host/sim_wm.h"

#include <algorithm>

namespace sim {

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
std::u16string text_arg(LPARAM lp, bool wide)
{
    if (!lp)
        return std::u16string();
    return wide ? wide_cstr(reinterpret_cast<const WCHAR*>(lp))
                : ansi_to_utf16(reinterpret_cast<const char*>(lp));
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
    case WM_SETTEXT: set_text(w, text_arg(lp, wide)); return TRUE;
    case WM_GETTEXT: return get_text(w, wp, lp, wide);
    case WM_GETTEXTLENGTH:
        // The ANSI form has one byte per UTF-16 unit (Windows-1252, '?' for the rest).
        return static_cast<LRESULT>(w->text.size());
    case WM_SETFONT: w->font = reinterpret_cast<HFONT>(wp); return 0;
    case WM_GETFONT: return reinterpret_cast<LRESULT>(w->font);
    default: break;
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
            w->text.replace(static_cast<size_t>(w->sel_start), static_cast<size_t>(w->sel_end - w->sel_start),
                            ins);
            w->caret = w->sel_start + static_cast<int>(ins.size());
            w->sel_start = w->sel_end = w->caret;
            if (!ins.empty() && is_main_child(w, 101))
                trace("log", Json{{"text", utf16_to_utf8(ins)}});
            return 0;
        }
        default: return 0;
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
            if (is_main_child(w, 110) && trace_wanted("progress"))
                trace("progress", Json{{"pos", w->pos}});
            return prev;
        }
        case PBM_GETPOS: return w->pos;
        default: return 0;
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

}  // namespace sim

void InitCommonControls(void) {}
