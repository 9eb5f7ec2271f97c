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

// Polls after a block until the device is idle again or reports an error;
// false when the download must stop.
bool block_accepted(DfuContext* ctx)
{
    DfuStatus status;
    for (int poll = 0; poll < DFU_BLOCK_POLLS; poll++) {
        if (dfu_get_status(ctx, &status) < 0)
            return false;
        if (status.bState == DFU_STATE_DNLOAD_IDLE || status.bState == DFU_STATE_ERROR)
            return status.bStatus == DFU_STATUS_OK;
        wait_ms(status.bwPollTimeout);
    }
    return false;
}

}  // namespace

void dfu_download(DfuContext* ctx, uint16_t block_length, const UsbImage* image)
{
    int32_t total = image->data ? image->length - (int32_t)image->suffix_length : 0;
    if (total < 0)
        total = 0;
    int32_t sent = 0;
    uint16_t block = 0;

    // With a block length of 0 no block could carry a byte and the download
    // would never advance: nothing is sent, the device keeps what it has.
    if (total > 0 && block_length == 0)
        return;

    while (sent < total) {
        int32_t chunk = total - sent < block_length ? total - sent : block_length;
        if (dnload(ctx, block, image->data + sent, (uint16_t)chunk) < 0)
            return;
        block++;
        sent += chunk;
        if (!block_accepted(ctx))
            return;
        ui_progress((uint32_t)(50 + (30 * (int64_t)sent) / ((int64_t)total + chunk)));
    }

    // The zero-length request ends the download; the device then manifests.
    if (dnload(ctx, block, nullptr, 0) < 0)
        return;
    ui_progress(80);

    DfuStatus status;
    for (int poll = 0; poll < DFU_MANIFEST_POLLS; poll++) {
        if (dfu_get_status(ctx, &status) < 0)
            return;
        wait_ms(status.bwPollTimeout);
        if (status.bState != DFU_STATE_MANIFEST_SYNC && status.bState != DFU_STATE_MANIFEST)
            return;
        wait_ms(1000);
    }
}

void dfu_update()
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

    if (ctx && list && usb_list_enumerate(list) > 0)
        ctx->device = usb_list_find_bootloader(list);

    if (ctx && ctx->device) {
        if (INI_DFU_DETACH_DELAY != 0) {
            dfu_control_transfer(ctx->device, DFU_REQUEST_OUT, DFU_DETACH, DFU_DETACH_TIMEOUT_MS,
                                 ctx->interface_number, nullptr, 0);
            log_append("\r\nDFU DETACH ...");
            ui_repaint();
            wait_ms(INI_DFU_DETACH_DELAY);
        }
        dfu_control_transfer(ctx->device, DFU_REQUEST_OUT, DFU_ABORT, 0, ctx->interface_number, nullptr, 0);
        wait_ms(1);
        DfuStatus status;
        dfu_get_status(ctx, &status);
        dfu_get_status(ctx, &status);
        log_append("\r\nDFU DOWNLOAD ...");
        dfu_download(ctx, INI_DFU_TRANSFER_SIZE, &g_usb_image);
        usb_device_close(ctx->device);
    }

    free(ctx);
    if (list)
        usb_list_free(list);
}
