// The keyboard on the bus, written once for both simulated worlds: the
// keyboard model plugged in with its callbacks (its interfaces as it
// enumerates and leaves, its input reports, the records of what it was
// asked and made), and control transfers through WinUSB to its boot
// loader. Each world gives its clock, timers, trace and tables through a
// BusHost and keeps only what is its own.
#pragma once

#include "bus/device_rules.h"

#include "models/device_config.h"
#include "models/keyboard_model.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace simbus {

// One field of a trace record: a number, a text, false or null.
struct Field {
    enum class Type { Number, Text, False, Null };
    std::string key;
    Type type = Type::Null;
    long long number = 0;
    std::string text;
};
Field number_field(const char* key, long long n);
Field text_field(const char* key, std::string text);
// A record's fields, in the order they are written.
using Fields = std::vector<Field>;

// A keyboard on the bus: its model and the interfaces of its current
// enumeration.
struct Keyboard {
    int number = 1;  // 1: the keyboard, 2: the second one (its records say "kb": 2)
    sim::KeyboardConfig config;
    std::unique_ptr<models::KeyboardModel> model;
    std::vector<int> ifaces;  // of the current enumeration
    bool quiet = false;       // the attach at set-up is the initial state, not an event
    int reports_taken = 0;    // output reports its command collection took
    // After taking hang_after_reports reports its firmware hangs: later
    // writes to the command collection stay pending until they are
    // cancelled or the keyboard leaves.
    bool hung() const { return config.hang_after_reports >= 0 && reports_taken >= config.hang_after_reports; }
};

// An interface the keyboard brings as it enumerates: a DFU interface
// carries the package's first (1) or second (2) vendor/product pair.
struct Arrival {
    Interface iface;
    std::string instance;
    int dfu_identity = 0;
};

// A window's registration for the notifications of a device handle.
struct HandleRegistration {
    HDEVNOTIFY id = nullptr;
    HWND hwnd = nullptr;
    HANDLE handle = nullptr;
    int iface = 0;  // the interface the handle is open on
};

// What the shared code needs of a world. Called with the bus's lock held,
// except where said.
struct BusHost {
    virtual ~BusHost() = default;
    // Whether the world gives the keyboard its clock (now_ms): the model
    // then checks the timing of the tool's status polls.
    virtual bool has_clock() const = 0;
    virtual uint64_t now_ms() = 0;
    // Runs `fn` on the bus `ms` milliseconds from now.
    virtual void after(uint32_t ms, std::function<void()> fn) = 0;
    // Whether records of `what` are wanted ("kb_in", "kb_out",
    // "dfu_status", "dfu_block" may be left out).
    virtual bool wanted(const char* what) = 0;
    virtual void trace(const char* ev, const Fields& fields) = 0;
    // A broken protocol rule, counted for the tests.
    virtual void count_violation() = 0;
    // The interface by id (nullptr: none).
    virtual const Interface* find_interface(int id) = 0;
    // A keyboard's interface arrives (announced unless the keyboard is
    // quiet); returns its id.
    virtual int add_interface(const Keyboard& k, const Arrival& a) = 0;
    // A keyboard's interfaces leave.
    virtual void remove_interfaces(const Keyboard& k, const std::vector<int>& ids) = 0;
    // An input report of the event collection `events` reaches the windows
    // registered for it.
    virtual void deliver_input(const Interface& events, const uint8_t* report, size_t len) = 0;
    // Holds the caller of a device call for `ms` while the bus goes on.
    virtual void hold_caller(uint32_t ms) = 0;
    // A control transfer to an interface that is not a keyboard's: sets
    // the last error and fails unless the world answers it.
    virtual BOOL control_elsewhere(const Interface& i, const WINUSB_SETUP_PACKET& setup, PUCHAR buffer,
                                   ULONG length, PULONG transferred);

    // Runs `fn` with the bus's lock held (the safe removal runs without it).
    virtual void locked(const std::function<void()>& fn) = 0;
    // The keyboard by number (nullptr: none).
    virtual Keyboard* keyboard(int number) = 0;
    // The windows' registrations on device handles, in the order they were made.
    virtual std::vector<HandleRegistration> handle_registrations() = 0;
    // Whether a handle to any of the interfaces `ids` is open.
    virtual bool device_open(const std::vector<int>& ids) = 0;
    // WM_DEVICECHANGE `event` with `payload` to the registration's window.
    // With `on_reply` it is sent without the bus's lock and `on_reply` gets
    // the answer; without, it is sent later unless the registration has been
    // dropped meanwhile.
    virtual void send_device_change(const HandleRegistration& r, WPARAM event, std::vector<uint8_t> payload,
                                    std::function<void(LRESULT)> on_reply) = 0;

    // The system's power and session requests (system_requests.h).
    // The tool's top-level windows, which the system's messages reach.
    virtual std::vector<HWND> top_level_windows() = 0;
    // The system sends `msg` to the window, without the bus's lock;
    // `on_reply` (if any) gets the answer. A window that does not answer
    // in time agrees.
    virtual void send_message(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp,
                              std::function<void(LRESULT)> on_reply) = 0;
    // Whether the system is suspended (with the bus's lock held).
    virtual bool& suspended() = 0;
    // Whether a live thread keeps the system awake (with the bus's lock held).
    virtual bool kept_awake() = 0;
    // The text the window gives for refusing to let the session end.
    virtual std::string block_reason(HWND hwnd) = 0;
    // The session has ended: the system ends the process.
    virtual void end_process() = 0;
};

// A record about a keyboard: the second one's carry "kb": 2.
void trace_kb(BusHost& host, const Keyboard& k, const char* ev, Fields fields);

// The `kb_out` record of an output report the device took (`k`: the
// keyboard that took it, or nullptr), when such records are wanted.
void trace_output_report(BusHost& host, const Keyboard* k, const uint8_t* report, size_t len);

// A keyboard as its configuration says, not yet plugged in, its model
// timed by `timing`.
std::unique_ptr<Keyboard> make_keyboard(BusHost& host, int number, const sim::KeyboardConfig& config,
                                        const sim::PackageFacts& package,
                                        const models::KeyboardTiming& timing = models::KeyboardTiming());
// From now on the first keyboard's model is made by `factory` (a replay of
// a recording) instead of the keyboard model; nullptr: the model again.
using ModelFactory = std::function<std::unique_ptr<models::KeyboardModel>(
    const models::KeyboardSettings& settings, models::KeyboardHost host)>;
void set_model_factory(ModelFactory factory);

// Plugs the keyboard in at set-up when its configuration says it is
// attached: its enumeration is the initial state, not announced.
void plug_at_setup(Keyboard& k);

// WinUsb_ControlTransfer to the interface `i` (of keyboard `k`, or of none):
// the keyboard's model answers as its boot loader, or as its normal
// firmware's run-time DFU interface.
BOOL control_transfer(BusHost& host, const Interface& i, Keyboard* k, const WINUSB_SETUP_PACKET& setup,
                      PUCHAR buffer, ULONG length, PULONG transferred);

// The user asks to remove the keyboard safely. Without the bus's lock.
// Every handle registration on its interfaces is asked; when all have
// answered, the removal goes on unless one denied it, another program that
// holds the keyboard vetoes (`vetoed`) or a handle to it is still open: the
// registrations then get removal pending and the keyboard leaves, else
// query failed and it stays.
void query_remove(BusHost& host, bool vetoed);

}  // namespace simbus
