// The download of the USB image into the boot loader, block by block.
#include "dfu/dfu.h"

#include "common/globals.h"
#include "common/ui.h"
#include "package/ini.h"
#include "package/package.h"

#include <cstdlib>

namespace {

int32_t dnload(DfuContext* ctx, uint16_t block, uint8_t* data, uint16_t length)
{
    return dfu_control_transfer(ctx->device, DFU_REQUEST_OUT, DFU_DNLOAD, block, ctx->interface_number, data,
                                length);
}

// The wait a status answer asks for; false when it is longer than the host
// grants one poll. The next status request must not come sooner, so a
// device that asks for more has failed the download.
bool poll_wait(const DfuStatus& status, uint32_t* wait)
{
    *wait = status.bwPollTimeout;
    return status.bwPollTimeout <= DFU_POLL_WAIT_MAX_MS;
}

// Polls after a block until the device is idle again or reports an error;
// false when the download must stop. `download_busy_ms` is the waiting of
// all blocks so far.
bool block_accepted(DfuContext* ctx, uint32_t* download_busy_ms)
{
    DfuStatus status;
    uint32_t busy_ms = 0;
    for (int poll = 0; poll < DFU_BLOCK_POLLS; poll++) {
        if (dfu_get_status(ctx, &status) < 0)
            return false;
        if (status.bState == DFU_STATE_DNLOAD_IDLE || status.bState == DFU_STATE_ERROR)
            return status.bStatus == DFU_STATUS_OK;
        uint32_t wait = 0;
        if (!poll_wait(status, &wait) || busy_ms + wait > DFU_BLOCK_BUSY_MAX_MS || *download_busy_ms + wait > DFU_DOWNLOAD_BUSY_MAX_MS)
            return false;
        busy_ms += wait;
        *download_busy_ms += wait;
        wait_ms(wait);
    }
    return false;
}

// After the final request: waits while the device manifests. True when it
// ends manifesting in a state that says the image is in place (waiting for
// its reset, or idle again), or when it leaves the bus to reset after it was
// seen manifesting.
bool manifested(DfuContext* ctx)
{
    DfuStatus status;
    bool seen_manifesting = false;
    uint32_t spent_ms = 0;
    for (int poll = 0; poll < DFU_MANIFEST_POLLS; poll++) {
        if (dfu_get_status(ctx, &status) < 0)
            return seen_manifesting;
        uint32_t wait = 0;
        if (!poll_wait(status, &wait) || spent_ms + wait > DFU_MANIFEST_MAX_MS)
            return false;
        spent_ms += wait;
        wait_ms(wait);
        if (status.bState != DFU_STATE_MANIFEST_SYNC && status.bState != DFU_STATE_MANIFEST)
            return status.bStatus == DFU_STATUS_OK &&
                   (status.bState == DFU_STATE_MANIFEST_WAIT_RESET || status.bState == DFU_STATE_IDLE);
        seen_manifesting = true;
        if (spent_ms + 1000 > DFU_MANIFEST_MAX_MS)
            return false;
        spent_ms += 1000;
        wait_ms(1000);
    }
    return false;
}

// Brings a boot loader to dfuIDLE before a download, from the state its
// last status answer (`got`, `status`) shows: a busy state left by an
// earlier run is waited out, dfuERROR is cleared (DFU_CLRSTATUS, the only
// way out of it), any other state is aborted (DFU_ABORT). False when it
// cannot get there (it stays busy, asks for a longer wait than a poll is
// granted, or waits for a reset): nothing more is sent to it then.
bool ready_for_download(DfuContext* ctx, DfuStatus* status, int32_t got)
{
    for (int read = 0; read < DFU_PREPARE_READS && got >= 0; read++) {
        uint8_t state = status->bState;
        if (state == DFU_STATE_DNBUSY || state == DFU_STATE_MANIFEST) {
            uint32_t wait = 0;
            if (!poll_wait(*status, &wait))
                return false;
            wait_ms(wait);
            got = dfu_get_status(ctx, status);
            continue;
        }
        uint8_t request;
        if (state == DFU_STATE_ERROR)
            request = DFU_CLRSTATUS;
        else if (state == DFU_STATE_IDLE || state == DFU_STATE_DNLOAD_SYNC || state == DFU_STATE_DNLOAD_IDLE ||
                 state == DFU_STATE_MANIFEST_SYNC || state == DFU_STATE_UPLOAD_IDLE)
            request = DFU_ABORT;
        else
            return false;
        dfu_control_transfer(ctx->device, DFU_REQUEST_OUT, request, 0, ctx->interface_number, nullptr, 0);
        wait_ms(1);
        got = dfu_get_status(ctx, status);
        if (got >= 0 && status->bState == DFU_STATE_IDLE)
            return true;
    }
    return false;
}

// The boot loader of either package identity on a fresh enumeration, or none.
WinUsbDevice* find_bootloader(UsbDeviceList* list)
{
    if (usb_list_enumerate(list) <= 0)
        return nullptr;
    return usb_list_find_bootloader(list);
}

}  // namespace

