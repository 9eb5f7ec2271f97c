// The command line of the entry point: only the first argument counts, it is
// split at spaces (code 32 only) with double quotes grouping, cut to 255
// characters, and read for its switches and "-lang=".
#include "app/app.h"
#include "common/world_test.h"
#include "package/messages.h"
#include "host/sim_core.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Parsed {
    int silent;
    int lang;
};

Parsed parse(const char* tail)
{
    g_silent = 0;
    g_lang = LANG_NONE;
    parse_command_line(tail);
    return Parsed{g_silent, g_lang};
}

void expect(const char* tail, int silent, int lang)
{
    Parsed p = parse(tail);
    EXPECT_EQ(p.silent, silent) << "command line [" << (tail ? tail : "(null)") << "]";
    EXPECT_EQ(p.lang, lang) << "command line [" << (tail ? tail : "(null)") << "]";
}

}  // namespace

TEST(CommandLine, NothingOrOnlyBlanksChangesNothing)
{
    expect(nullptr, 0, 255);
    expect("", 0, 255);
    expect(" ", 0, 255);
    expect("     ", 0, 255);
}

TEST(CommandLine, SilentWhenTheFirstArgumentIsTheSwitchInAnyCase)
{
    expect("-silent", 1, 255);
    expect("   -silent   ", 1, 255);
    expect("-SILENT", 1, 255);
    expect("-Silent", 1, 255);
    expect("/silent", 1, 255);
    expect("/SiLeNt", 1, 255);
    expect("-silent2", 0, 255);
    expect("--silent", 0, 255);
    expect("\\silent", 0, 255);
    expect("silent", 0, 255);
    expect("-silen", 0, 255);
    expect("x -silent", 0, 255);
}

TEST(CommandLine, CheckAndHelpAreFirstArgumentsToo)
{
    struct Case {
        const char* tail;
        int silent, check, help;
    };
    const Case cases[] = {
        {"-check", 0, 1, 0},
        {"/CHECK -silent", 0, 1, 0},
        {"-silent -check", 1, 0, 0},
        {"-checks", 0, 0, 0},
        {"-?", 0, 0, 1},
        {"/?", 0, 0, 1},
        {"-??", 0, 0, 0},
        {"x /?", 0, 0, 0},
    };
    for (const Case& c : cases) {
        g_check = 0;
        g_show_help = 0;
        Parsed p = parse(c.tail);
        EXPECT_EQ(p.silent, c.silent) << c.tail;
        EXPECT_EQ(g_check, c.check) << c.tail;
        EXPECT_EQ(g_show_help, c.help) << c.tail;
    }
}

TEST(CommandLine, OnlyTheFirstArgumentCounts)
{
    expect("-silent -lang=6", 1, 255);
    expect("-lang=6 -silent", 0, 6);
    expect("-lang=6   -lang=7", 0, 6);
    expect("abc -silent -lang=3", 0, 255);
}

TEST(CommandLine, DoubleQuotesGroupAndAreNotPartOfTheArgument)
{
    expect("\"-silent\"", 1, 255);
    expect("\"-silent\" -lang=6", 1, 255);
    // Blanks inside quotes stay part of the argument.
    expect("\"-silent \"", 0, 255);
    expect("\" -silent\"", 0, 255);
    // An unclosed quote runs to the end of the text.
    expect("\"-silent", 1, 255);
    expect("\"-lang=9 -silent", 0, 9);
    // An empty quoted argument is an argument: the next one does not count.
    expect("\"\" -silent", 0, 255);
    // Quotes inside an unquoted argument are ordinary characters.
    expect("-sil\"ent\"", 0, 255);
    expect("x\"-lang=5\"", 0, 0);
}

TEST(CommandLine, ScanningResumesRightAfterTheClosingQuote)
{
    // "ab"-silent is two arguments: ab and -silent; only ab counts.
    expect("\"ab\"-silent", 0, 255);
    expect("\"-lang=4\"-silent", 0, 4);
}

TEST(CommandLine, OnlyCode32SeparatesArguments)
{
    // A tab is an ordinary character, so "-silent\t" is not "-silent".
    expect("-silent\t", 0, 255);
    expect("\t-silent", 0, 255);
    // One argument "-silent<tab>-lang=2": not silent; it holds "-lang=", and its
    // seventh character on ("t...") reads as 0.
    expect("-silent\t-lang=2", 0, 0);
    // The language number itself may be preceded by white space of any kind.
    expect("-lang=\t12", 0, 12);
}

