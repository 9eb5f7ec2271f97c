#include "models/keyboard_model.h"

#include <cstring>

namespace models {

namespace {
const size_t kOutReportSize = 57;
const uint8_t kOutReportId = 6;
const uint8_t kInReportId = 5;
const size_t kBtSpace = 0x10000 + 32;  // 16-bit addresses plus one block
}  // namespace

KeyboardModel::KeyboardModel(const KeyboardSettings& settings, KeyboardHost host, KeyboardTiming timing)
    : s_(settings), host_(std::move(host)), t_(timing),
      boot_(settings.bootloader,
            BootloaderEvents{[this](const char* name, uint16_t value, uint16_t length, bool ok) {
                                 if (host_.dfu_request)
                                     host_.dfu_request(name, value, length, ok);
                             },
                             [this] { on_manifested(); }}),
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
    auto up = [this, mode] {
        mode_ = mode;
        if (mode == UsbMode::Normal)
            enter_normal_firmware();
        else
            boot_.reset();
        on_bus_ = true;
        host_.connect(mode);
    };
    if (delay == 0)
        up();
    else
        later(delay, up);
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
        later(up_delay, [this, mode] {
            mode_ = mode;
            if (mode == UsbMode::Normal)
                enter_normal_firmware();
            else
                boot_.reset();
            on_bus_ = true;
            host_.connect(mode);
        });
    });
}

void KeyboardModel::enter_normal_firmware()
{
    if (manifested_)
        nxp_ = s_.nxp_after >= 0 ? s_.nxp_after : (int)(s_.package_nxp & 0xFFFF);
    if (manifested_ || bt_confirmed_) {
        if (s_.bt_after >= 0)
            bt_ = s_.bt_after;
        else if (bt_confirmed_)
            bt_ = (int)(s_.package_bt & 0xFFFF);
    }
}

void KeyboardModel::on_manifested()
{
    manifested_ = true;
    firmware_starts_ = s_.returns;
    if (s_.returns)
        restart(UsbMode::Normal, t_.firmware_up_ms);
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
    case 8:  // restart into the boot loader
        if (r[2] == 0xAA && r[3] == 0x55)
            restart(UsbMode::Bootloader, t_.bootloader_up_ms);
        break;
    case 11:
        if (s_.finish_ack)
            answer({kInReportId, 11, 0, 0, 0, 0, 0, 0, 0}, t_.answer_ms);
        break;
    default: break;
    }
}

void KeyboardModel::bt_start(const uint8_t*)
{
    bt_open_ = true;
    bt_confirmed_ = false;
    bt_rx_.assign(kBtSpace, 0);
    bt_written_.assign(kBtSpace, false);
}

void KeyboardModel::bt_data(const uint8_t* r)
{
    if (!bt_open_)
        return;
    size_t a = (size_t)r[2] << 8 | r[3];
    for (size_t i = 0; i < 32; ++i) {
        bt_rx_[a + i] = r[4 + i];
        bt_written_[a + i] = true;
    }
}

void KeyboardModel::bt_verify(const uint8_t* r)
{
    size_t first = (size_t)r[2] << 8 | r[3];
    size_t last = (size_t)r[4] << 8 | r[5];
    uint32_t sum = 0;
    bool whole = bt_open_ && first <= last;
    for (size_t a = first; bt_open_ && a <= last; ++a) {
        if (bt_written_[a])
            sum += bt_rx_[a];
        else
            whole = false;
    }
    uint32_t told = sum;
    switch (s_.checksum) {
    case ChecksumAnswer::Correct: bt_confirmed_ = whole && sum == s_.package_bt_sum; break;
    case ChecksumAnswer::Wrong: told = sum + 0x101; break;
    case ChecksumAnswer::None: return;
    }
    answer({kInReportId, 5, (uint8_t)(told >> 24), (uint8_t)(told >> 16), (uint8_t)(told >> 8), (uint8_t)told,
            0, 0, 0},
           t_.checksum_ms);
}

bool KeyboardModel::control(const ControlSetup& setup, uint8_t* data, uint32_t* transferred)
{
    *transferred = 0;
    if (!on_bus_ || mode_ != UsbMode::Bootloader)
        return false;
    return boot_.control(setup, data, transferred);
}

}  // namespace models
