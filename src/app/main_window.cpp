// The main window: creation of its controls and registrations, the log view,
// the tool's shutdown, and the dispatch of the other parts' messages.
#include "app/app.h"
#include "keyboard/kb.h"
#include "package/ini.h"
#include "package/messages.h"
#include "package/package.h"
#include "resources/resource.h"

#include <cstring>

HWND g_main_wnd = nullptr;
HDEVNOTIFY g_hid_notify = nullptr;
HDEVNOTIFY g_dfu_notify = nullptr;
uint8_t g_package_loaded = 0;

namespace {

const int kTextSize = 256;
// wsprintfA writes at most 1024 characters and the terminator.
const int kFormatSize = 1025;

bool g_cleaned_up = false;  // UI thread only

// The controls in creation order, and their places in the client area at
// 96 DPI; at other DPIs every length grows in proportion.
enum Control { CTL_ICON, CTL_TITLE, CTL_DATE, CTL_VERSION, CTL_UPDATE, CTL_LOG, CTL_PROGRESS, CTL_COUNT };
struct Place {
    int x, y, w, h;
};
const Place kPlaces[CTL_COUNT] = {
    {20, 20, 128, 128},   // icon
    {160, 20, 250, 15},   // title label
    {160, 40, 250, 15},   // date label
    {160, 60, 250, 15},   // version label
    {420, 20, 180, 50},   // Update button
    {160, 80, 440, 80},   // log view
    {160, 170, 440, 20},  // progress bar
};
const int kIconSize96 = 128;

HWND g_controls[CTL_COUNT];  // UI thread only
UINT g_dpi = 96;             // the main window's DPI; UI thread only

int scaled(int length)
{
    return scale_to_dpi(length, g_dpi);
}

HWND create_label(HWND parent, const char* text, Control which)
{
    const Place& p = kPlaces[which];
    HWND label = CreateWindowExA(0, "STATIC", text, WS_CHILD | WS_VISIBLE, scaled(p.x), scaled(p.y),
                                 scaled(p.w), scaled(p.h), parent, nullptr, g_instance, nullptr);
    SendMessageA(label, WM_SETFONT, (WPARAM)g_ui_font, FALSE);
    g_controls[which] = label;
    return label;
}

HANDLE load_app_icon()
{
    return LoadImageA(g_instance, MAKEINTRESOURCEA(IDI_APP), IMAGE_ICON, scaled(kIconSize96),
                      scaled(kIconSize96), LR_DEFAULTCOLOR);
}

// The window moved to a monitor of another scale (or the scale changed):
// it takes the place Windows suggests, and the font, the icon and every
// control follow the new DPI.
void on_dpi_changed(HWND wnd, UINT dpi, const RECT* suggested)
{
    g_dpi = dpi;
    HFONT old_font = g_ui_font;
    g_ui_font = create_ui_font(dpi);
    if (g_package_loaded) {
        for (int i = 0; i < CTL_COUNT; ++i) {
            const Place& p = kPlaces[i];
            SetWindowPos(g_controls[i], nullptr, scaled(p.x), scaled(p.y), scaled(p.w), scaled(p.h),
                         SWP_NOZORDER | SWP_NOACTIVATE);
            if (i != CTL_ICON && i != CTL_PROGRESS)
                SendMessageA(g_controls[i], WM_SETFONT, (WPARAM)g_ui_font, TRUE);
        }
        // The icon of the old size was loaded for this control alone.
        HICON old_icon = (HICON)SendMessageA(g_controls[CTL_ICON], STM_SETICON, (WPARAM)load_app_icon(), 0);
        if (old_icon)
            DestroyIcon(old_icon);
    }
    DeleteObject(old_font);
    SetWindowPos(wnd, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                 suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
}

HDEVNOTIFY register_interface_class(HWND wnd, const GUID& guid)
{
    DEV_BROADCAST_DEVICEINTERFACE_A filter;
    static_assert(sizeof(filter) == 32, "the filter is 32 bytes");
    memset(&filter, 0, sizeof(filter));
    filter.dbcc_size = sizeof(filter);
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_reserved = 0;
    filter.dbcc_classguid = guid;
    return RegisterDeviceNotificationA(wnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
}

void on_create(HWND wnd)
{
    g_main_wnd = wnd;
    g_keyboard = nullptr;

    // Created on a monitor whose scale is not the system's: the window and
    // its font take that monitor's DPI.
    g_dpi = window_dpi(wnd);
    UINT system_dpi = window_dpi(nullptr);
    if (g_dpi != system_dpi) {
        HFONT old_font = g_ui_font;
        g_ui_font = create_ui_font(g_dpi);
        DeleteObject(old_font);
        int width, height;
        window_size_for_dpi(g_dpi, &width, &height);
        SetWindowPos(wnd, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }

    if (!load_package()) {
        // Without a package the window stays empty. A silent run would then
        // wait for ever: it ends at once with its result line instead.
        if (g_silent) {
            write_result_log();
            g_closing = 1;
            PostMessageA(wnd, WM_DESTROY, 0, 0);
        } else if (g_check) {
            check_end(RESULT_CHECK_NO_PACKAGE);
        }
        return;
    }
    g_package_loaded = 1;

    // The Update button's caption is looked up first: it settles the
    // language, and a language that reads right to left mirrors the window
    // before its controls exist, and every window made afterwards (the
    // restart prompt, the message box) as well.
    char text[kTextSize];
    WCHAR caption[kTextSize];
    load_message(1, text, caption);
    if (language_is_rtl()) {
        SetProcessDefaultLayout(LAYOUT_RTL);
        SetWindowLongA(wnd, GWL_EXSTYLE, GetWindowLongA(wnd, GWL_EXSTYLE) | WS_EX_LAYOUTRTL);
    }

    const Place& icon_place = kPlaces[CTL_ICON];
    HWND icon_ctl = CreateWindowExA(0, "STATIC", "", WS_CHILD | WS_VISIBLE | SS_ICON, scaled(icon_place.x),
                                    scaled(icon_place.y), scaled(icon_place.w), scaled(icon_place.h), wnd,
                                    nullptr, g_instance, nullptr);
    g_controls[CTL_ICON] = icon_ctl;
    SendMessageA(icon_ctl, STM_SETICON, (WPARAM)load_app_icon(), 0);

    char formatted[kFormatSize];
    create_label(wnd, APP_TITLE, CTL_TITLE);
    wsprintfA(formatted, "%s%s", STRING_DATE_CODE, INI_DATE_CODE);
    formatted[kTextSize - 1] = '\0';  // the date label shows at most 255 bytes
    create_label(wnd, formatted, CTL_DATE);
    wsprintfA(text, "NXP = %s, BT = %s", INI_VER_NXP, INI_VER_BT);
    create_label(wnd, text, CTL_VERSION);

    const Place& button_place = kPlaces[CTL_UPDATE];
    HWND button =
        CreateWindowExW(0, WTEXT("BUTTON"), caption, WS_CHILD | WS_VISIBLE | WS_DISABLED,
                        scaled(button_place.x), scaled(button_place.y), scaled(button_place.w),
                        scaled(button_place.h), wnd, (HMENU)(INT_PTR)IDC_UPDATE, g_instance, nullptr);
    g_controls[CTL_UPDATE] = button;
    SendMessageA(button, WM_SETFONT, (WPARAM)g_ui_font, FALSE);

    // Arabic and Hebrew lines read from the right: the colon of "S03:" and
    // the closing dots stand at their ends, on the left.
    WCHAR wide[kTextSize];
    load_message(2, text, wide);
    const Place& log_place = kPlaces[CTL_LOG];
    HWND log = CreateWindowExW(language_is_rtl() ? WS_EX_RTLREADING : 0, WTEXT("EDIT"), wide,
                               WS_CHILD | WS_VISIBLE | WS_BORDER | WS_VSCROLL | ES_MULTILINE,
                               scaled(log_place.x), scaled(log_place.y), scaled(log_place.w),
                               scaled(log_place.h), wnd, (HMENU)(INT_PTR)IDC_LOG, g_instance, nullptr);
    g_controls[CTL_LOG] = log;
    SendMessageA(log, WM_SETFONT, (WPARAM)g_ui_font, FALSE);
    log_append("\r\n");

    InitCommonControls();
    const Place& bar_place = kPlaces[CTL_PROGRESS];
    HWND progress = CreateWindowExA(0, PROGRESS_CLASSA, nullptr, WS_CHILD, scaled(bar_place.x),
                                    scaled(bar_place.y), scaled(bar_place.w), scaled(bar_place.h), wnd,
                                    (HMENU)(INT_PTR)IDC_PROGRESS, g_instance, nullptr);
    g_controls[CTL_PROGRESS] = progress;
    SendMessageA(progress, PBM_SETRANGE, 0, MAKELPARAM(0, 100));

    GUID hid_guid;
    HidD_GetHidGuid(&hid_guid);
    g_hid_notify = register_interface_class(wnd, hid_guid);
    g_dfu_notify = register_interface_class(wnd, INI_DFU_GUID);

    if (g_silent)
        SetTimer(wnd, TIMER_SILENT_EXIT, TIMER_SILENT_EXIT_MS, nullptr);
    if (g_check)
        SetTimer(wnd, TIMER_CHECK_END, TIMER_CHECK_SEARCH_MS, nullptr);

    // The keyboard's vendor input collection, also while the window is hidden.
    RAWINPUTDEVICE device;
    device.usUsagePage = KB_EVT_USAGE_PAGE;
    device.usUsage = KB_USAGE;
    device.dwFlags = RIDEV_INPUTSINK;
    device.hwndTarget = wnd;
    RegisterRawInputDevices(&device, 1, sizeof(device));

    g_wait_event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    SetTimer(wnd, TIMER_PROBE, TIMER_PROBE_START_MS, nullptr);

#ifdef TESSEL_PROMPT_TEST
    // Test build only: the restart prompt opens at once, so that it can be
    // looked at without a keyboard.
    PostMessageA(wnd, WM_SHOW_RESTART_PROMPT, 0, 0);
#endif
}

// Releases everything once; a later WM_DESTROY or accepted WM_CLOSE (a silent
// run's worker and its time limit may both post one) finds nothing to do.
void on_destroy()
{
    g_closing = 1;  // nothing starts once the clean-up has begun
    if (g_cleaned_up)
        return;
    g_cleaned_up = true;
    // A worker still running keeps its wait event and the USB image until the
    // process ends; it must never wait on a closed handle or read freed memory.
    if (!g_worker_running) {
        if (g_wait_event)
            CloseHandle(g_wait_event);
        free_usb_image();
    }
    if (g_hid_notify)
        UnregisterDeviceNotification(g_hid_notify);
    if (g_dfu_notify)
        UnregisterDeviceNotification(g_dfu_notify);
    DeleteObject(g_background_brush);
    DeleteObject(g_ui_font);
    kb_close();
    PostQuitMessage(0);
}

}  // namespace

LRESULT CALLBACK main_wnd_proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp)
{
    switch (msg) {
    case WM_CREATE: on_create(hwnd); return 0;
    case WM_CLOSE: {
        trace_record("user", "\"do\":\"close\"");
        // Refused while a run is going on, and while the last worker is still
        // finishing its run (it has yet to write the run's line). While the
        // keyboard is detached the user may leave: the run's line is written
        // first, with the result of this moment.
        uint8_t state = g_update_state;
        if (state == ST_IDLE && !g_worker_running) {
            on_destroy();
        } else if (state == ST_DETACHED) {
            end_run_now();
            on_destroy();
        }
        return 0;
    }
    case WM_DESTROY: on_destroy(); return 0;
    case WM_QUERYENDSESSION:
        // Only this answer keeps Windows from ending the session during a
        // run; the block reason set at the run's start is the text Windows
        // shows the user meanwhile.
        if (g_worker_running || g_update_state != ST_IDLE)
            return FALSE;
        return DefWindowProcA(hwnd, msg, wp, lp);
    case WM_ENDSESSION:
        // The session ends anyway (the user chose to, or it is critical): the
        // process ends when this returns, so the run's line is written now,
        // with the result of this moment.
        if (wp) {
            g_closing = 1;
            if (g_worker_running)
                end_run_now();
        }
        return 0;
    case WM_COMMAND:
        if (lp)
            trace_record("user", "\"do\":\"press_update\"");  // the button, not the silent probe
        on_update_command(hwnd, wp);
        return 0;
    case WM_SYSKEYUP:
        if (wp == 'U')
            trace_record("user", "\"do\":\"alt_u\"");
        on_sys_key_up(hwnd, wp);
        return 0;
    case WM_SHOW_RESTART_PROMPT: show_restart_prompt(); return 0;
    case WM_INPUT:
        kb_on_raw_input((HRAWINPUT)lp);
        // Input that came while the window was in the foreground goes on to
        // DefWindowProc, which lets the system clean up after it; input that
        // came in the background (RIDEV_INPUTSINK) does not.
        if (GET_RAWINPUT_CODE_WPARAM(wp) == RIM_INPUT)
            return DefWindowProcA(hwnd, msg, wp, lp);
        return 0;
    case WM_DPICHANGED: on_dpi_changed(hwnd, LOWORD(wp), (const RECT*)lp); return 0;
    case WM_TIMER: return on_timer(hwnd, wp);
    case WM_POWERBROADCAST: return on_power_broadcast(hwnd, wp, lp);
    case WM_DEVICECHANGE: return on_device_change(hwnd, wp, lp);
    case WM_RUN_ENDED: ShutdownBlockReasonDestroy(hwnd); return 0;
    case WM_DROP_HANDLE_NOTIFY: UnregisterDeviceNotification((HDEVNOTIFY)lp); return 0;
    default: return DefWindowProcA(hwnd, msg, wp, lp);
    }
}

void log_append(const char* text)
{
    HWND log = GetDlgItem(g_main_wnd, IDC_LOG);
    int end = GetWindowTextLengthA(log);
    SendMessageA(log, EM_SETSEL, (WPARAM)end, (LPARAM)end);
    if (!text || *text == '\0')
        return;
    // At most 255 units and the terminator; a longer text fails to convert
    // and appends nothing.
    WCHAR wide[kTextSize];
    int n = MultiByteToWideChar(CP_UTF8, 0, text, (int)strlen(text), wide, kTextSize - 1);
    if (n <= 0)
        return;
    wide[n] = 0;
    trace_log_text(text);
    SendMessageW(log, EM_REPLACESEL, FALSE, (LPARAM)wide);
}

void ui_progress(uint32_t pos)
{
    SendMessageA(GetDlgItem(g_main_wnd, IDC_PROGRESS), PBM_SETPOS, pos, 0);
}

void ui_enable_update(BOOL enable)
{
    EnableWindow(GetDlgItem(g_main_wnd, IDC_UPDATE), enable);
}

void ui_repaint()
{
    UpdateWindow(g_main_wnd);
}
