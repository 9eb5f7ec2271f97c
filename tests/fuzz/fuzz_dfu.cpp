// The DFU request layer against a boot loader whose every answer comes from
// the input: DFU_GETSTATUS decoding (dfu_get_status) and the download loop
// that acts on the statuses (dfu_download), in virtual time.
//
// Input: byte 0 picks status reads only (even) or a download (odd), byte 1
// the block length, byte 2 the image length in units of 16 bytes. Then, for
// every control transfer in turn, one byte: bit 0 set fails the transfer,
// bits 1-3 give the count of bytes the device claims to move (7: as many as
// asked); a GETSTATUS that succeeds takes the next six bytes as its answer.
// When the input is used up every transfer fails.
#include "fuzz_world.h"

#include "common/globals.h"
#include "dfu/dfu.h"
#include "host/sim_devices.h"

#include <cstring>

namespace {

const uint8_t* g_in;
size_t g_left;
DfuContext g_ctx;

uint8_t take()
{
    if (g_left == 0)
        return 1;  // fail
    g_left--;
    return *g_in++;
}

BOOL answer(const WINUSB_SETUP_PACKET& setup, PUCHAR buffer, ULONG length, PULONG moved)
{
    *moved = 0;
    uint8_t c = take();
    if (c & 1)
        return FALSE;
    ULONG claim = (c >> 1) & 7;
    if (claim == 7)
        claim = setup.Length;
    if (setup.Request == DFU_GETSTATUS && buffer) {
        for (ULONG i = 0; i < 6 && i < length; i++)
            buffer[i] = take();
    }
    *moved = claim;
    return TRUE;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzzworld::setup();
    sim::devices_setup(nullptr, sim::PackageFacts());
    sim::ExtraDfu dfu;
    dfu.identity = 0;
    dfu.vid = 0x1FC9;
    dfu.pid = 0x5002;
    sim::devices_add_dfu(dfu);
    sim::devices_set_control_answer(answer);
    g_wait_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    UsbDeviceList* list = (UsbDeviceList*)malloc(sizeof(UsbDeviceList));
    FUZZ_CHECK(list && usb_list_init(list));
    FUZZ_CHECK(usb_list_enumerate(list) == 1);
    g_ctx.interface_number = 0;
    g_ctx.device = usb_list_find(list, 0x1FC9, 0x5002);
    FUZZ_CHECK(g_ctx.device != nullptr);
    usb_list_free(list);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 3)
        return 0;
    bool download = data[0] & 1;
    uint16_t block_length = data[1];
    int32_t image_length = (int32_t)data[2] * 16;
    g_in = data + 3;
    g_left = size - 3;

    if (!download) {
        while (g_left > 0) {
            DfuStatus st;
            int32_t r = dfu_get_status(&g_ctx, &st);
            FUZZ_CHECK(r == 6 || r == DFU_TRANSFER_FAILED || (r >= 0 && r <= 7));
            if (r != 6)
                FUZZ_CHECK(st.bStatus == DFU_STATUS_ERR_UNKNOWN && st.bState == DFU_STATE_ERROR &&
                           st.bwPollTimeout == 0);
            FUZZ_CHECK(st.bwPollTimeout <= 0xFFFFFF);
        }
        return 0;
    }

    static uint8_t image_bytes[255 * 16];
    UsbImage image;
    image.data = image_length ? image_bytes : nullptr;
    image.length = image_length;
    image.suffix_length = 0;
    uint64_t t0 = sim::now_ms();
    dfu_download(&g_ctx, block_length, &image);
    // Every wait is bounded: each block's busy time, the manifestation's
    // limit and the 1 ms waits of failed transfers (a few per block; here
    // transfers take no time).
    uint64_t blocks = block_length ? ((uint64_t)image_length + block_length - 1) / block_length : 0;
    FUZZ_CHECK(sim::now_ms() - t0 <= (blocks + 1) * (DFU_BLOCK_BUSY_MAX_MS + 20) + DFU_MANIFEST_MAX_MS);
    return 0;
}
