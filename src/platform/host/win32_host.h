// Host stand-in for the Win32 subset that tessel-updater calls.
//
// Names, types, constants and structure layouts follow the platform where the
// product depends on them (64-bit Windows: LONG and DWORD are 32 bits, pointers
// and WPARAM/LPARAM 64 bits, WCHAR 16 bits). The calls are implemented by the
// simulated world in src/platform/host/*.cpp; each section names its file
// (docs/standin-map.md has the whole map).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// ---------------------------------------------------------------- basic types
typedef int BOOL;
typedef unsigned char BYTE;
typedef BYTE BOOLEAN;
typedef BYTE UCHAR;
typedef uint16_t WORD;
typedef uint16_t USHORT;
typedef uint32_t DWORD;
typedef uint32_t ULONG;
typedef int32_t LONG;
typedef uint32_t UINT;
typedef int INT;
typedef char CHAR;
typedef char16_t WCHAR;
typedef short SHORT;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef ULONG_PTR DWORD_PTR;
typedef ULONG_PTR SIZE_T;
typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
typedef WORD LANGID;
typedef DWORD LCID;
typedef LONG NTSTATUS;
typedef void* PVOID;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef char* LPSTR;
typedef const char* LPCSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef DWORD* LPDWORD;
typedef DWORD* PDWORD;
typedef LONG* PLONG;
typedef ULONG* PULONG;
typedef BYTE* PUCHAR;
typedef BOOL* LPBOOL;

#define WINAPI
#define CALLBACK
#define APIENTRY
#define TRUE 1
#define FALSE 0
#define MAX_PATH 260

#define WTEXT(s) u##s

// Opaque handles: distinct pointer types as in the SDK's STRICT mode.
#define HOST_DECLARE_HANDLE(name) \
    struct name##__ { int unused; }; \
    typedef struct name##__* name
typedef void* HANDLE;
typedef HANDLE* PHANDLE;
HOST_DECLARE_HANDLE(HWND);
HOST_DECLARE_HANDLE(HINSTANCE);
HOST_DECLARE_HANDLE(HICON);
HOST_DECLARE_HANDLE(HBRUSH);
HOST_DECLARE_HANDLE(HFONT);
HOST_DECLARE_HANDLE(HMENU);
HOST_DECLARE_HANDLE(HRAWINPUT);
typedef HINSTANCE HMODULE;
typedef HICON HCURSOR;
typedef void* HGDIOBJ;
typedef void* HDEVNOTIFY;
typedef void* HDEVINFO;
typedef void* WINUSB_INTERFACE_HANDLE;
typedef WINUSB_INTERFACE_HANDLE* PWINUSB_INTERFACE_HANDLE;
typedef DWORD COLORREF;
typedef UINT MMRESULT;

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
typedef GUID* LPGUID;
typedef const GUID* LPCGUID;

struct SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;
struct OVERLAPPED {
    ULONG_PTR Internal;      // the status of the operation
    ULONG_PTR InternalHigh;  // the bytes moved
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};
typedef OVERLAPPED* LPOVERLAPPED;

#define LOWORD(l) ((WORD)(((DWORD_PTR)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((DWORD_PTR)(l)) >> 16) & 0xffff))
#define MAKEINTRESOURCEA(i) ((LPSTR)((ULONG_PTR)((WORD)(i))))
#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)

// ---------------------------------------------------------------- errors
// Implemented in src/platform/host/handles.cpp
#define ERROR_SUCCESS 0
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_SHARING_VIOLATION 32
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_DEVICE_NOT_CONNECTED 1167
#define ERROR_GEN_FAILURE 31
#define ERROR_NO_MORE_ITEMS 259
#define ERROR_INVALID_PARAMETER 87
#define ERROR_FILE_EXISTS 80
#define ERROR_NEGATIVE_SEEK 131
#define ERROR_ALREADY_EXISTS 183
#define ERROR_INVALID_FLAGS 1004
#define ERROR_NO_UNICODE_TRANSLATION 1113

DWORD GetLastError(void);
void SetLastError(DWORD code);

