// The connect PDU, byte for byte, and its gathering from a stream that delivers it in pieces.
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "rdtp/rdtp_pdu.h"

namespace {

using rdtp::kPduSize;

// A path that holds bytes and hands out at most what is asked (or a fixed answer).
struct CFakePath {
    std::string bytes;
    std::vector<int> asked;
    int forced = 0;  // when not 0: the result of every read, bytes untouched

    rdtp_pdu_reader Reader() {
        return [this](void *buffer, int max) {
            asked.push_back(max);
            if (forced != 0) return forced;
            int n = std::min<int>(max, static_cast<int>(bytes.size()));
            memcpy(buffer, bytes.data(), static_cast<size_t>(n));
            bytes.erase(0, static_cast<size_t>(n));
            return n;
        };
    }
};

CRdtpConnectPdu Sample() {
    CRdtpConnectPdu pdu;
    pdu.serv_tag = 0x01020304;
    pdu.cli_tag = 0x05060708;
    pdu.conn_id = 0x090a;
    pdu.ordinal = 0x0b0c;
    pdu.conn_mode = 3;
    return pdu;
}

const uint8_t kSampleBytes[kPduSize] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 3};

TEST(RdtpPdu, WritesFieldsInOrderMostSignificantByteFirst) {
    uint8_t out[rdtp::kPduBufferSize];
    memset(out, 0xee, sizeof(out));
    ASSERT_EQ(kPduSize, rdtp_pdu_write(Sample(), out, sizeof(out)));
    EXPECT_EQ(0, memcmp(out, kSampleBytes, kPduSize));
    EXPECT_EQ(0xee, out[kPduSize]);  // nothing written past the PDU
}

TEST(RdtpPdu, ReadsBackEveryFieldAtItsFullWidth) {
    CRdtpConnectPdu pdu;
    ASSERT_TRUE(rdtp_pdu_read(kSampleBytes, kPduSize, &pdu));
    EXPECT_EQ(0x01020304u, pdu.serv_tag);
    EXPECT_EQ(0x05060708u, pdu.cli_tag);
    EXPECT_EQ(0x090a, pdu.conn_id);
    EXPECT_EQ(0x0b0c, pdu.ordinal);
    EXPECT_EQ(3, pdu.conn_mode);

    CRdtpConnectPdu max;
    max.serv_tag = max.cli_tag = 0xffffffffu;
    max.conn_id = max.ordinal = 0xffff;
    max.conn_mode = 0xff;
    uint8_t out[kPduSize];
    ASSERT_EQ(kPduSize, rdtp_pdu_write(max, out, sizeof(out)));
    CRdtpConnectPdu back;
    ASSERT_TRUE(rdtp_pdu_read(out, kPduSize, &back));
    EXPECT_EQ(0xffffffffu, back.serv_tag);
    EXPECT_EQ(0xffffffffu, back.cli_tag);
    EXPECT_EQ(0xffff, back.conn_id);
    EXPECT_EQ(0xffff, back.ordinal);
    EXPECT_EQ(0xff, back.conn_mode);
}

TEST(RdtpPdu, RefusesShortBuffersAndInput) {
    uint8_t out[kPduSize - 1];
    EXPECT_EQ(0, rdtp_pdu_write(Sample(), out, sizeof(out)));
    EXPECT_EQ(0, rdtp_pdu_write(Sample(), nullptr, kPduSize));
    CRdtpConnectPdu pdu;
    EXPECT_FALSE(rdtp_pdu_read(kSampleBytes, kPduSize - 1, &pdu));
    EXPECT_FALSE(rdtp_pdu_read(nullptr, kPduSize, &pdu));
}

TEST(RdtpPdu, RefusalIsThirteenZeroBytesAndIsToldByServerTagAlone) {
    uint8_t out[kPduSize];
    memset(out, 0xee, sizeof(out));
    ASSERT_EQ(kPduSize, rdtp_pdu_write(rdtp_pdu_refusal(), out, sizeof(out)));
    for (uint8_t b : out) EXPECT_EQ(0, b);

    CRdtpConnectPdu pdu = Sample();
    EXPECT_FALSE(rdtp_pdu_is_refusal(pdu));
    pdu.serv_tag = 0;
    EXPECT_TRUE(rdtp_pdu_is_refusal(pdu));  // whatever the other fields hold
    pdu = CRdtpConnectPdu{};
    pdu.serv_tag = 1;
    EXPECT_FALSE(rdtp_pdu_is_refusal(pdu));
}

