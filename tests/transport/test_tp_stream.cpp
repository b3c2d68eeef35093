// The byte stream of an open connection: chunks and PDUs on the wire, write blocking,
// keep-alive, the receive time-out, closing PDUs and protocol errors. A raw peer shows what
// the library puts on the wire and feeds it what a peer could send.
#include <gtest/gtest.h>

#include <thread>

#include "qrnlibl/qrn_time.h"
#include "tp_fixture.h"
#include "transport/tp_registry.h"

namespace tptest {
namespace {

using TpStream = TpRawServerTest;

// A long write goes out in full PDUs of 32752 bytes and one short tail.
TEST_F(TpStream, SendCutsChunksIntoPdusOfTheLimit) {
    CApp &client = NewApp();
    int h = 0;
    auto raw = OpenRaw(client, &h);
    ASSERT_TRUE(raw);
    const Bytes data = Pattern(100000, 11);
    std::vector<int> takes;
    std::thread writer([&] { EXPECT_EQ(data.size(), WriteAll(client, h, data, &takes)); });
    std::vector<int> sizes;
    const Bytes wire = raw->RecvStream(data.size(), &sizes);
    writer.join();
    EXPECT_EQ(data, Decrypted(wire));
    EXPECT_EQ((std::vector<int>{32752, 32752, 32752, 1744}), sizes);
    for (size_t i = 0; i + 1 < takes.size(); ++i) EXPECT_EQ(0, takes[i] % tp::kMaxDataBody) << i;
}

// A peer that reads nothing fills the path: Send takes less, then nothing, until message 4.
TEST_F(TpStream, WriteBlockingEndsWithMessage4) {
    CApp &client = NewApp();
    int h = 0;
    auto raw = OpenRaw(client, &h);
    ASSERT_TRUE(raw);
    const Bytes block = Pattern(60000, 4);
    size_t taken = 0;
    for (int r = static_cast<int>(block.size()); r == static_cast<int>(block.size());) {
        r = qrn_tp_send(h, block.data(), static_cast<int>(block.size()), 0);
        ASSERT_GE(r, 0);
        taken += static_cast<size_t>(r);
    }
    const int writable = client.Count(QRN_TP_MSG_WRITABLE);
    EXPECT_EQ(0, qrn_tp_send(h, block.data(), static_cast<int>(block.size()), 0));
    EXPECT_EQ(taken, raw->RecvStream(taken).size());
    ASSERT_TRUE(client.rec().WaitForCount(QRN_TP_MSG_WRITABLE, writable + 1));
    EXPECT_EQ(0u, client.WaitFor(QRN_TP_MSG_WRITABLE).p1);
    EXPECT_EQ(100, qrn_tp_send(h, block.data(), 100, 0));
}

TEST_F(TpStream, KeepAliveFollowsFiveSecondsOfSilence) {
    CApp &client = NewApp();
    int h = 0;
    auto raw = OpenRaw(client, &h);
    ASSERT_TRUE(raw);
    const uint32_t open_tick = get_tick_count();
    EXPECT_EQ((Bytes{0, 0, tp::kPduData}), raw->Recv(3));
    const uint32_t first = calc_tick_diff(open_tick, get_tick_count());
    EXPECT_GT(first, tp::kKeepAliveMs - 100);
    EXPECT_LT(first, tp::kKeepAliveMs + 3000);
    EXPECT_EQ((Bytes{0, 0, tp::kPduData}), raw->Recv(3));
}

TEST_F(TpStream, SilentPeerEndsTheConnectionWithReason2) {
    qrntest::ClockFactor fast(50);
    CApp &client = NewApp();
    int h = 0;
    auto raw = OpenRaw(client, &h);
    ASSERT_TRUE(raw);
    const uint32_t open_tick = get_tick_count();
    EXPECT_EQ(static_cast<uintptr_t>(QRN_TP_REASON_PATH_FAILED), client.WaitFor(QRN_TP_MSG_CLOSED).p1);
    const uint32_t elapsed = calc_tick_diff(open_tick, get_tick_count());
    EXPECT_GT(elapsed, tp::kRecvTimeoutMs);
    EXPECT_LT(elapsed, tp::kRecvTimeoutMs + 10000);
    EXPECT_EQ(QRN_TP_ERR_UNKNOWN_HANDLE, qrn_tp_send(h, "x", 1, 0));
}

// The timer's tick is taken before it runs; an event may store a later tick meanwhile.
TEST_F(TpStream, TimerTickOlderThanTheLastByteIsNoTimeOut) {
    CApp &client = NewApp();
    int h = 0;
    auto raw = OpenRaw(client, &h);
    ASSERT_TRUE(raw);
    raw->SendPdu(tp::kPduData, Encrypted(Bytes{7}));
    ASSERT_TRUE(client.WaitStream(h, 1));
    qrn_tp_timer_callback(0, QRN_MSG_TIMER, 0, get_tick_count() - 1000, 0, 0);
    qrn_tp_timer_callback(0, QRN_MSG_TIMER, 0, get_tick_count() - 1000, 0, 0);
    EXPECT_EQ(1, qrn_tp_send(h, "x", 1, 0));
    EXPECT_EQ(0, client.Count(QRN_TP_MSG_CLOSED));
}

// Each close reason puts its closing PDU on the wire after the unsent bytes.
TEST_F(TpStream, CloseReasonsChooseTheClosingPdu) {
    const std::vector<std::pair<int, uint8_t>> cases = {
        {QRN_TP_CLOSE_NORMAL, tp::kPduDisReq},
        {QRN_TP_CLOSE_DISCONNECT, tp::kPduDisReq},
        {QRN_TP_CLOSE_UPLINK_DISCONNECT, tp::kPduUplinkDisconnect},
        {QRN_TP_CLOSE_SESSION_LEFT, tp::kPduSessionLeft},
        {QRN_TP_CLOSE_ABORT_CONNECTING, tp::kPduAbortInConnecting},
        {12, tp::kPduDisReq},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.first);
        CApp &client = NewApp();
        CRawListener listener;
        int h = 0;
        auto raw = OpenAgainstRaw(listener, client, &h);
        ASSERT_TRUE(raw);
        const Bytes last = Pattern(700, 3);
        ASSERT_EQ(700, qrn_tp_send(h, last.data(), 700, 0));
        ASSERT_EQ(QRN_TP_OK, qrn_tp_close(h, c.first));
        EXPECT_EQ(last, Decrypted(raw->RecvStream(last.size())));
        tp::CTpPduHeader header;
        Bytes body;
        ASSERT_TRUE(raw->RecvPdu(&header, &body));
        EXPECT_EQ(c.second, header.type);
        EXPECT_EQ(0, header.body_len);
        EXPECT_TRUE(raw->SeesClose());  // released once its closing PDU was out
        EXPECT_TRUE(WaitUntil([] { return tp_debug::live_connections() == 0; }));
        EXPECT_EQ(1u, client.Messages().size());
    }
}

// Between library peers: the reason that each closing PDU gives the peer's application.
TEST_F(TpStream, PeerHearsTheReasonOfEachClose) {
    const std::vector<std::pair<int, int>> cases = {
        {QRN_TP_CLOSE_NORMAL, QRN_TP_REASON_PEER_CLOSED},
        {QRN_TP_CLOSE_DISCONNECT, QRN_TP_REASON_PEER_CLOSED},
        {QRN_TP_CLOSE_UPLINK_DISCONNECT, QRN_TP_REASON_UPLINK_DISCONNECT},
        {QRN_TP_CLOSE_SESSION_LEFT, QRN_TP_REASON_SESSION_LEFT},
        {QRN_TP_CLOSE_ABORT_CONNECTING, QRN_TP_REASON_UPLINK_DISCONNECT},
    };
    CApp &server = NewApp();
    const uint16_t port = Listen(server);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.first);
        CApp &client = NewApp();
        int h = 0;
        int sh = 0;
        server.rec().Clear();
        Establish(client, server, port, &h, &sh);
        const Bytes last = Pattern(3000, 8);
        ASSERT_EQ(3000, qrn_tp_send(sh, last.data(), 3000, 0));
        ASSERT_EQ(QRN_TP_OK, qrn_tp_close(sh, c.first));
        EXPECT_EQ(static_cast<uintptr_t>(c.second), client.WaitFor(QRN_TP_MSG_CLOSED).p1);
        EXPECT_EQ(last, client.Stream(h));
        EXPECT_EQ(QRN_TP_ERR_UNKNOWN_HANDLE, qrn_tp_send(h, "x", 1, 0));
        EXPECT_TRUE(WaitUntil([] { return tp_debug::live_connections() == 0; }));
        EXPECT_EQ(1, client.Count(QRN_TP_MSG_CLOSED));
        EXPECT_EQ(0, server.Count(QRN_TP_MSG_CLOSED));
    }
}

