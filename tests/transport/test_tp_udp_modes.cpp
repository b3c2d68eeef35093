// The transport over reliable UDP alone and over TCP and UDP side by side: the stream and
// datagrams flow, the combined mode settles on whichever path answers, and a broken TCP path
// of a combined connection resumes without the applications noticing.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>


#include "tcp_relay.h"
#include "tp_fixture.h"

namespace tptest {
namespace {

// A UDP port that nothing uses at the moment of asking.
class TpUdpModes : public TpTest {
protected:
    // Listens on the given ports of 127.0.0.1 (0: not offered).
    void ListenOn(CApp &app, uint16_t udp, uint16_t tcp) {
        app.AnswerWith(QRN_TP_ACCEPT);
        ASSERT_EQ(QRN_TP_OK, qrn_tp_listen(kLoopback, udp, tcp, 0, app.Callback(), app.Context()));
    }

    // One datagram each way, each delivered as a datagram message with its bytes.
    void DatagramsBothWays(CApp &client_app, CApp &server_app, int client, int server) {
        const Bytes ping = Pattern(700, 3);
        SeeDatagram(client_app, client, server, ping, server_app);
        SeeDatagram(server_app, server, client, ping, client_app);
    }

private:
    static void SeeDatagram(CApp &, int from, int to, const Bytes &data, CApp &receiver) {
        std::atomic<bool> seen{false};
        receiver.SetExtra([&, to](const Event &e) {
            if (e.msg == QRN_TP_MSG_DATA && e.p1 == QRN_TP_DATA_DATAGRAM && static_cast<int>(e.handle) == to &&
                e.p2 == data.size() && memcmp(reinterpret_cast<const void *>(e.p3), data.data(), data.size()) == 0)
                seen = true;
        });
        // Unreliable: send again until one gets through (none should be lost on loopback).
        EXPECT_TRUE(WaitUntil([&] {
            EXPECT_EQ(static_cast<int>(data.size()),
                      qrn_tp_send(from, data.data(), static_cast<int>(data.size()), QRN_TP_SEND_DATAGRAM));
            return WaitUntil([&] { return seen.load(); }, 200);
        }));
        receiver.SetExtra(nullptr);
    }
};

TEST_F(TpUdpModes, UdpAloneCarriesTheStreamDatagramsAndTheClose) {
    CApp &server_app = NewApp(), &client_app = NewApp();
    const uint16_t udp = FreeUdpPort();
    ListenOn(server_app, udp, 0);
    int client = 0, server = 0;
    Open(client_app, server_app, udp, 0, 0, &client, &server);
    EXPECT_EQ(static_cast<uint32_t>(QRN_TP_CONN_MODE_UDP), ConnMode(client));
    EXPECT_EQ(static_cast<uint32_t>(QRN_TP_CONN_MODE_UDP), ConnMode(server));
    ExchangeBothWays(client_app, server_app, client, server, 512 * 1024);
    DatagramsBothWays(client_app, server_app, client, server);

    uint32_t bandwidth = 0, rtt = 0;
    EXPECT_EQ(QRN_TP_OK, qrn_tp_option(client, QRN_TP_OPT_BANDWIDTH, reinterpret_cast<uintptr_t>(&bandwidth)));
    EXPECT_GE(bandwidth, 25600u);
    EXPECT_LE(bandwidth, 2048000u);
    EXPECT_EQ(QRN_TP_OK, qrn_tp_option(client, QRN_TP_OPT_RTT, reinterpret_cast<uintptr_t>(&rtt)));

    EXPECT_EQ(QRN_TP_OK, qrn_tp_close(client, QRN_TP_CLOSE_NORMAL));
    EXPECT_EQ(static_cast<uintptr_t>(QRN_TP_REASON_PEER_CLOSED), server_app.WaitFor(QRN_TP_MSG_CLOSED).p1);
}

TEST_F(TpUdpModes, CombinedModeStreamsOnTcpAndSendsDatagramsOnUdp) {
    CApp &server_app = NewApp(), &client_app = NewApp();
    const uint16_t udp = FreeUdpPort(), tcp = FreePort();
    ListenOn(server_app, udp, tcp);
    int client = 0, server = 0;
    Open(client_app, server_app, udp, tcp, 0, &client, &server);
    EXPECT_EQ(static_cast<uint32_t>(QRN_TP_CONN_MODE_TCP_UDP), ConnMode(client));
    EXPECT_EQ(static_cast<uint32_t>(QRN_TP_CONN_MODE_TCP_UDP), ConnMode(server));
    ExchangeBothWays(client_app, server_app, client, server, 2 * 1024 * 1024);
    DatagramsBothWays(client_app, server_app, client, server);
    EXPECT_EQ(1, server_app.Count(QRN_TP_MSG_CONNECT_REQUEST));
}

// The UDP port answers nothing: after its five attempts the client goes on over TCP alone.
TEST_F(TpUdpModes, CombinedModeGoesOnOverTcpWhenUdpIsUnanswered) {
    CApp &server_app = NewApp(), &client_app = NewApp();
    const uint16_t tcp = FreePort();
    ListenOn(server_app, 0, tcp);
    int client = 0, server = 0;
    Open(client_app, server_app, FreeUdpPort(), tcp, 0, &client, &server);
    EXPECT_EQ(static_cast<uint32_t>(QRN_TP_CONN_MODE_TCP), ConnMode(client));
    ExchangeBothWays(client_app, server_app, client, server, 256 * 1024);
    const Bytes d = Pattern(10);
    EXPECT_EQ(QRN_TP_ERR_INVALID, qrn_tp_send(client, d.data(), 10, QRN_TP_SEND_DATAGRAM));
}

// Nothing listens on the TCP port: the client goes on over UDP alone.
TEST_F(TpUdpModes, CombinedModeGoesOnOverUdpWhenTcpIsRefused) {
    CApp &server_app = NewApp(), &client_app = NewApp();
    const uint16_t udp = FreeUdpPort();
    ListenOn(server_app, udp, 0);
    int client = 0, server = 0;
    Open(client_app, server_app, udp, FreePort(), 0, &client, &server);
    EXPECT_EQ(static_cast<uint32_t>(QRN_TP_CONN_MODE_UDP), ConnMode(client));
    ExchangeBothWays(client_app, server_app, client, server, 256 * 1024);
}

// A TCP server that accepts but never answers is given up after ten seconds, for UDP alone.
TEST_F(TpUdpModes, CombinedModeGivesUpASilentTcpServerForUdp) {
    CApp &server_app = NewApp(), &client_app = NewApp();
    const uint16_t udp = FreeUdpPort();
    ListenOn(server_app, udp, 0);
    CRawListener silent;
    int client = 0, server = 0;
    Open(client_app, server_app, udp, silent.port(), 0, &client, &server);
    EXPECT_EQ(static_cast<uint32_t>(QRN_TP_CONN_MODE_UDP), ConnMode(client));
    ExchangeBothWays(client_app, server_app, client, server, 128 * 1024);
}

// The TCP path of a combined connection breaks again and again under a transfer both ways;
// every byte arrives once and in order and nobody hears of the breaks. Both ends see each
// break: a relay that goes on swallowing what the server sends while the client reopens both
// of its paths would take more than the stream keeps for resending.
TEST_F(TpUdpModes, CombinedModeResumesAfterTheTcpPathBreaks) {
    CApp &server_app = NewApp(), &client_app = NewApp();
    const uint16_t udp = FreeUdpPort(), tcp = FreePort();
    ListenOn(server_app, udp, tcp);
    qrntest::CTcpRelay relay(tcp);
    int client = 0, server = 0;
    Open(client_app, server_app, udp, relay.Port(), 0, &client, &server);
    ASSERT_EQ(static_cast<uint32_t>(QRN_TP_CONN_MODE_TCP_UDP), ConnMode(client));

    const size_t n = 4 * 1024 * 1024;
    std::atomic<bool> done{false};
    std::thread breaker([&] {
        for (int cut = 0; cut < 3 && !done; ++cut) {
            WaitUntil([&] { return done || server_app.Stream(server).size() > (cut + 1) * n / 5; });
            if (!done) relay.CutBothSides();
        }
    });
    ExchangeBothWays(client_app, server_app, client, server, n);
    done = true;
    breaker.join();
    EXPECT_GE(relay.Accepted(), 2);
    EXPECT_EQ(0, client_app.Count(QRN_TP_MSG_CLOSED));
    EXPECT_EQ(0, server_app.Count(QRN_TP_MSG_CLOSED));
    DatagramsBothWays(client_app, server_app, client, server);
}

}  // namespace
}  // namespace tptest
