// What the devices stored, held against the package: the judge of a run
// reads this instead of counting the requests the tool sent.
#pragma once

#include "models/keyboard_model.h"
#include "package_facts.h"

namespace sim {

struct GroundTruth {
    // The boot loader manifested a download, and its flash then held exactly
    // the package's USB image (without a DFU file suffix).
    bool usb_stored = false;
    // The keyboard's normal firmware runs that image.
    bool usb_runs = false;
    // The Bluetooth IC confirmed an image whose bytes from 0x300 on, up to
    // the package's length rounded up to 64, are the package's.
    bool bt_stored = false;
    // The Bluetooth IC runs that image.
    bool bt_runs = false;
};

GroundTruth read_ground_truth(const models::KeyboardModel::Stored& stored, const PackageFacts& package);

}  // namespace sim