TEST_F(TpStream, DataPduInThreePiecesIsDeliveredOnce) {
    CApp &client = NewApp();
    int h = 0;
    auto raw = OpenRaw(client, &h);
    ASSERT_TRUE(raw);
    const Bytes data = Pattern(1000, 17);
    const Bytes wire = Encrypted(data);
    // Each piece is read by the layer before the next one is sent.
    raw->Send(Bytes{0x03, 0xe8, tp::kPduData});
    ASSERT_TRUE(WaitUntil([&] { return raw->UnreadByPeer() == 0; }));
    raw->Send(Bytes(wire.begin(), wire.begin() + 500));
    ASSERT_TRUE(WaitUntil([&] { return raw->UnreadByPeer() == 0; }));
    EXPECT_EQ(0, client.Count(QRN_TP_MSG_DATA));
    raw->Send(Bytes(wire.begin() + 500, wire.end()));
    ASSERT_TRUE(client.WaitStream(h, data.size()));
    EXPECT_EQ(data, client.Stream(h));
    EXPECT_EQ(1, client.Count(QRN_TP_MSG_DATA));
}

// Any type that is not a closing one carries stream bytes, up to a body of 32768.
TEST_F(TpStream, EveryNonClosingTypeCarriesStreamBytesUpToTheLimit) {
    CApp &client = NewApp();
    int h = 0;
    auto raw = OpenRaw(client, &h);
    ASSERT_TRUE(raw);
    const Bytes big = Pattern(tp::kMaxPduBody, 2);
    raw->SendPdu(tp::kPduData, Bytes());
    raw->SendPdu(9, Encrypted(Bytes{1, 2, 3, 4, 5}));
    raw->SendPdu(tp::kPduData, Encrypted(big));
    ASSERT_TRUE(client.WaitStream(h, 5 + big.size()));
    Bytes expected{1, 2, 3, 4, 5};
    expected.insert(expected.end(), big.begin(), big.end());
    EXPECT_EQ(expected, client.Stream(h));
}

