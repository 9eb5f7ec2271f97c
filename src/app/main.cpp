// Process entry: single instance, command line, window class, main window and
// the message loop. The exit code is the update's result code.
#include "app/app.h"
#include "package/messages.h"
#include "app/ui_font.h"
#include "resources/resource.h"

#include <climits>
#include <cstdint>
#include <cstring>

HINSTANCE g_instance = nullptr;
HBRUSH g_background_brush = nullptr;
HFONT g_ui_font = nullptr;
uint8_t g_show_help = 0;

// The -? box: the switches and the exit codes.
// clang-format off
const WCHAR* const kHelpText =
    WTEXT("Switches (only the first argument counts):\n")
    WTEXT("  -silent\tupdate without a window or questions and end by itself (also /silent, any case)\n")
    WTEXT("  -lang=N\tshow the messages of language N (0 to 30)\n")
    WTEXT("  -check\task the keyboard its versions and end: no window, no update\n")
    WTEXT("  -trace=FILE\trecord a support trace to FILE (also after another switch)\n")
    WTEXT("  -? or /?\tthis list\n\n")
    WTEXT("Exit codes:\n")
    WTEXT("  0\tupdate verified (-check: up to date)\n")
    WTEXT("  1\tno update ran\n")
    WTEXT("  2\tBluetooth stage failed, or another copy runs\n")
    WTEXT("  3 to 7\tthe update stopped at a later stage\n")
    WTEXT("  10\t-check: the update applies\n")
    WTEXT("  11\t-check: no keyboard found\n")
    WTEXT("  12\t-check: the keyboard cannot take this package\n")
    WTEXT("  13\t-check: the program carries no update package");
// clang-format on

namespace {

const size_t kArgumentSize = 256;  // the first argument, cut to 255 characters
const int kHelpShownCode = 0;      // the exit code after the -? box

// The window's outer size at 96 DPI; it grows with the display's scale.
const int kWindowWidth96 = 640;
const int kWindowHeight96 = 240;

typedef UINT(WINAPI* GetDpiForWindowFn)(HWND);

// The C runtime's decimal conversion (atol) for a 32-bit long: optional white
// space and sign, then digits up to the first other character, 0 when there
// are none. A value out of range saturates, so every build reads it alike.
int32_t decimal_value(const char* text)
{
    while (*text == ' ' || (*text >= '\t' && *text <= '\r'))
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-')
        negative = *text++ == '-';
    int64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (*text - '0');
        if (value > (int64_t)INT32_MAX + 1)
            value = (int64_t)INT32_MAX + 1;  // saturated; only its sign and size matter now
    }
    if (negative)
        value = -value;
    if (value > INT32_MAX)
        return INT32_MAX;
    if (value < INT32_MIN)
        return INT32_MIN;
    return (int32_t)value;
}

// Copies the first argument of `tail` into `arg` (kArgumentSize bytes, at
// most 255 characters kept); false when there is none. Arguments are
// separated by spaces (code 32 only); one that begins with a double quote runs
// to the next double quote or the end, without the quotes.
bool first_argument(const char* tail, char* arg)
{
    while (*tail == ' ')
        ++tail;
    if (*tail == '\0')
        return false;
    const char* end;
    if (*tail == '"') {
        ++tail;
        end = strchr(tail, '"');
        if (!end)
            end = tail + strlen(tail);
    } else {
        end = strchr(tail, ' ');
        if (!end)
            end = tail + strlen(tail);
    }
    size_t n = (size_t)(end - tail);
    if (n > kArgumentSize - 1)
        n = kArgumentSize - 1;
    memcpy(arg, tail, n);
    arg[n] = '\0';
    return true;
}

// Whether `arg` is the switch `name` (lower case) behind "-" or "/", in any
// letter case.
bool is_switch(const char* arg, const char* name)
{
    if (arg[0] != '-' && arg[0] != '/')
        return false;
    const char* a = arg + 1;
    for (; *name; ++a, ++name) {
        char c = *a;
        if (c >= 'A' && c <= 'Z')
            c = (char)(c - 'A' + 'a');
        if (c != *name)
            return false;
    }
    return *a == '\0';
}

// Copies the argument that begins at `p` (spaces skipped) into `arg` as
// first_argument does; returns where the next one may begin, or nullptr when
// there is none.
const char* argument_at(const char* p, char* arg)
{
    while (*p == ' ')
        ++p;
    if (*p == '\0' || !first_argument(p, arg))
        return nullptr;
    if (*p == '"') {
        const char* close = strchr(p + 1, '"');
        return close ? close + 1 : p + strlen(p);
    }
    const char* end = strchr(p, ' ');
    return end ? end : p + strlen(p);
}

// The support trace: "-trace=FILE" anywhere on the command line. The first
// argument keeps its meaning (as the first argument, "-trace=FILE" is an
// interactive run that is recorded). A trace that cannot be written is left
// out.
void open_trace(const char* tail)
{
    char arg[kArgumentSize];
    const char* p = tail;
    while ((p = argument_at(p, arg)) != nullptr) {
        if (strncmp(arg, "-trace=", 7) == 0 && arg[7] && !trace_on() && trace_open(arg + 7))
            trace_text_record("start", "args", tail);
    }
}

}  // namespace

UINT window_dpi(HWND wnd)
{
    // Windows 10 1607 and later tell the DPI of the window's monitor; older
    // ones (and an unknown window) have the one DPI of the system.
    static GetDpiForWindowFn dpi_for_window =
        (GetDpiForWindowFn)(void*)GetProcAddress(GetModuleHandleA("user32.dll"), "GetDpiForWindow");
    if (wnd && dpi_for_window) {
        UINT dpi = dpi_for_window(wnd);
        if (dpi)
            return dpi;
    }
    HDC screen = GetDC(nullptr);
    int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen)
        ReleaseDC(nullptr, screen);
    return dpi > 0 ? (UINT)dpi : 96;
}

