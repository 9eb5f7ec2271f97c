// Timers, device notifications and power broadcasts of the main window.
#include "kb_world.h"

#include <cstddef>

using namespace kbtest;

namespace {

sim::KeyboardConfig keyboard()
{
    sim::KeyboardConfig k;
    return k;
}

// Times of the version queries the keyboard received.
std::vector<uint64_t> version_query_times()
{
    std::vector<uint64_t> t;
    std::string query = report_hex({6, 7, 0xFF, 0xFF, 0xFF, 0xFF});
    for (const json& r : trace().events("kb_out"))
        if (r["hex"] == query)
            t.push_back(r["t"].get<uint64_t>());
    return t;
}

void in_world_context(std::function<void()> fn)
{
    sim::schedule_after(0, std::move(fn));
}

DEV_BROADCAST_HANDLE handle_event(HANDLE h)
{
    DEV_BROADCAST_HANDLE b = {};
    b.dbch_size = sizeof(b);
    b.dbch_devicetype = DBT_DEVTYP_HANDLE;
    b.dbch_handle = h;
    return b;
}

DEV_BROADCAST_DEVICEINTERFACE_A interface_event()
{
    DEV_BROADCAST_DEVICEINTERFACE_A b = {};
    b.dbcc_size = sizeof(b);
    b.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    return b;
}

}  // namespace

TEST(World, ProbeAt250msAndOnce4000msAfterABurstOfArrivals)
{
    static sim::KeyboardConfig k = keyboard();
    tool_in_world(
        with_keyboard(&k), "",
        [] {
            for (uint64_t t : {1000, 1500, 2000})
                sim::schedule_at(t, [] { sim::device_action("hid_arrival"); });
            sim::schedule_at(9000, [] { sim::end_run(0); });
        },
        [] {
            // Each probe sends its query at once; the write takes 1 ms.
            std::vector<uint64_t> t = version_query_times();
            CHECK_EQ(t.size(), 2);
            CHECK_EQ(t[0], 251);
            CHECK_EQ(t[1], 6001);
            CHECK_EQ(trace().events("kb_in").size(), 2);
        });
}

TEST(World, RemovalOfAnotherHandleChangesNothing)
{
    static sim::KeyboardConfig k = keyboard();
    in_world(&k, [] {
        create_main_window();
        kb_probe();
        HANDLE kb = g_keyboard;
        CHECK(kb != nullptr);
        g_update_state = ST_WAIT_DETACH;
        int regs = sim::device_counters().notify_registrations;
        for (WPARAM ev : {DBT_DEVICEREMOVECOMPLETE, DBT_DEVICEREMOVEPENDING}) {
            DEV_BROADCAST_HANDLE other = handle_event((HANDLE)((uintptr_t)kb + 4));
            CHECK_EQ(SendMessageA(g_main_wnd, WM_DEVICECHANGE, ev, (LPARAM)&other), 0);
            CHECK(g_keyboard.load() == kb);
            CHECK_EQ(g_update_state, ST_WAIT_DETACH);
        }
        // Other events and other device types change nothing either.
        DEV_BROADCAST_HANDLE own = handle_event(kb);
        CHECK_EQ(SendMessageA(g_main_wnd, WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVEFAILED, (LPARAM)&own), 0);
        CHECK_EQ(SendMessageA(g_main_wnd, WM_DEVICECHANGE, 0x0007 /* DBT_DEVNODES_CHANGED */, 0), 0);
        DEV_BROADCAST_HDR port = {sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_PORT, 0};
        CHECK_EQ(SendMessageA(g_main_wnd, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, (LPARAM)&port), 0);
        CHECK_EQ(SendMessageA(g_main_wnd, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, (LPARAM)&port), 0);
        CHECK(g_keyboard.load() == kb);
        CHECK_EQ(g_update_state, ST_WAIT_DETACH);

        // The keyboard's own handle: closed, detached, registration dropped later.
        CHECK_EQ(SendMessageA(g_main_wnd, WM_DEVICECHANGE, DBT_DEVICEREMOVEPENDING, (LPARAM)&own), 0);
        CHECK(g_keyboard.load() == nullptr);
        CHECK_EQ(g_update_state, ST_DETACHED);
        CHECK(!button_enabled());
        CHECK_EQ(sim::device_counters().notify_registrations, regs);
        pump_for(10);
        CHECK_EQ(sim::device_counters().notify_registrations, regs - 1);
        CHECK_EQ(sim::device_counters().bad_unregisters, 0);
    });
}

