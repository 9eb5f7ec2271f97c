// The Bluetooth image transfer on the worker thread against the simulated
// keyboard, and the guard that keeps its writes off a handle being closed.
#include "kb_world.h"

using namespace kbtest;

namespace {

sim::KeyboardConfig keyboard(const char* checksum = "correct")
{
    sim::KeyboardConfig k;
    k.checksum = checksum;
    return k;
}

bool g_done = false;
std::string g_log_before;  // the log view's text when the transfer started

// Opens the keyboard as the probe does, then runs the transfer on a worker
// thread in ST_BT_TRANSFER while this (UI) thread serves messages.
// `each_message` runs after every message the UI thread served.
void run_transfer(const std::function<void(const MSG&)>& each_message = nullptr)
{
    kb_probe();
    CHECK(g_keyboard.load() != nullptr);
    pump_for(20);  // the probe's version answer
    trace().clear();
    g_log_before = log_text();
    g_update_state = ST_BT_TRANSFER;
    g_done = false;
    HANDLE t = CreateThread(
        nullptr, 0,
        [](LPVOID) -> DWORD {
            kb_send_bt_image();
            g_done = true;
            return 0;
        },
        nullptr, 0, nullptr);
    CHECK(t != nullptr);
    if (!each_message) {
        pump_until([] { return g_done; });
    } else {
        MSG msg;
        while (!g_done && serve_next_message(&msg))
            each_message(msg);
    }
    CHECK(g_done);
}

uint64_t time_of_log(const std::string& text)
{
    for (const json& r : trace().events("log"))
        if (r["text"] == text)
            return r["t"].get<uint64_t>();
    CHECK(!"log text not found");
    return 0;
}

std::vector<int> progress_positions()
{
    return trace().values<int>("progress", "pos");
}

}  // namespace

TEST(World, FullImageIsSentInThousandBlocksAndConfirmed)
{
    static sim::KeyboardConfig k = keyboard();
    in_world(&k, [] {
        create_main_window();
        CHECK_EQ(g_bt_image_len, 32768);
        // An earlier transfer spent its budget; a new transfer starts afresh.
        g_kb_write_failures = KB_WRITE_FAILURE_LIMIT;
        run_transfer();
        const std::string& before = g_log_before;
        std::vector<std::string> out = kb_out_hex();
        CHECK_EQ(out.size(), 1002);
        CHECK_STR(out[0], report_hex({6, 1, 0xFF, 0xFF, 0xAA, 0xA2}));
        for (int i = 0; i < 1000; ++i) {
            uint32_t a = 0x0300 + 32 * i;
            uint8_t r[KB_OUT_REPORT_SIZE] = {6, 1, (uint8_t)(a >> 8), (uint8_t)a};
            memcpy(r + 4, g_bt_image + a, 32);
            CHECK_STR(out[1 + i], hex_of(r, sizeof(r)));
        }
        CHECK_STR(out[1001], report_hex({6, 5, 0x03, 0x00, 0x7F, 0xFF}));
        std::vector<int> p = progress_positions();
        CHECK_EQ(p.size(), 1000);
        CHECK_EQ(p.front(), 1);
        CHECK_EQ(p.back(), 49);
        for (size_t i = 1; i < p.size(); ++i)
            CHECK(p[i] >= p[i - 1]);
        CHECK_STR(log_text(), before + "\r\n" + message(4) + "\r\n" + message(5) + " OK.");
        CHECK_EQ(g_update_state, ST_BT_DONE);
        CHECK_EQ(g_kb_write_failures, 0);
        // The sum came 30 ms after the request: confirmed after the first wait.
        uint64_t verify = trace().events("kb_out").back()["t"].get<uint64_t>();
        CHECK_EQ(time_of_log(" OK.") - verify, 100);
        CHECK_EQ(sim::reports_out(), 1 + 1002);
        CHECK_EQ(sim::stale_handle_writes(), 0);
    });
}

TEST(World, UnconfirmedChecksumEndsWithNgAfterSixSeconds)
{
    for (const char* answer : {"wrong", "none"}) {
        static sim::KeyboardConfig k;
        k = keyboard(answer);
        in_world(&k, [] {
            create_main_window();
            run_transfer();
            const std::string& before = g_log_before;
            CHECK_EQ(kb_out_hex().size(), 1002);
            CHECK_STR(log_text(),
                      before + "\r\n" + message(4) + "\r\n" + message(5) + " NG. " + message(6) + "\r\n");
            CHECK_EQ(g_update_state, ST_IDLE);
            uint64_t verify = trace().events("kb_out").back()["t"].get<uint64_t>();
            CHECK_EQ(time_of_log(" NG. ") - verify, 6000);
        });
    }
}

