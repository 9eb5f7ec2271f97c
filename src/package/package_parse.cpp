// Finding the update package in the program file's bytes.
//
// The package has no header of its own: it starts behind the raw data of the
// executable's last section, its INI text ends with the line
// "S__=END_OF_FILE", the Bluetooth image behind it has a fixed size of 32768
// bytes, and the USB image runs to the end of the file, or, in a program file
// signed after the package was appended, to the Authenticode certificate
// table that the signing put behind it.
#include "package/package_parse.h"

#include <cstring>

#define HEAD_READ_SIZE 4096  // the first read of the program file
#define PE_LFANEW_LIMIT 3832
#define PE_TABLE_OFFSET 264  // signature, file header, PE32+ optional header
#define PE_SECTION_SIZE 40
#define BT_UNSUMMED 768
#define PE_OPT_OFFSET 24  // the optional header behind signature and file header
#define PE32PLUS_MAGIC 0x20B
#define PE32PLUS_DIR_COUNT 108    // NumberOfRvaAndSizes in a PE32+ optional header
#define PE32PLUS_DIRECTORIES 112  // the data directory in a PE32+ optional header
#define DIR_SECURITY 4            // IMAGE_DIRECTORY_ENTRY_SECURITY

static uint32_t get_u16(const uint8_t* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8);
}

static uint32_t get_u32(const uint8_t* p)
{
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}

uint32_t pe_header_size(const uint8_t* head, size_t len)
{
    if (!head || len < 0x40 || head[0] != 0x4D || head[1] != 0x5A)
        return 0;
    uint32_t lfanew = get_u32(head + 0x3C);
    if (lfanew >= PE_LFANEW_LIMIT || size_t(lfanew) + 8 > len)
        return 0;
    const uint8_t* pe = head + lfanew;
    if (pe[0] != 'P' || pe[1] != 'E' || pe[2] != 0 || pe[3] != 0)
        return 0;
    uint32_t sections = get_u16(pe + 6);
    if (sections == 0)
        return 0;
    return lfanew + PE_TABLE_OFFSET + sections * PE_SECTION_SIZE;
}

uint32_t pe_package_start(const uint8_t* head, size_t len)
{
    uint32_t table_end = pe_header_size(head, len);
    if (table_end == 0)
        return 0;
    uint32_t lfanew = get_u32(head + 0x3C);
    uint32_t sections = get_u16(head + lfanew + 6);
    size_t table = size_t(lfanew) + PE_TABLE_OFFSET;
    uint32_t result = 0;
    uint32_t highest = 0;
    for (uint32_t i = 0; i < sections; i++) {
        size_t at = table + size_t(i) * PE_SECTION_SIZE;
        if (at + PE_SECTION_SIZE > len)
            break;  // the rest of the table was not read
        uint32_t raw_size = get_u32(head + at + 16);
        uint32_t raw_ptr = get_u32(head + at + 20);
        if (raw_ptr > highest) {
            highest = raw_ptr;
            result = raw_ptr + raw_size;
        }
    }
    return result;
}

bool pe_certificate_table(const uint8_t* head, size_t len, uint32_t* offset, uint32_t* size)
{
    if (pe_header_size(head, len) == 0)
        return false;
    size_t opt = size_t(get_u32(head + 0x3C)) + PE_OPT_OFFSET;
    size_t entry = opt + PE32PLUS_DIRECTORIES + DIR_SECURITY * 8;
    if (entry + 8 > len || get_u16(head + opt) != PE32PLUS_MAGIC ||
        get_u32(head + opt + PE32PLUS_DIR_COUNT) <= DIR_SECURITY)
        return false;
    // Unlike the other entries, this one holds a file offset, not an RVA.
    uint32_t at = get_u32(head + entry);
    uint32_t bytes = get_u32(head + entry + 4);
    if (at == 0 || bytes == 0)
        return false;
    *offset = at;
    *size = bytes;
    return true;
}

uint32_t package_end_of(const uint8_t* head, size_t len, uint32_t start, uint32_t file_size)
{
    uint32_t at = 0, bytes = 0;
    if (pe_certificate_table(head, len, &at, &bytes) && at >= start && at <= file_size)
        return at;
    return file_size;
}

void marker_scan_reset(MarkerScan* scan)
{
    scan->length = 0;
}

