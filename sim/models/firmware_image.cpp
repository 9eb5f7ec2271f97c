#include "models/firmware_image.h"

namespace models {

namespace {
uint32_t le32(const std::vector<uint8_t>& b, size_t at)
{
    return (uint32_t)b[at] | (uint32_t)b[at + 1] << 8 | (uint32_t)b[at + 2] << 16 | (uint32_t)b[at + 3] << 24;
}

// The CRC of every byte value, eight bits at a time: the same register as
// shifting one bit at a time, taken a byte per step.
struct CrcTable {
    uint32_t entry[256];
};

constexpr CrcTable make_crc_table()
{
    CrcTable t = {};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1u)));
        t.entry[i] = c;
    }
    return t;
}

constexpr CrcTable kCrcTable = make_crc_table();

}  // namespace

uint32_t crc32(const uint8_t* p, size_t n, uint32_t crc)
{
    crc = ~crc;
    for (size_t i = 0; i < n; ++i)
        crc = kCrcTable.entry[(crc ^ p[i]) & 0xFFu] ^ (crc >> 8);
    return ~crc;
}

InfoBlock read_info_block(const std::vector<uint8_t>& image, size_t at)
{
    InfoBlock info;
    if (image.size() < at + 16 || image[at] != 'T' || image[at + 1] != 'S' || image[at + 2] != 'I' ||
        image[at + 3] != 'B')
        return info;
    info.present = true;
    info.version = (uint16_t)(image[at + 4] | image[at + 5] << 8);
    info.end = le32(image, at + 8);
    info.crc = le32(image, at + 12);
    return info;
}

bool info_block_crc_ok(const std::vector<uint8_t>& image, size_t at, size_t base, const InfoBlock& info)
{
    if (!info.present || info.end > image.size() || info.end < at + 16 || base > at)
        return false;
    static const uint8_t zeros[4] = {0, 0, 0, 0};
    uint32_t crc = crc32(image.data() + base, at + 12 - base);
    crc = crc32(zeros, 4, crc);
    crc = crc32(image.data() + at + 16, info.end - (at + 16), crc);
    return crc == info.crc;
}

bool nxp_validity_word_ok(const std::vector<uint8_t>& image)
{
    if (image.size() < 32)
        return false;
    uint32_t sum = 0;
    for (size_t w = 0; w < 8; ++w)
        sum += le32(image, w * 4);
    return sum == 0;
}

}  // namespace models
