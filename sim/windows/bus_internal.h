// The Windows-side simulated bus's tables and the helpers that the bus
// (bus.cpp) and the device calls answering from it (device_calls.cpp)
// share. Internal to tessel-updater-sim.exe.
#pragma once

#include "sim/windows/bus.h"
#include "sim/windows/device_calls.h"

#include "bus/device_rules.h"
#include "bus/held_writes.h"
#include "bus/keyboard_bus.h"

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

using simbus::kHidGuid;
using simbus::Kind;

// An interface of the bus, with its class and path fixed when it arrives.
struct Iface : simbus::Interface {
    GUID guid = kHidGuid;
    std::string path;
};

struct DeviceFile {
    int iface;
    DWORD access;
    DWORD flags;  // as opened: FILE_FLAG_OVERLAPPED or not
};

struct Registration {
    HWND hwnd;
    bool for_handle;
    GUID guid;
    HANDLE handle;
    int iface;
};

struct Timed {
    Clock::time_point due;
    uint64_t seq;
    std::function<void()> fn;
    bool operator<(const Timed& o) const { return due != o.due ? due > o.due : seq > o.seq; }
};

using Keyboard = simbus::Keyboard;

struct Bus {
    std::mutex lock;
    std::condition_variable wake;
    std::priority_queue<Timed> timed;
    uint64_t seq = 0;

    std::vector<Iface> ifaces;
    int next_iface = 1;
    std::map<HANDLE, DeviceFile> files;
    simbus::HeldWrites writes;  // by the issuing thread's id
    std::map<HDEVNOTIFY, Registration> registrations;
    std::vector<RAWINPUTDEVICE> raw_targets;
    std::deque<std::pair<HRAWINPUT, simbus::RawMessage>> raw_records;  // the latest, by handle
    uintptr_t next_raw = 0;
    std::map<HANDLE, simbus::RawDevice> raw_devices;  // present HID collections by Raw Input device handle
    uintptr_t next_raw_device = 0;
    std::map<void*, simbus::InfoSet> info_sets;
    std::map<void*, simbus::WinUsbIf> winusb;  // by WinUSB interface handle

    sim::PackageFacts package;
    std::unique_ptr<Keyboard> keyboards[2];  // the keyboard and a second one, each or none
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
// The bus as the shared keyboard code sees it.
simbus::BusHost& bus_host();
// With the lock held.
Iface* iface_by_id(int id);
Iface* present_iface_of_file(HANDLE h);
// The keyboard an interface belongs to, or nullptr.
Keyboard* keyboard_of(const Iface* i);
// With the lock held: a held write ends with `error` (0: done) and `moved`
// bytes, unless it has ended already.
void complete_write(HANDLE file, OVERLAPPED* ov, DWORD error, DWORD moved);
// Ends the writes held on `file` (`thread` != 0: only those it issued).
void end_writes_of(HANDLE file, DWORD error, DWORD thread = 0);
// With the lock held: stops the program when the tables contradict each
// other; called after every change of them.
void check_bus();
void trace(const char* ev, const std::string& fields);

}  // namespace simwin
