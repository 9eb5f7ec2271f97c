// What the simulated devices must know of the update package they are
// rehearsed against, read from a packaged program file on its own terms:
// plain C++, no product code, so that the devices never agree with the tool
// merely because they share its globals.
//
// The runner (tessel-sim) reads it from its --program file, the tests from
// the program they configure, and both hand it to the world's devices.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct PackageFacts {
    // Interface class of the boot loader's DFU interface ([DFU] INI_DFU_GUID).
    struct Guid {
        uint32_t data1 = 0xa01674b4;
        uint16_t data2 = 0xc5f6, data3 = 0x485c;
        uint8_t data4[8] = {0xaf, 0x94, 0x32, 0x71, 0x70, 0x1d, 0x57, 0xb4};
    } dfu_guid;
    // The boot loader's two USB identities ([DFU] INI_DFU_VID1/PID1, VID2/PID2).
    uint16_t vid1 = 0x1FC9, pid1 = 0x5002;
    uint16_t vid2 = 0x1FC9, pid2 = 0x000C;
    // Versions the keyboard comes back with after an update ([MAIN]
    // INI_VER_NXP and INI_VER_BT, hexadecimal).
    uint32_t nxp = 0;
    uint32_t bt = 0;
    // Sum of the Bluetooth image bytes from 0x300 on: the checksum the
    // keyboard confirms a complete image with.
    uint32_t bt_sum = 0;
    // The Bluetooth image as the package carries it (up to 32768 bytes; the
    // keyboard is sent its bytes from 0x300 on, up to the length rounded up
    // to 64, with zeros behind the file's end).
    std::vector<uint8_t> bt_image;
    // What a download must write to the boot loader's flash: the USB image
    // without a valid DFU file suffix.
    std::vector<uint8_t> usb_download;
    // False for a program that carries no package (the values above are then
    // the boot loader's usual identity and zeros).
    bool present = false;
};

// Reads the package appended to `program_file`. Returns false, with a
// one-line reason in `error`, when the file cannot be read, is no program
// file or its package has no end marker; a program with nothing behind its
// last section gives true with `facts.present` false.
bool read_package_facts(const std::string& program_file, PackageFacts& facts, std::string& error);

}  // namespace sim
