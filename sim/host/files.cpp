// Files of the simulated world (Windows paths map onto host files in
// paths.cpp): the kernel's file calls (CreateFileA with its share modes and dispositions,
// ReadFile/WriteFile through the handle table, SetFilePointer, GetFileSize),
// GetModuleFileNameA and the C runtime's fopen.
//
// None of this needs the scheduler: tools and unit tests call it from a plain
// main thread.
#include "host/sim_core.h"
#include "host/sim_internal.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#undef fopen
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

#define HOST_GENERIC_ALL 0x10000000u

// ------------------------------------------------------------ open files

bool wants_read(DWORD access)
{
    return (access & (GENERIC_READ | HOST_GENERIC_ALL)) != 0;
}
bool wants_write(DWORD access)
{
    return (access & (GENERIC_WRITE | HOST_GENERIC_ALL)) != 0;
}

struct FileObject;
std::mutex g_files_lock;
std::set<FileObject*> g_open_files;

// Files that carry the read-only attribute (by host identity), and a full volume.
std::set<std::pair<dev_t, ino_t>> g_read_only;
bool g_volume_full = false;

// The program file's bytes when it is served from memory (set_program_bytes).
const uint8_t* g_program_bytes = nullptr;
size_t g_program_size = 0;

struct FileObject : sim::HandleObject {
    int fd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
    DWORD access = 0;
    DWORD share = 0;
    uint64_t pos = 0;
    // Small reads are served from a copy of the bytes around them (the tool
    // reads its own file byte by byte); any write to the file drops it.
    std::vector<char> cache;
    uint64_t cache_at = 0;

    const char* kind() const override { return "file"; }

    bool read_cached(void* buf, DWORD n, DWORD* got)
    {
        const size_t kCacheSize = 64 * 1024;
        if (n == 0 || n > 4096)
            return false;
        if (cache.empty() || pos < cache_at || pos + n > cache_at + cache.size()) {
            cache.resize(kCacheSize);
            ssize_t r;
            do {
                r = pread(fd, cache.data(), kCacheSize, off_t(pos));
            } while (r < 0 && errno == EINTR);
            if (r < 0) {
                cache.clear();
                return false;
            }
            cache.resize(size_t(r));
            cache_at = pos;
        }
        uint64_t have = cache_at + cache.size() - pos;
        DWORD take = have < n ? DWORD(have) : n;
        std::memcpy(buf, cache.data() + (pos - cache_at), take);
        pos += take;
        if (got)
            *got = take;
        return true;
    }

    const uint8_t* memory = nullptr;  // the program file served from memory, or none
    size_t memory_size = 0;

    uint64_t size() const
    {
        if (memory || fd < 0)
            return memory_size;
        struct stat st;
        return fstat(fd, &st) == 0 ? uint64_t(st.st_size) : 0;
    }

    BOOL read(void* buf, DWORD n, DWORD* got) override
    {
        if (got)
            *got = 0;
        if (!wants_read(access)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (sim::program_volume_gone()) {
            SetLastError(ERROR_DEVICE_NOT_CONNECTED);
            return FALSE;
        }
        if (fd < 0) {
            DWORD total = pos < memory_size ? DWORD(std::min<uint64_t>(n, memory_size - pos)) : 0;
            if (total)
                memcpy(buf, memory + pos, total);
            pos += total;
            if (got)
                *got = total;
            return TRUE;
        }
        if (read_cached(buf, n, got))
            return TRUE;
        DWORD total = 0;
        while (total < n) {
            ssize_t r = pread(fd, static_cast<char*>(buf) + total, n - total, off_t(pos + total));
            if (r < 0) {
                if (errno == EINTR)
                    continue;
                pos += total;
                if (got)
                    *got = total;
                SetLastError(ERROR_GEN_FAILURE);
                return FALSE;
            }
            if (r == 0)
                break;  // end of file: success with fewer bytes
            total += DWORD(r);
        }
        pos += total;
        if (got)
            *got = total;
        return TRUE;
    }

    BOOL write(const void* buf, DWORD n, DWORD* put) override
    {
        if (put)
            *put = 0;
        if (!wants_write(access) || fd < 0) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        if (sim::program_volume_gone()) {
            SetLastError(ERROR_DEVICE_NOT_CONNECTED);
            return FALSE;
        }
        if (g_volume_full && n > 0) {
            SetLastError(ERROR_DISK_FULL);
            return FALSE;
        }
        {
            std::lock_guard<std::mutex> hold(g_files_lock);
            for (FileObject* f : g_open_files)
                if (f->dev == dev && f->ino == ino)
                    f->cache.clear();
        }
        DWORD total = 0;
        while (total < n) {
            ssize_t r = pwrite(fd, static_cast<const char*>(buf) + total, n - total, off_t(pos + total));
            if (r < 0) {
                if (errno == EINTR)
                    continue;
                pos += total;
                if (put)
                    *put = total;
                SetLastError(ERROR_GEN_FAILURE);
                return FALSE;
            }
            total += DWORD(r);
        }
        pos += total;
        if (put)
            *put = total;
        return TRUE;
    }

    void on_close() override
    {
        std::lock_guard<std::mutex> hold(g_files_lock);
        g_open_files.erase(this);
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }
};

// Would an open with `access` and `share` conflict with the handles already
// open on the host file (dev, ino)? The caller holds g_files_lock.
bool sharing_conflict(dev_t dev, ino_t ino, DWORD access, DWORD share)
{
    for (FileObject* f : g_open_files) {
        if (f->dev != dev || f->ino != ino)
            continue;
        if (wants_read(access) && !(f->share & FILE_SHARE_READ))
            return true;
        if (wants_write(access) && !(f->share & FILE_SHARE_WRITE))
            return true;
        if (wants_read(f->access) && !(share & FILE_SHARE_READ))
            return true;
        if (wants_write(f->access) && !(share & FILE_SHARE_WRITE))
            return true;
    }
    return false;
}

DWORD error_from_errno(int e, const std::string& host_path)
{
    switch (e) {
    case ENOENT: return sim::parent_exists(host_path) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case EEXIST: return ERROR_FILE_EXISTS;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS: return ERROR_ACCESS_DENIED;
    default: return ERROR_GEN_FAILURE;
    }
}

FileObject* file_of(HANDLE h)
{
    return sim::handle_as<FileObject>(h);
}

}  // namespace

