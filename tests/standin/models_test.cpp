// The simulated keyboard and its DFU boot loader on their own, driven
// through their small host interface with a manual clock.
#include "models/bootloader_model.h"
#include "models/ground_truth.h"
#include "models/keyboard_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

using namespace models;

namespace {

struct Bench {
    uint64_t now = 0;
    uint64_t seq = 0;
    std::map<std::pair<uint64_t, uint64_t>, std::function<void()>> queue;
    std::vector<std::pair<uint64_t, std::vector<uint8_t>>> inputs;
    std::vector<std::string> bus;  // "normal", "bootloader", "gone"
    std::vector<std::string> requests;
    uint32_t package_nxp = 0x0353, package_bt = 0xA23F, package_sum = 0;

    // The settings with the package values of the bench.
    KeyboardSettings with_package(KeyboardSettings s) const
    {
        s.package_nxp = package_nxp;
        s.package_bt = package_bt;
        s.package_bt_sum = package_sum;
        return s;
    }

    KeyboardHost host()
    {
        KeyboardHost h;
        h.after = [this](uint32_t ms, std::function<void()> fn) { queue[{now + ms, seq++}] = std::move(fn); };
        h.send_input = [this](const uint8_t* r, size_t n) {
            inputs.push_back({now, std::vector<uint8_t>(r, r + n)});
        };
        h.connect = [this](UsbMode m) { bus.push_back(m == UsbMode::Normal ? "normal" : "bootloader"); };
        h.disconnect = [this] { bus.push_back("gone"); };
        h.dfu_request = [this](const char* name, uint16_t v, uint16_t len, bool ok) {
            requests.push_back(std::string(name) + " " + std::to_string(v) + " " + std::to_string(len) +
                               (ok ? "" : " failed"));
        };
        return h;
    }
    void run_until(uint64_t t)
    {
        while (!queue.empty() && queue.begin()->first.first <= t) {
            auto it = queue.begin();
            now = it->first.first;
            auto fn = std::move(it->second);
            queue.erase(it);
            fn();
        }
        now = t;
    }
};

std::vector<uint8_t> out(std::initializer_list<uint8_t> head)
{
    std::vector<uint8_t> r(57, 0);
    size_t i = 0;
    for (uint8_t b : head)
        r[i++] = b;
    return r;
}

struct Dfu {
    BootloaderModel& m;
    bool req(uint8_t type, uint8_t req, uint16_t value, std::vector<uint8_t>* data = nullptr,
             uint16_t length = 0)
    {
        uint32_t moved = 0;
        ControlSetup s{type, req, value, 0, data ? (uint16_t)data->size() : length};
        return m.control(s, data ? data->data() : nullptr, &moved);
    }
    bool dnload(uint16_t block, size_t n)
    {
        std::vector<uint8_t> d(n, 0x5A);
        return req(0x21, 1, block, n ? &d : nullptr);
    }
    std::vector<uint8_t> status()
    {
        std::vector<uint8_t> d(6, 0xEE);
        EXPECT_TRUE(req(0xA1, 3, 0, &d));
        return d;
    }
};

// A keyboard that starts in its boot loader, never busy, manifesting at once.
KeyboardSettings quick_boot_loader(KeyboardSettings s)
{
    s.starts_in_bootloader = true;
    s.bootloader.busy_polls = 0;
    s.bootloader.manifest_polls = 0;
    return s;
}

// Downloads one 64-byte block of `fill` bytes into a boot loader that is
// never busy and ends the download with the zero-length request, reading the
// status after each. Zeros make an image NXP's rule calls valid (its
// vector-table words sum to 0) that carries no info block; ones do not.
void download_one_block(KeyboardModel& kb, uint8_t fill)
{
    uint32_t moved = 0;
    std::vector<uint8_t> block(64, fill), st(6);
    kb.control(ControlSetup{0x21, 1, 0, 0, 64}, block.data(), &moved);
    kb.control(ControlSetup{0xA1, 3, 0, 0, 6}, st.data(), &moved);
    kb.control(ControlSetup{0x21, 1, 1, 0, 0}, nullptr, &moved);
    kb.control(ControlSetup{0xA1, 3, 0, 0, 6}, st.data(), &moved);
}

}  // namespace

