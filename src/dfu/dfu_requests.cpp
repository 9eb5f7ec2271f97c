// DFU class requests to the boot loader's interface, through WinUSB.
#include "dfu/dfu.h"

#include "common/globals.h"

int32_t dfu_control_transfer(WinUsbDevice* dev, uint8_t request_type, uint8_t request, uint16_t value,
                             uint16_t index, uint8_t* buffer, uint16_t length)
{
    WINUSB_SETUP_PACKET setup;
    setup.RequestType = request_type;
    setup.Request = request;
    setup.Value = value;
    setup.Index = index;
    setup.Length = length;

    // One attempt: sent again blindly, a request the device refused would
    // reach it in the error state its refusal left it in.
    ULONG transferred = 0;
    if (WinUsb_ControlTransfer(dev->iface, setup, length ? buffer : nullptr, length, &transferred, nullptr))
        return (int32_t)transferred;
    wait_ms(1);
    return DFU_TRANSFER_FAILED;
}

int32_t dfu_get_status(DfuContext* ctx, DfuStatus* status)
{
    DWORD started = timeGetTime();
    int32_t result = DFU_TRANSFER_FAILED;
    for (int attempt = 0; attempt < DFU_STATUS_ATTEMPTS; attempt++) {
        // Every state that answers a status request answers it again, so the
        // read may be repeated; only not beyond its budget, as a device that
        // has stopped answering holds each attempt for a pipe time-out.
        if (attempt > 0 && timeGetTime() - started >= DFU_REQUEST_BUDGET_MS)
            break;
        // A failed or short answer leaves the device looking like dfuERROR.
        status->bStatus = DFU_STATUS_ERR_UNKNOWN;
        status->bwPollTimeout = 0;
        status->bState = DFU_STATE_ERROR;
        uint8_t answer[DFU_STATUS_SIZE] = {0};
        result = dfu_control_transfer(ctx->device, DFU_REQUEST_IN, DFU_GETSTATUS, 0, ctx->interface_number,
                                      answer, DFU_STATUS_SIZE);
        if (result == DFU_STATUS_SIZE) {
            status->bStatus = answer[0];
            status->bwPollTimeout = answer[1] | (uint32_t)answer[2] << 8 | (uint32_t)answer[3] << 16;
            status->bState = answer[4];
            return DFU_STATUS_SIZE;
        }
    }
    return result;
}