// A burst of PDUs of every size, far beyond one receive and one read event's budget, cut
// anywhere by the path: framed and delivered whole and in order, and the closing PDU at its
// end is still seen.
TEST_F(TpStream, BurstOfPdusIsFramedAcrossReadsUpToItsClosingPdu) {
    CApp &client = NewApp();
    int h = 0;
    auto raw = OpenRaw(client, &h);
    ASSERT_TRUE(raw);
    const size_t sizes[] = {0, 1, 2, 3, 4, 61, 1000, 32751, static_cast<size_t>(tp::kMaxPduBody), 7};
    Bytes wire;
    Bytes expected;
    for (int i = 0; i < 40; ++i) {
        const Bytes body = Pattern(sizes[i % 10], static_cast<uint8_t>(i));
        const Bytes encrypted = Encrypted(body);
        wire.push_back(static_cast<uint8_t>(body.size() >> 8));
        wire.push_back(static_cast<uint8_t>(body.size()));
        wire.push_back(tp::kPduData);
        wire.insert(wire.end(), encrypted.begin(), encrypted.end());
        expected.insert(expected.end(), body.begin(), body.end());
    }
    wire.insert(wire.end(), {0, 0, tp::kPduDisReq});
    raw->Send(wire);
    ASSERT_TRUE(client.WaitStream(h, expected.size()));
    EXPECT_EQ(expected, client.Stream(h));
    EXPECT_EQ(static_cast<uintptr_t>(QRN_TP_REASON_PEER_CLOSED), client.WaitFor(QRN_TP_MSG_CLOSED).p1);
}

TEST_F(TpStream, BodyLengthAboveTheLimitEndsWithReason6) {
    CApp &client = NewApp();
    int h = 0;
    auto raw = OpenRaw(client, &h);
    ASSERT_TRUE(raw);
    raw->Send(Bytes{0x80, 0x01, tp::kPduData});  // 32769
    EXPECT_EQ(static_cast<uintptr_t>(QRN_TP_REASON_PROTOCOL_ERROR), client.WaitFor(QRN_TP_MSG_CLOSED).p1);
    EXPECT_TRUE(raw->SeesClose());
}

// A connect record that could never fit the receive buffer is refused at its length field.
TEST_F(TpStream, ConnectRecordLongerThanTheBufferEndsWithReason6) {
    CApp &client = NewApp();
    CRawListener listener;
    ASSERT_NE(0, Connect(client, listener.port()));
    auto raw = listener.Accept();
    ASSERT_TRUE(raw);
    raw->ServeNewPath();
    tp::CTpPduHeader header;
    Bytes body;
    ASSERT_TRUE(raw->RecvPdu(&header, &body));
    raw->SendPdu(tp::kPduData, Bytes{0x9c, 0x40, 0, 0, 0, 64, 0x9c, 0x38});  // says 40000 bytes
    EXPECT_EQ(static_cast<uintptr_t>(QRN_TP_REASON_PROTOCOL_ERROR), client.WaitFor(QRN_TP_MSG_CONNECT_RESULT).p1);
}

// On a TCP path a datagram could only go into the stream, which it would corrupt.
TEST_F(TpStream, DatagramOnATcpPathIsRefusedAndTheStreamGoesOn) {
    CApp &server = NewApp();
    CApp &client = NewApp();
    const uint16_t port = Listen(server);
    int h = 0;
    int sh = 0;
    Establish(client, server, port, &h, &sh);
    EXPECT_EQ(QRN_TP_ERR_INVALID, qrn_tp_send(h, "datagram", 8, QRN_TP_SEND_DATAGRAM));
    EXPECT_EQ(5, qrn_tp_send(h, "hello", 5, QRN_TP_SEND_STREAM));
    ASSERT_TRUE(server.WaitStream(sh, 5));
    EXPECT_EQ((Bytes{'h', 'e', 'l', 'l', 'o'}), server.Stream(sh));
    EXPECT_EQ(QRN_TP_ERR_INVALID, qrn_tp_send(sh, nullptr, 5, 0));
    EXPECT_EQ(QRN_TP_ERR_INVALID, qrn_tp_send(sh, "x", -1, 0));
}

}  // namespace
}  // namespace tptest