// ---------------------------------------------------------------- files
// Implemented in src/platform/host/files.cpp (paths, CreateFileA, the program file),
// src/platform/host/handles.cpp (ReadFile, WriteFile, CloseHandle) and
// src/platform/host/device_files.cpp (device paths)
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004
#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5
#define FILE_ATTRIBUTE_NORMAL 0x00000080
#define FILE_FLAG_OVERLAPPED 0x40000000
#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define INVALID_FILE_SIZE ((DWORD)0xFFFFFFFF)
#define INVALID_SET_FILE_POINTER ((DWORD)-1)

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa,
                   DWORD disposition, DWORD flags, HANDLE templ);
BOOL ReadFile(HANDLE h, LPVOID buf, DWORD n, LPDWORD read, LPOVERLAPPED ov);
BOOL WriteFile(HANDLE h, LPCVOID buf, DWORD n, LPDWORD written, LPOVERLAPPED ov);
DWORD SetFilePointer(HANDLE h, LONG distance, PLONG distance_high, DWORD method);
DWORD GetFileSize(HANDLE h, LPDWORD high);
BOOL CloseHandle(HANDLE h);
DWORD GetModuleFileNameA(HMODULE module, LPSTR buf, DWORD size);

// The C runtime's stream functions take Windows paths on Windows; on the host
// fopen is routed through the same path mapping as CreateFileA.
FILE* host_fopen(const char* path, const char* mode);
#define fopen host_fopen

// ---------------------------------------------------------------- threads, events
// Implemented in src/platform/host/scheduler.cpp
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0
#define WAIT_TIMEOUT 258
#define WAIT_FAILED ((DWORD)0xFFFFFFFF)

typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stack, LPTHREAD_START_ROUTINE start,
                    LPVOID param, DWORD flags, LPDWORD id);
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES sa, BOOL manual_reset, BOOL initial, LPCSTR name);
BOOL SetEvent(HANDLE h);
BOOL ResetEvent(HANDLE h);
DWORD WaitForSingleObject(HANDLE h, DWORD ms);
void Sleep(DWORD ms);
HANDLE GetCurrentProcess(void);
DWORD GetCurrentThreadId(void);

struct CRITICAL_SECTION {
    void* owner;
    LONG recursion;
    void* impl;
};
typedef CRITICAL_SECTION* LPCRITICAL_SECTION;
void InitializeCriticalSection(LPCRITICAL_SECTION cs);
void EnterCriticalSection(LPCRITICAL_SECTION cs);
void LeaveCriticalSection(LPCRITICAL_SECTION cs);
void DeleteCriticalSection(LPCRITICAL_SECTION cs);

// ---------------------------------------------------------------- multimedia timers
// Implemented in src/platform/host/timers.cpp
#define TIME_ONESHOT 0x0000
#define TIME_PERIODIC 0x0001
#define TIME_CALLBACK_EVENT_SET 0x0010
#define TIMERR_NOERROR 0
typedef void(CALLBACK* LPTIMECALLBACK)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
MMRESULT timeSetEvent(UINT delay, UINT resolution, LPTIMECALLBACK proc, DWORD_PTR user, UINT flags);
MMRESULT timeKillEvent(UINT id);

// ---------------------------------------------------------------- time, locale, text
// Implemented in src/platform/host/timers.cpp (GetLocalTime), src/platform/host/world.cpp
// (locale), src/platform/host/text.cpp (text) and src/platform/host/misc.cpp (version)
struct SYSTEMTIME {
    WORD wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
};
typedef SYSTEMTIME* LPSYSTEMTIME;
void GetLocalTime(LPSYSTEMTIME st);
LANGID GetUserDefaultLangID(void);
LCID GetUserDefaultLCID(void);

#define CP_UTF8 65001
#define MB_ERR_INVALID_CHARS 0x00000008
int MultiByteToWideChar(UINT cp, DWORD flags, LPCSTR src, int src_len, LPWSTR dst, int dst_len);
int wsprintfA(LPSTR buf, LPCSTR fmt, ...);

struct OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR szCSDVersion[128];
};
typedef OSVERSIONINFOA* LPOSVERSIONINFOA;
#define VER_PLATFORM_WIN32s 0
#define VER_PLATFORM_WIN32_WINDOWS 1
#define VER_PLATFORM_WIN32_NT 2
BOOL GetVersionExA(LPOSVERSIONINFOA info);

