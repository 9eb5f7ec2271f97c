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
// `failures` is above 0 (each after `failure_ms` of virtual time, as an
// unanswered transfer ends with the pipe's time-out), and each GETSTATUS
// takes the next answer of `statuses` (the last one is repeated).
struct Script {
    int failures = 0;
    DWORD failure_ms = 0;
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
                if (g_script.failure_ms)
                    Sleep(g_script.failure_ms);
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
    return trace().values<int>("progress", "pos");
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

// A world without a keyboard that runs for ten minutes of virtual time.
World ten_minutes()
{
    World setup;
    setup.until_ms = 600000;
    return setup;
}

}  // namespace

TEST(Dfu, StatusAnswersAreDecodedAndFailuresLookLikeDfuError)
{
    in_world(nullptr, [] {
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
    });
}

TEST(Dfu, RequestsAreSentOnceAndStatusReadsAreRetriedWithinOneBudget)
{
    in_world(nullptr, [] {
        DfuContext* ctx = open_context();
        uint8_t block[64] = {0};
        // A failed request is not sent again: -6 after a 1 ms wait.
        g_script.failures = 2;
        uint64_t t0 = sim::now_ms();
        CHECK_EQ(dfu_control_transfer(ctx->device, 0x21, DFU_DNLOAD, 0, 0, block, 64), -6);
        CHECK_EQ(sim::now_ms() - t0, 1u);
        CHECK_EQ(g_script.requests.size(), 1u);
        g_script.failures = 0;
        // A request without data stage passes no buffer and succeeds with 0.
        g_script.requests.clear();
        CHECK_EQ(dfu_control_transfer(ctx->device, 0x21, DFU_DNLOAD, 1, 0, block, 0), 0);
        CHECK(!g_script.requests[0].has_buffer);
        // A status read of a device that stalls every transfer: six
        // attempts, a millisecond after each.
        g_script.requests.clear();
        g_script.failures = 1000;
        DfuStatus st;
        t0 = sim::now_ms();
        CHECK_EQ(dfu_get_status(ctx, &st), -6);
        CHECK_EQ(g_script.requests.size(), 6u);
        CHECK_EQ(sim::now_ms() - t0, 6u);
        CHECK_EQ(st.bState, 10);
        // One that leaves every transfer unanswered holds each for the
        // pipe's time-out: the budget allows no second attempt.
        g_script.requests.clear();
        g_script.failure_ms = 5000;
        t0 = sim::now_ms();
        CHECK_EQ(dfu_get_status(ctx, &st), -6);
        CHECK_EQ(g_script.requests.size(), 1u);
        CHECK_EQ(sim::now_ms() - t0, 5001u);
        // Failures of 2 s each: no attempt begins after 5 s.
        g_script.requests.clear();
        g_script.failure_ms = 2000;
        t0 = sim::now_ms();
        CHECK_EQ(dfu_get_status(ctx, &st), -6);
        CHECK_EQ(g_script.requests.size(), 3u);
        CHECK_EQ(sim::now_ms() - t0, 6003u);
        g_script.failures = 0;
        g_script.failure_ms = 0;
    });
}

TEST(Dfu, AFailedBlockIsSentAgainOnlyWhileTheDeviceShowsItNeverTookIt)
{
    in_world(nullptr, [] {
        DfuContext* ctx = open_context();
        static uint8_t data[64];
        UsbImage image = {data, 64, 0};
        // The first DFU_DNLOAD is lost on the way; the device, still in
        // dfuIDLE, gets it again after the status read, and the download is
        // made.
        g_script.failures = 1;
        g_script.statuses = {status_answer(0, 0, DFU_STATE_IDLE), status_answer(0, 0, kIdle),
                             status_answer(0, 0, 8)};
        CHECK(dfu_download(ctx, 64, &image));
        std::vector<uint8_t> order;
        for (const Request& r : g_script.requests)
            order.push_back(r.request);
        CHECK(order == (std::vector<uint8_t>{DFU_DNLOAD, DFU_GETSTATUS, DFU_DNLOAD, DFU_GETSTATUS, DFU_DNLOAD,
                                             DFU_GETSTATUS}));
        CHECK_EQ(requests_of(DFU_DNLOAD)[1].value, 0);

        // A device that refused the block (dfuERROR) is cleared, never sent
        // the block again, and the download stops.
        g_script.requests.clear();
        g_script.failures = 1;
        g_script.statuses = {status_answer(0x0F, 0, DFU_STATE_ERROR), status_answer(0, 0, DFU_STATE_IDLE)};
        CHECK(!dfu_download(ctx, 64, &image));
        order.clear();
        for (const Request& r : g_script.requests)
            order.push_back(r.request);
        CHECK(order == (std::vector<uint8_t>{DFU_DNLOAD, DFU_GETSTATUS, DFU_CLRSTATUS}));
    });
}

