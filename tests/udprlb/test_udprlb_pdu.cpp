// The reliable-UDP datagram byte for byte: CRC, header, payload layouts and the receive check.
#include <gtest/gtest.h>

#include <string.h>

#include <random>
#include <vector>

#include "qrnlibl/qrn_bytestream.h"
#include "test_support.h"
#include "udprlb/udprlb_crc.h"
#include "udprlb/udprlb_pdu.h"

namespace {

using namespace urlb;

std::vector<uint8_t> Bytes(std::initializer_list<int> list) {
    std::vector<uint8_t> v;
    for (int b : list) v.push_back(static_cast<uint8_t>(b));
    return v;
}

// Builds a whole datagram: payload written by write(), then the header finished.
template <class W>
std::vector<uint8_t> Datagram(uint8_t type, W write) {
    std::vector<uint8_t> buf(kMaxDatagram, 0);
    int len = write(buf.data() + kOffPayload, kMaxPayload);
    EXPECT_GE(len, 0);
    int size = udprlb_pdu_finish(buf.data(), kMaxDatagram, type, len);
    buf.resize(static_cast<size_t>(size));
    return buf;
}

TEST(UdpRlbCrc, MatchesXmodemCheckValueAndTable) {
    EXPECT_EQ(0x31C3, udprlb_crc16("123456789", 9));
    EXPECT_EQ(0, udprlb_crc16("", 0));
    EXPECT_EQ(0x0000, kCrcTable[0]);
    EXPECT_EQ(0x1021, kCrcTable[1]);
    EXPECT_EQ(0x1EF0, kCrcTable[255]);
    EXPECT_EQ(0x9188, kCrcTable[0x80]);
}

TEST(UdpRlbPdu, FinishWritesTypeLengthAndCrcButLeavesStats) {
    std::vector<uint8_t> buf(kMaxDatagram, 0xee);
    memcpy(buf.data() + kOffPayload, "123456789", 9);
    ASSERT_EQ(17, udprlb_pdu_finish(buf.data(), kMaxDatagram, kPduDataReliable, 9));
    EXPECT_EQ(Bytes({8, 0, 9, 0x31, 0xC3, 0xee, 0xee, 0xee}),
              std::vector<uint8_t>(buf.begin(), buf.begin() + kHeaderSize));

    ASSERT_TRUE(udprlb_pdu_write_stats(buf.data(), kMaxDatagram, 0x1a, 3, 0x0102));
    EXPECT_EQ(Bytes({0xa3, 1, 2}), std::vector<uint8_t>(buf.begin() + 5, buf.begin() + 8));
}

TEST(UdpRlbPdu, FinishRefusesPayloadBeyondBuffer) {
    std::vector<uint8_t> buf(kMaxDatagram, 0);
    EXPECT_EQ(kMaxDatagram, udprlb_pdu_finish(buf.data(), kMaxDatagram, 9, kMaxPayload));
    EXPECT_EQ(0, udprlb_pdu_finish(buf.data(), kMaxDatagram, 9, kMaxPayload + 1));
    EXPECT_EQ(0, udprlb_pdu_finish(buf.data(), kMaxDatagram, 9, -1));
}

TEST(UdpRlbPdu, DigHoleTestIsABareHeaderWithZeroCrc) {
    auto dgram = Datagram(kPduDigHoleTest, [](uint8_t *, int) { return 0; });
    EXPECT_EQ(Bytes({5, 0, 0, 0, 0, 0, 0, 0}), dgram);
    CUdpRlbHeader h;
    EXPECT_EQ(EUdpRlbCheck::kValid, udprlb_pdu_check(dgram.data(), 8, &h));
}

TEST(UdpRlbPdu, EncodesFieldsInOrderMostSignificantByteFirst) {
    CUdpRlbDigHole hole{0x0102, 0x7f000001, 0x1f90};
    uint8_t out[16];
    ASSERT_EQ(kDigHoleSize, udprlb_pdu_write_dig_hole(hole, out, sizeof(out)));
    EXPECT_EQ(Bytes({1, 2, 127, 0, 0, 1, 0x1f, 0x90}), std::vector<uint8_t>(out, out + 8));

    CUdpRlbConnectResponse resp;
    resp.dst = 3;
    resp.result = kConnectRefused;
    resp.src = 0x0405;
    resp.src_tag = 0xbeef;
    ASSERT_EQ(kConnectResponseSize, udprlb_pdu_write_connect_response(resp, out, sizeof(out)));
    EXPECT_EQ(Bytes({0, 3, 0, 1, 4, 5, 0, 2, 0, 0, 0xbe, 0xef}), std::vector<uint8_t>(out, out + 12));

    const uint8_t data[] = {0xaa, 0xbb};
    CUdpRlbDataReliable rel;
    rel.ids = {1, 2, 3, 4};
    rel.seq = 0x01020304;
    rel.ack = 0x05060708;
    rel.sack_count = 3;  // only two entries travel
    rel.sack[0] = {0x11121314, 0x1516};
    rel.sack[1] = {0x21222324, 0x2526};
    rel.data = data;
    rel.data_len = 2;
    uint8_t big[64];
    ASSERT_EQ(kDataReliableMaxHeadSize + 2, udprlb_pdu_write_data_reliable(rel, big, sizeof(big)));
    EXPECT_EQ(Bytes({0, 1, 0, 2, 0, 3, 0, 4, 1, 2, 3, 4, 5, 6, 7, 8,
                     1, 0x11, 0x12, 0x13, 0x14, 0x15, 0x16,
                     1, 0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0, 0xaa, 0xbb}),
              std::vector<uint8_t>(big, big + 33));

    rel.sack_count = 0;
    rel.data_len = 0;
    ASSERT_EQ(kDataReliableFixedSize + 1, udprlb_pdu_write_data_reliable(rel, big, sizeof(big)));
    EXPECT_EQ(0, big[kDataReliableFixedSize]);  // the end byte is there with no entries
}

TEST(UdpRlbPdu, EveryTypeRoundTripsThroughACheckedDatagram) {
    CUdpRlbHeader h;
    auto check = [&](const std::vector<uint8_t> &d, uint8_t type) {
        ASSERT_EQ(EUdpRlbCheck::kValid, udprlb_pdu_check(d.data(), static_cast<int>(d.size()), &h));
        EXPECT_EQ(type, h.pdu_type);
    };
    const uint8_t *p = nullptr;

    CUdpRlbDigHole hole{7, 0xc0a80001, 4000}, hole_in;
    for (uint8_t type : {kPduDigHoleRequest, kPduDigHoleResponse, kPduDigHoleForward,
                         kPduDigHoleResponse2}) {
        auto d = Datagram(type, [&](uint8_t *o, int n) { return udprlb_pdu_write_dig_hole(hole, o, n); });
        check(d, type);
        p = d.data() + kOffPayload;
        ASSERT_TRUE(udprlb_pdu_read_dig_hole(p, h.len, &hole_in));
        EXPECT_EQ(hole.app_id, hole_in.app_id);
        EXPECT_EQ(hole.ip, hole_in.ip);
        EXPECT_EQ(hole.port, hole_in.port);
    }

    CUdpRlbConnectRequest req{9, kConnectWindow, 0x1234, true}, req_in;
    auto d = Datagram(kPduConnectRequest, [&](uint8_t *o, int n) { return udprlb_pdu_write_connect_request(req, o, n); });
    check(d, kPduConnectRequest);
    ASSERT_TRUE(udprlb_pdu_read_connect_request(d.data() + kOffPayload, h.len, &req_in));
    EXPECT_TRUE(req_in.has_tag);
    EXPECT_EQ(kConnectWindow, req_in.window);
    EXPECT_EQ(0x1234, req_in.src_tag);

    CUdpRlbConnectResponse resp{1, kConnectAccepted, 2, kConnectWindow, 0xfffe}, resp_in;
    resp.result = -2;  // signed field keeps its sign
    d = Datagram(kPduConnectResponse, [&](uint8_t *o, int n) { return udprlb_pdu_write_connect_response(resp, o, n); });
    check(d, kPduConnectResponse);
    ASSERT_TRUE(udprlb_pdu_read_connect_response(d.data() + kOffPayload, h.len, &resp_in));
    EXPECT_EQ(-2, resp_in.result);
    EXPECT_EQ(0xfffe, resp_in.src_tag);

    std::vector<uint8_t> data(kMaxData);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
    CUdpRlbDataReliable rel, rel_in;
    rel.ids = {10, 20, 30, 40};
    rel.seq = 0xfffffff0;
    rel.ack = 5;
    rel.sack_count = 1;
    rel.sack[0] = {100, 200};
    rel.data = data.data();
    rel.data_len = kMaxData;
    d = Datagram(kPduDataReliable, [&](uint8_t *o, int n) { return udprlb_pdu_write_data_reliable(rel, o, n); });
    check(d, kPduDataReliable);
    ASSERT_TRUE(udprlb_pdu_read_data_reliable(d.data() + kOffPayload, h.len, &rel_in));
    EXPECT_EQ(40, rel_in.ids.src_tag);
    EXPECT_EQ(rel.seq, rel_in.seq);
    ASSERT_EQ(1, rel_in.sack_count);
    EXPECT_EQ(200, rel_in.sack[0].length);
    ASSERT_EQ(kMaxData, rel_in.data_len);
    EXPECT_EQ(0, memcmp(data.data(), rel_in.data, kMaxData));

    CUdpRlbDataUnreliable unrel, unrel_in;
    unrel.ids = {1, 2, 3, 4};
    unrel.seq = 0xffff;
    unrel.attempt = kAttemptRetransmit;
    unrel.data = data.data();
    unrel.data_len = 3;
    d = Datagram(kPduDataUnreliable, [&](uint8_t *o, int n) { return udprlb_pdu_write_data_unreliable(unrel, o, n); });
    check(d, kPduDataUnreliable);
    ASSERT_TRUE(udprlb_pdu_read_data_unreliable(d.data() + kOffPayload, h.len, &unrel_in));
    EXPECT_EQ(0xffff, unrel_in.seq);
    EXPECT_EQ(kAttemptRetransmit, unrel_in.attempt);
    ASSERT_EQ(3, unrel_in.data_len);
    EXPECT_EQ(0, memcmp(data.data(), unrel_in.data, 3));

    CUdpRlbIds close{5, 6, 7, 8}, close_in;
    d = Datagram(kPduCloseRequest, [&](uint8_t *o, int n) { return udprlb_pdu_write_close_request(close, o, n); });
    check(d, kPduCloseRequest);
    ASSERT_TRUE(udprlb_pdu_read_close_request(d.data() + kOffPayload, h.len, &close_in));
    EXPECT_EQ(8, close_in.src_tag);

    CUdpRlbKeepAlive ka{11, 12}, ka_in;
    d = Datagram(kPduKeepAlive, [&](uint8_t *o, int n) { return udprlb_pdu_write_keep_alive(ka, o, n); });
    check(d, kPduKeepAlive);
    ASSERT_TRUE(udprlb_pdu_read_keep_alive(d.data() + kOffPayload, h.len, &ka_in));
    EXPECT_EQ(12, ka_in.src);

    CUdpRlbUnreliableAck ack{{1, 2, 3, 4}, 0x8001}, ack_in;
    d = Datagram(kPduUnreliableAck, [&](uint8_t *o, int n) { return udprlb_pdu_write_unreliable_ack(ack, o, n); });
    check(d, kPduUnreliableAck);
    ASSERT_TRUE(udprlb_pdu_read_unreliable_ack(d.data() + kOffPayload, h.len, &ack_in));
    EXPECT_EQ(0x8001, ack_in.seq);

    CUdpRlbLostReport lost{3, 4, 99}, lost_in;
    d = Datagram(kPduLostPacketReport, [&](uint8_t *o, int n) { return udprlb_pdu_write_lost_report(lost, o, n); });
    check(d, kPduLostPacketReport);
    EXPECT_EQ(static_cast<size_t>(kHeaderSize + kLostPacketReportSize), d.size());
    ASSERT_TRUE(udprlb_pdu_read_lost_report(d.data() + kOffPayload, h.len, &lost_in));
    EXPECT_EQ(99, lost_in.missing);
}

TEST(UdpRlbPdu, ConnectRequestWithoutTagIsReadAsUntagged) {
    const auto payload = Bytes({0, 9, 0, 2, 0, 0});
    CUdpRlbConnectRequest req;
    ASSERT_TRUE(udprlb_pdu_read_connect_request(payload.data(), 6, &req));
    EXPECT_FALSE(req.has_tag);
    EXPECT_EQ(kConnectWindow, req.window);
    EXPECT_FALSE(udprlb_pdu_read_connect_request(payload.data(), 5, &req));
}

TEST(UdpRlbPdu, DataReliableRefusesMalformedEntryLists) {
    CUdpRlbDataReliable pdu;
    const std::vector<uint8_t> head(kDataReliableFixedSize, 0);
    std::vector<uint8_t> v;  // outlives the call: pdu.data points into it
    auto with = [&](std::initializer_list<int> tail) {
        v = head;
        for (int b : tail) v.push_back(static_cast<uint8_t>(b));
        return udprlb_pdu_read_data_reliable(v.data(), static_cast<int>(v.size()), &pdu);
    };
    EXPECT_TRUE(with({0}));
    EXPECT_FALSE(with({}));                        // no end byte
    EXPECT_FALSE(with({2}));                       // unknown marker
    EXPECT_FALSE(with({1, 0, 0, 0, 1, 0}));        // entry cut short
    EXPECT_FALSE(with({1, 0, 0, 0, 1, 0, 1, 1, 0, 0, 0, 2, 0, 2,
                       1, 0, 0, 0, 3, 0, 3, 0}));  // a third entry
    EXPECT_TRUE(with({1, 0, 0, 0, 1, 0, 1, 0, 0xaa}));
    EXPECT_EQ(1, pdu.data_len);
    EXPECT_EQ(0xaa, pdu.data[0]);
}

TEST(UdpRlbPdu, CheckRefusesShortMismatchedAndCorruptedDatagrams) {
    qrntest::TraceCapture trace;
    CUdpRlbKeepAlive ka{1, 2};
    auto d = Datagram(kPduKeepAlive, [&](uint8_t *o, int n) { return udprlb_pdu_write_keep_alive(ka, o, n); });
    CUdpRlbHeader h;
    const int size = static_cast<int>(d.size());
    EXPECT_EQ(EUdpRlbCheck::kTooShort, udprlb_pdu_check(d.data(), 7, &h));
    EXPECT_EQ(EUdpRlbCheck::kTooShort, udprlb_pdu_check(d.data(), 0, &h));

    // A len one off either way is refused before the CRC is looked at.
    d[kOffCrc] ^= 0xff;
    for (int delta : {-1, 1}) {
        auto bad = d;
        CQrnByteStream::WriteUShort(bad.data(), size, kOffLen, static_cast<uint16_t>(kKeepAliveSize + delta));
        EXPECT_EQ(EUdpRlbCheck::kLengthMismatch, udprlb_pdu_check(bad.data(), size, &h));
    }
    EXPECT_EQ(0, trace.Count({"CRC16 error"}));
    d[kOffCrc] ^= 0xff;

    for (int bit = 0; bit < kKeepAliveSize * 8; ++bit) {
        auto bad = d;
        bad[kOffPayload + bit / 8] ^= static_cast<uint8_t>(1 << (bit % 8));
        EXPECT_EQ(EUdpRlbCheck::kCrcError, udprlb_pdu_check(bad.data(), size, &h)) << bit;
    }
    EXPECT_EQ(kKeepAliveSize * 8 * 2, trace.Count({"CRC16 error"}));  // error lines come twice
    for (int off = kOffStatsIndex; off < kHeaderSize; ++off) {
        auto stats = d;
        stats[static_cast<size_t>(off)] ^= 0x81;
        EXPECT_EQ(EUdpRlbCheck::kValid, udprlb_pdu_check(stats.data(), size, &h));
    }
}

// Arbitrary and truncated datagrams: the check and every decoder stay inside the bytes given
// (AddressSanitizer sees each buffer at its exact size) and a decoder accepts only what fits.
TEST(UdpRlbPdu, RandomAndTruncatedInputNeverReadsOutOfBounds) {
    std::mt19937 rng(12345);
    CUdpRlbDataReliable rel;
    rel.ids = {1, 2, 3, 4};
    rel.sack_count = 2;
    const uint8_t data[4] = {1, 2, 3, 4};
    rel.data = data;
    rel.data_len = 4;
    auto good = Datagram(kPduDataReliable, [&](uint8_t *o, int n) { return udprlb_pdu_write_data_reliable(rel, o, n); });
    for (int iter = 0; iter < 20000; ++iter) {
        std::vector<uint8_t> buf;
        if (iter % 2 == 0) {
            buf.assign(good.begin(), good.begin() + static_cast<long>(rng() % (good.size() + 1)));
        } else {
            buf.resize(rng() % 48);
            for (auto &b : buf) b = static_cast<uint8_t>(rng());
            if (buf.size() >= kHeaderSize && iter % 4 == 1) {  // make some pass the check
                const int len = static_cast<int>(buf.size()) - kHeaderSize;
                udprlb_pdu_finish(buf.data(), static_cast<int>(buf.size()), buf[0], len);
            }
        }
        std::vector<uint8_t> exact(buf);  // no slack behind the bytes
        const int n = static_cast<int>(exact.size());
        CUdpRlbHeader h;
        const EUdpRlbCheck r = udprlb_pdu_check(exact.data(), n, &h);
        if (n < kHeaderSize) { EXPECT_EQ(EUdpRlbCheck::kTooShort, r); }
        if (r == EUdpRlbCheck::kValid) { EXPECT_EQ(n, h.len + kHeaderSize); }
        if (iter % 2 == 0 && r != EUdpRlbCheck::kValid) { EXPECT_LT(buf.size(), good.size()); }

        const uint8_t *p = exact.data() + (n >= kHeaderSize ? kHeaderSize : n);
        const int len = n >= kHeaderSize ? n - kHeaderSize : 0;
        CUdpRlbDataReliable dr;
        if (udprlb_pdu_read_data_reliable(p, len, &dr)) {
            EXPECT_GE(dr.data_len, 0);
            EXPECT_EQ(p + len, dr.data + dr.data_len);
            EXPECT_GE(len, kDataReliableFixedSize + 1 + dr.sack_count * kSackEntrySize);
        }
        CUdpRlbDataUnreliable du;
        if (udprlb_pdu_read_data_unreliable(p, len, &du)) {
            EXPECT_EQ(len - kDataUnreliableFixedSize, du.data_len);
        }
        CUdpRlbConnectRequest cr;
        EXPECT_EQ(len >= kConnectRequestNoTagSize, udprlb_pdu_read_connect_request(p, len, &cr));
        if (len >= kConnectRequestNoTagSize) { EXPECT_EQ(len >= kConnectRequestSize, cr.has_tag); }
        CUdpRlbConnectResponse cs;
        EXPECT_EQ(len >= kConnectResponseSize, udprlb_pdu_read_connect_response(p, len, &cs));
        CUdpRlbDigHole dh;
        EXPECT_EQ(len >= kDigHoleSize, udprlb_pdu_read_dig_hole(p, len, &dh));
        CUdpRlbIds ids;
        EXPECT_EQ(len >= kCloseRequestSize, udprlb_pdu_read_close_request(p, len, &ids));
        CUdpRlbKeepAlive ka;
        EXPECT_EQ(len >= kKeepAliveSize, udprlb_pdu_read_keep_alive(p, len, &ka));
        CUdpRlbUnreliableAck ua;
        EXPECT_EQ(len >= kUnreliableAckSize, udprlb_pdu_read_unreliable_ack(p, len, &ua));
        CUdpRlbLostReport lr;
        EXPECT_EQ(len >= kLostPacketReportSize, udprlb_pdu_read_lost_report(p, len, &lr));
    }
}

TEST(UdpRlbPdu, EncodersRefuseWhatDoesNotFit) {
    uint8_t out[kMaxPayload];
    CUdpRlbDigHole hole;
    EXPECT_EQ(-1, udprlb_pdu_write_dig_hole(hole, out, kDigHoleSize - 1));
    CUdpRlbDataUnreliable unrel;
    std::vector<uint8_t> data(kMaxData + 1);
    unrel.data = data.data();
    unrel.data_len = kMaxData + 1;
    EXPECT_EQ(-1, udprlb_pdu_write_data_unreliable(unrel, out, sizeof(out)));
    CUdpRlbDataReliable rel;
    rel.data_len = 1;  // no data pointer
    EXPECT_EQ(-1, udprlb_pdu_write_data_reliable(rel, out, sizeof(out)));
}

}  // namespace
