// Localised messages: the language choice from the user's settings or the
// command line, the fallback language, English, and the UTF-16 form.
#include "package_fixture.h"

using namespace pkgtest;

namespace {

std::vector<std::string> message_package()
{
    return {
        "[LANG00]",
        "S01=Update",
        "S02=Please attach",
        "S05=Matching English",
        "S06=Please try again ...",
        "S12=Close",
        "[LANG01]",
        "S01=Mettre à jour",
        "S05=Vérification",
        "[LANG02]",
        "S01=Aktualisieren",
        "[LANG05]",
        "S01=Atualizar",
        "S05=",
        "[LANG06]",
        "S01=更新",
        "S02=請連接",
        "[LANG07]",
        "S01=更新 (简体)",
        "[LANG30]",
        "S01=اپ ڈیٹ کریں",
    };
}

class Messages : public PackageTest {
protected:
    std::string msg(unsigned n)
    {
        char text[256];
        memset(text, 0x7F, sizeof text);
        load_message(n, text, nullptr);
        return text;
    }
};

TEST_F(Messages, FrenchLocaleTakesS01FromItsSectionAndTheRestFromEnglish)
{
    ASSERT_TRUE(load_ini(message_package()));
    set_locale(0x040C, 0x040C);
    EXPECT_EQ(msg(1), "Mettre à jour");
    EXPECT_EQ(g_lang, 1u);
    EXPECT_EQ(g_lang_fallback, 1u);
    EXPECT_EQ(msg(5), "Vérification");
    EXPECT_EQ(msg(2), "Please attach");
    EXPECT_EQ(msg(12), "Close");
}

TEST_F(Messages, PortugueseLocaleFallsBackToEnglish)
{
    ASSERT_TRUE(load_ini(message_package()));
    set_locale(0x0416, 0x0416);
    EXPECT_EQ(msg(1), "Atualizar");
    EXPECT_EQ(g_lang, 5u);
    EXPECT_EQ(g_lang_fallback, 0u);
    EXPECT_EQ(msg(6), "Please try again ...");
}

TEST_F(Messages, EmptyValueLeadsToTheFallbackSection)
{
    ASSERT_TRUE(load_ini(message_package()));
    // Portuguese (Portugal) user interface with a Belgian French LCID:
    // chosen LANG05, fallback LANG01.
    set_locale(0x0816, 0x080C);
    EXPECT_EQ(msg(1), "Atualizar");
    EXPECT_EQ(g_lang_fallback, 1u);
    EXPECT_EQ(msg(5), "Vérification") << "'S05=' in LANG05 counts as missing";
    EXPECT_EQ(msg(2), "Please attach") << "then English";
    EXPECT_EQ(msg(16), "") << "held nowhere";
}

TEST_F(Messages, ChineseScriptFromTheSublanguage)
{
    ASSERT_TRUE(load_ini(message_package()));
    struct Case {
        uint16_t langid;
        uint8_t index;
    } cases[] = {{0x0404, 6}, {0x0804, 7}, {0x0C04, 7}, {0x1004, 7}, {0x1404, 7}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.langid);
        g_lang = LANG_NONE;
        set_locale(c.langid, c.langid);
        msg(1);
        EXPECT_EQ(g_lang, c.index);
    }
    g_lang = LANG_NONE;
    set_locale(0x0404, 0x0404);
    EXPECT_EQ(msg(1), "更新");
    EXPECT_EQ(msg(2), "請連接");
    EXPECT_EQ(msg(5), "Matching English");
}

TEST_F(Messages, LanguageIndexForEveryPrimaryLanguage)
{
    const std::pair<uint16_t, uint8_t> table[] = {
        {0x09, 0},
        {0x0C, 1},
        {0x07, 2},
        {0x10, 3},
        {0x0A, 4},
        {0x16, 5},
        {0x11, 8},
        {0x12, 9},
        {0x19, 10},
        {0x1C, 11},
        {0x1E, 12},
        {0x01, 13},
        {0x02, 14},
        {0x03, 15},
        {0x05, 16},
        {0x06, 17},
        {0x13, 18},
        {0x0B, 19},
        {0x08, 20},
        {0x0D, 21},
        {0x0E, 22},
        {0x0F, 23},
        {0x14, 24},
        {0x15, 25},
        {0x18, 26},
        {0x1B, 27},
        {0x1D, 28},
        {0x1F, 29},
        {0x20, 30},
        // Not in the table: English.
        {0x17, 0},
        {0x1A, 0},
        {0x00, 0},
        {0x3FF, 0},
        {0x21, 0},
    };
    for (const auto& row : table) {
        for (uint16_t sub : {0x0400, 0x0800, 0x2C00}) {
            set_locale(uint16_t(sub | row.first), 1033);
            EXPECT_EQ(user_language_index(), row.second) << std::hex << (sub | row.first);
        }
    }
}

