// Sending the Bluetooth image to the keyboard in 32-byte blocks and waiting
// for its checksum confirmation.
#include "keyboard/kb.h"

#include "common/ui.h"
#include "package/ini.h"
#include "package/messages.h"
#include "package/package.h"

#include <cstring>

void kb_send_bt_image()
{
    char text[256];
    log_append("\r\n");
    log_append(load_message(4, text));
    ui_repaint();

    uint8_t family = kb_bt_family_byte(INI_VER_BT_VALUE);
    g_kb_write_failures = 0;
    g_kb_bt_sum_seen = 0;

    uint8_t report[KB_OUT_REPORT_SIZE];
    kb_build_bt_start(report, family);
    kb_write_report(report);

    const uint32_t n = g_bt_image_len;
    // Blocks are taken from the image buffer only; a length beyond it (which
    // loading never produces) sends zeros rather than foreign memory.
    for (uint32_t a = KB_BT_FIRST_ADDRESS; a < n; a += KB_BT_BLOCK_SIZE) {
        uint8_t block[KB_BT_BLOCK_SIZE];
        memset(block, 0, sizeof(block));
        if (a < BT_IMAGE_MAX) {
            uint32_t take = BT_IMAGE_MAX - a;
            if (take > KB_BT_BLOCK_SIZE)
                take = KB_BT_BLOCK_SIZE;
            if (take > n - a)
                take = n - a;
            memcpy(block, g_bt_image + a, take);
        }
        kb_build_bt_data(report, (uint16_t)a, block);
        kb_write_report(report);
        uint32_t pos = (uint32_t)(50ull * a / n);
        ui_progress(pos);
    }

    kb_build_bt_verify(report, n);
    kb_write_report(report);

    log_append("\r\n");
    log_append(load_message(5, text));
    ui_repaint();

    for (int i = 0; i < 60; ++i) {
        wait_ms(100);
        if (g_update_state.load() == ST_BT_DONE) {
            log_append(" OK.");
            ui_repaint();
            return;
        }
    }
    // A confirmation that arrives as the wait ends still counts.
    uint8_t expected = ST_BT_TRANSFER;
    if (!g_update_state.compare_exchange_strong(expected, ST_IDLE)) {
        if (expected == ST_BT_DONE) {
            log_append(" OK.");
            ui_repaint();
            return;
        }
        g_update_state.store(ST_IDLE);
    }
    char why[96];
    uint64_t seen = g_kb_bt_sum_seen.load();
    if (g_kb_write_failures >= KB_WRITE_FAILURE_LIMIT) {
        snprintf(why, sizeof why, "\"failures\":%u,\"error\":%lu", (unsigned)g_kb_write_failures,
                 trace_last_device_error());
        trace_cause("keyboard_write_failed", why);
    } else if (seen) {
        snprintf(why, sizeof why, "\"sum\":%lu,\"expected\":%lu", (unsigned long)(uint32_t)seen,
                 (unsigned long)g_bt_image_sum);
        trace_cause("bt_checksum_wrong", why);
    } else {
        trace_cause("bt_checksum_missing", "\"waited_ms\":6000");
    }
    log_append(" NG. ");
    log_append(load_message(6, text));
    log_append("\r\n");
    ui_repaint();
}
