// The update run: one worker thread carries the whole sequence, from the
// Bluetooth stage through the DFU download and the detach and re-attach to
// the verified versions. The UI thread moves g_update_state on the keyboard's
// answers and on device events; the worker polls it in 100 ms steps.
#include "app/app.h"
#include "dfu/dfu.h"
#include "keyboard/kb.h"
#include "package/ini.h"
#include "package/messages.h"

namespace {

const unsigned kMsgUsbStage = 7;
const unsigned kMsgFailed = 8;
const unsigned kMsgCompleted = 9;
const unsigned kMsgDetachAttach = 10;
const unsigned kMsgClose = 12;

const int kReadyWaits = 100;      // 100 ms each: 10 s for the Bluetooth readiness
const int kReadyQueryEvery = 10;  // a version query before waits 1, 11, ..., 91
const UINT kPauseBeforeTransferMs = 1000;
const UINT kPauseAfterEnterDfuMs = 4000;
const int kKeyboardBackWaits = 300;  // 30 s for the keyboard after the download
const UINT kPauseBeforeFinishMs = 5000;
const int kFinishTries = 8;
const int kAnswerWaits = 10;      // 1 s for each answer
const int kCountdownWaits = 200;  // the 20-second count-down
const int kAfterCountdownWaits = 80;
const int kVersionTries = 50;
// The readiness wait and the finish handshake last 10 s and 8 s at most, the
// time a keyboard takes to refuse their commands included.
const UINT kReadyMs = 10000;
const UINT kFinishMs = 8000;
// The version check lasts 50 s at most, the time a keyboard takes to refuse
// a query (a write cancelled after KB_WRITE_TIMEOUT_MS) included.
const UINT kVersionCheckMs = 50000;

void log_message(unsigned number)
{
    char text[256];
    log_append(load_message(number, text));
}

// Sends a command; returns how long its write was waited for (a keyboard
// that does not take it costs the write's time-out).
UINT send(void (*build)(uint8_t*))
{
    if (g_closing)
        return 0;  // the tool is ending: no command goes out any more
    uint8_t report[KB_OUT_REPORT_SIZE] = {0};
    build(report);
    UINT waited = 0;
    kb_send_command_timed(report, &waited);
    return waited;
}

bool keyboard_open()
{
    return g_keyboard.load() != nullptr;
}

// The Bluetooth stage: readiness, transfer, checksum. The state is then
// ST_BT_DONE when the keyboard confirmed the image, else ST_IDLE. `ready`:
// the keyboard has reported its readiness already.
void bluetooth_stage(bool ready)
{
    g_update_result = RESULT_BT_FAILED;
    UINT spent = 0;
    for (int n = ready ? 0 : kReadyWaits; n >= 1 && spent < kReadyMs; n--) {
        if (n % kReadyQueryEvery == 0)
            spent += send(kb_build_get_version);
        if (spent >= kReadyMs)
            break;
        wait_ms(100);
        spent += 100;
        if (g_update_state == ST_BT_TRANSFER)
            break;
    }
    wait_ms(kPauseBeforeTransferMs);
    g_update_state = ST_BT_TRANSFER;
    kb_send_bt_image();
}

// Interactive: the finish handshake, the request to detach and re-attach and
// the count-down. True when the keyboard came back (ST_REATTACHED).
bool finish_and_reattach()
{
    wait_ms(kPauseBeforeFinishMs);
    g_update_state = ST_WAIT_ACK;
    UINT spent = 0;
    for (int t = 0; t < kFinishTries && spent < kFinishMs && g_update_state != ST_ACKED; t++) {
        spent += send(kb_build_finish);
        for (int w = 0; w < kAnswerWaits && spent < kFinishMs && g_update_state != ST_ACKED; w++) {
            wait_ms(100);
            spent += 100;
        }
    }
    log_append("\r\n");
    log_message(kMsgDetachAttach);
    ui_repaint();
    // The state the handshake ended in is the one replaced, so that an
    // acknowledgement arriving at this moment is neither lost nor left behind.
    if (g_update_state.exchange(ST_WAIT_DETACH) != ST_ACKED)
        g_update_result = RESULT_FINISH_NOT_ACKED;

    for (int n = kCountdownWaits; n >= 1; n--) {
        if (n % 10 == 0 && keyboard_open()) {
            char text[16];
            wsprintfA(text, " %u", (unsigned)(n / 10));
            log_append(text);
            ui_repaint();
        }
        wait_ms(100);
        if (g_update_state == ST_REATTACHED)
            return true;
    }
    for (int w = 0; w < kAfterCountdownWaits; w++) {
        wait_ms(100);
        if (g_update_state == ST_REATTACHED)
            return true;
    }
    char why[48];
    snprintf(why, sizeof why, "\"waited_ms\":%d,\"state\":%u", (kCountdownWaits + kAfterCountdownWaits) * 100,
             (unsigned)trace_peek(g_update_state));
    trace_cause("not_reattached", why);
    return false;
}

bool verified()
{
    return g_update_result == RESULT_VERIFIED;
}

// Asks for the versions until the UI thread has verified them,
// for 50 tries and 50 s at most: a keyboard that does not take the queries
// costs a write time-out each, which counts against the 50 s.
void verify_versions()
{
    // Not re-attached becomes versions that differ until the UI thread
    // verifies them; an unacknowledged finish stays, and so does a verified
    // result the UI thread may just have set.
    uint32_t expected = RESULT_NOT_REATTACHED;
    g_update_result.compare_exchange_strong(expected, RESULT_VERSIONS_DIFFER);
    UINT spent = 0;
    for (int t = 0; t < kVersionTries && spent < kVersionCheckMs && !verified(); t++) {
        uint8_t report[KB_OUT_REPORT_SIZE] = {0};
        kb_build_get_version(report);
        UINT waited = 0;
        kb_send_command_timed(report, &waited);
        spent += waited;
        for (int w = 0; w < kAnswerWaits && spent < kVersionCheckMs && !verified(); w++) {
            wait_ms(100);
            spent += 100;
        }
    }
}

void outcome()
{
    if (g_update_result == RESULT_VERIFIED) {
        log_append("\r\n");
        log_message(kMsgCompleted);
        log_append("\r\n");
        g_update_done = 1;
        char text[256];
        WCHAR wide[256];
        load_message(kMsgClose, text, wide);
        SetWindowTextW(GetDlgItem(g_main_wnd, IDC_UPDATE), wide);
    } else {
        uint32_t result = trace_peek(g_update_result);
        char why[128];
        if (result == RESULT_FINISH_NOT_ACKED) {
            trace_cause("finish_not_acknowledged");
        } else if (result == RESULT_VERSIONS_DIFFER) {
            snprintf(why, sizeof why, "\"nxp\":%u,\"bt\":%u,\"package_nxp\":%u,\"package_bt\":%u",
                     (unsigned)trace_peek(g_kb_nxp_version), (unsigned)trace_peek(g_kb_bt_version),
                     (unsigned)parse_hex(INI_VER_NXP), (unsigned)INI_VER_BT_VALUE);
            trace_cause("versions_differ", why);
        }
        log_append("\r\n");
        log_message(kMsgFailed);
        log_append("\r\n");
    }
    SendMessageA(GetDlgItem(g_main_wnd, IDC_PROGRESS), PBM_SETPOS, 100, 0);
    ui_enable_update(TRUE);
}

// The keyboard as it was when the worker switched it to its boot loader.
struct Switch {
    bool keyboard_open;  // a keyboard handle was open then
    uint32_t arrivals;   // g_kb_arrivals then
};

// After the switch the keyboard counts as back once it has enumerated again:
// the probe that follows an arrival of its interface after the switch has
// opened it. The handle of the keyboard that is still departing (its removal
// not yet noticed, or never told) is not the keyboard coming back.
bool keyboard_back(const Switch& at)
{
    if (!keyboard_open())
        return false;
    return !at.keyboard_open || g_kb_open_arrivals.load() > at.arrivals;
}

// The stages of a run, up to its end.
void run()
{
    Switch at = {false, 0};
    if (keyboard_open()) {
        // The keyboard may have reported its readiness before this thread
        // looked (the answer to the probe's query can arrive between the
        // Update command and here): the Bluetooth stage goes ahead all the same.
        uint8_t first = g_update_state;
        if (first == ST_BT_PREPARE || first == ST_BT_TRANSFER)
            bluetooth_stage(first == ST_BT_TRANSFER);
        if (g_update_state != ST_BT_DONE) {
            ui_enable_update(TRUE);
            return;
        }
        g_update_result = RESULT_SWITCH_STOPPED;
        // A package without a USB image to download has nothing for the boot
        // loader: the keyboard stays in normal mode instead of waiting there
        // for a download that never comes. The run then fails at the USB stage.
        bool switched = dfu_image_present();
        at.keyboard_open = switched;
        at.arrivals = g_kb_arrivals.load();
        if (switched)
            send(kb_build_enter_dfu);
        log_append("\r\n");
        log_message(kMsgUsbStage);
        if (!switched) {
            ui_repaint();
        } else if (INI_DFU_DETACH_DELAY == 0) {
            log_append("\r\nDFU DETACH ...");
            ui_repaint();
            wait_ms(kPauseAfterEnterDfuMs);
        } else {
            ui_repaint();  // the DFU procedure detaches and waits itself
        }
    } else {
        // Already in its boot loader (or not there at all): USB stage only.
        g_update_state = ST_BT_DONE;
        log_append("\r\n");
        log_message(kMsgUsbStage);
        ui_repaint();
    }
    if (g_update_state != ST_BT_DONE) {
        char why[32];
        snprintf(why, sizeof why, "\"state\":%u", (unsigned)trace_peek(g_update_state));
        trace_cause("switch_stopped", why);
        ui_enable_update(TRUE);
        return;
    }

    g_update_result = RESULT_USB_FAILED;
    g_update_state = ST_USB_DOWNLOAD;
    bool downloaded = !g_closing && dfu_update();
    g_update_state = ST_USB_DONE;

    for (int w = 0; w < kKeyboardBackWaits && !keyboard_back(at); w++)
        wait_ms(100);
    if (!keyboard_back(at)) {
        char why[32];
        snprintf(why, sizeof why, "\"waited_ms\":%d", kKeyboardBackWaits * 100);
        trace_cause("keyboard_not_back", why);
        // The probe enables the button when the keyboard is found again; a
        // keyboard that never left is usable at once.
        log_append("\r\n");
        log_message(kMsgFailed);
        ui_repaint();
        if (keyboard_open())
            ui_enable_update(TRUE);
        return;
    }
    if (!downloaded) {
        // The keyboard is back, but the boot loader never took the whole
        // image: whatever versions it reports, the run failed at the USB stage.
        outcome();
        return;
    }

    g_update_result = RESULT_NOT_REATTACHED;
    bool back = true;
    if (!g_silent) {
        back = finish_and_reattach();
    } else {
        g_update_state = ST_WAIT_DETACH;
        g_update_state = ST_REATTACHED;
    }
    if (back)
        verify_versions();
    outcome();
}

}  // namespace

DWORD WINAPI update_worker(LPVOID)
{
    // No sleep while the keyboard is being flashed: a keyboard left in its
    // boot loader would need the user to recover it.
    SetThreadExecutionState(ES_CONTINUOUS | ES_SYSTEM_REQUIRED);
    run();
    write_result_log();
    g_update_state = ST_IDLE;
    SetThreadExecutionState(ES_CONTINUOUS);
    PostMessageA(g_main_wnd, WM_RUN_ENDED, 0, 0);
    if (g_silent) {
        g_closing = 1;  // set before the start of a run is allowed again
        PostMessageA(g_main_wnd, WM_DESTROY, 0, 0);
    } else if (g_update_result == RESULT_VERIFIED)
        PostMessageA(g_main_wnd, WM_SHOW_RESTART_PROMPT, 0, 0);
    // Last step: a new run may start only now.
    g_worker_running = 0;
    return 0;
}
