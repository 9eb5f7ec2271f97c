// Finding the keyboard's command collection, the probe, and the list of
// DFU boot-loader devices, in the simulated world.
#include "kb_world.h"

#include "dfu/usb_list.h"

#include <cstdlib>

using namespace kbtest;

namespace {

sim::KeyboardConfig keyboard(int identity = 1)
{
    sim::KeyboardConfig k;
    k.identity = identity;
    return k;
}

// A HID collection of identity 1 that matches the command collection.
sim::ExtraHid command_collection(uint16_t version)
{
    sim::ExtraHid h;
    h.vid = 0x3E71, h.pid = 0x2A60, h.version = version;
    h.usage_page = 0xFF01, h.usage = 1, h.output_len = 57;
    return h;
}

bool contains(const std::string& s, const std::string& part)
{
    return s.find(part) != std::string::npos;
}

void check_nothing_left_open(int handles_expected)
{
    sim::DeviceCounters c = sim::device_counters();
    CHECK_EQ(c.open_device_handles, handles_expected);
    CHECK_EQ(c.open_info_sets, 0);
    CHECK_EQ(c.open_preparsed, 0);
    CHECK_EQ(c.open_winusb, 0);
}

}  // namespace

TEST(World, FirstIdentityWinsOverTheSecond)
{
    static sim::KeyboardConfig second = keyboard(2);
    in_world(&second, [] {
        // The keyboard of identity 2 enumerates before a collection of identity 1.
        sim::devices_add_hid(command_collection(0x0999));
        create_main_window();
        kb_probe();
        CHECK(g_keyboard.load() != nullptr);
        CHECK_EQ(g_kb_nxp_version, 0x0999);
        CHECK(contains(sim::device_path_of(g_keyboard), "vid_3e71&pid_2a60"));
        check_nothing_left_open(1);
    });
    in_world(&second, [] {
        create_main_window();
        kb_probe();
        CHECK(g_keyboard.load() != nullptr);
        CHECK_EQ(g_kb_nxp_version, 0x0352);
        CHECK(contains(sim::device_path_of(g_keyboard), "vid_1fc9&pid_0088"));
        CHECK(contains(sim::device_path_of(g_keyboard), "&col02"));
    });
}

TEST(World, CollectionsThatDoNotMatchAreOpenedTestedAndClosed)
{
    in_world(nullptr, [] {
        sim::ExtraHid h = command_collection(1);
        h.output_len = 64;
        sim::devices_add_hid(h);  // wrong report length
        h = command_collection(2);
        h.usage_page = 0xFF02, h.output_len = 0, h.input_len = 9;
        sim::devices_add_hid(h);  // the event collection
        h = command_collection(3);
        h.usage = 2;
        sim::devices_add_hid(h);  // another usage
        h = command_collection(4);
        h.pid = 0x2A61;
        sim::devices_add_hid(h);  // another product
        h = command_collection(5);
        h.usage_page = 1, h.usage = 6, h.output_len = 2;
        sim::devices_add_hid(h);  // a standard keyboard: not opened for writing
        kb_open(KB_VID1, KB_PID1);
        CHECK(g_keyboard.load() == nullptr);
        CHECK_EQ(g_kb_nxp_version, 0);
        CHECK_EQ(sim::device_counters().device_opens, 4);
        check_nothing_left_open(0);
        kb_open(KB_VID2, KB_PID2);
        CHECK(g_keyboard.load() == nullptr);
        check_nothing_left_open(0);
    });
}

TEST(World, FailingInterfacesAreSkippedAndTheFirstMatchWins)
{
    in_world(nullptr, [] {
        sim::ExtraHid h = command_collection(1);
        h.refuse_open = true;
        sim::devices_add_hid(h);
        h = command_collection(2);
        h.enum_fails = true;
        sim::devices_add_hid(h);
        h = command_collection(3);
        h.attributes_fail = true;
        sim::devices_add_hid(h);
        sim::devices_add_hid(command_collection(4));
        sim::devices_add_hid(command_collection(5));
        kb_open(KB_VID1, KB_PID1);
        CHECK(g_keyboard.load() != nullptr);
        CHECK_EQ(g_kb_nxp_version, 4);
        check_nothing_left_open(1);
    });
}

