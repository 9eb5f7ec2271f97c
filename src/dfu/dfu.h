// USB DFU 1.1 over WinUSB: class requests and the download procedure.
#pragma once

#include "dfu/usb_list.h"
#include "package/package.h"

#include <cstdint>

#define DFU_DETACH 0
#define DFU_DNLOAD 1
#define DFU_UPLOAD 2
#define DFU_GETSTATUS 3
#define DFU_CLRSTATUS 4
#define DFU_GETSTATE 5
#define DFU_ABORT 6

#define DFU_REQUEST_OUT 0x21  // host to device, class, interface
#define DFU_REQUEST_IN 0xA1   // device to host, class, interface
#define DFU_DETACH_TIMEOUT_MS 1000
#define DFU_STATUS_SIZE 6
#define DFU_TRANSFER_FAILED (-6)
// A status read is tried up to six times, and no attempt begins once its
// budget has passed since the first began. A transfer the device leaves
// unanswered ends only when WinUSB's default pipe time-out (5 s) has passed,
// so a status read of a device that has stopped answering costs one such
// time-out, and no status read lasts longer than the budget plus one
// time-out. Requests that change the device's state are sent once: after
// their failure the status is read before anything else is sent.
#define DFU_STATUS_ATTEMPTS 6
// A DFU_DNLOAD that failed is sent again, up to this many times in all, only
// while the status read after it shows that the device never took it.
#define DFU_DNLOAD_ATTEMPTS 6
#define DFU_REQUEST_BUDGET_MS 5000
// What a conformant boot loader may ask for (docs/devices.md): a single
// poll time-out of up to 30 s during the download and up to 60 s in
// manifestation; each block busy for up to 60 s in all, from its DFU_DNLOAD
// until the device is idle again; the manifestation up to 120 s in all,
// from the final request on. Time spent in transfers counts. The download
// as a whole has no limit while its blocks keep being accepted. A device
// that asks for more has failed the download: the host stops before the
// wait that would go beyond these bounds.
#define DFU_DNLOAD_POLL_MAX_MS 30000
#define DFU_MANIFEST_POLL_MAX_MS 60000
#define DFU_BLOCK_BUSY_MAX_MS 60000
#define DFU_MANIFEST_MAX_MS 120000
// The pause between status reads while the device reports manifestation.
#define DFU_MANIFEST_PAUSE_MS 1000
// Status reads of one block at the most: a control transfer takes about a
// millisecond on the bus, so a device asking for no wait at all is still
// left within the block's busy time.
#define DFU_BLOCK_READS_MAX DFU_BLOCK_BUSY_MAX_MS

// Device states and statuses the host acts on.
#define DFU_STATE_APP_IDLE 0
#define DFU_STATE_IDLE 2
#define DFU_STATE_DNLOAD_SYNC 3
#define DFU_STATE_DNBUSY 4
#define DFU_STATE_DNLOAD_IDLE 5
#define DFU_STATE_MANIFEST_SYNC 6
#define DFU_STATE_MANIFEST 7
#define DFU_STATE_MANIFEST_WAIT_RESET 8
#define DFU_STATE_UPLOAD_IDLE 9
#define DFU_STATE_ERROR 10
// Status reads at most while a boot loader is brought to dfuIDLE before a
// download (one left busy by an earlier run is waited for).
#define DFU_PREPARE_READS 8
#define DFU_STATUS_OK 0x00
#define DFU_STATUS_ERR_UNKNOWN 0x0E

struct DfuContext {
    uint8_t interface_number;  // wIndex of every request
    WinUsbDevice* device;      // owned; closed when the download ends
};

struct DfuStatus {
    uint8_t bStatus;
    uint32_t bwPollTimeout;  // milliseconds (24 bits)
    uint8_t bState;
};

// One control request, one attempt: the bytes moved, or -6 (after a 1 ms
// wait) when the transfer failed.
int32_t dfu_control_transfer(WinUsbDevice* dev, uint8_t request_type, uint8_t request, uint16_t value,
                             uint16_t index, uint8_t* buffer, uint16_t length);
// DFU_GETSTATUS with up to six attempts within DFU_REQUEST_BUDGET_MS: 6 when
// `status` holds a full answer, otherwise the last attempt's result with
// `status` at its failure values.
int32_t dfu_get_status(DfuContext* ctx, DfuStatus* status);
// The block loop of a download of `image` in blocks of `block_length` bytes;
// true when the download was made: every block and the final zero-length
// request were accepted, and the device reported no error while it
// manifested. An empty image is refused before anything is sent.
bool dfu_download(DfuContext* ctx, uint16_t block_length, const UsbImage* image);
// True when the package's USB image has bytes to download (without its DFU
// suffix).
bool dfu_image_present();
// The whole procedure on the boot loader of either package identity; true
// only when the download was made (dfu_download).
bool dfu_update();
