// The USB stage against boot loaders that ask for long waits, refuse a
// request or stop answering: what a conformant device may ask is granted,
// anything beyond ends the run in a time the user can wait for, and no
// request breaks the device's protocol.
#include "scenario_helpers.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

using worldtest::event_on;
using worldtest::json;
using worldtest::kS08;
using worldtest::run_sim;

namespace {

const std::string kS09 = "Keyboard firmware update completed ...";

// The user presses Update, detaches and re-attaches the keyboard when asked
// and closes the restart prompt and then the window.
json interactive(const json& bootloader, long long until)
{
    return {
        {"keyboard", {{"bootloader", bootloader}}},
        {"events",
         {event_on("button_enabled", 500, "press_update"), event_on("log:within 20 seconds", 3000, "detach"),
          event_on("log:within 20 seconds", 5000, "attach"), event_on("prompt", 1000, "restart_later"),
          event_on("prompt", 3000, "close")}},
        {"until", until}};
}

std::vector<json> dfu_requests(const worldtest::WorldRun& run)
{
    return run.events("dfu");
}

// Time of the DNLOAD with this block number and length; -1 when none.
long long dnload_time(const worldtest::WorldRun& run, int block, int length)
{
    for (const json& r : run.events("dfu"))
        if (r["req"] == "DNLOAD" && r["value"] == block && r["length"] == length)
            return r["t"];
    return -1;
}

bool verified(const worldtest::WorldRun& run)
{
    return run.status == 0 && run.summary()["result_log"].get<std::string>().rfind("OK: ", 0) == 0 &&
           run.log_text().find(kS09) != std::string::npos && run.summary()["dfu_blocks"] == 640;
}

bool failed_with_four(const worldtest::WorldRun& run)
{
    const std::string line = run.summary()["result_log"].get<std::string>();
    return line.rfind("NG: ", 0) == 0 && line.find(" error=4\r\n") != std::string::npos &&
           run.log_text().find(kS08) != std::string::npos;
}

}  // namespace

TEST(BootLoader, ConformantBootLoadersUpdateAtEveryEdgeOfTheEnvelope)
{
    // 200 ms after every block: about 128 s of download, past the old cap
    // on all blocks' busy time; then 6 s to manifest.
    auto slow =
        run_sim(interactive({{"poll_ms", 200}, {"manifest_poll_ms", 6000}, {"manifest_polls", 1}}, 400000));
    EXPECT_TRUE(verified(slow)) << slow.status << " " << slow.summary()["result_log"];
    EXPECT_GE(dnload_time(slow, 640, 0) - dnload_time(slow, 0, 64), 640 * 200);

    // A single poll of 30 s during the download, twice per block (60 s of
    // busy time per block), and a manifestation asking 60 s at once.
    auto edges = run_sim(interactive(
        {{"poll_ms", 30000}, {"busy_polls", 2}, {"manifest_poll_ms", 60000}, {"manifest_polls", 1}},
        40000000));
    EXPECT_TRUE(verified(edges)) << edges.status << " " << edges.summary()["result_log"];
    EXPECT_GE(dnload_time(edges, 640, 0) - dnload_time(edges, 0, 64), 640LL * 60000);

    // A manifestation-tolerant boot loader manifesting for 2 x 59 s: with
    // the host's 1 s pauses, 120 s in all. It starts its new firmware after
    // the next power-up: the user re-plugs the keyboard.
    json tolerant = interactive(
        {{"manifestation_tolerant", true}, {"manifest_poll_ms", 59000}, {"manifest_polls", 2}}, 400000);
    tolerant["events"].push_back(event_on("log:DFU DOWNLOAD", 132000, "detach"));
    tolerant["events"].push_back(event_on("log:DFU DOWNLOAD", 133000, "attach"));
    auto whole = run_sim(tolerant);
    EXPECT_TRUE(verified(whole)) << whole.status << " " << whole.summary()["result_log"];
    std::vector<json> dfu = dfu_requests(whole);
    ASSERT_FALSE(dfu.empty());
    EXPECT_EQ(dfu.back()["t"].get<long long>() - dnload_time(whole, 640, 0), 120000);
}