TEST(World, CloseDisablesTheButtonAndKeepsTheVersion)
{
    static sim::KeyboardConfig k = keyboard();
    in_world(&k, [] {
        create_main_window();
        kb_probe();
        CHECK(g_keyboard.load() != nullptr);
        CHECK(button_enabled());
        CHECK_EQ(g_kb_nxp_version, 0x0352);
        kb_close();
        CHECK(g_keyboard.load() == nullptr);
        CHECK(!button_enabled());
        CHECK_EQ(g_kb_nxp_version, 0x0352);
        check_nothing_left_open(0);
        EnableWindow(sim::child_by_id(g_main_wnd, IDC_UPDATE), TRUE);
        kb_close();  // nothing open: the button is disabled all the same
        CHECK(!button_enabled());
        // Unplugged, the last version seen stays.
        sim::schedule_after(0, [] { sim::device_action("detach"); });
        pump_for(20);
        kb_probe();
        CHECK(g_keyboard.load() == nullptr);
        CHECK_EQ(g_kb_nxp_version, 0x0352);
    });
}

TEST(World, ProbeInIdleAsksForVersionsAndLogsThem)
{
    static sim::KeyboardConfig k = keyboard();
    in_world(&k, [] {
        create_main_window();
        std::string before = log_text();
        kb_probe();
        CHECK(button_enabled());
        pump_for(50);
        std::vector<std::string> out = kb_out_hex();
        CHECK_EQ(out.size(), 1);
        CHECK_STR(out[0], report_hex({6, 7, 0xFF, 0xFF, 0xFF, 0xFF}));
        CHECK_STR(log_text(), before + "\r\n" + message(3) + " NXP=0352, BT=A23F, Sonix=12");
        CHECK_EQ(g_kb_bt_version, 0xA23F);
    });
}

TEST(World, ProbeFollowUpsByState)
{
    static sim::KeyboardConfig k = keyboard();
    in_world(&k, [] {
        create_main_window();
        g_update_state = ST_DETACHED;
        kb_probe();
        CHECK_EQ(g_update_state, ST_REATTACHED);
        CHECK(!button_enabled());
        g_update_state = ST_BT_TRANSFER;
        kb_probe();
        CHECK(g_keyboard.load() != nullptr);
        CHECK_EQ(g_update_state, ST_BT_TRANSFER);
        CHECK(!button_enabled());
        pump_for(50);
        CHECK(kb_out_hex().empty());  // no version query outside ST_IDLE
    });
    in_world(nullptr, [] {
        create_main_window();
        g_update_state = ST_DETACHED;
        kb_probe();
        CHECK_EQ(g_update_state, ST_DETACHED);
        CHECK(g_keyboard.load() == nullptr);
        g_update_state = ST_IDLE;
        kb_probe();  // neither keyboard nor boot loader
        CHECK(!button_enabled());
        // Outside ST_IDLE the boot loader is not looked for: the download
        // may hold it open.
        sim::ExtraDfu d;
        d.identity = 1;
        sim::devices_add_dfu(d);
        for (uint8_t st = ST_BT_PREPARE; st <= ST_REATTACHED; ++st) {
            g_update_state = st;
            kb_probe();
            CHECK_EQ(g_update_state, st);
            CHECK(!button_enabled());
        }
        CHECK_EQ(sim::device_counters().device_opens, 0);
        g_update_state = ST_IDLE;
        kb_probe();
        CHECK(button_enabled());
    });
}

TEST(World, ProbeEnablesUpdateForTheBootLoaderOfEitherIdentity)
{
    for (int identity : {1, 2}) {
        in_world(nullptr, [identity] {
            create_main_window();
            sim::ExtraDfu d;
            d.identity = identity;
            sim::devices_add_dfu(d);
            kb_probe();
            CHECK(g_keyboard.load() == nullptr);
            CHECK(button_enabled());
            check_nothing_left_open(0);  // looked at and closed again
        });
    }
    in_world(nullptr, [] {
        create_main_window();
        sim::ExtraDfu d;
        d.identity = 0, d.vid = 0x1FC9, d.pid = 0x5003;  // not the package's
        sim::devices_add_dfu(d);
        kb_probe();
        CHECK(!button_enabled());
        check_nothing_left_open(0);
    });
    static sim::KeyboardConfig boot = keyboard();
    boot.bootloader_mode = true;
    boot.bootloader.identity = 2;
    in_world(&boot, [] {
        create_main_window();
        kb_probe();
        CHECK(button_enabled());
        check_nothing_left_open(0);
    });
}

namespace {
std::vector<WPARAM> g_commands;
LRESULT CALLBACK recording_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg == WM_COMMAND)
        g_commands.push_back(wp);
    return DefWindowProcA(hwnd, msg, wp, lp);
}

// A main window that only records the commands posted to it.
void create_recording_window()
{
    WNDCLASSA wc = {};
    wc.lpfnWndProc = recording_proc;
    wc.lpszClassName = "kb probe test";
    CHECK(RegisterClassA(&wc) != 0);
    g_main_wnd = CreateWindowExA(0, "kb probe test", "", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                                 nullptr, nullptr, nullptr);
    CHECK(CreateWindowExA(0, "BUTTON", "", WS_CHILD | WS_DISABLED, 0, 0, 10, 10, g_main_wnd,
                          (HMENU)(uintptr_t)IDC_UPDATE, nullptr, nullptr) != nullptr);
}
}  // namespace