TEST(RdtpPduGather, ParsesOnceAfterTheThirteenthByteOfPieces) {
    CFakePath path;
    uint8_t buf[kPduSize] = {};
    uint16_t len = 0;
    CRdtpConnectPdu pdu;

    path.bytes.assign(reinterpret_cast<const char *>(kSampleBytes), 5);
    CRdtpGatherResult first = rdtp_pdu_gather(buf, &len, path.Reader(), &pdu);
    EXPECT_FALSE(first.complete);
    EXPECT_EQ(5, first.consumed);
    EXPECT_EQ(5, len);

    path.bytes.assign(reinterpret_cast<const char *>(kSampleBytes) + 5, 8);
    path.bytes += "after";
    CRdtpGatherResult second = rdtp_pdu_gather(buf, &len, path.Reader(), &pdu);
    EXPECT_TRUE(second.complete);
    EXPECT_EQ(8, second.consumed);
    EXPECT_EQ(0, len);
    EXPECT_EQ(0x0b0cu, pdu.ordinal);
    EXPECT_EQ(0x01020304u, pdu.serv_tag);

    // It asked for the rest of the PDU only: what followed stays in the path.
    EXPECT_EQ((std::vector<int>{kPduSize, kPduSize - 5}), path.asked);
    EXPECT_EQ("after", path.bytes);
}

TEST(RdtpPduGather, AWholePduWithMoreBehindItTakesExactlyThirteen) {
    CFakePath path;
    path.bytes.assign(reinterpret_cast<const char *>(kSampleBytes), kPduSize);
    path.bytes += "0123456789";
    uint8_t buf[kPduSize] = {};
    uint16_t len = 0;
    CRdtpConnectPdu pdu;
    CRdtpGatherResult got = rdtp_pdu_gather(buf, &len, path.Reader(), &pdu);
    EXPECT_TRUE(got.complete);
    EXPECT_EQ(kPduSize, got.consumed);
    EXPECT_EQ("0123456789", path.bytes);
}

TEST(RdtpPduGather, AnEmptyOrFailedReadChangesNothing) {
    CFakePath path;
    uint8_t buf[kPduSize] = {};
    uint16_t len = 4;
    CRdtpConnectPdu pdu;
    for (int result : {0, -1}) {
        path.forced = result;
        CRdtpGatherResult got = rdtp_pdu_gather(buf, &len, path.Reader(), &pdu);
        EXPECT_FALSE(got.complete);
        EXPECT_EQ(0, got.consumed);
        EXPECT_EQ(4, len);
    }
}

TEST(RdtpPduGather, NeverCountsMoreThanItAskedFor) {
    CFakePath path;
    path.forced = 100;  // a path that claims more than it was given room for
    uint8_t buf[kPduSize] = {};
    uint16_t len = 10;
    CRdtpConnectPdu pdu;
    CRdtpGatherResult got = rdtp_pdu_gather(buf, &len, path.Reader(), &pdu);
    EXPECT_TRUE(got.complete);
    EXPECT_EQ(3, got.consumed);
    EXPECT_EQ(0, len);
}

TEST(RdtpPduGather, ACountBeyondTheBufferStartsOverInsideIt) {
    CFakePath path;
    path.bytes.assign(reinterpret_cast<const char *>(kSampleBytes), kPduSize);
    uint8_t buf[kPduSize] = {};
    uint16_t len = 40;
    CRdtpConnectPdu pdu;
    CRdtpGatherResult got = rdtp_pdu_gather(buf, &len, path.Reader(), &pdu);
    EXPECT_EQ((std::vector<int>{kPduSize}), path.asked);
    EXPECT_TRUE(got.complete);
    EXPECT_EQ(0x05060708u, pdu.cli_tag);
}

}  // namespace