int scale_to_dpi(int length, UINT dpi)
{
    return MulDiv(length, (int)dpi, 96);
}

HFONT create_ui_font(UINT dpi)
{
    return CreateFontA(UI_FONT_HEIGHT(dpi), 0, 0, 0, 0, FALSE, FALSE, FALSE, UI_FONT_CHARSET, 0, 0, 0, 0,
                       UI_FONT_FACE);
}

void window_size_for_dpi(UINT dpi, int* width, int* height)
{
    *width = scale_to_dpi(kWindowWidth96, dpi);
    *height = scale_to_dpi(kWindowHeight96, dpi);
}

bool language_is_rtl()
{
    return g_lang == 13 || g_lang == 21;  // Arabic, Hebrew
}

const char* command_line_tail(const char* line)
{
    if (!line)
        return "";
    const unsigned char* p = (const unsigned char*)line;
    if (*p == '"') {
        // A program name in double quotes runs to the closing quote, blanks
        // and all; what follows the quote is the tail.
        ++p;
        while (*p && *p != '"')
            ++p;
        if (*p == '"')
            ++p;
    } else {
        while (*p > ' ')
            ++p;
    }
    while (*p && *p <= ' ')
        ++p;
    return (const char*)p;
}

void parse_command_line(const char* tail)
{
    if (!tail || *tail == '\0')
        return;
    char arg[kArgumentSize];
    if (!first_argument(tail, arg))
        return;
    if (is_switch(arg, "silent"))
        g_silent = 1;
    else if (is_switch(arg, "check"))
        g_check = 1;
    else if (is_switch(arg, "?"))
        g_show_help = 1;
    // The number is read from the seventh character on, wherever "-lang="
    // stands in the argument (an argument that holds it has at least six).
    if (strstr(arg, "-lang="))
        g_lang = (uint8_t)(decimal_value(arg + 6) & 0xFF);
}

BOOL serve_next_message(MSG* msg)
{
    BOOL got = GetMessageA(msg, nullptr, 0, 0);
    if (got == 0 || got == -1)
        return FALSE;
    if (g_main_wnd && IsDialogMessageA(g_main_wnd, msg))
        return TRUE;
    if (g_restart_dlg && IsDialogMessageA(g_restart_dlg, msg))
        return TRUE;
    TranslateMessage(msg);
    DispatchMessageA(msg);
    return TRUE;
}

int WINAPI WinMain(HINSTANCE inst, HINSTANCE prev, LPSTR cmdline, int show)
{
    (void)prev;
    (void)show;  // the main window is shown through its WS_VISIBLE style only
    // The runtime's tail is not used: MinGW's start-up code lets a quoted
    // program name run on past its closing quote ("tool.exe"-silent gives an
    // empty tail), so the tail is cut from the process's command line here.
    (void)cmdline;

    if (FindWindowA(APP_CLASS_NAME, nullptr))
        return RESULT_ALREADY_RUNNING;

    const char* tail = command_line_tail(GetCommandLineA());
    if (*tail) {
        parse_command_line(tail);
        open_trace(tail);
    }
    if (g_show_help) {
        MessageBoxW(nullptr, kHelpText, WTEXT("Orvex Tessel Keyboard Firmware Updater"),
                    MB_OK | MB_ICONINFORMATION);
        return kHelpShownCode;
    }

    g_background_brush = CreateSolidBrush(GetSysColor(COLOR_BTNFACE));
    // The window starts at the system's DPI; a monitor of another scale
    // corrects it when the window is created (WM_CREATE).
    UINT dpi = window_dpi(nullptr);
    g_ui_font = create_ui_font(dpi);
    g_instance = inst;

    WNDCLASSA wc;
    memset(&wc, 0, sizeof(wc));
    wc.style = CS_HREDRAW | CS_VREDRAW | CS_DBLCLKS;
    wc.lpfnWndProc = main_wnd_proc;
    wc.cbClsExtra = 0;
    wc.cbWndExtra = 0;
    wc.hInstance = inst;
    wc.hIcon = LoadIconA(inst, MAKEINTRESOURCEA(IDI_APP));
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = g_background_brush;
    wc.lpszMenuName = nullptr;
    wc.lpszClassName = APP_CLASS_NAME;
    if (!RegisterClassA(&wc))
        return RESULT_NO_WINDOW;

    DWORD style = WS_OVERLAPPEDWINDOW;
    if (!g_silent && !g_check)
        style |= WS_VISIBLE;
    int width, height;
    window_size_for_dpi(dpi, &width, &height);
    HWND wnd = CreateWindowExA(WS_EX_CONTROLPARENT, APP_CLASS_NAME, APP_TITLE, style, CW_USEDEFAULT,
                               CW_USEDEFAULT, width, height, nullptr, nullptr, inst, nullptr);
    if (!wnd)
        return RESULT_NO_WINDOW;

    MSG msg;
    while (serve_next_message(&msg))
        ;
    // The exit code is the result of the last line this process wrote,
    // whatever a worker still did afterwards; without a line, the result.
    uint64_t last = g_last_line.load();
    int code = last ? (int)(uint32_t)last : (int)g_update_result.load();
    if (trace_on()) {
        char f[32];
        snprintf(f, sizeof f, "\"code\":%d", code);
        trace_record("exit", f);
        // Left open: a worker that is still ending records until the process ends.
        trace_flush();
    }
    return code;
}
