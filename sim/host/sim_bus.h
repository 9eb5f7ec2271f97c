// Internals of the simulated bus and of the system services through which
// the tool sees its devices (SetupAPI, HID, device files, Raw Input, device
// notifications, power broadcasts, WinUSB), shared by their files. Not for
// product code, the runner or the tests: they use sim_devices.h.
#pragma once

#include "host/sim_core.h"
#include "host/sim_devices.h"
#include "host/sim_internal.h"

#include "bus/device_rules.h"
#include "bus/keyboard_bus.h"
#include "models/keyboard_model.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace sim {

using simbus::hex_upper;
using simbus::InfoSet;
using simbus::kHidGuid;
using simbus::Kind;
using simbus::RawDevice;
using simbus::RawMessage;
using simbus::same_guid;
using simbus::WinUsbIf;

// ------------------------------------------------------------ interfaces
// An interface of the bus: the keyboard's own resolve their vendor and
// product ids and their class from the package facts when asked.
struct Iface : simbus::Interface {
    int dfu_identity = 0;  // 1, 2: the package's pair (read when needed); 0: vid/pid
    std::string instance;  // path part that tells the interface apart

    uint16_t usb_vid() const;
    uint16_t usb_pid() const;
    GUID class_guid() const;
    std::string path() const
    {
        return simbus::device_path(hid(), usb_vid(), usb_pid(), instance, class_guid());
    }
};

struct Registration {
    HDEVNOTIFY id = nullptr;
    HWND hwnd = nullptr;
    bool for_handle = false;
    GUID guid = {};
    HANDLE handle = nullptr;
    int iface = -1;
};

struct Preparsed {
    HIDP_CAPS caps;
};

struct DeviceFile;

using KeyboardSlot = simbus::Keyboard;

struct World {
    bool initialised = false;
    std::vector<Iface> ifaces;  // in order of arrival
    int next_iface = 1;
    std::map<HANDLE, RawDevice> raw_devices;
    uintptr_t next_raw_device = 0x20000;
    std::map<HRAWINPUT, RawMessage> raw_messages;
    uintptr_t next_raw_message = 0x30000;
    std::vector<RAWINPUTDEVICE> raw_registrations;
    std::vector<Registration> registrations;
    uintptr_t next_notify = 0x40000;
    std::set<Preparsed*> preparsed;
    std::set<InfoSet*> info_sets;
    std::map<WINUSB_INTERFACE_HANDLE, WinUsbIf> winusb;
    uintptr_t next_winusb = 0x50000;
    std::set<HANDLE> closed_keyboard_handles;
    std::set<DeviceFile*> files;
    std::unique_ptr<KeyboardSlot> keyboard;
    std::unique_ptr<KeyboardSlot> keyboard2;  // a second keyboard on the same system, or none
    PackageFacts package;
    bool suspended = false;
    bool preempt_writes = false;
    int mouse_count = 0;
    DeviceCounters counters;
};

// The bus's state (bus.cpp).
World& world();
Iface* iface_by_id(int id);
// The keyboard an interface belongs to (nullptr: none).
KeyboardSlot* keyboard_of(const Iface& i);
// The bus as the shared keyboard code sees it.
simbus::BusHost& bus_host();
// Checks that the bus's tables agree with each other (every open file's
// interface exists, every held write belongs to an open device file, every
// registration, WinUSB handle, information set and Raw Input device refers
// to an interface of the bus); stops the program with a message otherwise.
// Called after every change of the tables.
void check_bus();
// Installs the bus's watch on WriteFile the first time the devices are used.
void ensure_init();
// A new interface on the bus; with `announce`, its arrival reaches the
// registered windows a moment later. Returns its id.
int add_iface(Iface i, bool announce);

// ------------------------------------------------------------ device files
struct DeviceFile : HandleObject {
    int iface = -1;
    DWORD access = 0;
    DWORD flags = 0;  // as opened: FILE_FLAG_OVERLAPPED or not
    HANDLE value = nullptr;
    const char* kind() const override { return "device"; }
    BOOL write(const void* buf, DWORD n, DWORD* put) override;
    BOOL write_overlapped(const void* buf, DWORD n, DWORD* put, OVERLAPPED* ov) override;
    void on_close() override;
    // The keyboard behind this command collection has hung.
    bool writes_hang() const;
};
// Notices writes through stale handles (device_files.cpp).
void count_stale_writes(HANDLE h, const void* buf, DWORD n);

// Device notifications (notifications.cpp).
void send_device_change(HWND hwnd, WPARAM event, std::shared_ptr<std::vector<uint8_t>> buf,
                        std::function<void(LRESULT)> on_reply = nullptr);
std::shared_ptr<std::vector<uint8_t>> interface_broadcast(const Iface& i);
std::shared_ptr<std::vector<uint8_t>> handle_broadcast(const Registration& r);
void announce_arrival(const Iface& i);
// The interfaces leave the system: handle registrations on them get
// removal complete, then interface registrations of their class.
void remove_interfaces(const std::vector<int>& ids);

// A test's answer to a control transfer to a DFU device that is no
// keyboard's (winusb.cpp): fails with ERROR_GEN_FAILURE without one.
BOOL answer_control(const Iface& i, const WINUSB_SETUP_PACKET& setup, PUCHAR buffer, ULONG length,
                    PULONG transferred);

// Input reports to the windows registered for them (rawinput.cpp).
void deliver_input(const Iface& i, const uint8_t* report, size_t len);

}  // namespace sim
