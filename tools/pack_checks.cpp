// The checks of `tessel-pack build` and `tessel-pack lint`. Values are read
// with the tool's own INI reader; only the search for keys the tool never
// reads walks the INI text itself, with the reader's grammar.
#include "pack_checks.h"

#include "image_info.h"

#include "package/ini.h"
#include "package/package.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>

namespace {

// Marks a key as absent: no INI value can hold this byte alone.
const char* const kAbsent = "\x01";

struct Checker {
    std::vector<Finding> found;

    void error(const std::string& field, const std::string& text) { found.push_back({true, field, text}); }
    void warning(const std::string& field, const std::string& text) { found.push_back({false, field, text}); }
};

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

uint32_t u16_at(const uint8_t* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8);
}
uint32_t u32_at(const uint8_t* p)
{
    return u16_at(p) | (u16_at(p + 2) << 16);
}

// The value as the tool's reader finds it (longer than the tool's buffers,
// so that over-long values show), or kAbsent.
std::string ini_value(const char* section, const char* key)
{
    char buf[1024];
    ini_get_string(section, key, kAbsent, buf, sizeof buf);
    return buf;
}

bool all_of(const std::string& s, const char* set)
{
    if (s.empty())
        return false;
    for (char c : s)
        if (!strchr(set, c) || c == '\0')
            return false;
    return true;
}

const char* const kHex = "0123456789abcdefABCDEF";
const char* const kDecimal = "0123456789";

std::string quoted(const std::string& s)
{
    return "\"" + s + "\"";
}

// Offset of the first byte that is not part of well-formed UTF-8, or -1.
long utf8_fault(const std::string& s)
{
    const unsigned char* p = (const unsigned char*)s.data();
    size_t n = s.size();
    for (size_t i = 0; i < n;) {
        unsigned c = p[i];
        size_t len;
        uint32_t cp;
        if (c < 0x80) {
            i++;
            continue;
        } else if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
        } else {
            return long(i);
        }
        if (i + len > n)
            return long(i);
        for (size_t k = 1; k < len; k++) {
            if ((p[i + k] & 0xC0) != 0x80)
                return long(i);
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        // Overlong forms, UTF-16 surrogates and code points past U+10FFFF.
        if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
            (cp >= 0xD800 && cp <= 0xDFFF))
            return long(i);
        i += len;
    }
    return -1;
}

// "S02..S16" for a run, "S02, S05" otherwise; likewise for sections.
std::string name_runs(const std::vector<unsigned>& numbers, const char* prefix)
{
    std::string out;
    for (size_t i = 0; i < numbers.size();) {
        size_t j = i;
        while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1)
            j++;
        if (!out.empty())
            out += ", ";
        out += format("%s%02u", prefix, numbers[i]);
        if (j > i)
            out += format("..%s%02u", prefix, numbers[j]);
        i = j + 1;
    }
    return out;
}

