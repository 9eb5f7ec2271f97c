#include "models/keyboard_model.h"

#include "models/firmware_image.h"

#include <cstring>

namespace models {

namespace {
const size_t kOutReportSize = 57;
const uint8_t kOutReportId = 6;
const uint8_t kInReportId = 5;
const size_t kBtFlash = 0x8000;  // the Bluetooth IC's flash: addresses 0x0000 to 0x7FFF
const size_t kBtBlock = 32;
}  // namespace

KeyboardModel::KeyboardModel(const KeyboardSettings& settings, KeyboardHost host, KeyboardTiming timing)
    : s_(settings), host_(std::move(host)), t_(timing),
      boot_(settings.bootloader,
            BootloaderEvents{[this](const char* name, uint16_t value, uint16_t length, bool ok) {
                                 if (host_.dfu_request)
                                     host_.dfu_request(name, value, length, ok);
                             },
                             [this] { on_manifested(); },
                             [this](const char* rule, const std::string& detail) {
                                 if (host_.violation)
                                     host_.violation(rule, detail);
                             },
                             host_.now ? std::function<uint64_t()>([this] { return host_.now(); }) : nullptr,
                             [this](uint32_t ms, std::function<void()> fn) { later(ms, std::move(fn)); },
                             [this](uint32_t) { on_detach(); }}),
      nxp_(settings.nxp), bt_(settings.bt)
{
}

void KeyboardModel::later(uint32_t ms, std::function<void()> fn)
{
    // Whatever was pending is lost when the device loses power or restarts.
    uint64_t epoch = epoch_;
    host_.after(ms, [this, epoch, fn] {
        if (epoch == epoch_)
            fn();
    });
}

void KeyboardModel::plug(bool at_once)
{
    if (powered_)
        return;
    powered_ = true;
    ++epoch_;
    power_up(at_once ? 0 : t_.enumerate_ms);
}

void KeyboardModel::unplug()
{
    if (!powered_)
        return;
    powered_ = false;
    ++epoch_;
    bt_open_ = false;
    if (on_bus_) {
        on_bus_ = false;
        host_.disconnect();
    }
}

void KeyboardModel::power_up(uint32_t delay)
{
    // The boot loader keeps control while no runnable firmware is in place.
    bool boot = (first_power_ && s_.starts_in_bootloader) || boot_.download_pending() || !firmware_starts_;
    first_power_ = false;
    UsbMode mode = boot ? UsbMode::Bootloader : UsbMode::Normal;
    if (delay == 0)
        come_up(mode);
    else
        later(delay, [this, mode] { come_up(mode); });
}

void KeyboardModel::come_up(UsbMode mode)
{
    mode_ = mode;
    if (mode == UsbMode::Normal)
        enter_normal_firmware();
    else
        boot_.reset();
    on_bus_ = true;
    host_.connect(mode);
}

void KeyboardModel::restart(UsbMode mode, uint32_t up_delay)
{
    ++epoch_;
    later(t_.reset_ms, [this, mode, up_delay] {
        if (on_bus_) {
            on_bus_ = false;
            host_.disconnect();
        }
        bt_open_ = false;
        later(up_delay, [this, mode] { come_up(mode); });
    });
}

void KeyboardModel::enter_normal_firmware()
{
    if (nxp_next_ >= 0)
        nxp_ = nxp_next_;
    if (!usb_next_image_.empty()) {
        stored_.usb_running = true;
        stored_.usb_runs = std::move(usb_next_image_);
    }
    if (bt_next_ >= 0)
        bt_ = bt_next_;
    if (!bt_next_image_.empty()) {
        stored_.bt_running = true;
        stored_.bt_runs = std::move(bt_next_image_);
    }
    nxp_next_ = bt_next_ = -1;
    usb_next_image_.clear();
    bt_next_image_.clear();
    if (s_.runtime_dfu)
        boot_.enter_runtime();
}

void KeyboardModel::on_manifested()
{
    // What the boot loader makes of the image before it starts it: NXP's
    // validity word, then the info block's CRC.
    const std::vector<uint8_t>& image = boot_.image();
    InfoBlock info = read_info_block(image, kUsbInfoOffset);
    ImageVerdict verdict = !nxp_validity_word_ok(image)                        ? ImageVerdict::Invalid
                           : !info.present                                     ? ImageVerdict::Unverifiable
                           : info_block_crc_ok(image, kUsbInfoOffset, 0, info) ? ImageVerdict::Runs
                                                                               : ImageVerdict::Invalid;
    int version = s_.nxp_after >= 0 ? s_.nxp_after : verdict == ImageVerdict::Runs ? (int)info.version : -1;
    if (verdict == ImageVerdict::Invalid)
        version = -1;
    if (host_.firmware)
        host_.firmware("usb",
                       verdict == ImageVerdict::Runs           ? "runs"
                       : verdict == ImageVerdict::Unverifiable ? "unverifiable"
                                                               : "invalid",
                       version >= 0 ? version : -1);
    firmware_starts_ = s_.returns && verdict != ImageVerdict::Invalid;
    nxp_next_ = firmware_starts_ ? version : -1;
    ++stored_.manifestations;
    stored_.usb_manifested = image;
    // The normal firmware that starts runs this image (the version it
    // reports may be another one, when it is made to).
    if (firmware_starts_) {
        usb_next_image_ = image;
    } else {
        usb_next_image_.clear();
        stored_.usb_running = false;
    }
    if (s_.bt_after >= 0)
        bt_next_ = s_.bt_after;
    // A device that is not manifestation-tolerant and detaches by itself
    // leaves the bus and starts what it has: the new firmware, or its boot
    // loader again when the image does not start.
    const BootloaderSettings& b = s_.bootloader;
    if (!b.manifestation_tolerant && b.will_detach) {
        if (firmware_starts_)
            restart(UsbMode::Normal, t_.firmware_up_ms);
        else
            restart(UsbMode::Bootloader, t_.bootloader_up_ms);
    }
}

void KeyboardModel::on_detach()
{
    // With bitWillDetach it leaves the bus and comes back as its boot loader;
    // without, it waits for a USB reset the host would have to send.
    if (s_.bootloader.will_detach)
        restart(UsbMode::Bootloader, t_.bootloader_up_ms);
}

uint8_t KeyboardModel::bt_family() const
{
    return ((bt_ & 0xFF00) == 0xA200 || bt_ == 0x011E) ? 0xA2 : 0x55;
}

void KeyboardModel::answer(const std::vector<uint8_t>& report, uint32_t delay)
{
    later(delay, [this, report] {
        if (on_bus_ && mode_ == UsbMode::Normal)
            host_.send_input(report.data(), report.size());
    });
}

void KeyboardModel::output_report(const uint8_t* r, size_t len)
{
    if (!on_bus_ || mode_ != UsbMode::Normal)
        return;
    ++reports_;
    if (len != kOutReportSize || r[0] != kOutReportId)
        return;
    switch (r[1]) {
    case 7: {  // version query
        uint8_t ready = s_.bt_ready ? 1 : 0;
        answer({kInReportId, 7, (uint8_t)(bt_ >> 8), (uint8_t)bt_, ready, ready, (uint8_t)s_.sonix, 0, 0},
               t_.answer_ms);
        break;
    }
    case 1:  // Bluetooth image: start or data block
        if (r[2] == 0xFF && r[3] == 0xFF)
            bt_start(r);
        else
            bt_data(r);
        break;
    case 5: bt_verify(r); break;
    case 8:  // restart into the boot loader (a firmware with the run-time DFU interface uses that instead)
        if (r[2] == 0xAA && r[3] == 0x55 && !s_.runtime_dfu)
            restart(UsbMode::Bootloader, t_.bootloader_up_ms);
        break;
    case 11:
        if (s_.finish_ack)
            answer({kInReportId, 11, 0, 0, 0, 0, 0, 0, 0}, t_.answer_ms);
        break;
    default: break;
    }
}

void KeyboardModel::bt_start(const uint8_t* r)
{
    bt_open_ = false;
    // An image for the other family is refused without a word.
    if (r[4] != 0xAA || r[5] != bt_family()) {
        if (host_.firmware)
            host_.firmware("bt", "start_refused", -1);
        return;
    }
    bt_open_ = true;
    bt_confirmed_ = false;
    bt_rx_.assign(kBtFlash, 0xFF);
    bt_written_.assign(kBtFlash, false);
}

void KeyboardModel::bt_data(const uint8_t* r)
{
    if (!bt_open_)
        return;
    size_t a = (size_t)r[2] << 8 | r[3];
    if (a < kBtFirstAddress) {
        if (host_.violation)
            host_.violation("bt.block_below_0300", "block at " + std::to_string(a));
        return;
    }
    if (a + kBtBlock > kBtFlash) {
        if (host_.violation)
            host_.violation("bt.block_beyond_flash", "block at " + std::to_string(a));
        return;
    }
    for (size_t i = 0; i < kBtBlock; ++i) {
        bt_rx_[a + i] = r[4 + i];
        bt_written_[a + i] = true;
    }
}

void KeyboardModel::bt_verify(const uint8_t* r)
{
    if (!bt_open_)
        return;  // no transfer under way: nothing to sum, no answer
    size_t first = (size_t)r[2] << 8 | r[3];
    size_t last = (size_t)r[4] << 8 | r[5];
    bool whole = first <= last;
    if (first < kBtFirstAddress || last >= kBtFlash || first > last) {
        if (host_.violation)
            host_.violation("bt.verify_range", std::to_string(first) + " to " + std::to_string(last));
        whole = false;
    }
    uint32_t sum = 0;
    for (size_t a = first; a <= last && a < kBtFlash; ++a) {
        if (bt_written_[a])
            sum += bt_rx_[a];
        else
            whole = false;
    }
    uint32_t told = sum;
    switch (s_.checksum) {
    case ChecksumAnswer::Correct:
        bt_confirmed_ = whole && sum == s_.package_bt_sum;
        if (bt_confirmed_)
            judge_bt_image();
        break;
    case ChecksumAnswer::Wrong: told = sum + 0x101; break;
    case ChecksumAnswer::None: return;
    }
    answer({kInReportId, 5, (uint8_t)(told >> 24), (uint8_t)(told >> 16), (uint8_t)(told >> 8), (uint8_t)told,
            0, 0, 0},
           t_.checksum_ms);
}

void KeyboardModel::judge_bt_image()
{
    InfoBlock info = read_info_block(bt_rx_, kBtInfoOffset);
    const char* what = "unverifiable";
    int version = s_.bt_after;
    if (info.present) {
        bool ok = info_block_crc_ok(bt_rx_, kBtInfoOffset, kBtFirstAddress, info);
        what = ok ? "runs" : "invalid";
        version = !ok ? -1 : s_.bt_after >= 0 ? s_.bt_after : (int)info.version;
    }
    bt_next_ = version;
    ++stored_.bt_confirmations;
    stored_.bt_confirmed = bt_rx_;
    if (info.present ? version >= 0 : true)  // an image without an info block runs too
        bt_next_image_ = bt_rx_;
    if (host_.firmware)
        host_.firmware("bt", what, version);
}

bool KeyboardModel::control(const ControlSetup& setup, uint8_t* data, uint32_t* transferred)
{
    *transferred = 0;
    dfu_unanswered_ = false;
    if (!on_bus_ || (mode_ != UsbMode::Bootloader && !s_.runtime_dfu))
        return false;
    bool ok = boot_.control(setup, data, transferred);
    dfu_unanswered_ = !ok && boot_.last_transfer_unanswered();
    return ok;
}

}  // namespace models
