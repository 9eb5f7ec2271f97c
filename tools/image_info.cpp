#include "image_info.h"

#include <cstdio>

namespace {

const size_t kUsbInfoAt = 0x00C0;
const size_t kBtInfoAt = 0x0300;

uint32_t le32(const uint8_t* p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

uint32_t crc_update(uint32_t crc, const uint8_t* p, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc;
}

}  // namespace

ImageInfo read_image_info(const uint8_t* image, size_t length, bool usb)
{
    ImageInfo info;
    if (usb && length >= 32) {
        uint32_t sum = 0;
        for (size_t w = 0; w < 8; ++w)
            sum += le32(image + 4 * w);
        info.validity_ok = sum == 0;
    }
    size_t at = usb ? kUsbInfoAt : kBtInfoAt;
    size_t base = usb ? 0 : kBtInfoAt;
    if (length < at + 16 || image[at] != 'T' || image[at + 1] != 'S' || image[at + 2] != 'I' ||
        image[at + 3] != 'B')
        return info;
    info.has_block = true;
    info.version = (uint16_t)(image[at + 4] | image[at + 5] << 8);
    uint32_t end = le32(image + at + 8);
    if (end <= length && end >= at + 16) {
        static const uint8_t zeros[4] = {0, 0, 0, 0};
        uint32_t crc = crc_update(0xFFFFFFFFu, image + base, at + 12 - base);
        crc = crc_update(crc, zeros, 4);
        crc = crc_update(crc, image + at + 16, end - (at + 16));
        info.crc_ok = ~crc == le32(image + at + 12);
    }
    return info;
}

std::string image_info_text(const ImageInfo& info, bool usb)
{
    char text[160];
    if (info.has_block)
        snprintf(text, sizeof text, "info block: version %04X, CRC %s", info.version,
                 info.crc_ok ? "good" : "BAD");
    else
        snprintf(text, sizeof text, "unknown layout (no info block)");
    std::string s = text;
    if (usb)
        s += info.validity_ok ? "; validity word good"
                              : "; validity word BAD (NXP's boot ROM would not start it)";
    return s;
}