void check_images(Checker& c, const PackagePieces& p)
{
    if (p.bt.empty())
        c.error("Bluetooth image", "empty");
    else if (p.bt.size() != BT_IMAGE_MAX)
        c.error("Bluetooth image",
                format("%zu bytes; it must have exactly %u (the USB image begins behind them)", p.bt.size(),
                       (unsigned)BT_IMAGE_MAX));

    if (p.usb.empty()) {
        c.error("USB image", "empty");
        return;
    }
    const size_t n = p.usb.size();
    const uint8_t* s = n >= DFU_SUFFIX_SIZE ? p.usb.data() + n - DFU_SUFFIX_SIZE : nullptr;
    if (!s || s[8] != 'U' || s[9] != 'F' || s[10] != 'D') {
        c.warning("USB image",
                  "no DFU suffix (its last 16 bytes are not one): the whole image is downloaded and "
                  "nothing ties it to a device");
        return;
    }
    uint32_t stored = u32_at(s + 12);
    uint32_t computed = dfu_crc32(p.usb.data(), n - 4);
    if (stored != computed) {
        c.error("USB image",
                format("DFU suffix CRC is 0x%08X but the image gives 0x%08X: the tool would send the "
                       "suffix as firmware",
                       stored, computed));
        return;
    }
    if (s[11] != DFU_SUFFIX_SIZE) {
        c.error("USB image", format("DFU suffix bLength is %u, not 16", s[11]));
        return;
    }
    if (n == DFU_SUFFIX_SIZE) {
        c.error("USB image", "holds nothing but its DFU suffix");
        return;
    }
    // 0xFFFF in the suffix means any vendor or product.
    uint32_t vid = u16_at(s + 4), pid = u16_at(s + 2);
    auto fits = [&](uint32_t want_vid, uint32_t want_pid) {
        return (vid == 0xFFFF || vid == want_vid) && (pid == 0xFFFF || pid == want_pid);
    };
    if (!fits(INI_DFU_VID1, INI_DFU_PID1) && !fits(INI_DFU_VID2, INI_DFU_PID2))
        c.error("USB image",
                format("DFU suffix is for %04x:%04x, not for the boot loader of INI_DFU_VID1/PID1 "
                       "(%04x:%04x) or INI_DFU_VID2/PID2 (%04x:%04x)",
                       vid, pid, INI_DFU_VID1, INI_DFU_PID1, INI_DFU_VID2, INI_DFU_PID2));
}

// Hook for a check to come: where the USB or Bluetooth image carries the
// synthetic info block, its version must equal the INI's INI_VER_NXP or
// INI_VER_BT. The block's layout is not defined yet; until it is, this
// checks nothing. Add its findings to `c` like the checks around it.
// An image of the sample image layout states its own version: it must be
// the one the INI announces, which the tool checks the keyboard against.
void check_image_info_block(Checker& c, const PackagePieces& p)
{
    struct Piece {
        const std::vector<uint8_t>* image;
        bool usb;
        const char* key;
        const char* name;
    };
    for (const Piece& piece : {Piece{&p.usb, true, "INI_VER_NXP", "USB image"},
                               Piece{&p.bt, false, "INI_VER_BT", "Bluetooth image"}}) {
        ImageInfo info = read_image_info(piece.image->data(), piece.image->size(), piece.usb);
        if (!info.has_block)
            continue;
        std::string v = ini_value("MAIN", piece.key);
        bool hex = v != kAbsent && v.size() == 4 && all_of(v, kHex);
        if (hex && strtoul(v.c_str(), nullptr, 16) != info.version)
            c.error(std::string("[MAIN] ") + piece.key,
                    format("\"%s\" differs from the version %04X in the %s's info block", v.c_str(),
                           info.version, piece.name));
        if (!info.crc_ok)
            c.error(piece.name,
                    "its info block's CRC-32 does not match the image: the keyboard would not start it");
    }
}

void check_versions(Checker& c)
{
    for (const char* key : {"INI_VER_NXP", "INI_VER_BT"}) {
        std::string field = std::string("[MAIN] ") + key;
        std::string v = ini_value("MAIN", key);
        if (v == kAbsent)
            c.error(field, "missing (the tool would use 0000)");
        else if (v.size() != 4 || !all_of(v, kHex))
            c.error(field, quoted(v) + " is not four hexadecimal digits");
    }
}

// A present value of `key` in [DFU] must be decimal digits within lo..hi.
void check_decimal(Checker& c, const char* key, unsigned long lo, unsigned long hi, const char* what)
{
    std::string v = ini_value("DFU", key);
    if (v == kAbsent)
        return;
    bool ok = all_of(v, kDecimal) && v.size() <= 9;
    unsigned long n = ok ? strtoul(v.c_str(), nullptr, 10) : 0;
    if (!ok || n < lo || n > hi)
        c.error(std::string("[DFU] ") + key,
                format("%s is not %s of %lu to %lu", quoted(v).c_str(), what, lo, hi));
}

