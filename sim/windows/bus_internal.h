// The Windows-side simulated bus's tables and the helpers that the bus
// (bus.cpp) and the device calls answering from it (device_calls.cpp)
// share. Internal to tessel-updater-sim.exe.
#pragma once

#include "sim/windows/bus.h"
#include "sim/windows/device_calls.h"

#include "models/device_config.h"
#include "models/keyboard_model.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <queue>
#include <random>
#include <string>
#include <vector>

namespace simwin {

using Clock = std::chrono::steady_clock;

const GUID kHidGuid = {0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};
const NTSTATUS kStatusPending = 0x103;
const NTSTATUS kStatusCancelled = (NTSTATUS)0xC0000120;
const NTSTATUS kStatusNoDevice = (NTSTATUS)0xC000009D;  // device not connected

enum class Kind { KbdStandard, KbdEvents, KbdCommands, Dfu, HidOther };

struct Iface {
    int id = 0;
    int owner = -1;  // 0: the keyboard, 1: the second keyboard; -1: another device
    Kind kind = Kind::HidOther;
    uint16_t vid = 0, pid = 0, version = 0, usage_page = 0, usage = 0, in_len = 0, out_len = 0;
    GUID guid = kHidGuid;
    std::string path;
    bool present = true;
    HANDLE raw_device = nullptr;
};

struct DeviceFile {
    int iface;
};

struct PendingWrite {
    HANDLE file;
    OVERLAPPED* ov;
    std::vector<uint8_t> report;
    bool done = false;
};

struct Registration {
    HWND hwnd;
    bool for_handle;
    GUID guid;
    HANDLE handle;
    int iface;
};

struct RawRecord {
    HANDLE device;
    WPARAM wparam;
    uint8_t report[64];
    uint32_t len;
};

struct Timed {
    Clock::time_point due;
    uint64_t seq;
    std::function<void()> fn;
    bool operator<(const Timed& o) const { return due != o.due ? due > o.due : seq > o.seq; }
};

// A keyboard on the bus: its model and the interfaces of its current enumeration.
struct Keyboard {
    int number = 1;  // 1: the keyboard, 2: the second one (its records say "kb": 2)
    sim::KeyboardConfig config;
    std::unique_ptr<models::KeyboardModel> model;
    std::vector<int> ifaces;
    int reports_taken = 0;  // output reports its command collection took
    // After taking hang_after_reports reports its firmware hangs: later
    // writes to the command collection stay pending until they are
    // cancelled or the keyboard leaves.
    bool hung() const { return config.hang_after_reports >= 0 && reports_taken >= config.hang_after_reports; }
};

struct Bus {
    std::mutex lock;
    std::condition_variable wake;
    std::priority_queue<Timed> timed;
    uint64_t seq = 0;

    std::vector<Iface> ifaces;
    int next_iface = 1;
    std::map<HANDLE, DeviceFile> files;
    std::vector<std::shared_ptr<PendingWrite>> writes;
    std::map<HDEVNOTIFY, Registration> registrations;
    std::vector<RAWINPUTDEVICE> raw_targets;
    std::deque<std::pair<HRAWINPUT, RawRecord>> raw_records;  // the latest, by handle
    uintptr_t next_raw = 0;
    std::map<HANDLE, Iface> raw_devices;  // present HID collections by Raw Input device handle
    uintptr_t next_raw_device = 0;
    std::map<void*, std::vector<int>> info_sets;
    std::map<void*, int> winusb;  // WinUSB interface handle -> interface

    sim::PackageFacts package;
    std::unique_ptr<Keyboard> keyboards[2];  // the keyboard and a second one, each or none
    bool quiet = false;
    int mice = 0;
    bool suspended = false;
    std::map<DWORD, EXECUTION_STATE> execution_states;  // by thread id, as the tool set them
    int violations = 0;

    std::function<void(const char*, const std::string&)> trace;
    std::mt19937 jitter_rng;
    bool jitter = false;

    // WM_DEVICECHANGE deliveries, in order.
    std::mutex send_lock;
    std::condition_variable send_wake;
    std::deque<std::function<void()>> sends;
};

// What a SetupAPI device information set handle points at.
struct InfoSetKey {};

Bus& bus();
uint32_t jittered(uint32_t ms);  // a device delay, varied when the bus has jitter
// With the lock held: `fn` runs on the bus thread `ms` milliseconds from now.
void after_locked(uint32_t ms, std::function<void()> fn);
bool same_guid(const GUID& a, const GUID& c);
std::string hex_upper(const uint8_t* p, size_t n);
// With the lock held.
Iface* iface_by_id(int id);
Iface* present_iface_of_file(HANDLE h);
// The keyboard an interface belongs to, or nullptr.
Keyboard* keyboard_of(const Iface* i);
// A record about a keyboard (fields: a JSON object's text): the second
// one's carry "kb": 2.
void trace_kb(const Keyboard& k, const char* ev, const std::string& fields);
void complete_write(PendingWrite& w, NTSTATUS status, DWORD moved);
void end_writes_of(HANDLE file, NTSTATUS status);
void trace(const char* ev, const std::string& fields);

}  // namespace simwin
