// The platform's types, constants and structures as the bus sees them: the
// real SDK headers on Windows, the host stand-in's declarations elsewhere.
// The only header of sim/bus that looks outside it.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <dbt.h>
#include <setupapi.h>
#include <winusb.h>
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}
#else
#include "host/win32_host.h"
#endif
