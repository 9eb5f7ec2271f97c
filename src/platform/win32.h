// The one gateway through which product code reaches Windows services.
//
// In a Windows build this is the platform SDK (MinGW-w64 headers). In a host
// build it is our own stand-in for the subset of Win32 the tool calls; the
// stand-in runs the product in a simulated world (see docs/scheduler.md).
// Builds of the tool with simulated devices add their redirection of the
// device calls themselves (a forced include); the gateway knows nothing of it.
#pragma once

#ifdef _WIN32
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
// Wide string literal in the platform's WCHAR type.
#define WTEXT(s) L##s
#include <atomic>
// Values the UI thread and the worker share: whole-value atomic loads and stores.
template <typename T>
using shared_atomic = std::atomic<T>;
#else
// The host build puts its stand-in for the SDK on the include path.
#include <win32_host.h>
#include <shared_atomic.h>
#endif

// Every device call goes through the support trace's recording (-trace=).
#include "platform/device_trace.h"