namespace {

enum Req { DETACH, DNLOAD, DNLOAD0, UPLOAD, GETSTATUS, CLRSTATUS, GETSTATE, ABORT };
const char* const kReqNames[] = {"DETACH",    "DNLOAD",    "DNLOAD(0)", "UPLOAD",
                                 "GETSTATUS", "CLRSTATUS", "GETSTATE",  "ABORT"};

// A boot loader on a manual clock, brought into `state` the way a host
// would bring it there.
struct StateBench {
    uint64_t now = 0;
    std::vector<std::pair<uint64_t, std::function<void()>>> timers;
    std::vector<std::string> violations;
    BootloaderModel m;

    static BootloaderSettings settings(uint8_t state)
    {
        BootloaderSettings s;
        s.busy_polls = 1;
        s.manifest_polls = 1;
        s.stall_early_status = true;  // dfuDNBUSY and dfuMANIFEST take nothing before their time
        s.manifestation_tolerant = state == DFU_MANIFEST_SYNC || state == DFU_MANIFEST;
        return s;
    }
    explicit StateBench(uint8_t state)
        : m(settings(state),
            BootloaderEvents{nullptr, nullptr,
                             [this](const char* rule, const std::string&) { violations.push_back(rule); },
                             [this] { return now; },
                             [this](uint32_t ms, std::function<void()> fn) {
                                 timers.push_back({now + ms, fn});
                             },
                             nullptr})
    {
        if (state <= DFU_APP_DETACH)
            m.enter_runtime();
        if (state == DFU_APP_DETACH)
            send(DETACH);
        if (state >= DFU_DNLOAD_SYNC && state <= DFU_MANIFEST_WAIT_RESET)
            send(DNLOAD);
        if (state >= DFU_DNBUSY && state <= DFU_MANIFEST_WAIT_RESET)
            send(GETSTATUS);
        if (state >= DFU_DNLOAD_IDLE && state <= DFU_MANIFEST_WAIT_RESET) {
            wait(5);
            send(GETSTATUS);
        }
        if (state >= DFU_MANIFEST_SYNC && state <= DFU_MANIFEST_WAIT_RESET)
            send(DNLOAD0, 1);
        if (state >= DFU_MANIFEST && state <= DFU_MANIFEST_WAIT_RESET)
            send(GETSTATUS);
        if (state == DFU_MANIFEST_WAIT_RESET)
            wait(5);
        if (state == DFU_ERROR)
            send(DNLOAD0, 0);
        violations.clear();
    }
    void wait(uint64_t ms)
    {
        now += ms;
        for (auto& t : timers)
            if (t.second && t.first <= now) {
                auto fn = std::move(t.second);
                t.second = nullptr;
                fn();
            }
    }
    bool send(Req r, uint16_t block = 0)
    {
        static const uint8_t code[] = {0, 1, 1, 2, 3, 4, 5, 6};
        bool in = r == UPLOAD || r == GETSTATUS || r == GETSTATE;
        uint16_t length = r == DNLOAD ? 64 : r == GETSTATUS ? 6 : r == GETSTATE ? 1 : r == UPLOAD ? 64 : 0;
        uint16_t value = r == DETACH                     ? 1000
                         : (r == DNLOAD || r == DNLOAD0) ? (uint16_t)(m.blocks_received())
                                                         : 0;
        (void)block;
        std::vector<uint8_t> data(length, 0);
        uint32_t moved = 0;
        return m.control(ControlSetup{(uint8_t)(in ? 0xA1 : 0x21), code[r], value, 0, length},
                         length ? data.data() : nullptr, &moved);
    }
};

struct Row {
    uint8_t state;
    Req req;
    bool ok;
    uint8_t next;
};

}  // namespace