TEST(Dfu, BlocksOfAShortImageMoveTheProgressBarAsComputed)
{
    in_world(nullptr, [] {
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
    });
}

TEST(Dfu, BusyDeviceIsPolledAsItAsksWithinTheBlocksBusyTime)
{
    in_world(nullptr, [] {
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

        // For ever busy with 1 ms: polled for the block's 60 s, then the
        // download stops without the final request.
        g_script.requests.clear();
        g_script.statuses = {status_answer(0, 1, 4)};
        uint64_t t0 = sim::now_ms();
        CHECK(!dfu_download(ctx, 64, &image));
        CHECK_EQ(sim::now_ms() - t0, 60000u);
        CHECK_EQ(requests_of(DFU_GETSTATUS).size(), 60000u);
        CHECK_EQ(requests_of(DFU_DNLOAD).size(), 1u);

        // For ever busy without a wait: as many reads as milliseconds.
        g_script.requests.clear();
        g_script.statuses = {status_answer(0, 0, 4)};
        CHECK(!dfu_download(ctx, 64, &image));
        CHECK_EQ(requests_of(DFU_GETSTATUS).size(), 60000u);

        // 30 s is granted, 30.001 s is not: the host stops before waiting.
        g_script.requests.clear();
        g_script.statuses = {status_answer(0, 30000, 4), status_answer(0, 0, kIdle), status_answer(0, 0, 8)};
        t0 = sim::now_ms();
        CHECK(dfu_download(ctx, 64, &image));
        CHECK_EQ(sim::now_ms() - t0, 30000u);
        g_script.requests.clear();
        g_script.statuses = {status_answer(0, 30001, 4)};
        t0 = sim::now_ms();
        CHECK(!dfu_download(ctx, 64, &image));
        CHECK_EQ(sim::now_ms() - t0, 0u);
        CHECK_EQ(requests_of(DFU_GETSTATUS).size(), 1u);
    });
}

TEST(Dfu, ErrorAfterABlockStopsBeforeTheFinalRequest)
{
    in_world(nullptr, [] {
        DfuContext* ctx = open_context();
        static uint8_t data[256];
        UsbImage image = {data, 256, 0};
        // errCHECK_ERASED (5) in dfuERROR after the second block.
        g_script.statuses = {status_answer(0, 0, kIdle), status_answer(5, 0, DFU_STATE_ERROR)};
        dfu_download(ctx, 64, &image);
        CHECK_EQ(requests_of(DFU_DNLOAD).size(), 2u);
        CHECK(positions() == std::vector<int>{50 + 30 * 64 / (256 + 64)});
    });
}

TEST(Dfu, EmptyImageSendsNothingAndSuffixIsNeverSent)
{
    in_world(nullptr, [] {
        DfuContext* ctx = open_context();
        // DFU 1.1 refuses a zero-length DFU_DNLOAD in dfuIDLE: nothing is sent.
        UsbImage empty = {nullptr, 0, 0};
        CHECK(!dfu_download(ctx, 64, &empty));
        static uint8_t data[80];
        UsbImage only_suffix = {data, 16, 16};
        CHECK(!dfu_download(ctx, 64, &only_suffix));
        CHECK(g_script.requests.empty());
        CHECK(positions().empty());

        UsbImage suffixed = {data, 80, 16};
        g_script.statuses = {status_answer(0, 0, kIdle), status_answer(0, 0, 8)};
        dfu_download(ctx, 64, &suffixed);
        auto dn = requests_of(DFU_DNLOAD);
        CHECK(dn.size() == 2 && dn[0].length == 64 && dn[1].length == 0);

        // A block length of 0 could never advance: nothing at all is sent.
        g_script.requests.clear();
        dfu_download(ctx, 0, &suffixed);
        CHECK(g_script.requests.empty());
    });
}

