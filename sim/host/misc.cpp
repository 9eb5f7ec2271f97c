// The rest of the simulated desktop: GDI objects, icons and cursors, message
// boxes, the shell, the version query, the process token and the restart of
// Windows; and the world's text conversions.
#include "host/sim_internal.h"
#include "host/sim_windows.h"

#include <cctype>
#include <cstdio>
#include <map>
#include <sys/stat.h>

namespace sim {

namespace {

constexpr DWORD kErrNoResource = 1814;        // ERROR_RESOURCE_NAME_NOT_FOUND
constexpr DWORD kErrNotAllAssigned = 1300;    // ERROR_NOT_ALL_ASSIGNED
constexpr DWORD kErrNoSuchPrivilege = 1313;   // ERROR_NO_SUCH_PRIVILEGE
constexpr DWORD kErrPrivilegeNotHeld = 1314;  // ERROR_PRIVILEGE_NOT_HELD
constexpr DWORD kShutdownLuid = 19;           // SE_SHUTDOWN_PRIVILEGE
constexpr int kAppIcon = 200;

std::vector<GdiObject> g_gdi;
int g_bad_deletes = 0;
uintptr_t g_gdi_count = 0;

std::map<std::string, uintptr_t> g_images;  // stable handles of icons and cursors
uintptr_t g_image_count = 0;

std::vector<MessageBoxRecord> g_boxes;
std::vector<std::string> g_system_log;
DWORD g_platform = VER_PLATFORM_WIN32_NT;
bool g_privilege_assigned = true;
bool g_privilege_enabled = false;
int g_reboots = 0;

struct TokenObject : HandleObject {
    DWORD access = 0;
    const char* kind() const override { return "token"; }
};

HGDIOBJ new_gdi(const char* kind, const std::string& detail)
{
    GdiObject o;
    o.handle = reinterpret_cast<HGDIOBJ>(0x20000 + 4 * (++g_gdi_count));
    o.kind = kind;
    o.detail = detail;
    g_gdi.push_back(o);
    return o.handle;
}

void* image_handle(const std::string& key)
{
    auto it = g_images.find(key);
    if (it == g_images.end())
        it = g_images.emplace(key, 0x30000 + 4 * (++g_image_count)).first;
    return reinterpret_cast<void*>(it->second);
}

// Resource number of a MAKEINTRESOURCE name, -1 for a string name.
int resource_number(LPCSTR name)
{
    return name && IS_INTRESOURCE(name) ? LOWORD(name) : -1;
}

const WCHAR* wide_or(LPCWSTR s, const WCHAR* fallback)
{
    return s ? s : fallback;
}

}  // namespace

// ------------------------------------------------------------ text

std::string lower(const std::string& s)
{
    std::string out = s;
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::u16string wide_cstr(const WCHAR* s)
{
    std::u16string out;
    if (s)
        while (*s)
            out.push_back(*s++);
    return out;
}

namespace {
// Windows-1252 in the range 0x80..0x9F; 0 where the code page has no character.
const char16_t kCp1252High[32] = {0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                  0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
                                  0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                  0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};
}  // namespace

std::u16string ansi_to_utf16(const char* s)
{
    std::u16string out;
    if (!s)
        return out;
    for (; *s; s++) {
        unsigned char c = static_cast<unsigned char>(*s);
        if (c >= 0x80 && c < 0xA0 && kCp1252High[c - 0x80])
            out.push_back(kCp1252High[c - 0x80]);
        else
            out.push_back(static_cast<char16_t>(c));
    }
    return out;
}

std::string utf16_to_ansi(const std::u16string& s)
{
    std::string out;
    for (char16_t u : s) {
        char c = '?';
        if (u < 0x80 || (u >= 0xA0 && u < 0x100)) {
            c = static_cast<char>(u);
        } else {
            for (int i = 0; i < 32; i++)
                if (kCp1252High[i] && kCp1252High[i] == u)
                    c = static_cast<char>(0x80 + i);
        }
        out.push_back(c);
    }
    return out;
}

std::string utf16_to_utf8(const std::u16string& s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        uint32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            i++;
        } else if (c >= 0xD800 && c < 0xE000) {
            c = 0xFFFD;  // a lone surrogate
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

// ------------------------------------------------------------ observable state

std::vector<GdiObject> gdi_objects()
{
    return g_gdi;
}
int bad_delete_calls()
{
    return g_bad_deletes;
}
std::vector<MessageBoxRecord> message_boxes()
{
    return g_boxes;
}
std::vector<std::string> system_log()
{
    return g_system_log;
}
bool shutdown_privilege_enabled()
{
    return g_privilege_enabled;
}
int reboots()
{
    return g_reboots;
}
void set_os_platform(DWORD platform_id)
{
    g_platform = platform_id;
}
void set_shutdown_privilege_assigned(bool assigned)
{
    g_privilege_assigned = assigned;
}

}  // namespace sim

// ------------------------------------------------------------ GDI

DWORD GetSysColor(int index)
{
    return index == COLOR_BTNFACE ? 0x00F0F0F0 : 0x00FFFFFF;
}

HBRUSH CreateSolidBrush(COLORREF color)
{
    char detail[16];
    std::snprintf(detail, sizeof detail, "#%02X%02X%02X", color & 0xFF, (color >> 8) & 0xFF,
                  (color >> 16) & 0xFF);
    return reinterpret_cast<HBRUSH>(sim::new_gdi("brush", detail));
}

HFONT CreateFontA(int height, int, int, int, int, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD, DWORD,
                  LPCSTR face)
{
    std::string detail = std::string(face ? face : "") + " " + std::to_string(height);
    return reinterpret_cast<HFONT>(sim::new_gdi("font", detail));
}

// The screen's device context: the one DC the tool asks for, to learn the
// display's DPI. The simulated display runs at 96 DPI.
HDC GetDC(HWND hwnd)
{
    if (hwnd) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return reinterpret_cast<HDC>(static_cast<uintptr_t>(0x30000));
}

int ReleaseDC(HWND, HDC dc)
{
    return dc == reinterpret_cast<HDC>(static_cast<uintptr_t>(0x30000)) ? 1 : 0;
}

int GetDeviceCaps(HDC dc, int index)
{
    if (dc != reinterpret_cast<HDC>(static_cast<uintptr_t>(0x30000)))
        return 0;
    return index == LOGPIXELSY ? 96 : 0;
}

BOOL DeleteObject(HGDIOBJ obj)
{
    for (sim::GdiObject& o : sim::g_gdi)
        if (o.handle == obj) {
            o.delete_calls++;
            if (!o.live) {
                sim::g_bad_deletes++;
                return FALSE;
            }
            o.live = false;
            return TRUE;
        }
    sim::g_bad_deletes++;
    return FALSE;
}

// ------------------------------------------------------------ icons and cursors

HICON LoadIconA(HINSTANCE inst, LPCSTR name)
{
    int n = sim::resource_number(name);
    if (!inst) {
        if (n >= 32512 && n <= 32518)  // the system's icons (IDI_APPLICATION .. IDI_SHIELD)
            return static_cast<HICON>(sim::image_handle("sysicon:" + std::to_string(n)));
    } else if (n == sim::kAppIcon) {
        return static_cast<HICON>(sim::image_handle("icon:" + std::to_string(n)));
    }
    SetLastError(sim::kErrNoResource);
    return nullptr;
}

// The simulated world's icons are names, not memory: nothing to free.
BOOL DestroyIcon(HICON icon)
{
    return icon != nullptr;
}

HANDLE LoadImageA(HINSTANCE inst, LPCSTR name, UINT type, int cx, int cy, UINT)
{
    int n = sim::resource_number(name);
    if (type == IMAGE_ICON && inst && n == sim::kAppIcon)
        return sim::image_handle("icon:" + std::to_string(n) + ":" + std::to_string(cx) + "x" +
                                 std::to_string(cy));
    if (type == IMAGE_ICON && !inst && n >= 32512 && n <= 32518)
        return sim::image_handle("sysicon:" + std::to_string(n) + ":" + std::to_string(cx) + "x" +
                                 std::to_string(cy));
    SetLastError(sim::kErrNoResource);
    return nullptr;
}

HCURSOR LoadCursorA(HINSTANCE inst, LPCSTR name)
{
    int n = sim::resource_number(name);
    if (!inst && n >= 32512 && n <= 32651)  // the system's cursors (IDC_ARROW ..)
        return static_cast<HCURSOR>(sim::image_handle("cursor:" + std::to_string(n)));
    SetLastError(sim::kErrNoResource);
    return nullptr;
}

// ------------------------------------------------------------ message box

int MessageBoxW(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type)
{
    sim::MessageBoxRecord r;
    r.owner = owner;
    r.text = sim::utf16_to_utf8(sim::wide_cstr(text));
    r.caption = sim::utf16_to_utf8(sim::wide_cstr(sim::wide_or(caption, u"Error")));
    r.type = type;
    r.t = sim::now_ms();
    sim::g_boxes.push_back(r);
    sim::trace("msgbox", sim::Json{{"caption", r.caption}, {"text", r.text}});
    // The simulated user answers at once with the first button.
    return IDOK;
}

// ------------------------------------------------------------ shell

HINSTANCE ShellExecuteA(HWND, LPCSTR, LPCSTR file, LPCSTR, LPCSTR, INT)
{
    std::string path = file ? file : "";
    std::string name = path;
    size_t cut = name.find_last_of("\\/");
    if (cut != std::string::npos)
        name = name.substr(cut + 1);
    std::string host =
        path.empty() || sim::on_gone_volume(path.c_str()) ? std::string() : sim::map_path(path.c_str());
    struct stat st;
    bool ok = !host.empty() && stat(host.c_str(), &st) == 0 && S_ISREG(st.st_mode);
    sim::g_system_log.push_back("shell:" + name + (ok ? ":ok" : ":fail"));
    sim::trace("shell", sim::Json{{"file", name}, {"ok", ok}});
    // Values above 32 mean success; 2 is "file not found".
    return reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(ok ? 42 : ERROR_FILE_NOT_FOUND));
}

// ------------------------------------------------------------ version, token, restart

BOOL GetVersionExA(LPOSVERSIONINFOA info)
{
    if (!info || (info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA) && info->dwOSVersionInfoSize != 156)) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    info->dwMajorVersion = 6;
    info->dwMinorVersion = 2;
    info->dwBuildNumber = 9200;
    info->dwPlatformId = sim::g_platform;
    info->szCSDVersion[0] = 0;
    return TRUE;
}

