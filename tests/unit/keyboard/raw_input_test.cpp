// Decoding of the keyboard's input reports in the states where they act
// without logging, the inputs to ignore, and the bounds of the decoder
// against whatever sizes the platform reports.
#include "raw_input_msg.h"

#include "app/app.h"
#include "package/package.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace rawmsg;

class Decoder : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_update_state = ST_IDLE;
        g_update_result = 1;
        g_kb_bt_version = 0;
        g_bt_image_sum = 0x003ABCDE;
    }
};

}  // namespace

TEST_F(Decoder, VersionInPreparationMovesOnOnlyWhenBothReadyBytesAreOne)
{
    g_update_state = ST_BT_PREPARE;
    deliver(with(version(0xA23F, 1, 0)));
    EXPECT_EQ(g_update_state, ST_BT_PREPARE);
    EXPECT_EQ(g_kb_bt_version, 0xA23Fu);
    deliver(with(version(0x011E, 0, 1)));
    EXPECT_EQ(g_update_state, ST_BT_PREPARE);
    EXPECT_EQ(g_kb_bt_version, 0x011Eu);
    deliver(with(version(0xA240, 2, 1)));
    EXPECT_EQ(g_update_state, ST_BT_PREPARE);
    deliver(with(version(0xA241, 1, 1)));
    EXPECT_EQ(g_update_state, ST_BT_TRANSFER);
    EXPECT_EQ(g_kb_bt_version, 0xA241u);
    EXPECT_EQ(g_update_result, 1u);
}

TEST_F(Decoder, ChecksumActsOnlyInTransferAndOnlyWhenItMatches)
{
    g_update_state = ST_BT_TRANSFER;
    deliver(with(sum(0x003ABCDF)));
    EXPECT_EQ(g_update_state, ST_BT_TRANSFER);
    deliver(with(sum(0x013ABCDE)));  // the high byte counts too
    EXPECT_EQ(g_update_state, ST_BT_TRANSFER);
    deliver(with(sum(0x003ABCDE)));
    EXPECT_EQ(g_update_state, ST_BT_DONE);

    for (uint8_t st = ST_IDLE; st <= ST_REATTACHED; ++st) {
        if (st == ST_BT_TRANSFER)
            continue;
        g_update_state = st;
        deliver(with(sum(0x003ABCDE)));
        EXPECT_EQ(g_update_state, st) << "state " << (int)st;
    }
}

TEST_F(Decoder, FinishAckActsOnlyWhileWaitingForIt)
{
    for (uint8_t st = ST_IDLE; st <= ST_REATTACHED; ++st) {
        g_update_state = st;
        deliver(with(kAck));
        EXPECT_EQ(g_update_state, st == ST_WAIT_ACK ? (uint8_t)ST_ACKED : st) << "state " << (int)st;
    }
}

TEST_F(Decoder, InputsOfOtherShapesCollectionsAndDevicesAreIgnored)
{
    g_update_state = ST_WAIT_ACK;
    std::vector<Msg> ignored;
    Msg m = with(kAck);
    m.reports.pop_back();
    m.size_hid = 8;
    ignored.push_back(m);  // 8-byte report
    m = with(kAck);
    m.reports.push_back(0);
    m.size_hid = 10;
    ignored.push_back(m);  // 10-byte report
    m = with(kAck);
    m.reports[0] = 6;
    ignored.push_back(m);  // report ID 6
    m = with(kAck);
    m.reports[1] = 12;
    ignored.push_back(m);  // unknown event code
    m = with(kAck);
    m.device = sim::raw_device_store(RIM_TYPEHID, 0x3E71, 0x2A60, 0xFF01, 1);
    ignored.push_back(m);  // the command collection
    m.device = sim::raw_device_store(RIM_TYPEHID, 0x3E71, 0x2A60, 0xFF02, 2);
    ignored.push_back(m);  // another usage on the vendor page
    m.device = sim::raw_device_store(RIM_TYPEHID, 0x3E71, 0x2A60, 0x0001, 6);
    ignored.push_back(m);  // the standard keyboard collection
    m.device = sim::raw_device_store(RIM_TYPEHID, 0x046D, 0xC077, 0xFF02, 1);
    ignored.push_back(m);  // another vendor's device with such a collection
    m.device = sim::raw_device_store(RIM_TYPEHID, 0x3E71, 0x0088, 0xFF02, 1);
    ignored.push_back(m);  // identities do not mix
    m.device = sim::raw_device_store(RIM_TYPEHID, 0x1FC9, 0x2A60, 0xFF02, 1);
    ignored.push_back(m);
    m.device = sim::raw_device_store(RIM_TYPEKEYBOARD, 0x3E71, 0x2A60, 0xFF02, 1);
    ignored.push_back(m);  // not a HID device
    m = with(kAck);
    m.type = RIM_TYPEMOUSE;
    ignored.push_back(m);  // not HID input

    for (size_t i = 0; i < ignored.size(); ++i) {
        deliver(ignored[i]);
        EXPECT_EQ(g_update_state, ST_WAIT_ACK) << "input " << i;
    }
    // The second identity is the keyboard too.
    m = with(kAck);
    m.device = sim::raw_device_store(RIM_TYPEHID, 0x1FC9, 0x0088, 0xFF02, 1);
    deliver(m);
    EXPECT_EQ(g_update_state, ST_ACKED);
}

