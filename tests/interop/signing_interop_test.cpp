// A packaged program signed with osslsigncode (Authenticode), against the
// outside tools: osslsigncode verify accepts the signature, pefile finds the
// certificate table where our loader does, and the tool reads the same USB
// image from the signed program as from the unsigned one, DFU suffix included.
// The certificate is a throw-away one made with openssl for this run.
#include "outside_tools.h"
#include "common/temp_folder.h"
#include "package/package_parse.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace {

using pkgtest::Bytes;

// Output and error output together.
std::string capture(const std::string& cmd, int* status)
{
    return interop::capture(cmd + " 2>&1", status);
}

struct Usb {
    bool loaded;
    Bytes image;
    uint32_t suffix_length;
};

// The USB image as the tool finds it in `file`.
Usb load_usb(const std::string& file)
{
    Bytes b = pkgtest::read_bytes(file);
    PackageParts parts;
    Usb u;
    u.loaded = parse_package(b.data(), b.size(), &parts) == PACKAGE_LOADED;
    if (u.loaded)
        u.image.assign(parts.usb, parts.usb + parts.usb_length);
    u.suffix_length = parts.suffix_length;
    return u;
}

class Signing : public ::testing::Test {
protected:
    static std::unique_ptr<testing_support::TempFolder> folder;
    static std::string dir, unsigned_exe, signed_exe, cert;

    // The real Windows program where it was built, else the host's stand-in
    // program; packaged with the sample's INI and Bluetooth image and a USB
    // image that ends in a DFU suffix, then signed.
    static void SetUpTestSuite()
    {
        folder.reset(new testing_support::TempFolder("tessel-sign"));
        dir = folder->path();
        unsigned_exe = dir + "/unsigned.exe";
        signed_exe = dir + "/signed.exe";
        cert = dir + "/cert.pem";
        std::string bare = TESSEL_SOURCE_DIR "/build/windows/tessel-updater-bare.exe";
        if (!pkgtest::file_exists(bare))
            bare = TESSEL_SAMPLE_DIR "/bare.exe";
        // The sample image with a DFU suffix behind it: the image itself (and
        // its info block's CRC) stays as it is.
        Bytes usb = pkgtest::read_bytes(TESSEL_SAMPLE_DIR "/usb.bin");
        const uint8_t tail[12] = {0x53, 0x03, 0x02, 0x50, 0xC9, 0x1F, 0x00, 0x01, 'U', 'F', 'D', 16};
        usb.insert(usb.end(), tail, tail + 12);
        uint32_t crc = dfu_crc32(usb.data(), usb.size());
        for (int i = 0; i < 4; i++)
            usb.push_back(uint8_t(crc >> (8 * i)));
        pkgtest::write_bytes(dir + "/usb.bin", usb);

        int status = 0;
        std::string out =
            capture("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj '/CN=tessel test signing' "
                    "-addext extendedKeyUsage=codeSigning -keyout '" +
                        dir + "/key.pem' -out '" + cert + "'",
                    &status);
        if (status != 0) {
            setup_error = out;
            return;
        }
        out = capture(std::string(TESSEL_PACK) + " build --exe '" + bare +
                          "' --ini " TESSEL_SOURCE_DIR "/sample-package/package.ini --bt " TESSEL_SAMPLE_DIR
                          "/bt.bin --usb '" +
                          dir + "/usb.bin' -o '" + unsigned_exe + "'",
                      &status);
        if (status != 0) {
            setup_error = out;
            return;
        }
        out = capture(std::string(TESSEL_PACK) + " sign '" + unsigned_exe + "' --cert '" + cert +
                          "' --key '" + dir + "/key.pem' -o '" + signed_exe + "'",
                      &status);
        if (status != 0) {
            setup_error = out;
            return;
        }
    }

    static void TearDownTestSuite() { folder.reset(); }

    // A set-up that failed fails every test (a failure in SetUpTestSuite
    // itself would only mark them skipped).
    void SetUp() override
    {
        ASSERT_TRUE(setup_error.empty()) << setup_error;
        ASSERT_TRUE(pkgtest::file_exists(signed_exe)) << "signing failed in the suite's set-up";
    }
    static std::string setup_error;
};

std::unique_ptr<testing_support::TempFolder> Signing::folder;
std::string Signing::dir, Signing::unsigned_exe, Signing::signed_exe, Signing::cert, Signing::setup_error;

TEST_F(Signing, OsslsigncodeVerifiesTheSignedProgram)
{
    int status = 0;
    std::string out = capture("osslsigncode verify -CAfile '" + cert + "' -in '" + signed_exe + "'", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("Signature verification: ok"), std::string::npos) << out;

    // One changed byte of the package, and the signature no longer holds.
    Bytes b = pkgtest::read_bytes(signed_exe);
    b[pkgtest::read_bytes(unsigned_exe).size() - 100] ^= 1;
    std::string tampered = dir + "/tampered.exe";
    pkgtest::write_bytes(tampered, b);
    out = capture("osslsigncode verify -CAfile '" + cert + "' -in '" + tampered + "'", &status);
    EXPECT_NE(status, 0) << out;
}

TEST_F(Signing, PefileFindsTheCertificateTableWhereTheLoaderDoes)
{
    int status = 0;
    std::string out =
        capture("/usr/bin/python3 -c 'import sys, pefile; d = pefile.PE(sys.argv[1], fast_load=True)"
                ".OPTIONAL_HEADER.DATA_DIRECTORY[4]; print(d.VirtualAddress, d.Size)' '" +
                    signed_exe + "'",
                &status);
    ASSERT_EQ(status, 0) << out;
    unsigned long offset = 0, size = 0;
    ASSERT_EQ(sscanf(out.c_str(), "%lu %lu", &offset, &size), 2) << out;

    Bytes b = pkgtest::read_bytes(signed_exe);
    uint32_t our_offset = 0, our_size = 0;
    ASSERT_TRUE(pe_certificate_table(b.data(), std::min<size_t>(b.size(), 4096), &our_offset, &our_size));
    EXPECT_EQ(our_offset, offset);
    EXPECT_EQ(our_size, size);
    EXPECT_EQ(offset, pkgtest::read_bytes(unsigned_exe).size())
        << "the table follows the package, no padding";
    EXPECT_EQ(offset + size, b.size());
}

TEST_F(Signing, SignedProgramKeepsItsUsbImage)
{
    Usb before = load_usb(unsigned_exe);
    Usb after = load_usb(signed_exe);
    ASSERT_TRUE(before.loaded);
    ASSERT_TRUE(after.loaded);
    EXPECT_EQ(before.image.size(), 40960u + 16u);  // the sample image and its suffix
    EXPECT_EQ(after.image.size(), before.image.size());
    EXPECT_TRUE(after.image == before.image);
    EXPECT_EQ(before.suffix_length, 16u);
    EXPECT_EQ(after.suffix_length, 16u);
}

}  // namespace