void check_dfu_settings(Checker& c)
{
    std::string guid = ini_value("DFU", "INI_DFU_GUID");
    if (guid != kAbsent) {
        unsigned f[11];
        int used = -1;
        int got = sscanf(guid.c_str(), "%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x%n", &f[0], &f[1], &f[2], &f[3],
                         &f[4], &f[5], &f[6], &f[7], &f[8], &f[9], &f[10], &used);
        bool shape = guid.size() == 36;
        for (size_t i = 0; shape && i < 36; i++)
            shape =
                (i == 8 || i == 13 || i == 18 || i == 23) ? guid[i] == '-' : strchr(kHex, guid[i]) != nullptr;
        if (got != 11 || used != 36 || !shape)
            c.error("[DFU] INI_DFU_GUID",
                    quoted(guid) + " is not a GUID of the form xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx");
    }
    for (const char* key : {"INI_DFU_VID1", "INI_DFU_PID1", "INI_DFU_VID2", "INI_DFU_PID2"}) {
        std::string v = ini_value("DFU", key);
        if (v != kAbsent && (v.size() > 4 || !all_of(v, kHex)))
            c.error(std::string("[DFU] ") + key,
                    quoted(v) + " is not a 16-bit ID of 1 to 4 hexadecimal digits");
    }
    check_decimal(c, "INI_DFU_INTERFACE", 0, 255, "an interface number");
    check_decimal(c, "INI_DFU_DETACH_DELAY", 0, 65535, "a delay in milliseconds");
    check_decimal(c, "INI_DFU_TRANSFER_SIZE", 1, 4096, "a transfer size in bytes");

    std::string allow = ini_value("MAIN", "INI_ALLOW_DOWNGRADE");
    if (allow != kAbsent && (allow.size() > 2 || !all_of(allow, kHex)))
        c.error("[MAIN] INI_ALLOW_DOWNGRADE",
                quoted(allow) + " is not 0 (refuse downgrades) or 1 (allow them)");
}

void check_messages(Checker& c)
{
    // Languages grouped by the messages they lack.
    std::map<std::vector<unsigned>, std::vector<unsigned>> lacking;
    for (unsigned lang = 0; lang <= 30; lang++) {
        char section[16];
        snprintf(section, sizeof section, "LANG%02u", lang);
        std::vector<unsigned> missing;
        for (unsigned n = 1; n <= 16; n++) {
            char key[8];
            snprintf(key, sizeof key, "S%02u", n);
            std::string v = ini_value(section, key);
            if (v == kAbsent || v.empty()) {  // an empty value counts as missing
                missing.push_back(n);
                continue;
            }
            std::string field = format("[%s] %s", section, key);
            long bad = utf8_fault(v);
            if (bad >= 0) {
                c.error(field, format("not valid UTF-8 (byte %ld of %zu)", bad, v.size()));
            } else if (v.size() > MESSAGE_MAX_BYTES) {
                bool splits = (uint8_t(v[MESSAGE_MAX_BYTES]) & 0xC0) == 0x80;
                c.error(field,
                        format("%zu bytes; the tool shows at most %u and would cut it %s", v.size(),
                               (unsigned)MESSAGE_MAX_BYTES, splits ? "inside a UTF-8 character" : "there"));
            }
        }
        if (missing.empty())
            continue;
        if (lang == 0)
            c.error("[LANG00] " + name_runs(missing, "S"),
                    "missing; English is the last fallback, so the tool would show an empty text");
        else
            lacking[missing].push_back(lang);
    }
    for (const auto& group : lacking) {
        std::string langs = name_runs(group.second, "LANG");
        c.warning("messages", format("%s (%zu language%s) lack%s %s, which fall%s back to English",
                                     langs.c_str(), group.second.size(), group.second.size() == 1 ? "" : "s",
                                     group.second.size() == 1 ? "s" : "", name_runs(group.first, "S").c_str(),
                                     group.first.size() == 1 ? "s" : ""));
    }
}

std::string upper(std::string s)
{
    for (char& ch : s)
        if (ch >= 'a' && ch <= 'z')
            ch = char(ch - 'a' + 'A');
    return s;
}

