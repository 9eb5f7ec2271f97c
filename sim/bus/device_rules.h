// How the system answers the device calls, written once for both simulated
// worlds: the host stand-in (sim/host) and tessel-updater-sim.exe under Wine
// (sim/windows). Each world keeps its own tables, threads and clock and asks
// these functions what a call returns and which error it sets, so that a
// device behaves the same in both. Every error code here was checked
// against Microsoft's documentation of the call where it names one; where it
// names none, the code is the one the system's driver stack gives
// (docs/devices.md lists them).
#pragma once

#include "bus/platform_types.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace simbus {

// ------------------------------------------------------------ interfaces
enum class Kind { KbdStandard, KbdEvents, KbdCommands, Dfu, HidOther };

// One device interface as the system presents it. Both worlds' tables hold
// these (each adds what only it needs).
struct Interface {
    int id = 0;
    int owner = -1;  // 0: the keyboard, 1: the second keyboard; -1: another device
    Kind kind = Kind::HidOther;
    uint16_t vid = 0, pid = 0, version = 0;
    uint16_t usage_page = 0, usage = 0, in_len = 0, out_len = 0;
    bool present = true;
    bool refuse_open = false;      // CreateFileA fails with ERROR_SHARING_VIOLATION
    bool enum_fails = false;       // SetupDiEnumDeviceInterfaces fails for it (not NO_MORE_ITEMS)
    bool attributes_fail = false;  // HidD_GetAttributes fails
    int descriptor_len = 18;       // bytes WinUsb_GetDescriptor transfers
    HANDLE raw_device = nullptr;   // its Raw Input device handle (HID collections)

    bool hid() const { return kind != Kind::Dfu; }
    // A collection the tool may rightly write its command reports to: the
    // keyboard's, or one that a test presents with the same capabilities.
    bool takes_commands() const { return hid() && usage_page == 0xFF01 && usage == 0x01 && out_len == 57; }
    // The system keeps keyboards and mice to itself: they open for queries only.
    bool system_owned() const { return hid() && usage_page == 0x01 && (usage == 0x06 || usage == 0x02); }
};

// A SetupAPI device information set: the interfaces of one class present
// when it was made.
struct InfoSet {
    GUID guid;
    std::vector<int> ifaces;
};

// A WinUSB interface handle: the interface (-1 once its device file is
// closed) and the file it was made on.
struct WinUsbIf {
    int iface = -1;
    HANDLE file = nullptr;
};

// The keyboard's HID collections in normal mode, in the order they arrive
// (standard keyboard, events, commands): keyboard `owner` (0: the keyboard,
// 1: the second one) with the USB identity `identity` (1, 2) and firmware
// `version`; `instance` is each one's path part.
struct Collection {
    Interface iface;
    const char* instance;
};
std::vector<Collection> keyboard_collections(int owner, int identity, uint16_t version);

// The mouse that "hid_arrival" plugs in, the `n`th of the run (its path's
// instance part in `instance`).
Interface arriving_mouse(int n, std::string* instance);

extern const GUID kHidGuid;
bool same_guid(const GUID& a, const GUID& b);
std::string guid_text(const GUID& g);
std::string hex_upper(const uint8_t* p, size_t n);
// "\\?\hid#vid_XXXX&pid_XXXX<instance>#{guid}" ("usb" for WinUSB devices).
std::string device_path(bool hid, uint16_t vid, uint16_t pid, const std::string& instance, const GUID& guid);
// Whether a path names the same interface (the system compares them without case).
bool same_path(const std::string& a, const std::string& b);

// ------------------------------------------------------------ the errors, one home each
// CreateFileA on a present interface's path: 0, or the error it fails with.
// `winusb_open`: the WinUSB device already has an open file.
DWORD open_error(const Interface& i, DWORD access, bool winusb_open);
// HidD_GetAttributes / HidD_GetPreparsedData on a file: `i` is the interface
// behind it (nullptr: the handle is no device file); `out`: the caller's
// result pointer. 0 or the error.
DWORD hid_query_error(const Interface* i, const void* out);
// WriteFile of `n` bytes to a device file opened with `access`: 0, or the
// error the write fails with before it reaches the device.
DWORD write_error(const Interface* i, DWORD access, const void* buf, DWORD n);
// WinUsb_Initialize on a file opened with `flags` (CreateFileA's
// dwFlagsAndAttributes): 0, or its error.
DWORD winusb_initialize_error(const Interface* i, DWORD flags, const void* out);
// A WinUSB call through a handle: `known`, WinUSB gave it out and it is not
// freed; `i`, the interface behind it (nullptr: its device file was closed).
DWORD winusb_handle_error(bool known, const Interface* i);
// RegisterDeviceNotificationA's filter: 0, or its error.
DWORD notification_filter_error(HANDLE recipient, const void* filter, DWORD flags);
// RegisterRawInputDevices' arguments: 0, or its error.
DWORD raw_registration_error(const RAWINPUTDEVICE* devices, UINT count, UINT size);

