// Transport PDU header and resume handshake: exact bytes, refusals, and the resume decision
// with sequence numbers on both sides of the 32-bit wrap.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <vector>

#include "qrn/qrn_tp.h"
#include "test_support.h"
#include "transport/tp_defs.h"
#include "transport/tp_pdu.h"
#include "transport/tp_seq.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t kGuard = 0xEE;

static_assert(tp::SeqInWindow(0x10, 0xfffffff0u, 0x20), "window across the wrap");
static_assert(!tp::SeqInWindow(0xffffffefu, 0xfffffff0u, 0x20), "just before the base");
static_assert(!tp::SeqInWindow(0x11, 0xfffffff0u, 0x20), "just past the end");

TEST(TpPduHeader, KeepAliveAndFullDataHeaderBytes) {
    uint8_t buf[4];
    memset(buf, kGuard, sizeof(buf));
    ASSERT_EQ(tp::WritePduHeader(buf, sizeof(buf), 0, tp::kPduData), tp::kPduHeaderSize);
    EXPECT_EQ(Bytes(buf, buf + 4), (Bytes{0x00, 0x00, 0x03, kGuard}));

    ASSERT_EQ(tp::WritePduHeader(buf, sizeof(buf), tp::kMaxDataBody, tp::kPduData), 3);
    EXPECT_EQ(Bytes(buf, buf + 3), (Bytes{0x7f, 0xf0, 0x03}));

    ASSERT_EQ(tp::WritePduHeader(buf, sizeof(buf), 0, tp::kPduDisReq), 3);
    EXPECT_EQ(Bytes(buf, buf + 3), (Bytes{0x00, 0x00, 0x04}));
}

TEST(TpPduHeader, WriterRefusesOversizedBodyAndShortBuffer) {
    uint8_t buf[3] = {kGuard, kGuard, kGuard};
    EXPECT_EQ(tp::WritePduHeader(buf, 3, tp::kMaxDataBody + 1, tp::kPduData), -1);
    EXPECT_EQ(tp::WritePduHeader(buf, 3, -1, tp::kPduData), -1);
    EXPECT_EQ(tp::WritePduHeader(buf, 2, 10, tp::kPduData), -1);
    EXPECT_EQ(Bytes(buf, buf + 3), (Bytes{kGuard, kGuard, kGuard}));
}

TEST(TpPduHeader, ReaderAcceptsBodiesUpTo32768AndRefusesLongerWithErrorLine) {
    qrntest::TraceCapture trace;
    tp::CTpPduHeader h;
    const uint8_t at_limit[] = {0x80, 0x00, 0x09};
    ASSERT_EQ(tp::ReadPduHeader(at_limit, 3, h), 0);
    EXPECT_EQ(h.body_len, 32768);
    EXPECT_EQ(h.type, 9);

    const uint8_t over[] = {0x80, 0x01, 0x03};
    EXPECT_EQ(tp::ReadPduHeader(over, 3, h), -1);
    EXPECT_EQ(h.body_len, 32769);
    EXPECT_EQ(trace.Count({" 0.0 E", "PDU body too long", "32769"}), 1);

    const uint8_t max16[] = {0xff, 0xff, 0x03};
    EXPECT_EQ(tp::ReadPduHeader(max16, 3, h), -1);
    EXPECT_EQ(tp::ReadPduHeader(at_limit, 2, h), -1);
    EXPECT_EQ(tp::ReadPduHeader(nullptr, 3, h), -1);
}

