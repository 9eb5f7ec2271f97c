// The INI reader: section and key search, value cleaning, bounded copies,
// hexadecimal and decimal conversion, and the thirteen configuration keys.
#include "package_fixture.h"

using namespace pkgtest;

namespace {

class IniReader : public PackageTest {};

TEST_F(IniReader, SectionAndKeyMatchWithoutRegardToCase)
{
    ASSERT_TRUE(load_ini({"[main]", "ini_ver_bt=A23F", "[Dfu]", "Ini_Dfu_Vid1=1234"}));
    EXPECT_EQ(get("MAIN", "INI_VER_BT"), "A23F");
    EXPECT_EQ(get("Main", "ini_VER_bt"), "A23F");
    EXPECT_EQ(get("dFU", "INI_DFU_VID1"), "1234");
    // Only ASCII letters fold: names must otherwise be equal and equally long.
    EXPECT_EQ(get("MAIN ", "INI_VER_BT"), "<default>");
    EXPECT_EQ(get("MAIN", "INI_VER_B"), "<default>");
    EXPECT_EQ(get("MAIN", "INI_VER_BTX"), "<default>");
}

TEST_F(IniReader, SeparatorsBlanksAndComments)
{
    ASSERT_TRUE(load_ini({
        "[MAIN]",
        "INI_VER_BT  =  A23F",
        "INI_VER_NXP=0353 ; note",
        "\t  INI_DATE_CODE\t=\t20171016 # build",
        "; INI_ALLOW_DOWNGRADE=1",
        "   # INI_ALLOW_DOWNGRADE=2",
        "no separator on this line",
        "INI_ALLOW_DOWNGRADE=5",
        "[DFU]",
        "INI_DFU_INTERFACE: 1",
        "URL=http://x:80",
        "A:B=C",
    }));
    EXPECT_EQ(get("MAIN", "INI_VER_BT"), "A23F");
    EXPECT_EQ(get("MAIN", "INI_VER_NXP"), "0353");
    EXPECT_EQ(get("MAIN", "INI_DATE_CODE"), "20171016");
    EXPECT_EQ(get("MAIN", "INI_ALLOW_DOWNGRADE"), "5") << "comment lines are skipped";
    EXPECT_EQ(get("DFU", "INI_DFU_INTERFACE"), "1") << "':' separates when there is no '='";
    EXPECT_EQ(get("DFU", "URL"), "http://x:80");
    EXPECT_EQ(get("DFU", "A:B"), "C") << "'=' wins over an earlier ':'";
    EXPECT_EQ(get("DFU", "A"), "<default>");
}

TEST_F(IniReader, QuotedValuesAndEscapes)
{
    ASSERT_TRUE(load_ini({
        "[Q]",
        "A=\"x ; y # z\"   ; real comment",
        "B=\"say \"\"hi\"\"\"",
        "C=\"back\\\"slash\"",
        "D=\"",
        "E=\"\"",
        "F=abc\"def",
        "G=pre \"in;side\" post;cut",
        "H=\"keep\\n\\\\\"",
        "I=\"\"\"\"",
        "J=\"  spaced  \"",
    }));
    EXPECT_EQ(get("Q", "A"), "x ; y # z");
    EXPECT_EQ(get("Q", "B"), "say \"hi\"");
    EXPECT_EQ(get("Q", "C"), "back\"slash");
    EXPECT_EQ(get("Q", "D"), "") << "one double quote is both the opening and the closing one";
    EXPECT_EQ(get("Q", "E"), "");
    EXPECT_EQ(get("Q", "F"), "abc\"def") << "not enclosed: copied plainly";
    EXPECT_EQ(get("Q", "G"), "pre \"in;side\" post");
    EXPECT_EQ(get("Q", "H"), "keep\\n\\\\") << "a backslash before another byte stays";
    EXPECT_EQ(get("Q", "I"), "\"");
    EXPECT_EQ(get("Q", "J"), "  spaced  ");
}

TEST_F(IniReader, SectionsBoundTheSearch)
{
    ASSERT_TRUE(load_ini({
        "TOP=before any section",
        "[MAIN]",
        "ONLY_MAIN=1",
        "TWICE=first",
        "TWICE=second",
        "[ MAIN ]",
        "SPACED=yes",
        "[DFU] ; comment after the header",
        "ONLY_DFU=2",
        "[MAIN]",
        "IN_SECOND_MAIN=3",
        "   [Indented]",
        "K=v",
        "[Broken",
        "BROKEN=1",
    }));
    EXPECT_EQ(get("DFU", "ONLY_MAIN"), "<default>") << "the search stops at the next '['";
    EXPECT_EQ(get("MAIN", "ONLY_DFU"), "<default>");
    EXPECT_EQ(get("MAIN", "TWICE"), "first");
    EXPECT_EQ(get(" MAIN ", "SPACED"), "yes") << "nothing inside the brackets is trimmed";
    EXPECT_EQ(get("MAIN", "SPACED"), "<default>");
    EXPECT_EQ(get("DFU", "ONLY_DFU"), "2");
    EXPECT_EQ(get("MAIN", "IN_SECOND_MAIN"), "<default>") << "only the first section of a name is searched";
    EXPECT_EQ(get("Indented", "K"), "v");
    EXPECT_EQ(get("", "TOP"), "before any section");
    EXPECT_EQ(get("", "ONLY_MAIN"), "<default>");
    // A line that begins with '[' but has no ']' heads no section, yet ends one.
    EXPECT_EQ(get("Indented", "BROKEN"), "<default>");
    EXPECT_EQ(get("Broken", "BROKEN"), "<default>");
}

TEST_F(IniReader, EmptyValueIsAValue)
{
    ASSERT_TRUE(load_ini({"[DFU]", "INI_DFU_TRANSFER_SIZE=", "X=   ; only a comment"}));
    EXPECT_EQ(get("DFU", "INI_DFU_TRANSFER_SIZE"), "");
    EXPECT_EQ(get("DFU", "X"), "");
    EXPECT_EQ(INI_DFU_TRANSFER_SIZE, 0u) << "atol of the empty text";
}

TEST_F(IniReader, BuffersAreNeverOverrun)
{
    std::string long_value(400, 'v');
    ASSERT_TRUE(load_ini({"[S]", "K=" + long_value, "Q=\"" + std::string(300, 'q') + "\""}));
    EXPECT_EQ(get("S", "K", "d", 256), std::string(255, 'v'));
    EXPECT_EQ(get("S", "K", "d", 5), "vvvv");
    EXPECT_EQ(get("S", "K", "d", 1), "");
    EXPECT_EQ(get("S", "Q", "d", 10), std::string(9, 'q'));
    EXPECT_EQ(get("S", "MISSING", "default text", 8), "default");
    // Size 0 or less, or no key: nothing is written.
    EXPECT_EQ(get("S", "K", "d", 0), std::string(16 + 1, '\x7F'));
    char untouched[4] = {'a', 'b', 'c', 'd'};
    ini_get_string("S", "K", "d", untouched, -3);
    ini_get_string("S", nullptr, "d", untouched, 4);
    EXPECT_EQ(std::string(untouched, 4), "abcd");
    // No default counts as the empty text.
    char buf[8] = "xxxxxxx";
    ini_get_string("S", "MISSING", nullptr, buf, sizeof buf);
    EXPECT_STREQ(buf, "");
}

TEST_F(IniReader, LongLinesAreReadAsPiecesOf511Bytes)
{
    // 600 bytes: a piece of 511, then a piece of 89 that is a line of its own.
    std::string tail = "PIECE=second";
    std::string line = std::string(511, 'a') + tail + std::string(89 - tail.size(), ' ');
    ASSERT_EQ(line.size(), 600u);
    std::string head_value(600, 'h');
    ASSERT_TRUE(load_ini({"[S]", line, "HEAD=" + head_value, "AFTER=yes"}));
    EXPECT_EQ(get("S", "PIECE"), "second");
    EXPECT_EQ(get("S", "HEAD", "d", 600), std::string(511 - 5, 'h')) << "the value ends with its piece";
    EXPECT_EQ(get("S", "AFTER"), "yes");
    // The remainder of HEAD's line, 94 'h', is a piece without separator.
    // A piece that looks like a section header is one: it ends section S
    // and heads section OTHER.
    std::string header_piece = std::string(511, 'b') + "[OTHER]";
    ASSERT_TRUE(load_ini({"[S]", header_piece, "K=1", "[OTHER]", "K=2"}));
    EXPECT_EQ(get("S", "K"), "<default>");
    EXPECT_EQ(get("OTHER", "K"), "1");
}

TEST_F(IniReader, WithoutEndMarkerLookupsRunToTheEndOfTheFile)
{
    write_bytes(program, bare_program() + text_bytes("[MAIN]\r\nA=1\r\n") + Bytes(3000, 0) +
                             text_bytes("\r\n[LAST]\r\nZ=end\r\n"));
    EXPECT_FALSE(load_package());
    EXPECT_EQ(get("MAIN", "A"), "1");
    EXPECT_EQ(get("LAST", "Z"), "end");
    EXPECT_EQ(get("LAST", "NONE"), "<default>");
    EXPECT_STREQ(INI_DATE_CODE, "XXXXXX_V1");
}

TEST_F(IniReader, NothingBehindTheEndMarkerIsReadAsConfiguration)
{
    // The marker closes the last language section directly, and the
    // Bluetooth image happens to begin like a line of that section.
    std::string ini = "[LANG00]\r\nS01=Update\r\nS__=END_OF_FILE\r\n";
    Bytes bt = text_bytes("S05=garbage\r\n[X]\r\nK=v\r\n");
    bt.resize(BT_IMAGE_MAX, 0);
    write_program(ini, bt);
    ASSERT_TRUE(load_package());
    EXPECT_EQ(get("LANG00", "S01"), "Update");
    EXPECT_EQ(get("LANG00", "S05"), "<default>");
    EXPECT_EQ(get("X", "K"), "<default>");
}

TEST_F(IniReader, UnreadableProgramFileGivesDefaults)
{
    ASSERT_TRUE(load_ini({"[MAIN]", "K=v"}));
    EXPECT_EQ(get("MAIN", "K"), "v");
    unlink(program.c_str());
    EXPECT_EQ(get("MAIN", "K"), "<default>");
}

TEST(ParseHex, DigitsSpacesAndStops)
{
    EXPECT_EQ(parse_hex("1FC9"), 0x1FC9u);
    EXPECT_EQ(parse_hex("1f c9"), 0x1FC9u);
    EXPECT_EQ(parse_hex("  A 2 3 F  "), 0xA23Fu);
    EXPECT_EQ(parse_hex("0x1FC9"), 0u);
    EXPECT_EQ(parse_hex("12G4"), 0x12u);
    EXPECT_EQ(parse_hex("\t12"), 0u) << "only 0x20 is skipped";
    EXPECT_EQ(parse_hex("-5"), 0u);
    EXPECT_EQ(parse_hex(""), 0u);
    EXPECT_EQ(parse_hex("FFFFFFFFFFFFFFFF"), UINT64_MAX);
    EXPECT_EQ(parse_hex("123456789ABCDEF01"), 0x23456789ABCDEF01ull) << "modulo 2^64";
}

class Configuration : public PackageTest {};

TEST_F(Configuration, ShippedValues)
{
    ASSERT_TRUE(load_ini({
        "[MAIN]",
        "STRING_DATE_CODE=Version =",
        "INI_DATE_CODE=20171016_V0353_BTA23F",
        "INI_VER_NXP=0353",
        "INI_VER_BT=A23F",
        "INI_ALLOW_DOWNGRADE=0",
        "[DFU]",
        "INI_DFU_GUID=a01674b4-c5f6-485c-af94-3271701d57b4",
        "INI_DFU_VID1=1FC9",
        "INI_DFU_PID1=5002",
        "INI_DFU_VID2=1FC9",
        "INI_DFU_PID2=000C",
        "INI_DFU_INTERFACE=0",
        "INI_DFU_DETACH_DELAY=0",
        "INI_DFU_TRANSFER_SIZE=64",
    }));
    EXPECT_STREQ(STRING_DATE_CODE, "Version =");
    EXPECT_STREQ(INI_DATE_CODE, "20171016_V0353_BTA23F");
    EXPECT_STREQ(INI_VER_NXP, "0353");
    EXPECT_STREQ(INI_VER_BT, "A23F");
    EXPECT_EQ(INI_VER_BT_VALUE, 0xA23Fu);
    EXPECT_EQ(INI_ALLOW_DOWNGRADE, 0u);
    EXPECT_EQ(INI_DFU_GUID.Data1, 0xa01674b4u);
    EXPECT_EQ(INI_DFU_GUID.Data2, 0xc5f6u);
    EXPECT_EQ(INI_DFU_GUID.Data3, 0x485cu);
    const uint8_t d4[8] = {0xaf, 0x94, 0x32, 0x71, 0x70, 0x1d, 0x57, 0xb4};
    EXPECT_EQ(memcmp(INI_DFU_GUID.Data4, d4, 8), 0);
    EXPECT_EQ(INI_DFU_VID1, 0x1FC9u);
    EXPECT_EQ(INI_DFU_PID1, 0x5002u);
    EXPECT_EQ(INI_DFU_VID2, 0x1FC9u);
    EXPECT_EQ(INI_DFU_PID2, 0x000Cu);
    EXPECT_EQ(INI_DFU_INTERFACE, 0u);
    EXPECT_EQ(INI_DFU_DETACH_DELAY, 0u);
    EXPECT_EQ(INI_DFU_TRANSFER_SIZE, 64u);
}

TEST_F(Configuration, DefaultsWhenKeysAreMissing)
{
    ASSERT_TRUE(load_ini({"[MAIN]", "[DFU]"}));
    EXPECT_STREQ(STRING_DATE_CODE, "Date code = ");
    EXPECT_STREQ(INI_DATE_CODE, "XXXXXX_V1");
    EXPECT_STREQ(INI_VER_NXP, "0000");
    EXPECT_STREQ(INI_VER_BT, "0000");
    EXPECT_EQ(INI_VER_BT_VALUE, 0u);
    EXPECT_EQ(INI_ALLOW_DOWNGRADE, 1u);
    EXPECT_EQ(INI_DFU_GUID.Data1, 0xa01674b4u);
    EXPECT_EQ(INI_DFU_GUID.Data4[7], 0xb4u);
    EXPECT_EQ(INI_DFU_VID1, 0x1FC9u);
    EXPECT_EQ(INI_DFU_PID1, 0x5002u);
    EXPECT_EQ(INI_DFU_VID2, 0x1FC9u);
    EXPECT_EQ(INI_DFU_PID2, 0x000Cu);
    EXPECT_EQ(INI_DFU_INTERFACE, 0u);
    EXPECT_EQ(INI_DFU_DETACH_DELAY, 0u);
    EXPECT_EQ(INI_DFU_TRANSFER_SIZE, 64u);
}

TEST_F(Configuration, ConversionsKeepTheLowBitsOfTheirFields)
{
    ASSERT_TRUE(load_ini({
        "[MAIN]",
        "INI_VER_BT=1 A2 3F",
        "INI_ALLOW_DOWNGRADE=100",
        "INI_DATE_CODE=" + std::string(200, 'D'),
        "INI_VER_NXP=" + std::string(40, '9'),
        "[DFU]",
        "INI_DFU_VID1=0x1FC9",
        "INI_DFU_PID1=12345",
        "INI_DFU_INTERFACE= 258xyz",
        "INI_DFU_DETACH_DELAY=-1",
        "INI_DFU_TRANSFER_SIZE=99999999999",
    }));
    EXPECT_EQ(INI_VER_BT_VALUE, 0x1A23Fu);
    EXPECT_EQ(INI_ALLOW_DOWNGRADE, 0u) << "0x100 keeps 0 in 8 bits and so refuses downgrades";
    EXPECT_EQ(strlen(INI_DATE_CODE), 127u);
    EXPECT_EQ(strlen(INI_VER_NXP), 31u);
    EXPECT_EQ(INI_DFU_VID1, 0u);
    EXPECT_EQ(INI_DFU_PID1, 0x2345u);
    EXPECT_EQ(INI_DFU_INTERFACE, 2u) << "258 in 8 bits";
    EXPECT_EQ(INI_DFU_DETACH_DELAY, 0xFFFFu);
    EXPECT_EQ(INI_DFU_TRANSFER_SIZE, 0xFFFFu) << "a 32-bit long clamps at its maximum";
}

TEST_F(Configuration, GuidFieldsNotReachedKeepTheDefault)
{
    ASSERT_TRUE(load_ini({"[DFU]", "INI_DFU_GUID=12345678-9abc-def0-1122-334455667788"}));
    EXPECT_EQ(INI_DFU_GUID.Data1, 0x12345678u);
    EXPECT_EQ(INI_DFU_GUID.Data2, 0x9abcu);
    EXPECT_EQ(INI_DFU_GUID.Data3, 0xdef0u);
    const uint8_t full[8] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88};
    EXPECT_EQ(memcmp(INI_DFU_GUID.Data4, full, 8), 0);

    reset_state();
    ASSERT_TRUE(load_ini({"[DFU]", "INI_DFU_GUID=0badf00d-1234-zzzz"}));
    EXPECT_EQ(INI_DFU_GUID.Data1, 0x0badf00du);
    EXPECT_EQ(INI_DFU_GUID.Data2, 0x1234u);
    EXPECT_EQ(INI_DFU_GUID.Data3, 0x485cu);
    const uint8_t def[8] = {0xaf, 0x94, 0x32, 0x71, 0x70, 0x1d, 0x57, 0xb4};
    EXPECT_EQ(memcmp(INI_DFU_GUID.Data4, def, 8), 0);

    reset_state();
    ASSERT_TRUE(load_ini({"[DFU]", "INI_DFU_GUID={12345678-0000-0000-0000-000000000000}"}));
    EXPECT_EQ(INI_DFU_GUID.Data1, 0xa01674b4u) << "braces stop the format at once";
    EXPECT_EQ(INI_DFU_GUID.Data2, 0xc5f6u);
}

}  // namespace