TEST(World, SilentProbeSendsNoQueryAndAlwaysPostsUpdate)
{
    static sim::KeyboardConfig k = keyboard();
    for (bool with_keyboard : {true, false}) {
        in_world(with_keyboard ? &k : nullptr, [with_keyboard] {
            create_recording_window();
            g_silent = 1;
            kb_probe();
            CHECK(button_enabled() == with_keyboard);
            pump_until([] { return !g_commands.empty(); }, 100);
            CHECK_EQ(g_commands.size(), 1);
            CHECK_EQ(g_commands[0], IDC_UPDATE);
            CHECK(kb_out_hex().empty());
        });
    }
}

TEST(World, ProbeWatchesOnlyTheOpenHandle)
{
    static sim::KeyboardConfig k = keyboard();
    in_world(&k, [] {
        create_main_window();
        int base = sim::device_counters().notify_registrations;  // HID and DFU classes
        CHECK_EQ(base, 2);
        kb_probe();
        CHECK(g_keyboard_notify != nullptr);
        CHECK_EQ(sim::device_counters().notify_registrations, 3);
        kb_probe();
        kb_probe();
        CHECK_EQ(sim::device_counters().notify_registrations, 3);
        // Removal: the registration is dropped once, through the drop message.
        sim::schedule_after(0, [] { sim::device_action("detach"); });
        pump_for(20);
        CHECK(g_keyboard.load() == nullptr);
        CHECK_EQ(sim::device_counters().notify_registrations, 2);
        kb_probe();
        CHECK_EQ(sim::device_counters().notify_registrations, 2);
        CHECK_EQ(sim::device_counters().bad_unregisters, 0);
    });
}

TEST(World, WriteBudgetOfFifteenFailures)
{
    in_world(nullptr, [] {
        create_main_window();
        static std::vector<std::pair<int, uint64_t>> results;
        static bool done = false;
        HANDLE t = CreateThread(
            nullptr, 0,
            [](LPVOID) -> DWORD {
                uint8_t r[KB_OUT_REPORT_SIZE];
                kb_build_get_version(r);
                g_kb_write_failures = 0;
                for (int i = 0; i < 2; ++i) {
                    uint64_t t0 = sim::now_ms();
                    int ok = kb_write_report(r);
                    results.push_back({ok, sim::now_ms() - t0});
                }
                done = true;
                return 0;
            },
            nullptr, 0, nullptr);
        CHECK(t != nullptr);
        pump_until([] { return done; });
        CHECK_EQ(results.size(), 2);
        CHECK_EQ(results[0].first, 0);
        CHECK_EQ(results[0].second, 15000);
        CHECK_EQ(results[1].first, 0);
        CHECK_EQ(results[1].second, 0);
        CHECK_EQ(g_kb_write_failures, 15);
    });
    static sim::KeyboardConfig k = keyboard();
    in_world(&k, [] {
        create_main_window();
        kb_probe();
        static std::vector<int> results;
        static bool done = false;
        CreateThread(
            nullptr, 0,
            [](LPVOID) -> DWORD {
                uint8_t r[KB_OUT_REPORT_SIZE];
                kb_build_finish(r);
                g_kb_write_failures = 15;  // spent: nothing is written
                results.push_back(kb_write_report(r));
                g_kb_write_failures = 14;  // one attempt left, and it succeeds
                results.push_back(kb_write_report(r));
                done = true;
                return 0;
            },
            nullptr, 0, nullptr);
        pump_until([] { return done; });
        CHECK_EQ(results[0], 0);
        CHECK_EQ(results[1], 1);
        CHECK_EQ(g_kb_write_failures, 14);  // a success does not give failures back
        std::vector<std::string> out = kb_out_hex();
        CHECK_EQ(out.size(), 2);  // the probe's query and the one finish
        CHECK_STR(out[1], report_hex({6, 0x0B, 0}));
    });
}

// ------------------------------------------------------------ DFU device list
namespace {
UsbDeviceList* new_list()
{
    auto* l = (UsbDeviceList*)malloc(sizeof(UsbDeviceList));
    CHECK(l != nullptr);
    CHECK(usb_list_init(l));
    return l;
}

sim::ExtraDfu dfu_of(uint16_t vid, uint16_t pid)
{
    sim::ExtraDfu d;
    d.identity = 0, d.vid = vid, d.pid = pid;
    return d;
}

uint16_t entry_pid(const UsbDeviceEntry* e)
{
    return (uint16_t)(e->descriptor[10] | e->descriptor[11] << 8);
}
}  // namespace

