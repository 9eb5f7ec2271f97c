// The update package read from the program file's bytes: where it starts and
// ends, where its INI text ends, and its two images. Plain bytes in, no file
// and no Windows call inside, so that tessel-pack reads packages exactly as
// the tool does.
#pragma once

#include <cstddef>
#include <cstdint>

#define BT_IMAGE_MAX 32768
#define DFU_SUFFIX_SIZE 16
#define PACKAGE_END_MARKER "S__=END_OF_FILE"

struct UsbImage {
    uint8_t* data;           // heap memory owned by the record, or null
    int32_t length;          // bytes as read
    uint32_t suffix_length;  // bLength of a valid DFU suffix, else 0
};

// What parse_package found in a program file.
enum PackageFound : uint8_t {
    PACKAGE_LOADED = 0,         // INI text with its end marker, both images behind it
    PACKAGE_NO_END_MARKER = 1,  // INI text without its end marker: no images
    PACKAGE_ABSENT = 2,         // nothing behind the last section
    PACKAGE_ABSENT_SIGNED = 3,  // nothing between the last section and the certificate table
    PACKAGE_OUT_OF_REACH = 4,   // starts where a 32-bit file pointer cannot go
};

// The package's parts as they lie in the program file. Offsets count from
// the file's first byte; the pointers point into the bytes given to
// parse_package.
struct PackageParts {
    uint32_t file_size;
    // Behind the raw data of the last section (0 without a valid section
    // table: the package is then read from the first byte).
    uint32_t start;
    // The file's end, or where an Authenticode certificate table that lies
    // behind the start begins.
    uint32_t end;
    // Just behind the end-marker line; without the marker, where its search
    // stopped (the package's end, or the start when that lies beyond it).
    uint32_t ini_end;
    // Both images, with PACKAGE_LOADED only. The Bluetooth image's bytes in
    // the file: bt_read of them (the tool's 32768-byte image has zeros behind).
    const uint8_t* bt;
    uint32_t bt_read;
    uint32_t bt_len;  // bt_read rounded up to 64
    uint32_t bt_sum;  // sum of the bytes from 768 on, up to bt_len
    const uint8_t* usb;
    uint32_t usb_length;
    uint32_t suffix_length;  // bLength of a valid DFU suffix, else 0
};

// Finds the package in the `size` bytes of a program file. The INI text's
// values are not read here: ini_text.h reads them from the same bytes.
PackageFound parse_package(const uint8_t* file, size_t size, PackageParts* parts);

// Sets img->suffix_length from a valid DFU file suffix at the end of the image.
void check_dfu_suffix(UsbImage* img);
// The same for an image given by its bytes.
uint32_t dfu_suffix_length(const uint8_t* image, int32_t length);

// Byte-level pieces of the above, shared with tessel-pack and the tests.
// The section walk on the first bytes of a program file (len bytes valid).
// Only section headers that lie wholly inside those bytes are walked.
uint32_t pe_package_start(const uint8_t* head, size_t len);
// Bytes from the start of the file up to the end of the section table when
// the headers pass the checks of the walk (MZ, e_lfanew below 3832, PE
// signature, sections present), else 0.
uint32_t pe_header_size(const uint8_t* head, size_t len);
// The certificate table of a PE32+ header region (data directory entry 4,
// IMAGE_DIRECTORY_ENTRY_SECURITY: a file offset and a size). True, with both,
// when the headers pass the checks of the walk, the optional header is PE32+,
// NumberOfRvaAndSizes covers entry 4, the entry lies inside the len bytes and
// its offset and size are both non-zero.
bool pe_certificate_table(const uint8_t* head, size_t len, uint32_t* offset, uint32_t* size);
// Where a package that starts at `start` in a file of `file_size` bytes ends:
// at a certificate table that begins at or behind `start` and not beyond the
// file's end, else at the file's end.
uint32_t package_end_of(const uint8_t* head, size_t len, uint32_t start, uint32_t file_size);
// The end-marker scan, fed one byte at a time: CR is dropped, LF or 255
// bytes end a line, and an ended line equal to the marker finds it.
struct MarkerScan {
    uint8_t line[255];
    uint32_t length;
};
void marker_scan_reset(MarkerScan* scan);
// True when this byte completes the marker line.
bool marker_scan_byte(MarkerScan* scan, uint8_t byte);
// CRC of a DFU file suffix over `len` bytes (reflected CRC-32, preset
// 0xFFFFFFFF, no final complement).
uint32_t dfu_crc32(const uint8_t* data, size_t len);
// Rounds a Bluetooth image length up to a multiple of 64.
uint32_t bt_round_length(uint32_t n);
// Sum of image bytes 768 .. len-1 (0 when len <= 768).
uint32_t bt_image_sum(const uint8_t* image, uint32_t len);
