// Connect request and response records: exact bytes in the send window, round trips,
// and every refusal of a malformed record.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <memory>
#include <random>
#include <vector>

#include "qrnlibl/qrn_cirwin.h"
#include "test_support.h"
#include "transport/tp_defs.h"
#include "transport/tp_pdu.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct CirwinDeleter {
    void operator()(qrn_cirwin *w) const { qrn_cirwin_destroy(w); }
};
using Window = std::unique_ptr<qrn_cirwin, CirwinDeleter>;

Window MakeWindow(int limit = tp::kSendKeepMax + tp::kMaxRecordSize) {
    return Window(qrn_cirwin_create(limit));
}

Bytes Drain(qrn_cirwin *w) {
    Bytes out(static_cast<size_t>(qrn_cirwin_read_avail(w)));
    if (!out.empty()) qrn_cirwin_read(w, out.data(), static_cast<int>(out.size()));
    return out;
}

// A connect request with an arbitrary header, for the reader's refusals.
Bytes RawConnReq(uint16_t total, uint16_t data_len, size_t actual_data) {
    Bytes b{static_cast<uint8_t>(total >> 8), static_cast<uint8_t>(total), 1, 0x12, 0, 1,
            0, 0, 0, 0, static_cast<uint8_t>(data_len >> 8), static_cast<uint8_t>(data_len)};
    b.resize(b.size() + actual_data, 0x5a);
    return b;
}

TEST(TpConnReq, EmptyRequestIsTwelveBytes) {
    Window w = MakeWindow();
    const tp::CTpConnReq req = tp::MakeConnReq(65536, 0x7f000001, 0, nullptr);
    ASSERT_EQ(tp::WritePduConnReq(w.get(), req), 12);
    EXPECT_EQ(Drain(w.get()), (Bytes{0, 12, 1, 0x12, 0, 64, 0x7f, 0, 0, 1, 0, 0}));
}

TEST(TpConnReq, RoundTripPointsIntoTheBuffer) {
    Window w = MakeWindow();
    const char data[] = "hello";
    ASSERT_EQ(tp::WritePduConnReq(w.get(), tp::MakeConnReq(5000, 0x0a000002, 5, data)), 17);
    const Bytes wire = Drain(w.get());
    ASSERT_EQ(wire.size(), 17u);
    EXPECT_EQ(tp::PeekConnRecord(wire.data(), 16, tp::kConnReqFixedSize), 0);
    ASSERT_EQ(tp::PeekConnRecord(wire.data(), 17, tp::kConnReqFixedSize), 17);

    tp::CTpConnReq got;
    ASSERT_EQ(tp::ReadPduConnReq(wire.data(), 17, got), 0);
    EXPECT_TRUE(tp::ConnReqVersionOk(got));
    EXPECT_EQ(got.total_len, 17);
    EXPECT_EQ(got.buffer_size, 4);  // 5000 bytes round down to 4 units
    EXPECT_EQ(got.local_ip, 0x0a000002u);
    EXPECT_EQ(got.data_len, 5);
    EXPECT_EQ(got.data, wire.data() + 12);
    EXPECT_EQ(memcmp(got.data, "hello", 5), 0);
}

TEST(TpConnReq, WrongVersionParsesButIsNotSpoken) {
    Bytes raw = RawConnReq(12, 0, 0);
    raw[3] = 0x11;
    tp::CTpConnReq got;
    ASSERT_EQ(tp::ReadPduConnReq(raw.data(), 12, got), 0);
    EXPECT_FALSE(tp::ConnReqVersionOk(got));
    raw[3] = 0x12;
    raw[2] = 2;
    ASSERT_EQ(tp::ReadPduConnReq(raw.data(), 12, got), 0);
    EXPECT_FALSE(tp::ConnReqVersionOk(got));
}