// ---------------------------------------------------------------- security, restart
// Implemented in src/platform/host/misc.cpp
#define TOKEN_ADJUST_PRIVILEGES 0x0020
#define TOKEN_QUERY 0x0008
#define SE_PRIVILEGE_ENABLED 0x00000002
#define SE_SHUTDOWN_NAME "SeShutdownPrivilege"
struct LUID {
    DWORD LowPart;
    LONG HighPart;
};
typedef LUID* PLUID;
struct LUID_AND_ATTRIBUTES {
    LUID Luid;
    DWORD Attributes;
};
struct TOKEN_PRIVILEGES {
    DWORD PrivilegeCount;
    LUID_AND_ATTRIBUTES Privileges[1];
};
typedef TOKEN_PRIVILEGES* PTOKEN_PRIVILEGES;
BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token);
BOOL LookupPrivilegeValueA(LPCSTR system, LPCSTR name, PLUID luid);
BOOL AdjustTokenPrivileges(HANDLE token, BOOL disable_all, PTOKEN_PRIVILEGES state, DWORD len,
                           PTOKEN_PRIVILEGES previous, PDWORD return_len);
#define EWX_LOGOFF 0x00000000
#define EWX_SHUTDOWN 0x00000001
#define EWX_REBOOT 0x00000002
#define EWX_FORCE 0x00000004
BOOL ExitWindowsEx(UINT flags, DWORD reason);

// ---------------------------------------------------------------- shell
// Implemented in src/platform/host/misc.cpp
HINSTANCE ShellExecuteA(HWND hwnd, LPCSTR op, LPCSTR file, LPCSTR params, LPCSTR dir, INT show);

// ---------------------------------------------------------------- GDI
// Implemented in src/platform/host/misc.cpp
#define COLOR_BTNFACE 15
DWORD GetSysColor(int index);
HBRUSH CreateSolidBrush(COLORREF color);
HFONT CreateFontA(int height, int width, int escapement, int orientation, int weight, DWORD italic,
                  DWORD underline, DWORD strike, DWORD charset, DWORD out_precision,
                  DWORD clip_precision, DWORD quality, DWORD pitch_family, LPCSTR face);
BOOL DeleteObject(HGDIOBJ obj);

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
#define WS_OVERLAPPEDWINDOW \
    (WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME | WS_MINIMIZEBOX | WS_MAXIMIZEBOX)
#define WS_EX_CONTROLPARENT 0x00010000L
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
#define WM_SHOWWINDOW 0x0018
#define WM_SETFONT 0x0030
#define WM_POWERBROADCAST 0x0218
#define WM_DEVICECHANGE 0x0219
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

// ---------------------------------------------------------------- windows and classes
// Implemented in src/platform/host/windows.cpp
ATOM RegisterClassA(const WNDCLASSA* wc);
HWND FindWindowA(LPCSTR class_name, LPCSTR window_name);
HWND CreateWindowExA(DWORD ex_style, LPCSTR class_name, LPCSTR title, DWORD style, int x, int y,
                     int w, int h, HWND parent, HMENU menu, HINSTANCE inst, LPVOID param);
HWND CreateWindowExW(DWORD ex_style, LPCWSTR class_name, LPCWSTR title, DWORD style, int x, int y,
                     int w, int h, HWND parent, HMENU menu, HINSTANCE inst, LPVOID param);
