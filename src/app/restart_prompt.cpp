// The restart prompt offered after a verified interactive update, and the
// restart of Windows.
#include "app/app.h"
#include "app/ui_font.h"
#include "package/messages.h"
#include "resources/resource.h"
#include "resources/restart_dialog.h"

#include <cstring>

HWND g_restart_dlg = nullptr;

namespace {

const int kTextSize = 256;

struct PromptText {
    int control;
    unsigned message;
};
// S13 for the text, S14 for restart now (IDOK), S15 for restart later (IDCANCEL).
const PromptText kPromptTexts[] = {
    {IDC_RESTART_TEXT, 13},
    {IDOK, 14},
    {IDCANCEL, 15},
};

// The prompt's controls in dialog units, as its template places them.
struct PromptPlace {
    int control;
    int x, y, w, h;
};
#define PROMPT_PLACE(id, cls, text, icon, style, x, y, w, h) {id, x, y, w, h},
const PromptPlace kPromptPlaces[] = {RESTART_DLG_CONTROLS(PROMPT_PLACE)};
#undef PROMPT_PLACE

const int kIconSize96 = 32;
const int kWarningIcon = 32515;     // IDI_WARNING
UINT g_prompt_dpi0 = 96;            // the DPI the prompt was laid out at by the dialog manager
HFONT g_prompt_font = nullptr;      // the prompt's font after a change of DPI
bool g_prompt_icon_loaded = false;  // its warning icon was loaded for a change of DPI

typedef BOOL(WINAPI* SetDialogDpiChangeBehaviorFn)(HWND, int, int);
const int kDdcDisableAll = 1;  // DDC_DISABLE_ALL

// Places the prompt's controls where its template puts them, at `dpi`;
// `font`, when given, becomes their font.
void place_prompt_controls(HWND dlg, UINT dpi, HFONT font)
{
    for (const PromptPlace& p : kPromptPlaces) {
        RECT r = {p.x, p.y, p.x + p.w, p.y + p.h};
        MapDialogRect(dlg, &r);  // pixels at the DPI of creation
        int x = MulDiv(r.left, (int)dpi, (int)g_prompt_dpi0);
        int y = MulDiv(r.top, (int)dpi, (int)g_prompt_dpi0);
        int w = MulDiv(r.right - r.left, (int)dpi, (int)g_prompt_dpi0);
        int h = MulDiv(r.bottom - r.top, (int)dpi, (int)g_prompt_dpi0);
        HWND control = GetDlgItem(dlg, p.control);
        if (p.control == IDC_RESTART_ICON) {
            // The icon control takes the size of its icon, the system's
            // warning icon at the DPI (32 pixels at 96 DPI).
            w = h = MulDiv(kIconSize96, (int)dpi, 96);
            if (font) {
                HICON old_icon =
                    (HICON)SendMessageA(control, STM_SETICON,
                                        (WPARAM)LoadImageA(nullptr, MAKEINTRESOURCEA(kWarningIcon),
                                                           IMAGE_ICON, w, h, LR_DEFAULTCOLOR),
                                        0);
                // Only an icon loaded here at an earlier change is destroyed:
                // the dialog's own icon is the shared system one.
                if (old_icon && g_prompt_icon_loaded)
                    DestroyIcon(old_icon);
                g_prompt_icon_loaded = true;
            }
        }
        SetWindowPos(control, nullptr, x, y, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
        if (font && p.control != IDC_RESTART_ICON)
            SendMessageA(control, WM_SETFONT, (WPARAM)font, TRUE);
    }
}

// Arabic and Hebrew: the prompt is mirrored like the main window, the
// restart-now button on the left.
void mirror_prompt(HWND dlg)
{
    SetWindowLongA(dlg, GWL_EXSTYLE, GetWindowLongA(dlg, GWL_EXSTYLE) | WS_EX_LAYOUTRTL);
    for (const PromptPlace& p : kPromptPlaces) {
        HWND control = GetDlgItem(dlg, p.control);
        SetWindowLongA(control, GWL_EXSTYLE, GetWindowLongA(control, GWL_EXSTYLE) | WS_EX_LAYOUTRTL);
    }
    place_prompt_controls(dlg, g_prompt_dpi0, nullptr);  // now counted from the right
}

// The dialog manager lays the prompt out at the DPI of its creation. After
// a change of DPI the prompt takes the place Windows suggests, and its font
// and controls follow in proportion.
void on_prompt_dpi_changed(HWND dlg, UINT dpi, const RECT* suggested)
{
    HFONT old_font = g_prompt_font;
    g_prompt_font = CreateFontA(-MulDiv(RESTART_DLG_FONT_SIZE, (int)dpi, 72), 0, 0, 0, 0, FALSE, FALSE, FALSE,
                                UI_FONT_CHARSET, 0, 0, 0, 0, RESTART_DLG_FONT_NAME);
    place_prompt_controls(dlg, dpi, g_prompt_font);
    if (old_font)
        DeleteObject(old_font);
    SetWindowPos(dlg, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                 suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
}

void restart_windows()
{
    OSVERSIONINFOA version;
    static_assert(sizeof(version) == 148, "OSVERSIONINFOA is 148 bytes");
    memset(&version, 0, sizeof(version));
    version.dwOSVersionInfoSize = sizeof(version);
    GetVersionExA(&version);
    if (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) {
        ExitWindowsEx(EWX_REBOOT, 0);
        return;
    }
    if (set_shutdown_privilege(TRUE))
        ExitWindowsEx(EWX_REBOOT, 0);
    set_shutdown_privilege(FALSE);
}

}  // namespace

void show_restart_prompt()
{
    if (g_restart_dlg)
        return;  // at most one prompt
    CreateDialogParamA(g_instance, MAKEINTRESOURCEA(IDD_RESTART), g_main_wnd, restart_dlg_proc, 0);
    // The prompt has set g_restart_dlg while it was created; nothing to show
    // when the creation failed.
    if (g_restart_dlg)
        ShowWindow(g_restart_dlg, SW_SHOW);
}

INT_PTR CALLBACK restart_dlg_proc(HWND dlg, UINT msg, WPARAM wp, LPARAM lp)
{
    switch (msg) {
    case WM_INITDIALOG: {
        g_restart_dlg = dlg;
        g_prompt_dpi0 = window_dpi(dlg);
        g_prompt_icon_loaded = false;
        {
            // Windows 10 1703 and later would rescale the prompt by
            // themselves as well; the prompt does it itself on every version.
            SetDialogDpiChangeBehaviorFn behaviour = (SetDialogDpiChangeBehaviorFn)(void*)GetProcAddress(
                GetModuleHandleA("user32.dll"), "SetDialogDpiChangeBehavior");
            if (behaviour)
                behaviour(dlg, kDdcDisableAll, kDdcDisableAll);
        }
        if (language_is_rtl() && !(GetWindowLongA(dlg, GWL_EXSTYLE) & WS_EX_LAYOUTRTL))
            mirror_prompt(dlg);
        char text[kTextSize];
        WCHAR wide[kTextSize];
        for (const PromptText& item : kPromptTexts) {
            load_message(item.message, text, wide);
            SetDlgItemTextW(dlg, item.control, wide);
        }
        break;
    }
    case WM_COMMAND:
        if (wp == IDOK) {
            trace_record("user", "\"do\":\"restart_now\"");
            restart_windows();  // the prompt stays open
        } else if (wp == IDCANCEL) {
            if (lp)
                trace_record("user", "\"do\":\"restart_later\"");
            PostMessageA(dlg, WM_DESTROY, 0, 0);
        }
        break;
    case WM_CLOSE:
        trace_record("user", "\"do\":\"close_prompt\"");
        PostMessageA(dlg, WM_DESTROY, 0, 0);
        break;
    case WM_DPICHANGED: on_prompt_dpi_changed(dlg, LOWORD(wp), (const RECT*)lp); break;
    case WM_DESTROY:
        g_restart_dlg = nullptr;
        if (g_prompt_font) {
            DeleteObject(g_prompt_font);
            g_prompt_font = nullptr;
        }
        EndDialog(dlg, 0);
        break;
    default: break;
    }
    return 0;
}

BOOL set_shutdown_privilege(BOOL enable)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return 0;
    TOKEN_PRIVILEGES privileges;
    memset(&privileges, 0, sizeof(privileges));
    if (!LookupPrivilegeValueA(nullptr, "SeShutdownPrivilege", &privileges.Privileges[0].Luid)) {
        CloseHandle(token);
        return 0;
    }
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    // Succeeds also when the privilege is not assigned to the process.
    BOOL done = AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    CloseHandle(token);
    return done;
}