// ------------------------------------------------------------ answers
// HidD_GetAttributes on the interface behind a file (nullptr: no device file).
BOOLEAN get_attributes(const Interface* i, PHIDD_ATTRIBUTES attributes);
// HidD_GetPreparsedData's first half: whether the interface behind a file
// answers it (the last error set when not); then its capabilities.
bool preparsed_ok(const Interface* i, const void* out);
HIDP_CAPS caps_of(const Interface& i);
// WinUsb_GetDescriptor on a present device: its device descriptor (the
// first `i.descriptor_len` bytes of it at most).
BOOL get_descriptor(const Interface& i, uint16_t vid, uint16_t pid, UCHAR type, UCHAR index, PUCHAR buffer,
                    ULONG length, PULONG transferred);
// SetupDiEnumDeviceInterfaces on a set (nullptr: the handle is unknown);
// `iface` finds a member by id (nullptr when it is gone). Fills `data`
// (Reserved: index + 1) or fails.
BOOL enum_interface(const InfoSet* set, const std::function<const Interface*(int id)>& iface,
                    const GUID* guid, DWORD index, PSP_DEVICE_INTERFACE_DATA data);
// SetupDiGetDeviceInterfaceDetailA on a set (nullptr: the handle is
// unknown); `path` gives a member's path by id ("" when it is gone).
BOOL interface_detail(const InfoSet* set, const std::function<std::string(int id)>& path,
                      PSP_DEVICE_INTERFACE_DATA data, PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                      PDWORD required);
// The broadcasts WM_DEVICECHANGE carries.
std::vector<uint8_t> interface_broadcast(const std::string& path, const GUID& guid);
std::vector<uint8_t> handle_broadcast(HDEVNOTIFY id, HANDLE handle);
// RegisterRawInputDevices on a table of registrations (arguments checked).
void register_raw_input(std::vector<RAWINPUTDEVICE>& table, const RAWINPUTDEVICE* devices, UINT count);

// ------------------------------------------------------------ Raw Input
// A WM_INPUT's data as GetRawInputData hands it out.
struct RawMessage {
    std::vector<uint8_t> bytes;  // the whole RAWINPUT
    UINT reported_size = 0;      // what the size query answers
    bool fail_size_query = false;
    bool fail_read = false;
    UINT copied_size = 0;  // bytes the read claims to have copied (0: as many as it copied)
};
// The RAWINPUT of one input report of `device`.
RawMessage raw_input_message(HANDLE device, WPARAM code, const uint8_t* report, size_t len);
// GetRawInputData on a message (nullptr: the handle is unknown).
UINT raw_input_data(const RawMessage* m, UINT command, LPVOID data, UINT* size, UINT header_size);

// A Raw Input device as GetRawInputDeviceInfoA describes it.
struct RawDevice {
    DWORD type = RIM_TYPEHID;
    uint16_t vid = 0, pid = 0, version = 0, usage_page = 0, usage = 0;
    bool fail_info = false;
    int iface = -1;  // -1: not bound to an interface
};
RawDevice raw_device_of(const Interface& i);
// The interface leaves the system: no longer present, its Raw Input device
// gone. False when it had already left.
template <typename RawDevices>
bool leave(Interface& i, RawDevices& raw_devices)
{
    if (!i.present)
        return false;
    i.present = false;
    if (i.raw_device)
        raw_devices.erase(i.raw_device);
    return true;
}
// GetRawInputDeviceInfoA on a device (nullptr: the handle is unknown).
UINT raw_device_info(const RawDevice* d, UINT command, LPVOID data, UINT* size);

// ------------------------------------------------------------ overlapped operations
// An operation the bus ends writes its Win32 result in the OVERLAPPED:
// Internal the error (0: done), InternalHigh the bytes moved.
const ULONG_PTR kPending = 0x103;
void mark_pending(OVERLAPPED* ov);
void mark_done(OVERLAPPED* ov, DWORD error, DWORD moved);
// GetOverlappedResult on an operation of the bus: with `wait`, waits for
// its event while it is pending.
BOOL overlapped_result(OVERLAPPED* ov, LPDWORD transferred, BOOL wait);

// ------------------------------------------------------------ consistency
// Stops the program with `what` when `ok` is false: the bus's tables
// contradict each other.
void require(bool ok, const char* what);

}  // namespace simbus
