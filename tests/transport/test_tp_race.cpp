// A client given an HTTP port beside its UDP and TCP ports races the kinds of path: it connects
// over whichever gets through first, closes the others so that the server keeps nothing of
// them, and when its kind stops getting through mid-stream it races again and the stream goes
// on over another kind, with nothing lost or repeated and every change told to both ends.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "rdtp/rdtp_debug.h"
#include "tp_fixture.h"
#include "udp_relay.h"

namespace tptest {
namespace {

constexpr size_t kStreamBytes = 1536 * 1024;
constexpr size_t kBlockAfter = kStreamBytes / 4;
constexpr uintptr_t kStaggerMs = 100;
constexpr uint32_t kUdpRateMbit = 100;
// Real time in which a half-open path must be gone: far below the server's half-open time-out.
constexpr int kDropWithinMs = 3000;

struct PathNote {
    uintptr_t what, now, before;
    bool operator==(const PathNote &o) const { return what == o.what && now == o.now && before == o.before; }
};

std::vector<PathNote> PathNotes(CApp &app, int handle) {
    std::vector<PathNote> out;
    for (const Event &e : app.rec().Events()) {
        if (e.msg == QRN_TP_MSG_PATH && static_cast<int>(e.handle) == handle) out.push_back({e.p1, e.p2, e.p3});
    }
    return out;
}

class TpRace : public TpTest {
protected:
    void SetUp() override {
        ASSERT_EQ(QRN_TP_OK, qrn_tp_option(0, QRN_TP_OPT_RACE_STAGGER, kStaggerMs));
        ASSERT_EQ(QRN_TP_OK, qrn_tp_option(0, QRN_TP_OPT_UDP_RATE, kUdpRateMbit));
        m_udp = FreeUdpPort();
        m_tcp = FreePort();
        m_server_app.AnswerWith(QRN_TP_ACCEPT);
        m_server_app.SetExtra([](const Event &e) {
            if (e.msg == QRN_TP_MSG_CONNECT_REQUEST) qrn_tp_option(static_cast<int>(e.handle), QRN_TP_OPT_PATH_EVENTS, 1);
        });
        ASSERT_EQ(QRN_TP_OK,
                  qrn_tp_listen(kLoopback, m_udp, m_tcp, 0, m_server_app.Callback(), m_server_app.Context()));
    }

    // Races UDP through the relay, TCP, and a tunnel port where nothing listens.
    void OpenRacing(qrntest::CUdpRelay &relay, int *client, int *server) {
        Open(m_client_app, m_server_app, relay.port(), m_tcp, FreePort(), client, server);
        qrn_tp_option(*client, QRN_TP_OPT_PATH_EVENTS, 1);
    }

    CApp &m_client_app = NewApp();
    CApp &m_server_app = NewApp();
    uint16_t m_udp = 0;
    uint16_t m_tcp = 0;
};

TEST_F(TpRace, WhenUdpStopsGettingThroughMidStreamTheStreamGoesOnOverTcpAndBothEndsAreTold) {
    qrntest::CUdpRelay relay(m_udp, {});
    ASSERT_NE(0, relay.port());
    int client = 0, server = 0;
    OpenRacing(relay, &client, &server);
    EXPECT_EQ(static_cast<uint32_t>(QRN_TP_CONN_MODE_UDP), ConnMode(client)) << "UDP starts first and gets through";
    EXPECT_EQ(static_cast<uint32_t>(QRN_TP_CONN_MODE_UDP), ConnMode(server));

    const Bytes up = RandomBytes(kStreamBytes, 7), down = RandomBytes(kStreamBytes, 8);
    std::thread blocker([&] {
        EXPECT_TRUE(WaitUntil([&] { return m_server_app.StreamSize(server) >= kBlockAfter; }));
        qrntest::UdpRelayConfig blocked;
        blocked.drop = 1;
        relay.SetConfig(blocked);
    });
    std::thread writer([&] { EXPECT_EQ(kStreamBytes, WriteAll(m_server_app, server, down)); });
    EXPECT_EQ(kStreamBytes, WriteAll(m_client_app, client, up));
    writer.join();
    blocker.join();
    EXPECT_TRUE(m_server_app.WaitStream(server, kStreamBytes));
    EXPECT_TRUE(m_client_app.WaitStream(client, kStreamBytes));
    EXPECT_TRUE(m_server_app.Stream(server) == up) << "client to server differs";
    EXPECT_TRUE(m_client_app.Stream(client) == down) << "server to client differs";

    EXPECT_EQ(static_cast<uint32_t>(QRN_TP_CONN_MODE_TCP), ConnMode(client));
    EXPECT_EQ(static_cast<uint32_t>(QRN_TP_CONN_MODE_TCP), ConnMode(server));
    const std::vector<PathNote> told{{QRN_TP_PATH_LOST, QRN_TP_CONN_MODE_UDP, QRN_TP_CONN_MODE_UDP},
                                     {QRN_TP_PATH_RESUMED, QRN_TP_CONN_MODE_TCP, QRN_TP_CONN_MODE_UDP},
                                     {QRN_TP_PATH_KIND_CHANGED, QRN_TP_CONN_MODE_TCP, QRN_TP_CONN_MODE_UDP}};
    EXPECT_TRUE(PathNotes(m_client_app, client) == told) << "client told " << PathNotes(m_client_app, client).size();
    EXPECT_TRUE(PathNotes(m_server_app, server) == told) << "server told " << PathNotes(m_server_app, server).size();
    EXPECT_EQ(0, m_client_app.Count(QRN_TP_MSG_CLOSED));
    EXPECT_EQ(0, m_server_app.Count(QRN_TP_MSG_CLOSED));
}

TEST_F(TpRace, ABlockedKindIsPassedByAndTheLosersOfARaceLeaveNothingAtEitherEnd) {
    // UDP blocked from the start: TCP carries the connection, one stagger later.
    qrntest::UdpRelayConfig blocked;
    blocked.drop = 1;
    qrntest::CUdpRelay dead_udp(m_udp, blocked);
    int client = 0, server = 0;
    OpenRacing(dead_udp, &client, &server);
    EXPECT_EQ(static_cast<uint32_t>(QRN_TP_CONN_MODE_TCP), ConnMode(client));
    EXPECT_TRUE(PathNotes(m_client_app, client).empty()) << "a first connect is no change of path";

    // Every kind at once, none blocked: UDP and TCP both connect, and only one of them may stay.
    // The real clock makes the server's half-open time-out 30 s, far beyond the wait.
    ASSERT_EQ(QRN_TP_OK, qrn_tp_option(0, QRN_TP_OPT_RACE_STAGGER, 0));
    qrntest::CUdpRelay open_udp(m_udp, {});
    m_client_app.rec().Clear();
    m_server_app.rec().Clear();
    int client2 = 0, server2 = 0;
    OpenRacing(open_udp, &client2, &server2);
    qrntest::ClockFactor real_time(1);
    EXPECT_TRUE(WaitUntil([] { return rdtp_debug::live_connections() == 4; }, kDropWithinMs))
        << "multi-mode objects left: " << rdtp_debug::live_connections();
    EXPECT_EQ(4u, rdtp_debug::handles().size());
    ExchangeBothWays(m_client_app, m_server_app, client2, server2, 64 * 1024, 3);

    EXPECT_EQ(QRN_TP_ERR_INVALID, qrn_tp_option(0, QRN_TP_OPT_RACE_STAGGER, QRN_TP_RACE_STAGGER_MAX + 1));
}

}  // namespace
}  // namespace tptest
