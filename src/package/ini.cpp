// Lookups in the package's INI text and the thirteen configuration keys.
//
// Every lookup opens the program file anew, scans the INI text from its first
// line and closes the file: nothing is cached, so the UI thread and the
// worker may look values up at the same time into buffers of their own.
#include "package/ini.h"

#include "package/package.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#define INI_LINE_SIZE 512
#define INI_SCRATCH_SIZE 256

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

#define DEFAULT_DFU_GUID_TEXT "a01674b4-c5f6-485c-af94-3271701d57b4"

static bool is_blank(char c)
{
    return (unsigned char)c >= 0x01 && (unsigned char)c <= 0x20;
}

static char* skip_blanks(char* p)
{
    while (is_blank(*p))
        p++;
    return p;
}

static char ascii_upper(char c)
{
    return (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
}

// Equal in `len` bytes, ASCII letters without regard to case.
static bool same_name(const char* a, const char* b, size_t len)
{
    for (size_t i = 0; i < len; i++)
        if (ascii_upper(a[i]) != ascii_upper(b[i]))
            return false;
    return true;
}

// Next line piece of the INI text, or false at its end. The INI text ends
// at g_ini_end (just behind the marker line); nothing from there on is read
// as configuration.
static bool ini_read_line(FILE* f, char* line)
{
    if (g_ini_end != 0) {
        long pos = ftell(f);
        if (pos < 0 || (unsigned long)pos >= g_ini_end)
            return false;
    }
    return fgets(line, INI_LINE_SIZE, f) != nullptr;
}

// Bounded copy of `len` bytes of `value`; with `unescape`, a double quote or a
// backslash that stands before a double quote is dropped.
static void ini_copy_value(const char* value, size_t len, bool unescape, char* buf, int size)
{
    size_t limit = size_t(size) - 1;
    size_t out = 0;
    for (size_t i = 0; i < len && out < limit; i++) {
        if (unescape && (value[i] == '"' || value[i] == '\\') && i + 1 < len && value[i + 1] == '"')
            i++;
        buf[out++] = value[i];
    }
    buf[out] = '\0';
}

// Cuts the value at a comment outside quotes, removes trailing blanks and
// enclosing double quotes, and copies it into the buffer.
static void ini_clean_value(char* value, char* buf, int size)
{
    bool quoted = false;
    char* p = value;
    while (*p) {
        if (!quoted && (*p == ';' || *p == '#')) {
            *p = '\0';
            break;
        }
        if ((*p == '"' || *p == '\\') && p[1] == '"') {
            p += 2;
            continue;
        }
        if (*p == '"')
            quoted = !quoted;
        p++;
    }
    size_t len = strlen(value);
    while (len > 0 && is_blank(value[len - 1]))
        value[--len] = '\0';
    if (len > 0 && value[0] == '"' && value[len - 1] == '"') {
        size_t inner = len >= 2 ? len - 2 : 0;
        ini_copy_value(value + 1, inner, true, buf, size);
    } else {
        ini_copy_value(value, len, false, buf, size);
    }
}

// Searches the section (when named) and then the key; true with the value in
// the buffer when found.
static bool ini_find_value(FILE* f, const char* section, const char* key, char* buf, int size)
{
    char line[INI_LINE_SIZE];
    size_t section_len = strlen(section);
    if (section_len != 0) {
        for (;;) {
            if (!ini_read_line(f, line))
                return false;
            char* p = skip_blanks(line);
            if (*p != '[')
                continue;
            char* close = strchr(p, ']');
            if (!close)
                continue;
            if (size_t(close - (p + 1)) == section_len && same_name(p + 1, section, section_len))
                break;
        }
    }
    size_t key_len = strlen(key);
    for (;;) {
        if (!ini_read_line(f, line))
            return false;
        char* p = skip_blanks(line);
        if (*p == '[')
            return false;
        if (*p == ';' || *p == '#')
            continue;
        char* sep = strchr(line, '=');
        if (!sep)
            sep = strchr(line, ':');
        if (!sep)
            continue;
        char* end = sep;
        while (end > p && is_blank(end[-1]))
            end--;
        if (size_t(end - p) != key_len || !same_name(p, key, key_len))
            continue;
        ini_clean_value(skip_blanks(sep + 1), buf, size);
        return true;
    }
}

void ini_get_string(const char* section, const char* key, const char* def, char* buf, int size)
{
    if (size <= 0 || !key || !buf)
        return;
    if (!section)
        section = "";
    if (!def)
        def = "";
    FILE* f = fopen(g_exe_path, "rb");
    if (f) {
        bool found = false;
        // A package start that cannot be reached gives no INI text at all.
        if (g_package_start <= 0x7FFFFFFFu && fseek(f, (long)g_package_start, SEEK_SET) == 0)
            found = ini_find_value(f, section, key, buf, size);
        fclose(f);
        if (found)
            return;
    }
    ini_copy_value(def, strlen(def), false, buf, size);
}

uint64_t parse_hex(const char* text)
{
    uint64_t value = 0;
    for (const char* p = text; p && *p; p++) {
        char c = *p;
        if (c == ' ')
            continue;
        if (c >= '0' && c <= '9')
            value = value * 16 + uint64_t(c - '0');
        else if (c >= 'a' && c <= 'f')
            value = value * 16 + uint64_t(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            value = value * 16 + uint64_t(c - 'A' + 10);
        else
            break;
    }
    return value;
}

// The runtime's decimal conversion as a 32-bit long gives it: leading white
// space and a sign, digits up to the first other byte, clamped on overflow.
static int32_t decimal_value(const char* text)
{
    long long v = strtoll(text, nullptr, 10);
    if (v > INT32_MAX)
        return INT32_MAX;
    if (v < INT32_MIN)
        return INT32_MIN;
    return (int32_t)v;
}

// Reads the DFU interface class GUID; fields the text does not reach keep
// the default's values.
static void read_guid(const char* text)
{
    static const GUID kDefault = {
        0xa01674b4, 0xc5f6, 0x485c, {0xaf, 0x94, 0x32, 0x71, 0x70, 0x1d, 0x57, 0xb4}};
    unsigned int f[11];
    f[0] = kDefault.Data1;
    f[1] = kDefault.Data2;
    f[2] = kDefault.Data3;
    for (int i = 0; i < 8; i++)
        f[3 + i] = kDefault.Data4[i];
    sscanf(text, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", &f[0], &f[1], &f[2], &f[3], &f[4], &f[5],
           &f[6], &f[7], &f[8], &f[9], &f[10]);
    INI_DFU_GUID.Data1 = (uint32_t)f[0];
    INI_DFU_GUID.Data2 = (uint16_t)f[1];
    INI_DFU_GUID.Data3 = (uint16_t)f[2];
    for (int i = 0; i < 8; i++)
        INI_DFU_GUID.Data4[i] = (uint8_t)f[3 + i];
}

void ini_read_config()
{
    char scratch[INI_SCRATCH_SIZE];
    ini_get_string("MAIN", "STRING_DATE_CODE", "Date code = ", STRING_DATE_CODE, sizeof STRING_DATE_CODE);
    ini_get_string("MAIN", "INI_DATE_CODE", "XXXXXX_V1", INI_DATE_CODE, sizeof INI_DATE_CODE);
    ini_get_string("MAIN", "INI_VER_NXP", "0000", INI_VER_NXP, sizeof INI_VER_NXP);
    ini_get_string("MAIN", "INI_VER_BT", "0000", INI_VER_BT, sizeof INI_VER_BT);
    INI_VER_BT_VALUE = (uint32_t)parse_hex(INI_VER_BT);

    ini_get_string("MAIN", "INI_ALLOW_DOWNGRADE", "1", scratch, sizeof scratch);
    INI_ALLOW_DOWNGRADE = (uint8_t)parse_hex(scratch);

    ini_get_string("DFU", "INI_DFU_GUID", DEFAULT_DFU_GUID_TEXT, scratch, sizeof scratch);
    read_guid(scratch);

    ini_get_string("DFU", "INI_DFU_VID1", "1FC9", scratch, sizeof scratch);
    INI_DFU_VID1 = (uint16_t)parse_hex(scratch);
    ini_get_string("DFU", "INI_DFU_PID1", "5002", scratch, sizeof scratch);
    INI_DFU_PID1 = (uint16_t)parse_hex(scratch);
    ini_get_string("DFU", "INI_DFU_VID2", "1FC9", scratch, sizeof scratch);
    INI_DFU_VID2 = (uint16_t)parse_hex(scratch);
    ini_get_string("DFU", "INI_DFU_PID2", "000C", scratch, sizeof scratch);
    INI_DFU_PID2 = (uint16_t)parse_hex(scratch);

    ini_get_string("DFU", "INI_DFU_INTERFACE", "0", scratch, sizeof scratch);
    INI_DFU_INTERFACE = (uint8_t)decimal_value(scratch);
    ini_get_string("DFU", "INI_DFU_DETACH_DELAY", "0", scratch, sizeof scratch);
    INI_DFU_DETACH_DELAY = (uint16_t)decimal_value(scratch);
    ini_get_string("DFU", "INI_DFU_TRANSFER_SIZE", "64", scratch, sizeof scratch);
    INI_DFU_TRANSFER_SIZE = (uint16_t)decimal_value(scratch);
}
