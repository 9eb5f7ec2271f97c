// The update package appended to the program file: locating and loading it.
#pragma once

#include "platform/win32.h"

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

extern char g_exe_path[256];
extern uint32_t g_package_start;
extern uint32_t g_ini_end;
extern uint8_t g_bt_image[BT_IMAGE_MAX];
extern uint32_t g_bt_image_len;
extern uint32_t g_bt_image_sum;
extern UsbImage g_usb_image;

// Offset just behind the raw data of the program file's last section, or 0;
// *file_size (preset to 0 by the caller) receives the file's size. When given,
// *package_end receives where the package ends: the file's end, or the start
// of an Authenticode certificate table that lies behind the package start.
uint32_t find_package_start(uint32_t* file_size, uint32_t* package_end = nullptr);
// Finds the package, reads the configuration and loads both images; true when
// the INI text's end marker was found.
bool load_package();
// Sets img->suffix_length from a valid DFU file suffix at the end of the image.
void check_dfu_suffix(UsbImage* img);
// Frees the USB image's memory (at WM_DESTROY).
void free_usb_image();

// Byte-level helpers of the above, shared with tessel-pack and the tests.
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
