// The DFU request layer and the download procedure against a scripted boot
// loader: every request the host sends, every answer it gets, and the time
// it waits in between (virtual time).
#include "common/world_test.h"

#include "dfu/dfu.h"
#include "package/package.h"

#include <deque>

using namespace worldtest;

namespace {

struct Request {
    uint8_t type, request;
    uint16_t value, index, length;
    bool has_buffer;
    uint64_t t;
};

// A boot loader whose answers a test scripts: transfers fail while
// `failures` is above 0, and each GETSTATUS takes the next answer of
// `statuses` (the last one is repeated).
struct Script {
    int failures = 0;
    std::deque<std::vector<uint8_t>> statuses;
    std::vector<Request> requests;
};
Script g_script;

std::vector<uint8_t> status_answer(uint8_t status, uint32_t poll, uint8_t state)
{
    return {status, (uint8_t)poll, (uint8_t)(poll >> 8), (uint8_t)(poll >> 16), state, 0};
}

void install_script()
{
    sim::devices_set_control_answer(
        [](const WINUSB_SETUP_PACKET& s, PUCHAR buffer, ULONG, PULONG moved) -> BOOL {
            g_script.requests.push_back(
                {s.RequestType, s.Request, s.Value, s.Index, s.Length, buffer != nullptr, sim::now_ms()});
            if (g_script.failures > 0) {
                g_script.failures--;
                return FALSE;
            }
            if (s.Request == DFU_GETSTATUS) {
                std::vector<uint8_t> a =
                    g_script.statuses.empty() ? status_answer(0, 0, 2) : g_script.statuses.front();
                if (g_script.statuses.size() > 1)
                    g_script.statuses.pop_front();
                size_t n = std::min<size_t>(a.size(), s.Length);
                std::copy(a.begin(), a.begin() + n, buffer);
                *moved = (ULONG)n;
                return TRUE;
            }
            *moved = s.Length;
            return TRUE;
        });
}

// The main window (for the progress bar and the wait event) and an open
// scripted boot loader of the package's first identity.
DfuContext* open_context()
{
    create_main_window();
    install_script();
    sim::ExtraDfu dfu;
    dfu.identity = 1;
    sim::devices_add_dfu(dfu);
    UsbDeviceList* list = (UsbDeviceList*)malloc(sizeof(UsbDeviceList));
    CHECK(usb_list_init(list));
    CHECK_EQ(usb_list_enumerate(list), 1);
    static DfuContext ctx;
    ctx.interface_number = 0;
    ctx.device = usb_list_find(list, 0x1FC9, 0x5002);
    CHECK(ctx.device != nullptr);
    usb_list_free(list);
    return &ctx;
}

std::vector<int> positions()
{
    std::vector<int> p;
    for (const Rec& r : records_of("progress"))
        p.push_back(r.f["pos"].get<int>());
    return p;
}

std::vector<Request> requests_of(uint8_t request)
{
    std::vector<Request> out;
    for (const Request& r : g_script.requests)
        if (r.request == request)
            out.push_back(r);
    return out;
}

const uint8_t kIdle = DFU_STATE_DNLOAD_IDLE;

}  // namespace

class Dfu : public WorldTest {};

TEST_F(Dfu, StatusAnswersAreDecodedAndFailuresLookLikeDfuError)
{
    WORLD_TEST(in_world(nullptr, [] {
        DfuContext* ctx = open_context();
        DfuStatus st;
        g_script.statuses = {status_answer(0, 10000, 5)};
        CHECK_EQ(dfu_get_status(ctx, &st), 6);
        CHECK_EQ(st.bwPollTimeout, 10000u);
        CHECK_EQ(st.bState, 5);
        g_script.statuses = {status_answer(0x0B, 0xFFFFFF, 4)};
        CHECK_EQ(dfu_get_status(ctx, &st), 6);
        CHECK_EQ(st.bwPollTimeout, 16777215u);
        CHECK_EQ(st.bStatus, 0x0B);

        // Six short answers: the short count, and the failure values.
        g_script.requests.clear();
        g_script.statuses = {{0, 1, 0, 0, 5}};
        CHECK_EQ(dfu_get_status(ctx, &st), 5);
        CHECK_EQ(st.bStatus, 0x0E);
        CHECK_EQ(st.bwPollTimeout, 0u);
        CHECK_EQ(st.bState, 10);
        CHECK_EQ(g_script.requests.size(), 6u);

        // Two short answers, then a full one: its values stay.
        g_script.statuses = {{0, 1, 0, 0, 5}, {0, 1, 0, 0, 5}, status_answer(0, 7, 5)};
        CHECK_EQ(dfu_get_status(ctx, &st), 6);
        CHECK_EQ(st.bwPollTimeout, 7u);
        CHECK_EQ(st.bState, 5);
        CHECK_EQ(st.bStatus, 0);
    }));
}