LRESULT DefWindowProcA(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
BOOL EnableWindow(HWND hwnd, BOOL enable);
BOOL IsWindowEnabled(HWND hwnd);
BOOL SetWindowTextW(HWND hwnd, LPCWSTR text);
int GetWindowTextLengthA(HWND hwnd);
BOOL ShowWindow(HWND hwnd, int cmd);
BOOL UpdateWindow(HWND hwnd);

// ---------------------------------------------------------------- message queues
// Implemented in src/platform/host/messages.cpp
BOOL GetMessageA(LPMSG msg, HWND hwnd, UINT min, UINT max);
BOOL TranslateMessage(const MSG* msg);
LRESULT DispatchMessageA(const MSG* msg);
BOOL PostMessageA(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
void PostQuitMessage(int code);
LRESULT SendMessageA(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
LRESULT SendMessageW(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

// ---------------------------------------------------------------- window timers
// Implemented in src/platform/host/timers.cpp
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT ms, void* proc);
BOOL KillTimer(HWND hwnd, UINT_PTR id);

// ---------------------------------------------------------------- controls
// Implemented in src/platform/host/controls.cpp
void InitCommonControls(void);
#define PROGRESS_CLASSA "msctls_progress32"

// ---------------------------------------------------------------- dialogs
// Implemented in src/platform/host/dialogs.cpp
BOOL IsDialogMessageA(HWND dlg, LPMSG msg);
HWND GetDlgItem(HWND dlg, int id);
HWND CreateDialogParamA(HINSTANCE inst, LPCSTR templ, HWND owner, DLGPROC proc, LPARAM param);
BOOL SetDlgItemTextW(HWND dlg, int id, LPCWSTR text);
BOOL EndDialog(HWND dlg, INT_PTR result);

// ---------------------------------------------------------------- icons, cursors, message boxes
// Implemented in src/platform/host/misc.cpp
HICON LoadIconA(HINSTANCE inst, LPCSTR name);
HANDLE LoadImageA(HINSTANCE inst, LPCSTR name, UINT type, int cx, int cy, UINT flags);
HCURSOR LoadCursorA(HINSTANCE inst, LPCSTR name);
int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type);

// ---------------------------------------------------------------- power
// Broadcast by src/platform/host/power.cpp
#define PBT_APMQUERYSUSPEND 0x0000
#define PBT_APMSUSPEND 0x0004
#define PBT_APMRESUMESUSPEND 0x0007
#define PBT_APMRESUMEAUTOMATIC 0x0012
#define BROADCAST_QUERY_DENY 0x424D5144

// ---------------------------------------------------------------- device notifications
// Implemented in src/platform/host/notifications.cpp (registration and delivery)
#define DBT_DEVICEARRIVAL 0x8000
#define DBT_DEVICEQUERYREMOVE 0x8001
#define DBT_DEVICEQUERYREMOVEFAILED 0x8002
#define DBT_DEVICEREMOVEPENDING 0x8003
#define DBT_DEVICEREMOVECOMPLETE 0x8004
#define DBT_DEVTYP_OEM 0x00000000
#define DBT_DEVTYP_VOLUME 0x00000002
#define DBT_DEVTYP_PORT 0x00000003
#define DBT_DEVTYP_DEVICEINTERFACE 0x00000005
#define DBT_DEVTYP_HANDLE 0x00000006
#define DEVICE_NOTIFY_WINDOW_HANDLE 0x00000000

struct DEV_BROADCAST_HDR {
    DWORD dbch_size;
    DWORD dbch_devicetype;
    DWORD dbch_reserved;
};
typedef DEV_BROADCAST_HDR* PDEV_BROADCAST_HDR;
struct DEV_BROADCAST_DEVICEINTERFACE_A {
    DWORD dbcc_size;
    DWORD dbcc_devicetype;
    DWORD dbcc_reserved;
    GUID dbcc_classguid;
    char dbcc_name[1];
};
struct DEV_BROADCAST_HANDLE {
    DWORD dbch_size;
    DWORD dbch_devicetype;
    DWORD dbch_reserved;
    HANDLE dbch_handle;
    HDEVNOTIFY dbch_hdevnotify;
    GUID dbch_eventguid;
    LONG dbch_nameoffset;
    BYTE dbch_data[1];
};
typedef DEV_BROADCAST_HANDLE* PDEV_BROADCAST_HANDLE;
HDEVNOTIFY RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags);
BOOL UnregisterDeviceNotification(HDEVNOTIFY handle);

// ---------------------------------------------------------------- raw input
// Implemented in src/platform/host/rawinput.cpp
#define RIM_TYPEMOUSE 0
#define RIM_TYPEKEYBOARD 1
#define RIM_TYPEHID 2
#define RID_INPUT 0x10000003
#define RID_HEADER 0x10000005
#define RIDI_DEVICEINFO 0x2000000b
#define RIDEV_INPUTSINK 0x00000100

struct RAWINPUTDEVICE {
    USHORT usUsagePage;
    USHORT usUsage;
    DWORD dwFlags;
    HWND hwndTarget;
};
typedef RAWINPUTDEVICE* PRAWINPUTDEVICE;
typedef const RAWINPUTDEVICE* PCRAWINPUTDEVICE;
struct RAWINPUTHEADER {
    DWORD dwType;
    DWORD dwSize;
    HANDLE hDevice;
    WPARAM wParam;
};
struct RAWMOUSE {
    USHORT usFlags;
    union {
        ULONG ulButtons;
        struct {
            USHORT usButtonFlags;
            USHORT usButtonData;
        };
    };
    ULONG ulRawButtons;
    LONG lLastX;
    LONG lLastY;
    ULONG ulExtraInformation;
};
struct RAWKEYBOARD {
    USHORT MakeCode;
    USHORT Flags;
    USHORT Reserved;
    USHORT VKey;
    UINT Message;
    ULONG ExtraInformation;
};
struct RAWHID {
    DWORD dwSizeHid;
    DWORD dwCount;
    BYTE bRawData[1];
};
struct RAWINPUT {
    RAWINPUTHEADER header;
    union {
        RAWMOUSE mouse;
        RAWKEYBOARD keyboard;
        RAWHID hid;
    } data;
};
typedef RAWINPUT* PRAWINPUT;
struct RID_DEVICE_INFO_MOUSE {
    DWORD dwId;
    DWORD dwNumberOfButtons;
    DWORD dwSampleRate;
    BOOL fHasHorizontalWheel;
};
struct RID_DEVICE_INFO_KEYBOARD {
    DWORD dwType;
    DWORD dwSubType;
    DWORD dwKeyboardMode;
    DWORD dwNumberOfFunctionKeys;
    DWORD dwNumberOfIndicators;
    DWORD dwNumberOfKeysTotal;
};
struct RID_DEVICE_INFO_HID {
    DWORD dwVendorId;
    DWORD dwProductId;
    DWORD dwVersionNumber;
    USHORT usUsagePage;
    USHORT usUsage;
};
struct RID_DEVICE_INFO {
    DWORD cbSize;
    DWORD dwType;
    union {
        RID_DEVICE_INFO_MOUSE mouse;
        RID_DEVICE_INFO_KEYBOARD keyboard;
        RID_DEVICE_INFO_HID hid;
    };
};
BOOL RegisterRawInputDevices(PCRAWINPUTDEVICE devices, UINT count, UINT size);
UINT GetRawInputData(HRAWINPUT raw, UINT command, LPVOID data, UINT* size, UINT header_size);
UINT GetRawInputDeviceInfoA(HANDLE device, UINT command, LPVOID data, UINT* size);

// ---------------------------------------------------------------- SetupAPI
// Implemented in src/platform/host/setupapi.cpp
#define DIGCF_DEFAULT 0x00000001
#define DIGCF_PRESENT 0x00000002
#define DIGCF_ALLCLASSES 0x00000004
#define DIGCF_PROFILE 0x00000008
#define DIGCF_DEVICEINTERFACE 0x00000010
struct SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
};
typedef SP_DEVINFO_DATA* PSP_DEVINFO_DATA;
struct SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
};
typedef SP_DEVICE_INTERFACE_DATA* PSP_DEVICE_INTERFACE_DATA;
struct SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize;
    CHAR DevicePath[1];
};
typedef SP_DEVICE_INTERFACE_DETAIL_DATA_A* PSP_DEVICE_INTERFACE_DETAIL_DATA_A;
HDEVINFO SetupDiGetClassDevsA(const GUID* class_guid, LPCSTR enumerator, HWND parent, DWORD flags);
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA info, const GUID* guid, DWORD index,
                                 PSP_DEVICE_INTERFACE_DATA data);
BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                                      PDWORD required, PSP_DEVINFO_DATA info);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);

// ---------------------------------------------------------------- HID class library
// Implemented in src/platform/host/hid.cpp
struct HIDD_ATTRIBUTES {
    ULONG Size;
    USHORT VendorID;
    USHORT ProductID;
    USHORT VersionNumber;
};
typedef HIDD_ATTRIBUTES* PHIDD_ATTRIBUTES;
typedef USHORT USAGE;
struct HIDP_CAPS {
    USAGE Usage;
    USAGE UsagePage;
    USHORT InputReportByteLength;
    USHORT OutputReportByteLength;
    USHORT FeatureReportByteLength;
    USHORT Reserved[17];
    USHORT NumberLinkCollectionNodes;
    USHORT NumberInputButtonCaps;
    USHORT NumberInputValueCaps;
    USHORT NumberInputDataIndices;
    USHORT NumberOutputButtonCaps;
    USHORT NumberOutputValueCaps;
    USHORT NumberOutputDataIndices;
    USHORT NumberFeatureButtonCaps;
    USHORT NumberFeatureValueCaps;
    USHORT NumberFeatureDataIndices;
};
typedef HIDP_CAPS* PHIDP_CAPS;
typedef struct _HIDP_PREPARSED_DATA* PHIDP_PREPARSED_DATA;
#define HIDP_STATUS_SUCCESS ((NTSTATUS)0x00110000)
void HidD_GetHidGuid(LPGUID guid);
BOOLEAN HidD_GetAttributes(HANDLE device, PHIDD_ATTRIBUTES attributes);
BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data);
BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data);
NTSTATUS HidP_GetCaps(PHIDP_PREPARSED_DATA data, PHIDP_CAPS caps);

