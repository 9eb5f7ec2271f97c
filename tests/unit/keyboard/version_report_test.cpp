// The keyboard's version report in the states where it is logged, and the
// final version check, with the main window's log view in the simulated world.
#include "kb_world.h"
#include "raw_input_msg.h"

using namespace kbtest;

namespace {

void deliver_version(uint16_t bt, uint8_t sonix, uint8_t r1 = 1, uint8_t r2 = 1)
{
    rawmsg::deliver(rawmsg::with(rawmsg::version(bt, r1, r2, sonix), rawmsg::keyboard_events(2)));
}

std::string version_line(const char* versions)
{
    return "\r\n" + message(3) + versions;
}

}  // namespace

TEST(World, VersionReportIsLoggedOutsidePreparationAndCheckedWhenReattached)
{
    in_world(nullptr, [] {
        create_main_window();
        g_kb_nxp_version = 0x0353;
        // Every state but the preparation logs the versions; only the
        // re-attached state checks them.
        for (uint8_t st : {ST_IDLE, ST_BT_TRANSFER, ST_BT_DONE, ST_USB_DOWNLOAD, ST_USB_DONE, ST_WAIT_ACK,
                           ST_ACKED, ST_WAIT_DETACH, ST_DETACHED}) {
            g_update_state = st;
            std::string before = log_text();
            deliver_version(0xA23F, 0x12);
            CHECK_STR(log_text(), before + version_line(" NXP=0353, BT=A23F, Sonix=12"));
            CHECK_EQ(g_update_result, 1);
            CHECK_EQ(g_update_state, st);
        }
        g_update_state = ST_BT_PREPARE;
        std::string before = log_text();
        deliver_version(0x011E, 0x05, 1, 1);
        CHECK_STR(log_text(), before);
        CHECK_EQ(g_kb_bt_version, 0x011E);
        CHECK_EQ(g_update_state, ST_BT_TRANSFER);

        g_update_state = ST_REATTACHED;
        g_update_result = 7;
        // Interactive: a report without a Bluetooth version goes no further.
        before = log_text();
        deliver_version(0x0000, 0x12);
        CHECK_STR(log_text(), before);
        CHECK_EQ(g_kb_bt_version, 0);
        CHECK_EQ(g_update_result, 7);
        // The Bluetooth version must match as well as the NXP version.
        deliver_version(0xA23E, 0x12);
        CHECK_STR(log_text(), before + version_line(" NXP=0353, BT=A23E, Sonix=12"));
        CHECK_EQ(g_update_result, 7);
        g_kb_nxp_version = 0x1353;  // compared whole, not in 12 bits
        deliver_version(0xA23F, 0x12);
        CHECK_EQ(g_update_result, 7);
        g_kb_nxp_version = 0x0353;
        deliver_version(0xA23F, 0x0F);
        CHECK_EQ(g_update_result, 0);
        CHECK(log_text().size() > before.size());
        CHECK(log_text().compare(log_text().size() - 28, 28, " NXP=0353, BT=A23F, Sonix=0F") == 0);
    });
    in_world(nullptr, [] {
        create_main_window("-silent");
        g_kb_nxp_version = 0x0353;
        g_update_state = ST_REATTACHED;
        g_update_result = 7;
        // Silent: the report is logged and the NXP version alone decides.
        std::string before = log_text();
        deliver_version(0x0000, 0x12);
        CHECK_STR(log_text(), before + version_line(" NXP=0353, BT=0000, Sonix=12"));
        CHECK_EQ(g_update_result, 0);
    });
    in_world(nullptr, [] {
        create_main_window("-silent");
        g_kb_nxp_version = 0x0352;
        g_update_state = ST_REATTACHED;
        g_update_result = 6;
        deliver_version(0xA23F, 0x12);
        CHECK_EQ(g_update_result, 6);
    });
}