TEST(Dfu, ManifestationIsWaitedThroughAndBounded)
{
    in_world(ten_minutes(), [] {
        DfuContext* ctx = open_context();
        static uint8_t data[64];
        UsbImage image = {data, 64, 0};
        // After the block: dfuMANIFEST twice with 5 ms, then dfuMANIFEST-WAIT-RESET.
        g_script.statuses = {status_answer(0, 0, kIdle), status_answer(0, 5, DFU_STATE_MANIFEST),
                             status_answer(0, 5, DFU_STATE_MANIFEST), status_answer(0, 5, 8)};
        uint64_t t0 = sim::now_ms();
        CHECK(dfu_download(ctx, 64, &image));
        CHECK_EQ(requests_of(DFU_GETSTATUS).size(), 4u);
        CHECK_EQ(sim::now_ms() - t0, 3 * 5u + 2 * 1000u);

        // A device that manifests for ever is left after two minutes; a
        // single poll of 60 s is granted, one of 60.001 s is not.
        g_script.requests.clear();
        g_script.statuses = {status_answer(0, 0, kIdle), status_answer(0, 0, DFU_STATE_MANIFEST_SYNC)};
        t0 = sim::now_ms();
        CHECK(!dfu_download(ctx, 64, &image));
        CHECK_EQ(requests_of(DFU_GETSTATUS).size(), (size_t)1 + 121);
        CHECK_EQ(sim::now_ms() - t0, 120000u);
        g_script.statuses = {status_answer(0, 0, kIdle), status_answer(0, 60000, DFU_STATE_MANIFEST),
                             status_answer(0, 0, 8)};
        t0 = sim::now_ms();
        CHECK(dfu_download(ctx, 64, &image));
        CHECK_EQ(sim::now_ms() - t0, 61000u);
        g_script.statuses = {status_answer(0, 0, kIdle), status_answer(0, 60001, DFU_STATE_MANIFEST)};
        t0 = sim::now_ms();
        CHECK(!dfu_download(ctx, 64, &image));
        CHECK_EQ(sim::now_ms() - t0, 0u);

        // A device that stops answering once the final request is taken (it
        // leaves the bus to start its firmware) has made the download; one
        // that reports an error while it manifests has not, and is cleared.
        g_script.statuses = {status_answer(0, 0, kIdle)};
        g_script.requests.clear();
        g_script.failures = 0;
        install_script();
        sim::devices_set_control_answer(
            [](const WINUSB_SETUP_PACKET& s, PUCHAR buffer, ULONG, PULONG moved) -> BOOL {
                g_script.requests.push_back(
                    {s.RequestType, s.Request, s.Value, s.Index, s.Length, buffer != nullptr, sim::now_ms()});
                bool final_sent = false;
                for (const Request& r : g_script.requests)
                    final_sent = final_sent || (r.request == DFU_DNLOAD && r.length == 0);
                if (s.Request == DFU_GETSTATUS && final_sent)
                    return FALSE;
                if (s.Request == DFU_GETSTATUS) {
                    std::vector<uint8_t> a = status_answer(0, 0, kIdle);
                    std::copy(a.begin(), a.end(), buffer);
                }
                *moved = s.Length;
                return TRUE;
            });
        CHECK(dfu_download(ctx, 64, &image));
        install_script();
        g_script.requests.clear();
        g_script.statuses = {status_answer(0, 0, kIdle), status_answer(0x0A, 0, DFU_STATE_ERROR)};
        CHECK(!dfu_download(ctx, 64, &image));
        CHECK_EQ(requests_of(DFU_CLRSTATUS).size(), 1u);
    });
}

TEST(Dfu, UpdateReadsTheStateAbortsReadsAgainDownloadsAndClosesTheDevice)
{
    in_world(nullptr, [] {
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
    });
}

TEST(Dfu, UpdateWithoutABootLoaderSendsAndLogsNothing)
{
    in_world(nullptr, [] {
        create_main_window();
        install_script();
        std::string before = log_text();
        dfu_update();
        CHECK(g_script.requests.empty());
        CHECK(log_text() == before);
    });
}
