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
//   wine-probe dpichange DPI         sends the main window WM_DPICHANGED to DPI with
//                                    its rectangle scaled from the current DPI
//   wine-probe prompt-dpichange DPI  the same for the restart prompt
//   wine-probe glyphs FILE           for each UTF-8 line of FILE, the glyphs the
//                                    tool's font lacks (GetGlyphIndicesW)
//   wine-probe measure H W FILE      for each UTF-8 line of FILE, its width in the
//                                    tool's face at height H (CreateFont's), and
//                                    its height when wrapped at width W
//
// The probe is aware of each monitor's DPI, so it reads windows in the
// pixels of the display.
//
// Exit status 0 when the window in question was found, 1 otherwise.
#include <windows.h>

#include "app/ui_font.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
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

UINT dpi_of(HWND wnd)
{
    typedef UINT(WINAPI * GetDpiForWindowFn)(HWND);
    GetDpiForWindowFn get =
        (GetDpiForWindowFn)(void*)GetProcAddress(GetModuleHandleA("user32.dll"), "GetDpiForWindow");
    return get ? get(wnd) : 0;
}

void become_dpi_aware()
{
    typedef BOOL(WINAPI * SetContextFn)(HANDLE);
    SetContextFn set =
        (SetContextFn)(void*)GetProcAddress(GetModuleHandleA("user32.dll"), "SetProcessDpiAwarenessContext");
    if (!set || !set((HANDLE)(INT_PTR)-4))  // DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2
        SetProcessDPIAware();
}

std::vector<std::wstring> read_lines(const char* path)
{
    std::vector<std::wstring> lines;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        int n = MultiByteToWideChar(CP_UTF8, 0, line.c_str(), (int)line.size(), nullptr, 0);
        std::wstring wide((size_t)n, L'\0');
        if (n > 0)
            MultiByteToWideChar(CP_UTF8, 0, line.c_str(), (int)line.size(), &wide[0], n);
        lines.push_back(wide);
    }
    return lines;
}

HFONT tool_font(int height)
{
    return CreateFontA(height, 0, 0, 0, 0, FALSE, FALSE, FALSE, UI_FONT_CHARSET, 0, 0, 0, 0, UI_FONT_FACE);
}

// The fonts GDI links to a face for the glyphs it lacks: the face's value
// under FontLink\SystemLink, "file,face" entries.
std::vector<std::wstring> linked_faces(const wchar_t* face)
{
    std::vector<std::wstring> faces;
    wchar_t data[4096] = {0};
    DWORD size = sizeof(data) - 2 * sizeof(wchar_t);
    if (RegGetValueW(HKEY_LOCAL_MACHINE,
                     L"Software\\Microsoft\\Windows NT\\CurrentVersion\\FontLink\\SystemLink", face,
                     RRF_RT_REG_MULTI_SZ, nullptr, data, &size) != ERROR_SUCCESS)
        return faces;
    for (const wchar_t* entry = data; *entry; entry += wcslen(entry) + 1) {
        const wchar_t* comma = wcschr(entry, L',');
        if (!comma)
            continue;
        std::wstring name(comma + 1);
        size_t end = name.find(L',');
        faces.push_back(name.substr(0, end));
    }
    return faces;
}

// For each line: the characters the tool's font itself has no glyph for,
// and those that neither it nor a font GDI links to it has, with the first
// such character. Also the face GDI chose and the linked faces.
int report_glyphs(const char* path)
{
    HDC dc = CreateCompatibleDC(nullptr);
    HFONT font = tool_font(UI_FONT_HEIGHT_96);
    HGDIOBJ old = SelectObject(dc, font);
    wchar_t face[64] = {0};
    GetTextFaceW(dc, 64, face);
    std::printf("glyphs.face=%s\n", utf8(face).c_str());
    LOGFONTW logical;
    GetObjectW(font, sizeof(logical), &logical);
    std::printf("glyphs.charset=%d\n", (int)logical.lfCharSet);
    std::vector<std::wstring> links = linked_faces(face);
    if (links.empty())
        links = linked_faces(L"" UI_FONT_FACE);
    std::vector<HFONT> link_fonts;
    std::string names;
    for (const std::wstring& name : links) {
        link_fonts.push_back(CreateFontW(UI_FONT_HEIGHT_96, 0, 0, 0, 0, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                                         0, 0, 0, 0, name.c_str()));
        names += (names.empty() ? "" : ",") + utf8(name.c_str());
    }
    std::printf("glyphs.links=%s\n", names.c_str());
    std::vector<std::wstring> lines = read_lines(path);
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::wstring& line = lines[i];
        std::vector<WORD> own(line.size() + 1, 0);
        DWORD done =
            GetGlyphIndicesW(dc, line.c_str(), (int)line.size(), own.data(), GGI_MARK_NONEXISTING_GLYPHS);
        std::vector<bool> shown(line.size(), false);
        unsigned missing_own = 0;
        for (size_t k = 0; k < line.size(); ++k) {
            shown[k] = own[k] != 0xFFFF;
            if (!shown[k])
                ++missing_own;
        }
        for (HFONT link : link_fonts) {
            SelectObject(dc, link);
            std::vector<WORD> linked(line.size() + 1, 0);
            GetGlyphIndicesW(dc, line.c_str(), (int)line.size(), linked.data(), GGI_MARK_NONEXISTING_GLYPHS);
            for (size_t k = 0; k < line.size(); ++k)
                if (linked[k] != 0xFFFF)
                    shown[k] = true;
        }
        SelectObject(dc, font);
        unsigned missing = 0;
        std::string first;
        for (size_t k = 0; k < line.size(); ++k)
            if (!shown[k] && !missing++) {
                char hex[16];
                std::snprintf(hex, sizeof hex, "U+%04X", (unsigned)line[k]);
                first = hex;
            }
        std::printf("glyphs.%u=%s own:%u linked:%u %s\n", (unsigned)i, done == GDI_ERROR ? "error" : "ok",
                    missing_own, missing, first.c_str());
    }
    SelectObject(dc, old);
    DeleteObject(font);
    for (HFONT link : link_fonts)
        DeleteObject(link);
    DeleteDC(dc);
    return 0;
}

