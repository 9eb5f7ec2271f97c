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
#define DFU_TRANSFER_ATTEMPTS 6
#define DFU_STATUS_ATTEMPTS 6
#define DFU_BLOCK_POLLS 200
// A device that keeps reporting manifestation is asked this many times at
// the most, so that the run always comes to an end.
#define DFU_MANIFEST_POLLS 120
// bwPollTimeout has 24 bits (up to about 4.6 hours), but flash erase and
// manifestation take seconds on the boot loaders this tool serves. The host
// waits for any one poll time-out the device asks for up to this long, never
// less than it asks,
// lets one block keep the device busy for at most DFU_BLOCK_BUSY_MAX_MS of
// waiting and all blocks together for DFU_DOWNLOAD_BUSY_MAX_MS, and the
// whole manifestation last at most DFU_MANIFEST_MAX_MS. A device that asks
// for more has failed the download.
#define DFU_POLL_WAIT_MAX_MS 5000
#define DFU_BLOCK_BUSY_MAX_MS 30000
#define DFU_DOWNLOAD_BUSY_MAX_MS 120000
#define DFU_MANIFEST_MAX_MS 60000

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

// One control request with up to six attempts: the bytes moved, or -6.
int32_t dfu_control_transfer(WinUsbDevice* dev, uint8_t request_type, uint8_t request, uint16_t value,
                             uint16_t index, uint8_t* buffer, uint16_t length);
// DFU_GETSTATUS with up to six attempts: 6 when `status` holds a full answer,
// otherwise the last attempt's result with `status` at its failure values.
int32_t dfu_get_status(DfuContext* ctx, DfuStatus* status);
// The block loop of a download of `image` in blocks of `block_length` bytes;
// true when every byte was accepted and the device finished manifesting.
bool dfu_download(DfuContext* ctx, uint16_t block_length, const UsbImage* image);
// The whole procedure on the boot loader of either package identity; true
// only when the image was downloaded and manifested.
bool dfu_update();