TEST(World, KeyboardRemovedMidTransferSpendsTheBudgetAndWritesNoMore)
{
    static sim::KeyboardConfig k = keyboard();
    in_world(&k, [] {
        create_main_window();
        static uint64_t removed_at = 0;
        sim::schedule_after(220, [] {
            removed_at = sim::now_ms();
            sim::device_action("detach");
        });
        run_transfer();
        CHECK(removed_at != 0);
        std::vector<json> out = trace().events("kb_out");
        CHECK(out.size() > 50 && out.size() < 500);  // start and some blocks
        for (const json& r : out)
            CHECK(r["t"].get<uint64_t>() <= removed_at);
        // No verify request went out.
        CHECK(out.back()["hex"].get<std::string>().substr(0, 4) == "0601");
        CHECK_EQ(g_kb_write_failures, 15);
        // 15 failed attempts of 1000 ms each, then the remaining blocks at once.
        CHECK_EQ(time_of_log(message(5)) - removed_at, 15000);
        CHECK_EQ(time_of_log(" NG. ") - time_of_log(message(5)), 6000);
        std::vector<int> p = progress_positions();
        CHECK_EQ(p.size(), 1000);
        CHECK_EQ(p.back(), 49);
        CHECK_EQ(g_update_state, ST_IDLE);
        CHECK(g_keyboard.load() == nullptr);
        CHECK_EQ(sim::stale_handle_writes(), 0);
    });
}

TEST(World, SmallImagesSendNoDataBlocks)
{
    static sim::KeyboardConfig k = keyboard();
    k.bt = 0x1234;  // its Bluetooth IC is of the other family, as the package's
    for (uint32_t n : {768u, 64u}) {
        in_world(&k, [n] {
            create_main_window();
            g_bt_image_len = n;
            g_bt_image_sum = 0;         // nothing above 0x0300 to sum
            INI_VER_BT_VALUE = 0x1234;  // another Bluetooth family
            run_transfer();
            std::vector<std::string> out = kb_out_hex();
            CHECK_EQ(out.size(), 2);
            CHECK_STR(out[0], report_hex({6, 1, 0xFF, 0xFF, 0xAA, 0x55}));
            uint16_t last = (uint16_t)(n - 1);
            CHECK_STR(out[1], report_hex({6, 5, 0x03, 0x00, (uint8_t)(last >> 8), (uint8_t)last}));
            CHECK(progress_positions().empty());
            CHECK_EQ(g_update_state, ST_BT_DONE);
        });
    }
}

// The UI thread closes the keyboard, gives its handle value to another
// object and re-opens the keyboard, again and again while the worker sends
// the image; every write is delayed between the read of the handle and its
// use. No write may reach a closed handle or the object that took its value.
TEST(World, CloseDuringTransferNeverHitsAStaleHandle)
{
    static sim::KeyboardConfig k = keyboard();
    in_world(&k, [] {
        create_main_window();
        sim::devices_preempt_writes(true);
        static HANDLE holder = nullptr;
        static int reused = 0, cycles = 0, waited = 0;
        SetTimer(g_main_wnd, 78, 3, nullptr);
        run_transfer([](const MSG& m) {
            if (m.message != WM_TIMER || m.wParam != 78)
                return;
            if (holder) {
                CloseHandle(holder);
                holder = nullptr;
                return;
            }
            HANDLE old = g_keyboard;
            if (!old)
                return;
            uint64_t t0 = sim::now_ms();
            kb_close();
            if (sim::now_ms() > t0)
                ++waited;  // the close came while a write was under way
            // Take handle values until the keyboard's old one is taken.
            std::vector<HANDLE> others;
            for (int i = 0; i < 256 && !holder; ++i) {
                HANDLE e = CreateEventA(nullptr, FALSE, FALSE, nullptr);
                if (e == old)
                    holder = e;
                else
                    others.push_back(e);
            }
            if (holder)
                ++reused;
            kb_probe();
            for (HANDLE e : others)
                CloseHandle(e);
            ++cycles;
        });
        KillTimer(g_main_wnd, 78);
        CHECK(cycles > 100);
        CHECK(reused > 100);
        CHECK(waited > 0);
        CHECK_EQ(sim::stale_handle_writes(), 0);
        CHECK_EQ(g_kb_write_failures, 0);
        std::vector<std::string> out = kb_out_hex();
        CHECK_EQ(out.size(), 1002);
        CHECK_EQ(g_update_state, ST_BT_DONE);
    });
}
