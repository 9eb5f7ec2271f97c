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

void BootloaderModel::reset()
{
    state_ = DFU_IDLE;
    status_ = DFU_STATUS_OK;
    busy_left_ = 0;
    manifest_left_ = 0;
    error_pending_ = false;
}

bool BootloaderModel::stall()
{
    // A request the state does not allow: the pipe stalls and the device
    // enters dfuERROR until CLRSTATUS.
    state_ = DFU_ERROR;
    if (status_ == DFU_STATUS_OK)
        status_ = DFU_STATUS_ERR_STALLEDPKT;
    return false;
}

bool BootloaderModel::get_status(uint8_t* data, uint16_t length, uint32_t* transferred)
{
    uint8_t reported = state_;
    switch (state_) {
    case DFU_DNLOAD_SYNC:
    case DFU_DNBUSY:
        if (error_pending_) {
            error_pending_ = false;
            state_ = DFU_ERROR;
            status_ = DFU_STATUS_ERR_CHECK_ERASED;
            reported = DFU_ERROR;
        } else if (busy_left_ > 0) {
            --busy_left_;
            state_ = DFU_DNBUSY;
            reported = DFU_DNBUSY;
        } else {
            state_ = DFU_DNLOAD_IDLE;
            reported = DFU_DNLOAD_IDLE;
        }
        break;
    case DFU_MANIFEST_SYNC:
    case DFU_MANIFEST:
        if (manifest_left_ > 0) {
            --manifest_left_;
            state_ = DFU_MANIFEST;
            reported = DFU_MANIFEST;
        } else {
            state_ = DFU_MANIFEST_WAIT_RESET;
            reported = DFU_MANIFEST_WAIT_RESET;
            pending_ = false;
            manifest_done_ = true;
        }
        break;
    default: break;
    }
    uint8_t answer[6];
    uint32_t poll = (uint32_t)s_.poll_ms;
    answer[0] = status_;
    answer[1] = (uint8_t)(poll & 0xFF);
    answer[2] = (uint8_t)((poll >> 8) & 0xFF);
    answer[3] = (uint8_t)((poll >> 16) & 0xFF);
    answer[4] = reported;
    answer[5] = 0;
    uint32_t n = length < 6 ? length : 6;
    if (data && n)
        memcpy(data, answer, n);
    *transferred = data ? n : 0;
    return true;
}

bool BootloaderModel::control(const ControlSetup& setup, uint8_t* data, uint32_t* transferred)
{
    *transferred = 0;
    const char* name = request_name(setup.request);
    if (s_.fail_transfers) {
        if (ev_.request)
            ev_.request(name, setup.value, setup.length, false);
        return false;
    }

    bool ok = false;
    bool out = setup.request_type == kHostToInterface;
    bool in = setup.request_type == kInterfaceToHost;
    if (setup.index != s_.interface_number || (!out && !in)) {
        ok = stall();
    } else if (state_ == DFU_MANIFEST_WAIT_RESET && setup.request != REQ_GETSTATUS) {
        ok = false;  // waits for a reset and answers nothing else
    } else {
        switch (setup.request) {
        case REQ_DETACH:
            // Meaningful in run-time mode only; the boot loader accepts and ignores it.
            ok = out;
            break;
        case REQ_DNLOAD:
            if (!out) {
                ok = stall();
            } else if (setup.length > 0 && (state_ == DFU_IDLE || state_ == DFU_DNLOAD_IDLE) &&
                       setup.length <= s_.transfer_size) {
                if (state_ == DFU_IDLE)
                    image_.clear();
                if (data)
                    image_.insert(image_.end(), data, data + setup.length);
                ++blocks_;
                pending_ = true;
                busy_left_ = s_.busy_polls;
                error_pending_ = s_.error_at_block >= 0 && setup.value == s_.error_at_block;
                state_ = DFU_DNLOAD_SYNC;
                *transferred = setup.length;
                ok = true;
            } else if (setup.length == 0 && state_ == DFU_DNLOAD_IDLE) {
                manifest_left_ = s_.manifest_polls;
                state_ = DFU_MANIFEST_SYNC;
                ok = true;
            } else {
                ok = stall();
            }
            break;
        case REQ_UPLOAD:
            // No read-back: the first upload request ends at once with a short packet.
            if (in && (state_ == DFU_IDLE || state_ == DFU_UPLOAD_IDLE)) {
                state_ = DFU_IDLE;
                ok = true;
            } else {
                ok = stall();
            }
            break;
        case REQ_GETSTATUS: ok = in ? get_status(data, setup.length, transferred) : stall(); break;
        case REQ_CLRSTATUS:
            if (out && state_ == DFU_ERROR) {
                state_ = DFU_IDLE;
                status_ = DFU_STATUS_OK;
                ok = true;
            } else {
                ok = stall();
            }
            break;
        case REQ_GETSTATE:
            if (in) {
                if (data && setup.length >= 1) {
                    data[0] = state_;
                    *transferred = 1;
                }
                ok = true;
            } else {
                ok = stall();
            }
            break;
        case REQ_ABORT:
            if (out && (state_ == DFU_IDLE || state_ == DFU_DNLOAD_SYNC || state_ == DFU_DNLOAD_IDLE ||
                        state_ == DFU_MANIFEST_SYNC || state_ == DFU_UPLOAD_IDLE)) {
                state_ = DFU_IDLE;
                busy_left_ = 0;
                error_pending_ = false;
                ok = true;
            } else {
                ok = stall();
            }
            break;
        default: ok = stall(); break;
        }
    }
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
