// Lookups in hostile INI text: the thirteen configuration keys, the
// messages, single lookups into buffers of odd sizes, and parse_hex.
//
// Input: byte 0 picks the buffer size of the single lookups (-2 to 253),
// byte 1 the message language; the rest is the INI text, placed behind a
// small program as a package would be. The INI text ends at its marker line,
// or with the file.
#include "fuzz_world.h"

#include "package/ini.h"
#include "package/messages.h"
#include "package/package.h"

#include <cstring>
#include <vector>

namespace {

// A program whose only section ends at 0x200, the package start.
std::vector<uint8_t> g_head;

void make_head()
{
    g_head.assign(0x200, 0);
    g_head[0] = 'M';
    g_head[1] = 'Z';
    g_head[0x3C] = 0x40;
    memcpy(&g_head[0x40], "PE\0\0", 4);
    g_head[0x40 + 6] = 1;            // one section
    g_head[0x40 + 264 + 16] = 0x00;  // SizeOfRawData 0x100
    g_head[0x40 + 264 + 17] = 0x01;
    g_head[0x40 + 264 + 20] = 0x00;  // PointerToRawData 0x100
    g_head[0x40 + 264 + 21] = 0x01;
}

// One lookup into a buffer of exactly `size` bytes: whatever it writes must
// stay inside them and end with a NUL.
void lookup(const char* section, const char* key, const char* def, int size)
{
    char* buf = size > 0 ? (char*)malloc((size_t)size) : nullptr;
    if (buf)
        memset(buf, 0x7F, (size_t)size);
    ini_get_string(section, key, def, buf ? buf : (char*)"", size);
    if (buf) {
        FUZZ_CHECK(memchr(buf, 0, (size_t)size) != nullptr);
        parse_hex(buf);
    }
    free(buf);
}

const char* const kKeys[][2] = {
    {"MAIN", "INI_VER_NXP"},
    {"main", "ini_ver_bt"},
    {"DFU", "INI_DFU_GUID"},
    {"LANG00", "S01"},
    {"LANG__", "S__"},
    {"", "S__"},
    {"MAIN", ""},
    {"[MAIN]", "="},
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzworld::setup();
    make_head();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    int buffer_size = (int)data[0] - 2;
    g_lang = data[1] < 40 ? data[1] : LANG_NONE;
    g_lang_fallback = data[1] % 5;
    data += 2;
    size -= 2;

    static std::vector<uint8_t> file;
    file = g_head;
    file.insert(file.end(), data, data + size);
    fuzzworld::use_program(file.data(), file.size());

    // Where load_package would put the bounds of the INI text.
    GetModuleFileNameA(NULL, g_exe_path, sizeof g_exe_path);
    g_package_start = (uint32_t)g_head.size();
    g_ini_end = (uint32_t)file.size();
    MarkerScan scan;
    marker_scan_reset(&scan);
    for (size_t i = 0; i < size; i++)
        if (marker_scan_byte(&scan, data[i])) {
            g_ini_end = g_package_start + (uint32_t)i + 1;
            break;
        }

    ini_read_config();
    FUZZ_CHECK(strnlen(INI_VER_NXP, sizeof INI_VER_NXP) < sizeof INI_VER_NXP);
    FUZZ_CHECK(strnlen(INI_DATE_CODE, sizeof INI_DATE_CODE) < sizeof INI_DATE_CODE);

    for (const auto& k : kKeys)
        lookup(k[0], k[1], "default", buffer_size);
    lookup("MAIN", "INI_VER_BT", nullptr, buffer_size);

    char text[256];
    WCHAR wide[256];
    for (unsigned n : {3u, 9u, 16u, 17u}) {
        load_message(n, text, wide);
        FUZZ_CHECK(memchr(text, 0, sizeof text) != nullptr);
    }

    // parse_hex over the raw text, up to its first NUL.
    std::vector<char> z(data, data + size);
    z.push_back('\0');
    parse_hex(z.data());
    return 0;
}