bool is_blank(char ch)
{
    return (unsigned char)ch >= 0x01 && (unsigned char)ch <= 0x20;
}

std::string trim(const std::string& s)
{
    size_t a = 0, b = s.size();
    while (a < b && is_blank(s[a]))
        a++;
    while (b > a && is_blank(s[b - 1]))
        b--;
    return s.substr(a, b - a);
}

// Keys the tool reads in a section of that name (upper case); false for a
// section it never reads.
bool known_keys(const std::string& section, std::set<std::string>& keys)
{
    keys.clear();
    if (section == "MAIN") {
        keys = {"STRING_DATE_CODE", "INI_DATE_CODE", "INI_VER_NXP", "INI_VER_BT", "INI_ALLOW_DOWNGRADE"};
        return true;
    }
    if (section == "DFU") {
        keys = {"INI_DFU_GUID", "INI_DFU_VID1",      "INI_DFU_PID1",         "INI_DFU_VID2",
                "INI_DFU_PID2", "INI_DFU_INTERFACE", "INI_DFU_DETACH_DELAY", "INI_DFU_TRANSFER_SIZE"};
        return true;
    }
    if (section == "LANG__") {
        keys = {"S__"};  // the end marker's own line
        return true;
    }
    if (section.size() == 6 && section.compare(0, 4, "LANG") == 0 && all_of(section.substr(4), kDecimal) &&
        atoi(section.c_str() + 4) <= 30) {
        for (unsigned n = 1; n <= 16; n++)
            keys.insert(format("S%02u", n));
        return true;
    }
    return false;
}

// Walks the INI text with the reader's grammar: sections the tool never
// reads, keys it never reads, and the second of two equal keys or sections,
// which it never reaches.
void check_keys(Checker& c, const std::vector<uint8_t>& ini)
{
    std::string text(ini.begin(), ini.end());
    std::set<std::string> seen_sections, seen_keys, keys;
    std::string section;  // "" before the first header
    bool known = false, duplicate_section = false;
    size_t at = 0;
    while (at < text.size()) {
        size_t lf = text.find('\n', at);
        std::string line = trim(text.substr(at, lf == std::string::npos ? std::string::npos : lf - at));
        at = lf == std::string::npos ? text.size() : lf + 1;
        if (line.empty() || line[0] == ';' || line[0] == '#')
            continue;
        if (line[0] == '[') {
            size_t close = line.find(']');
            if (close == std::string::npos)
                continue;  // not a header; the reader skips it as a line without key
            section = line.substr(1, close - 1);
            std::string name = upper(section);
            known = known_keys(name, keys);
            duplicate_section = !seen_sections.insert(name).second;
            seen_keys.clear();
            if (duplicate_section)
                c.warning("[" + section + "]",
                          "a second section of this name; the tool reads only the first");
            else if (!known)
                c.warning("[" + section + "]", "unknown section; the tool never reads it");
            continue;
        }
        size_t sep = line.find('=');
        if (sep == std::string::npos)
            sep = line.find(':');
        if (sep == std::string::npos)
            continue;
        std::string key = trim(line.substr(0, sep));
        std::string field = (section.empty() ? "(before any section)" : "[" + section + "]") + " " + key;
        if (duplicate_section || (!section.empty() && !known))
            continue;  // said once for the section
        if (section.empty() || !keys.count(upper(key)))
            c.warning(field, "unknown key; the tool never reads it");
        else if (!seen_keys.insert(upper(key)).second)
            c.warning(field, "a second value; the tool reads only the first");
    }
}

}  // namespace

std::vector<Finding> check_package(const PackagePieces& pieces)
{
    Checker c;
    check_images(c, pieces);
    check_image_info_block(c, pieces);
    check_versions(c);
    check_dfu_settings(c);
    check_messages(c);
    check_keys(c, pieces.ini);
    return c.found;
}

std::string finding_line(const Finding& f, bool as_warning)
{
    return std::string(f.error && !as_warning ? "error: " : "warning: ") + f.field + ": " + f.text;
}