int report_extents(int height, int wrap_width, const char* path)
{
    HDC dc = CreateCompatibleDC(nullptr);
    HFONT font = tool_font(height);
    HGDIOBJ old = SelectObject(dc, font);
    std::vector<std::wstring> lines = read_lines(path);
    for (size_t i = 0; i < lines.size(); ++i) {
        SIZE size = {0, 0};
        GetTextExtentPoint32W(dc, lines[i].c_str(), (int)lines[i].size(), &size);
        RECT r = {0, 0, wrap_width, 0};
        DrawTextW(dc, lines[i].c_str(), (int)lines[i].size(), &r, DT_CALCRECT | DT_WORDBREAK);
        std::printf("extent.%u=%ld %ld\n", (unsigned)i, size.cx, r.bottom - r.top);
    }
    SelectObject(dc, old);
    DeleteObject(font);
    DeleteDC(dc);
    return 0;
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
    std::printf("%s.dpi=%u\n", prefix, dpi_of(wnd));
    std::vector<HWND> kids = children(wnd);
    std::printf("%s.children=%u\n", prefix, (unsigned)kids.size());
    for (size_t i = 0; i < kids.size(); ++i) {
        HWND k = kids[i];
        RECT kr;
        GetWindowRect(k, &kr);
        // In the parent's client coordinates; in a mirrored parent they count
        // from the right, and a rectangle maps with its edges in order.
        RECT in_parent = kr;
        MapWindowPoints(nullptr, wnd, (POINT*)&in_parent, 2);
        POINT p = {in_parent.left, in_parent.top};
        std::printf(
            "%s.child%u=id:%d|class:%s|pos:%ld,%ld|size:%ld,%ld|style:%08lx|enabled:%d|visible:%d|text:%s\n",
            prefix, (unsigned)i, GetDlgCtrlID(k), class_of(k).c_str(), p.x, p.y, kr.right - kr.left,
            kr.bottom - kr.top, (unsigned long)GetWindowLongA(k, GWL_STYLE), IsWindowEnabled(k) ? 1 : 0,
            IsWindowVisible(k) ? 1 : 0, text_of(k).c_str());
        std::printf("%s.child%u.exstyle=%08lx\n", prefix, (unsigned)i,
                    (unsigned long)GetWindowLongA(k, GWL_EXSTYLE));
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
    become_dpi_aware();
    std::string cmd = argv[1];
    if (cmd == "glyphs" && argc > 2)
        return report_glyphs(argv[2]);
    if (cmd == "measure" && argc > 4)
        return report_extents(std::atoi(argv[2]), std::atoi(argv[3]), argv[4]);
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
    } else if (cmd == "dpichange" || cmd == "prompt-dpichange") {
        wnd = cmd == "dpichange" ? main_window() : prompt_window();
        if (wnd) {
            RECT r;
            GetWindowRect(wnd, &r);
            UINT old_dpi = dpi_of(wnd);
            RECT suggested = {r.left, r.top, r.left + MulDiv(r.right - r.left, (int)ms, (int)old_dpi),
                              r.top + MulDiv(r.bottom - r.top, (int)ms, (int)old_dpi)};
            // WM_DPICHANGED as Windows sends it when the window moves to a
            // monitor of that DPI: the suggested rectangle lives in the
            // window's own process.
            DWORD pid = 0;
            GetWindowThreadProcessId(wnd, &pid);
            HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_WRITE, FALSE, pid);
            void* remote =
                process ? VirtualAllocEx(process, nullptr, sizeof(suggested), MEM_COMMIT, PAGE_READWRITE)
                        : nullptr;
            if (remote && WriteProcessMemory(process, remote, &suggested, sizeof(suggested), nullptr)) {
                DWORD_PTR result = 0;
                SendMessageTimeoutW(wnd, 0x02E0 /* WM_DPICHANGED */, MAKEWPARAM(ms, ms), (LPARAM)remote,
                                    SMTO_ABORTIFHUNG, 5000, &result);
            } else {
                wnd = nullptr;
            }
            if (process)
                CloseHandle(process);
        }
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
