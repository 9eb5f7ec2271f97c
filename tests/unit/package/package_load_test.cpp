// Loading the package: the end-marker scan, the Bluetooth image with its
// rounded length and sum, the USB image and its DFU suffix.
#include "package_fixture.h"

using namespace pkgtest;

namespace {

const std::string kIni = "[MAIN]\r\nINI_VER_BT=A23F\r\n";

// A DFU suffix over `body`: bcdDevice, idProduct, idVendor, bcdDFU,
// "UFD", bLength and the CRC of everything before the CRC field.
Bytes with_suffix(Bytes body, uint8_t length = 16)
{
    Bytes s = {0xFF, 0xFF, 0x02, 0x50, 0xC9, 0x1F, 0x00, 0x01, 'U', 'F', 'D', length};
    body.insert(body.end(), s.begin(), s.end());
    uint32_t crc = dfu_crc32(body.data(), body.size());
    for (int i = 0; i < 4; i++)
        body.push_back(uint8_t(crc >> (8 * i)));
    return body;
}

uint32_t sum_from_768(const Bytes& b, size_t end)
{
    uint32_t s = 0;
    for (size_t i = 768; i < end && i < b.size(); i++)
        s += b[i];
    return s;
}

class LoadPackage : public PackageTest {};

TEST_F(LoadPackage, MarkerLineEndingsThatAreFound)
{
    struct Case {
        const char* name;
        std::string marker_line;
    } cases[] = {
        {"CR LF", "S__=END_OF_FILE\r\n"},
        {"LF alone", "S__=END_OF_FILE\n"},
        {"stray CRs", "\rS__=END\r_OF_FILE\r\r\n"},
        // A 255-byte line is ended without LF; the marker then starts a line.
        {"after a 255-byte piece", std::string(255, 'x') + "S__=END_OF_FILE\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        reset_state();
        std::string ini = kIni + c.marker_line;
        Bytes bt = pattern(BT_IMAGE_MAX, 1);
        write_program(ini, bt, Bytes(100, 0x33));
        EXPECT_TRUE(load_package());
        EXPECT_EQ(g_package_start, 0x600u);
        EXPECT_EQ(g_ini_end, 0x600u + ini.size());
        EXPECT_EQ(g_bt_image_len, uint32_t(BT_IMAGE_MAX));
        EXPECT_EQ(memcmp(g_bt_image, bt.data(), BT_IMAGE_MAX), 0);
        EXPECT_EQ(g_usb_image.length, 100);
    }
}

TEST_F(LoadPackage, LinesThatAreNotTheMarker)
{
    const char* lines[] = {
        " S__=END_OF_FILE\r\n", "S__=END_OF_FILE \r\n",  "s__=end_of_file\r\n",
        "S__=END_OF_FILE;\r\n", "S__ = END_OF_FILE\r\n", "S__=END_OF_FILE",  // no line end at EOF
    };
    for (const char* line : lines) {
        SCOPED_TRACE(line);
        reset_state();
        std::string ini = kIni + line;
        write_bytes(program, bare_program() + text_bytes(ini));
        EXPECT_FALSE(load_package());
        // The scan ran to the end of the file; nothing was loaded...
        EXPECT_EQ(g_ini_end, 0x600u + ini.size());
        EXPECT_EQ(g_bt_image_len, 0xDEADu);
        EXPECT_EQ(g_usb_image.data, nullptr);
        // ...but the configuration was read all the same.
        EXPECT_STREQ(INI_VER_BT, "A23F");
        EXPECT_EQ(INI_VER_BT_VALUE, 0xA23Fu);
    }
}

TEST_F(LoadPackage, ProgramWithoutPackage)
{
    write_bytes(program, bare_program());
    EXPECT_FALSE(load_package());
    EXPECT_EQ(g_ini_end, 0u) << "nothing else is done";
    EXPECT_EQ(g_exe_path[0], 0);
}

TEST_F(LoadPackage, ShortBluetoothImageIsRoundedAndSummedFrom768)
{
    struct Case {
        size_t bytes;
        uint32_t len;
    } cases[] = {{1000, 1024}, {768, 768}, {700, 704}, {769, 832}, {64, 64}, {0, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        reset_state();
        Bytes bt = pattern(c.bytes, 7);
        write_bytes(program, bare_program() + text_bytes(kIni + "S__=END_OF_FILE\r\n") + bt);
        ASSERT_TRUE(load_package());
        EXPECT_EQ(g_bt_image_len, c.len);
        // Offsets from the real count up to the rounded length are zero.
        EXPECT_EQ(g_bt_image_sum, sum_from_768(bt, c.len));
        for (size_t i = c.bytes; i < BT_IMAGE_MAX; i++)
            ASSERT_EQ(g_bt_image[i], 0) << i;
        if (c.bytes <= 768) {
            EXPECT_EQ(g_bt_image_sum, 0u);
        }
        // The file ended inside the Bluetooth image: no USB image.
        EXPECT_EQ(g_usb_image.length, 0);
        EXPECT_EQ(g_usb_image.data, nullptr);
        EXPECT_EQ(g_usb_image.suffix_length, 0u);
    }
}

TEST_F(LoadPackage, FullImagesAndTheUsbImageAsRead)
{
    Bytes bt = pattern(BT_IMAGE_MAX, 3);
    Bytes usb = pattern(40960, 4);
    for (size_t i = usb.size() - 16; i < usb.size(); i++)
        usb[i] = 0xFF;
    write_program(kIni + "S__=END_OF_FILE\r\n", bt, usb);
    ASSERT_TRUE(load_package());
    EXPECT_EQ(g_bt_image_len, 32768u);
    EXPECT_EQ(g_bt_image_sum, sum_from_768(bt, BT_IMAGE_MAX));
    ASSERT_EQ(g_usb_image.length, 40960);
    EXPECT_EQ(memcmp(g_usb_image.data, usb.data(), usb.size()), 0);
    EXPECT_EQ(g_usb_image.suffix_length, 0u) << "all-0xFF tail is no suffix";
    EXPECT_STREQ(g_exe_path, "C:\\Tessel\\tessel-updater.exe");
    free_usb_image();
    EXPECT_EQ(g_usb_image.data, nullptr);
    EXPECT_EQ(g_usb_image.length, 0);
}

// A signature made after the package was appended sits behind the USB image;
// its certificate table (data directory entry 4, a file offset) ends the
// image. Tables that do not lie behind the package start are not trusted.
TEST_F(LoadPackage, CertificateTableBehindThePackageEndsTheUsbImage)
{
    const Bytes ini = text_bytes(kIni + "S__=END_OF_FILE\r\n");
    const Bytes usb = pattern(4096, 5);
    const Bytes cert = pattern(1520, 6);
    const uint32_t start = 0x600;
    const uint32_t usb_at = start + uint32_t(ini.size()) + BT_IMAGE_MAX;
    const uint32_t cert_at = usb_at + uint32_t(usb.size());
    const uint32_t file_size = cert_at + uint32_t(cert.size());
    struct Row {
        const char* what;
        uint32_t dir_count, offset, size;
        bool loads;
        int32_t usb_length;
    } rows[] = {
        {"signed: the table ends the image", 16, cert_at, 1520, true, 4096},
        {"entry with size 0 is no table", 16, cert_at, 0, true, 4096 + 1520},
        {"entry with offset 0 is no table", 16, 0, 1520, true, 4096 + 1520},
        {"directory too short to hold entry 4", 4, cert_at, 1520, true, 4096 + 1520},
        {"table inside the program is ignored", 16, 0x400, 1520, true, 4096 + 1520},
        {"table beyond the file end is ignored", 16, file_size + 1, 1520, true, 4096 + 1520},
        {"hostile offset and size are ignored", 16, 0xFFFFFFF0u, 0xFFFFFFF0u, true, 4096 + 1520},
        {"size reaching past the end is harmless", 16, cert_at, 0x7FFFFFFF, true, 4096},
        {"table at the very end: the image runs to it", 16, file_size, 8, true, 4096 + 1520},
        {"table in the middle of the USB image", 16, usb_at + 100, 1520, true, 100},
        {"table right behind the Bluetooth image", 16, usb_at, 1520, true, 0},
        {"table inside the Bluetooth image", 16, usb_at - 1000, 1520, true, 0},
        {"table inside the INI text: no marker", 16, start + 3, 1520, false, 0},
        {"table at the package start: no package", 16, start, 1520, false, 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.what);
        Bytes program = bare_program();
        put32(program, 0x40 + 24 + 108, r.dir_count);
        put32(program, 0x40 + 24 + 112 + 4 * 8, r.offset);
        put32(program, 0x40 + 24 + 112 + 4 * 8 + 4, r.size);
        write_bytes(this->program, program + ini + pattern(BT_IMAGE_MAX, 7) + usb + cert);
        reset_state();
        EXPECT_EQ(load_package(), r.loads);
        if (!r.loads)
            continue;
        ASSERT_EQ(g_usb_image.length, r.usb_length);
        Bytes whole = usb + cert;
        if (r.usb_length > 0) {
            EXPECT_EQ(memcmp(g_usb_image.data, whole.data(), size_t(r.usb_length)), 0);
        }
        free_usb_image();
    }
}

TEST_F(LoadPackage, DfuSuffixIsHonouredOnlyWithSignatureAndCrc)
{
    Bytes body = pattern(5000, 9);
    Bytes good = with_suffix(body);

    write_program(kIni + "S__=END_OF_FILE\r\n", Bytes(BT_IMAGE_MAX, 1), good);
    ASSERT_TRUE(load_package());
    EXPECT_EQ(g_usb_image.length, int32_t(good.size()));
    EXPECT_EQ(g_usb_image.suffix_length, 16u);

    // Any byte changed, in the body or in the suffix: the CRC no longer holds.
    for (size_t at : {size_t(0), size_t(4999), good.size() - 16, good.size() - 5, good.size() - 1}) {
        Bytes bad = good;
        bad[at] ^= 0x01;
        UsbImage img = {bad.data(), int32_t(bad.size()), 99};
        check_dfu_suffix(&img);
        EXPECT_EQ(img.suffix_length, 0u) << at;
    }
    // Right CRC over a wrong signature.
    Bytes unsigned_body = body;
    Bytes no_sig = with_suffix(unsigned_body);
    no_sig[no_sig.size() - 16 + 9] = 'X';
    uint32_t crc = dfu_crc32(no_sig.data(), no_sig.size() - 4);
    for (int i = 0; i < 4; i++)
        no_sig[no_sig.size() - 4 + i] = uint8_t(crc >> (8 * i));
    UsbImage img = {no_sig.data(), int32_t(no_sig.size()), 99};
    check_dfu_suffix(&img);
    EXPECT_EQ(img.suffix_length, 0u);

    // bLength is taken as it stands, as long as it fits the image.
    Bytes longer = with_suffix(body, 32);
    img = {longer.data(), int32_t(longer.size()), 0};
    check_dfu_suffix(&img);
    EXPECT_EQ(img.suffix_length, 32u);
}

TEST_F(LoadPackage, SuffixLongerThanTheImageIsNotTrusted)
{
    // A 16-byte image that is nothing but a suffix claiming 255 bytes: the
    // download length would become negative.
    Bytes tiny = with_suffix(Bytes(), 255);
    ASSERT_EQ(tiny.size(), 16u);
    UsbImage img = {tiny.data(), 16, 7};
    check_dfu_suffix(&img);
    EXPECT_EQ(img.suffix_length, 0u);
    Bytes exact = with_suffix(Bytes(), 16);
    img = {exact.data(), 16, 7};
    check_dfu_suffix(&img);
    EXPECT_EQ(img.suffix_length, 16u);
    // Too short for a suffix, or no data at all.
    img = {exact.data(), 15, 7};
    check_dfu_suffix(&img);
    EXPECT_EQ(img.suffix_length, 0u);
    img = {nullptr, 0, 7};
    check_dfu_suffix(&img);
    EXPECT_EQ(img.suffix_length, 0u);
}

TEST_F(LoadPackage, SectionEndingExactlyAtTheFileEndMeansNoPackage)
{
    Bytes file = pe_headers(0x80, {{0x200, 0x200}, {0x100, 0x400}}, 0x500);
    write_bytes(program, file);
    EXPECT_FALSE(load_package());
}

TEST_F(LoadPackage, FileWithoutValidHeadersIsReadFromItsFirstByte)
{
    std::string ini = "[MAIN]\r\nINI_VER_NXP=0400\r\nS__=END_OF_FILE\r\n";
    write_bytes(program, text_bytes(ini) + Bytes(BT_IMAGE_MAX, 2) + Bytes(20, 3));
    EXPECT_TRUE(load_package());
    EXPECT_EQ(g_package_start, 0u);
    EXPECT_EQ(g_ini_end, ini.size());
    EXPECT_STREQ(INI_VER_NXP, "0400");
    EXPECT_EQ(g_usb_image.length, 20);
}

TEST_F(LoadPackage, PackageStartTheFilePointerCannotReachMeansNoPackage)
{
    // A section claims raw data at 2 GiB: the seek fails. The scan must not
    // then start at the head of the file and find the marker there.
    Bytes file = pe_headers(0x80, {{0x200, 0x80000000u}}, 0x600);
    write_bytes(program, file + text_bytes(kIni + "S__=END_OF_FILE\r\n") + Bytes(BT_IMAGE_MAX, 1));
    EXPECT_FALSE(load_package());
}

TEST_F(LoadPackage, ProgramPathLongerThan255BytesFindsButCannotLoad)
{
    write_program(kIni + "S__=END_OF_FILE\r\n");
    std::string long_path = "C:\\" + std::string(260, 'd') + "\\tessel-updater.exe";
    use_program(program, long_path);
    uint32_t size = 0;
    EXPECT_EQ(find_package_start(&size), 0x600u) << "the 4096-byte buffer holds the path";
    EXPECT_FALSE(load_package());
    EXPECT_EQ(strlen(g_exe_path), 255u);
    EXPECT_EQ(g_usb_image.data, nullptr);
}

TEST(PackageBytes, RoundingSumAndCrc)
{
    EXPECT_EQ(bt_round_length(0), 0u);
    EXPECT_EQ(bt_round_length(1), 64u);
    EXPECT_EQ(bt_round_length(64), 64u);
    EXPECT_EQ(bt_round_length(1000), 1024u);
    EXPECT_EQ(bt_round_length(32767), 32768u);
    EXPECT_EQ(bt_round_length(32768), 32768u);

    Bytes img(1024, 0);
    img[767] = 200;  // not summed
    img[768] = 1;
    img[1023] = 255;
    EXPECT_EQ(bt_image_sum(img.data(), 1024), 256u);
    EXPECT_EQ(bt_image_sum(img.data(), 768), 0u);
    Bytes full(32768, 0xFF);
    EXPECT_EQ(bt_image_sum(full.data(), 32768), 0xFFu * (32768 - 768));

    // The reflected CRC-32 without its final complement: the check value of
    // CRC-32 for "123456789" is 0xCBF43926 after the complement.
    const char* check = "123456789";
    EXPECT_EQ(dfu_crc32(reinterpret_cast<const uint8_t*>(check), 9), ~0xCBF43926u);
    EXPECT_EQ(dfu_crc32(nullptr, 0), 0xFFFFFFFFu);
}

TEST(PackageBytes, MarkerScanFedByteByByte)
{
    auto scan_all = [](const std::string& s) -> long {
        MarkerScan scan;
        marker_scan_reset(&scan);
        for (size_t i = 0; i < s.size(); i++)
            if (marker_scan_byte(&scan, uint8_t(s[i])))
                return long(i + 1);
        return -1;
    };
    EXPECT_EQ(scan_all("a\r\nS__=END_OF_FILE\r\nrest"), 20);
    EXPECT_EQ(scan_all("S__=END_OF_FILE"), -1);
    // A line of 254 bytes plus the marker is one 255-byte line, then a tail.
    EXPECT_EQ(scan_all(std::string(254, 'x') + "S__=END_OF_FILE\n"), -1);
    EXPECT_EQ(scan_all(std::string(255, 'x') + "S__=END_OF_FILE\n"), 255 + 16);
    EXPECT_EQ(scan_all(std::string(510, 'x') + "S__=END_OF_FILE\n"), 510 + 16);
    EXPECT_EQ(scan_all(std::string(1000, '\r') + "S__=END_OF_FILE\n"), 1000 + 16);
    EXPECT_EQ(scan_all(std::string("S__=END_OF_FILE\0\n", 17)), -1);
}

}  // namespace