TEST(CommandLine, LanguageNumberIsReadLikeAtolAndCutToEightBits)
{
    expect("-lang=0", 0, 0);
    expect("-lang=6", 0, 6);
    expect("-lang=30", 0, 30);
    expect("-lang=", 0, 0);
    expect("-lang=abc", 0, 0);
    expect("-lang=12abc", 0, 12);
    expect("-lang=300", 0, 44);
    expect("-lang=255", 0, 255);
    expect("-lang=256", 0, 0);
    expect("-lang=+7", 0, 7);
    expect("-lang=-1", 0, 255);
    expect("-lang=007", 0, 7);
    // Out of the 32-bit range: saturated alike on every build.
    expect("-lang=99999999999999999999", 0, 255);
    expect("-lang=-99999999999999999999", 0, 0);
    expect("-lang=2147483647", 0, 255);
    expect("-lang=4294967297", 0, 255);
}

TEST(CommandLine, LanguageIsReadFromTheSeventhCharacterWhereverTheOptionStands)
{
    // x-lang=6 contains "-lang=", but its seventh character on reads "=6": 0.
    expect("x-lang=6", 0, 0);
    expect("abcdef-lang=6", 0, 0);
    // The seventh character of "xx-lang=19" is "g": 0.
    expect("xx-lang=19", 0, 0);
    // Wherever "-lang=" stands, the number is read at the seventh character:
    // 789, cut to 8 bits.
    expect("123456789-lang=", 0, 21);
    expect("-lang=-lang=6", 0, 0);
    expect("-LANG=6", 0, 255);
}

TEST(CommandLine, FirstArgumentIsCutTo255CharactersBeforeTheComparisons)
{
    // -lang= followed by 250 digits: the 255 characters kept end in a 2.
    std::string digits(248, '0');
    std::string arg = "-lang=" + digits + "21";  // 256 characters: the final 1 is cut
    ASSERT_EQ(arg.size(), 256u);
    expect(arg.c_str(), 0, 2);
    // "-lang=" only behind the cut is not seen.
    std::string hidden = std::string(250, 'x') + "-lang=7";
    expect(hidden.c_str(), 0, 255);
    std::string just_fits = std::string(249, 'x') + "-lang=";
    ASSERT_EQ(just_fits.size(), 255u);
    expect(just_fits.c_str(), 0, 0);
    // A long quoted first argument is cut too, and the rest is ignored.
    std::string quoted = "\"" + std::string(300, 'y') + "\" -silent";
    expect(quoted.c_str(), 0, 255);
}

TEST(CommandLine, ProgramNameAndTheBlanksBehindItAreRemoved)
{
    auto tail = [](const char* line) { return std::string(command_line_tail(line)); };
    EXPECT_EQ(tail("tool.exe -silent"), "-silent");
    EXPECT_EQ(tail("\"C:\\Program Files\\tool.exe\" -silent -lang=3"), "-silent -lang=3");
    // A quoted name ends at its closing quote, even with text right behind it.
    EXPECT_EQ(tail("\"C:\\tool.exe\"-silent"), "-silent");
    EXPECT_EQ(tail("\"C:\\to\"ol.exe -silent"), "ol.exe -silent");
    // An unquoted name ends at the first character of code 32 or less, and
    // quotes inside it are ordinary characters.
    EXPECT_EQ(tail("C:\\tool.exe\t-silent"), "-silent");
    EXPECT_EQ(tail("C:\\a\"b c\"\\tool.exe -silent"), "c\"\\tool.exe -silent");
    // Characters above 127 (a name in the ANSI code page) belong to the name.
    EXPECT_EQ(tail("C:\\\xC9t\xE9\\tool.exe -lang=1"), "-lang=1");
    // Every blank and control character behind the name goes, nothing more.
    EXPECT_EQ(tail("tool.exe \t\r\n\x01 -silent x "), "-silent x ");
    EXPECT_EQ(tail("tool.exe"), "");
    EXPECT_EQ(tail("\"C:\\tool.exe"), "") << "unclosed quote: all of it is the name";
    EXPECT_EQ(tail("\"C:\\tool.exe\"   "), "");
    EXPECT_EQ(tail(""), "");
    EXPECT_EQ(tail(nullptr), "");
}

// The entry point takes its tail from the process's command line, so what
// the runtime strips behind the program name (a tab here) is gone before the
// first argument is read.
TEST(CommandLine, EntryPointReadsTheTailOfTheProcessCommandLine)
{
    worldtest::World w;
    w.program_file = worldtest::kBareProgram;
    w.until_ms = 1000;
    w.after = [](worldtest::Json& out) { out = {{"silent", (int)g_silent}, {"lang", (int)g_lang}}; };
    worldtest::WorldRun r = worldtest::run_tool(w, "\t-silent -lang=4");
    EXPECT_EQ(r.out["silent"], 1);
    EXPECT_EQ(r.out["lang"], LANG_NONE);
}
