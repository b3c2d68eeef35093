// Stream acknowledgement: two ends of the library agree on it and then keep exactly what the
// other has not acknowledged, however much that is, so that a break loses nothing; an end that
// does not speak it sees the stream it always saw; a report of bytes never sent ends the
// connection.
#include <gtest/gtest.h>

#include <thread>

#include "tcp_relay.h"
#include "tp_fixture.h"
#include "transport/tp_debug.h"

namespace tptest {
namespace {

class TpStreamAck : public TpRawServerTest {
protected:
    static int Acks(int handle) {
        int on = -1;
        EXPECT_EQ(QRN_TP_OK, qrn_tp_option(handle, QRN_TP_OPT_STREAM_ACKS, reinterpret_cast<uintptr_t>(&on)));
        return on;
    }

    // Sends from data[*taken] on until the connection takes nothing more and every byte it
    // took sits in the relay: the window, not the path, stops it.
    static void FillWindow(CApp &app, int handle, const Bytes &data, const qrntest::CTcpRelay &relay, size_t *taken) {
        const auto h = static_cast<uintptr_t>(handle);
        for (;;) {
            const int writable = app.rec().Count(QRN_TP_MSG_WRITABLE, h);
            const int r = qrn_tp_send(handle, data.data() + *taken, static_cast<int>(data.size() - *taken), 0);
            ASSERT_GE(r, 0);
            *taken += static_cast<size_t>(r);
            ASSERT_TRUE(WaitUntil([&] {
                return app.rec().Count(QRN_TP_MSG_WRITABLE, h) > writable || relay.Held() >= *taken;
            }));
            if (r == 0 && relay.Held() >= *taken) return;
        }
    }
};

TEST_F(TpStreamAck, TwoEndsKeepWhatIsUnacknowledgedAndABreakWithMoreThanTheOldKeepLosesNothing) {
    CApp &server_app = NewApp();
    CApp &client_app = NewApp();
    qrntest::CTcpRelay relay(Listen(server_app));
    ASSERT_NE(0, relay.Port());
    int client = 0;
    int server = 0;
    Establish(client_app, server_app, relay.Port(), &client, &server);
    EXPECT_EQ(1, Acks(client));
    EXPECT_EQ(1, Acks(server));
    constexpr size_t kWindow = 1 << 20;
    ASSERT_EQ(QRN_TP_OK, qrn_tp_option(client, QRN_TP_OPT_STREAM_WINDOW, kWindow));

    // A middlebox that stalls takes what the client hands over until the window is full.
    relay.HoldUpstream(true);
    const Bytes data = RandomBytes(4 * kWindow, 7);
    size_t taken = 0;
    FillWindow(client_app, client, data, relay, &taken);
    EXPECT_LE(taken, kWindow);
    EXPECT_GT(taken, kWindow - tp::kMaxDataBody);
    EXPECT_EQ(0u, server_app.StreamSize(server));

    // The path breaks with all of it inside, far more than a stream without acknowledgement
    // keeps; the new path carries all of it again.
    ASSERT_GT(taken, static_cast<size_t>(tp::kSendKeepMax));
    ASSERT_EQ(1, relay.CutBothSides());
    relay.HoldUpstream(false);
    EXPECT_EQ(data.size() - taken, WriteAll(client_app, client, Bytes(data.begin() + static_cast<long>(taken), data.end())));
    ASSERT_TRUE(server_app.WaitStream(server, data.size()));
    EXPECT_TRUE(server_app.Stream(server) == data);
    EXPECT_GE(relay.Accepted(), 2);  // a loaded machine may take more than one attempt
    EXPECT_EQ(0, client_app.Count(QRN_TP_MSG_CLOSED));

    // Once everything is acknowledged and the stream is quiet, the window's memory goes back.
    EXPECT_TRUE(WaitUntil([&] { return tp_debug::window_storage(client) == 0; }))
        << tp_debug::window_storage(client);
}

TEST_F(TpStreamAck, AnEndWithoutItSeesTheStreamItAlwaysSaw) {
    CApp &client = NewApp();
    int h = 0;
    Bytes record;
    auto raw = OpenRaw(client, &h, &record);  // it checks the one empty offer before the record
    ASSERT_TRUE(raw);
    EXPECT_EQ(0, Acks(h));

    // Types that this side would use for acknowledgement are stream data from such a peer.
    raw->SendPdu(tp::kPduAck, Encrypted(Bytes{'a', 'b', 'c', 'd'}));
    raw->SendPdu(tp::kPduAckOffer, Encrypted(Bytes{'e', 'f'}));
    ASSERT_TRUE(client.WaitStream(h, 6));
    EXPECT_EQ((Bytes{'a', 'b', 'c', 'd', 'e', 'f'}), client.Stream(h));

    // Nothing but data PDUs, and only the last 262144 bytes kept for a new path.
    const Bytes data = RandomBytes(300000, 3);
    Bytes got;
    std::thread reader([&] {
        tp::CTpPduHeader pdu;
        Bytes piece;
        while (got.size() < data.size() && raw->RecvPdu(&pdu, &piece)) {
            EXPECT_EQ(tp::kPduData, pdu.type);
            got.insert(got.end(), piece.begin(), piece.end());
        }
    });
    EXPECT_EQ(data.size(), WriteAll(client, h, data));
    reader.join();
    EXPECT_EQ(Encrypted(data), got);
    tp::CTpPduHeader header;
    Bytes body;
    const int writable = client.Count(QRN_TP_MSG_WRITABLE);
    raw->Close();
    auto again = m_listener.Accept();
    ASSERT_TRUE(again);
    const uint32_t recv_next = tp::kFirstSeq + static_cast<uint32_t>(record.size() + data.size());
    const tp::CTpResumeReq req = again->ServeNewPath(recv_next);
    EXPECT_EQ(static_cast<uint32_t>(tp::kSendKeepMax), req.send_kept);
    ASSERT_TRUE(client.rec().WaitForCount(QRN_TP_MSG_WRITABLE, writable + 1));
    ASSERT_EQ(3, qrn_tp_send(h, "xyz", 3, 0));
    ASSERT_TRUE(again->RecvPdu(&header, &body));
    EXPECT_EQ(tp::kPduData, header.type);  // no offer on the new path either
    EXPECT_EQ(Encrypted(Bytes{'x', 'y', 'z'}), body);
}

TEST_F(TpStreamAck, AReportOfBytesNeverSentEndsTheConnection) {
    CApp &client = NewApp();
    const int h = Connect(client, m_listener.port());
    ASSERT_NE(0, h);
    auto raw = m_listener.Accept();
    ASSERT_TRUE(raw);
    raw->ServeNewPath();
    tp::CTpPduHeader header;
    Bytes offer, record;
    ASSERT_TRUE(raw->RecvPdu(&header, &offer));
    ASSERT_TRUE(raw->RecvPdu(&header, &record));
    raw->SendPdu(tp::kPduAckOffer, Bytes());
    raw->SendPdu(tp::kPduData, ConnRespBytes(tp::kConnAccepted));
    ASSERT_EQ(QRN_TP_CONNECT_ACCEPTED, client.WaitFor(QRN_TP_MSG_CONNECT_RESULT).p1);
    EXPECT_EQ(1, Acks(h));

    const Bytes data = Pattern(1000);
    ASSERT_EQ(1000, qrn_tp_send(h, data.data(), 1000, 0));
    // The report of the accept rides ahead of the data, in the same send.
    Bytes report;
    ASSERT_TRUE(raw->RecvPdu(&header, &report));
    EXPECT_EQ(tp::kPduAck, header.type);
    EXPECT_EQ(static_cast<size_t>(tp::kAckBodySize), report.size());
    EXPECT_EQ(Encrypted(data), raw->RecvStream(1000));
    const uint32_t next = tp::kFirstSeq + static_cast<uint32_t>(record.size() + data.size());
    Bytes ack(tp::kPduHeaderSize + tp::kAckBodySize);
    tp::WriteAckPdu(ack.data(), static_cast<int>(ack.size()), next);
    raw->Send(ack);  // all of it: fine
    tp::WriteAckPdu(ack.data(), static_cast<int>(ack.size()), next + 1);
    raw->Send(ack);
    EXPECT_EQ(static_cast<uintptr_t>(QRN_TP_REASON_PROTOCOL_ERROR), client.WaitFor(QRN_TP_MSG_CLOSED).p1);
    EXPECT_EQ(0u, client.StreamSize(h));
}

}  // namespace
}  // namespace tptest
