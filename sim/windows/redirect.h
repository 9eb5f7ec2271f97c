// Forced into every product source of tessel-updater-sim.exe by its build
// (-include), ahead of the gateway: the tool's device calls (and
// SetThreadExecutionState, which the simulated system's sleep asks after) go
// to the Windows-side simulated bus (sim/windows/device_calls.cpp), its file
// calls on its own folder through the scenario's file faults
// (sim/windows/files.cpp), everything else to Windows. The tool's sources stay as they are.
#pragma once

// The platform headers the gateway includes come first, so that the names
// below rename only the tool's calls, never the SDK's declarations.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <commctrl.h>
#include <dbt.h>
#include <mmsystem.h>
#include <setupapi.h>
#include <shellapi.h>
#include <winusb.h>
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}
#include <cstdio>

#include "sim/windows/device_calls.h"

#define SetupDiGetClassDevsA simdev_SetupDiGetClassDevsA
#define SetupDiEnumDeviceInterfaces simdev_SetupDiEnumDeviceInterfaces
#define SetupDiGetDeviceInterfaceDetailA simdev_SetupDiGetDeviceInterfaceDetailA
#define SetupDiDestroyDeviceInfoList simdev_SetupDiDestroyDeviceInfoList
#define HidD_GetHidGuid simdev_HidD_GetHidGuid
#define HidD_GetAttributes simdev_HidD_GetAttributes
#define HidD_GetPreparsedData simdev_HidD_GetPreparsedData
#define HidD_FreePreparsedData simdev_HidD_FreePreparsedData
#define HidP_GetCaps simdev_HidP_GetCaps
#define CreateFileA simdev_CreateFileA
#define WriteFile simdev_WriteFile
#define ReadFile simdev_ReadFile
#define fopen simdev_fopen
#define CloseHandle simdev_CloseHandle
#define CancelIo simdev_CancelIo
#define GetOverlappedResult simdev_GetOverlappedResult
#define RegisterRawInputDevices simdev_RegisterRawInputDevices
#define GetRawInputData simdev_GetRawInputData
#define GetRawInputDeviceInfoA simdev_GetRawInputDeviceInfoA
#define RegisterDeviceNotificationA simdev_RegisterDeviceNotificationA
#define UnregisterDeviceNotification simdev_UnregisterDeviceNotification
#define WinUsb_Initialize simdev_WinUsb_Initialize
#define WinUsb_Free simdev_WinUsb_Free
#define WinUsb_GetDescriptor simdev_WinUsb_GetDescriptor
#define WinUsb_ControlTransfer simdev_WinUsb_ControlTransfer
#define SetThreadExecutionState simdev_SetThreadExecutionState
#define WinMain simdev_tool_main
