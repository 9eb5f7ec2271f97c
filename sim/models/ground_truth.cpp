#include "models/ground_truth.h"

#include <algorithm>

namespace sim {

namespace {

// The Bluetooth flash holds the package's image: every byte the keyboard
// is sent (0x300 up to the length rounded up to 64, zeros behind the
// file's end) is in place.
bool holds_bt_image(const std::vector<uint8_t>& flash, const std::vector<uint8_t>& image)
{
    size_t end = (image.size() + 63) / 64 * 64;
    if (end <= 0x300 || flash.size() < end)
        return false;
    for (size_t a = 0x300; a < end; ++a)
        if (flash[a] != (a < image.size() ? image[a] : 0))
            return false;
    return true;
}

}  // namespace

GroundTruth read_ground_truth(const models::KeyboardModel::Stored& s, const PackageFacts& package)
{
    GroundTruth t;
    t.usb_stored = s.manifestations > 0 && s.usb_manifested == package.usb_download;
    t.usb_runs = s.usb_running && s.usb_runs == package.usb_download;
    t.bt_stored = s.bt_confirmations > 0 && holds_bt_image(s.bt_confirmed, package.bt_image);
    t.bt_runs = s.bt_running && holds_bt_image(s.bt_runs, package.bt_image);
    return t;
}

}  // namespace sim
