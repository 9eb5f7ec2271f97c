// The simulated keyboard and its boot loader as a scenario describes them,
// and the model settings they make. Plain C++ without Win32, so that the
// scenario reader and both buses (the host world's and the one behind the
// Windows build's device calls) share one reading of a scenario.
#pragma once

#include "package_facts.h"

#include <string>

// Only declared here: the product's own DFU names must not meet the models'
// in a file that includes both (the fuzz targets do).
namespace models {
struct KeyboardSettings;
}

namespace sim {

struct BootloaderConfig {
    int identity = 1;               // 1: the package's first DFU vendor/product pair; 2: its second
    int poll_ms = 5;                // bwPollTimeout it reports while busy (dfuDNBUSY, dfuMANIFEST)
    int busy_polls = 1;             // dfuDNBUSY answers after each block before dfuDNLOAD-IDLE
    int error_at_block = -1;        // after this block: dfuERROR with errCHECK_ERASED; -1: never
    int manifest_polls = 2;         // manifestation: its poll time times this (tolerant: dfuMANIFEST answers)
    int manifest_poll_ms = -1;      // bwPollTimeout it reports in dfuMANIFEST (-1: poll_ms)
    bool fail_transfers = false;    // every control transfer fails at once (a stall)
    int hang_after_transfers = -1;  // after this many control transfers it answers none (-1: never)
    // Its DFU functional descriptor and flash.
    bool manifestation_tolerant = false;  // bitManifestationTolerant
    bool will_detach = true;              // bitWillDetach
    bool can_upload = false;              // bitCanUpload
    int transfer_size = 2048;             // wTransferSize
    int detach_timeout_ms = 1000;         // wDetachTimeOut
    int flash_size = 0x10000;             // user flash in bytes
    bool strict_poll = false;             // a GETSTATUS before bwPollTimeout also stalls
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
    int nxp_after = -1;  // -1: the version in the received image's info block
    int bt_after = -1;   // -1: the version in the confirmed image's info block, else bt
    // Its normal firmware offers the run-time DFU interface (under the
    // package's DFU class and first pair) and ignores KB_CMD_ENTER_DFU.
    bool runtime_dfu = false;
    // After taking this many output reports its firmware hangs: every later
    // write stays pending until it is cancelled or the keyboard leaves
    // (-1: never).
    int hang_after_reports = -1;
    // The system refuses handle notifications on its interfaces:
    // RegisterDeviceNotificationA for a handle to it returns NULL.
    bool handle_notify_fails = false;
    // When it leaves the bus, the system tells the registered windows (its
    // handle registrations, then its interface class) this much later (ms).
    int removal_notice_ms = 0;
    BootloaderConfig bootloader;
};

// What the keyboard model is told: the scenario's description of it, and
// what it knows of the package (the versions and Bluetooth checksum it may
// come back with).
models::KeyboardSettings keyboard_settings(const KeyboardConfig& c, const PackageFacts& package);

}  // namespace sim
