// The INI text's grammar and the configuration it carries, on plain bytes:
// no file and no Windows call inside. The tool looks values up in its
// program file (ini.h); tessel-pack in the bytes it read.
#pragma once

#include <cstddef>
#include <cstdint>

#define INI_LINE_SIZE 512

// Gives the next piece of the INI text into `line` (INI_LINE_SIZE bytes) as
// the C runtime's fgets reads it; false at the text's end.
typedef bool (*IniNextLine)(void* source, char* line);
// Searches the section (when named) and then the key; true with the value in
// the buffer when found.
bool ini_find_value(IniNextLine next, void* source, const char* section, const char* key, char* buf,
                    int size);
// The default value, cut to size-1 bytes and terminated.
void ini_copy_default(const char* def, char* buf, int size);
// A lookup's arguments as both lookups take them: false when there is no
// buffer to fill; a missing section reads as "" and a missing default as "".
bool ini_lookup_arguments(const char** section, const char* key, const char** def, char* buf, int size);

// The INI text in the bytes of a program file: read from `start` on; a piece
// that begins at `bound` or behind it is not read (0: no bound). The tool
// reads its file so with the package's start and INI end.
struct IniText {
    const uint8_t* file;
    size_t size;
    uint32_t start;
    uint32_t bound;
};
// Looks `key` up in `section` as the tool does in its program file.
void ini_text_get_string(const IniText* text, const char* section, const char* key, const char* def,
                         char* buf, int size);

// Hexadecimal digits to a number; blanks (0x20) are skipped, anything else ends it.
uint64_t parse_hex(const char* text);

// The thirteen configuration keys as converted, named after their keys.
struct IniGuid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
};
struct IniConfig {
    char string_date_code[256];
    char ini_date_code[128];
    char ver_nxp[32];
    char ver_bt[32];
    uint32_t ver_bt_value;  // INI_VER_BT read as hexadecimal
    uint8_t allow_downgrade;
    IniGuid dfu_guid;
    uint16_t dfu_vid1;
    uint16_t dfu_pid1;
    uint16_t dfu_vid2;
    uint16_t dfu_pid2;
    uint8_t dfu_interface;
    uint16_t dfu_detach_delay;
    uint16_t dfu_transfer_size;
};
// A lookup of one value (ini_get_string's arguments).
typedef void (*IniLookup)(void* context, const char* section, const char* key, const char* def, char* buf,
                          int size);
// Reads the thirteen keys in their fixed order, each with its default.
void ini_config_read(IniLookup lookup, void* context, IniConfig* config);
// The same from the bytes of a program file.
void ini_text_config(const IniText* text, IniConfig* config);
