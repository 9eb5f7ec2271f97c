// Dialogs: the restart prompt built from its template, the dialog
// manager's defaults and its keyboard (Enter, Escape, Tab).
#include "host/sim_wm.h"

#include "resources/restart_dialog.h"

#include <algorithm>

namespace sim {

// What the dialog manager does with a message the dialog procedure left.
LRESULT dialog_default(Window* w, UINT msg, WPARAM wp, LPARAM lp, bool wide)
{
    if (w->destroyed)
        return 0;
    switch (msg) {
    case WM_SETTEXT: w->text = text_arg(lp, wide); return TRUE;
    case WM_GETTEXT: return get_text(w, wp, lp, wide);
    case WM_GETTEXTLENGTH: return static_cast<LRESULT>(w->text.size());
    case WM_CLOSE: {
        // as if the user chose the cancel button, when it is enabled
        Window* cancel = live(child_by_id(w->hwnd, IDCANCEL));
        if (!cancel || cancel->enabled)
            post(w, w->hwnd, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                 reinterpret_cast<LPARAM>(cancel ? cancel->hwnd : nullptr));
        return 0;
    }
    default: return 0;
    }
}
namespace {

bool is_push_button(const Window* w)
{
    return w && w->kind == WindowKind::Button && (w->style & 0x0F) <= BS_DEFPUSHBUTTON;
}

void command_from_key(Window* dlg, int id, Window* button)
{
    if (button && !effectively_enabled(button))
        return;
    send(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED),
         reinterpret_cast<LPARAM>(button ? button->hwnd : nullptr), false);
}

}  // namespace

}  // namespace sim

using sim::Window;
using sim::WindowKind;

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
HWND GetDlgItem(HWND dlg, int id)
{
    sim::preemption_point();
    if (!sim::live(dlg)) {
        SetLastError(sim::kErrInvalidWindow);
        return nullptr;
    }
    HWND c = sim::child_by_id(dlg, id);
    if (!c)
        SetLastError(sim::kErrNoControl);
    return c;
}
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
    Window* d = sim::make_window(WindowKind::Dialog, "#32770", RESTART_DLG_STYLE, 0, RESTART_DLG_X,
                                 RESTART_DLG_Y, RESTART_DLG_W, RESTART_DLG_H, nullptr, 0);
    d->owner = owner;
    d->dlgproc = proc;
    d->dlg_param = param;
    d->text = sim::ansi_to_utf16(RESTART_DLG_CAPTION);
    HWND first_stop = nullptr;
#define SIM_DLG_CONTROL(cid, cls, txt, icon_ordinal, cstyle, cx, cy, cw, ch)                                 \
    {                                                                                                        \
        WindowKind k = WindowKind::Static;                                                                   \
        sim::builtin_kind(cls, k);                                                                           \
        Window* c = sim::make_window(k, sim::builtin_name(k), (cstyle), 0, cx, cy, cw, ch, d->hwnd, (cid));  \
        c->text = sim::ansi_to_utf16(txt);                                                                   \
        if ((icon_ordinal) != 0)                                                                             \
            c->icon = LoadIconA(nullptr, MAKEINTRESOURCEA(icon_ordinal));                                    \
        if (!first_stop && ((cstyle)&WS_TABSTOP))                                                            \
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
    // A modeless dialog leaves the screen; the window itself stays, as on
    // Windows, until it is destroyed or the process ends.
    sim::set_visible(d, false);
    return TRUE;
}

BOOL MapDialogRect(HWND dlg, LPRECT rect)
{
    Window* d = sim::live(dlg);
    if (!d || d->kind != WindowKind::Dialog || !rect) {
        SetLastError(sim::kErrInvalidWindow);
        return FALSE;
    }
    return TRUE;  // dialog units are the simulated dialog's pixels
}
