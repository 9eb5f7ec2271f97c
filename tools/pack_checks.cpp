// The checks of `tessel-pack build` and `tessel-pack lint`. Values are read
// with the tool's own INI reader; only the search for keys the tool never
// reads walks the INI text itself, with the reader's grammar.
#include "pack_checks.h"

#include "image_info.h"

#include "package/ini_text.h"
#include "package/package_parse.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <map>
#include <set>

namespace {

// Marks a key as absent: no INI value can hold this byte alone.
const char* const kAbsent = "\x01";

struct Checker {
    std::vector<Finding> found;
    const IniText* text;  // the INI text as the tool reads it
    IniConfig config;     // its values as the tool converts them

    void error(const std::string& field, const std::string& text) { found.push_back({true, field, text}); }
    void warning(const std::string& field, const std::string& text) { found.push_back({false, field, text}); }
};

// MinGW's printf archetype is the C runtime's, without %zu; tessel-pack.exe
// is built with MinGW's own printf, which has it.
#ifdef __MINGW32__
std::string format(const char* fmt, ...) __attribute__((format(gnu_printf, 1, 2)));
#else
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
#endif
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
std::string ini_value(const Checker& c, const char* section, const char* key)
{
    char buf[1024];
    ini_text_get_string(c.text, section, key, kAbsent, buf, sizeof buf);
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

void check_images(Checker& c, const PackagePieces& p, uint32_t flash_size)
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
    // What the tool downloads: the image without a valid suffix.
    size_t sent = n - dfu_suffix_length(p.usb.data(), int32_t(n));
    if (flash_size && sent > flash_size)
        c.error("USB image",
                format("%zu bytes to download, more than the --flash-size of %u", sent, flash_size));
    else if (sent > USB_FLASH_BYTES)
        c.warning("USB image",
                  format("%zu bytes to download; no keyboard of this family has more than %u bytes "
                         "(64 KiB) of USB flash",
                         sent, (unsigned)USB_FLASH_BYTES));
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
    const IniConfig& ini = c.config;
    if (!fits(ini.dfu_vid1, ini.dfu_pid1) && !fits(ini.dfu_vid2, ini.dfu_pid2))
        c.error("USB image",
                format("DFU suffix is for %04x:%04x, not for the boot loader of INI_DFU_VID1/PID1 "
                       "(%04x:%04x) or INI_DFU_VID2/PID2 (%04x:%04x)",
                       vid, pid, ini.dfu_vid1, ini.dfu_pid1, ini.dfu_vid2, ini.dfu_pid2));
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
        std::string v = ini_value(c, "MAIN", piece.key);
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
        std::string v = ini_value(c, "MAIN", key);
        if (v == kAbsent)
            c.error(field, "missing (the tool would use 0000)");
        else if (v.size() != 4 || !all_of(v, kHex))
            c.error(field, quoted(v) + " is not four hexadecimal digits");
    }
}

// A present value of `key` in [DFU] must be decimal digits within lo..hi.
void check_decimal(Checker& c, const char* key, unsigned long lo, unsigned long hi, const char* what)
{
    std::string v = ini_value(c, "DFU", key);
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
    std::string guid = ini_value(c, "DFU", "INI_DFU_GUID");
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
        std::string v = ini_value(c, "DFU", key);
        if (v != kAbsent && (v.size() > 4 || !all_of(v, kHex)))
            c.error(std::string("[DFU] ") + key,
                    quoted(v) + " is not a 16-bit ID of 1 to 4 hexadecimal digits");
    }
    check_decimal(c, "INI_DFU_INTERFACE", 0, 255, "an interface number");
    check_decimal(c, "INI_DFU_DETACH_DELAY", 0, 65535, "a delay in milliseconds");
    check_decimal(c, "INI_DFU_TRANSFER_SIZE", 1, 4096, "a transfer size in bytes");

    std::string allow = ini_value(c, "MAIN", "INI_ALLOW_DOWNGRADE");
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
            std::string v = ini_value(c, section, key);
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