TEST(World, DetachAndReattachThroughTheSystem)
{
    static sim::KeyboardConfig k = keyboard();
    in_world(&k, [] {
        create_main_window();
        kb_probe();
        g_update_state = ST_WAIT_DETACH;
        in_world_context([] { sim::device_action("detach"); });
        pump_until([] { return g_update_state == ST_DETACHED; }, 100);
        CHECK(g_keyboard.load() == nullptr);
        uint64_t t0 = sim::now_ms();
        in_world_context([] { sim::device_action("attach"); });
        pump_until([] { return g_update_state == ST_REATTACHED; }, 10000);
        CHECK_EQ(g_update_state, ST_REATTACHED);
        // Enumeration takes 500 ms, the probe follows 4000 ms after the last arrival.
        CHECK_EQ(sim::now_ms() - t0, 4500);
        CHECK(g_keyboard.load() != nullptr);
        CHECK_EQ(sim::device_counters().bad_unregisters, 0);
        CHECK_EQ(trace().events("device").size(), 2);
    });
}

TEST(World, QueryRemoveIsAnsweredTrueAndCountsAsDetach)
{
    static sim::KeyboardConfig k = keyboard();
    in_world(&k, [] {
        create_main_window();
        kb_probe();
        HANDLE kb = g_keyboard;
        // An interface query: answered TRUE, nothing closed.
        DEV_BROADCAST_DEVICEINTERFACE_A iface = interface_event();
        CHECK_EQ(SendMessageA(g_main_wnd, WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE, (LPARAM)&iface), TRUE);
        CHECK(g_keyboard.load() == kb);
        // A query for any handle notification closes the keyboard.
        g_update_state = ST_WAIT_DETACH;
        DEV_BROADCAST_HANDLE other = handle_event((HANDLE)0x999C);
        CHECK_EQ(SendMessageA(g_main_wnd, WM_DEVICECHANGE, DBT_DEVICEQUERYREMOVE, (LPARAM)&other), TRUE);
        CHECK(g_keyboard.load() == nullptr);
        CHECK_EQ(g_update_state, ST_DETACHED);
    });
    in_world(&k, [] {
        create_main_window();
        kb_probe();
        g_update_state = ST_WAIT_DETACH;
        // The system's query: the tool lets the handle go, so the removal proceeds.
        in_world_context([] { sim::device_action("query_remove"); });
        pump_for(20);
        CHECK(g_keyboard.load() == nullptr);
        CHECK_EQ(g_update_state, ST_DETACHED);
        std::vector<json> dev = trace().events("device");
        CHECK_EQ(dev.size(), 1);
        CHECK_STR(dev[0]["what"].get<std::string>(), "keyboard_removed");
        CHECK_EQ(sim::device_counters().open_device_handles, 0);
        CHECK_EQ(sim::device_counters().bad_unregisters, 0);
    });
}

TEST(World, AVetoedQueryReopensTheKeyboardAndEveryRegistrationIsDroppedAtExit)
{
    static sim::KeyboardConfig k = keyboard();
    in_world(&k, [] {
        create_main_window();
        kb_probe();
        int regs = sim::device_counters().notify_registrations;  // HID and DFU classes, the keyboard
        CHECK_EQ(regs, 3);
        HDEVNOTIFY first = g_keyboard_notify;
        in_world_context([] { sim::device_action("query_remove_vetoed"); });
        pump_for(20);
        // Opened and watched again: the old registration gave way to the new one.
        CHECK(g_keyboard.load() != nullptr);
        CHECK(g_keyboard_notify != nullptr && g_keyboard_notify != first);
        CHECK_EQ(sim::device_counters().notify_registrations, regs);
        CHECK(button_enabled());
        SendMessageA(g_main_wnd, WM_DESTROY, 0, 0);
        CHECK_EQ(sim::device_counters().notify_registrations, 0);
        CHECK_EQ(sim::device_counters().bad_unregisters, 0);
    });
}