TEST(World, DeviceListHoldsTenEntriesChainedInOrder)
{
    in_world(nullptr, [] {
        create_main_window();
        for (uint16_t n = 0; n < 12; ++n)
            sim::devices_add_dfu(dfu_of(0x1FC9, (uint16_t)(0x100 + n)));
        UsbDeviceList* l = new_list();
        CHECK_STR(l->name, "bus0");
        CHECK(l->next == nullptr && l->prev == nullptr);
        CHECK_EQ(usb_list_enumerate(l), 10);
        // It stopped as soon as the tenth was added: ten devices opened once each.
        CHECK_EQ(sim::device_counters().device_opens, 10);
        const UsbDeviceEntry* prev = nullptr;
        int n = 0;
        for (const UsbDeviceEntry* e = l->entries; e; e = e->next, ++n) {
            CHECK(e == &l->entries[n]);
            CHECK(e->prev == prev);
            CHECK(e->owner == l);
            CHECK_EQ(entry_pid(e), 0x100 + n);
            CHECK(contains(e->path, "pid_01"));
            prev = e;
        }
        CHECK_EQ(n, 10);
        usb_list_free(l);
        check_nothing_left_open(0);
    });
}

TEST(World, DevicesThatCannotBeListedLeaveNoEntry)
{
    in_world(nullptr, [] {
        create_main_window();
        sim::devices_add_dfu(dfu_of(0x1FC9, 0x0201));
        sim::ExtraDfu refused = dfu_of(0x1FC9, 0x0202);
        refused.refuse_open = true;
        sim::devices_add_dfu(refused);
        sim::ExtraDfu short_desc = dfu_of(0x1FC9, 0x0203);
        short_desc.descriptor_len = 17;
        sim::devices_add_dfu(short_desc);
        sim::ExtraDfu long_path = dfu_of(0x1FC9, 0x0204);
        long_path.path_padding = 300;  // its path does not fit the entry
        sim::devices_add_dfu(long_path);
        sim::devices_add_dfu(dfu_of(0x1FC9, 0x0205));
        sim::ExtraDfu last = dfu_of(0x1FC9, 0x0206);
        last.refuse_open = true;
        sim::devices_add_dfu(last);  // the last device is not listed either
        UsbDeviceList* l = new_list();
        CHECK_EQ(usb_list_enumerate(l), 2);
        CHECK_EQ(entry_pid(&l->entries[0]), 0x0201);
        CHECK_EQ(entry_pid(&l->entries[1]), 0x0205);
        CHECK(l->entries[0].next == &l->entries[1]);
        CHECK(l->entries[1].prev == &l->entries[0]);
        CHECK(l->entries[1].next == nullptr);
        for (int i = 0; i < USB_LIST_MAX; ++i)
            CHECK(memchr(l->entries[i].path, 0, USB_PATH_SIZE) != nullptr);
        usb_list_free(l);
        check_nothing_left_open(0);
    });
    in_world(nullptr, [] {
        create_main_window();
        UsbDeviceList* l = new_list();
        CHECK_EQ(usb_list_enumerate(l), 0);
        CHECK_EQ(sim::device_counters().device_opens, 0);
        usb_list_free(l);
    });
}

TEST(World, FindOpensTheFirstMatchOnly)
{
    in_world(nullptr, [] {
        create_main_window();
        sim::ExtraDfu second;
        second.identity = 2;
        int a = sim::devices_add_dfu(second);
        sim::ExtraDfu first;
        first.identity = 1;
        int b = sim::devices_add_dfu(first);
        int c = sim::devices_add_dfu(first);
        UsbDeviceList* l = new_list();
        CHECK_EQ(usb_list_enumerate(l), 3);
        WinUsbDevice* d = usb_list_find(l, INI_DFU_VID1, INI_DFU_PID1);
        CHECK(d != nullptr);
        CHECK_EQ(sim::device_iface_of(d->file), b);  // the first of identity 1
        usb_device_close(d);
        d = usb_list_find(l, INI_DFU_VID2, INI_DFU_PID2);
        CHECK(d != nullptr);
        CHECK_EQ(sim::device_iface_of(d->file), a);
        usb_device_close(d);
        CHECK(usb_list_find(l, 0x1234, 0x5678) == nullptr);
        // The first match cannot be opened now: no other entry is tried.
        sim::devices_set_refuse_open(b, true);
        CHECK(usb_list_find(l, INI_DFU_VID1, INI_DFU_PID1) == nullptr);
        (void)c;
        usb_list_free(l);
        check_nothing_left_open(0);
    });
}
