// The keyboard's command reports (57 bytes, report ID 6) and the decoding of
// its event reports (9 bytes, report ID 5) arriving through Raw Input.
#include "keyboard/kb.h"

#include "common/ui.h"
#include "package/ini.h"
#include "package/messages.h"
#include "package/package.h"

#include <cstddef>
#include <cstring>

namespace {

// Every report starts from zero filler and the report ID.
void kb_report_begin(uint8_t* report, uint8_t command)
{
    memset(report, 0, KB_OUT_REPORT_SIZE);
    report[0] = KB_REPORT_ID_OUT;
    report[1] = command;
}

// Largest raw input message read; larger ones are not ours.
const UINT kRawInputMax = 1060;

}  // namespace

void kb_build_get_version(uint8_t* report)
{
    kb_report_begin(report, KB_CMD_GET_VERSION);
    report[2] = 0xFF;
    report[3] = 0xFF;
    report[4] = 0xFF;
    report[5] = 0xFF;
}

void kb_build_bt_start(uint8_t* report, uint8_t family)
{
    kb_report_begin(report, KB_CMD_BT_WRITE);
    report[2] = (uint8_t)(KB_BT_START_MARK >> 8);
    report[3] = (uint8_t)(KB_BT_START_MARK & 0xFF);
    report[4] = 0xAA;
    report[5] = family;
}

void kb_build_bt_data(uint8_t* report, uint16_t address, const uint8_t* block32)
{
    kb_report_begin(report, KB_CMD_BT_WRITE);
    report[2] = (uint8_t)(address >> 8);
    report[3] = (uint8_t)(address & 0xFF);
    memcpy(report + 4, block32, KB_BT_BLOCK_SIZE);
}

void kb_build_bt_verify(uint8_t* report, uint32_t image_len)
{
    uint16_t last = (uint16_t)(image_len - 1);
    kb_report_begin(report, KB_CMD_BT_VERIFY);
    report[2] = (uint8_t)(KB_BT_FIRST_ADDRESS >> 8);
    report[3] = (uint8_t)(KB_BT_FIRST_ADDRESS & 0xFF);
    report[4] = (uint8_t)(last >> 8);
    report[5] = (uint8_t)(last & 0xFF);
}

void kb_build_enter_dfu(uint8_t* report)
{
    kb_report_begin(report, KB_CMD_ENTER_DFU);
    report[2] = 0xAA;
    report[3] = 0x55;
}

void kb_build_finish(uint8_t* report)
{
    kb_report_begin(report, KB_CMD_FINISH);
    report[2] = 0x00;
}

uint8_t kb_bt_family_byte(uint32_t package_bt_version)
{
    return (package_bt_version & 0xFF00) == 0xA200 ? 0xA2 : 0x55;
}

std::atomic<uint64_t> g_kb_bt_sum_seen{0};

namespace {

void kb_on_version(const uint8_t* r)
{
    g_kb_bt_version.store((uint32_t)r[2] * 256u + r[3]);
    uint8_t state = g_update_state.load();
    if (state == ST_BT_PREPARE) {
        if (r[4] == 1 && r[5] == 1)
            g_update_state.compare_exchange_strong(state, ST_BT_TRANSFER);
        return;
    }
    if (!g_silent && state == ST_REATTACHED && g_kb_bt_version.load() == 0)
        return;

    char text[256];
    log_append("\r\n");
    log_append(load_message(3, text));
    wsprintfA(text, " NXP=%04X, BT=%04X, Sonix=%02X", (unsigned)g_kb_nxp_version.load(),
              (unsigned)g_kb_bt_version.load(), (unsigned)r[6]);
    log_append(text);

    if (state == ST_REATTACHED) {
        uint32_t package_nxp = (uint32_t)parse_hex(INI_VER_NXP);
        bool nxp_ok = package_nxp == g_kb_nxp_version.load();
        if (g_silent ? nxp_ok : nxp_ok && g_kb_bt_version.load() == INI_VER_BT_VALUE)
            g_update_result.store(RESULT_VERIFIED);
    }
    ui_repaint();
    if (g_check)
        check_on_version();
}

void kb_on_event(const uint8_t* r)
{
    switch (r[1]) {
    case KB_EVT_BT_SUM:
        if (g_update_state.load() == ST_BT_TRANSFER) {
            uint32_t sum = ((uint32_t)r[2] << 24) | ((uint32_t)r[3] << 16) | ((uint32_t)r[4] << 8) | r[5];
            uint8_t expected = ST_BT_TRANSFER;
            g_kb_bt_sum_seen.store((1ull << 32) | sum);
            if (sum == g_bt_image_sum)
                g_update_state.compare_exchange_strong(expected, ST_BT_DONE);
        }
        break;
    case KB_EVT_VERSION: kb_on_version(r); break;
    case KB_EVT_FINISH_ACK: {
        uint8_t expected = ST_WAIT_ACK;
        g_update_state.compare_exchange_strong(expected, ST_ACKED);
        break;
    }
    default: break;
    }
}

}  // namespace

void kb_on_raw_input(HRAWINPUT raw)
{
    // The message is read into a zeroed buffer, and every field is read only
    // when the bytes the system actually delivered cover it.
    union {
        RAWINPUT input;
        uint8_t bytes[kRawInputMax];
    } buf;
    memset(&buf, 0, sizeof(buf));

    UINT size = 0;
    if (GetRawInputData(raw, RID_INPUT, nullptr, &size, sizeof(RAWINPUTHEADER)) == (UINT)-1)
        return;
    if (size > kRawInputMax)
        size = kRawInputMax;
    UINT got = GetRawInputData(raw, RID_INPUT, &buf, &size, sizeof(RAWINPUTHEADER));
    if (got == (UINT)-1 || got > kRawInputMax)
        return;

    // The bytes that hold the message: what was copied, and no more than the
    // header says the message has.
    size_t valid = got;
    if (valid < sizeof(RAWINPUTHEADER))
        return;
    if (buf.input.header.dwSize < valid)
        valid = buf.input.header.dwSize;
    if (buf.input.header.dwType != RIM_TYPEHID)
        return;
    const size_t report_at = offsetof(RAWINPUT, data.hid.bRawData);
    if (valid < report_at)
        return;

    RID_DEVICE_INFO info;
    memset(&info, 0, sizeof(info));
    info.cbSize = sizeof(info);
    UINT info_size = sizeof(info);
    UINT r = GetRawInputDeviceInfoA(buf.input.header.hDevice, RIDI_DEVICEINFO, &info, &info_size);
    if (r == (UINT)-1 || r < sizeof(info) || info.dwType != RIM_TYPEHID)
        return;
    bool ours = (info.hid.dwVendorId == KB_VID1 && info.hid.dwProductId == KB_PID1) ||
                (info.hid.dwVendorId == KB_VID2 && info.hid.dwProductId == KB_PID2);
    if (!ours || info.hid.usUsagePage != KB_EVT_USAGE_PAGE || info.hid.usUsage != KB_USAGE)
        return;

    // Only the first report is decoded, and only when it was delivered whole;
    // the report count is not looked at.
    if (buf.input.data.hid.dwSizeHid != KB_IN_REPORT_SIZE)
        return;
    if (valid < report_at + KB_IN_REPORT_SIZE)
        return;
    const uint8_t* report = buf.bytes + report_at;
    if (report[0] != KB_REPORT_ID_IN)
        return;
    kb_on_event(report);
}
