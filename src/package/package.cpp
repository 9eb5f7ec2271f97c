// Loading the update package appended to the program file: the file is read
// through the gateway as the tool always has (its headers, then the package
// byte by byte up to its INI text's end, then the images), package_parse.cpp
// finds the package in the bytes read, and the parts found are copied into
// the tool's globals.
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

// The program file as far as the tool has read it: `size` bytes (the file's
// size), zeros where nothing was read.
struct ProgramFile {
    uint8_t* bytes;
    uint32_t size;
};

// The first look at the program file (its path looked up into a 4096-byte
// buffer): its first 4096 bytes, or, when the section table reaches past
// them, the headers as far as the table goes. False when it cannot be opened.
static bool read_headers(ProgramFile* f)
{
    uint8_t head[HEAD_READ_SIZE];
    memset(head, 0, sizeof head);
    GetModuleFileNameA(NULL, (char*)head, sizeof head);
    HANDLE file = CreateFileA((const char*)head, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    f->size = GetFileSize(file, NULL);
    f->bytes = (uint8_t*)calloc(size_t(f->size) + 1, 1);
    DWORD got = 0;
    if (f->bytes && ReadFile(file, head, sizeof head, &got, NULL)) {
        memcpy(f->bytes, head, got < f->size ? got : f->size);
        uint32_t needed = pe_header_size(head, got);
        if (needed > got && got == sizeof head) {
            // The section table reaches past the first 4096 bytes: the
            // headers once more, as far as the table goes.
            uint8_t* headers = (uint8_t*)malloc(needed);
            DWORD more = 0;
            if (headers && SetFilePointer(file, 0, NULL, FILE_BEGIN) == 0 &&
                ReadFile(file, headers, needed, &more, NULL))
                memcpy(f->bytes, headers, more < f->size ? more : f->size);
            free(headers);
        }
    }
    CloseHandle(file);
    return f->bytes != nullptr;
}

// Reads the package from `start` on: byte by byte up to the end of its INI
// text, then the Bluetooth image and the USB image behind it in one read
// each. Returns how far the file could be read: its size, or where a read
// stopped short.
static uint32_t read_package(HANDLE file, ProgramFile* f, uint32_t start, uint32_t end)
{
    MarkerScan scan;
    marker_scan_reset(&scan);
    uint32_t pos = start;
    bool found = false;
    while (pos < end && !found) {
        DWORD got = 0;
        if (!ReadFile(file, f->bytes + pos, 1, &got, NULL) || got == 0)
            return pos;
        found = marker_scan_byte(&scan, f->bytes[pos++]);
    }
    if (!found)
        return f->size;

    uint32_t known = f->size;
    DWORD want = end - pos < BT_IMAGE_MAX ? end - pos : BT_IMAGE_MAX;
    DWORD n = 0;
    ReadFile(file, f->bytes + pos, want, &n, NULL);
    pos += n;
    if (n < want)
        known = pos;
    DWORD length = end > pos ? end - pos : 0;
    if (length > 0) {
        DWORD read = 0;
        ReadFile(file, f->bytes + pos, length, &read, NULL);
        if (read < length && known == f->size)
            known = pos + read;
    }
    return known;
}

uint32_t find_package_start(uint32_t* file_size, uint32_t* package_end)
{
    ProgramFile f = {nullptr, 0};
    if (!read_headers(&f))
        return 0;
    // The headers alone tell where the package lies.
    PackageParts parts;
    parse_package(f.bytes, f.size, &parts);
    free(f.bytes);
    *file_size = parts.file_size;
    if (package_end)
        *package_end = parts.end;
    return parts.start;
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
    ProgramFile f = {nullptr, 0};
    if (!read_headers(&f))
        return false;
    // The headers alone tell where the package lies; what it holds is read next.
    PackageParts parts;
    PackageFound found = parse_package(f.bytes, f.size, &parts);
    if (found == PACKAGE_ABSENT || found == PACKAGE_ABSENT_SIGNED) {
        free(f.bytes);
        return false;
    }
    // The INI text is looked up by this name for as long as the tool runs.
    GetModuleFileNameA(NULL, g_exe_path, sizeof g_exe_path);
    HANDLE file = CreateFileA(g_exe_path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        free(f.bytes);
        return false;
    }
    if (found == PACKAGE_OUT_OF_REACH ||
        SetFilePointer(file, (LONG)parts.start, NULL, FILE_BEGIN) != parts.start) {
        CloseHandle(file);
        free(f.bytes);
        return false;
    }
    uint32_t known = read_package(file, &f, parts.start, parts.end);
    CloseHandle(file);

    // A read that stopped short leaves the file as far as it was read.
    found = parse_package(f.bytes, known, &parts);
    if (found != PACKAGE_LOADED && found != PACKAGE_NO_END_MARKER) {
        free(f.bytes);
        return false;
    }
    g_package_start = parts.start;
    g_ini_end = parts.ini_end;
    ini_read_config();

    if (found == PACKAGE_LOADED) {
        memset(g_bt_image, 0, sizeof g_bt_image);
        memcpy(g_bt_image, parts.bt, parts.bt_read);
        g_bt_image_len = parts.bt_len;
        g_bt_image_sum = parts.bt_sum;

        free_usb_image();
        if (parts.usb_length > 0)
            g_usb_image.data = (uint8_t*)malloc(parts.usb_length);
        if (g_usb_image.data) {
            memcpy(g_usb_image.data, parts.usb, parts.usb_length);
            g_usb_image.length = (int32_t)parts.usb_length;
        }
        check_dfu_suffix(&g_usb_image);
    }
    free(f.bytes);
    return found == PACKAGE_LOADED;
}