// The value of `key` on a single line, cleaned as the tool's reader cleans it.
struct OneLine {
    const std::string* line;
    bool given;
};
bool one_line(void* source, char* line)
{
    OneLine* o = (OneLine*)source;
    if (o->given)
        return false;
    o->given = true;
    snprintf(line, INI_LINE_SIZE, "%s", o->line->c_str());
    return true;
}
std::string line_value(const std::string& line, const std::string& key)
{
    OneLine o = {&line, false};
    char buf[INI_LINE_SIZE];
    return ini_find_value(one_line, &o, "", key.c_str(), buf, sizeof buf) ? buf : "";
}

const char* const kBom = "\xEF\xBB\xBF";

// Walks the INI text with the reader's grammar: sections the tool never
// reads, keys it never reads, the second of two equal keys or sections,
// which it never reaches, and byte order marks, which it reads as text.
void check_keys(Checker& c, const std::vector<uint8_t>& ini)
{
    std::string text(ini.begin(), ini.end());
    std::set<std::string> seen_sections, keys;
    std::map<std::string, std::string> first_values;  // of the current section, by key in upper case
    std::string section;                              // "" before the first header
    bool known = false, duplicate_section = false;
    size_t at = 0;
    unsigned number = 0;
    while (at < text.size()) {
        size_t lf = text.find('\n', at);
        std::string raw = text.substr(at, lf == std::string::npos ? std::string::npos : lf - at);
        std::string line = trim(raw);
        at = lf == std::string::npos ? text.size() : lf + 1;
        number++;
        bool bom = line.compare(0, 3, kBom) == 0;
        if (bom) {
            // Judged as the author meant it; the tool sees the mark as text.
            line = trim(line.substr(3));
            raw = line;
        }
        if (line.empty() || line[0] == ';' || line[0] == '#') {
            if (bom)
                c.warning(format("INI text line %u", number),
                          "a UTF-8 byte order mark (EF BB BF), which the tool reads as text");
            continue;
        }
        if (line[0] == '[') {
            size_t close = line.find(']');
            if (close == std::string::npos)
                continue;  // not a header; the reader skips it as a line without key
            section = line.substr(1, close - 1);
            std::string name = upper(section);
            known = known_keys(name, keys);
            duplicate_section = !seen_sections.insert(name).second;
            first_values.clear();
            if (bom)
                c.error("[" + section + "]",
                        "a UTF-8 byte order mark (EF BB BF) stands before the header: the "
                        "tool does not see this section");
            else if (duplicate_section)
                c.warning("[" + section + "]",
                          "a second section of this name; the tool reads only the first");
            else if (!known)
                c.warning("[" + section + "]", "unknown section; the tool never reads it");
            continue;
        }
        size_t sep = line.find('=');
        if (sep == std::string::npos)
            sep = line.find(':');
        if (sep == std::string::npos) {
            if (bom)
                c.warning(format("INI text line %u", number),
                          "a UTF-8 byte order mark (EF BB BF), which the tool reads as text");
            continue;
        }
        std::string key = trim(line.substr(0, sep));
        std::string field = (section.empty() ? "(before any section)" : "[" + section + "]") + " " + key;
        bool read_here = !duplicate_section && !section.empty() && known && keys.count(upper(key));
        if (bom) {
            if (read_here)
                c.error(field, "a UTF-8 byte order mark (EF BB BF) stands before the key: the tool does not "
                               "find it");
            else
                c.warning(format("INI text line %u", number),
                          "a UTF-8 byte order mark (EF BB BF), which the tool reads as text");
            continue;
        }
        if (duplicate_section || (!section.empty() && !known))
            continue;  // said once for the section
        if (!read_here) {
            c.warning(field, "unknown key; the tool never reads it");
            continue;
        }
        std::string value = line_value(raw, key);
        auto first = first_values.find(upper(key));
        if (first == first_values.end())
            first_values[upper(key)] = value;
        else if (first->second == value)
            c.warning(field, "a second, equal value; the tool reads only the first");
        else
            c.error(field, format("a second value %s; the tool reads only the first, %s",
                                  quoted(value).c_str(), quoted(first->second).c_str()));
    }
}

}  // namespace

