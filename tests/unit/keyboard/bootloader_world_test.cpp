// The keyboard's trip through its boot loader as the tool sees it: the
// restart command, the DFU interface and its WinUSB control transfers, and
// the return in normal mode with the new versions.
#include "kb_world.h"

#include "dfu/usb_list.h"

using namespace kbtest;

namespace {

WinUsbDevice* open_bootloader()
{
    auto* l = (UsbDeviceList*)malloc(sizeof(UsbDeviceList));
    CHECK(usb_list_init(l));
    WinUsbDevice* d = nullptr;
    if (usb_list_enumerate(l) > 0) {
        d = usb_list_find(l, INI_DFU_VID1, INI_DFU_PID1);
        if (!d)
            d = usb_list_find(l, INI_DFU_VID2, INI_DFU_PID2);
    }
    usb_list_free(l);
    return d;
}

bool control(WinUsbDevice* d, uint8_t type, uint8_t req, uint16_t value, uint8_t* buf, uint16_t len,
             ULONG* moved = nullptr)
{
    WINUSB_SETUP_PACKET s = {type, req, value, 0, len};
    ULONG n = 0;
    BOOL ok = WinUsb_ControlTransfer(d->iface, s, buf, len, &n, nullptr);
    if (moved)
        *moved = n;
    return ok;
}

uint8_t status_state(WinUsbDevice* d)
{
    uint8_t st[6] = {};
    ULONG n = 0;
    CHECK(control(d, 0xA1, 3, 0, st, 6, &n));
    CHECK_EQ(n, 6);
    return st[4];
}

std::vector<std::string> devices_seen()
{
    return trace().values<std::string>("device", "what");
}

}  // namespace

TEST(World, KeyboardRestartsIntoItsBootLoaderAndComesBackUpdated)
{
    static sim::KeyboardConfig k;
    k.bootloader.busy_polls = 1;
    k.bootloader.manifest_polls = 1;
    in_world(&k, [] {
        create_main_window();
        kb_probe();
        CHECK_EQ(g_kb_nxp_version, 0x0352);
        uint8_t r[KB_OUT_REPORT_SIZE];
        kb_build_enter_dfu(r);
        CHECK(kb_send_command(r));
        pump_until([] { return g_keyboard.load() == nullptr; }, 100);  // the removal closes it
        CHECK(!usb_bootloader_present());
        pump_for(1000);
        CHECK(usb_bootloader_present());
        CHECK((devices_seen() == std::vector<std::string>{"keyboard_removed", "bootloader_attached"}));

        WinUsbDevice* d = open_bootloader();
        CHECK(d != nullptr);
        // Only one opener at a time.
        CHECK(open_bootloader() == nullptr);
        // The package's image, in blocks of 2048 bytes.
        const uint16_t size = 2048;
        uint16_t blocks = 0;
        for (int32_t at = 0; at < g_usb_image.length; at += size, ++blocks) {
            CHECK(control(d, 0x21, 1, blocks, g_usb_image.data + at, size));
            CHECK_EQ(status_state(d), 4);  // dfuDNBUSY
            pump_for(5);                   // its bwPollTimeout
            CHECK_EQ(status_state(d), 5);  // dfuDNLOAD-IDLE
        }
        CHECK(control(d, 0x21, 1, blocks, nullptr, 0));
        CHECK_EQ(status_state(d), 7);  // dfuMANIFEST
        CHECK_EQ(sim::dfu_blocks(), 20);
        std::vector<json> dfu = trace().events("dfu");
        CHECK_EQ(dfu.size(), 62);
        CHECK_STR(dfu[0].dump(), "{\"t\":" + std::to_string(dfu[0]["t"].get<uint64_t>()) +
                                     ",\"ev\":\"dfu\",\"req\":\"DNLOAD\",\"value\":0,\"length\":2048}");
        // It leaves and comes back in normal mode; the tool's handle is dead.
        pump_for(100);
        CHECK(!control(d, 0xA1, 3, 0, r, 6));
        CHECK_EQ(GetLastError(), ERROR_BAD_COMMAND);
        usb_device_close(d);
        pump_until([] { return g_keyboard.load() != nullptr; }, 10000);
        CHECK(g_keyboard.load() != nullptr);
        CHECK_EQ(g_kb_nxp_version, 0x0353);  // the image's version
        CHECK((devices_seen() == std::vector<std::string>{"keyboard_removed", "bootloader_attached",
                                                          "bootloader_removed", "keyboard_attached"}));
        CHECK_EQ(sim::device_counters().open_winusb, 0);
        CHECK_EQ(sim::violations(), 0);
    });
}

