// The support trace (`-trace=FILE`): one JSON line per event, written by the
// gateway's device calls themselves. Every device call the tool makes passes
// through the recording functions below (the gateway renames the calls to
// them), so each build records through the same code whatever answers the
// call: Windows, the host stand-in, or a simulated bus.
//
// Records: {"t":ms since the trace began,"ev":name,fields...}. Payloads are
// upper-case hexadecimal. Nothing is recorded while no trace is open, and a
// trace that cannot be written changes nothing of the run.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

// Opens the trace file named on the command line; false when it cannot be
// written (the run goes on without a trace).
bool trace_open(const char* path);
// Records into a stream the caller opened (tessel-sim's --record).
void trace_open_stream(FILE* stream);
// Writes out what is buffered; the trace stays open for what follows.
void trace_flush();
// Writes out what is buffered and closes the file.
void trace_close();
bool trace_on();

// A record whose fields the caller formats: `fields` is the text between
// the braces after "ev" (no leading comma), or empty.
void trace_record(const char* ev, const char* fields);
// Why a run stopped: {"ev":"cause","name":name,fields...}. Also handed to
// the cause hook, where one is set (tessel-sim writes it into its trace).
void trace_cause(const char* name, const char* fields = "");
void trace_set_cause_hook(void (*hook)(const char* fields));
// The Windows error code of the latest device call that failed.
unsigned long trace_last_device_error();

// Texts, states and results as the tool shows them.
void trace_log_text(const char* text);
void trace_text_record(const char* ev, const char* key, const char* text);
// The update state and result, recorded when they changed since last seen.
void trace_watch(unsigned state, unsigned long result);
// A device broadcast (WM_DEVICECHANGE) as the main window received it.
void trace_device_change(uintptr_t event, const void* broadcast);

// A shared value read for the trace only: in the simulated world this is no
// preemption point, so that recording never changes how the threads interleave.
#ifdef _WIN32
template <typename T>
T trace_peek(const std::atomic<T>& value)
{
    return value.load();
}
#else
template <typename T>
T trace_peek(const shared_atomic<T>& value)
{
    return value.peek();
}
#endif

// Formats `len` bytes as upper-case hexadecimal into `out` (2 * len + 1 bytes).
void trace_hex(char* out, const uint8_t* data, size_t len);

// The device calls as the tool makes them.
#ifndef TESSEL_DEVICE_TRACE_CALLS
HDEVINFO dt_SetupDiGetClassDevsA(const GUID* guid, LPCSTR enumerator, HWND parent, DWORD flags);
BOOL dt_SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA info, const GUID* guid, DWORD index,
                                    PSP_DEVICE_INTERFACE_DATA data);
BOOL dt_SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                         PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                                         PDWORD required, PSP_DEVINFO_DATA info);
HANDLE dt_CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                      DWORD flags, HANDLE templ);
BOOL dt_WriteFile(HANDLE h, LPCVOID data, DWORD len, LPDWORD written, LPOVERLAPPED ov);
BOOL dt_GetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD moved, BOOL wait);
BOOL dt_CancelIo(HANDLE h);
BOOL dt_CloseHandle(HANDLE h);
BOOLEAN dt_HidD_GetAttributes(HANDLE h, PHIDD_ATTRIBUTES attr);
BOOLEAN dt_HidD_GetPreparsedData(HANDLE h, PHIDP_PREPARSED_DATA* pp);
NTSTATUS dt_HidP_GetCaps(PHIDP_PREPARSED_DATA pp, PHIDP_CAPS caps);
UINT dt_GetRawInputData(HRAWINPUT raw, UINT command, LPVOID data, UINT* size, UINT header);
BOOL dt_RegisterRawInputDevices(PCRAWINPUTDEVICE devices, UINT count, UINT size);
HDEVNOTIFY dt_RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags);
BOOL dt_WinUsb_Initialize(HANDLE file, PWINUSB_INTERFACE_HANDLE iface);
BOOL dt_WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE iface, UCHAR type, UCHAR index, USHORT language,
                             PUCHAR buffer, ULONG length, PULONG transferred);
BOOL dt_WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE iface, WINUSB_SETUP_PACKET setup, PUCHAR buffer,
                               ULONG length, PULONG transferred, LPOVERLAPPED ov);

#undef SetupDiGetClassDevsA
#undef SetupDiEnumDeviceInterfaces
#undef SetupDiGetDeviceInterfaceDetailA
#undef CreateFileA
#undef WriteFile
#undef GetOverlappedResult
#undef CancelIo
#undef CloseHandle
#undef HidD_GetAttributes
#undef HidD_GetPreparsedData
#undef HidP_GetCaps
#undef GetRawInputData
#undef RegisterRawInputDevices
#undef RegisterDeviceNotificationA
#undef WinUsb_Initialize
#undef WinUsb_GetDescriptor
#undef WinUsb_ControlTransfer
#define SetupDiGetClassDevsA dt_SetupDiGetClassDevsA
#define SetupDiEnumDeviceInterfaces dt_SetupDiEnumDeviceInterfaces
#define SetupDiGetDeviceInterfaceDetailA dt_SetupDiGetDeviceInterfaceDetailA
#define CreateFileA dt_CreateFileA
#define WriteFile dt_WriteFile
#define GetOverlappedResult dt_GetOverlappedResult
#define CancelIo dt_CancelIo
#define CloseHandle dt_CloseHandle
#define HidD_GetAttributes dt_HidD_GetAttributes
#define HidD_GetPreparsedData dt_HidD_GetPreparsedData
#define HidP_GetCaps dt_HidP_GetCaps
#define GetRawInputData dt_GetRawInputData
#define RegisterRawInputDevices dt_RegisterRawInputDevices
#define RegisterDeviceNotificationA dt_RegisterDeviceNotificationA
#define WinUsb_Initialize dt_WinUsb_Initialize
#define WinUsb_GetDescriptor dt_WinUsb_GetDescriptor
#define WinUsb_ControlTransfer dt_WinUsb_ControlTransfer
#endif
