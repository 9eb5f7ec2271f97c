// The Update command's refusal rules, and the pieces of the result log: the
// program directory, the paths beside the program and the result line.
#include "app/app.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

TEST(DowngradeRule, EqualOrNewerKeyboardIsRefusedInTheLow12Bits)
{
    // Package 0353 against the keyboard.
    EXPECT_TRUE(is_downgrade(0x0353, 0x0353));  // equal counts as a downgrade
    EXPECT_TRUE(is_downgrade(0x0353, 0x0354));
    EXPECT_FALSE(is_downgrade(0x0353, 0x0352));
    EXPECT_FALSE(is_downgrade(0x0353, 0x1352));  // 0x352 < 0x353 in the low 12 bits
    EXPECT_TRUE(is_downgrade(0x0353, 0x1353));
    EXPECT_TRUE(is_downgrade(0xF353, 0x0353));  // the package's high bits do not count
    EXPECT_FALSE(is_downgrade(0x0353, 0));      // no keyboard opened yet
    EXPECT_TRUE(is_downgrade(0, 0));            // a package version 0 never updates
    EXPECT_TRUE(is_downgrade(0x1000, 0x0FFF));  // the package's 0x1000 is 0 in 12 bits
    EXPECT_FALSE(is_downgrade(0x0FFF, 0x0FFE));
    EXPECT_TRUE(is_downgrade(0x0FFF, 0xFFFF));
}

TEST(BluetoothRule, FamiliesOfKeyboardAndPackageMustAgree)
{
    const uint32_t a2_package = 0xA23F;
    EXPECT_FALSE(bt_family_differs(0xA23F, a2_package));
    EXPECT_FALSE(bt_family_differs(0xA200, a2_package));
    EXPECT_FALSE(bt_family_differs(0x011E, a2_package));  // the A2 family's old numbering
    EXPECT_TRUE(bt_family_differs(0x0120, a2_package));
    EXPECT_TRUE(bt_family_differs(0x011F, a2_package));
    EXPECT_TRUE(bt_family_differs(0xA33F, a2_package));
    EXPECT_TRUE(bt_family_differs(0x12A2, a2_package));  // 0xA2 in the low byte is not the family

    const uint32_t other_package = 0x0130;
    EXPECT_FALSE(bt_family_differs(0x0120, other_package));
    EXPECT_TRUE(bt_family_differs(0xA23F, other_package));
    EXPECT_TRUE(bt_family_differs(0x011E, other_package));
    // Only the package's high byte decides its family; 0x011E counts for the keyboard only.
    EXPECT_FALSE(bt_family_differs(0x011E, 0xA200));
    EXPECT_TRUE(bt_family_differs(0x011E, 0x00A2));
    EXPECT_TRUE(bt_family_differs(0xA23F, 0x011E));
}

TEST(ProgramDirectory, KeepsEverythingUpToTheLastBackslash)
{
    char dir[PROGRAM_DIR_SIZE];
    memset(dir, 'x', sizeof(dir));
    ASSERT_TRUE(split_program_dir("C:\\Tessel\\tessel-updater.exe", dir));
    EXPECT_STREQ(dir, "C:\\Tessel\\");
    ASSERT_TRUE(split_program_dir("C:\\a\\b c\\d.e\\x.exe", dir));
    EXPECT_STREQ(dir, "C:\\a\\b c\\d.e\\");
    ASSERT_TRUE(split_program_dir("C:\\", dir));
    EXPECT_STREQ(dir, "C:\\");
    // No backslash: no directory (files are then used in the current one).
    memset(dir, 'x', sizeof(dir));
    ASSERT_TRUE(split_program_dir("tool.exe", dir));
    EXPECT_STREQ(dir, "");
    // The whole buffer is cleared.
    for (size_t i = 0; i < sizeof(dir); ++i)
        ASSERT_EQ(dir[i], 0) << "byte " << i;
}

TEST(ProgramDirectory, ADirectoryThatDoesNotFitIsRefusedWithoutOverflow)
{
    // 255 characters with the backslash fit (and the terminator); 256 do not.
    struct Guarded {
        char dir[PROGRAM_DIR_SIZE];
        char guard[16];
    } g;
    memset(&g, 0x5A, sizeof(g));
    std::string fits = std::string(254, 'd') + "\\tool.exe";
    ASSERT_TRUE(split_program_dir(fits.c_str(), g.dir));
    EXPECT_EQ(strlen(g.dir), 255u);
    std::string too_long = std::string(255, 'd') + "\\tool.exe";
    EXPECT_FALSE(split_program_dir(too_long.c_str(), g.dir));
    EXPECT_STREQ(g.dir, "");
    for (char c : g.guard)
        ASSERT_EQ(c, 0x5A);
}

TEST(ProgramDirectory, DirectoryAndNameMustFitTogether)
{
    struct Guarded {
        char path[PROGRAM_DIR_SIZE];
        char guard[16];
    } g;
    memset(&g, 0x5A, sizeof(g));
    ASSERT_TRUE(join_program_path(g.path, "C:\\Tessel\\", RESULT_LOG_NAME));
    EXPECT_STREQ(g.path, "C:\\Tessel\\LogfileKarstDFU.txt");
    ASSERT_TRUE(join_program_path(g.path, "", "readme.mht"));
    EXPECT_STREQ(g.path, "readme.mht");

    // The log's name has 19 characters: a directory of 236 still fits, 237 not.
    std::string dir236 = std::string(235, 'd') + "\\";
    ASSERT_TRUE(join_program_path(g.path, dir236.c_str(), RESULT_LOG_NAME));
    EXPECT_EQ(strlen(g.path), 255u);
    std::string dir237 = std::string(236, 'd') + "\\";
    memset(g.path, 0x5A, sizeof(g.path));
    EXPECT_FALSE(join_program_path(g.path, dir237.c_str(), RESULT_LOG_NAME));
    // "readme.docx" has 11: 244 fits, 245 not.
    std::string dir244 = std::string(243, 'd') + "\\";
    EXPECT_TRUE(join_program_path(g.path, dir244.c_str(), "readme.docx"));
    std::string dir245 = std::string(244, 'd') + "\\";
    EXPECT_FALSE(join_program_path(g.path, dir245.c_str(), "readme.docx"));
    for (char c : g.guard)
        ASSERT_EQ(c, 0x5A);
}

TEST(ResultLine, SaysOkOnlyForZeroAndPadsTheDate)
{
    SYSTEMTIME t;
    memset(&t, 0, sizeof(t));
    t.wYear = 2024;
    t.wMonth = 3;
    t.wDay = 5;
    t.wHour = 9;
    t.wMinute = 5;
    t.wSecond = 7;
    char line[64];
    int n = format_result_line(line, &t, 0);
    EXPECT_EQ(std::string(line, n), "OK: 2024/03/05-09:05:07 error=0\r\n");
    n = format_result_line(line, &t, 4);
    EXPECT_EQ(std::string(line, n), "NG: 2024/03/05-09:05:07 error=4\r\n");

    t.wYear = 987;
    t.wMonth = 12;
    t.wDay = 31;
    t.wHour = 23;
    t.wMinute = 59;
    t.wSecond = 0;
    n = format_result_line(line, &t, 4294967295u);
    EXPECT_EQ(std::string(line, n), "NG: 0987/12/31-23:59:00 error=4294967295\r\n");
    n = format_result_line(line, &t, 1);
    EXPECT_EQ(std::string(line, n), "NG: 0987/12/31-23:59:00 error=1\r\n");
}