TEST_F(Decoder, OnlyTheFirstReportOfAMessageIsDecoded)
{
    g_update_state = ST_BT_TRANSFER;
    Msg m = with(sum(0x11111111));
    std::vector<uint8_t> right = sum(0x003ABCDE);
    m.reports.insert(m.reports.end(), right.begin(), right.end());
    m.count = 2;
    deliver(m);
    EXPECT_EQ(g_update_state, ST_BT_TRANSFER);

    m = with(right);
    std::vector<uint8_t> wrong = sum(0x11111111);
    m.reports.insert(m.reports.end(), wrong.begin(), wrong.end());
    m.count = 2;
    deliver(m);
    EXPECT_EQ(g_update_state, ST_BT_DONE);

    // The report count is not looked at: a whole first report is decoded
    // whatever count the message gives.
    for (DWORD count : {0u, 1u, 7u}) {
        g_update_state = ST_WAIT_ACK;
        m = with(kAck);
        m.count = count;
        deliver(m);
        EXPECT_EQ(g_update_state, ST_ACKED) << "count " << count;
    }
}

// Every case carries a finish acknowledgement that would move ST_WAIT_ACK on
// if the decoder took it.
TEST_F(Decoder, NoReadBeyondWhatThePlatformDelivered)
{
    std::vector<std::pair<const char*, sim::RawInputSpec>> cases;
    sim::RawInputSpec s;

    Msg m = with(kAck);
    m.header_size = 28;  // the header claims less than header and RAWHID fields
    s = {};
    s.bytes = bytes_of(m);
    cases.push_back({"header size below the RAWHID fields", s});

    m = with(kAck);
    m.header_size = (long)(kReportAt + 5);  // the report is cut short
    s = {};
    s.bytes = bytes_of(m);
    cases.push_back({"header size cuts the report", s});

    s = {};
    s.bytes = bytes_of(with(kAck));
    s.copied_size = (UINT)(kReportAt + 8);  // fewer bytes copied than the report needs
    cases.push_back({"short copy", s});

    s = {};
    s.bytes = bytes_of(with(kAck));
    s.copied_size = 5000;  // a count beyond any buffer
    cases.push_back({"copy count beyond the buffer", s});

    s = {};
    s.bytes = bytes_of(with(kAck));
    s.bytes.resize(12);  // less than a header
    s.reported_size = 12;
    cases.push_back({"message shorter than its header", s});

    s = {};
    s.bytes = bytes_of(with(kAck));
    s.reported_size = 5000;  // larger than the decoder reads
    cases.push_back({"size above 1060", s});

    s = {};
    s.bytes = bytes_of(with(kAck));
    s.reported_size = 1061;
    cases.push_back({"size 1061", s});

    s = {};
    s.bytes = bytes_of(with(kAck));
    s.fail_size_query = true;
    cases.push_back({"size query fails", s});

    s = {};
    s.bytes = bytes_of(with(kAck));
    s.fail_read = true;
    cases.push_back({"read fails", s});

    m = with({});
    m.count = 0;
    s = {};
    s.bytes = bytes_of(m);
    cases.push_back({"no report at all", s});

    m = with(kAck);
    m.device = sim::raw_device_store(RIM_TYPEHID, 0x3E71, 0x2A60, 0xFF02, 1, true);
    s = {};
    s.bytes = bytes_of(m);
    cases.push_back({"device information fails", s});

    m = with(kAck);
    m.device = (HANDLE)0x7777;  // no such device (for example one that has gone)
    s = {};
    s.bytes = bytes_of(m);
    cases.push_back({"unknown device", s});

    for (auto& c : cases) {
        g_update_state = ST_WAIT_ACK;
        deliver(c.second);
        EXPECT_EQ(g_update_state, ST_WAIT_ACK) << c.first;
    }
    // An unknown raw input handle.
    kb_on_raw_input((HRAWINPUT)0x1234);
    EXPECT_EQ(g_update_state, ST_WAIT_ACK);
}

TEST_F(Decoder, LargeMessagesAreDecodedUpToTheLimit)
{
    // dwSizeHid x dwCount far larger than the data: the first report is whole
    // and is decoded; nothing else is looked at.
    g_update_state = ST_WAIT_ACK;
    Msg m = with(kAck);
    m.count = 100000;
    deliver(m);
    EXPECT_EQ(g_update_state, ST_ACKED);

    // A message of exactly 1060 bytes is read.
    g_update_state = ST_WAIT_ACK;
    m = with(kAck);
    m.reports.resize(1060 - kReportAt, 0);
    m.count = (DWORD)((1060 - kReportAt) / 9);
    std::vector<uint8_t> b = bytes_of(m);
    ASSERT_EQ(b.size(), 1060u);
    sim::RawInputSpec s;
    s.bytes = b;
    deliver(s);
    EXPECT_EQ(g_update_state, ST_ACKED);
}
