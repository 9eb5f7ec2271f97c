// Command reports byte by byte, and the Bluetooth family byte.
#include "keyboard/kb.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

std::vector<uint8_t> bytes(std::initializer_list<uint8_t> head)
{
    std::vector<uint8_t> r(KB_OUT_REPORT_SIZE, 0);
    size_t i = 0;
    for (uint8_t b : head)
        r[i++] = b;
    return r;
}

// A buffer full of leftovers, as a reused report buffer would be.
std::vector<uint8_t> dirty()
{
    return std::vector<uint8_t>(KB_OUT_REPORT_SIZE, 0xEE);
}

}  // namespace

TEST(Reports, CommandsCarryTheirBytesAndZeroFiller)
{
    std::vector<uint8_t> r = dirty();
    kb_build_get_version(r.data());
    EXPECT_EQ(r, bytes({0x06, 0x07, 0xFF, 0xFF, 0xFF, 0xFF}));

    r = dirty();
    kb_build_enter_dfu(r.data());
    EXPECT_EQ(r, bytes({0x06, 0x08, 0xAA, 0x55}));

    r = dirty();
    kb_build_finish(r.data());
    EXPECT_EQ(r, bytes({0x06, 0x0B, 0x00}));

    r = dirty();
    kb_build_bt_start(r.data(), 0xA2);
    EXPECT_EQ(r, bytes({0x06, 0x01, 0xFF, 0xFF, 0xAA, 0xA2}));
    kb_build_bt_start(r.data(), 0x55);
    EXPECT_EQ(r, bytes({0x06, 0x01, 0xFF, 0xFF, 0xAA, 0x55}));
}

TEST(Reports, DataBlocksCarryAddressAndThirtyTwoImageBytes)
{
    uint8_t image[32768];
    for (size_t i = 0; i < sizeof(image); ++i)
        image[i] = (uint8_t)(i * 7 + (i >> 8));

    std::vector<uint8_t> r = dirty();
    kb_build_bt_data(r.data(), 0x0300, image + 0x0300);
    std::vector<uint8_t> want = bytes({0x06, 0x01, 0x03, 0x00});
    memcpy(want.data() + 4, image + 768, 32);
    EXPECT_EQ(r, want);

    // The last block of a full image: 06 01 7F E0 and bytes 32736 to 32767;
    // the bytes behind the block are filler, not what the buffer held before.
    r = dirty();
    kb_build_bt_data(r.data(), 0x7FE0, image + 0x7FE0);
    want = bytes({0x06, 0x01, 0x7F, 0xE0});
    memcpy(want.data() + 4, image + 32736, 32);
    EXPECT_EQ(r, want);
}

TEST(Reports, VerifyNamesTheRangeFrom0300ToTheLastByte)
{
    std::vector<uint8_t> r = dirty();
    kb_build_bt_verify(r.data(), 32768);
    EXPECT_EQ(r, bytes({0x06, 0x05, 0x03, 0x00, 0x7F, 0xFF}));
    kb_build_bt_verify(r.data(), 768);
    EXPECT_EQ(r, bytes({0x06, 0x05, 0x03, 0x00, 0x02, 0xFF}));
    kb_build_bt_verify(r.data(), 64);
    EXPECT_EQ(r, bytes({0x06, 0x05, 0x03, 0x00, 0x00, 0x3F}));
    // The last-address field holds the low 16 bits of n - 1.
    kb_build_bt_verify(r.data(), 0);
    EXPECT_EQ(r, bytes({0x06, 0x05, 0x03, 0x00, 0xFF, 0xFF}));
}

TEST(Reports, FamilyByteFollowsThePackagesHighByte)
{
    EXPECT_EQ(kb_bt_family_byte(0xA23F), 0xA2);
    EXPECT_EQ(kb_bt_family_byte(0xA200), 0xA2);
    EXPECT_EQ(kb_bt_family_byte(0xA2FF), 0xA2);
    EXPECT_EQ(kb_bt_family_byte(0x1A23F), 0xA2);  // only bits 8 to 15 count
    EXPECT_EQ(kb_bt_family_byte(0xA33F), 0x55);
    EXPECT_EQ(kb_bt_family_byte(0x00A2), 0x55);
    EXPECT_EQ(kb_bt_family_byte(0x011E), 0x55);  // 011E is A2 only as a reported version
    EXPECT_EQ(kb_bt_family_byte(0), 0x55);
}