bool marker_scan_byte(MarkerScan* scan, uint8_t byte)
{
    if (byte == 0x0D)
        return false;
    if (byte != 0x0A) {
        scan->line[scan->length++] = byte;
        if (scan->length < sizeof scan->line)
            return false;
    }
    // The line ends here: by its LF, or because it filled 255 bytes.
    bool found = scan->length == strlen(PACKAGE_END_MARKER) &&
                 memcmp(scan->line, PACKAGE_END_MARKER, scan->length) == 0;
    scan->length = 0;
    return found;
}

uint32_t bt_round_length(uint32_t n)
{
    if (n % 64 != 0)
        n = (n | 63) + 1;
    return n;
}

uint32_t bt_image_sum(const uint8_t* image, uint32_t len)
{
    uint32_t sum = 0;
    for (uint32_t i = BT_UNSUMMED; i < len; i++)
        sum += image[i];
    return sum;
}

// The common 256-entry table of the reflected CRC-32 (polynomial 0xEDB88320).
struct CrcTable {
    uint32_t entry[256];
};

static constexpr CrcTable make_crc_table()
{
    CrcTable t = {};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int k = 0; k < 8; k++)
            c = (c & 1) ? (0xEDB88320u ^ (c >> 1)) : (c >> 1);
        t.entry[i] = c;
    }
    return t;
}

static constexpr CrcTable kCrcTable = make_crc_table();

uint32_t dfu_crc32(const uint8_t* data, size_t len)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = 0; i < len; i++)
        crc = kCrcTable.entry[(crc ^ data[i]) & 0xFF] ^ (crc >> 8);
    return crc;
}

uint32_t dfu_suffix_length(const uint8_t* image, int32_t length)
{
    if (!image || length < DFU_SUFFIX_SIZE)
        return 0;
    const uint8_t* suffix = image + length - DFU_SUFFIX_SIZE;
    if (suffix[8] != 0x55 || suffix[9] != 0x46 || suffix[10] != 0x44)
        return 0;
    if (get_u32(suffix + 12) != dfu_crc32(image, size_t(length) - 4))
        return 0;
    // A suffix that claims to be longer than the whole image is not one: the
    // download must never be given a negative length.
    if (int32_t(suffix[11]) > length)
        return 0;
    return suffix[11];
}

void check_dfu_suffix(UsbImage* img)
{
    img->suffix_length = dfu_suffix_length(img->data, img->length);
}

// The package start as the tool's first look at its file finds it: the
// section walk on the first 4096 bytes, or, when the section table reaches
// past them, on the headers as far as the table goes.
static uint32_t walk_sections(const uint8_t* file, size_t size)
{
    size_t head = size < HEAD_READ_SIZE ? size : HEAD_READ_SIZE;
    uint32_t needed = pe_header_size(file, head);
    if (needed > head && head == HEAD_READ_SIZE)
        return pe_package_start(file, needed < size ? needed : size);
    return pe_package_start(file, head);
}

PackageFound parse_package(const uint8_t* file, size_t size, PackageParts* parts)
{
    memset(parts, 0, sizeof *parts);
    if (!file)
        size = 0;
    uint32_t file_size = uint32_t(size);
    uint32_t start = walk_sections(file, size);
    // Unsigned, the package ends with the file; signed, where the certificate
    // table begins (never before the start).
    size_t head = size < HEAD_READ_SIZE ? size : HEAD_READ_SIZE;
    uint32_t end = package_end_of(file, head, start, file_size);
    parts->file_size = file_size;
    parts->start = start;
    parts->end = end;
    if (start == file_size)
        return PACKAGE_ABSENT;
    if (start == end)
        return PACKAGE_ABSENT_SIGNED;
    // The loader's file pointer is a signed 32-bit distance.
    if (start > 0x7FFFFFFFu)
        return PACKAGE_OUT_OF_REACH;

    MarkerScan scan;
    marker_scan_reset(&scan);
    bool found = false;
    uint32_t pos = start;
    while (pos < end) {
        if (marker_scan_byte(&scan, file[pos++])) {
            found = true;
            break;
        }
    }
    parts->ini_end = pos;
    if (!found)
        return PACKAGE_NO_END_MARKER;

    uint32_t bt_read = end - pos < BT_IMAGE_MAX ? end - pos : BT_IMAGE_MAX;
    parts->bt = file + pos;
    parts->bt_read = bt_read;
    parts->bt_len = bt_round_length(bt_read);
    // The bytes behind those read count as zeros.
    parts->bt_sum = bt_image_sum(parts->bt, bt_read);
    pos += bt_read;
    parts->usb = file + pos;
    parts->usb_length = end - pos;
    parts->suffix_length = dfu_suffix_length(parts->usb, int32_t(parts->usb_length));
    return PACKAGE_LOADED;
}
