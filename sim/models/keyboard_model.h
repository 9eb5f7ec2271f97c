// The detachable keyboard as the host sees it over USB: in normal mode a HID
// function with a vendor command collection (output report 6, 57 bytes), a
// vendor event collection (input report 5, 9 bytes) and a standard keyboard
// collection, and, when its firmware offers it, the run-time DFU interface;
// in its DFU boot loader a DFU interface (BootloaderModel).
//
// Plain C++: the bus and the clock are reached only through the callbacks it
// is given; what it knows of the update package comes with its settings.
#pragma once

#include "models/bootloader_model.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace models {

enum class UsbMode { Normal, Bootloader };
enum class ChecksumAnswer { Correct, Wrong, None };

struct KeyboardSettings {
    int nxp = 0x0352;      // NXP version (HID VersionNumber) in normal mode
    int bt = 0xA23F;       // Bluetooth version it reports
    int sonix = 0x12;      // Sonix version it reports
    bool bt_ready = true;  // version answers carry both ready bytes 1
    ChecksumAnswer checksum = ChecksumAnswer::Correct;
    bool finish_ack = true;
    bool returns = true;  // restarts in normal mode after a manifested download
    // The version the received firmware reports once it runs (-1: the
    // version of the image's info block; an image without one leaves the old
    // version, as nothing tells what it would report).
    int nxp_after = -1;
    int bt_after = -1;
    bool starts_in_bootloader = false;
    // In normal mode it also offers the run-time DFU interface (appIDLE): it
    // leaves for its boot loader on DFU_DETACH and ignores KB_CMD_ENTER_DFU.
    bool runtime_dfu = false;
    BootloaderSettings bootloader;
    // The update package the device is rehearsed against.
    uint32_t package_nxp = 0;     // its NXP version
    uint32_t package_bt = 0;      // its Bluetooth version
    uint32_t package_bt_sum = 0;  // the checksum that confirms a complete image
};

// Delays of the device, in milliseconds.
struct KeyboardTiming {
    uint32_t answer_ms = 4;           // version and finish answers
    uint32_t checksum_ms = 30;        // summing the received image
    uint32_t enumerate_ms = 500;      // from power to enumeration
    uint32_t reset_ms = 20;           // from a restart command to leaving the bus
    uint32_t bootloader_up_ms = 800;  // from leaving to the boot loader's enumeration
    uint32_t firmware_up_ms = 1500;   // from leaving to the new firmware's enumeration
};

struct KeyboardHost {
    // Runs `fn` `ms` milliseconds from now.
    std::function<void(uint32_t ms, std::function<void()> fn)> after;
    // Sends one input report on the event collection.
    std::function<void(const uint8_t* report, size_t len)> send_input;
    // Enumerates on the bus in this mode / leaves the bus.
    std::function<void(UsbMode mode)> connect;
    std::function<void()> disconnect;
    // Every DFU request that reaches the boot loader.
    std::function<void(const char* name, uint16_t value, uint16_t length, bool ok)> dfu_request;
    // Optional. Milliseconds now (the DFU interface's poll timing needs it).
    std::function<uint64_t()> now;
    // Optional. The host broke a rule of the protocol it speaks to the device.
    std::function<void(const char* rule, const std::string& detail)> violation;
    // Optional. What a part made of a received image: `part` "usb" or "bt",
    // `what` "runs", "invalid", "unverifiable" or "start_refused"; `version`
    // the version it will report (-1: none).
    std::function<void(const char* part, const char* what, int version)> firmware;
};

class KeyboardModel {
public:
    KeyboardModel(const KeyboardSettings& settings, KeyboardHost host,
                  KeyboardTiming timing = KeyboardTiming());

    // The cable: plugged in (enumerates after enumerate_ms, or at once) / pulled.
    // A device that plays a recording instead (ReplayModel) answers these itself.
    virtual ~KeyboardModel() = default;
    virtual void plug(bool at_once = false);
    virtual void unplug();

    // An output report written to the command collection (normal mode).
    virtual void output_report(const uint8_t* data, size_t len);
    // A control transfer to the DFU interface (boot-loader mode).
    virtual bool control(const ControlSetup& setup, uint8_t* data, uint32_t* transferred);
    // The latest failed control transfer got no answer (its pipe times out).
    bool dfu_unanswered() const { return dfu_unanswered_; }
    // A host opened its DFU interface.
    void dfu_host_opened() { boot_.host_opened(); }
    // Its boot loader stops answering, for the rest of the run.
    void hang_bootloader() { boot_.hang(); }

    bool on_bus() const { return on_bus_; }
    UsbMode mode() const { return mode_; }
    uint16_t nxp_version() const { return (uint16_t)nxp_; }
    uint16_t bt_version() const { return (uint16_t)bt_; }
    int reports_received() const { return reports_; }
    int dfu_blocks() const { return boot_.blocks_received(); }
    bool bt_confirmed() const { return bt_confirmed_; }
    // The run-time DFU interface is on the bus (normal mode, runtime_dfu).
    bool runtime_dfu_present() const { return on_bus_ && mode_ == UsbMode::Normal && s_.runtime_dfu; }
    const BootloaderModel& bootloader() const { return boot_; }

    // What its parts hold, as a judge of a run reads it: the USB flash as the
    // latest manifestation left it, the Bluetooth flash as the latest
    // confirmed image left it, and the images its parts run now.
    struct Stored {
        int manifestations = 0;               // downloads the boot loader manifested
        std::vector<uint8_t> usb_manifested;  // the flash at the latest manifestation
        bool usb_running = false;             // the normal firmware runs a manifested image
        std::vector<uint8_t> usb_runs;        // that image
        int bt_confirmations = 0;             // Bluetooth images confirmed by their checksum
        std::vector<uint8_t> bt_confirmed;    // the Bluetooth flash at the latest confirmation
        bool bt_running = false;              // the Bluetooth IC runs a confirmed image
        std::vector<uint8_t> bt_runs;         // that image
    };
    const Stored& stored() const { return stored_; }

protected:
    void later(uint32_t ms, std::function<void()> fn);
    void answer(const std::vector<uint8_t>& report, uint32_t delay);
    void power_up(uint32_t delay);
    void restart(UsbMode mode, uint32_t up_delay);
    void come_up(UsbMode mode);
    void enter_normal_firmware();
    void on_manifested();
    void on_detach();
    uint8_t bt_family() const;
    void judge_bt_image();
    void bt_start(const uint8_t* r);
    void bt_data(const uint8_t* r);
    void bt_verify(const uint8_t* r);

    KeyboardSettings s_;
    KeyboardHost host_;
    KeyboardTiming t_;
    BootloaderModel boot_;

    uint64_t epoch_ = 0;  // changes whenever the device loses power or restarts
    bool powered_ = false;
    bool on_bus_ = false;
    bool first_power_ = true;
    UsbMode mode_ = UsbMode::Normal;
    int nxp_;
    int bt_;
    int reports_ = 0;
    bool dfu_unanswered_ = false;  // the latest control transfer got no answer

    // Bluetooth receiver
    bool bt_open_ = false;
    std::vector<uint8_t> bt_rx_;
    std::vector<bool> bt_written_;
    bool bt_confirmed_ = false;
    int bt_next_ = -1;  // version of a Bluetooth image accepted, from the next start on
    // firmware
    int nxp_next_ = -1;  // version of a manifested USB image that runs, from its start on
    bool firmware_starts_ = true;
    std::vector<uint8_t> usb_next_image_, bt_next_image_;  // start with the next firmware start
    Stored stored_;
};

}  // namespace models