BOOL OpenProcessToken(HANDLE process, DWORD access, PHANDLE token)
{
    if (process != GetCurrentProcess() || !token) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    auto* t = new sim::TokenObject;
    t->access = access;
    *token = sim::handle_insert(t);
    return TRUE;
}

BOOL LookupPrivilegeValueA(LPCSTR system, LPCSTR name, PLUID luid)
{
    if (system && *system) {
        SetLastError(ERROR_INVALID_PARAMETER);  // only the local system is known here
        return FALSE;
    }
    if (!name || !luid || sim::lower(name) != sim::lower(SE_SHUTDOWN_NAME)) {
        SetLastError(sim::kErrNoSuchPrivilege);
        return FALSE;
    }
    luid->LowPart = sim::kShutdownLuid;
    luid->HighPart = 0;
    return TRUE;
}

BOOL AdjustTokenPrivileges(HANDLE token, BOOL disable_all, PTOKEN_PRIVILEGES state, DWORD, PTOKEN_PRIVILEGES,
                           PDWORD return_len)
{
    auto* t = sim::handle_as<sim::TokenObject>(token);
    if (!t) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!(t->access & TOKEN_ADJUST_PRIVILEGES)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (return_len)
        *return_len = 0;
    bool all_assigned = true;
    auto set = [&](bool on) {
        if (!sim::g_privilege_assigned) {
            all_assigned = false;
            return;
        }
        sim::g_system_log.push_back(on ? "privilege:on" : "privilege:off");
        sim::g_privilege_enabled = on;
    };
    if (disable_all) {
        set(false);
    } else if (state) {
        for (DWORD i = 0; i < state->PrivilegeCount; i++) {
            const LUID_AND_ATTRIBUTES& p = state->Privileges[i];
            if (p.Luid.LowPart == sim::kShutdownLuid && p.Luid.HighPart == 0)
                set((p.Attributes & SE_PRIVILEGE_ENABLED) != 0);
            else
                all_assigned = false;
        }
    }
    // Success even when a privilege is not held; the last error tells.
    SetLastError(all_assigned ? ERROR_SUCCESS : sim::kErrNotAllAssigned);
    return TRUE;
}