TEST(TpConnReq, ConnectDataUpTo32752IsWrittenAndLongerRefused) {
    Window w = MakeWindow();
    const Bytes data(tp::kMaxConnectData + 1, 0x33);
    ASSERT_EQ(tp::WritePduConnReq(w.get(), tp::MakeConnReq(1024, 0, 32752, data.data())), 32764);
    const Bytes wire = Drain(w.get());
    tp::CTpConnReq got;
    EXPECT_EQ(tp::ReadPduConnReq(wire.data(), static_cast<int>(wire.size()), got), 0);
    EXPECT_EQ(got.data_len, 32752);

    EXPECT_EQ(tp::WritePduConnReq(w.get(), tp::MakeConnReq(1024, 0, 32753, data.data())), -1);
    EXPECT_EQ(tp::WritePduConnReq(w.get(), tp::MakeConnReq(1024, 0, 70000, data.data())), -1);
    EXPECT_EQ(tp::WritePduConnReq(w.get(), tp::MakeConnReq(1024, 0, 4, nullptr)), -1);
    EXPECT_EQ(qrn_cirwin_write_size(w.get()), 32764);  // nothing more went in
}

TEST(TpConnReq, RecordIsWrittenWholeOrNotAtAll) {
    Window w = MakeWindow(21);
    EXPECT_EQ(tp::WritePduConnReq(w.get(), tp::MakeConnReq(1024, 0, 10, "0123456789")), -1);
    EXPECT_EQ(qrn_cirwin_write_size(w.get()), 0);
    EXPECT_EQ(tp::WritePduConnReq(nullptr, tp::MakeConnReq(1024, 0, 0, nullptr)), -1);
}

TEST(TpConnReq, ReaderRefusesFieldsThatDoNotAddUp) {
    qrntest::TraceCapture trace;
    tp::CTpConnReq got;
    // Total length 20, data length 10 (12 + 10 = 22): handed the 20 bytes the total promises.
    const Bytes raw = RawConnReq(20, 10, 10);
    EXPECT_EQ(tp::ReadPduConnReq(raw.data(), 20, got), -1);
    EXPECT_EQ(got.data, nullptr);
    EXPECT_EQ(trace.Count({" 0.0 E", "record does not add up", "22 20"}), 1);
    EXPECT_EQ(tp::ReadPduConnReq(raw.data(), 21, got), -1);

    // A wrong total alone is reported, and the record is still read.
    EXPECT_EQ(tp::ReadPduConnReq(raw.data(), 22, got), 0);
    EXPECT_EQ(got.data_len, 10);
    EXPECT_EQ(trace.Count({" 0.0 E", "total length differs", "20 22"}), 1);

    // Connect data beyond the limit, even when the lengths agree.
    const Bytes longer = RawConnReq(12 + 32753, 32753, 32753);
    EXPECT_EQ(tp::ReadPduConnReq(longer.data(), static_cast<int>(longer.size()), got), -1);
    EXPECT_EQ(trace.Count({" 0.0 E", "connect data too long", "32753"}), 1);
}

TEST(TpConnReq, EveryTruncationIsRefused) {
    const Bytes raw = RawConnReq(17, 5, 5);
    tp::CTpConnReq got;
    for (int len = 0; len < 17; ++len) {
        // A copy of exactly len bytes, so that a read past it is caught by the sanitizer.
        const Bytes cut(raw.begin(), raw.begin() + len);
        EXPECT_EQ(tp::ReadPduConnReq(cut.data(), len, got), -1) << len;
    }
    EXPECT_EQ(tp::ReadPduConnReq(nullptr, 17, got), -1);
    EXPECT_EQ(tp::ReadPduConnReq(raw.data(), 17, got), 0);
}

TEST(TpConnResp, RefusalIsExactlyEightBytes) {
    Window w = MakeWindow();
    ASSERT_EQ(tp::WritePduConnResp(w.get(), tp::MakeConnRefusal(tp::kConnRefusedVersion)), 8);
    const Bytes wire = Drain(w.get());
    EXPECT_EQ(wire, (Bytes{0, 8, 0x03, 0xf2, 0, 0, 0, 0}));

    tp::CTpConnResp got;
    ASSERT_EQ(tp::ReadPduConnResp(wire.data(), 8, got), 0);
    EXPECT_EQ(got.result, tp::kConnRefusedVersion);
    EXPECT_EQ(got.data_len, 0);
}

