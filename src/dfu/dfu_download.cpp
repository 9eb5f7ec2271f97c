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

// Milliseconds since `start` (a timeGetTime value).
uint32_t ms_since(DWORD start)
{
    return (uint32_t)(timeGetTime() - start);
}

// A download that stops on an error leaves no device in dfuERROR: DFU_CLRSTATUS,
// the one request that state takes besides the status requests, returns it
// to dfuIDLE. Only a full status answer (`got`) tells the state.
void clear_error(DfuContext* ctx, int32_t got, const DfuStatus& status)
{
    if (got == DFU_STATUS_SIZE && status.bState == DFU_STATE_ERROR)
        dfu_control_transfer(ctx->device, DFU_REQUEST_OUT, DFU_CLRSTATUS, 0, ctx->interface_number, nullptr,
                             0);
}

// After a DFU_DNLOAD of block `block` that failed, the status is read
// before anything else is sent. A device that still waits for that block
// (dfuIDLE before the first, dfuDNLOAD-IDLE after the one before) with no
// error never took it: true, it may be sent again. Otherwise the download
// stops; a refused request has left the device in dfuERROR, which is
// cleared. Clearing it ends the download's context in the device (dfuIDLE),
// so nothing is sent again: a new run starts over.
bool may_send_again(DfuContext* ctx, uint16_t block)
{
    DfuStatus status;
    int32_t got = dfu_get_status(ctx, &status);
    uint8_t waiting = block == 0 ? DFU_STATE_IDLE : DFU_STATE_DNLOAD_IDLE;
    if (got == DFU_STATUS_SIZE && status.bStatus == DFU_STATUS_OK && status.bState == waiting)
        return true;
    clear_error(ctx, got, status);
    return false;
}

// DFU_DNLOAD of one block (or the final zero-length request), sent again
// while the device shows that it never took it, up to DFU_DNLOAD_ATTEMPTS
// in all: the bytes moved, or -6.
int32_t send_block(DfuContext* ctx, uint16_t block, uint8_t* data, uint16_t length)
{
    for (int attempt = 1;; attempt++) {
        int32_t moved = dnload(ctx, block, data, length);
        if (moved >= 0)
            return moved;
        unsigned long error = trace_last_device_error();
        if (attempt >= DFU_DNLOAD_ATTEMPTS || !may_send_again(ctx, block)) {
            char why[96];
            snprintf(why, sizeof why, "\"block\":%u,\"length\":%u,\"attempts\":%d,\"error\":%lu",
                     (unsigned)block, (unsigned)length, attempt, error);
            trace_cause("transfer_failed", why);
            return moved;
        }
    }
}

// Polls after a block, whose DFU_DNLOAD was sent at `started`, until the
// device is idle again; false when the download must stop: no status, an
// error, or a wait beyond what a block may ask for.
bool block_accepted(DfuContext* ctx, DWORD started, uint16_t block)
{
    DfuStatus status;
    char why[128];
    for (int read = 0; read < DFU_BLOCK_READS_MAX; read++) {
        int32_t got = dfu_get_status(ctx, &status);
        if (got != DFU_STATUS_SIZE) {
            snprintf(why, sizeof why, "\"block\":%u,\"got\":%d,\"error\":%lu", (unsigned)block, (int)got,
                     trace_last_device_error());
            trace_cause("dfu_no_status", why);
            return false;
        }
        if (status.bState == DFU_STATE_ERROR || status.bStatus != DFU_STATUS_OK) {
            snprintf(why, sizeof why, "\"block\":%u,\"status\":%u,\"state\":%u", (unsigned)block,
                     (unsigned)status.bStatus, (unsigned)status.bState);
            trace_cause("dfu_status_error", why);
            clear_error(ctx, got, status);
            return false;
        }
        if (status.bState == DFU_STATE_DNLOAD_IDLE)
            return true;
        uint32_t wait = status.bwPollTimeout;
        if (wait > DFU_DNLOAD_POLL_MAX_MS || ms_since(started) + wait > DFU_BLOCK_BUSY_MAX_MS) {
            snprintf(why, sizeof why, "\"block\":%u,\"state\":%u,\"poll_ms\":%lu,\"busy_ms\":%lu",
                     (unsigned)block, (unsigned)status.bState, (unsigned long)wait,
                     (unsigned long)ms_since(started));
            trace_cause("dfu_wait_too_long", why);
            return false;
        }
        wait_ms(wait);
    }
    snprintf(why, sizeof why, "\"block\":%u,\"reads\":%d", (unsigned)block, DFU_BLOCK_READS_MAX);
    trace_cause("dfu_never_idle", why);
    return false;
}

