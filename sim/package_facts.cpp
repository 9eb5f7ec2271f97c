// The package as the devices' side reads it: the program file's sections
// end where the package begins; the package is the INI text up to its end
// marker line, 32768 bytes of Bluetooth image, then the USB image.
#include "package_facts.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

namespace sim {

namespace {

const size_t kBtImageSize = 32768;
const size_t kBtSummedFrom = 0x300;
const char kEndMarker[] = "S__=END_OF_FILE";

uint32_t le32(const std::vector<uint8_t>& b, size_t at)
{
    return at + 4 <= b.size() ? (uint32_t)b[at] | (uint32_t)b[at + 1] << 8 | (uint32_t)b[at + 2] << 16 |
                                    (uint32_t)b[at + 3] << 24
                              : 0;
}

uint16_t le16(const std::vector<uint8_t>& b, size_t at)
{
    return at + 2 <= b.size() ? (uint16_t)(b[at] | b[at + 1] << 8) : 0;
}

// Where the raw data of the program's sections ends; false when the file
// is not a PE program.
bool sections_end(const std::vector<uint8_t>& file, size_t& end)
{
    if (file.size() < 0x40 || file[0] != 'M' || file[1] != 'Z')
        return false;
    size_t pe = le32(file, 0x3C);
    if (pe + 24 > file.size() || le32(file, pe) != 0x00004550)  // "PE\0\0"
        return false;
    size_t count = le16(file, pe + 6);
    size_t table = pe + 24 + le16(file, pe + 20);  // behind the optional header
    if (count == 0 || table + count * 40 > file.size())
        return false;
    end = 0;
    for (size_t n = 0; n < count; ++n) {
        size_t size = le32(file, table + n * 40 + 16), at = le32(file, table + n * 40 + 20);
        if (at != 0 && at + size > end)
            end = at + size;
    }
    return true;
}

std::string trim(const std::string& s)
{
    size_t a = 0, b = s.size();
    while (a < b && (unsigned char)s[a] <= ' ')
        ++a;
    while (b > a && (unsigned char)s[b - 1] <= ' ')
        --b;
    return s.substr(a, b - a);
}

bool same_text(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower((unsigned char)a[i]) != std::tolower((unsigned char)b[i]))
            return false;
    return true;
}

// The value of `key` in `[section]` of the INI text, or `fallback`.
std::string ini_value(const std::string& ini, const std::string& section, const std::string& key,
                      const std::string& fallback)
{
    bool inside = false;
    size_t at = 0;
    while (at < ini.size()) {
        size_t nl = ini.find('\n', at);
        std::string line = trim(ini.substr(at, nl == std::string::npos ? std::string::npos : nl - at));
        at = nl == std::string::npos ? ini.size() : nl + 1;
        if (!line.empty() && line[0] == '[') {
            if (inside)
                return fallback;
            size_t close = line.find(']');
            inside = close != std::string::npos && same_text(line.substr(1, close - 1), section);
            continue;
        }
        size_t eq = line.find('=');
        if (!inside || line.empty() || line[0] == ';' || line[0] == '#' || eq == std::string::npos ||
            !same_text(trim(line.substr(0, eq)), key))
            continue;
        std::string value = line.substr(eq + 1);
        size_t comment = value.find_first_of(";#");
        value = trim(value.substr(0, comment));
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        return value;
    }
    return fallback;
}

// Hexadecimal digits, blanks between them skipped.
uint32_t hex_value(const std::string& text)
{
    uint32_t v = 0;
    for (char c : text) {
        if (c == ' ')
            continue;
        if (!std::isxdigit((unsigned char)c))
            break;
        v = v * 16 +
            (uint32_t)(std::isdigit((unsigned char)c) ? c - '0' : std::tolower((unsigned char)c) - 'a' + 10);
    }
    return v;
}

void read_guid(const std::string& text, PackageFacts::Guid& g)
{
    unsigned f[11];
    if (std::sscanf(text.c_str(), "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", &f[0], &f[1], &f[2],
                    &f[3], &f[4], &f[5], &f[6], &f[7], &f[8], &f[9], &f[10]) != 11)
        return;
    g.data1 = f[0];
    g.data2 = (uint16_t)f[1];
    g.data3 = (uint16_t)f[2];
    for (int i = 0; i < 8; ++i)
        g.data4[i] = (uint8_t)f[3 + i];
}

// The length of a valid DFU file suffix at the image's end (0: none): the
// signature "UFD" and a CRC over everything but the CRC itself, the
// reflected CRC-32 without its final complement.
size_t dfu_suffix_length(const std::vector<uint8_t>& image)
{
    if (image.size() < 16)
        return 0;
    size_t s = image.size() - 16;
    if (image[s + 8] != 0x55 || image[s + 9] != 0x46 || image[s + 10] != 0x44)
        return 0;
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i + 4 < image.size(); ++i) {
        crc ^= image[i];
        for (int b = 0; b < 8; ++b)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc == le32(image, image.size() - 4) ? image[s + 11] : 0;
}

}  // namespace

bool read_package_facts(const std::string& program_file, PackageFacts& facts, std::string& error)
{
    facts = PackageFacts();
    std::ifstream in(program_file, std::ios::binary);
    if (!in) {
        error = "cannot read it";
        return false;
    }
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t start = 0;
    if (!sections_end(file, start)) {
        error = "not a program file";
        return false;
    }
    if (start >= file.size())
        return true;  // no package

    // The INI text runs up to and including its end marker line.
    size_t at = start, ini_end = 0;
    while (at < file.size() && !ini_end) {
        size_t nl = at;
        while (nl < file.size() && file[nl] != '\n')
            ++nl;
        std::string line;
        for (size_t i = at; i < nl; ++i)
            if (file[i] != '\r')
                line += (char)file[i];
        if (nl < file.size() && line == kEndMarker)
            ini_end = nl + 1;
        at = nl + 1;
    }
    if (!ini_end) {
        error = "its package has no end marker";
        return false;
    }
    std::string ini(file.begin() + (long)start, file.begin() + (long)ini_end);

    read_guid(ini_value(ini, "DFU", "INI_DFU_GUID", ""), facts.dfu_guid);
    facts.vid1 = (uint16_t)hex_value(ini_value(ini, "DFU", "INI_DFU_VID1", "1FC9"));
    facts.pid1 = (uint16_t)hex_value(ini_value(ini, "DFU", "INI_DFU_PID1", "5002"));
    facts.vid2 = (uint16_t)hex_value(ini_value(ini, "DFU", "INI_DFU_VID2", "1FC9"));
    facts.pid2 = (uint16_t)hex_value(ini_value(ini, "DFU", "INI_DFU_PID2", "000C"));
    facts.nxp = hex_value(ini_value(ini, "MAIN", "INI_VER_NXP", "0000"));
    facts.bt = hex_value(ini_value(ini, "MAIN", "INI_VER_BT", "0000"));
    // The Bluetooth image follows the marker line; bytes from 0x300 on are summed.
    size_t bt_end = std::min(file.size(), ini_end + kBtImageSize);
    for (size_t i = ini_end + kBtSummedFrom; i < bt_end; ++i)
        facts.bt_sum += file[i];
    facts.bt_image.assign(file.begin() + (long)ini_end, file.begin() + (long)bt_end);
    facts.usb_download.assign(file.begin() + (long)bt_end, file.end());
    size_t suffix = dfu_suffix_length(facts.usb_download);
    if (suffix <= facts.usb_download.size())
        facts.usb_download.resize(facts.usb_download.size() - suffix);
    facts.present = true;
    return true;
}

}  // namespace sim