BOOL ExitWindowsEx(UINT flags, DWORD)
{
    if (sim::g_platform == VER_PLATFORM_WIN32_NT && !sim::g_privilege_enabled) {
        sim::g_system_log.push_back("exitwindows:denied");
        SetLastError(sim::kErrPrivilegeNotHeld);
        return FALSE;
    }
    sim::g_system_log.push_back("exitwindows:ok");
    sim::g_reboots++;
    sim::trace("reboot", sim::Json{{"flags", flags}});
    return TRUE;
}

// ------------------------------------------------------------ modules

// user32.dll is the one module the tool looks calls up in; its handle is a
// fixed value, as a loaded module's is for the life of the process.
HMODULE GetModuleHandleA(LPCSTR name)
{
    if (name) {
        std::string lower;
        for (const char* c = name; *c; ++c)
            lower += static_cast<char>(std::tolower(static_cast<unsigned char>(*c)));
        if (lower == "user32.dll" || lower == "user32")
            return reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x7FF10000));
    }
    SetLastError(126);  // ERROR_MOD_NOT_FOUND
    return nullptr;
}

FARPROC GetProcAddress(HMODULE module, LPCSTR name)
{
    if (module == reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x7FF10000)) && name &&
        !IS_INTRESOURCE(name) && std::string(name) == "GetDpiForWindow")
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&GetDpiForWindow));
    SetLastError(127);  // ERROR_PROC_NOT_FOUND
    return nullptr;
}

int MulDiv(int number, int numerator, int denominator)
{
    if (denominator == 0)
        return -1;
    // Rounded half away from zero, as the platform does.
    int64_t product = static_cast<int64_t>(number) * numerator;
    int64_t half = (denominator < 0 ? -static_cast<int64_t>(denominator) : denominator) / 2;
    bool negative = (product < 0) != (denominator < 0);
    int64_t magnitude = (product < 0 ? -product : product) + half;
    int64_t result = magnitude / (denominator < 0 ? -static_cast<int64_t>(denominator) : denominator);
    result = negative ? -result : result;
    if (result > INT32_MAX || result < INT32_MIN)
        return -1;
    return static_cast<int>(result);
}
