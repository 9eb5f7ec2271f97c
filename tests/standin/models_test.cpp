// The simulated keyboard and its DFU boot loader on their own, driven
// through their small host interface with a manual clock.
#include "models/bootloader_model.h"
#include "models/keyboard_model.h"

#include <gtest/gtest.h>

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

// Downloads one 64-byte block into a boot loader that is never busy and
// ends the download with the zero-length request, reading the status after each.
void download_one_block(KeyboardModel& kb)
{
    uint32_t moved = 0;
    std::vector<uint8_t> block(64, 1), st(6);
    kb.control(ControlSetup{0x21, 1, 0, 0, 64}, block.data(), &moved);
    kb.control(ControlSetup{0xA1, 3, 0, 0, 6}, st.data(), &moved);
    kb.control(ControlSetup{0x21, 1, 1, 0, 0}, nullptr, &moved);
    kb.control(ControlSetup{0xA1, 3, 0, 0, 6}, st.data(), &moved);
}

}  // namespace

TEST(BootloaderModel, BlocksPassThroughBusyToIdleAndManifestation)
{
    BootloaderSettings s;
    s.poll_ms = 0x012345;
    s.busy_polls = 2;
    s.manifest_polls = 3;
    int manifested = 0;
    BootloaderModel m(s, BootloaderEvents{nullptr, [&] { ++manifested; }});
    Dfu d{m};
    EXPECT_TRUE(d.req(0x21, 6, 0));  // ABORT in dfuIDLE
    EXPECT_EQ(d.status(), (std::vector<uint8_t>{0, 0x45, 0x23, 0x01, DFU_IDLE, 0}));
    for (uint16_t block = 0; block < 3; ++block) {
        EXPECT_TRUE(d.dnload(block, 64));
        EXPECT_EQ(d.status()[4], DFU_DNBUSY);
        EXPECT_EQ(d.status()[4], DFU_DNBUSY);
        EXPECT_EQ(d.status()[4], DFU_DNLOAD_IDLE);
    }
    EXPECT_EQ(m.blocks_received(), 3);
    EXPECT_EQ(m.image().size(), 192u);
    EXPECT_TRUE(m.download_pending());
    EXPECT_TRUE(d.dnload(3, 0));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(d.status()[4], DFU_MANIFEST);
    EXPECT_EQ(manifested, 0);
    EXPECT_EQ(d.status()[4], DFU_MANIFEST_WAIT_RESET);
    EXPECT_EQ(manifested, 1);
    EXPECT_FALSE(m.download_pending());
    // Waiting for its reset it answers nothing but its status.
    EXPECT_FALSE(d.dnload(4, 64));
    EXPECT_EQ(d.status()[4], DFU_MANIFEST_WAIT_RESET);
    EXPECT_EQ(manifested, 1);
}

TEST(BootloaderModel, ErrorAtBlockStopsTheDownloadUntilCleared)
{
    BootloaderSettings s;
    s.busy_polls = 0;
    s.error_at_block = 1;
    BootloaderModel m(s, BootloaderEvents{});
    Dfu d{m};
    EXPECT_TRUE(d.dnload(0, 64));
    EXPECT_EQ(d.status()[4], DFU_DNLOAD_IDLE);
    EXPECT_TRUE(d.dnload(1, 64));
    std::vector<uint8_t> st = d.status();
    EXPECT_EQ(st[0], DFU_STATUS_ERR_CHECK_ERASED);
    EXPECT_EQ(st[4], DFU_ERROR);
    EXPECT_FALSE(d.dnload(2, 64));    // nothing goes on in dfuERROR
    EXPECT_FALSE(d.req(0x21, 6, 0));  // ABORT does not clear an error
    EXPECT_TRUE(d.req(0x21, 4, 0));   // CLRSTATUS does
    EXPECT_EQ(d.status(), (std::vector<uint8_t>{0, 5, 0, 0, DFU_IDLE, 0}));
}

TEST(BootloaderModel, RequestsTheStateDoesNotAllowStall)
{
    BootloaderModel m(BootloaderSettings(), BootloaderEvents{});
    Dfu d{m};
    EXPECT_FALSE(d.dnload(0, 0));  // a zero-length download from dfuIDLE
    std::vector<uint8_t> st = d.status();
    EXPECT_EQ(st[0], DFU_STATUS_ERR_STALLEDPKT);
    EXPECT_EQ(st[4], DFU_ERROR);
    EXPECT_TRUE(d.req(0x21, 4, 0));

    uint32_t moved = 0;
    std::vector<uint8_t> data(6);
    ControlSetup other_interface{0xA1, 3, 0, 1, 6};
    EXPECT_FALSE(m.control(other_interface, data.data(), &moved));
    EXPECT_TRUE(d.req(0x21, 4, 0));
    std::vector<uint8_t> big(4096);
    EXPECT_FALSE(d.req(0x21, 1, 0, &big));  // above its transfer size
    EXPECT_TRUE(d.req(0x21, 4, 0));
    std::vector<uint8_t> state(1);
    EXPECT_TRUE(d.req(0xA1, 5, 0, &state));
    EXPECT_EQ(state[0], DFU_IDLE);
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
                                          nullptr});
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
    s.bt = 0xA100;
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
    EXPECT_EQ(st[4], DFU_MANIFEST_WAIT_RESET);
    b.run_until(5000);
    EXPECT_EQ(b.bus, (std::vector<std::string>{"normal", "gone", "bootloader", "gone", "normal"}));
    EXPECT_EQ(kb.nxp_version(), 0x0353);  // the package's version
    EXPECT_EQ(kb.bt_version(), 0xA23F);   // confirmed image: the package's Bluetooth version
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
        s.starts_in_bootloader = true;
        s.bootloader.busy_polls = 0;
        s.bootloader.manifest_polls = 0;
        KeyboardModel kb(b.with_package(s), b.host());
        kb.plug(true);
        EXPECT_EQ(kb.mode(), UsbMode::Bootloader);
        download_one_block(kb);
        b.run_until(5000);
        EXPECT_EQ(kb.mode(), UsbMode::Normal);
        EXPECT_EQ(kb.nxp_version(), 0x0400);
        EXPECT_EQ(kb.bt_version(), 0xA100);  // no confirmed image: unchanged
    }
    {
        // An explicit Bluetooth version after the update holds whether or not
        // an image was confirmed.
        Bench b;
        KeyboardSettings s;
        s.bt = 0xA100;
        s.bt_after = 0xA300;
        s.starts_in_bootloader = true;
        s.bootloader.busy_polls = 0;
        s.bootloader.manifest_polls = 0;
        KeyboardModel kb(b.with_package(s), b.host());
        kb.plug(true);
        download_one_block(kb);
        EXPECT_EQ(kb.bt_version(), 0xA100);  // the new version shows after the restart
        b.run_until(5000);
        EXPECT_EQ(kb.mode(), UsbMode::Normal);
        EXPECT_EQ(kb.bt_version(), 0xA300);
    }
    {
        Bench b;
        KeyboardSettings s;
        s.returns = false;
        s.starts_in_bootloader = true;
        s.bootloader.busy_polls = 0;
        s.bootloader.manifest_polls = 0;
        KeyboardModel kb(b.with_package(s), b.host());
        kb.plug(true);
        download_one_block(kb);
        b.run_until(60000);
        EXPECT_EQ(b.bus, (std::vector<std::string>{"bootloader"}));
        // Pulled and plugged again, it still has no firmware that starts.
        kb.unplug();
        kb.plug();
        b.run_until(61000);
        EXPECT_EQ(b.bus, (std::vector<std::string>{"bootloader", "gone", "bootloader"}));
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
