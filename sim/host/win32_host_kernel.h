// Host stand-in for Win32: files, threads and events, timers, time and text, security, shell, GDI, overlapped I/O and power requests.
// Included through win32_host.h only.
#pragma once

#include "host/win32_host_base.h"

// ---------------------------------------------------------------- files
// Implemented in sim/host/paths.cpp (Windows paths onto host files),
// sim/host/files.cpp (CreateFileA, the program file),
// sim/host/handles.cpp (ReadFile, WriteFile, CloseHandle) and
// sim/host/device_files.cpp (device paths)
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

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                   DWORD flags, HANDLE templ);
BOOL ReadFile(HANDLE h, LPVOID buf, DWORD n, LPDWORD read, LPOVERLAPPED ov);
BOOL WriteFile(HANDLE h, LPCVOID buf, DWORD n, LPDWORD written, LPOVERLAPPED ov);
DWORD SetFilePointer(HANDLE h, LONG distance, PLONG distance_high, DWORD method);
DWORD GetFileSize(HANDLE h, LPDWORD high);
BOOL CloseHandle(HANDLE h);
DWORD GetModuleFileNameA(HMODULE module, LPSTR buf, DWORD size);
// Run-time look-up of calls newer Windows versions have: the simulated
// world's user32.dll exports GetDpiForWindow (Windows 10 1607) only.
typedef INT_PTR(WINAPI* FARPROC)();
HMODULE GetModuleHandleA(LPCSTR name);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
int MulDiv(int number, int numerator, int denominator);
// The process's standard output (sim/host/handles.cpp): in the simulated
// world always a pipe that the starting program reads; what is written to it
// is traced ("stdout"). There is no standard input or error stream.
#define STD_OUTPUT_HANDLE ((DWORD)-11)
HANDLE GetStdHandle(DWORD which);

// The C runtime's stream functions take Windows paths on Windows; on the host
// fopen is routed through the same path mapping as CreateFileA.
FILE* host_fopen(const char* path, const char* mode);
#define fopen host_fopen

// ---------------------------------------------------------------- threads, events
// Implemented in sim/host/kernel_objects.cpp (blocking through scheduler.cpp)
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0
#define WAIT_TIMEOUT 258
#define WAIT_FAILED ((DWORD)0xFFFFFFFF)

typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID);
HANDLE CreateThread(LPSECURITY_ATTRIBUTES sa, SIZE_T stack, LPTHREAD_START_ROUTINE start, LPVOID param,
                    DWORD flags, LPDWORD id);
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
// Implemented in sim/host/timers.cpp
#define TIME_ONESHOT 0x0000
#define TIME_PERIODIC 0x0001
#define TIME_CALLBACK_EVENT_SET 0x0010
#define TIMERR_NOERROR 0
typedef void(CALLBACK* LPTIMECALLBACK)(UINT, UINT, DWORD_PTR, DWORD_PTR, DWORD_PTR);
MMRESULT timeSetEvent(UINT delay, UINT resolution, LPTIMECALLBACK proc, DWORD_PTR user, UINT flags);
MMRESULT timeKillEvent(UINT id);
// Milliseconds since the system started (wraps after 49.7 days).
DWORD timeGetTime(void);

// ---------------------------------------------------------------- time, locale, text
// Implemented in sim/host/timers.cpp (GetLocalTime), sim/host/world.cpp
// (locale), sim/host/text.cpp (text) and sim/host/misc.cpp (version)
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
// Implemented in sim/host/misc.cpp
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
// Implemented in sim/host/misc.cpp
HINSTANCE ShellExecuteA(HWND hwnd, LPCSTR op, LPCSTR file, LPCSTR params, LPCSTR dir, INT show);

// ---------------------------------------------------------------- GDI
// Implemented in sim/host/misc.cpp
#define COLOR_BTNFACE 15
DWORD GetSysColor(int index);
HBRUSH CreateSolidBrush(COLORREF color);
HFONT CreateFontA(int height, int width, int escapement, int orientation, int weight, DWORD italic,
                  DWORD underline, DWORD strike, DWORD charset, DWORD out_precision, DWORD clip_precision,
                  DWORD quality, DWORD pitch_family, LPCSTR face);
BOOL DeleteObject(HGDIOBJ obj);
#define DEFAULT_CHARSET 1
#define LOGPIXELSY 90
// The simulated display runs at 96 DPI (100 %).
HDC GetDC(HWND hwnd);
int ReleaseDC(HWND hwnd, HDC dc);
int GetDeviceCaps(HDC dc, int index);

// ---------------------------------------------------------------- overlapped I/O
// Implemented in sim/host/overlapped_io.cpp.
#define ERROR_OPERATION_ABORTED 995
#define ERROR_IO_INCOMPLETE 996
#define ERROR_IO_PENDING 997
BOOL GetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD transferred, BOOL wait);
BOOL CancelIo(HANDLE h);

// ---------------------------------------------------------------- power requests
// Implemented in sim/host/power_requests.cpp.
typedef DWORD EXECUTION_STATE;
#define ES_SYSTEM_REQUIRED 0x00000001u
#define ES_CONTINUOUS 0x80000000u
// Per thread, as on the platform: the request ends with the thread.
EXECUTION_STATE SetThreadExecutionState(EXECUTION_STATE flags);
// Only for a window of the calling thread (else ERROR_ACCESS_DENIED).
BOOL ShutdownBlockReasonCreate(HWND wnd, LPCWSTR reason);
BOOL ShutdownBlockReasonDestroy(HWND wnd);
