// Internals of the simulated bus and of the system services through which
// the tool sees its devices (SetupAPI, HID, device files, Raw Input, device
// notifications, power broadcasts, WinUSB), shared by their files. Not for
// product code, the runner or the tests: they use sim_devices.h.
#pragma once

#include "host/sim_core.h"
#include "host/sim_devices.h"
#include "host/sim_internal.h"

#include "models/keyboard_model.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#ifndef ERROR_INVALID_FUNCTION
#define ERROR_INVALID_FUNCTION 1
#endif
#ifndef ERROR_INVALID_DATA
#define ERROR_INVALID_DATA 13
#endif
#ifndef ERROR_INVALID_USER_BUFFER
#define ERROR_INVALID_USER_BUFFER 1784
#endif
#ifndef ERROR_INVALID_FLAGS
#define ERROR_INVALID_FLAGS 1004
#endif
#ifndef RIDEV_REMOVE
#define RIDEV_REMOVE 0x00000001
#endif
#ifndef HIDP_STATUS_INVALID_PREPARSED_DATA
#define HIDP_STATUS_INVALID_PREPARSED_DATA ((NTSTATUS)0xC0110001)
#endif

namespace sim {

inline const GUID kHidGuid = {0x4d1e55b2, 0xf16f, 0x11cf, {0x88, 0xcb, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}};

inline bool same_guid(const GUID& a, const GUID& b)
{
    return memcmp(&a, &b, sizeof(GUID)) == 0;
}

inline std::string guid_text(const GUID& g)
{
    char s[64];
    snprintf(s, sizeof(s), "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", (unsigned)g.Data1, g.Data2,
             g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
             g.Data4[7]);
    return s;
}

inline std::string hex_upper(const uint8_t* p, size_t n)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

inline std::string lower_text(std::string s)
{
    for (char& c : s)
        c = (char)tolower((unsigned char)c);
    return s;
}

// ------------------------------------------------------------ interfaces
enum class Kind { KbdCommands, KbdEvents, KbdStandard, HidOther, Dfu };

struct Iface {
    int id = 0;
    int owner = -1;  // 0: the keyboard, 1: the second keyboard; -1: added by a test or the world
    Kind kind = Kind::HidOther;
    uint16_t vid = 0, pid = 0, version = 0;
    uint16_t usage_page = 0, usage = 0, in_len = 0, out_len = 0;
    int dfu_identity = 0;  // 1, 2: the package's pair (read when needed); 0: vid/pid
    std::string instance;  // path part that tells the interface apart
    bool present = true;
    bool refuse_open = false;
    bool enum_fails = false;
    bool attributes_fail = false;
    int descriptor_len = 18;
    HANDLE raw_device = nullptr;

    bool hid() const { return kind != Kind::Dfu; }
    // A collection the tool may rightly write its command reports to: the
    // keyboard's, or one that a test presents with the same capabilities.
    bool takes_commands() const { return hid() && usage_page == 0xFF01 && usage == 0x01 && out_len == 57; }
    uint16_t usb_vid() const;
    uint16_t usb_pid() const;
    GUID class_guid() const;
    std::string path() const
    {
        char head[96];
        snprintf(head, sizeof(head), "\\\\?\\%s#vid_%04x&pid_%04x", hid() ? "hid" : "usb", usb_vid(),
                 usb_pid());
        return std::string(head) + instance + "#" + guid_text(class_guid());
    }
};

struct RawDevice {
    DWORD type = RIM_TYPEHID;
    uint16_t vid = 0, pid = 0, version = 0, usage_page = 0, usage = 0;
    bool fail_info = false;
    int iface = -1;  // -1: not bound to an interface
};

struct RawMessage {
    std::vector<uint8_t> bytes;
    UINT reported_size = 0;
    bool fail_size_query = false;
    bool fail_read = false;
    UINT copied_size = 0;
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

struct InfoSet {
    GUID guid;
    std::vector<int> ifaces;
};

struct WinUsbIf {
    int iface = -1;
    HANDLE file = nullptr;
};

struct DeviceFile;

struct KeyboardSlot {
    int number = 1;  // 1: the keyboard, 2: the second one (its records say "kb": 2)
    KeyboardConfig config;
    std::unique_ptr<models::KeyboardModel> model;
    std::vector<int> ifaces;  // of the current enumeration
    bool quiet = false;       // the attach at set-up is the initial state, not an event
    int reports_taken = 0;    // output reports delivered to the keyboard
    // Its firmware no longer takes output reports.
    bool hung() const { return config.hang_after_reports >= 0 && reports_taken >= config.hang_after_reports; }
};

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
// A trace record about a keyboard: the second one's carry "kb": 2.
void trace_kb(const KeyboardSlot& k, const char* ev, Json fields);
// Installs the bus's watch on WriteFile the first time the devices are used.
void ensure_init();
// A new interface on the bus; with `announce`, its arrival reaches the
// registered windows a moment later. Returns its id.
int add_iface(Iface i, bool announce);

// ------------------------------------------------------------ device files
struct DeviceFile : HandleObject {
    int iface = -1;
    DWORD access = 0;
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
// The user asks to remove the keyboard safely; with `vetoed`, another
// program that holds it denies the removal.
void query_remove_keyboard(bool vetoed);

// Input reports to the windows registered for them (rawinput.cpp).
void deliver_input(const Iface& i, const uint8_t* report, size_t len);

// Power broadcasts (power.cpp): "suspend", "force_suspend", "resume".
void power_action(const std::string& what);
// "end_session": the user shuts down, restarts or logs off: every top-level
// window is asked (WM_QUERYENDSESSION) and only a FALSE answer keeps the
// session; "force_end_session": a critical end that asks but takes no refusal.
// Without refusal every window gets WM_ENDSESSION(TRUE) and the process then
// ends with the exit code 0x40010004. Traced as `power` `end_session_refused`
// (with the refusing window's block reason text) or `session_ended`.
void session_action(const std::string& what);

}  // namespace sim