// USB DFU 1.1, appendix A: what each state does with each request. A
// request a state does not list stalls; in DFU mode the device then enters
// dfuERROR with errSTALLEDPKT, in run-time mode and while waiting for its
// reset it stays where it is. (dfuUPLOAD-IDLE is not reached: the boot
// loader has no read-back, so an upload ends at once.)
TEST(BootloaderModel, EveryStateTakesWhatDfu11AllowsAndStallsOnTheRest)
{
    const uint8_t AI = DFU_APP_IDLE, AD = DFU_APP_DETACH, I = DFU_IDLE, S = DFU_DNLOAD_SYNC, B = DFU_DNBUSY,
                  DI = DFU_DNLOAD_IDLE, MS = DFU_MANIFEST_SYNC, M = DFU_MANIFEST, W = DFU_MANIFEST_WAIT_RESET,
                  E = DFU_ERROR;
    const Row rows[] = {
        {AI, DETACH, true, AD},    {AI, DNLOAD, false, AI},    {AI, DNLOAD0, false, AI},
        {AI, UPLOAD, false, AI},   {AI, GETSTATUS, true, AI},  {AI, CLRSTATUS, false, AI},
        {AI, GETSTATE, true, AI},  {AI, ABORT, false, AI},     {AD, DETACH, false, AD},
        {AD, DNLOAD, false, AD},   {AD, DNLOAD0, false, AD},   {AD, UPLOAD, false, AD},
        {AD, GETSTATUS, true, AD}, {AD, CLRSTATUS, false, AD}, {AD, GETSTATE, true, AD},
        {AD, ABORT, false, AD},    {I, DETACH, false, E},      {I, DNLOAD, true, S},
        {I, DNLOAD0, false, E},    {I, UPLOAD, false, E},      {I, GETSTATUS, true, I},
        {I, CLRSTATUS, false, E},  {I, GETSTATE, true, I},     {I, ABORT, true, I},
        {S, DETACH, false, E},     {S, DNLOAD, false, E},      {S, DNLOAD0, false, E},
        {S, UPLOAD, false, E},     {S, GETSTATUS, true, B},    {S, CLRSTATUS, false, E},
        {S, GETSTATE, true, S},    {S, ABORT, false, E},       {B, DETACH, false, E},
        {B, DNLOAD, false, E},     {B, DNLOAD0, false, E},     {B, UPLOAD, false, E},
        {B, GETSTATUS, false, E},  {B, CLRSTATUS, false, E},   {B, GETSTATE, false, E},
        {B, ABORT, false, E},      {DI, DETACH, false, E},     {DI, DNLOAD, true, S},
        {DI, DNLOAD0, true, MS},   {DI, UPLOAD, false, E},     {DI, GETSTATUS, true, DI},
        {DI, CLRSTATUS, false, E}, {DI, GETSTATE, true, DI},   {DI, ABORT, true, I},
        {MS, DETACH, false, E},    {MS, DNLOAD, false, E},     {MS, DNLOAD0, false, E},
        {MS, UPLOAD, false, E},    {MS, GETSTATUS, true, M},   {MS, CLRSTATUS, false, E},
        {MS, GETSTATE, true, MS},  {MS, ABORT, false, E},      {M, DETACH, false, E},
        {M, DNLOAD, false, E},     {M, DNLOAD0, false, E},     {M, UPLOAD, false, E},
        {M, GETSTATUS, false, E},  {M, CLRSTATUS, false, E},   {M, GETSTATE, false, E},
        {M, ABORT, false, E},      {W, DETACH, false, W},      {W, DNLOAD, false, W},
        {W, DNLOAD0, false, W},    {W, UPLOAD, false, W},      {W, GETSTATUS, false, W},
        {W, CLRSTATUS, false, W},  {W, GETSTATE, false, W},    {W, ABORT, false, W},
        {E, DETACH, false, E},     {E, DNLOAD, false, E},      {E, DNLOAD0, false, E},
        {E, UPLOAD, false, E},     {E, GETSTATUS, true, E},    {E, CLRSTATUS, true, I},
        {E, GETSTATE, true, E},    {E, ABORT, false, E},
    };
    for (const Row& row : rows) {
        StateBench b(row.state);
        std::string what = std::string(BootloaderModel::state_name(row.state)) + " " + kReqNames[row.req];
        ASSERT_EQ(b.m.state(), row.state) << what;
        EXPECT_EQ(b.send(row.req), row.ok) << what;
        EXPECT_EQ(BootloaderModel::state_name(b.m.state()),
                  std::string(BootloaderModel::state_name(row.next)))
            << what;
        // Every refusal is the host's fault and is recorded as such.
        EXPECT_EQ(b.violations.empty(), row.ok) << what;
        if (!row.ok && row.next == DFU_ERROR && row.state != DFU_ERROR) {
            EXPECT_EQ(b.m.status(), DFU_STATUS_ERR_STALLEDPKT) << what;
        }
    }
}

