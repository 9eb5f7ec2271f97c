// The table of kernel objects behind every HANDLE of the stand-in, and the
// thread's last error.
#include "host/sim_core.h"
#include "host/sim_internal.h"

#include <map>
#include <memory>

namespace sim {

namespace {
// Handle values start at 0x100 and step by 4; the lowest free one is reused.
constexpr uintptr_t kFirstHandle = 0x100;
std::map<uintptr_t, std::unique_ptr<HandleObject>>& table()
{
    static std::map<uintptr_t, std::unique_ptr<HandleObject>> t;
    return t;
}
}  // namespace

BOOL HandleObject::read(void*, DWORD, DWORD* got)
{
    if (got)
        *got = 0;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

BOOL HandleObject::write(const void*, DWORD, DWORD* put)
{
    if (put)
        *put = 0;
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
}

BOOL HandleObject::write_overlapped(const void* buf, DWORD n, DWORD* put, OVERLAPPED* ov)
{
    DWORD done = 0;
    BOOL ok = write(buf, n, &done);
    if (put)
        *put = done;
    if (ok) {
        ov->Internal = 0;
        ov->InternalHigh = done;
        if (ov->hEvent)
            SetEvent(ov->hEvent);
    }
    return ok;
}

HANDLE handle_insert(HandleObject* obj)
{
    auto& t = table();
    uintptr_t v = kFirstHandle;
    for (auto& entry : t) {
        if (entry.first != v)
            break;
        v += 4;
    }
    t[v].reset(obj);
    return reinterpret_cast<HANDLE>(v);
}

HandleObject* handle_lookup(HANDLE h)
{
    auto& t = table();
    auto it = t.find(reinterpret_cast<uintptr_t>(h));
    return it == t.end() ? nullptr : it->second.get();
}

size_t open_handle_count()
{
    return table().size();
}

namespace {
WriteObserver& write_observer()
{
    static WriteObserver o;
    return o;
}
}  // namespace

void set_write_observer(WriteObserver observer)
{
    write_observer() = std::move(observer);
}

namespace {
std::string g_standard_output;
HANDLE g_standard_output_handle = nullptr;

// The standard output: a pipe that takes every write whole.
struct StandardOutput : HandleObject {
    const char* kind() const override { return "stdout"; }
    BOOL write(const void* buf, DWORD n, DWORD* put) override
    {
        std::string text(static_cast<const char*>(buf), n);
        g_standard_output += text;
        trace("stdout", Json{{"text", text}});
        if (put)
            *put = n;
        return TRUE;
    }
};
}  // namespace

std::string standard_output()
{
    return g_standard_output;
}

}  // namespace sim

namespace {
// The last error of code that runs on no simulated thread (set-up, tests).
DWORD g_free_last_error = 0;
}  // namespace

// Each simulated thread has its own last error, as each thread does on the
// platform.
DWORD GetLastError(void)
{
    sim::SimThread* t = sim::running_thread();
    return t ? t->last_error : g_free_last_error;
}
void SetLastError(DWORD code)
{
    sim::SimThread* t = sim::running_thread();
    (t ? t->last_error : g_free_last_error) = code;
}

// Made at the first call, so that a world whose tool never asks for it has
// the handle values it always had.
HANDLE GetStdHandle(DWORD which)
{
    if (which != STD_OUTPUT_HANDLE)
        return nullptr;
    if (!sim::g_standard_output_handle)
        sim::g_standard_output_handle = sim::handle_insert(new sim::StandardOutput);
    return sim::g_standard_output_handle;
}

BOOL CloseHandle(HANDLE h)
{
    sim::preemption_point();
    auto& t = sim::table();
    auto it = t.find(reinterpret_cast<uintptr_t>(h));
    if (it == t.end()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    std::unique_ptr<sim::HandleObject> obj = std::move(it->second);
    t.erase(it);
    obj->on_close();
    return TRUE;
}

BOOL ReadFile(HANDLE h, LPVOID buf, DWORD n, LPDWORD got, LPOVERLAPPED)
{
    sim::preemption_point();
    sim::HandleObject* obj = sim::handle_lookup(h);
    if (!obj) {
        if (got)
            *got = 0;
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return obj->read(buf, n, got);
}

BOOL WriteFile(HANDLE h, LPCVOID buf, DWORD n, LPDWORD put, LPOVERLAPPED ov)
{
    sim::preemption_point();
    if (sim::write_observer())
        sim::write_observer()(h, buf, n);
    sim::HandleObject* obj = sim::handle_lookup(h);
    if (!obj) {
        if (put)
            *put = 0;
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (ov)
        return obj->write_overlapped(buf, n, put, ov);
    return obj->write(buf, n, put);
}