// After the final request, sent at `started`: waits while the device
// manifests. The download was made unless the device itself reports an
// error, or asks for a wait beyond what manifestation may take. A device
// that ends manifesting in any other state, or stops answering (it leaves
// the bus to start its new firmware), has taken the whole image: whether it
// installed it shows in the versions it reports when it comes back.
bool manifested(DfuContext* ctx, DWORD started)
{
    DfuStatus status;
    char why[128];
    for (;;) {
        int32_t got = dfu_get_status(ctx, &status);
        if (got != DFU_STATUS_SIZE)
            return true;
        if (status.bState == DFU_STATE_ERROR || status.bStatus != DFU_STATUS_OK) {
            snprintf(why, sizeof why, "\"status\":%u,\"state\":%u", (unsigned)status.bStatus,
                     (unsigned)status.bState);
            trace_cause("dfu_manifest_error", why);
            clear_error(ctx, got, status);
            return false;
        }
        uint32_t wait = status.bwPollTimeout;
        if (wait > DFU_MANIFEST_POLL_MAX_MS || ms_since(started) + wait > DFU_MANIFEST_MAX_MS) {
            snprintf(why, sizeof why, "\"state\":%u,\"poll_ms\":%lu,\"manifest_ms\":%lu",
                     (unsigned)status.bState, (unsigned long)wait, (unsigned long)ms_since(started));
            trace_cause("dfu_manifest_too_long", why);
            return false;
        }
        wait_ms(wait);
        if (status.bState != DFU_STATE_MANIFEST_SYNC && status.bState != DFU_STATE_MANIFEST)
            return true;
        if (ms_since(started) + DFU_MANIFEST_PAUSE_MS > DFU_MANIFEST_MAX_MS) {
            snprintf(why, sizeof why, "\"state\":%u,\"manifest_ms\":%lu", (unsigned)status.bState,
                     (unsigned long)ms_since(started));
            trace_cause("dfu_manifest_too_long", why);
            return false;
        }
        wait_ms(DFU_MANIFEST_PAUSE_MS);
    }
}

// The longest single wait a state may ask for.
uint32_t poll_max(uint8_t state)
{
    return state == DFU_STATE_MANIFEST ? DFU_MANIFEST_POLL_MAX_MS : DFU_DNLOAD_POLL_MAX_MS;
}

// Brings a boot loader to dfuIDLE before a download, from the state its
// last status answer (`got`, `status`) shows: a busy state left by an
// earlier run is waited out, dfuERROR is cleared (DFU_CLRSTATUS, the only
// way out of it), any other state is aborted (DFU_ABORT). False when it
// cannot get there (it stays busy, asks for a longer wait than a poll is
// granted, or waits for a reset): nothing more is sent to it then.
bool ready_for_download(DfuContext* ctx, DfuStatus* status, int32_t got)
{
    for (int read = 0; read < DFU_PREPARE_READS && got == DFU_STATUS_SIZE; read++) {
        uint8_t state = status->bState;
        if (state == DFU_STATE_DNBUSY || state == DFU_STATE_MANIFEST) {
            uint32_t wait = status->bwPollTimeout;
            if (wait > poll_max(state))
                return false;
            wait_ms(wait);
            got = dfu_get_status(ctx, status);
            continue;
        }
        uint8_t request;
        if (state == DFU_STATE_ERROR)
            request = DFU_CLRSTATUS;
        else if (state == DFU_STATE_IDLE || state == DFU_STATE_DNLOAD_SYNC ||
                 state == DFU_STATE_DNLOAD_IDLE || state == DFU_STATE_MANIFEST_SYNC ||
                 state == DFU_STATE_UPLOAD_IDLE)
            request = DFU_ABORT;
        else
            return false;
        dfu_control_transfer(ctx->device, DFU_REQUEST_OUT, request, 0, ctx->interface_number, nullptr, 0);
        wait_ms(1);
        got = dfu_get_status(ctx, status);
        if (got == DFU_STATUS_SIZE && status->bState == DFU_STATE_IDLE)
            return true;
    }
    return false;
}

// The length of the image that is downloaded: without its DFU suffix.
int32_t download_length(const UsbImage* image)
{
    int32_t total = image->data ? image->length - (int32_t)image->suffix_length : 0;
    return total < 0 ? 0 : total;
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
    int32_t total = download_length(image);
    int32_t sent = 0;
    uint16_t block = 0;

    // An empty image would end a download that never began (DFU 1.1 refuses
    // a zero-length DFU_DNLOAD in dfuIDLE), and with a block length of 0 no
    // block could carry a byte: nothing is sent, the device keeps what it has.
    if (total == 0 || block_length == 0)
        return false;

    while (sent < total) {
        int32_t chunk = total - sent < block_length ? total - sent : block_length;
        DWORD started = timeGetTime();
        if (send_block(ctx, block, image->data + sent, (uint16_t)chunk) < 0)
            return false;
        block++;
        sent += chunk;
        if (!block_accepted(ctx, started, (uint16_t)(block - 1)))
            return false;
        ui_progress((uint32_t)(50 + (30 * (int64_t)sent) / ((int64_t)total + chunk)));
    }

    // The zero-length request ends the download; the device then manifests.
    DWORD started = timeGetTime();
    if (send_block(ctx, block, nullptr, 0) < 0)
        return false;
    ui_progress(80);
    return manifested(ctx, started);
}

bool dfu_image_present()
{
    return download_length(&g_usb_image) > 0;
}

bool dfu_update()
{
    // An empty image is refused before the download starts: nothing is sent.
    if (!dfu_image_present())
        return false;
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
        if (ready) {
            done = dfu_download(ctx, INI_DFU_TRANSFER_SIZE, &g_usb_image);
        } else {
            char why[96];
            snprintf(why, sizeof why, "\"status\":%u,\"state\":%u", (unsigned)status.bStatus,
                     (unsigned)status.bState);
            trace_cause("dfu_not_ready", why);
        }
        usb_device_close(ctx->device);
    } else {
        trace_cause("bootloader_not_found");
    }

    free(ctx);
    if (list)
        usb_list_free(list);
    return done;
}
