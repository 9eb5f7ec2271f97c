// The package code against independent tools: where pefile says a program's
// last section ends, and DFU suffixes whose CRC another implementation of
// CRC-32 (Python's zlib) computed.
#include "outside_tools.h"
#include "common/temp_folder.h"
#include "package/package_parse.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using interop::capture;
using pkgtest::Bytes;

const char* const kWineDir = "/usr/lib/x86_64-linux-gnu/wine/x86_64-windows/";

// The Python that has the system's packages (pefile) installed.
std::string python()
{
    return pkgtest::file_exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
}

// pefile's view: the end of the raw data of the section with the highest
// PointerToRawData (the first of equals; sections without raw data skipped).
long long pefile_package_start(const std::string& file)
{
    const char* script =
        "import sys, pefile\n"
        "pe = pefile.PE(sys.argv[1], fast_load=True)\n"
        "best = None\n"
        "for s in pe.sections:\n"
        "    if s.PointerToRawData and (best is None or s.PointerToRawData > best.PointerToRawData):\n"
        "        best = s\n"
        "print((best.PointerToRawData + best.SizeOfRawData) & 0xFFFFFFFF if best else 0)\n";
    int status = 0;
    std::string out = capture(python() + " -c '" + script + "' '" + file + "' 2>&1", &status);
    if (status != 0) {
        ADD_FAILURE() << "pefile failed on " << file << ": " << out;
        return -1;
    }
    return atoll(out.c_str());
}

void expect_agrees_with_pefile(const std::string& file)
{
    SCOPED_TRACE(file);
    long long expected = pefile_package_start(file);
    ASSERT_GT(expected, 0);
    Bytes bytes = pkgtest::read_bytes(file);
    ASSERT_FALSE(bytes.empty());

    PackageParts parts;
    parse_package(bytes.data(), bytes.size(), &parts);
    EXPECT_EQ(parts.start, uint32_t(expected));
    EXPECT_EQ(parts.file_size, bytes.size());
    // The byte-level walk on the whole header region says the same.
    uint32_t headers = pe_header_size(bytes.data(), bytes.size());
    ASSERT_GT(headers, 0u);
    EXPECT_EQ(pe_package_start(bytes.data(), std::min<size_t>(bytes.size(), std::max<size_t>(headers, 4096))),
              uint32_t(expected));
}

TEST(PefileInterop, WindowsBuildOfTheTool)
{
    std::string bare = TESSEL_SOURCE_DIR "/build/windows/tessel-updater-bare.exe";
    if (!pkgtest::file_exists(bare))
        GTEST_SKIP() << "the Windows build is not there yet: " << bare;
    expect_agrees_with_pefile(bare);
    // A bare program carries nothing behind its last section.
    Bytes bare_bytes = pkgtest::read_bytes(bare);
    PackageParts parts;
    EXPECT_EQ(parse_package(bare_bytes.data(), bare_bytes.size(), &parts), PACKAGE_ABSENT);

    std::string packaged = TESSEL_SOURCE_DIR "/build/windows/tessel-updater.exe";
    if (pkgtest::file_exists(packaged)) {
        expect_agrees_with_pefile(packaged);
        Bytes b = pkgtest::read_bytes(packaged);
        EXPECT_EQ(parse_package(b.data(), b.size(), &parts), PACKAGE_LOADED);
        EXPECT_EQ(parts.start, bare_bytes.size());
        EXPECT_EQ(parts.bt_len, 32768u);
        EXPECT_EQ(parts.usb_length, 40960u);
    }
}

TEST(PefileInterop, WinesOwnPrograms)
{
    const char* names[] = {"notepad.exe", "winhlp32.exe", "regedit.exe",  "cmd.exe",    "kernel32.dll",
                           "user32.dll",  "comctl32.dll", "setupapi.dll", "winusb.dll", "hid.dll"};
    int checked = 0;
    for (const char* name : names) {
        std::string file = std::string(kWineDir) + name;
        if (!pkgtest::file_exists(file))
            continue;
        expect_agrees_with_pefile(file);
        checked++;
    }
    EXPECT_GE(checked, 3) << "too few of Wine's PE32+ files found in " << kWineDir;
}

TEST(PefileInterop, SampleStubAndPackagedSample)
{
    std::string bare = TESSEL_SAMPLE_DIR "/bare.exe";
    std::string packaged = TESSEL_SAMPLE_DIR "/tessel-updater.exe";
    ASSERT_TRUE(pkgtest::file_exists(bare) && pkgtest::file_exists(packaged)) << "build the sample first";
    expect_agrees_with_pefile(bare);
    expect_agrees_with_pefile(packaged);
    int status = 0;
    std::string overlay = capture(
        python() +
            " -c 'import sys,pefile; print(pefile.PE(sys.argv[1]).get_overlay_data_start_offset())' '" +
            packaged + "' 2>&1",
        &status);
    EXPECT_EQ(status, 0) << overlay;
    EXPECT_EQ(atoll(overlay.c_str()), 0x600) << "pefile sees the package as the overlay";
}

class DfuSuffixInterop : public ::testing::Test {
protected:
    testing_support::TempFolder folder{"tessel-dfu"};
    std::string path = folder / "image.dfu";

    uint32_t suffix_length_of(const Bytes& b) { return dfu_suffix_length(b.data(), int32_t(b.size())); }
};

Bytes firmware(size_t n)
{
    Bytes b(n);
    uint32_t s = 0x1234;
    for (auto& x : b) {
        s = s * 1103515245u + 12345u;
        x = uint8_t(s >> 16);
    }
    return b;
}

// The suffix as Python's zlib writes it: the CRC-32 of the image and the
// suffix's first 12 bytes, without its final inversion, little-endian.
TEST_F(DfuSuffixInterop, SuffixWrittenWithAnotherCrcIsAcceptedAndAnyCorruptionRefused)
{
    Bytes body = firmware(40960 - 16);
    pkgtest::write_bytes(path, body);
    const char* script =
        "import sys, struct, zlib\n"
        "p = sys.argv[1]\n"
        "b = open(p, 'rb').read() + struct.pack('<HHHH3sB', 0x0353, 0x000C, 0x1FC9, 0x0100, b'UFD', 16)\n"
        "open(p, 'wb').write(b + struct.pack('<I', zlib.crc32(b) ^ 0xFFFFFFFF))\n";
    int status = 0;
    std::string out = capture(python() + " -c \"" + script + "\" '" + path + "' 2>&1", &status);
    ASSERT_EQ(status, 0) << out;
    Bytes suffixed = pkgtest::read_bytes(path);
    ASSERT_EQ(suffixed.size(), body.size() + 16);
    EXPECT_EQ(suffix_length_of(suffixed), 16u);

    // One corrupted byte anywhere, in the image or in the suffix, and the
    // suffix no longer counts: the whole file is downloaded.
    for (size_t at : {size_t(0), body.size() / 2, body.size() - 1, body.size() + 2, body.size() + 12,
                      suffixed.size() - 1}) {
        Bytes bad = suffixed;
        bad[at] ^= 0x20;
        EXPECT_EQ(suffix_length_of(bad), 0u) << "byte " << at;
    }
}

}  // namespace
