// wine-probe: looks at tessel-updater's windows from another process under
// Wine, the way a person or an installer would, and reports what it sees as
// "key=value" lines on standard output.
//
//   wine-probe wait-main MS          waits up to MS for the main window
//   wine-probe main                  the main window and its controls
//   wine-probe close                 posts WM_CLOSE to the main window
//   wine-probe wait-prompt MS        waits up to MS for a visible restart prompt
//   wine-probe prompt                the restart prompt and its controls
//   wine-probe prompt-cancel         clicks the prompt's restart-later button
//
// Exit status 0 when the window in question was found, 1 otherwise.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char* const kTitle = "Orvex Tessel Keyboard Firmware Updater";

std::string utf8(const wchar_t* text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 1)
        return std::string();
    std::string out((size_t)n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &out[0], n, nullptr, nullptr);
    out.resize((size_t)n - 1);
    return out;
}

// Window text through WM_GETTEXT, which reaches other processes too.
std::string text_of(HWND wnd)
{
    wchar_t buf[1024] = {0};
    SendMessageTimeoutW(wnd, WM_GETTEXT, 1024, (LPARAM)buf, SMTO_ABORTIFHUNG, 2000, nullptr);
    std::string s = utf8(buf);
    for (char& c : s)
        if (c == '\r' || c == '\n')
            c = '|';
    return s;
}

std::string class_of(HWND wnd)
{
    char buf[256] = {0};
    GetClassNameA(wnd, buf, sizeof(buf));
    return buf;
}

HWND main_window()
{
    return FindWindowA(kTitle, nullptr);
}

HWND prompt_window()
{
    return FindWindowA("#32770", kTitle);
}

BOOL CALLBACK collect(HWND wnd, LPARAM lp)
{
    auto* list = (std::vector<HWND>*)lp;
    list->push_back(wnd);
    return TRUE;
}

std::vector<HWND> children(HWND parent)
{
    std::vector<HWND> list;
    EnumChildWindows(parent, collect, (LPARAM)&list);
    return list;
}

void report_window(const char* prefix, HWND wnd)
{
    RECT r, c;
    GetWindowRect(wnd, &r);
    GetClientRect(wnd, &c);
    std::printf("%s.hwnd=%p\n", prefix, (void*)wnd);
    std::printf("%s.title=%s\n", prefix, text_of(wnd).c_str());
    std::printf("%s.class=%s\n", prefix, class_of(wnd).c_str());
    std::printf("%s.rect=%ld %ld %ld %ld\n", prefix, r.left, r.top, r.right - r.left, r.bottom - r.top);
    std::printf("%s.client=%ld %ld\n", prefix, c.right, c.bottom);
    std::printf("%s.visible=%d\n", prefix, IsWindowVisible(wnd) ? 1 : 0);
    std::printf("%s.style=%08lx\n", prefix, (unsigned long)GetWindowLongA(wnd, GWL_STYLE));
    std::printf("%s.exstyle=%08lx\n", prefix, (unsigned long)GetWindowLongA(wnd, GWL_EXSTYLE));
    std::vector<HWND> kids = children(wnd);
    std::printf("%s.children=%u\n", prefix, (unsigned)kids.size());
    for (size_t i = 0; i < kids.size(); ++i) {
        HWND k = kids[i];
        RECT kr;
        GetWindowRect(k, &kr);
        POINT p = {kr.left, kr.top};
        ScreenToClient(wnd, &p);
        std::printf(
            "%s.child%u=id:%d|class:%s|pos:%ld,%ld|size:%ld,%ld|style:%08lx|enabled:%d|visible:%d|text:%s\n",
            prefix, (unsigned)i, GetDlgCtrlID(k), class_of(k).c_str(), p.x, p.y, kr.right - kr.left,
            kr.bottom - kr.top, (unsigned long)GetWindowLongA(k, GWL_STYLE), IsWindowEnabled(k) ? 1 : 0,
            IsWindowVisible(k) ? 1 : 0, text_of(k).c_str());
    }
}

HWND wait_for(HWND (*find)(), DWORD ms, bool visible)
{
    DWORD start = GetTickCount();
    for (;;) {
        HWND wnd = find();
        if (wnd && (!visible || IsWindowVisible(wnd)))
            return wnd;
        if (GetTickCount() - start >= ms)
            return nullptr;
        Sleep(100);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: wine-probe COMMAND [MS]\n");
        return 2;
    }
    std::string cmd = argv[1];
    DWORD ms = argc > 2 ? (DWORD)std::strtoul(argv[2], nullptr, 10) : 0;
    HWND wnd = nullptr;
    if (cmd == "wait-main") {
        wnd = wait_for(main_window, ms, false);
    } else if (cmd == "main") {
        wnd = main_window();
        if (wnd)
            report_window("main", wnd);
    } else if (cmd == "close") {
        wnd = main_window();
        if (wnd)
            PostMessageA(wnd, WM_CLOSE, 0, 0);
    } else if (cmd == "wait-prompt") {
        wnd = wait_for(prompt_window, ms, true);
    } else if (cmd == "prompt") {
        wnd = prompt_window();
        if (wnd)
            report_window("prompt", wnd);
    } else if (cmd == "prompt-cancel") {
        wnd = prompt_window();
        if (wnd)
            PostMessageA(wnd, WM_COMMAND, IDCANCEL, 0);
    } else {
        std::fprintf(stderr, "wine-probe: unknown command %s\n", cmd.c_str());
        return 2;
    }
    std::fflush(stdout);
    return wnd ? 0 : 1;
}
