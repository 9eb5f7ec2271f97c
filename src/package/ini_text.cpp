// The INI text's grammar and the thirteen configuration keys, on any source
// of lines: the tool's program file (ini.cpp) or bytes in memory.
#include "package/ini_text.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#define INI_SCRATCH_SIZE 256
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

bool ini_find_value(IniNextLine next, void* source, const char* section, const char* key, char* buf, int size)
{
    char line[INI_LINE_SIZE];
    size_t section_len = strlen(section);
    if (section_len != 0) {
        for (;;) {
            if (!next(source, line))
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
        if (!next(source, line))
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

void ini_copy_default(const char* def, char* buf, int size)
{
    ini_copy_value(def, strlen(def), false, buf, size);
}

bool ini_lookup_arguments(const char** section, const char* key, const char** def, char* buf, int size)
{
    if (size <= 0 || !key || !buf)
        return false;
    if (!*section)
        *section = "";
    if (!*def)
        *def = "";
    return true;
}

// Reading through an IniText: where the next piece begins.
struct IniTextReader {
    const IniText* text;
    size_t pos;
};

// A piece of the text in memory, as fgets would read it from the file.
static bool ini_text_line(void* source, char* line)
{
    IniTextReader* reader = (IniTextReader*)source;
    const IniText* text = reader->text;
    size_t pos = reader->pos;
    if ((text->bound != 0 && pos >= text->bound) || pos >= text->size)
        return false;
    size_t n = 0;
    while (n < INI_LINE_SIZE - 1 && pos < text->size) {
        char c = (char)text->file[pos++];
        line[n++] = c;
        if (c == '\n')
            break;
    }
    line[n] = '\0';
    reader->pos = pos;
    return true;
}

void ini_text_get_string(const IniText* text, const char* section, const char* key, const char* def,
                         char* buf, int size)
{
    if (!ini_lookup_arguments(&section, key, &def, buf, size))
        return;
    // A start that cannot be reached gives no INI text at all.
    if (text->file && text->start <= 0x7FFFFFFFu) {
        IniTextReader reader = {text, text->start};
        if (ini_find_value(ini_text_line, &reader, section, key, buf, size))
            return;
    }
    ini_copy_default(def, buf, size);
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
static void read_guid(const char* text, IniGuid* guid)
{
    static const IniGuid kDefault = {
        0xa01674b4, 0xc5f6, 0x485c, {0xaf, 0x94, 0x32, 0x71, 0x70, 0x1d, 0x57, 0xb4}};
    unsigned int f[11];
    f[0] = kDefault.data1;
    f[1] = kDefault.data2;
    f[2] = kDefault.data3;
    for (int i = 0; i < 8; i++)
        f[3 + i] = kDefault.data4[i];
    sscanf(text, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", &f[0], &f[1], &f[2], &f[3], &f[4], &f[5],
           &f[6], &f[7], &f[8], &f[9], &f[10]);
    guid->data1 = (uint32_t)f[0];
    guid->data2 = (uint16_t)f[1];
    guid->data3 = (uint16_t)f[2];
    for (int i = 0; i < 8; i++)
        guid->data4[i] = (uint8_t)f[3 + i];
}

void ini_config_read(IniLookup lookup, void* context, IniConfig* c)
{
    char scratch[INI_SCRATCH_SIZE];
    lookup(context, "MAIN", "STRING_DATE_CODE", "Date code = ", c->string_date_code,
           sizeof c->string_date_code);
    lookup(context, "MAIN", "INI_DATE_CODE", "XXXXXX_V1", c->ini_date_code, sizeof c->ini_date_code);
    lookup(context, "MAIN", "INI_VER_NXP", "0000", c->ver_nxp, sizeof c->ver_nxp);
    lookup(context, "MAIN", "INI_VER_BT", "0000", c->ver_bt, sizeof c->ver_bt);
    c->ver_bt_value = (uint32_t)parse_hex(c->ver_bt);

    lookup(context, "MAIN", "INI_ALLOW_DOWNGRADE", "1", scratch, sizeof scratch);
    c->allow_downgrade = (uint8_t)parse_hex(scratch);

    lookup(context, "DFU", "INI_DFU_GUID", DEFAULT_DFU_GUID_TEXT, scratch, sizeof scratch);
    read_guid(scratch, &c->dfu_guid);

    lookup(context, "DFU", "INI_DFU_VID1", "1FC9", scratch, sizeof scratch);
    c->dfu_vid1 = (uint16_t)parse_hex(scratch);
    lookup(context, "DFU", "INI_DFU_PID1", "5002", scratch, sizeof scratch);
    c->dfu_pid1 = (uint16_t)parse_hex(scratch);
    lookup(context, "DFU", "INI_DFU_VID2", "1FC9", scratch, sizeof scratch);
    c->dfu_vid2 = (uint16_t)parse_hex(scratch);
    lookup(context, "DFU", "INI_DFU_PID2", "000C", scratch, sizeof scratch);
    c->dfu_pid2 = (uint16_t)parse_hex(scratch);

    lookup(context, "DFU", "INI_DFU_INTERFACE", "0", scratch, sizeof scratch);
    c->dfu_interface = (uint8_t)decimal_value(scratch);
    lookup(context, "DFU", "INI_DFU_DETACH_DELAY", "0", scratch, sizeof scratch);
    c->dfu_detach_delay = (uint16_t)decimal_value(scratch);
    lookup(context, "DFU", "INI_DFU_TRANSFER_SIZE", "64", scratch, sizeof scratch);
    c->dfu_transfer_size = (uint16_t)decimal_value(scratch);
}

static void lookup_in_text(void* context, const char* section, const char* key, const char* def, char* buf,
                           int size)
{
    ini_text_get_string((const IniText*)context, section, key, def, buf, size);
}

void ini_text_config(const IniText* text, IniConfig* config)
{
    ini_config_read(lookup_in_text, (void*)text, config);
}
