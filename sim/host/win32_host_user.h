// Host stand-in for Win32: windows, messages, controls, dialogs and power broadcasts.
// Included through win32_host.h only.
#pragma once

#include "host/win32_host_kernel.h"

// ---------------------------------------------------------------- windows and messages
// Types and constants; the calls follow in sections by file.
typedef LRESULT(CALLBACK* WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef INT_PTR(CALLBACK* DLGPROC)(HWND, UINT, WPARAM, LPARAM);

struct POINT {
    LONG x, y;
};
struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
};
typedef MSG* LPMSG;

struct WNDCLASSA {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCSTR lpszMenuName;
    LPCSTR lpszClassName;
};
typedef unsigned short ATOM;

struct CREATESTRUCTA {
    LPVOID lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy, cx, y, x;
    LONG style;
    LPCSTR lpszName;
    LPCSTR lpszClass;
    DWORD dwExStyle;
};

#define CS_VREDRAW 0x0001
#define CS_HREDRAW 0x0002
#define CS_DBLCLKS 0x0008

#define WS_OVERLAPPED 0x00000000L
#define WS_POPUP 0x80000000L
#define WS_CHILD 0x40000000L
#define WS_VISIBLE 0x10000000L
#define WS_DISABLED 0x08000000L
#define WS_CAPTION 0x00C00000L
#define WS_BORDER 0x00800000L
#define WS_VSCROLL 0x00200000L
#define WS_SYSMENU 0x00080000L
#define WS_THICKFRAME 0x00040000L
#define WS_GROUP 0x00020000L
#define WS_TABSTOP 0x00010000L
#define WS_MINIMIZEBOX 0x00020000L
#define WS_MAXIMIZEBOX 0x00010000L
#define WS_OVERLAPPEDWINDOW                                                                                  \
    (WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX)
#define WS_EX_CONTROLPARENT 0x00010000L
#define WS_EX_RTLREADING 0x00002000L
#define WS_EX_LAYOUTRTL 0x00400000L
#define GWL_EXSTYLE (-20)
#define LAYOUT_RTL 0x00000001
#define SWP_NOMOVE 0x0002
#define SWP_NOZORDER 0x0004
#define SWP_NOACTIVATE 0x0010
#define CW_USEDEFAULT ((int)0x80000000)

#define SS_LEFT 0x00000000L
#define SS_ICON 0x00000003L
#define BS_PUSHBUTTON 0x00000000L
#define BS_DEFPUSHBUTTON 0x00000001L
#define ES_MULTILINE 0x0004L
#define ES_READONLY 0x0800L
#define DS_MODALFRAME 0x80L
#define DS_SETFONT 0x40L

#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_SHOW 5

#define WM_NULL 0x0000
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_ENABLE 0x000A
#define WM_SETTEXT 0x000C
#define WM_GETTEXT 0x000D
#define WM_GETTEXTLENGTH 0x000E
#define WM_PAINT 0x000F
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_QUERYENDSESSION 0x0011
#define WM_ENDSESSION 0x0016
#define ENDSESSION_CRITICAL 0x40000000
#define WM_SHOWWINDOW 0x0018
#define WM_SETFONT 0x0030
#define WM_POWERBROADCAST 0x0218
#define WM_DEVICECHANGE 0x0219
#define WM_DPICHANGED 0x02E0
#define WM_INPUT 0x00FF
#define WM_KEYDOWN 0x0100
#define WM_KEYUP 0x0101
#define WM_CHAR 0x0102
#define WM_SYSKEYDOWN 0x0104
#define WM_SYSKEYUP 0x0105
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define WM_SYSCOMMAND 0x0112
#define WM_TIMER 0x0113
#define WM_USER 0x0400

#define BN_CLICKED 0
#define IDOK 1
#define IDCANCEL 2
#define VK_RETURN 0x0D
#define VK_ESCAPE 0x1B
#define VK_TAB 0x09

#define EM_SETSEL 0x00B1
#define EM_REPLACESEL 0x00C2
#define STM_SETICON 0x0170
#define PBM_SETRANGE (WM_USER + 1)
#define PBM_SETPOS (WM_USER + 2)
#define MAKELPARAM(l, h) ((LPARAM)(DWORD)(((WORD)(l)) | (((DWORD)(WORD)(h)) << 16)))
#define MAKEWPARAM(l, h) ((WPARAM)(DWORD)(((WORD)(l)) | (((DWORD)(WORD)(h)) << 16)))

