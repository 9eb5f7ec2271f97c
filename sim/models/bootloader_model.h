// The keyboard's NXP USB boot loader as it answers USB DFU 1.1 class
// requests on its default pipe. Plain C++: the world around it (bus, clock,
// trace) is reached only through the callbacks it is given.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

namespace models {

// DFU 1.1 states.
enum : uint8_t {
    DFU_APP_IDLE = 0,
    DFU_APP_DETACH = 1,
    DFU_IDLE = 2,
    DFU_DNLOAD_SYNC = 3,
    DFU_DNBUSY = 4,
    DFU_DNLOAD_IDLE = 5,
    DFU_MANIFEST_SYNC = 6,
    DFU_MANIFEST = 7,
    DFU_MANIFEST_WAIT_RESET = 8,
    DFU_UPLOAD_IDLE = 9,
    DFU_ERROR = 10,
};

// DFU 1.1 status codes used here.
enum : uint8_t {
    DFU_STATUS_OK = 0x00,
    DFU_STATUS_ERR_CHECK_ERASED = 0x05,
    DFU_STATUS_ERR_STALLEDPKT = 0x0F,
};

struct BootloaderSettings {
    int poll_ms = 5;              // bwPollTimeout of every status answer
    int busy_polls = 1;           // dfuDNBUSY answers after each block
    int error_at_block = -1;      // block number after which dfuERROR/errCHECK_ERASED is reported
    int manifest_polls = 2;       // dfuMANIFEST answers after the final request
    bool fail_transfers = false;  // the default pipe answers nothing
    uint8_t interface_number = 0;
    uint16_t transfer_size = 2048;  // wTransferSize of its functional descriptor
};

struct ControlSetup {
    uint8_t request_type;
    uint8_t request;
    uint16_t value;
    uint16_t index;
    uint16_t length;
};

struct BootloaderEvents {
    // Every request that reaches the device (ok: it was completed, not stalled
    // or lost). `name` is the DFU request name, e.g. "DNLOAD".
    std::function<void(const char* name, uint16_t value, uint16_t length, bool ok)> request;
    // The downloaded firmware is in place; the device waits for a reset.
    std::function<void()> manifested;
};

class BootloaderModel {
public:
    BootloaderModel(const BootloaderSettings& settings, BootloaderEvents events);

    // Power-on or USB reset: dfuIDLE, nothing received.
    void reset();
    // One control transfer on the default pipe. Host to device: `data` holds
    // setup.length bytes; device to host: it receives up to setup.length
    // bytes. Returns false when the transfer fails (stall or no answer).
    bool control(const ControlSetup& setup, uint8_t* data, uint32_t* transferred);

    uint8_t state() const { return state_; }
    uint8_t status() const { return status_; }
    int blocks_received() const { return blocks_; }
    const std::vector<uint8_t>& image() const { return image_; }
    // A download began and has not been manifested.
    bool download_pending() const { return pending_; }

    static const char* request_name(uint8_t request);

private:
    bool stall();
    bool get_status(uint8_t* data, uint16_t length, uint32_t* transferred);

    BootloaderSettings s_;
    BootloaderEvents ev_;
    uint8_t state_ = DFU_IDLE;
    uint8_t status_ = DFU_STATUS_OK;
    int busy_left_ = 0;
    int manifest_left_ = 0;
    bool error_pending_ = false;
    bool pending_ = false;
    bool manifest_done_ = false;
    int blocks_ = 0;
    std::vector<uint8_t> image_;
};

}  // namespace models
