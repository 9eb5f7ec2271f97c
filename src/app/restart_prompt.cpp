// The restart prompt offered after a verified interactive update, and the
// restart of Windows.
#include "app/app.h"
#include "package/messages.h"
#include "resources/resource.h"

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
    (void)lp;
    switch (msg) {
    case WM_INITDIALOG: {
        g_restart_dlg = dlg;
        char text[kTextSize];
        WCHAR wide[kTextSize];
        for (const PromptText& item : kPromptTexts) {
            load_message(item.message, text, wide);
            SetDlgItemTextW(dlg, item.control, wide);
        }
        break;
    }
    case WM_COMMAND:
        if (wp == IDOK)
            restart_windows();  // the prompt stays open
        else if (wp == IDCANCEL)
            PostMessageA(dlg, WM_DESTROY, 0, 0);
        break;
    case WM_CLOSE: PostMessageA(dlg, WM_DESTROY, 0, 0); break;
    case WM_DESTROY:
        g_restart_dlg = nullptr;
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
