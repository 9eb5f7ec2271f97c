// Windows paths of the simulated world mapped onto host files: the program's
// own file, and the files in its folder (names without regard to case, as
// on Windows). Every other path maps nowhere.
#include "host/sim_core.h"
#include "host/sim_internal.h"

#include <string>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>

namespace {

char ascii_lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? char(c - 'A' + 'a') : c;
}

bool iequal(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); i++)
        if (ascii_lower(a[i]) != ascii_lower(b[i]))
            return false;
    return true;
}

bool is_drive_letter(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// A Windows path taken apart: drive letter (upper case) and its components
// below the root, "." and ".." resolved as Windows resolves them.
struct WinPath {
    bool ok = false;
    char drive = 0;
    std::vector<std::string> parts;
};

void push_component(WinPath& wp, std::string c)
{
    if (c.empty() || c == ".")
        return;
    if (c == "..") {
        if (!wp.parts.empty())
            wp.parts.pop_back();
        return;
    }
    // Windows drops trailing dots and spaces of a name.
    while (!c.empty() && (c.back() == '.' || c.back() == ' '))
        c.pop_back();
    if (!c.empty())
        wp.parts.push_back(c);
}

void split_into(WinPath& wp, const std::string& text)
{
    std::string cur;
    for (char ch : text) {
        if (ch == '\\' || ch == '/') {
            push_component(wp, cur);
            cur.clear();
        } else {
            cur += ch;
        }
    }
    push_component(wp, cur);
}

WinPath parse_absolute(const std::string& path)
{
    WinPath wp;
    if (path.size() >= 3 && is_drive_letter(path[0]) && path[1] == ':' &&
        (path[2] == '\\' || path[2] == '/')) {
        wp.ok = true;
        wp.drive = char(path[0] & ~0x20);
        split_into(wp, path.substr(3));
    }
    return wp;
}

// The program's file and its directory as the tool sees them.
WinPath program_file_path()
{
    return parse_absolute(sim::config().program_path);
}

WinPath program_directory()
{
    WinPath dir = program_file_path();
    if (dir.ok && !dir.parts.empty())
        dir.parts.pop_back();
    else
        dir.ok = false;
    return dir;
}

// Resolves any Windows path (absolute, drive-relative, rooted or relative to
// the program's directory, which is the program's current directory).
WinPath resolve(const std::string& path)
{
    WinPath dir = program_directory();
    if (path.size() >= 2 && is_drive_letter(path[0]) && path[1] == ':') {
        if (path.size() >= 3 && (path[2] == '\\' || path[2] == '/'))
            return parse_absolute(path);
        // "C:name" is relative to the current directory of that drive.
        WinPath wp;
        if (!dir.ok || char(path[0] & ~0x20) != dir.drive)
            return wp;
        wp = dir;
        split_into(wp, path.substr(2));
        return wp;
    }
    if (path.size() >= 2 && (path[0] == '\\' || path[0] == '/') && (path[1] == '\\' || path[1] == '/'))
        return WinPath();  // network paths lead nowhere in this world
    WinPath wp;
    if (!dir.ok)
        return wp;
    if (!path.empty() && (path[0] == '\\' || path[0] == '/')) {
        wp.ok = true;
        wp.drive = dir.drive;
        split_into(wp, path);
        return wp;
    }
    wp = dir;
    split_into(wp, path);
    return wp;
}

// Host name of `want` inside host folder `dir`: the exact name when it
// exists, else an entry that equals it without regard to case (Windows file
// names are case-insensitive), else `want` itself (for creating).
std::string host_entry(const std::string& dir, const std::string& want)
{
    struct stat st;
    std::string exact = dir + "/" + want;
    if (lstat(exact.c_str(), &st) == 0)
        return exact;
    DIR* d = opendir(dir.c_str());
    if (d) {
        while (struct dirent* e = readdir(d)) {
            if (iequal(e->d_name, want)) {
                std::string found = dir + "/" + e->d_name;
                closedir(d);
                return found;
            }
        }
        closedir(d);
    }
    return exact;
}

}  // namespace

namespace sim {

bool is_device_path(const char* p)
{
    return p[0] == '\\' && p[1] == '\\' && (p[2] == '?' || p[2] == '.') && p[3] == '\\';
}

bool parent_exists(const std::string& host_path)
{
    size_t cut = host_path.find_last_of('/');
    if (cut == std::string::npos)
        return true;
    std::string parent = host_path.substr(0, cut);
    if (parent.empty())
        return true;
    struct stat st;
    return stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Why a path that leads nowhere cannot be opened.
DWORD unmapped_error(const std::string& path)
{
    WinPath wp = resolve(path);
    if (wp.ok && wp.parts.size() <= 1)
        return ERROR_FILE_NOT_FOUND;  // the drive's root exists
    return ERROR_PATH_NOT_FOUND;
}

namespace {
bool g_volume_gone = false;
}  // namespace

void files_remove_program_volume()
{
    g_volume_gone = true;
}

bool program_volume_gone()
{
    return g_volume_gone;
}

bool on_gone_volume(const char* windows_path)
{
    if (!g_volume_gone || !windows_path || is_device_path(windows_path))
        return false;
    WinPath wp = resolve(windows_path);
    WinPath prog = program_file_path();
    // A path relative to the current directory (the program's) is on it too.
    return !wp.ok || !prog.ok || wp.drive == prog.drive;
}

std::string map_path(const char* windows_path)
{
    if (!windows_path || !windows_path[0] || is_device_path(windows_path))
        return "";
    const WorldConfig& cfg = config();
    WinPath wp = resolve(windows_path);
    if (!wp.ok)
        return "";
    WinPath prog = program_file_path();
    if (prog.ok && wp.drive == prog.drive && wp.parts.size() == prog.parts.size()) {
        bool same = true;
        for (size_t i = 0; i < wp.parts.size() && same; i++)
            same = iequal(wp.parts[i], prog.parts[i]);
        if (same)
            return cfg.program_file;
    }
    WinPath dir = program_directory();
    if (!dir.ok || cfg.program_dir.empty() || wp.drive != dir.drive || wp.parts.size() <= dir.parts.size())
        return "";
    for (size_t i = 0; i < dir.parts.size(); i++)
        if (!iequal(wp.parts[i], dir.parts[i]))
            return "";
    std::string host = cfg.program_dir;
    while (host.size() > 1 && host.back() == '/')
        host.pop_back();
    for (size_t i = dir.parts.size(); i < wp.parts.size(); i++)
        host = host_entry(host, wp.parts[i]);
    return host;
}

}  // namespace sim