bool dfu_download(DfuContext* ctx, uint16_t block_length, const UsbImage* image)
{
    int32_t total = image->data ? image->length - (int32_t)image->suffix_length : 0;
    if (total < 0)
        total = 0;
    int32_t sent = 0;
    uint16_t block = 0;
    uint32_t busy_ms = 0;

    // With a block length of 0 no block could carry a byte and the download
    // would never advance: nothing is sent, the device keeps what it has.
    if (total > 0 && block_length == 0)
        return false;

    while (sent < total) {
        int32_t chunk = total - sent < block_length ? total - sent : block_length;
        if (dnload(ctx, block, image->data + sent, (uint16_t)chunk) < 0)
            return false;
        block++;
        sent += chunk;
        if (!block_accepted(ctx, &busy_ms))
            return false;
        ui_progress((uint32_t)(50 + (30 * (int64_t)sent) / ((int64_t)total + chunk)));
    }

    // The zero-length request ends the download; the device then manifests.
    if (dnload(ctx, block, nullptr, 0) < 0)
        return false;
    ui_progress(80);
    return manifested(ctx);
}

bool dfu_update()
{
    UsbDeviceList* list = (UsbDeviceList*)malloc(sizeof(UsbDeviceList));
    DfuContext* ctx = (DfuContext*)malloc(sizeof(DfuContext));
    if (ctx) {
        ctx->interface_number = INI_DFU_INTERFACE;
        ctx->device = nullptr;
    }
    if (!list || !usb_list_init(list)) {
        free(list);
        list = nullptr;
    }

    if (ctx && list)
        ctx->device = find_bootloader(list);

    bool done = false;
    DfuStatus status;
    int32_t got = ctx && ctx->device ? dfu_get_status(ctx, &status) : -1;
    // Only a device in its run-time mode (appIDLE) is told to detach; a boot
    // loader would refuse DFU_DETACH and fall into dfuERROR.
    if (got >= 0 && INI_DFU_DETACH_DELAY != 0 && status.bState == DFU_STATE_APP_IDLE) {
        dfu_control_transfer(ctx->device, DFU_REQUEST_OUT, DFU_DETACH, DFU_DETACH_TIMEOUT_MS,
                             ctx->interface_number, nullptr, 0);
        log_append("\r\nDFU DETACH ...");
        ui_repaint();
        wait_ms(INI_DFU_DETACH_DELAY);
        // The device was told to detach: the interface it answered on is gone
        // once it re-enumerates as its boot loader, which is found anew.
        usb_device_close(ctx->device);
        ctx->device = find_bootloader(list);
        got = ctx->device ? dfu_get_status(ctx, &status) : -1;
    }
    // A device still in its run-time mode is no boot loader: nothing is sent to it.
    if (ctx && ctx->device && got >= 0 && status.bState < DFU_STATE_IDLE) {
        usb_device_close(ctx->device);
        ctx->device = nullptr;
    }
    if (ctx && ctx->device) {
        bool ready = ready_for_download(ctx, &status, got);
        log_append("\r\nDFU DOWNLOAD ...");
        if (ready)
            done = dfu_download(ctx, INI_DFU_TRANSFER_SIZE, &g_usb_image);
        usb_device_close(ctx->device);
    }

    free(ctx);
    if (list)
        usb_list_free(list);
    return done;
}