TEST(World, BootLoaderSettingsAreLive)
{
    static sim::KeyboardConfig k;
    k.bootloader_mode = true;
    k.bootloader.identity = 2;
    k.bootloader.poll_ms = 300;
    k.bootloader.busy_polls = 1;
    k.bootloader.error_at_block = 1;
    in_world(&k, [] {
        create_main_window();
        WinUsbDevice* d = open_bootloader();
        CHECK(d != nullptr);
        UCHAR desc[18];
        ULONG n = 0;
        CHECK(WinUsb_GetDescriptor(d->iface, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, desc, 18, &n));
        CHECK_EQ(n, 18);
        CHECK_EQ(desc[8] | desc[9] << 8, INI_DFU_VID2);
        CHECK_EQ(desc[10] | desc[11] << 8, INI_DFU_PID2);
        uint8_t block[64] = {};
        CHECK(control(d, 0x21, 1, 0, block, 64));
        uint8_t st[6];
        CHECK(control(d, 0xA1, 3, 0, st, 6));
        CHECK_EQ(st[1] | st[2] << 8 | st[3] << 16, 300);
        CHECK_EQ(st[4], 4);  // dfuDNBUSY for its bwPollTimeout
        pump_for(300);
        CHECK(control(d, 0xA1, 3, 0, st, 6));
        CHECK_EQ(st[1] | st[2] << 8 | st[3] << 16, 0);
        CHECK_EQ(st[4], 5);
        CHECK(control(d, 0x21, 1, 1, block, 64));
        CHECK(control(d, 0xA1, 3, 0, st, 6));
        CHECK_EQ(st[0], 0x05);  // errCHECK_ERASED
        CHECK_EQ(st[4], 10);    // dfuERROR
        usb_device_close(d);
    });
    static sim::KeyboardConfig failing;
    failing.bootloader_mode = true;
    failing.bootloader.fail_transfers = true;
    in_world(&failing, [] {
        create_main_window();
        WinUsbDevice* d = open_bootloader();
        CHECK(d != nullptr);  // it enumerates; its default pipe answers nothing
        uint8_t st[6];
        CHECK(!control(d, 0xA1, 3, 0, st, 6));
        CHECK(!control(d, 0x21, 6, 0, nullptr, 0));
        std::vector<json> dfu = trace().events("dfu");
        CHECK_EQ(dfu.size(), 2);
        CHECK(dfu[0]["ok"] == false);
        usb_device_close(d);
    });
}

TEST(World, KeyboardThatDoesNotReturnStaysInItsBootLoader)
{
    static sim::KeyboardConfig k;
    k.bootloader_mode = true;
    k.returns = false;
    k.bootloader.busy_polls = 0;
    k.bootloader.manifest_polls = 0;
    in_world(&k, [] {
        create_main_window();
        WinUsbDevice* d = open_bootloader();
        CHECK(d != nullptr);
        uint8_t block[64] = {};
        CHECK(control(d, 0x21, 1, 0, block, 64));
        CHECK_EQ(status_state(d), 5);
        CHECK(control(d, 0x21, 1, 1, nullptr, 0));
        CHECK_EQ(status_state(d), 7);  // dfuMANIFEST, then it waits for a reset
        usb_device_close(d);
        pump_for(30000);
        CHECK(g_keyboard.load() == nullptr);
        CHECK(usb_bootloader_present());
        // It reset itself, and its boot loader came back.
        CHECK((devices_seen() == std::vector<std::string>{"bootloader_removed", "bootloader_attached"}));
    });
}