TEST(BootloaderModel, BlockGapsRepeatsAndWritesBeyondFlashEndInDfuError)
{
    struct Case {
        const char* what;
        std::vector<uint16_t> blocks;
        uint8_t status;
    };
    for (const Case& c :
         {Case{"in sequence", {0, 1, 2}, DFU_STATUS_OK}, Case{"gap", {0, 2}, DFU_STATUS_ERR_UNKNOWN},
          Case{"repeat", {0, 1, 1}, DFU_STATUS_ERR_UNKNOWN}, Case{"not from 0", {1}, DFU_STATUS_ERR_UNKNOWN},
          Case{"beyond flash", {0, 1, 2, 3, 4}, DFU_STATUS_ERR_ADDRESS}}) {
        BootloaderSettings s;
        s.busy_polls = 0;
        s.flash_size = 256;
        std::vector<std::string> rules;
        BootloaderModel m(
            s, BootloaderEvents{nullptr, nullptr,
                                [&](const char* rule, const std::string&) { rules.push_back(rule); }, nullptr,
                                nullptr, nullptr});
        Dfu d{m};
        std::vector<uint8_t> st;
        for (uint16_t blk : c.blocks) {
            EXPECT_TRUE(d.dnload(blk, 64)) << c.what;
            st = d.status();
        }
        EXPECT_EQ(st[0], c.status) << c.what;
        EXPECT_EQ(st[4], c.status == DFU_STATUS_OK ? DFU_DNLOAD_IDLE : DFU_ERROR) << c.what;
        EXPECT_EQ(rules.size(), c.status == DFU_STATUS_OK ? 0u : 1u) << c.what;
    }
}

TEST(BootloaderModel, FailingTransfersChangeNothingAndAreReported)
{
    BootloaderSettings s;
    s.fail_transfers = true;
    std::vector<std::string> seen;
    BootloaderModel m(s, BootloaderEvents{[&](const char* n, uint16_t v, uint16_t l, bool ok) {
                                              seen.push_back(std::string(n) + " " + std::to_string(v) + " " +
                                                             std::to_string(l) + (ok ? "" : " failed"));
                                          },
                                          nullptr, nullptr, nullptr, nullptr, nullptr});
    Dfu d{m};
    EXPECT_FALSE(d.dnload(7, 64));
    std::vector<uint8_t> st(6);
    EXPECT_FALSE(d.req(0xA1, 3, 0, &st));
    EXPECT_EQ(m.state(), DFU_IDLE);
    EXPECT_EQ(m.blocks_received(), 0);
    EXPECT_EQ(seen, (std::vector<std::string>{"DNLOAD 7 64 failed", "GETSTATUS 0 6 failed"}));
}