TEST(BootLoader, BootLoadersBeyondTheEnvelopeAreStoppedAtTheFirstWaitTooLong)
{
    // Each asks a little more than the envelope grants at one wait: the
    // download stops at that status answer without waiting, and the run ends
    // when the keyboard has not come back 30 s later.
    struct Case {
        json bootloader;
        int block;          // block after which the answer comes (-1: the final request)
        int reads;          // status reads from the request to the one that stops it
        long long after;    // from the request to that answer
        long long granted;  // the wait granted after it before the host stops
    };
    const Case cases[] = {
        {{{"poll_ms", 30001}}, 0, 1, 0, 0},                                   // a single download poll
        {{{"poll_ms", 20001}, {"busy_polls", 3}}, 0, 3, 40002, 0},            // a block's busy time
        {{{"manifest_poll_ms", 60001}, {"manifest_polls", 1}}, -1, 1, 0, 0},  // a single manifestation poll
        // The manifestation's time: its second poll is granted, the pause
        // after it would end beyond 120 s.
        {{{"manifestation_tolerant", true}, {"manifest_poll_ms", 59001}, {"manifest_polls", 2}},
         -1,
         2,
         60001,
         59001},
    };
    for (const Case& c : cases) {
        auto run = run_sim(interactive(c.bootloader, 400000));
        SCOPED_TRACE(c.bootloader.dump());
        EXPECT_TRUE(failed_with_four(run));
        EXPECT_EQ(run.status, 125);  // the window stays open with its log
        // The status reads that follow the request.
        int block = c.block >= 0 ? c.block : 640;
        int length = c.block >= 0 ? 64 : 0;
        long long sent = -1;
        std::vector<long long> reads;
        for (const json& r : dfu_requests(run)) {
            if (r["req"] == "DNLOAD" && r["value"] == block && r["length"] == length)
                sent = r["t"];
            else if (sent >= 0 && r["req"] == "GETSTATUS")
                reads.push_back(r["t"]);
        }
        ASSERT_GE(sent, 0);
        ASSERT_EQ(reads.size(), (size_t)c.reads);
        EXPECT_EQ(reads.back() - sent, c.after);
        EXPECT_EQ(dfu_requests(run).back()["t"].get<long long>(), reads.back());
        long long stopped = reads.back() + c.granted;
        long long failed = run.time_of("log", "text", kS08);
        EXPECT_GE(failed - stopped, 30000);
        EXPECT_LT(failed - stopped, 30200);
    }
}

TEST(BootLoader, ARefusedBlockIsNotSentAgainAndAnEmptyImageNotAtAll)
{
    // The package's 64-byte blocks are longer than this boot loader's
    // wTransferSize: it stalls the first one and falls into dfuERROR. The
    // host reads the status, clears the error and stops.
    auto refused = run_sim(interactive({{"transfer_size", 32}}, 170000), {}, true);
    EXPECT_EQ(refused.summary()["violations"], 1);
    std::vector<std::string> after;
    bool seen = false;
    for (const json& r : dfu_requests(refused)) {
        if (seen)
            after.push_back(r["req"]);
        seen = seen || r["req"] == "DNLOAD";
    }
    EXPECT_EQ(after, (std::vector<std::string>{"GETSTATUS", "CLRSTATUS"}));
    EXPECT_TRUE(failed_with_four(refused));

    // An empty USB image: nothing is sent to the boot loader at all.
    worldtest::TempFolder scratch;
    const std::string& dir = scratch.path();
    std::ofstream(dir + "/empty.bin", std::ios::binary).close();
    std::string program =
        worldtest::package_with(dir, "INI_DFU_DETACH_DELAY=0", "INI_DFU_DETACH_DELAY=0", dir + "/empty.bin");
    ASSERT_FALSE(program.empty());
    auto empty = run_sim(interactive(json::object(), 170000), {"--program", program});
    // The keyboard is not even switched to its boot loader, where it would
    // wait for a download that never comes.
    EXPECT_TRUE(dfu_requests(empty).empty());
    EXPECT_EQ(empty.summary()["violations"], 0);
    EXPECT_TRUE(failed_with_four(empty));
    for (const json& r : empty.events("kb_out"))
        EXPECT_NE(r["hex"].get<std::string>().rfind("0608", 0), 0u);
    EXPECT_EQ(empty.summary()["button"]["enabled"], true);
}

TEST(BootLoader, ABootLoaderThatStopsAnsweringEndsTheRunWithinAMinute)
{
    // It answers the DNLOAD of block 100 and then nothing more: each
    // transfer fails after the pipe's 5 s time-out. A status read used to
    // try 36 transfers, about three minutes.
    auto run = run_sim(interactive({{"hang_after_transfers", 304}}, 400000));
    long long hung = -1;
    for (const json& r : dfu_requests(run))
        if (r.contains("ok") && hung < 0)
            hung = r["t"];
    ASSERT_GE(hung, 0);
    EXPECT_EQ(run.summary()["dfu_blocks"], 101);
    EXPECT_TRUE(failed_with_four(run));
    long long failed = run.time_of("log", "text", kS08);
    EXPECT_LE(failed - hung, 5001 + 30000 + 100);
    EXPECT_EQ(run.status, 125);
}