TEST(World, SuspendIsDeniedAndASuspendThatHappensCountsAsDetach)
{
    static sim::KeyboardConfig k = keyboard();
    in_world(&k, [] {
        create_main_window();
        kb_probe();
        for (uint8_t st : {ST_IDLE, ST_BT_TRANSFER, ST_WAIT_DETACH}) {
            g_update_state = st;
            CHECK_EQ(SendMessageA(g_main_wnd, WM_POWERBROADCAST, PBT_APMQUERYSUSPEND, 0),
                     BROADCAST_QUERY_DENY);
        }
        // The system asks; the tool denies; nothing more happens.
        in_world_context([] { sim::device_action("suspend"); });
        pump_for(20);
        CHECK(g_keyboard.load() != nullptr);
        CHECK_EQ(g_update_state, ST_WAIT_DETACH);
        // A suspend without asking: the keyboard is closed and counts as detached.
        in_world_context([] { sim::device_action("force_suspend"); });
        pump_for(20);
        CHECK(g_keyboard.load() == nullptr);
        CHECK_EQ(g_update_state, ST_DETACHED);
        // After the resume the keyboard is probed again 4000 ms later.
        uint64_t t0 = sim::now_ms();
        in_world_context([] { sim::device_action("resume"); });
        pump_until([] { return g_update_state == ST_REATTACHED; }, 10000);
        CHECK_EQ(g_update_state, ST_REATTACHED);
        CHECK_EQ(sim::now_ms() - t0, 4000);
        CHECK(g_keyboard.load() != nullptr);
    });
    in_world(&k, [] {
        create_main_window();
        kb_probe();
        // Suspend outside the detach wait: closed, state unchanged.
        g_update_state = ST_WAIT_ACK;
        SendMessageA(g_main_wnd, WM_POWERBROADCAST, PBT_APMSUSPEND, 0);
        CHECK(g_keyboard.load() == nullptr);
        CHECK_EQ(g_update_state, ST_WAIT_ACK);
        SendMessageA(g_main_wnd, WM_POWERBROADCAST, 0x000A /* PBT_APMPOWERSTATUSCHANGE */, 0);
        CHECK(g_keyboard.load() == nullptr);
        CHECK_EQ(g_update_state, ST_WAIT_ACK);
    });
}

TEST(World, ArrivalsAndPowerEventsGetTheirAnswers)
{
    static sim::KeyboardConfig k = keyboard();
    in_world(&k, [] {
        create_main_window();
        kb_probe();
        // An interface arrival is answered TRUE and probes again 4000 ms later.
        DEV_BROADCAST_DEVICEINTERFACE_A iface = interface_event();
        trace().clear();
        uint64_t t0 = sim::now_ms();
        CHECK_EQ(SendMessageA(g_main_wnd, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, (LPARAM)&iface), TRUE);
        pump_for(4100);
        std::vector<uint64_t> q = version_query_times();
        CHECK_EQ(q.size(), 1);
        CHECK_EQ(q[0] - t0, 4001);
        // Every power event but the suspend query gets the default answer, TRUE.
        const WPARAM events[] = {PBT_APMSUSPEND, PBT_APMRESUMESUSPEND, PBT_APMRESUMEAUTOMATIC,
                                 0x000A /* PBT_APMPOWERSTATUSCHANGE */};
        for (WPARAM ev : events)
            CHECK_EQ(SendMessageA(g_main_wnd, WM_POWERBROADCAST, ev, 0), TRUE);
    });
}

TEST(World, OtherTimersDoNothing)
{
    static sim::KeyboardConfig k = keyboard();
    in_world(&k, [] {
        create_main_window();
        CHECK_EQ(SendMessageA(g_main_wnd, WM_TIMER, 4, 0), 0);
        CHECK(g_keyboard.load() == nullptr);
        CHECK_EQ(SendMessageA(g_main_wnd, WM_TIMER, TIMER_PROBE, 0), 0);
        CHECK(g_keyboard.load() != nullptr);
    });
}

TEST(World, SilentRunEndsAfter45SecondsWhateverItIsDoing)
{
    // A boot loader that never finishes manifesting holds the run in the DFU stage.
    static sim::KeyboardConfig k = keyboard();
    k.bootloader_mode = true;
    k.bootloader.manifestation_tolerant = true;  // it answers while it manifests
    k.bootloader.manifest_polls = 1000000;
    World w = with_keyboard(&k);
    w.after = [](Json& out) {
        // The result line carries the result of that moment, which is the exit code.
        CHECK(sim::now_ms() >= 45000 && sim::now_ms() < 45100);
        std::string log = slurp(g_dir + "/" RESULT_LOG_NAME);
        CHECK(log.find(" error=" + std::to_string(g_update_result) + "\r\n") != std::string::npos);
        out["result"] = g_update_result.load();
    };
    WorldRun run = run_tool(w, "-silent");
    EXPECT_EQ(run.code, run.out["result"]);
}

TEST(World, KeyboardAttachedLaterIsFoundByTheProbeAfterItsArrival)
{
    static sim::KeyboardConfig k = keyboard();
    k.attached = false;
    k.identity = 2;
    k.nxp = 0x0123;
    tool_in_world(
        with_keyboard(&k), "",
        [] {
            sim::schedule_at(3000, [] { sim::device_action("attach"); });
            sim::schedule_at(9000, [] { sim::end_run(0); });
        },
        [] {
            std::vector<json> dev = trace().events("device");
            CHECK_EQ(dev.size(), 1);
            CHECK_EQ(dev[0]["t"].get<uint64_t>(), 3500);  // enumeration takes 500 ms
            std::vector<uint64_t> t = version_query_times();
            CHECK_EQ(t.size(), 1);
            CHECK_EQ(t[0], 7501);  // the probe 4000 ms after the arrival
            CHECK_EQ(g_kb_nxp_version, 0x0123);
        });
}
