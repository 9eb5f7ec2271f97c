// -check: the tool asks the keyboard its versions and ends with what an
// update would do (RESULT_CHECK_ codes), without a window, a run, a result
// line or a read-me. An installer learns from it whether to run -silent.
#include "app/app.h"
#include "package/ini.h"

#include <cstring>

namespace {

bool g_check_ended = false;  // UI thread only
// A keyboard was opened by some probe of this check; UI thread only.
bool g_check_saw_keyboard = false;

const char* outcome_name(uint32_t code)
{
    switch (code) {
    case RESULT_CHECK_UP_TO_DATE: return "up-to-date";
    case RESULT_CHECK_APPLIES: return "update-applies";
    case RESULT_CHECK_NO_KEYBOARD: return "no-keyboard";
    case RESULT_CHECK_REFUSED: return "not-applicable";
    case RESULT_CHECK_NO_PACKAGE: return "no-package";
    default: return "failed";
    }
}

// One line on the standard output, when the process has one (an installer
// that reads the tool's output gives it a pipe; a tool started from the
// desktop has none).
void write_outcome_line(uint32_t code)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!out || out == INVALID_HANDLE_VALUE)
        return;
    uint32_t package_nxp = 0, package_bt = 0;
    if (g_package_loaded) {
        package_nxp = (uint32_t)parse_hex(INI_VER_NXP);
        package_bt = INI_VER_BT_VALUE;
    }
    char line[160];
    int n = wsprintfA(line, "outcome=%s nxp=%04X bt=%04X package_nxp=%04X package_bt=%04X\r\n",
                      outcome_name(code), (unsigned)(g_kb_nxp_version.load() & 0xFFFF),
                      (unsigned)(g_kb_bt_version.load() & 0xFFFF), (unsigned)(package_nxp & 0xFFFF),
                      (unsigned)(package_bt & 0xFFFF));
    DWORD written = 0;
    WriteFile(out, line, (DWORD)n, &written, nullptr);
}

}  // namespace

uint32_t check_outcome(uint32_t keyboard_nxp, uint32_t keyboard_bt, bool bt_reported)
{
    uint32_t package_nxp = (uint32_t)parse_hex(INI_VER_NXP);
    uint32_t package_bt = INI_VER_BT_VALUE;
    // Without the keyboard's answer its NXP version alone decides, as the
    // silent run's final check does.
    if (keyboard_nxp == package_nxp && (!bt_reported || keyboard_bt == package_bt))
        return RESULT_CHECK_UP_TO_DATE;
    // The Update command's two rules.
    if (INI_ALLOW_DOWNGRADE == 0 && is_downgrade(package_nxp, keyboard_nxp))
        return RESULT_CHECK_REFUSED;
    if (bt_reported && keyboard_bt != 0 && bt_family_differs(keyboard_bt, package_bt))
        return RESULT_CHECK_REFUSED;
    return RESULT_CHECK_APPLIES;
}

void check_end(uint32_t code)
{
    if (g_check_ended)
        return;
    g_check_ended = true;
    g_update_result = code;
    write_outcome_line(code);
    g_closing = 1;
    KillTimer(g_main_wnd, TIMER_PROBE);
    KillTimer(g_main_wnd, TIMER_CHECK_END);
    PostMessageA(g_main_wnd, WM_DESTROY, 0, 0);
}

void check_after_probe(bool keyboard, bool bootloader)
{
    if (g_check_ended)
        return;
    if (keyboard) {
        // Its answer to the version query decides; the probe asks again
        // until the search ends, in case a query was lost.
        g_check_saw_keyboard = true;
    } else if (bootloader) {
        // A keyboard in its boot loader takes the update whatever it had.
        check_end(RESULT_CHECK_APPLIES);
        return;
    }
    SetTimer(g_main_wnd, TIMER_PROBE, TIMER_CHECK_PROBE_AGAIN_MS, nullptr);
}

void check_on_version()
{
    if (!g_check || g_check_ended || g_update_state != ST_IDLE)
        return;
    check_end(check_outcome(g_kb_nxp_version, g_kb_bt_version, true));
}

void check_search_over()
{
    if (g_check_saw_keyboard)
        check_end(check_outcome(g_kb_nxp_version, 0, false));
    else
        check_end(RESULT_CHECK_NO_KEYBOARD);
}
