// The keyboard's vendor HID channel: discovery and connection, the report
// protocol and the Bluetooth image transfer.
#pragma once

#include "common/globals.h"

#include <cstdint>

#define KB_OUT_REPORT_SIZE 57
#define KB_IN_REPORT_SIZE 9
#define KB_REPORT_ID_OUT 6
#define KB_REPORT_ID_IN 5

#define KB_CMD_BT_WRITE 1
#define KB_CMD_BT_VERIFY 5
#define KB_CMD_GET_VERSION 7
#define KB_CMD_ENTER_DFU 8
#define KB_CMD_FINISH 11

#define KB_EVT_BT_SUM 5
#define KB_EVT_VERSION 7
#define KB_EVT_FINISH_ACK 11

#define KB_BT_START_MARK 0xFFFF
#define KB_BT_FIRST_ADDRESS 0x0300
#define KB_BT_BLOCK_SIZE 32
#define KB_WRITE_FAILURE_LIMIT 15
// A command write the device has not taken after this long is cancelled and
// counts as failed.
#define KB_WRITE_TIMEOUT_MS 1000

#define KB_VID1 0x3E71
#define KB_PID1 0x2A60
#define KB_VID2 0x1FC9
#define KB_PID2 0x0088
#define KB_CMD_USAGE_PAGE 0xFF01
#define KB_EVT_USAGE_PAGE 0xFF02
#define KB_USAGE 0x01

extern HDEVNOTIFY g_keyboard_notify;
extern uint8_t g_kb_write_failures;
// The checksum the keyboard reported last in this transfer, with bit 32 set
// once one came (0: none yet). For the support trace's cause record.
extern std::atomic<uint64_t> g_kb_bt_sum_seen;

// Discovery and connection (hid_device.cpp)
void kb_open(uint16_t vid, uint16_t pid);
// Closes the keyboard, drops its handle notification and disables Update.
// Also at exit.
void kb_close();
// The same, but the handle notification stays registered: after the
// system's query to remove the keyboard, its outcome (removal, or the query
// failed) still comes through it.
void kb_close_keep_notify();
// An update run starts: it works on the keyboard open now (or, when none is,
// on the first one opened during the run). Until the run is over, kb_open
// opens that keyboard only, so that another keyboard on the system never
// receives the run's commands nor answers its final check. UI thread only.
void kb_follow_for_run();
// The keyboard is open and `path` is its command collection's interface.
bool kb_is_open_path(const char* path);
// `path` is an interface of one of the keyboard's USB identities.
bool kb_names_keyboard(const char* path);
int kb_write_report(const uint8_t* report);
// One write of a command report, skipped when no keyboard is open; never
// overlaps a close of the handle.
BOOL kb_send_command(const uint8_t* report);
// The same; `waited_ms` receives how long the write was waited for:
// KB_WRITE_TIMEOUT_MS when the keyboard did not take it in time, else 0.
BOOL kb_send_command_timed(const uint8_t* report, UINT* waited_ms);
// The keyboard's part of a probe: closes the handle (dropping its
// registration), searches both identities afresh and registers `notify_wnd`
// for the removal of the keyboard found (the application decides what
// follows: kb_probe).
void kb_reopen(HWND notify_wnd);

// Report protocol (protocol.cpp): builders fill a 57-byte buffer.
void kb_build_get_version(uint8_t* report);
void kb_build_bt_start(uint8_t* report, uint8_t family);
void kb_build_bt_data(uint8_t* report, uint16_t address, const uint8_t* block32);
void kb_build_bt_verify(uint8_t* report, uint32_t image_len);
void kb_build_enter_dfu(uint8_t* report);
void kb_build_finish(uint8_t* report);
uint8_t kb_bt_family_byte(uint32_t package_bt_version);
void kb_on_raw_input(HRAWINPUT raw);

// Bluetooth transfer (bt_transfer.cpp)
void kb_send_bt_image();