TEST(KeyboardModel, AnswersVersionFinishAndChecksumAfterSmallDelays)
{
    Bench b;
    KeyboardSettings s;
    s.bt = 0xA23F;
    s.sonix = 0x21;
    KeyboardModel kb(b.with_package(s), b.host());
    kb.plug(true);
    EXPECT_EQ(b.bus, (std::vector<std::string>{"normal"}));
    kb.output_report(out({6, 7, 0xFF, 0xFF, 0xFF, 0xFF}).data(), 57);
    kb.output_report(out({6, 11, 0}).data(), 57);
    b.run_until(100);
    ASSERT_EQ(b.inputs.size(), 2u);
    EXPECT_EQ(b.inputs[0].first, 4u);
    EXPECT_EQ(b.inputs[0].second, (std::vector<uint8_t>{5, 7, 0xA2, 0x3F, 1, 1, 0x21, 0, 0}));
    EXPECT_EQ(b.inputs[1].second, (std::vector<uint8_t>{5, 11, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(kb.reports_received(), 2);

    // The receiver sums what it really received within the range asked for.
    uint8_t image[64];
    for (int i = 0; i < 64; ++i)
        image[i] = (uint8_t)(i + 1);
    std::vector<uint8_t> r = out({6, 1, 0xFF, 0xFF, 0xAA, 0xA2});
    kb.output_report(r.data(), 57);
    for (int blk = 0; blk < 2; ++blk) {
        r = out({6, 1, 0x03, (uint8_t)(blk * 32)});
        memcpy(r.data() + 4, image + blk * 32, 32);
        kb.output_report(r.data(), 57);
    }
    r = out({6, 1, 0x04, 0x00});  // outside the range
    memset(r.data() + 4, 0xFF, 32);
    kb.output_report(r.data(), 57);
    kb.output_report(out({6, 5, 0x03, 0x00, 0x03, 0x3F}).data(), 57);
    b.run_until(200);
    ASSERT_EQ(b.inputs.size(), 3u);
    EXPECT_EQ(b.inputs[2].first, 130u);
    EXPECT_EQ(b.inputs[2].second, (std::vector<uint8_t>{5, 5, 0, 0, 0x08, 0x20, 0, 0, 0}));  // 1+..+64
}

TEST(KeyboardModel, ConfiguredAnswersReadyWrongNoneAndNoAck)
{
    for (auto answer : {ChecksumAnswer::Wrong, ChecksumAnswer::None}) {
        Bench b;
        KeyboardSettings s;
        s.bt_ready = false;
        s.checksum = answer;
        s.finish_ack = false;
        KeyboardModel kb(b.with_package(s), b.host());
        kb.plug(true);
        kb.output_report(out({6, 7, 0xFF, 0xFF, 0xFF, 0xFF}).data(), 57);
        kb.output_report(out({6, 11, 0}).data(), 57);
        kb.output_report(out({6, 1, 0xFF, 0xFF, 0xAA, 0xA2}).data(), 57);
        kb.output_report(out({6, 5, 0x03, 0x00, 0x03, 0x1F}).data(), 57);
        b.run_until(1000);
        ASSERT_EQ(b.inputs.size(), answer == ChecksumAnswer::None ? 1u : 2u);
        EXPECT_EQ(b.inputs[0].second[4], 0);
        EXPECT_EQ(b.inputs[0].second[5], 0);
        if (answer == ChecksumAnswer::Wrong) {
            // Nothing was received, so the true sum is 0; the answer differs.
            EXPECT_EQ(b.inputs[1].second[1], 5);
            EXPECT_NE(std::vector<uint8_t>(b.inputs[1].second.begin() + 2, b.inputs[1].second.begin() + 6),
                      (std::vector<uint8_t>{0, 0, 0, 0}));
        }
    }
}

TEST(KeyboardModel, UpdateCycleThroughTheBootLoaderAndBack)
{
    Bench b;
    b.package_sum = 32 * 5;  // what the tool expects for one block of fives
    KeyboardSettings s;
    s.nxp = 0x0352;
    s.bt = 0xA200;  // family A2, as the start report's
    s.bootloader.busy_polls = 0;
    s.bootloader.manifest_polls = 0;
    KeyboardModel kb(b.with_package(s), b.host());
    kb.plug(true);
    EXPECT_EQ(kb.nxp_version(), 0x0352);

    std::vector<uint8_t> r = out({6, 1, 0xFF, 0xFF, 0xAA, 0xA2});
    kb.output_report(r.data(), 57);
    r = out({6, 1, 0x03, 0x00});
    memset(r.data() + 4, 5, 32);
    kb.output_report(r.data(), 57);
    kb.output_report(out({6, 5, 0x03, 0x00, 0x03, 0x1F}).data(), 57);
    b.run_until(100);
    EXPECT_TRUE(kb.bt_confirmed());

    kb.output_report(out({6, 8, 0xAA, 0x55}).data(), 57);
    b.run_until(2000);
    EXPECT_EQ(b.bus, (std::vector<std::string>{"normal", "gone", "bootloader"}));
    EXPECT_EQ(kb.mode(), UsbMode::Bootloader);

    uint32_t moved = 0;
    std::vector<uint8_t> block(64, 1), st(6);
    EXPECT_TRUE(kb.control(ControlSetup{0x21, 1, 0, 0, 64}, block.data(), &moved));
    EXPECT_TRUE(kb.control(ControlSetup{0xA1, 3, 0, 0, 6}, st.data(), &moved));
    EXPECT_TRUE(kb.control(ControlSetup{0x21, 1, 1, 0, 0}, nullptr, &moved));
    EXPECT_TRUE(kb.control(ControlSetup{0xA1, 3, 0, 0, 6}, st.data(), &moved));
    EXPECT_EQ(st[4], DFU_MANIFEST);
    b.run_until(5000);
    // Its vector table fails NXP's validity rule: the boot loader comes back.
    EXPECT_EQ(b.bus, (std::vector<std::string>{"normal", "gone", "bootloader", "gone", "bootloader"}));
    EXPECT_EQ(kb.nxp_version(), 0x0352);
    EXPECT_EQ(kb.dfu_blocks(), 1);
    EXPECT_EQ(b.requests,
              (std::vector<std::string>{"DNLOAD 0 64", "GETSTATUS 0 6", "DNLOAD 1 0", "GETSTATUS 0 6"}));
}

TEST(KeyboardModel, ExplicitAfterVersionsUnconfirmedImageAndNoReturn)
{
    {
        Bench b;
        KeyboardSettings s;
        s.bt = 0xA100;
        s.nxp_after = 0x0400;
        KeyboardModel kb(b.with_package(quick_boot_loader(s)), b.host());
        kb.plug(true);
        EXPECT_EQ(kb.mode(), UsbMode::Bootloader);
        download_one_block(kb, 0);
        b.run_until(5000);
        EXPECT_EQ(kb.mode(), UsbMode::Normal);
        EXPECT_EQ(kb.nxp_version(), 0x0400);  // no info block: the version the scenario states
        EXPECT_EQ(kb.bt_version(), 0xA100);   // no confirmed image: unchanged
    }
    {
        // Without a stated version an image without info block leaves the old one.
        Bench b;
        KeyboardSettings s;
        s.nxp = 0x0352;
        KeyboardModel kb(b.with_package(quick_boot_loader(s)), b.host());
        kb.plug(true);
        download_one_block(kb, 0);
        b.run_until(5000);
        EXPECT_EQ(kb.mode(), UsbMode::Normal);
        EXPECT_EQ(kb.nxp_version(), 0x0352);
    }
    {
        // An explicit Bluetooth version after the update holds whether or not
        // an image was confirmed.
        Bench b;
        KeyboardSettings s;
        s.bt = 0xA100;
        s.bt_after = 0xA300;
        KeyboardModel kb(b.with_package(quick_boot_loader(s)), b.host());
        kb.plug(true);
        download_one_block(kb, 0);
        EXPECT_EQ(kb.bt_version(), 0xA100);  // the new version shows after the restart
        b.run_until(5000);
        EXPECT_EQ(kb.mode(), UsbMode::Normal);
        EXPECT_EQ(kb.bt_version(), 0xA300);
    }
    {
        Bench b;
        KeyboardSettings s;
        s.returns = false;
        KeyboardModel kb(b.with_package(quick_boot_loader(s)), b.host());
        kb.plug(true);
        download_one_block(kb, 0);
        b.run_until(60000);
        EXPECT_EQ(b.bus, (std::vector<std::string>{"bootloader", "gone", "bootloader"}));
        // Pulled and plugged again, it still has no firmware that starts.
        kb.unplug();
        kb.plug();
        b.run_until(61000);
        EXPECT_EQ(b.bus,
                  (std::vector<std::string>{"bootloader", "gone", "bootloader", "gone", "bootloader"}));
    }
}

TEST(KeyboardModel, UnpluggingDropsWhatWasPendingAndPluggingEnumeratesLater)
{
    Bench b;
    KeyboardSettings s;
    KeyboardModel kb(b.with_package(s), b.host());
    kb.plug(true);
    kb.output_report(out({6, 7, 0xFF, 0xFF, 0xFF, 0xFF}).data(), 57);
    kb.unplug();
    b.run_until(100);
    EXPECT_TRUE(b.inputs.empty());
    kb.plug();
    b.run_until(499);
    EXPECT_EQ(b.bus, (std::vector<std::string>{"normal", "gone"}));
    b.run_until(600);
    EXPECT_EQ(b.bus, (std::vector<std::string>{"normal", "gone", "normal"}));
    // Reports to a device that is not on the bus go nowhere.
    kb.unplug();
    kb.output_report(out({6, 7, 0xFF, 0xFF, 0xFF, 0xFF}).data(), 57);
    b.run_until(1000);
    EXPECT_TRUE(b.inputs.empty());
    EXPECT_EQ(kb.reports_received(), 1);
}

TEST(GroundTruth, HoldsWhatThePartsStoredAndRunAgainstThePackage)
{
    // A package of one 64-byte USB block of zeros (valid by NXP's rule, no
    // info block) and a Bluetooth image that ends 32 bytes after 0x300:
    // the keyboard is sent 0x300 to 0x33F, the last 32 bytes zeros.
    sim::PackageFacts package;
    package.usb_download.assign(64, 0);
    package.bt_image.assign(0x320, 0);
    std::fill(package.bt_image.begin() + 0x300, package.bt_image.end(), 5);

    Bench b;
    b.package_sum = 32 * 5;
    KeyboardSettings s;
    s.nxp = 0x0352;
    s.bt = 0xA200;
    s.bootloader.busy_polls = 0;
    s.bootloader.manifest_polls = 0;
    KeyboardModel kb(b.with_package(s), b.host());
    kb.plug(true);
    EXPECT_FALSE(sim::read_ground_truth(kb.stored(), package).usb_stored);

    kb.output_report(out({6, 1, 0xFF, 0xFF, 0xAA, 0xA2}).data(), 57);
    std::vector<uint8_t> r = out({6, 1, 0x03, 0x00});
    memset(r.data() + 4, 5, 32);
    kb.output_report(r.data(), 57);
    kb.output_report(out({6, 1, 0x03, 0x20}).data(), 57);
    kb.output_report(out({6, 5, 0x03, 0x00, 0x03, 0x3F}).data(), 57);
    b.run_until(100);
    ASSERT_TRUE(kb.bt_confirmed());
    // Stored, but not run before the firmware starts again.
    sim::GroundTruth stored = sim::read_ground_truth(kb.stored(), package);
    EXPECT_TRUE(stored.bt_stored);
    EXPECT_FALSE(stored.bt_runs || stored.usb_stored || stored.usb_runs);
    kb.output_report(out({6, 8, 0xAA, 0x55}).data(), 57);
    b.run_until(2000);
    download_one_block(kb, 0);
    b.run_until(5000);
    ASSERT_EQ(kb.mode(), UsbMode::Normal);
    sim::GroundTruth runs = sim::read_ground_truth(kb.stored(), package);
    EXPECT_TRUE(runs.usb_stored && runs.usb_runs && runs.bt_stored && runs.bt_runs);

    // Another package: one byte more, one byte other.
    sim::PackageFacts longer = package;
    longer.usb_download.push_back(0);
    longer.bt_image[0x31F] = 6;
    sim::GroundTruth other = sim::read_ground_truth(kb.stored(), longer);
    EXPECT_FALSE(other.usb_stored || other.usb_runs || other.bt_stored || other.bt_runs);
    // The Bluetooth bytes behind the image's end must be zeros.
    sim::PackageFacts shorter = package;
    shorter.bt_image.resize(0x310);
    EXPECT_FALSE(sim::read_ground_truth(kb.stored(), shorter).bt_stored);
}
