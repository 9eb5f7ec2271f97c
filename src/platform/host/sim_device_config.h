// The simulated keyboard and its boot loader as a scenario describes them.
// Plain C++ without Win32, so that the scenario reader builds for the host
// world (tessel-sim) and for the Windows build with simulated devices alike.
#pragma once

#include <string>

namespace sim {

struct BootloaderConfig {
    int identity = 1;             // 1: the package's first DFU vendor/product pair; 2: its second
    int poll_ms = 5;              // bwPollTimeout it reports
    int busy_polls = 1;           // dfuDNBUSY answers after each block before dfuDNLOAD-IDLE
    int error_at_block = -1;      // after this block: dfuERROR with errCHECK_ERASED; -1: never
    int manifest_polls = 2;       // dfuMANIFEST answers before dfuMANIFEST-WAIT-RESET
    bool fail_transfers = false;  // every control transfer fails
};

struct KeyboardConfig {
    int identity = 1;  // 1: 3E71:2A60, 2: 1FC9:0088
    bool bootloader_mode = false;
    bool attached = true;
    int nxp = 0x0352;
    int bt = 0xA23F;
    int sonix = 0x12;
    bool bt_ready = true;
    std::string checksum = "correct";  // "correct", "wrong" or "none"
    bool finish_ack = true;
    bool returns = true;
    int nxp_after = -1;  // -1: the package's NXP version
    int bt_after = -1;   // -1: the package's Bluetooth version if the image was confirmed, else bt
    // After taking this many output reports its firmware hangs: every later
    // write stays pending until it is cancelled or the keyboard leaves
    // (-1: never).
    int hang_after_reports = -1;
    BootloaderConfig bootloader;
};

}  // namespace sim