#define IDC_ARROW MAKEINTRESOURCEA(32512)
#define IDI_WARNING MAKEINTRESOURCEA(32515)
#define IMAGE_ICON 1
#define LR_DEFAULTCOLOR 0x0000

#define MB_OK 0x00000000L
#define MB_ICONWARNING 0x00000030L
#define MB_ICONINFORMATION 0x00000040L

// ---------------------------------------------------------------- windows and classes
// Implemented in sim/host/windows.cpp
ATOM RegisterClassA(const WNDCLASSA* wc);
HWND FindWindowA(LPCSTR class_name, LPCSTR window_name);
HWND CreateWindowExA(DWORD ex_style, LPCSTR class_name, LPCSTR title, DWORD style, int x, int y, int w, int h,
                     HWND parent, HMENU menu, HINSTANCE inst, LPVOID param);
HWND CreateWindowExW(DWORD ex_style, LPCWSTR class_name, LPCWSTR title, DWORD style, int x, int y, int w,
                     int h, HWND parent, HMENU menu, HINSTANCE inst, LPVOID param);
LRESULT DefWindowProcA(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
BOOL EnableWindow(HWND hwnd, BOOL enable);
BOOL IsWindowEnabled(HWND hwnd);
BOOL SetWindowTextW(HWND hwnd, LPCWSTR text);
int GetWindowTextLengthA(HWND hwnd);
BOOL ShowWindow(HWND hwnd, int cmd);
BOOL UpdateWindow(HWND hwnd);
LONG GetWindowLongA(HWND hwnd, int index);  // GWL_EXSTYLE only
LONG SetWindowLongA(HWND hwnd, int index, LONG value);
BOOL SetWindowPos(HWND hwnd, HWND after, int x, int y, int w, int h, UINT flags);
BOOL SetProcessDefaultLayout(DWORD layout);
// The DPI of the window's monitor: 96 in the simulated world.
UINT GetDpiForWindow(HWND hwnd);

// ---------------------------------------------------------------- message queues
// Implemented in sim/host/messages.cpp
BOOL GetMessageA(LPMSG msg, HWND hwnd, UINT min, UINT max);
BOOL TranslateMessage(const MSG* msg);
LRESULT DispatchMessageA(const MSG* msg);
BOOL PostMessageA(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
void PostQuitMessage(int code);
LRESULT SendMessageA(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
LRESULT SendMessageW(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

// ---------------------------------------------------------------- window timers
// Implemented in sim/host/timers.cpp
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT ms, void* proc);
BOOL KillTimer(HWND hwnd, UINT_PTR id);

// ---------------------------------------------------------------- controls
// Implemented in sim/host/controls.cpp
void InitCommonControls(void);
#define PROGRESS_CLASSA "msctls_progress32"

// ---------------------------------------------------------------- dialogs
// Implemented in sim/host/dialogs.cpp
BOOL IsDialogMessageA(HWND dlg, LPMSG msg);
HWND GetDlgItem(HWND dlg, int id);
HWND CreateDialogParamA(HINSTANCE inst, LPCSTR templ, HWND owner, DLGPROC proc, LPARAM param);
BOOL SetDlgItemTextW(HWND dlg, int id, LPCWSTR text);
BOOL EndDialog(HWND dlg, INT_PTR result);
// The simulated dialog manager keeps its dialogs in dialog units: at 96 DPI
// its pixels are dialog units.
BOOL MapDialogRect(HWND dlg, LPRECT rect);

// ---------------------------------------------------------------- icons, cursors, message boxes
// Implemented in sim/host/misc.cpp
HICON LoadIconA(HINSTANCE inst, LPCSTR name);
BOOL DestroyIcon(HICON icon);
HANDLE LoadImageA(HINSTANCE inst, LPCSTR name, UINT type, int cx, int cy, UINT flags);
HCURSOR LoadCursorA(HINSTANCE inst, LPCSTR name);
int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);

// ---------------------------------------------------------------- power
// Broadcast by sim/bus/system_requests.cpp
#define PBT_APMQUERYSUSPEND 0x0000
#define PBT_APMSUSPEND 0x0004
#define PBT_APMRESUMESUSPEND 0x0007
#define PBT_APMRESUMEAUTOMATIC 0x0012
#define BROADCAST_QUERY_DENY 0x424D5144