TEST(TpPduHeader, ClosingTypesMapToReasonsAndOtherTypesAreStreamData) {
    EXPECT_EQ(tp::ClosingPduReason(tp::kPduDisReq), QRN_TP_REASON_PEER_CLOSED);
    EXPECT_EQ(tp::ClosingPduReason(tp::kPduUplinkDisconnect), QRN_TP_REASON_UPLINK_DISCONNECT);
    EXPECT_EQ(tp::ClosingPduReason(tp::kPduSessionLeft), QRN_TP_REASON_SESSION_LEFT);
    EXPECT_EQ(tp::ClosingPduReason(tp::kPduAbortInConnecting), QRN_TP_REASON_UPLINK_DISCONNECT);
    for (int type : {0, 1, 2, 3, 8, 9, 255}) {
        EXPECT_TRUE(tp::IsStreamPdu(static_cast<uint8_t>(type))) << type;
    }
    for (int type : {4, 5, 6, 7}) EXPECT_FALSE(tp::IsStreamPdu(static_cast<uint8_t>(type))) << type;

    EXPECT_EQ(tp::ClosingPduType(QRN_TP_CLOSE_NORMAL), tp::kPduDisReq);
    EXPECT_EQ(tp::ClosingPduType(QRN_TP_CLOSE_DISCONNECT), tp::kPduDisReq);
    EXPECT_EQ(tp::ClosingPduType(3), tp::kPduDisReq);
    EXPECT_EQ(tp::ClosingPduType(QRN_TP_CLOSE_UPLINK_DISCONNECT), tp::kPduUplinkDisconnect);
    EXPECT_EQ(tp::ClosingPduType(QRN_TP_CLOSE_SESSION_LEFT), tp::kPduSessionLeft);
    EXPECT_EQ(tp::ClosingPduType(QRN_TP_CLOSE_ABORT_CONNECTING), tp::kPduAbortInConnecting);
}

TEST(TpResume, MessagesEncodeExactlyAndRoundTrip) {
    uint8_t buf[16];
    memset(buf, kGuard, sizeof(buf));
    ASSERT_EQ(tp::WriteResumeReq(buf, sizeof(buf), {0x01020304, 1, 30}), tp::kResumeReqSize);
    EXPECT_EQ(Bytes(buf, buf + 13),
              (Bytes{1, 2, 3, 4, 0, 0, 0, 1, 0, 0, 0, 30, kGuard}));
    tp::CTpResumeReq req;
    ASSERT_EQ(tp::ReadResumeReq(buf, 12, req), 0);
    EXPECT_EQ(req.recv_next, 0x01020304u);
    EXPECT_EQ(req.send_base, 1u);
    EXPECT_EQ(req.send_kept, 30u);

    ASSERT_EQ(tp::WriteResumeResp(buf, sizeof(buf), {tp::kResumeRefused, 0}), 6);
    EXPECT_EQ(Bytes(buf, buf + 6), (Bytes{0, 1, 0, 0, 0, 0}));
    ASSERT_EQ(tp::WriteResumeResp(buf, sizeof(buf), {tp::kResumeAccepted, 0xfffffffeu}), 6);
    EXPECT_EQ(Bytes(buf, buf + 6), (Bytes{0, 0, 0xff, 0xff, 0xff, 0xfe}));
    tp::CTpResumeResp resp;
    ASSERT_EQ(tp::ReadResumeResp(buf, 6, resp), 0);
    EXPECT_EQ(resp.result, tp::kResumeAccepted);
    EXPECT_EQ(resp.recv_next, 0xfffffffeu);
}

TEST(TpResume, TruncatedMessagesAreRefused) {
    uint8_t buf[12] = {};
    tp::CTpResumeReq req;
    tp::CTpResumeResp resp;
    EXPECT_EQ(tp::ReadResumeReq(buf, 11, req), -1);
    EXPECT_EQ(tp::ReadResumeResp(buf, 5, resp), -1);
    EXPECT_EQ(tp::WriteResumeReq(buf, 11, {1, 1, 1}), -1);
    EXPECT_EQ(tp::WriteResumeResp(buf, 5, {0, 1}), -1);
}

TEST(TpResume, FreshServerAcceptsFirstPath) {
    const tp::CTpResumeResp resp = tp::AnswerResumeReq({1, 1, 30}, 1, 0, 1, tp::kSendKeepMax);
    EXPECT_EQ(resp.result, tp::kResumeAccepted);
    EXPECT_EQ(resp.recv_next, 1u);
}

