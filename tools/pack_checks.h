// The checks `tessel-pack build` and `tessel-pack lint` make on a package:
// what the tool would do wrong or silently differently with it.
#pragma once

#include "package/ini_text.h"

#include <cstdint>
#include <string>
#include <vector>

struct Finding {
    bool error;         // refuses a build (unless --force); else a warning
    std::string field;  // "[MAIN] INI_VER_NXP", "USB image", "[LANG05] S02", ...
    std::string text;
};

// The three pieces as they lie in the package.
struct PackagePieces {
    std::vector<uint8_t> ini;
    std::vector<uint8_t> bt;
    std::vector<uint8_t> usb;
};

// Checks a package. Values are looked up in `text`, the INI text as the tool
// reads it from the package's program file, so that they are judged exactly
// as the tool reads them. `flash_size` (bytes, 0: none given) refuses a
// larger USB image.
std::vector<Finding> check_package(const PackagePieces& pieces, const IniText& text, uint32_t flash_size = 0);

// Checks the program file's headers (the first `size` bytes of `file` or all
// of it): errors where Windows would not start it or where the tool's section
// walk would not find the package behind its last section.
std::vector<Finding> check_program(const uint8_t* file, size_t size);

// "error: FIELD: TEXT", or "warning: ..." for warnings and, with `as_warning`,
// for errors too (a forced build).
std::string finding_line(const Finding& f, bool as_warning);

// The user flash of the keyboards' NXP USB microcontroller (64 KiB): a USB
// image longer than this fits no keyboard of the family.
#define USB_FLASH_BYTES 65536

// The limit of a message in bytes: the tool's 256-byte message buffers.
#define MESSAGE_MAX_BYTES 255
