// Observable state of the simulated window manager, GDI, shell and token:
// what tests, the runner and the device models may look at. Host-only.
#pragma once

#include "host/sim_core.h"

#include <string>
#include <vector>

namespace sim {

enum class WindowKind { App, Static, Button, Edit, Progress, Dialog };

struct Window {
    HWND hwnd = nullptr;
    WindowKind kind = WindowKind::App;
    std::string
        class_name;  // as registered; built-ins: "STATIC", "BUTTON", "EDIT", "msctls_progress32"; dialogs "#32770"
    std::u16string text;  // UTF-16, as the platform keeps it
    std::string text_utf8() const;
    DWORD style = 0;
    DWORD ex_style = 0;
    int id = 0;                      // control id (the hMenu argument of a child window)
    int x = 0, y = 0, w = 0, h = 0;  // dialogs and their controls: dialog units
    bool enabled = true;
    bool visible = false;
    HFONT font = nullptr;
    HICON icon = nullptr;
    // EDIT: selection [sel_start, sel_end) and the caret
    int sel_start = 0, sel_end = 0, caret = 0;
    // progress bar
    int range_min = 0, range_max = 100, pos = 0;
    int repaint_count = 0;       // UpdateWindow calls
    int owner_thread = 0;        // number of the simulated thread that created it
    HWND parent = nullptr;       // child windows
    HWND owner = nullptr;        // dialogs: the owner window
    std::vector<HWND> children;  // in creation order
    WNDPROC wndproc = nullptr;
    DLGPROC dlgproc = nullptr;
    LPARAM dlg_param = 0;
    HWND focus = nullptr;  // top-level windows: the child that has the keyboard focus
    bool destroyed = false;
    bool foreign = false;  // stands for another process's window
};

// UTF-16 text as UTF-8, as the world reports it.
std::string utf16_to_utf8(const std::u16string& s);

// GDI objects the tool created (brushes, fonts), in creation order.
struct GdiObject {
    HGDIOBJ handle = nullptr;
    std::string kind;    // "brush" or "font"
    std::string detail;  // brush colour "#RRGGBB" or font face
    bool live = true;
    int delete_calls = 0;  // DeleteObject calls on it (1 when deleted once)
};
std::vector<GdiObject> gdi_objects();
int bad_delete_calls();  // DeleteObject of handles that were never created or already deleted

// Message boxes shown, in order (the simulated user answers each at once).
struct MessageBoxRecord {
    HWND owner = nullptr;
    std::string caption, text;  // UTF-8
    UINT type = 0;
    uint64_t t = 0;
};
std::vector<MessageBoxRecord> message_boxes();

// Shell and restart, in the order they happened: "shell:NAME:ok",
// "shell:NAME:fail", "privilege:on", "privilege:off", "exitwindows:ok",
// "exitwindows:denied".
std::vector<std::string> system_log();
bool shutdown_privilege_enabled();
int reboots();  // successful ExitWindowsEx calls
// Test knobs: the platform GetVersionExA reports (default
// VER_PLATFORM_WIN32_NT), and whether the user's token holds the shutdown
// privilege at all (default true; when false, enabling it "succeeds" with
// ERROR_NOT_ALL_ASSIGNED and ExitWindowsEx fails).
void set_os_platform(DWORD platform_id);
void set_shutdown_privilege_assigned(bool assigned);

// The window that has the keyboard focus within its top-level window.
HWND focus_of(HWND top);

}  // namespace sim
