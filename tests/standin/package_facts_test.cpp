// The devices' own reading of a packaged program: the values the simulated
// keyboard and boot loader are rehearsed against.
#include "package_facts.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

std::vector<uint8_t> file_bytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string write_temp(const std::vector<uint8_t>& bytes)
{
    char name[] = "/tmp/tessel-facts.XXXXXX";
    int fd = mkstemp(name);
    EXPECT_GE(fd, 0);
    EXPECT_EQ(write(fd, bytes.data(), bytes.size()), (ssize_t)bytes.size());
    close(fd);
    return name;
}

}  // namespace

TEST(PackageFacts, SamplePackage)
{
    sim::PackageFacts f;
    std::string error;
    ASSERT_TRUE(sim::read_package_facts(TESSEL_SAMPLE_DIR "/tessel-updater.exe", f, error)) << error;
    EXPECT_TRUE(f.present);
    EXPECT_EQ(f.vid1, 0x1FC9);
    EXPECT_EQ(f.pid1, 0x5002);
    EXPECT_EQ(f.vid2, 0x1FC9);
    EXPECT_EQ(f.pid2, 0x000C);
    EXPECT_EQ(f.nxp, 0x0353u);
    EXPECT_EQ(f.bt, 0xA23Fu);
    EXPECT_EQ(f.dfu_guid.data1, 0xa01674b4u);
    EXPECT_EQ(f.dfu_guid.data4[7], 0xb4);
    // The sum of the sample's Bluetooth image from 0x300 on.
    std::vector<uint8_t> bt = file_bytes(TESSEL_SAMPLE_DIR "/bt.bin");
    ASSERT_EQ(bt.size(), 32768u);
    uint32_t sum = 0;
    for (size_t i = 0x300; i < bt.size(); ++i)
        sum += bt[i];
    EXPECT_EQ(f.bt_sum, sum);
}

TEST(PackageFacts, OtherValuesShortImageAndProgramsWithoutPackage)
{
    std::vector<uint8_t> file = file_bytes(TESSEL_SAMPLE_DIR "/bare.exe");
    ASSERT_FALSE(file.empty());
    std::string ini = "[main]\r\nini_ver_nxp = 04 00 ; next\r\nINI_VER_BT=\"A300\"\r\n"
                      "[DFU]\r\n; INI_DFU_VID1=1111\r\nINI_DFU_VID1=abcd\r\nINI_DFU_PID2=0x12\r\n"
                      "INI_DFU_GUID=12345678-9abc-def0-1122-334455667788\r\n[LANG__]\r\nS__=END_OF_FILE\r\n";
    std::vector<uint8_t> with = file;
    with.insert(with.end(), ini.begin(), ini.end());
    for (int i = 0; i < 1000; ++i)
        with.push_back((uint8_t)i);
    std::string path = write_temp(with);
    sim::PackageFacts f;
    std::string error;
    ASSERT_TRUE(sim::read_package_facts(path, f, error)) << error;
    EXPECT_EQ(f.nxp, 0x0400u);
    EXPECT_EQ(f.bt, 0xA300u);
    EXPECT_EQ(f.vid1, 0xABCD);
    EXPECT_EQ(f.pid1, 0x5002);  // not in the package: the usual identity
    EXPECT_EQ(f.pid2, 0x0000);  // "0x12" reads as 0
    EXPECT_EQ(f.dfu_guid.data1, 0x12345678u);
    EXPECT_EQ(f.dfu_guid.data4[7], 0x88);
    uint32_t sum = 0;
    for (int i = 0x300; i < 1000; ++i)
        sum += (uint8_t)i;
    EXPECT_EQ(f.bt_sum, sum);
    std::remove(path.c_str());

    ASSERT_TRUE(sim::read_package_facts(TESSEL_SAMPLE_DIR "/bare.exe", f, error));
    EXPECT_FALSE(f.present);
    EXPECT_EQ(f.vid1, 0x1FC9);

    std::vector<uint8_t> no_marker = file;
    no_marker.insert(no_marker.end(), ini.begin(), ini.begin() + 40);
    path = write_temp(no_marker);
    EXPECT_FALSE(sim::read_package_facts(path, f, error));
    EXPECT_NE(error.find("end marker"), std::string::npos);
    std::remove(path.c_str());

    EXPECT_FALSE(sim::read_package_facts("/nonexistent/tool.exe", f, error));
}
