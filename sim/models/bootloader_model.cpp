#include "models/bootloader_model.h"

#include <cstring>

namespace models {

namespace {
enum : uint8_t {
    REQ_DETACH = 0,
    REQ_DNLOAD = 1,
    REQ_UPLOAD = 2,
    REQ_GETSTATUS = 3,
    REQ_CLRSTATUS = 4,
    REQ_GETSTATE = 5,
    REQ_ABORT = 6,
};
const uint8_t kHostToInterface = 0x21;  // class request to the interface, host to device
const uint8_t kInterfaceToHost = 0xA1;  // class request to the interface, device to host

// The direction each request travels in: true for device to host.
bool request_is_in(uint8_t request)
{
    return request == REQ_UPLOAD || request == REQ_GETSTATUS || request == REQ_GETSTATE;
}
}  // namespace

BootloaderModel::BootloaderModel(const BootloaderSettings& settings, BootloaderEvents events)
    : s_(settings), ev_(std::move(events))
{
}

const char* BootloaderModel::request_name(uint8_t request)
{
    switch (request) {
    case REQ_DETACH: return "DETACH";
    case REQ_DNLOAD: return "DNLOAD";
    case REQ_UPLOAD: return "UPLOAD";
    case REQ_GETSTATUS: return "GETSTATUS";
    case REQ_CLRSTATUS: return "CLRSTATUS";
    case REQ_GETSTATE: return "GETSTATE";
    case REQ_ABORT: return "ABORT";
    default: return "UNKNOWN";
    }
}

const char* BootloaderModel::state_name(uint8_t state)
{
    static const char* const names[] = {"appIDLE",          "appDETACH",   "dfuIDLE",
                                        "dfuDNLOAD-SYNC",   "dfuDNBUSY",   "dfuDNLOAD-IDLE",
                                        "dfuMANIFEST-SYNC", "dfuMANIFEST", "dfuMANIFEST-WAIT-RESET",
                                        "dfuUPLOAD-IDLE",   "dfuERROR"};
    return state <= DFU_ERROR ? names[state] : "?";
}

uint64_t BootloaderModel::now() const
{
    return ev_.now ? ev_.now() : 0;
}

void BootloaderModel::violation(const char* rule, const std::string& detail)
{
    if (ev_.violation)
        ev_.violation(rule, detail);
}

void BootloaderModel::later(uint32_t ms, std::function<void()> fn)
{
    uint64_t gen = generation_;
    auto guarded = [this, gen, fn] {
        if (gen == generation_)
            fn();
    };
    if (ev_.after)
        ev_.after(ms, guarded);
    else
        guarded();
}

void BootloaderModel::reset()
{
    ++generation_;
    state_ = DFU_IDLE;
    status_ = DFU_STATUS_OK;
    error_pending_ = DFU_STATUS_OK;
    busy_left_ = 0;
    manifest_left_ = 0;
    status_due_ = 0;
    busy_until_ = 0;
    transfers_ = 0;
}

void BootloaderModel::enter_runtime()
{
    reset();
    state_ = DFU_APP_IDLE;
}

// Moves on from the states that end when their time has passed. A GETSTATUS
// that came too early but is let through counts as coming on time.
void BootloaderModel::advance(bool early_status_granted)
{
    bool elapsed = early_status_granted || !ev_.now || now() >= busy_until_;
    if (!elapsed)
        return;
    if (state_ == DFU_DNBUSY)
        state_ = DFU_DNLOAD_SYNC;
    else if (state_ == DFU_MANIFEST && s_.manifestation_tolerant)
        state_ = DFU_MANIFEST_SYNC;
}

bool BootloaderModel::stall(const ControlSetup& setup, const char* rule)
{
    if (!quiet_stall_)
        violation(rule, std::string(request_name(setup.request)) + " in " + state_name(state_));
    // In run-time mode and while waiting for its reset the device only
    // stalls; in DFU mode it enters dfuERROR until CLRSTATUS.
    if (state_ == DFU_APP_IDLE || state_ == DFU_APP_DETACH || state_ == DFU_MANIFEST_WAIT_RESET)
        return false;
    state_ = DFU_ERROR;
    status_due_ = 0;  // an error answer asks for no wait
    if (status_ == DFU_STATUS_OK)
        status_ = DFU_STATUS_ERR_STALLEDPKT;
    return false;
}

void BootloaderModel::finish_manifestation()
{
    pending_ = false;
    if (in_control_) {
        manifest_done_ = true;  // told once the request is complete
    } else if (ev_.manifested) {
        ev_.manifested();
    }
}

bool BootloaderModel::get_status(uint8_t* data, uint16_t length, uint32_t* transferred)
{
    uint32_t poll = 0;
    bool manifesting = false;
    const uint32_t manifest_poll = (uint32_t)(s_.manifest_poll_ms >= 0 ? s_.manifest_poll_ms : s_.poll_ms);
    switch (state_) {
    case DFU_DNLOAD_SYNC:
        if (error_pending_ != DFU_STATUS_OK) {
            state_ = DFU_ERROR;
            status_ = error_pending_;
            error_pending_ = DFU_STATUS_OK;
        } else if (busy_left_ > 0) {
            --busy_left_;
            state_ = DFU_DNBUSY;
            poll = (uint32_t)s_.poll_ms;
        } else {
            state_ = DFU_DNLOAD_IDLE;
        }
        break;
    case DFU_MANIFEST_SYNC:
        if (s_.manifestation_tolerant) {
            if (manifest_left_ > 0) {
                --manifest_left_;
                state_ = DFU_MANIFEST;
                poll = manifest_poll;
            } else {
                state_ = DFU_IDLE;
                finish_manifestation();
            }
        } else {
            // One answer: the whole manifestation, then it waits for its reset.
            state_ = DFU_MANIFEST;
            poll = manifest_poll * (uint32_t)(s_.manifest_polls > 0 ? s_.manifest_polls : 0);
            manifesting = true;
        }
        break;
    default: break;
    }
    busy_until_ = now() + poll;
    status_due_ = busy_until_;
    uint8_t answer[6];
    answer[0] = status_;
    answer[1] = (uint8_t)(poll & 0xFF);
    answer[2] = (uint8_t)((poll >> 8) & 0xFF);
    answer[3] = (uint8_t)((poll >> 16) & 0xFF);
    answer[4] = state_;
    answer[5] = 0;
    uint32_t n = length < 6 ? length : 6;
    if (data && n)
        memcpy(data, answer, n);
    *transferred = data ? n : 0;
    if (manifesting) {
        later(poll, [this] {
            if (state_ != DFU_MANIFEST)
                return;
            state_ = DFU_MANIFEST_WAIT_RESET;
            finish_manifestation();
        });
    }
    return true;
}

bool BootloaderModel::dnload_block(const ControlSetup& setup, const uint8_t* data, uint32_t* transferred)
{
    if (setup.length > s_.transfer_size)
        return stall(setup, "dfu.block_longer_than_wTransferSize");
    if (state_ == DFU_IDLE) {
        // A new download: the user flash is erased, block numbers start at 0.
        image_.clear();
        next_block_ = 0;
        pending_ = true;
    }
    ++blocks_;
    *transferred = setup.length;
    error_pending_ = DFU_STATUS_OK;
    if (setup.value != next_block_) {
        violation("dfu.block_sequence", "block " + std::to_string(setup.value) + " where " +
                                            std::to_string(next_block_) + " was due");
        error_pending_ = DFU_STATUS_ERR_UNKNOWN;
    } else if (image_.size() + setup.length > s_.flash_size) {
        violation("dfu.beyond_flash", "block " + std::to_string(setup.value) + " ends at " +
                                          std::to_string(image_.size() + setup.length) + " of " +
                                          std::to_string(s_.flash_size) + " bytes");
        error_pending_ = DFU_STATUS_ERR_ADDRESS;
    } else {
        if (data)
            image_.insert(image_.end(), data, data + setup.length);
        else
            image_.insert(image_.end(), setup.length, 0xFF);
        next_block_ = (uint16_t)(setup.value + 1);
        if (s_.error_at_block >= 0 && setup.value == s_.error_at_block)
            error_pending_ = DFU_STATUS_ERR_CHECK_ERASED;
    }
    busy_left_ = s_.busy_polls;
    state_ = DFU_DNLOAD_SYNC;
    return true;
}

bool BootloaderModel::control(const ControlSetup& setup, uint8_t* data, uint32_t* transferred)
{
    *transferred = 0;
    unanswered_ = false;
    const char* name = request_name(setup.request);
    if (hung_ || (s_.hang_after_transfers >= 0 && transfers_ >= s_.hang_after_transfers)) {
        // It has stopped answering: the transfer reaches nothing and changes nothing.
        unanswered_ = true;
        if (ev_.request)
            ev_.request(name, setup.value, setup.length, false);
        return false;
    }
    ++transfers_;
    if (s_.fail_transfers) {
        if (ev_.request)
            ev_.request(name, setup.value, setup.length, false);
        return false;
    }

    bool ok = false;
    in_control_ = true;
    bool in = setup.request_type == kInterfaceToHost;
    bool well_formed = setup.index == s_.interface_number && setup.request <= REQ_ABORT &&
                       (in ? request_is_in(setup.request)
                           : setup.request_type == kHostToInterface && !request_is_in(setup.request));
    // A host that has just opened the device, and has had no status answer
    // from it yet, cannot know a poll time-out given to an earlier host or
    // that the device is manifesting: its status requests are answered as
    // the device's state allows (a busy device stalls or stays silent), but
    // they break no rule.
    bool host_unaware = fresh_host_;
    quiet_stall_ = host_unaware && setup.request == REQ_GETSTATUS;
    // The device answers the same whoever asks; only what counts against
    // the host depends on what it could know.
    bool early = setup.request == REQ_GETSTATUS && ev_.now && now() < status_due_;
    bool granted = false;
    if (early) {
        if (!host_unaware)
            violation("dfu.getstatus_before_bwPollTimeout", std::string("in ") + state_name(state_) + ", " +
                                                                std::to_string(status_due_ - now()) +
                                                                " ms early");
        granted = !s_.stall_early_status;
    }
    advance(granted);

    if (!well_formed) {
        ok = stall(setup, "dfu.malformed_request");
    } else if (early && !granted) {
        ok = stall(setup, "dfu.request_not_allowed");
    } else if (state_ == DFU_MANIFEST && !s_.manifestation_tolerant) {
        // It cannot communicate while it manifests.
        if (!host_unaware)
            violation("dfu.request_while_manifesting", std::string(name) + " in dfuMANIFEST");
        ok = false;
    } else {
        uint8_t st = state_;
        uint8_t r = setup.request;
        bool app = st == DFU_APP_IDLE || st == DFU_APP_DETACH;
        if (r == REQ_GETSTATUS && st != DFU_DNBUSY && st != DFU_MANIFEST && st != DFU_MANIFEST_WAIT_RESET) {
            ok = get_status(data, setup.length, transferred);
            if (ok)
                fresh_host_ = false;
        } else if (r == REQ_GETSTATE && st != DFU_DNBUSY && st != DFU_MANIFEST &&
                   st != DFU_MANIFEST_WAIT_RESET) {
            if (data && setup.length >= 1) {
                data[0] = state_;
                *transferred = 1;
            }
            ok = true;
        } else if (r == REQ_DETACH && st == DFU_APP_IDLE) {
            state_ = DFU_APP_DETACH;
            uint32_t timeout = setup.value < s_.detach_timeout_ms ? setup.value : s_.detach_timeout_ms;
            ok = true;
            if (!s_.will_detach) {
                // It waits for the host's USB reset; without one it goes back to appIDLE.
                later(timeout, [this] {
                    if (state_ == DFU_APP_DETACH) {
                        violation("dfu.no_reset_after_detach", "appDETACH back to appIDLE");
                        state_ = DFU_APP_IDLE;
                    }
                });
            }
            if (ev_.detach)
                ev_.detach(timeout);
        } else if (app) {
            ok = stall(setup, "dfu.request_not_allowed");
        } else if (r == REQ_DNLOAD && setup.length > 0 && (st == DFU_IDLE || st == DFU_DNLOAD_IDLE)) {
            ok = dnload_block(setup, data, transferred);
        } else if (r == REQ_DNLOAD && setup.length == 0 && st == DFU_DNLOAD_IDLE) {
            manifest_left_ = s_.manifest_polls;
            state_ = DFU_MANIFEST_SYNC;
            ok = true;
        } else if (r == REQ_UPLOAD && s_.can_upload && (st == DFU_IDLE || st == DFU_UPLOAD_IDLE)) {
            // No read-back: every upload ends at once with a short (empty) block.
            state_ = DFU_IDLE;
            ok = true;
        } else if (r == REQ_ABORT && (st == DFU_IDLE || st == DFU_DNLOAD_IDLE || st == DFU_UPLOAD_IDLE)) {
            state_ = DFU_IDLE;
            busy_left_ = 0;
            error_pending_ = DFU_STATUS_OK;
            ok = true;
        } else if (r == REQ_CLRSTATUS && st == DFU_ERROR) {
            state_ = DFU_IDLE;
            status_ = DFU_STATUS_OK;
            ok = true;
        } else {
            ok = stall(setup, "dfu.request_not_allowed");
        }
    }
    in_control_ = false;
    quiet_stall_ = false;
    if (ev_.request)
        ev_.request(name, setup.value, setup.length, ok);
    if (manifest_done_) {
        manifest_done_ = false;
        if (ev_.manifested)
            ev_.manifested();
    }
    return ok;
}

}  // namespace models