std::vector<Finding> check_program(const uint8_t* file, size_t size)
{
    Checker c;
    const char* const kField = "program";
    if (size < 0x40 || file[0] != 'M' || file[1] != 'Z') {
        c.error(kField, "no MZ header: not a Windows program");
        return c.found;
    }
    uint32_t lfanew = u32_at(file + 0x3C);
    if (size_t(lfanew) + 24 + 2 > size) {
        c.error(kField, format("e_lfanew 0x%X points outside the file (%zu bytes)", lfanew, size));
        return c.found;
    }
    const uint8_t* pe = file + lfanew;
    if (memcmp(pe, "PE\0\0", 4) != 0) {
        c.error(kField, format("no PE signature at e_lfanew 0x%X (%02X %02X %02X %02X, not 50 45 00 00)",
                               lfanew, pe[0], pe[1], pe[2], pe[3]));
        return c.found;
    }
    if (lfanew >= 3832) {
        c.error(kField, format("e_lfanew 0x%X is not below 3832: the tool's section walk would not find the "
                               "package and would read the program from its first byte",
                               lfanew));
        return c.found;
    }
    uint32_t magic = u16_at(pe + 24);
    if (magic != 0x20B) {
        c.error(kField, format("optional header magic 0x%X: not a PE32+ (64-bit) program", magic));
        return c.found;
    }
    uint32_t opt_size = u16_at(pe + 20);
    if (opt_size != 240) {
        c.error(kField, format("SizeOfOptionalHeader is %u: Windows finds the section table there, but the "
                               "tool's section walk assumes the 240 bytes of a PE32+ optional header",
                               opt_size));
        return c.found;
    }
    uint32_t sections = u16_at(pe + 6);
    size_t table = size_t(lfanew) + 264, table_end = table + size_t(sections) * 40;
    if (sections == 0) {
        c.error(kField, "no sections");
        return c.found;
    }
    if (table_end > size) {
        c.error(kField, format("the section table (%u sections) ends at %zu, beyond the file's %zu bytes",
                               sections, table_end, size));
        return c.found;
    }
    uint32_t entry = u32_at(pe + 24 + 16);
    bool entry_inside = false;
    uint32_t last_end = 0;
    for (uint32_t i = 0; i < sections; i++) {
        const uint8_t* s = file + table + size_t(i) * 40;
        uint32_t vsize = u32_at(s + 8), va = u32_at(s + 12), raw_size = u32_at(s + 16),
                 raw_ptr = u32_at(s + 20);
        uint32_t extent = vsize > raw_size ? vsize : raw_size;
        entry_inside = entry_inside || (entry >= va && entry - va < extent);
        if (raw_ptr != 0 && raw_size != 0 && uint64_t(raw_ptr) + raw_size > last_end)
            last_end = uint32_t(std::min<uint64_t>(uint64_t(raw_ptr) + raw_size, 0xFFFFFFFFu));
    }
    if (!entry_inside)
        c.error(kField, format("the entry point 0x%X lies in no section", entry));
    PackageParts parts;
    parse_package(file, size, &parts);
    if (last_end != parts.start)
        c.error(kField, format("the last section's raw data ends at %u, but the tool's section walk puts the "
                               "package at %u",
                               last_end, parts.start));
    return c.found;
}

std::vector<Finding> check_package(const PackagePieces& pieces, const IniText& text, uint32_t flash_size)
{
    Checker c;
    c.text = &text;
    ini_text_config(&text, &c.config);
    check_images(c, pieces, flash_size);
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
