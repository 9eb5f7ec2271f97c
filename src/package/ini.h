// The package's INI text: lookups, hexadecimal conversion, configuration values.
#pragma once

#include "platform/win32.h"

#include "package/ini_text.h"

#include <cstdint>

// Looks `key` up in `section` of the package's INI text; the buffer receives
// the value, else `def`, cut to size-1 bytes and terminated.
void ini_get_string(const char* section, const char* key, const char* def, char* buf, int size);
// Reads the thirteen configuration keys in their fixed order (during loading).
void ini_read_config();

// Configuration values, named after their keys.
extern char STRING_DATE_CODE[256];
extern char INI_DATE_CODE[128];
extern char INI_VER_NXP[32];
extern char INI_VER_BT[32];
extern uint32_t INI_VER_BT_VALUE;  // INI_VER_BT read as hexadecimal
extern uint8_t INI_ALLOW_DOWNGRADE;
extern GUID INI_DFU_GUID;
extern uint16_t INI_DFU_VID1;
extern uint16_t INI_DFU_PID1;
extern uint16_t INI_DFU_VID2;
extern uint16_t INI_DFU_PID2;
extern uint8_t INI_DFU_INTERFACE;
extern uint16_t INI_DFU_DETACH_DELAY;
extern uint16_t INI_DFU_TRANSFER_SIZE;
