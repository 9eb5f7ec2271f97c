// Shared helpers of the package tests: program files made byte by byte in a
// scratch folder, handed to the tool as its own program file.
#pragma once

#include "common/temp_folder.h"
#include "package/ini.h"
#include "package/messages.h"
#include "package/package.h"
#include "host/sim_core.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#undef fopen
#include <cstring>
#include <string>
#include <vector>

#include <unistd.h>

namespace pkgtest {

using Bytes = std::vector<uint8_t>;

struct Section {
    uint32_t raw_size;
    uint32_t raw_ptr;
};

inline void put16(Bytes& b, size_t at, uint32_t v)
{
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
}

inline void put32(Bytes& b, size_t at, uint32_t v)
{
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
}

// Headers of a PE32+ file: MZ, e_lfanew, signature, file header, 240-byte
// optional header and the given section table; `total` bytes long (at least
// the headers).
inline Bytes pe_headers(uint32_t lfanew, const std::vector<Section>& sections, size_t total = 0,
                        uint32_t section_count = UINT32_MAX)
{
    size_t end = size_t(lfanew) + 264 + sections.size() * 40;
    Bytes b(std::max(total, std::max<size_t>(end, 0x40)), 0);
    b[0] = 'M';
    b[1] = 'Z';
    put32(b, 0x3C, lfanew);
    memcpy(&b[lfanew], "PE\0\0", 4);
    put16(b, lfanew + 4, 0x8664);
    put16(b, lfanew + 6, section_count == UINT32_MAX ? uint32_t(sections.size()) : section_count);
    put16(b, lfanew + 20, 240);
    put16(b, lfanew + 24, 0x20B);
    for (size_t i = 0; i < sections.size(); i++) {
        size_t at = lfanew + 264 + i * 40;
        put32(b, at + 16, sections[i].raw_size);
        put32(b, at + 20, sections[i].raw_ptr);
    }
    return b;
}

// A small program image whose sections end at 0x600, the length of the image.
inline Bytes bare_program()
{
    Bytes b = pe_headers(0x40, {{0x200, 0x200}, {0x200, 0x400}}, 0x600);
    b[0x200] = 0xC3;
    return b;
}

inline Bytes text_bytes(const std::string& s)
{
    return Bytes(s.begin(), s.end());
}

inline Bytes pattern(size_t n, uint32_t seed)
{
    Bytes b(n);
    for (size_t i = 0; i < n; i++) {
        seed = seed * 1664525u + 1013904223u;
        b[i] = uint8_t(seed >> 24);
    }
    return b;
}

inline Bytes operator+(Bytes a, const Bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline void write_bytes(const std::string& path, const Bytes& b)
{
    FILE* f = ::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    if (!b.empty())
        fwrite(b.data(), 1, b.size(), f);
    fclose(f);
}

inline Bytes read_bytes(const std::string& path)
{
    Bytes b;
    FILE* f = ::fopen(path.c_str(), "rb");
    if (!f)
        return b;
    uint8_t chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        b.insert(b.end(), chunk, chunk + n);
    fclose(f);
    return b;
}

inline bool file_exists(const std::string& path)
{
    return access(path.c_str(), F_OK) == 0;
}

// The INI text of a package: lines joined with CR LF, the end marker last.
inline std::string ini_text(const std::vector<std::string>& lines, bool with_marker = true)
{
    std::string s;
    for (const std::string& l : lines)
        s += l + "\r\n";
    if (with_marker)
        s += "[LANG__]\r\nS__=END_OF_FILE\r\n";
    return s;
}

// Every test gets a scratch folder that stands for the program's directory
// and starts with the package state of a freshly started tool.
class PackageTest : public ::testing::Test {
protected:
    testing_support::TempFolder folder{"tessel-pkg-test"};
    std::string dir = folder.path();
    std::string program;

    void SetUp() override
    {
        program = dir + "/tessel-updater.exe";
        reset_state();
        use_program(program);
    }

    void TearDown() override { free_usb_image(); }

    static void reset_state()
    {
        free_usb_image();
        memset(g_exe_path, 0, sizeof g_exe_path);
        g_package_start = 0;
        g_ini_end = 0;
        memset(g_bt_image, 0xEE, sizeof g_bt_image);
        g_bt_image_len = 0xDEAD;
        g_bt_image_sum = 0xDEAD;
        g_lang = LANG_NONE;
        g_lang_fallback = 0;
    }

    void use_program(const std::string& host_file,
                     const std::string& windows_path = "C:\\Tessel\\tessel-updater.exe",
                     uint16_t langid = 1033, uint32_t lcid = 1033)
    {
        sim::WorldConfig cfg;
        cfg.program_path = windows_path;
        cfg.program_file = host_file;
        cfg.program_dir = dir;
        cfg.langid = langid;
        cfg.lcid = lcid;
        sim::configure(cfg);
    }

    void set_locale(uint16_t langid, uint32_t lcid)
    {
        sim::WorldConfig cfg = sim::config();
        cfg.langid = langid;
        cfg.lcid = lcid;
        sim::configure(cfg);
    }

    // Writes the program file: bare program, INI text, images.
    void write_program(const std::string& ini, const Bytes& bt = Bytes(BT_IMAGE_MAX, 0x11),
                       const Bytes& usb = Bytes(64, 0x22))
    {
        write_bytes(program, bare_program() + text_bytes(ini) + bt + usb);
    }

    // Writes and loads a package whose INI text holds `lines`.
    bool load_ini(const std::vector<std::string>& lines, bool with_marker = true)
    {
        write_program(ini_text(lines, with_marker));
        return load_package();
    }

    // The value as the tool looks it up in its program file; tessel-pack's
    // lookup in the file's bytes must find the same, byte for byte.
    std::string get(const char* section, const char* key, const char* def = "<default>", int size = 256)
    {
        std::vector<char> buf(size_t(size > 0 ? size : 1) + 16, '\x7F');
        ini_get_string(section, key, def, buf.data(), size);
        Bytes file = read_bytes(program);
        IniText text = {file.data(), file.size(), g_package_start, g_ini_end};
        std::vector<char> from_bytes(buf.size(), '\x7F');
        ini_text_get_string(&text, section, key, def, from_bytes.data(), size);
        EXPECT_EQ(from_bytes, buf) << "[" << section << "] " << key << ": the lookup in bytes differs";
        return std::string(buf.data(), strnlen(buf.data(), buf.size()));
    }
};

}  // namespace pkgtest
