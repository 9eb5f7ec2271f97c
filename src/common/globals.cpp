#include "common/globals.h"

shared_atomic<uint8_t> g_update_state{0};
uint8_t g_silent = 0;
uint8_t g_check = 0;
shared_atomic<uint32_t> g_update_result{RESULT_NO_UPDATE};
shared_atomic<uint32_t> g_update_done{0};
shared_atomic<HANDLE> g_keyboard{nullptr};
shared_atomic<uint32_t> g_kb_arrivals{0};
shared_atomic<uint32_t> g_kb_open_arrivals{0};
shared_atomic<uint32_t> g_kb_nxp_version{0};
shared_atomic<uint32_t> g_kb_bt_version{0};
HANDLE g_wait_event = nullptr;
