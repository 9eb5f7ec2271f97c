// How the keyboard's parts judge a received image before they run it: the
// NXP user-code validity word and the info block of the sample image layout
// (docs/devices.md, "Sample images"). Plain C++, the devices' own reading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace models {

// Where each part's image keeps its info block, and the first byte the
// part receives (the Bluetooth IC never gets the bytes below 0x0300).
const size_t kUsbInfoOffset = 0x00C0;
const size_t kBtInfoOffset = 0x0300;
const size_t kBtFirstAddress = 0x0300;

struct InfoBlock {
    bool present = false;  // the magic is there
    uint16_t version = 0;
    uint32_t end = 0;  // offset just past the last byte the CRC covers
    uint32_t crc = 0;
};

// The info block at `at` of `image`, if its magic is there.
InfoBlock read_info_block(const std::vector<uint8_t>& image, size_t at);
// The block's CRC matches image[base, end) with its CRC field taken as zero.
bool info_block_crc_ok(const std::vector<uint8_t>& image, size_t at, size_t base, const InfoBlock& info);
// The NXP boot ROM's rule: the first eight little-endian vector-table words
// sum to 0 (modulo 2^32). False when the image is shorter than 32 bytes.
bool nxp_validity_word_ok(const std::vector<uint8_t>& image);
// CRC-32, polynomial 0xEDB88320, initial and final value 0xFFFFFFFF.
uint32_t crc32(const uint8_t* p, size_t n, uint32_t crc = 0);

// What a part makes of an image it was given to run.
enum class ImageVerdict {
    Runs,          // valid; it reports the version of its info block
    Invalid,       // validity word or CRC wrong: it does not start
    Unverifiable,  // valid as far as can be told, but no info block: version unknown
};

}  // namespace models
