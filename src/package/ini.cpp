// Lookups in the package's INI text and the thirteen configuration keys.
//
// Every lookup opens the program file anew, scans the INI text from its first
// line and closes the file: nothing is cached, so the UI thread and the
// worker may look values up at the same time into buffers of their own. The
// grammar is ini_text.cpp's.
#include "package/ini.h"

#include "package/package.h"

#include <cstdio>
#include <cstring>

char STRING_DATE_CODE[256];
char INI_DATE_CODE[128];
char INI_VER_NXP[32];
char INI_VER_BT[32];
uint32_t INI_VER_BT_VALUE = 0;
uint8_t INI_ALLOW_DOWNGRADE = 1;
GUID INI_DFU_GUID = {0xa01674b4, 0xc5f6, 0x485c, {0xaf, 0x94, 0x32, 0x71, 0x70, 0x1d, 0x57, 0xb4}};
uint16_t INI_DFU_VID1 = 0x1FC9;
uint16_t INI_DFU_PID1 = 0x5002;
uint16_t INI_DFU_VID2 = 0x1FC9;
uint16_t INI_DFU_PID2 = 0x000C;
uint8_t INI_DFU_INTERFACE = 0;
uint16_t INI_DFU_DETACH_DELAY = 0;
uint16_t INI_DFU_TRANSFER_SIZE = 64;

// Next line piece of the INI text, or false at its end. The INI text ends
// at g_ini_end (just behind the marker line); nothing from there on is read
// as configuration.
static bool ini_read_line(void* source, char* line)
{
    FILE* f = (FILE*)source;
    if (g_ini_end != 0) {
        long pos = ftell(f);
        if (pos < 0 || (unsigned long)pos >= g_ini_end)
            return false;
    }
    return fgets(line, INI_LINE_SIZE, f) != nullptr;
}

void ini_get_string(const char* section, const char* key, const char* def, char* buf, int size)
{
    if (!ini_lookup_arguments(&section, key, &def, buf, size))
        return;
    FILE* f = fopen(g_exe_path, "rb");
    if (f) {
        bool found = false;
        // A package start that cannot be reached gives no INI text at all.
        if (g_package_start <= 0x7FFFFFFFu && fseek(f, (long)g_package_start, SEEK_SET) == 0)
            found = ini_find_value(ini_read_line, f, section, key, buf, size);
        fclose(f);
        if (found)
            return;
    }
    ini_copy_default(def, buf, size);
}

static void lookup_in_file(void*, const char* section, const char* key, const char* def, char* buf, int size)
{
    ini_get_string(section, key, def, buf, size);
}

void ini_read_config()
{
    IniConfig c;
    ini_config_read(lookup_in_file, nullptr, &c);
    memcpy(STRING_DATE_CODE, c.string_date_code, sizeof STRING_DATE_CODE);
    memcpy(INI_DATE_CODE, c.ini_date_code, sizeof INI_DATE_CODE);
    memcpy(INI_VER_NXP, c.ver_nxp, sizeof INI_VER_NXP);
    memcpy(INI_VER_BT, c.ver_bt, sizeof INI_VER_BT);
    INI_VER_BT_VALUE = c.ver_bt_value;
    INI_ALLOW_DOWNGRADE = c.allow_downgrade;
    INI_DFU_GUID.Data1 = c.dfu_guid.data1;
    INI_DFU_GUID.Data2 = c.dfu_guid.data2;
    INI_DFU_GUID.Data3 = c.dfu_guid.data3;
    memcpy(INI_DFU_GUID.Data4, c.dfu_guid.data4, sizeof INI_DFU_GUID.Data4);
    INI_DFU_VID1 = c.dfu_vid1;
    INI_DFU_PID1 = c.dfu_pid1;
    INI_DFU_VID2 = c.dfu_vid2;
    INI_DFU_PID2 = c.dfu_pid2;
    INI_DFU_INTERFACE = c.dfu_interface;
    INI_DFU_DETACH_DELAY = c.dfu_detach_delay;
    INI_DFU_TRANSFER_SIZE = c.dfu_transfer_size;
}