namespace sim {

void set_program_bytes(const uint8_t* data, size_t size)
{
    std::lock_guard<std::mutex> hold(g_files_lock);
    g_program_bytes = data;
    g_program_size = data ? size : 0;
}

void files_set_read_only(const char* windows_path)
{
    std::string host = map_path(windows_path);
    struct stat st;
    std::lock_guard<std::mutex> hold(g_files_lock);
    if (!host.empty() && stat(host.c_str(), &st) == 0)
        g_read_only.insert({st.st_dev, st.st_ino});
}

void files_set_volume_full(bool full)
{
    std::lock_guard<std::mutex> hold(g_files_lock);
    g_volume_full = full;
}
}  // namespace sim

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES, DWORD disposition,
                   DWORD flags_and_attributes, HANDLE)
{
    sim::preemption_point();
    if (!name) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (sim::is_device_path(name))
        return sim::device_create_file(name, access, share, flags_and_attributes);
    if (sim::on_gone_volume(name)) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (disposition < CREATE_NEW || disposition > TRUNCATE_EXISTING ||
        (disposition == TRUNCATE_EXISTING && !wants_write(access))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::string host = sim::map_path(name);
    if (host.empty()) {
        SetLastError(sim::unmapped_error(name));
        return INVALID_HANDLE_VALUE;
    }

    std::lock_guard<std::mutex> hold(g_files_lock);
    if (g_program_bytes && host == sim::config().program_file) {
        // The program file from memory: it exists and can only be read.
        if (disposition == CREATE_NEW || wants_write(access) || disposition == TRUNCATE_EXISTING) {
            SetLastError(disposition == CREATE_NEW ? ERROR_FILE_EXISTS : ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
        FileObject* obj = new FileObject();
        obj->access = access;
        obj->share = share;
        obj->memory = g_program_bytes;
        obj->memory_size = g_program_size;
        HANDLE h = sim::handle_insert(obj);
        SetLastError(disposition == OPEN_ALWAYS ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
        return h;
    }
    struct stat st;
    bool exists = stat(host.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    if (!exists && (disposition == OPEN_EXISTING || disposition == TRUNCATE_EXISTING)) {
        SetLastError(error_from_errno(ENOENT, host));
        return INVALID_HANDLE_VALUE;
    }
    if (exists && disposition == CREATE_NEW) {
        SetLastError(ERROR_FILE_EXISTS);
        return INVALID_HANDLE_VALUE;
    }
    bool truncate = exists && (disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING);
    if (exists && (wants_write(access) || truncate) && g_read_only.count({st.st_dev, st.st_ino})) {
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    // Share modes are checked before anything is changed: a refused
    // CREATE_ALWAYS does not truncate.
    if (exists && sharing_conflict(st.st_dev, st.st_ino, access, share)) {
        SetLastError(ERROR_SHARING_VIOLATION);
        return INVALID_HANDLE_VALUE;
    }
    int flags = (wants_write(access) || truncate) ? O_RDWR : O_RDONLY;
    if (!exists)
        flags |= O_CREAT | O_EXCL;
    int fd = ::open(host.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0) {
        SetLastError(error_from_errno(errno, host));
        return INVALID_HANDLE_VALUE;
    }
    if (truncate && ftruncate(fd, 0) != 0) {
        ::close(fd);
        SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    struct stat opened;
    fstat(fd, &opened);
    FileObject* obj = new FileObject();
    obj->fd = fd;
    obj->dev = opened.st_dev;
    obj->ino = opened.st_ino;
    obj->access = access;
    obj->share = share;
    g_open_files.insert(obj);
    HANDLE h = sim::handle_insert(obj);
    SetLastError(exists && (disposition == CREATE_ALWAYS || disposition == OPEN_ALWAYS) ? ERROR_ALREADY_EXISTS
                                                                                        : ERROR_SUCCESS);
    return h;
}

DWORD SetFilePointer(HANDLE h, LONG distance, PLONG distance_high, DWORD method)
{
    FileObject* f = file_of(h);
    if (!f) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_SET_FILE_POINTER;
    }
    int64_t move = distance_high ? int64_t((uint64_t(uint32_t(*distance_high)) << 32) | uint32_t(distance))
                                 : int64_t(distance);
    int64_t base;
    switch (method) {
    case FILE_BEGIN: base = 0; break;
    case FILE_CURRENT: base = int64_t(f->pos); break;
    case FILE_END: base = int64_t(f->size()); break;
    default: SetLastError(ERROR_INVALID_PARAMETER); return INVALID_SET_FILE_POINTER;
    }
    int64_t target = base + move;
    if (target < 0) {
        SetLastError(ERROR_NEGATIVE_SEEK);
        return INVALID_SET_FILE_POINTER;
    }
    if (!distance_high && target > int64_t(0xFFFFFFFE)) {
        // The position does not fit the 32-bit result.
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    f->pos = uint64_t(target);
    if (distance_high)
        *distance_high = LONG(uint32_t(uint64_t(target) >> 32));
    return DWORD(uint64_t(target) & 0xFFFFFFFFu);
}

DWORD GetFileSize(HANDLE h, LPDWORD high)
{
    FileObject* f = file_of(h);
    if (!f) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_FILE_SIZE;
    }
    uint64_t size = f->size();
    if (high)
        *high = DWORD(size >> 32);
    return DWORD(size & 0xFFFFFFFFu);
}

DWORD GetModuleFileNameA(HMODULE, LPSTR buf, DWORD size)
{
    const std::string& path = sim::config().program_path;
    if (!buf || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() >= size) {
        // Cut to size-1 characters; the result is the buffer's size.
        memcpy(buf, path.data(), size - 1);
        buf[size - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    memcpy(buf, path.c_str(), path.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return DWORD(path.size());
}

FILE* host_fopen(const char* path, const char* mode)
{
    if (sim::on_gone_volume(path)) {
        errno = ENOENT;
        return nullptr;
    }
    std::string host = sim::map_path(path);
    if (host.empty() || !mode) {
        errno = ENOENT;
        return nullptr;
    }
    // The runtime opens with every sharing allowed; it still fails against a
    // handle that does not share what it asks for.
    DWORD access = 0;
    if (strchr(mode, 'r'))
        access |= GENERIC_READ;
    if (strchr(mode, 'w') || strchr(mode, 'a'))
        access |= GENERIC_WRITE;
    if (strchr(mode, '+'))
        access |= GENERIC_READ | GENERIC_WRITE;
    {
        std::lock_guard<std::mutex> hold(g_files_lock);
        if (g_program_bytes && host == sim::config().program_file) {
            if (access & GENERIC_WRITE) {
                errno = EACCES;
                return nullptr;
            }
            // fmemopen wants a buffer of at least one byte: an empty
            // program file reads as /dev/null does.
            if (g_program_size == 0)
                return fopen("/dev/null", "rb");
            return fmemopen((void*)g_program_bytes, g_program_size, "rb");
        }
        struct stat st;
        if (stat(host.c_str(), &st) == 0 &&
            (sharing_conflict(st.st_dev, st.st_ino, access, FILE_SHARE_READ | FILE_SHARE_WRITE) ||
             ((access & GENERIC_WRITE) && g_read_only.count({st.st_dev, st.st_ino})))) {
            errno = EACCES;
            return nullptr;
        }
    }
    return fopen(host.c_str(), mode);
}