TEST_F(Dfu, TransfersAreRetriedWithAMillisecondBetweenAttempts)
{
    WORLD_TEST(in_world(nullptr, [] {
        DfuContext* ctx = open_context();
        uint8_t block[64] = {0};
        // Two failures, then success: the count, after two 1 ms waits.
        g_script.failures = 2;
        uint64_t t0 = sim::now_ms();
        CHECK_EQ(dfu_control_transfer(ctx->device, 0x21, DFU_DNLOAD, 0, 0, block, 64), 64);
        CHECK_EQ(sim::now_ms() - t0, 2u);
        // A request without data stage passes no buffer and succeeds with 0.
        g_script.requests.clear();
        CHECK_EQ(dfu_control_transfer(ctx->device, 0x21, DFU_DNLOAD, 1, 0, block, 0), 0);
        CHECK(!g_script.requests[0].has_buffer);
        // Six failures: -6, six waits of 1 ms.
        g_script.failures = 6;
        t0 = sim::now_ms();
        CHECK_EQ(dfu_control_transfer(ctx->device, 0x21, DFU_ABORT, 0, 0, nullptr, 0), -6);
        CHECK_EQ(sim::now_ms() - t0, 6u);
        // A status read of a device that fails every transfer: 36 transfers.
        g_script.requests.clear();
        g_script.failures = 1000;
        DfuStatus st;
        CHECK_EQ(dfu_get_status(ctx, &st), -6);
        CHECK_EQ(g_script.requests.size(), 36u);
        CHECK_EQ(st.bState, 10);
    }));
}

TEST_F(Dfu, BlocksOfAShortImageMoveTheProgressBarAsComputed)
{
    WORLD_TEST(in_world(nullptr, [] {
        DfuContext* ctx = open_context();
        static uint8_t data[100];
        for (int i = 0; i < 100; i++)
            data[i] = (uint8_t)i;
        UsbImage image = {data, 100, 0};
        g_script.statuses = {status_answer(0, 0, kIdle), status_answer(0, 0, kIdle), status_answer(0, 0, 8)};
        dfu_download(ctx, 64, &image);
        auto dn = requests_of(DFU_DNLOAD);
        CHECK_EQ(dn.size(), 3u);
        CHECK(dn[0].value == 0 && dn[0].length == 64);
        CHECK(dn[1].value == 1 && dn[1].length == 36);
        CHECK(dn[2].value == 2 && dn[2].length == 0 && !dn[2].has_buffer);
        CHECK(positions() == (std::vector<int>{61, 72, 80}));
    }));
}

TEST_F(Dfu, BusyDeviceIsPolledAsItAsksAndAtMost200Times)
{
    WORLD_TEST(in_world(nullptr, [] {
        DfuContext* ctx = open_context();
        static uint8_t data[64];
        UsbImage image = {data, 64, 0};
        // dfuDNBUSY (4) with 5 ms twice, then idle.
        g_script.statuses = {status_answer(0, 5, 4), status_answer(0, 5, 4), status_answer(0, 0, kIdle),
                             status_answer(0, 0, 8)};
        dfu_download(ctx, 64, &image);
        auto st = requests_of(DFU_GETSTATUS);
        CHECK(st.size() >= 3);
        CHECK_EQ(st[1].t - st[0].t, 5u);
        CHECK_EQ(st[2].t - st[1].t, 5u);
        CHECK_EQ(requests_of(DFU_DNLOAD).size(), 2u);

        // For ever busy: 200 reads, then the download stops without the final request.
        g_script.requests.clear();
        g_script.statuses = {status_answer(0, 1, 4)};
        dfu_download(ctx, 64, &image);
        CHECK_EQ(requests_of(DFU_GETSTATUS).size(), 200u);
        CHECK_EQ(requests_of(DFU_DNLOAD).size(), 1u);
    }));
}

TEST_F(Dfu, ErrorAfterABlockStopsBeforeTheFinalRequest)
{
    WORLD_TEST(in_world(nullptr, [] {
        DfuContext* ctx = open_context();
        static uint8_t data[256];
        UsbImage image = {data, 256, 0};
        // errCHECK_ERASED (5) in dfuERROR after the second block.
        g_script.statuses = {status_answer(0, 0, kIdle), status_answer(5, 0, DFU_STATE_ERROR)};
        dfu_download(ctx, 64, &image);
        CHECK_EQ(requests_of(DFU_DNLOAD).size(), 2u);
        CHECK(positions() == std::vector<int>{50 + 30 * 64 / (256 + 64)});
    }));
}

