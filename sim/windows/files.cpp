// The program's volume and its result log as a scenario has them, for the
// tool's own file calls (redirect.h sends them here): files that are not on
// the program's volume, and every call while nothing is wrong, go straight
// to the system. A read-only result log and one that another program holds
// are real (a file attribute, a handle without sharing: world.cpp), the
// attribute enforced here as Windows does (Wine, run as root, does not); a
// full volume and a volume that leaves are answered here.
#include "sim/windows/device_calls.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

namespace {

std::mutex g_lock;
std::string g_program_dir;  // with its closing backslash
std::string g_result_log;   // the result log's full path
bool g_volume_full = false;
bool g_volume_gone = false;
std::set<HANDLE> g_result_log_handles;  // open on the result log
std::set<HANDLE> g_volume_handles;      // open on the program's volume

bool starts_with_folded(const char* path, const std::string& prefix)
{
    return path && prefix.size() &&
           CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, path, (int)std::min(strlen(path), prefix.size()),
                          prefix.c_str(), (int)prefix.size()) == CSTR_EQUAL;
}

// With the lock held: `path` lies on the program's volume.
bool on_volume(const char* path)
{
    return starts_with_folded(path, g_program_dir);
}

}  // namespace

namespace simwin {

void files_setup(const std::string& program_dir, const std::string& result_log, bool volume_full)
{
    std::lock_guard<std::mutex> held(g_lock);
    g_program_dir = program_dir;
    g_result_log = result_log;
    g_volume_full = volume_full;
}

void files_remove_program_volume()
{
    std::lock_guard<std::mutex> held(g_lock);
    g_volume_gone = true;
}

}  // namespace simwin

HANDLE simdev_file_open(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES sa, DWORD disposition,
                        DWORD flags, HANDLE templ)
{
    std::lock_guard<std::mutex> held(g_lock);
    if (g_volume_gone && on_volume(path)) {
        // The drive letter left with the volume.
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // Windows refuses to write a file that carries the read-only attribute;
    // Wine, run as root, would let the write through.
    bool writes = (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA)) ||
                  disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING;
    DWORD attributes = on_volume(path) ? GetFileAttributesA(path) : INVALID_FILE_ATTRIBUTES;
    if (writes && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
        !(attributes & FILE_ATTRIBUTE_DIRECTORY) && disposition != CREATE_NEW) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = CreateFileA(path, access, share, sa, disposition, flags, templ);
    if (h != INVALID_HANDLE_VALUE && on_volume(path)) {
        g_volume_handles.insert(h);
        if (path && lstrcmpiA(path, g_result_log.c_str()) == 0)
            g_result_log_handles.insert(h);
    }
    return h;
}

bool simdev_file_write_fails(HANDLE h, DWORD size, LPDWORD written)
{
    std::lock_guard<std::mutex> held(g_lock);
    DWORD error = 0;
    if (g_volume_gone && g_volume_handles.count(h))
        error = ERROR_DEVICE_NOT_CONNECTED;
    else if (g_volume_full && size > 0 && g_result_log_handles.count(h))
        error = ERROR_DISK_FULL;  // the append finds no free cluster
    if (!error)
        return false;
    if (written)
        *written = 0;
    SetLastError(error);
    return true;
}

void simdev_file_closed(HANDLE h)
{
    std::lock_guard<std::mutex> held(g_lock);
    g_volume_handles.erase(h);
    g_result_log_handles.erase(h);
}

BOOL simdev_ReadFile(HANDLE h, LPVOID data, DWORD size, LPDWORD read, LPOVERLAPPED ov)
{
    {
        std::lock_guard<std::mutex> held(g_lock);
        if (g_volume_gone && g_volume_handles.count(h)) {
            if (read)
                *read = 0;
            SetLastError(ERROR_DEVICE_NOT_CONNECTED);
            return FALSE;
        }
    }
    return ReadFile(h, data, size, read, ov);
}

FILE* simdev_fopen(const char* path, const char* mode)
{
    {
        std::lock_guard<std::mutex> held(g_lock);
        if (g_volume_gone && on_volume(path)) {
            errno = ENOENT;
            return nullptr;
        }
    }
    return fopen(path, mode);
}