TEST(TpConnResp, AcceptanceRoundTripWithClampedBufferSize) {
    Window w = MakeWindow();
    ASSERT_EQ(tp::WritePduConnResp(w.get(), tp::MakeConnAccept(0xffffffffu, 3, "abc")), 11);
    const Bytes wire = Drain(w.get());
    EXPECT_EQ(wire, (Bytes{0, 11, 0, 0, 0xff, 0xff, 0, 3, 'a', 'b', 'c'}));
    tp::CTpConnResp got;
    ASSERT_EQ(tp::ReadPduConnResp(wire.data(), 11, got), 0);
    EXPECT_EQ(got.result, tp::kConnAccepted);
    EXPECT_EQ(got.buffer_size, 65535);
    EXPECT_EQ(got.data, wire.data() + 8);
    EXPECT_EQ(tp::WritePduConnResp(w.get(), tp::MakeConnAccept(1024, 32753, wire.data())), -1);
    EXPECT_EQ(tp::ReadPduConnResp(wire.data(), 10, got), -1);
    EXPECT_EQ(tp::ReadPduConnResp(wire.data(), 7, got), -1);
}

TEST(TpConnRecords, BufferSizesClampToOneThrough65535Units) {
    EXPECT_EQ(tp::BufferSizeToUnits(0), 1);
    EXPECT_EQ(tp::BufferSizeToUnits(2047), 1);
    EXPECT_EQ(tp::BufferSizeToUnits(2048), 2);
    EXPECT_EQ(tp::BufferSizeToUnits(tp::kBufferSizeMax), 65535);
    EXPECT_EQ(tp::BufferSizeToUnits(tp::kBufferSizeMax + 1024), 65535);
}

TEST(TpConnRecords, PeekRefusesTotalsThatCanNeverBeARecord) {
    const uint8_t one[] = {0};
    EXPECT_EQ(tp::PeekConnRecord(one, 1, tp::kConnReqFixedSize), 0);
    EXPECT_EQ(tp::PeekConnRecord(nullptr, 0, tp::kConnReqFixedSize), 0);
    const uint8_t huge[] = {0xff, 0xff};
    EXPECT_EQ(tp::PeekConnRecord(huge, 2, tp::kConnReqFixedSize), -1);
    const uint8_t over[] = {0x80, 0x01};
    EXPECT_EQ(tp::PeekConnRecord(over, 2, tp::kConnRespFixedSize), -1);
    const uint8_t small[] = {0, 11};
    EXPECT_EQ(tp::PeekConnRecord(small, 2, tp::kConnReqFixedSize), -1);
    const uint8_t resp[] = {0, 8, 0, 0, 0, 0, 0, 0, 0x77};  // a stream byte follows the record
    EXPECT_EQ(tp::PeekConnRecord(resp, 9, tp::kConnRespFixedSize), 8);
}

TEST(TpConnRecords, RandomInputIsNeverAcceptedInconsistently) {
    std::mt19937 rng(12345);
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        const int len = static_cast<int>(rng() % 40);
        Bytes buf(static_cast<size_t>(len));
        for (auto &b : buf) b = static_cast<uint8_t>(rng() % 4 == 0 ? rng() : rng() % 24);
        tp::CTpConnReq req;
        if (tp::ReadPduConnReq(buf.data(), len, req) == 0) {
            ASSERT_EQ(tp::kConnReqFixedSize + req.data_len, len);
            ++accepted;
        }
        tp::CTpConnResp resp;
        if (tp::ReadPduConnResp(buf.data(), len, resp) == 0) {
            ASSERT_EQ(tp::kConnRespFixedSize + resp.data_len, len);
            ++accepted;
        }
        const int peek = tp::PeekConnRecord(buf.data(), len, tp::kConnRespFixedSize);
        ASSERT_LE(peek, len);
    }
    EXPECT_GT(accepted, 0);  // the input does reach the accepting path
}

}  // namespace