TEST_F(Dfu, EmptyImageSendsOnlyTheFinalRequestAndSuffixIsNeverSent)
{
    WORLD_TEST(in_world(nullptr, [] {
        DfuContext* ctx = open_context();
        UsbImage empty = {nullptr, 0, 0};
        g_script.statuses = {status_answer(0, 0, 8)};
        dfu_download(ctx, 64, &empty);
        auto dn = requests_of(DFU_DNLOAD);
        CHECK(dn.size() == 1 && dn[0].value == 0 && dn[0].length == 0);
        CHECK(positions() == std::vector<int>{80});

        g_script.requests.clear();
        static uint8_t data[80];
        UsbImage suffixed = {data, 80, 16};
        g_script.statuses = {status_answer(0, 0, kIdle), status_answer(0, 0, 8)};
        dfu_download(ctx, 64, &suffixed);
        dn = requests_of(DFU_DNLOAD);
        CHECK(dn.size() == 2 && dn[0].length == 64 && dn[1].length == 0);

        // A block length of 0 could never advance: nothing at all is sent.
        g_script.requests.clear();
        dfu_download(ctx, 0, &suffixed);
        CHECK(g_script.requests.empty());
    }));
}

TEST_F(Dfu, ManifestationIsWaitedThroughAndBounded)
{
    WORLD_TEST(in_world(nullptr, [] {
        DfuContext* ctx = open_context();
        UsbImage empty = {nullptr, 0, 0};
        // dfuMANIFEST twice with 5 ms, then dfuMANIFEST-WAIT-RESET.
        g_script.statuses = {status_answer(0, 5, DFU_STATE_MANIFEST), status_answer(0, 5, DFU_STATE_MANIFEST),
                             status_answer(0, 5, 8)};
        uint64_t t0 = sim::now_ms();
        dfu_download(ctx, 64, &empty);
        CHECK_EQ(requests_of(DFU_GETSTATUS).size(), 3u);
        CHECK_EQ(sim::now_ms() - t0, 3 * 5u + 2 * 1000u);

        // A device that manifests for ever is left after a minute; one that
        // asks for huge poll times is granted at most 5 s a poll.
        g_script.requests.clear();
        g_script.statuses = {status_answer(0, 0, DFU_STATE_MANIFEST_SYNC)};
        t0 = sim::now_ms();
        CHECK(!dfu_download(ctx, 64, &empty));
        CHECK_EQ(requests_of(DFU_GETSTATUS).size(), (size_t)61);
        CHECK_EQ(sim::now_ms() - t0, 60000u);
        g_script.requests.clear();
        g_script.statuses = {status_answer(0, 0xFFFFFF, DFU_STATE_MANIFEST)};
        t0 = sim::now_ms();
        CHECK(!dfu_download(ctx, 64, &empty));
        CHECK(sim::now_ms() - t0 <= (uint64_t)DFU_MANIFEST_MAX_MS);
    }));
}

TEST_F(Dfu, UpdateReadsTheStateAbortsReadsAgainDownloadsAndClosesTheDevice)
{
    WORLD_TEST(in_world(nullptr, [] {
        create_main_window();
        install_script();
        sim::ExtraDfu dfu;
        dfu.identity = 2;  // only the second identity is present
        sim::devices_add_dfu(dfu);
        g_script.statuses = {status_answer(0, 0, 2), status_answer(0, 0, 2), status_answer(0, 0, kIdle)};
        dfu_update();
        CHECK(g_script.requests.size() > 4);
        CHECK_EQ(g_script.requests[0].request, DFU_GETSTATUS);
        CHECK_EQ(g_script.requests[0].type, 0xA1);
        CHECK_EQ(g_script.requests[1].request, DFU_ABORT);
        CHECK_EQ(g_script.requests[1].type, 0x21);
        CHECK_EQ(g_script.requests[2].request, DFU_GETSTATUS);
        CHECK_EQ(g_script.requests[2].t - g_script.requests[1].t, 1u);
        CHECK_EQ(g_script.requests[3].request, DFU_DNLOAD);
        CHECK_EQ(requests_of(DFU_DNLOAD).size(), 641u);
        CHECK(log_text().find("\r\nDFU DOWNLOAD ...") != std::string::npos);
        sim::DeviceCounters c = sim::device_counters();
        CHECK_EQ(c.open_winusb, 0);
        CHECK_EQ(c.open_device_handles, 0);
    }));
}

TEST_F(Dfu, UpdateWithoutABootLoaderSendsAndLogsNothing)
{
    WORLD_TEST(in_world(nullptr, [] {
        create_main_window();
        install_script();
        std::string before = log_text();
        dfu_update();
        CHECK(g_script.requests.empty());
        CHECK(log_text() == before);
    }));
}
