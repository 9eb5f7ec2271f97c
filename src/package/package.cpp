// Locating and loading the update package appended to the program file.
//
// The package has no header of its own: it starts behind the raw data of the
// executable's last section, its INI text ends with the line
// "S__=END_OF_FILE", the Bluetooth image behind it has a fixed size of 32768
// bytes, and the USB image runs to the end of the file, or, in a program file
// signed after the package was appended, to the Authenticode certificate
// table that the signing put behind it.
#include "package/package.h"

#include "package/ini.h"

#include <cstdlib>
#include <cstring>

char g_exe_path[256];
uint32_t g_package_start = 0;
uint32_t g_ini_end = 0;
uint8_t g_bt_image[BT_IMAGE_MAX];
uint32_t g_bt_image_len = 0;
uint32_t g_bt_image_sum = 0;
UsbImage g_usb_image = {nullptr, 0, 0};

#define HEAD_READ_SIZE 4096
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

uint32_t find_package_start(uint32_t* file_size, uint32_t* package_end)
{
    uint8_t head[HEAD_READ_SIZE];
    memset(head, 0, sizeof head);
    GetModuleFileNameA(NULL, (char*)head, sizeof head);
    HANDLE file = CreateFileA((const char*)head, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;

    uint32_t start = 0;
    DWORD got = 0;
    if (ReadFile(file, head, sizeof head, &got, NULL)) {
        uint32_t needed = pe_header_size(head, got);
        if (needed > got && got == sizeof head) {
            // The section table reaches past the first 4096 bytes: read the
            // headers once more, as far as the table goes, and walk only
            // what arrives.
            uint8_t* headers = (uint8_t*)malloc(needed);
            DWORD more = 0;
            if (headers && SetFilePointer(file, 0, NULL, FILE_BEGIN) == 0 &&
                ReadFile(file, headers, needed, &more, NULL))
                start = pe_package_start(headers, more);
            free(headers);
        } else {
            start = pe_package_start(head, got);
        }
    }
    *file_size = GetFileSize(file, NULL);
    if (package_end)
        *package_end = package_end_of(head, got, start, *file_size);
    CloseHandle(file);
    return start;
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

void check_dfu_suffix(UsbImage* img)
{
    img->suffix_length = 0;
    if (!img->data || img->length < DFU_SUFFIX_SIZE)
        return;
    const uint8_t* suffix = img->data + img->length - DFU_SUFFIX_SIZE;
    if (suffix[8] != 0x55 || suffix[9] != 0x46 || suffix[10] != 0x44)
        return;
    if (get_u32(suffix + 12) != dfu_crc32(img->data, size_t(img->length) - 4))
        return;
    // A suffix that claims to be longer than the whole image is not one: the
    // download must never be given a negative length.
    if (int32_t(suffix[11]) > img->length)
        return;
    img->suffix_length = suffix[11];
}

void free_usb_image()
{
    free(g_usb_image.data);
    g_usb_image.data = nullptr;
    g_usb_image.length = 0;
    g_usb_image.suffix_length = 0;
}

bool load_package()
{
    uint32_t file_size = 0;
    uint32_t end = 0;
    uint32_t start = find_package_start(&file_size, &end);
    // Unsigned, the package ends with the file; signed, where the certificate
    // table begins (never before the start).
    if (start == file_size || start == end)
        return false;

    GetModuleFileNameA(NULL, g_exe_path, sizeof g_exe_path);
    HANDLE file = CreateFileA(g_exe_path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    // A start the file pointer cannot reach would leave the scan at the
    // head of the program: without a package then.
    if (start > 0x7FFFFFFFu || SetFilePointer(file, (LONG)start, NULL, FILE_BEGIN) != start) {
        CloseHandle(file);
        return false;
    }

    MarkerScan scan;
    marker_scan_reset(&scan);
    bool found = false;
    for (uint32_t pos = start; pos < end; pos++) {
        uint8_t byte;
        DWORD got = 0;
        if (!ReadFile(file, &byte, 1, &got, NULL) || got == 0)
            break;
        if (marker_scan_byte(&scan, byte)) {
            found = true;
            break;
        }
    }
    g_package_start = start;
    g_ini_end = SetFilePointer(file, 0, NULL, FILE_CURRENT);

    ini_read_config();

    if (found) {
        memset(g_bt_image, 0, sizeof g_bt_image);
        DWORD n = 0;
        DWORD want = g_ini_end < end ? end - g_ini_end : 0;
        if (want > BT_IMAGE_MAX)
            want = BT_IMAGE_MAX;
        ReadFile(file, g_bt_image, want, &n, NULL);
        g_bt_image_len = bt_round_length(n);
        g_bt_image_sum = 0;
        if (g_bt_image_len > BT_UNSUMMED)
            g_bt_image_sum = bt_image_sum(g_bt_image, g_bt_image_len);

        free_usb_image();
        DWORD pos = SetFilePointer(file, 0, NULL, FILE_CURRENT);
        DWORD length = (pos != INVALID_SET_FILE_POINTER && end > pos) ? end - pos : 0;
        if (length > 0)
            g_usb_image.data = (uint8_t*)malloc(length);
        if (g_usb_image.data) {
            DWORD read = 0;
            ReadFile(file, g_usb_image.data, length, &read, NULL);
            g_usb_image.length = (int32_t)read;
        }
        check_dfu_suffix(&g_usb_image);
    }
    CloseHandle(file);
    return found;
}
