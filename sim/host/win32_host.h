// Host stand-in for the Win32 subset that tessel-updater calls.
//
// Names, types, constants and structure layouts follow the platform where the
// product depends on them (64-bit Windows: LONG and DWORD are 32 bits, pointers
// and WPARAM/LPARAM 64 bits, WCHAR 16 bits). The calls are implemented by the
// simulated world in sim/host/*.cpp; each section names its file
// (docs/standin-map.md has the whole map).
//
// The declarations are kept by family in the headers below; each section
// names the file of sim/host that implements it.
#pragma once

#include "host/win32_host_base.h"
#include "host/win32_host_kernel.h"
#include "host/win32_host_user.h"
#include "host/win32_host_devices.h"

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
