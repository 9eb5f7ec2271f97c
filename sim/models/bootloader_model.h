// The keyboard's NXP USB DFU interface as it answers USB DFU 1.1 class
// requests on its default pipe: in the boot loader (DFU mode, dfuIDLE on)
// and, when the keyboard's firmware offers it, as the run-time DFU
// interface of the normal firmware (appIDLE, appDETACH). Plain C++: the
// world around it (bus, clock, trace) is reached only through the callbacks
// it is given.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
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
    DFU_STATUS_ERR_ADDRESS = 0x08,
    DFU_STATUS_ERR_UNKNOWN = 0x0E,
    DFU_STATUS_ERR_STALLEDPKT = 0x0F,
};

struct BootloaderSettings {
    int poll_ms = 5;          // bwPollTimeout while it is busy (dfuDNBUSY, dfuMANIFEST); 0 otherwise
    int busy_polls = 1;       // dfuDNBUSY answers after each block
    int error_at_block = -1;  // block number after which dfuERROR/errCHECK_ERASED is reported
    // Tolerant: dfuMANIFEST answers; not tolerant: manifestation lasts this
    // many times the manifestation's poll time.
    int manifest_polls = 2;
    int manifest_poll_ms = -1;    // bwPollTimeout of its dfuMANIFEST answers (-1: poll_ms)
    bool fail_transfers = false;  // every control transfer fails at once (a stall)
    // After this many control transfers since it started, it answers none:
    // every later transfer is left unanswered, and the host's pipe times out
    // (-1: never).
    int hang_after_transfers = -1;
    uint8_t interface_number = 0;
    // Its DFU functional descriptor.
    uint16_t transfer_size = 2048;        // wTransferSize: the longest DFU_DNLOAD block
    bool can_upload = false;              // bitCanUpload
    bool manifestation_tolerant = false;  // bitManifestationTolerant
    bool will_detach = true;              // bitWillDetach
    uint16_t detach_timeout_ms = 1000;    // wDetachTimeOut
    uint32_t flash_size = 0x10000;        // user flash the download is written to
    bool stall_early_status = false;  // a GETSTATUS before bwPollTimeout stalls (else it is only recorded)
};

// WinUSB's default time-out of the default pipe: a control transfer that the
// device leaves unanswered fails after this long (ERROR_SEM_TIMEOUT).
const uint32_t kControlPipeTimeoutMs = 5000;

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
    // The downloaded firmware is in place: in dfuMANIFEST-WAIT-RESET, or
    // back in dfuIDLE for a manifestation-tolerant device.
    std::function<void()> manifested;
    // Optional. A request that breaks a rule of USB DFU 1.1 (`rule` names it).
    std::function<void(const char* rule, const std::string& detail)> violation;
    // Optional. Milliseconds now; without it no time passes between requests.
    std::function<uint64_t()> now;
    // Optional. Runs `fn` `ms` milliseconds from now; without it, what waits
    // for time happens at once.
    std::function<void(uint32_t ms, std::function<void()> fn)> after;
    // Optional. DFU_DETACH accepted in appIDLE, with the time-out it runs with.
    std::function<void(uint32_t timeout_ms)> detach;
};

class BootloaderModel {
public:
    BootloaderModel(const BootloaderSettings& settings, BootloaderEvents events);

    // Power-on or USB reset into DFU mode: dfuIDLE. The flash keeps what it holds.
    void reset();
    // The normal firmware runs and offers the run-time DFU interface: appIDLE.
    void enter_runtime();
    // One control transfer on the default pipe. Host to device: `data` holds
    // setup.length bytes; device to host: it receives up to setup.length
    // bytes. Returns false when the transfer fails: a stall, or no answer at
    // all (last_transfer_unanswered()).
    bool control(const ControlSetup& setup, uint8_t* data, uint32_t* transferred);
    // The latest failed transfer got no answer: the host's side of it ends
    // only when its pipe times out (kControlPipeTimeoutMs), not at once.
    bool last_transfer_unanswered() const { return unanswered_; }
    // A host has just opened the device: until it has a status answer it
    // cannot know the poll time-out an earlier host was given, or that the
    // device manifests, so its status requests break no rule.
    void host_opened() { fresh_host_ = true; }

    uint8_t state() const { return state_; }
    uint8_t status() const { return status_; }
    int blocks_received() const { return blocks_; }
    // The bytes written to flash by the latest download, from its start.
    const std::vector<uint8_t>& image() const { return image_; }
    // A download began and has not been manifested.
    bool download_pending() const { return pending_; }
    const BootloaderSettings& settings() const { return s_; }

    // From now on it answers no control transfer (it has hung), for good.
    void hang() { hung_ = true; }

    static const char* request_name(uint8_t request);
    static const char* state_name(uint8_t state);

private:
    uint64_t now() const;
    void advance(bool early_status_granted);
    bool stall(const ControlSetup& setup, const char* rule);
    bool get_status(uint8_t* data, uint16_t length, uint32_t* transferred);
    bool dnload_block(const ControlSetup& setup, const uint8_t* data, uint32_t* transferred);
    void violation(const char* rule, const std::string& detail);
    void later(uint32_t ms, std::function<void()> fn);
    void finish_manifestation();

    BootloaderSettings s_;
    BootloaderEvents ev_;
    uint8_t state_ = DFU_IDLE;
    uint8_t status_ = DFU_STATUS_OK;
    uint8_t error_pending_ = DFU_STATUS_OK;  // reported by the next GETSTATUS of the block
    int busy_left_ = 0;
    int manifest_left_ = 0;
    uint64_t status_due_ = 0;   // no GETSTATUS before this time (the last bwPollTimeout)
    uint64_t busy_until_ = 0;   // end of dfuDNBUSY / dfuMANIFEST
    bool fresh_host_ = false;   // no status answer since a host opened the device
    bool quiet_stall_ = false;  // this request's stall is no fault of the host
    uint64_t generation_ = 0;   // timed transitions of an earlier state are void
    bool pending_ = false;
    bool manifest_done_ = false;
    bool in_control_ = false;
    int blocks_ = 0;
    int transfers_ = 0;  // control transfers since it started
    bool hung_ = false;
    bool unanswered_ = false;  // the latest transfer got no answer
    uint16_t next_block_ = 0;
    std::vector<uint8_t> image_;
};

}  // namespace models