TEST(TpResume, RefusedWhenClientNoLongerKeepsWhatServerLacks) {
    // The server expects byte 40; the client dropped everything before 50.
    const tp::CTpResumeResp resp = tp::AnswerResumeReq({1, 50, 10}, 1, 0, 40, tp::kSendKeepMax);
    EXPECT_EQ(resp.result, tp::kResumeRefused);
    EXPECT_EQ(resp.recv_next, 0u);
    // Its upper end: the server may be up to date with all the client keeps.
    EXPECT_EQ(tp::AnswerResumeReq({1, 50, 10}, 1, 0, 60, tp::kSendKeepMax).result, tp::kResumeAccepted);
    EXPECT_EQ(tp::AnswerResumeReq({1, 50, 10}, 1, 0, 61, tp::kSendKeepMax).result, tp::kResumeRefused);
}

TEST(TpResume, RefusedWhenServerNoLongerKeepsWhatClientLacks) {
    // 300000 stream bytes kept to the last 262144: the oldest kept byte is 37857.
    const uint32_t base = 300000 + 1 - tp::kSendKeepMax;
    ASSERT_EQ(base, 37857u);
    const uint32_t kept = tp::kSendKeepMax;
    EXPECT_EQ(tp::AnswerResumeReq({base - 1, 1, 0}, base, kept, 1, tp::kSendKeepMax).result, tp::kResumeRefused);
    EXPECT_EQ(tp::AnswerResumeReq({base, 1, 0}, base, kept, 1, tp::kSendKeepMax).result, tp::kResumeAccepted);
    EXPECT_EQ(tp::AnswerResumeReq({base + kept, 1, 0}, base, kept, 1, tp::kSendKeepMax).result, tp::kResumeAccepted);
    EXPECT_EQ(tp::AnswerResumeReq({base + kept + 1, 1, 0}, base, kept, 1, tp::kSendKeepMax).result,
              tp::kResumeRefused);
}

TEST(TpResume, DecisionHoldsAcrossSequenceWrap) {
    // Server's kept bytes run from 0xffffff00 over the wrap to 0x100.
    const uint32_t base = 0xffffff00u;
    const uint32_t kept = 0x200;
    EXPECT_EQ(tp::AnswerResumeReq({0x50, 1, 0}, base, kept, 1, tp::kSendKeepMax).result, tp::kResumeAccepted);
    EXPECT_EQ(tp::AnswerResumeReq({0x100, 1, 0}, base, kept, 1, tp::kSendKeepMax).result, tp::kResumeAccepted);
    EXPECT_EQ(tp::AnswerResumeReq({0x101, 1, 0}, base, kept, 1, tp::kSendKeepMax).result, tp::kResumeRefused);
    EXPECT_EQ(tp::AnswerResumeReq({base - 1, 1, 0}, base, kept, 1, tp::kSendKeepMax).result, tp::kResumeRefused);
    // The client's kept bytes wrap as well.
    const tp::CTpResumeResp resp = tp::AnswerResumeReq({0x50, 0xfffffff0u, 0x40}, base, kept, 0x20, tp::kSendKeepMax);
    EXPECT_EQ(resp.result, tp::kResumeAccepted);
    EXPECT_EQ(resp.recv_next, 0x20u);
    EXPECT_EQ(tp::AnswerResumeReq({0x50, 0xfffffff0u, 0x40}, base, kept, 0x31, tp::kSendKeepMax).result,
              tp::kResumeRefused);
}

TEST(TpResume, ClientChecksResultAndAckAgainstItsKeptBytes) {
    EXPECT_TRUE(tp::ResumeRespAcceptable({tp::kResumeAccepted, 1}, 1, 30));
    EXPECT_TRUE(tp::ResumeRespAcceptable({tp::kResumeAccepted, 31}, 1, 30));
    EXPECT_FALSE(tp::ResumeRespAcceptable({tp::kResumeAccepted, 32}, 1, 30));
    EXPECT_FALSE(tp::ResumeRespAcceptable({tp::kResumeAccepted, 9}, 10, 30));
    EXPECT_FALSE(tp::ResumeRespAcceptable({tp::kResumeRefused, 0}, 0, 30));
    EXPECT_FALSE(tp::ResumeRespAcceptable({2, 10}, 10, 30));
    EXPECT_TRUE(tp::ResumeRespAcceptable({tp::kResumeAccepted, 5}, 0xfffffff0u, 0x20));
    EXPECT_FALSE(tp::ResumeRespAcceptable({tp::kResumeAccepted, 0x11}, 0xfffffff0u, 0x20));
}

}  // namespace