TEST_F(Messages, FallbackFromTheLcidTable)
{
    const uint32_t french[] = {0x040C, 0x080C, 0x0C0C, 0x100C, 0x140C, 0x180C};
    const uint32_t german[] = {0x0407, 0x0807, 0x0C07, 0x1007, 0x1407};
    const uint32_t italian[] = {0x0410, 0x0810};
    const uint32_t spanish[] = {0x040A, 0x080A, 0x0C0A, 0x100A, 0x140A, 0x180A, 0x1C0A,
                                0x200A, 0x240A, 0x280A, 0x2C0A, 0x300A, 0x340A, 0x380A,
                                0x3C0A, 0x400A, 0x440A, 0x480A, 0x4C0A, 0x500A};
    for (uint32_t l : french)
        EXPECT_EQ(lcid_fallback(l), 1u) << std::hex << l;
    for (uint32_t l : german)
        EXPECT_EQ(lcid_fallback(l), 2u) << std::hex << l;
    for (uint32_t l : italian)
        EXPECT_EQ(lcid_fallback(l), 3u) << std::hex << l;
    for (uint32_t l : spanish)
        EXPECT_EQ(lcid_fallback(l), 4u) << std::hex << l;
    // Everything else, listed or not, is English.
    for (uint32_t l : {0x0409u, 0x0809u, 0x0416u, 0x0816u, 0x0404u, 0x1407u + 0x400u, 0x540Au, 0x1C0Cu, 0u,
                       0xFFFFFFFFu, 0x10000u + 0x040Cu})
        EXPECT_EQ(lcid_fallback(l), 0u) << std::hex << l;
}

TEST_F(Messages, CommandLineLanguageKeepsTheFallbackEnglish)
{
    ASSERT_TRUE(load_ini(message_package()));
    set_locale(0x040C, 0x040C);  // French settings are not consulted
    g_lang = 6;
    EXPECT_EQ(msg(1), "更新");
    EXPECT_EQ(g_lang, 6u);
    EXPECT_EQ(g_lang_fallback, 0u);
    EXPECT_EQ(msg(5), "Matching English");
}

TEST_F(Messages, LanguageWithoutSectionUsesTheFallback)
{
    ASSERT_TRUE(load_ini(message_package()));
    for (uint8_t lang : {uint8_t(31), uint8_t(99), uint8_t(100), uint8_t(254)}) {
        g_lang = lang;
        EXPECT_EQ(msg(1), "Update") << int(lang);
    }
    g_lang = 30;
    EXPECT_EQ(msg(1), "اپ ڈیٹ کریں");
}

TEST_F(Messages, ChoiceIsMadeOnceAtTheFirstCall)
{
    ASSERT_TRUE(load_ini(message_package()));
    set_locale(0x0407, 0x0C07);
    EXPECT_EQ(msg(1), "Aktualisieren");
    EXPECT_EQ(g_lang, 2u);
    EXPECT_EQ(g_lang_fallback, 2u);
    set_locale(0x040C, 0x040C);
    EXPECT_EQ(msg(1), "Aktualisieren");
    EXPECT_EQ(g_lang, 2u);
}

TEST_F(Messages, WideFormIsTheUtf16OfTheText)
{
    ASSERT_TRUE(load_ini(message_package()));
    g_lang = 1;
    char text[256];
    WCHAR wide[256];
    memset(wide, 0x55, sizeof wide);
    const char* r = load_message(1, text, wide);
    EXPECT_EQ(r, text);
    EXPECT_EQ(std::u16string(wide), u"Mettre à jour");
    g_lang = 6;
    load_message(2, text, wide);
    EXPECT_EQ(std::u16string(wide), u"請連接");
    // Missing everywhere: both forms empty.
    memset(wide, 0x55, sizeof wide);
    load_message(9, text, wide);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(wide[0], 0);
}

TEST_F(Messages, LongMessageIsCutAt255BytesEvenInsideACharacter)
{
    std::string e_acute_150;
    for (int i = 0; i < 150; i++)
        e_acute_150 += "é";
    ASSERT_TRUE(load_ini({"[LANG00]", "S03=" + e_acute_150}));
    g_lang = 0;
    char text[256];
    WCHAR wide[256];
    load_message(3, text, wide);
    EXPECT_EQ(strlen(text), 255u);
    std::u16string expect(127, u'é');
    expect += u'\xFFFD';  // the lone lead byte of the cut character
    EXPECT_EQ(std::u16string(wide), expect);
}

TEST_F(Messages, WithoutAPackageEveryMessageIsEmpty)
{
    g_lang = 0;
    EXPECT_EQ(msg(1), "");
}

}  // namespace
