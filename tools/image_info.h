// What tessel-pack reads from a firmware image of the sample image layout
// (docs/devices.md, "Sample images"): its info block and, for the USB
// image, NXP's user-code validity word.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct ImageInfo {
    bool has_block = false;  // the info block's magic is at its offset
    uint16_t version = 0;
    bool crc_ok = false;       // the block's CRC-32 matches the bytes it covers
    bool validity_ok = false;  // USB image: the first eight vector-table words sum to 0
};

// `usb`: the USB image (block at 0x00C0, CRC from byte 0, validity word);
// otherwise the Bluetooth image (block at 0x0300, CRC from 0x0300).
ImageInfo read_image_info(const uint8_t* image, size_t length, bool usb);
// One line for `inspect`: "info block: version 0353, CRC good; validity word good"
// or "unknown layout (no info block); validity word bad".
std::string image_info_text(const ImageInfo& info, bool usb);