// ---------------------------------------------------------------- WinUSB
// Implemented in src/platform/host/winusb.cpp
#pragma pack(push, 1)
struct WINUSB_SETUP_PACKET {
    UCHAR RequestType;
    UCHAR Request;
    USHORT Value;
    USHORT Index;
    USHORT Length;
};
#pragma pack(pop)
#define USB_DEVICE_DESCRIPTOR_TYPE 0x01
BOOL WinUsb_Initialize(HANDLE device, PWINUSB_INTERFACE_HANDLE iface);
BOOL WinUsb_Free(WINUSB_INTERFACE_HANDLE iface);
BOOL WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE iface, UCHAR type, UCHAR index, USHORT lang,
                          PUCHAR buffer, ULONG length, PULONG transferred);
BOOL WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE iface, WINUSB_SETUP_PACKET setup, PUCHAR buffer,
                            ULONG length, PULONG transferred, LPOVERLAPPED ov);

// ---------------------------------------------------------------- entry point
// GetCommandLineA is implemented in src/platform/host/entry.cpp; WinMain is the
// tool's own, handed to sim::run_entry by the runner and the tests.
int WINAPI WinMain(HINSTANCE inst, HINSTANCE prev, LPSTR cmdline, int show);
// The process's command line: the program path in double quotes, then the
// arguments the run was started with.
LPSTR GetCommandLineA();

// ---------------------------------------------------------------- overlapped I/O
// Implemented in src/platform/host/overlapped_io.cpp.
#define ERROR_OPERATION_ABORTED 995
#define ERROR_IO_PENDING 997
BOOL GetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD transferred, BOOL wait);
BOOL CancelIo(HANDLE h);

// ---------------------------------------------------------------- power requests
// Implemented in src/platform/host/power_requests.cpp.
typedef DWORD EXECUTION_STATE;
#define ES_SYSTEM_REQUIRED 0x00000001u
#define ES_CONTINUOUS 0x80000000u
// Per thread, as on the platform: the request ends with the thread.
EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE flags);
// Only for a window of the calling thread (else ERROR_ACCESS_DENIED).
BOOL ShutdownBlockReasonCreate(HWND wnd, LPCWSTR reason);
BOOL ShutdownBlockReasonDestroy(HWND wnd);

// Layout checks against the 64-bit platform.
static_assert(sizeof(DEV_BROADCAST_HANDLE) == 56, "DEV_BROADCAST_HANDLE layout");
static_assert(sizeof(DEV_BROADCAST_DEVICEINTERFACE_A) == 32, "DEV_BROADCAST_DEVICEINTERFACE_A layout");
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A) == 8, "SP_DEVICE_INTERFACE_DETAIL_DATA_A layout");
static_assert(sizeof(OSVERSIONINFOA) == 148, "OSVERSIONINFOA layout");
static_assert(sizeof(RAWINPUTHEADER) == 24, "RAWINPUTHEADER layout");
static_assert(sizeof(RID_DEVICE_INFO) == 32, "RID_DEVICE_INFO layout");
static_assert(sizeof(HIDD_ATTRIBUTES) == 12, "HIDD_ATTRIBUTES layout");
static_assert(sizeof(HIDP_CAPS) == 64, "HIDP_CAPS layout");
static_assert(sizeof(WINUSB_SETUP_PACKET) == 8, "WINUSB_SETUP_PACKET layout");
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32, "SP_DEVICE_INTERFACE_DATA layout");
