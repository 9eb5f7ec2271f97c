// The devices of the simulated world: the keyboard (normal mode and DFU boot
// loader) and whatever else tests attach, as the platform's SetupAPI, HID,
// Raw Input, device notifications, power broadcasts and WinUSB present them.
//
// Host-only; never seen by product code.
#pragma once

#include "host/win32_host.h"

#include "package_facts.h"
#include "models/device_config.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

// Before run_entry; nullptr: no keyboard. `package` is what the keyboard,
// its boot loader and the bus know of the update package (the boot loader's
// interface class and identities, the versions and Bluetooth checksum the
// keyboard comes back with), as read by read_package_facts.
// `keyboard2`: a second keyboard on the same system (its own boot loader,
// its own device instances), or nullptr.
void devices_setup(const KeyboardConfig* keyboard, const PackageFacts& package,
                   const KeyboardConfig* keyboard2 = nullptr);

// User and world actions, called in world context: "detach", "attach",
// "query_remove", "query_remove_vetoed" (another program denies the
// removal), "suspend", "sleep", "force_suspend", "resume", "hid_arrival";
// "detach2", "attach2" for the second keyboard.
// Unknown actions do nothing.
void device_action(const std::string& what);

int reports_out();   // output reports the keyboard received
int dfu_blocks();    // DFU_DNLOAD data blocks the boot loader received
int reports_out2();  // the same for the second keyboard (-1: none)
int dfu_blocks2();
int stale_handle_writes();  // writes through closed or foreign handles (must stay 0)
int violations();           // protocol rules the host broke (each also a `violation` trace record)
// What the keyboard's parts stored and run, held against the package (all
// false without a keyboard); with two, of the one that holds more of it.
struct GroundTruth;  // models/ground_truth.h
GroundTruth ground_truth();

// ------------------------------------------------------------ for tests
// Extra interfaces, present from the moment they are added (in world
// context they also announce their arrival). Returns the interface's id.
struct ExtraHid {
    uint16_t vid = 0, pid = 0, version = 0;
    uint16_t usage_page = 0, usage = 0;
    uint16_t input_len = 0, output_len = 0;
    bool refuse_open = false;      // CreateFileA fails with ERROR_SHARING_VIOLATION
    bool enum_fails = false;       // SetupDiEnumDeviceInterfaces fails for it (not NO_MORE_ITEMS)
    bool attributes_fail = false;  // HidD_GetAttributes fails
};
int devices_add_hid(const ExtraHid& hid);

struct ExtraDfu {
    int identity = 1;  // 1 or 2: the package's pair; 0: the ids below
    uint16_t vid = 0, pid = 0;
    bool refuse_open = false;  // CreateFileA fails
    int descriptor_len = 18;   // bytes WinUsb_GetDescriptor transfers
    int path_padding = 0;      // characters added to its device path
};
int devices_add_dfu(const ExtraDfu& dfu);
// Answers WinUSB control transfers on interfaces added with devices_add_dfu
// (without it they fail), for tests of the DFU request layer: returns what
// WinUsb_ControlTransfer returns and sets *transferred.
using ControlAnswer =
    std::function<BOOL(const WINUSB_SETUP_PACKET& setup, PUCHAR buffer, ULONG length, PULONG transferred)>;
void devices_set_control_answer(ControlAnswer answer);
// Makes a present extra interface refuse (or accept again) CreateFileA.
void devices_set_refuse_open(int id, bool refuse);

// When on, every WriteFile lets 2 ms of virtual time pass before the system
// looks its handle up, as a preemption between a thread's read of a handle
// value and its use would; other threads run meanwhile.
void devices_preempt_writes(bool on);
// The path of an interface of the bus ("" when there is none with that id).
std::string device_path(int id);
// The device interface behind an open device file ("" / 0 for anything else).
std::string device_path_of(HANDLE h);
int device_iface_of(HANDLE h);

// Everything a test may want to count.
struct DeviceCounters {
    int open_device_handles = 0;   // handles of device interfaces not yet closed
    int open_info_sets = 0;        // SetupDi sets not destroyed
    int open_preparsed = 0;        // preparsed data not freed
    int open_winusb = 0;           // WinUSB interface handles not freed
    int notify_registrations = 0;  // device notifications registered and not dropped
    int bad_unregisters = 0;       // UnregisterDeviceNotification of an unknown handle
    int device_opens = 0;          // successful CreateFileA on device paths
    int stale_handle_writes = 0;
    int violations = 0;  // protocol rules the host broke
};
DeviceCounters device_counters();

// Raw input as the platform would hand it out, for decoder tests: stores a
// message and returns its handle. `bytes` is the whole RAWINPUT as the
// system would copy it; `reported_size` what the size query answers
// (0: bytes.size()); `fail_read` makes the second GetRawInputData fail.
struct RawInputSpec {
    std::vector<uint8_t> bytes;
    UINT reported_size = 0;
    bool fail_size_query = false;
    bool fail_read = false;
    UINT copied_size = 0;  // bytes the read claims to have copied (0: as many as it copied)
};
HRAWINPUT raw_input_store(const RawInputSpec& desc);
// DefWindowProc's clean-up of a WM_INPUT received in the foreground
// (RIM_INPUT): the input is gone and GetRawInputData no longer finds it.
// Input received in the background (RIM_INPUTSINK) is not passed there.
void raw_input_release(HRAWINPUT raw);
// A raw input device handle for GetRawInputDeviceInfoA with these values.
HANDLE raw_device_store(DWORD type, uint16_t vid, uint16_t pid, uint16_t usage_page, uint16_t usage,
                        bool fail_info = false);

}  // namespace sim
