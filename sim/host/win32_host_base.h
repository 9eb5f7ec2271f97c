// Host stand-in for Win32: basic types, handles and errors.
// Included through win32_host.h only.
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
#define HOST_DECLARE_HANDLE(name)                                                                            \
    struct name##__ {                                                                                        \
        int unused;                                                                                          \
    };                                                                                                       \
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
HOST_DECLARE_HANDLE(HDC);
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

struct RECT {
    LONG left, top, right, bottom;
};
typedef RECT* LPRECT;

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
// Implemented in sim/host/handles.cpp
#define ERROR_SUCCESS 0
#define ERROR_INVALID_FUNCTION 1
#define ERROR_FILE_NOT_FOUND 2
#define ERROR_PATH_NOT_FOUND 3
#define ERROR_ACCESS_DENIED 5
#define ERROR_INVALID_HANDLE 6
#define ERROR_NOT_ENOUGH_MEMORY 8
#define ERROR_INVALID_DATA 13
#define ERROR_SHARING_VIOLATION 32
#define ERROR_DISK_FULL 112
#define ERROR_INSUFFICIENT_BUFFER 122
#define ERROR_DEVICE_NOT_CONNECTED 1167
#define ERROR_BAD_COMMAND 22
#define ERROR_GEN_FAILURE 31
#define ERROR_SEM_TIMEOUT 121
#define ERROR_NO_MORE_ITEMS 259
#define ERROR_INVALID_PARAMETER 87
#define ERROR_FILE_EXISTS 80
#define ERROR_NEGATIVE_SEEK 131
#define ERROR_ALREADY_EXISTS 183
#define ERROR_INVALID_FLAGS 1004
#define ERROR_NO_UNICODE_TRANSLATION 1113
#define ERROR_INVALID_USER_BUFFER 1784

DWORD GetLastError(void);
void SetLastError(DWORD code);
