// The stand-in's text services: UTF-8 to UTF-16 as Windows converts it,
// and wsprintfA for the formats the tool uses.
#include "unit/package/package_fixture.h"

#include <string>

namespace {

std::u16string convert(const std::string& s, int src_len = -2)
{
    WCHAR out[512];
    int len = src_len == -2 ? int(s.size()) : src_len;
    int n = MultiByteToWideChar(CP_UTF8, 0, s.c_str(), len, out, 512);
    return std::u16string(out, size_t(n > 0 ? n : 0));
}

TEST(HostText, Utf8DecodingAsWindowsDoesIt)
{
    EXPECT_EQ(convert("Mettre \xC3\xA0 jour"), u"Mettre \u00E0 jour");
    EXPECT_EQ(convert("\xE6\x9B\xB4\xE6\x96\xB0"), u"\u66F4\u65B0");
    EXPECT_EQ(convert("\xF0\x9F\x98\x80"), std::u16string(u"\xD83D\xDE00")) << "surrogate pair";
    EXPECT_EQ(convert("\xF4\x8F\xBF\xBF"), std::u16string(u"\xDBFF\xDFFF"));
    // Each maximal ill-formed subpart becomes one U+FFFD.
    EXPECT_EQ(convert("a\x80"
                      "b"),
              u"a\uFFFDb");
    EXPECT_EQ(convert("\xC3"), u"\uFFFD") << "cut at the end";
    EXPECT_EQ(convert("\xE6\x9B"
                      "A"),
              u"\uFFFDA")
        << "truncated three-byte sequence";
    EXPECT_EQ(convert("\xC0\xAF"), u"\uFFFD\uFFFD") << "overlong lead byte";
    EXPECT_EQ(convert("\xE0\x80\xAF"), u"\uFFFD\uFFFD\uFFFD") << "overlong three-byte form";
    EXPECT_EQ(convert("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD") << "encoded surrogate";
    EXPECT_EQ(convert("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD") << "above U+10FFFF";
    EXPECT_EQ(convert("\xF5\xFF"), u"\uFFFD\uFFFD");
    EXPECT_EQ(convert("\xF0\x9F\x98"
                      "x"),
              u"\uFFFDx");
}

TEST(HostText, Utf8LengthsAndBuffers)
{
    const char* s = "\xC3\xA9t\xC3\xA9";  // "été"
    // -1 takes the terminating NUL along.
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, s, -1, nullptr, 0), 4);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, s, 5, nullptr, 0), 3);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "\xF0\x9F\x98\x80", -1, nullptr, 0), 3);
    WCHAR out[4];
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, s, -1, out, 4), 4);
    EXPECT_EQ(std::u16string(out), u"\u00E9t\u00E9");
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, s, -1, out, 3), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, s, 0, out, 4), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(MultiByteToWideChar(1252, 0, s, -1, out, 4), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0x1, s, -1, out, 4), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FLAGS));
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\x80", -1, out, 4), 0);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_UNICODE_TRANSLATION));
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "ab", -1, out, 4), 3);
    // Embedded NUL is a character like any other when the length is given.
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a\0b", 3, out, 4), 3);
    EXPECT_EQ(out[1], 0);
    EXPECT_EQ(out[2], u'b');
}

std::string fmt_result;
template <typename... A>
int fmt(const char* f, A... args)
{
    char buf[1100];
    memset(buf, 'Z', sizeof buf);
    int n = wsprintfA(buf, f, args...);
    fmt_result = buf;
    return n;
}

TEST(HostText, WsprintfFormatsOfTheTool)
{
    EXPECT_EQ(fmt("%04u/%02u/%02u-%02u:%02u:%02u error=%u\r\n", 2024u, 3u, 5u, 9u, 5u, 7u, 0u), 29);
    EXPECT_EQ(fmt_result, "2024/03/05-09:05:07 error=0\r\n");
    fmt(" NXP=%04X, BT=%04X, Sonix=%02X", 0x352u, 0xa23fu, 0x12u);
    EXPECT_EQ(fmt_result, " NXP=0352, BT=A23F, Sonix=12");
    fmt("S%02u LANG%02u LANG%02u", 5u, 30u, 254u);
    EXPECT_EQ(fmt_result, "S05 LANG30 LANG254");
    fmt("NXP = %s, BT = %s", "0353", "A23F");
    EXPECT_EQ(fmt_result, "NXP = 0353, BT = A23F");
    fmt("%d|%d|%i|%u", -5, 2147483647, int(0x80000000u), 0xFFFFFFFFu);
    EXPECT_EQ(fmt_result, "-5|2147483647|-2147483648|4294967295");
    fmt("%x|%X|%08x|%#x|%#X", 0xabcu, 0xabcu, 0x1fu, 255u, 255u);
    EXPECT_EQ(fmt_result, "abc|ABC|0000001f|0xff|0XFF");
    fmt("[%5d][%-5d][%05d][%-05d][%3s][%-3s|][%c][%%][%.2s][%.3u]", 42, 42, -42, 7, "a", "b", 'q', "xyz", 5u);
    EXPECT_EQ(fmt_result, "[   42][42   ][-0042][7    ][  a][b  |][q][%][xy][005]");
    fmt("%s", static_cast<const char*>(nullptr));
    EXPECT_EQ(fmt_result, "(null)");
    fmt("%lu %ld %lX", 7u, -7, 0xBEEFu);
    EXPECT_EQ(fmt_result, "7 -7 BEEF");
    fmt("%q");
    EXPECT_EQ(fmt_result, "q") << "not a conversion: the character itself";
}

TEST(HostText, WsprintfStoresAtMost1024Bytes)
{
    std::string big(2000, 'b');
    EXPECT_EQ(fmt("%s", big.c_str()), 1023);
    EXPECT_EQ(fmt_result, std::string(1023, 'b'));
    EXPECT_EQ(fmt("x%sy", big.c_str()), 1023);
    EXPECT_EQ(fmt_result, "x" + std::string(1022, 'b'));
}

}  // namespace
