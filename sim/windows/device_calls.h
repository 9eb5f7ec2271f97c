// The device calls of the tool as the Windows-side simulated bus answers
// them: the same signatures as the platform's SetupAPI, HID class library,
// device files, Raw Input, device notifications and WinUSB. Included after the
// platform SDK headers, by redirect.h (the tool's builds with simulated devices)
// and by the bus itself.
#pragma once

#include <windows.h>
#include <setupapi.h>

#include <cstdio>
#include <string>
#include <winusb.h>
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

// SetupAPI
HDEVINFO simdev_SetupDiGetClassDevsA(const GUID* guid, PCSTR enumerator, HWND parent, DWORD flags);
BOOL simdev_SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA info, const GUID* guid, DWORD index,
                                        PSP_DEVICE_INTERFACE_DATA data);
BOOL simdev_SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                                             PDWORD required, PSP_DEVINFO_DATA info);
BOOL simdev_SetupDiDestroyDeviceInfoList(HDEVINFO set);

// HID class library
void simdev_HidD_GetHidGuid(LPGUID guid);
BOOLEAN simdev_HidD_GetAttributes(HANDLE h, PHIDD_ATTRIBUTES attr);
BOOLEAN simdev_HidD_GetPreparsedData(HANDLE h, PHIDP_PREPARSED_DATA* pp);
BOOLEAN simdev_HidD_FreePreparsedData(PHIDP_PREPARSED_DATA pp);
NTSTATUS simdev_HidP_GetCaps(PHIDP_PREPARSED_DATA pp, PHIDP_CAPS caps);

// Files: device paths (\\?\...) reach the simulated devices, every other path
// and handle the system.
HANDLE simdev_CreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                          DWORD flags, HANDLE templ);
BOOL simdev_WriteFile(HANDLE h, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED ov);
BOOL simdev_CloseHandle(HANDLE h);
BOOL simdev_CancelIo(HANDLE h);
BOOL simdev_GetOverlappedResult(HANDLE h, LPOVERLAPPED ov, LPDWORD moved, BOOL wait);

// Files of the program's folder (files.cpp): a full volume, and the volume
// leaving, as the scenario has them. The device calls above hand every other
// path and handle here.
HANDLE simdev_file_open(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                        DWORD flags, HANDLE templ);
bool simdev_file_write_fails(HANDLE h, DWORD size, LPDWORD written);  // true: failed, last error set
void simdev_file_closed(HANDLE h);
BOOL simdev_ReadFile(HANDLE h, LPVOID data, DWORD size, LPDWORD read, LPOVERLAPPED ov);
FILE* simdev_fopen(const char* path, const char* mode);

// Raw Input
BOOL simdev_RegisterRawInputDevices(PCRAWINPUTDEVICE devices, UINT count, UINT size);
UINT simdev_GetRawInputData(HRAWINPUT raw, UINT command, LPVOID data, PUINT size, UINT header_size);
UINT simdev_GetRawInputDeviceInfoA(HANDLE device, UINT command, LPVOID data, PUINT size);

// Device notifications
HDEVNOTIFY simdev_RegisterDeviceNotificationA(HANDLE recipient, LPVOID filter, DWORD flags);
BOOL simdev_UnregisterDeviceNotification(HDEVNOTIFY handle);

// WinUSB
BOOL simdev_WinUsb_Initialize(HANDLE file, PWINUSB_INTERFACE_HANDLE iface);
BOOL simdev_WinUsb_Free(WINUSB_INTERFACE_HANDLE iface);
BOOL simdev_WinUsb_GetDescriptor(WINUSB_INTERFACE_HANDLE iface, UCHAR type, UCHAR index, USHORT lang,
                                 PUCHAR buffer, ULONG length, PULONG transferred);
BOOL simdev_WinUsb_ControlTransfer(WINUSB_INTERFACE_HANDLE iface, WINUSB_SETUP_PACKET setup, PUCHAR buffer,
                                   ULONG length, PULONG transferred, LPOVERLAPPED ov);

// Power: the system keeps each thread's execution state; the bus notes it,
// so that the simulated system's own sleep knows whether it is kept awake.
EXECUTION_STATE simdev_SetThreadExecutionState(EXECUTION_STATE flags);

namespace simwin {
// The program's folder (with its closing backslash) stands for its volume;
// `result_log` is the result log's full path; `volume_full`: writes to it
// fail with ERROR_DISK_FULL.
void files_setup(const std::string& program_dir, const std::string& result_log, bool volume_full);
// From now on files of the program's volume fail to open with
// ERROR_PATH_NOT_FOUND, and reads and writes through handles open on them
// with ERROR_DEVICE_NOT_CONNECTED.
void files_remove_program_volume();
}  // namespace simwin

// The tool's entry point, renamed by redirect.h: the simulated world's
// WinMain (sim/windows/world.cpp) sets up the devices and calls it.
int WINAPI simdev_tool_main(HINSTANCE inst, HINSTANCE prev, LPSTR cmdline, int show);
