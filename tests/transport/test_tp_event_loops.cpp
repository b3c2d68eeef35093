// Event loops: a server with two loops spreads its connections over both, carries each
// connection's events on one thread whatever its paths, and hands a resumption that arrives on
// the other loop back to the connection's own.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "tcp_relay.h"
#include "tp_fixture.h"

namespace tptest {
namespace {

// The threads that delivered each connection's stream data.
class CThreadLog {
public:
    void Note(int handle) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_threads[handle].insert(std::this_thread::get_id());
    }
    std::set<std::thread::id> Of(int handle) {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_threads[handle];
    }

private:
    std::mutex m_mutex;
    std::map<int, std::set<std::thread::id>> m_threads;
};

class TpEventLoops : public TpTest {
protected:
    // A server application that accepts everything and logs the threads of its data.
    CApp &LoggedServer() {
        CApp &app = NewApp();
        app.SetExtra([this](const Event &e) {
            if (e.msg == QRN_TP_MSG_DATA) m_log.Note(static_cast<int>(e.handle));
        });
        app.AnswerWith(QRN_TP_ACCEPT);
        return app;
    }

    CThreadLog m_log;
};

TEST_F(TpEventLoops, ConnectionsSpreadOverTheLoopsAndEachKeepsItsThreadAcrossResumptions) {
    EXPECT_EQ(QRN_TP_ERR_INVALID, qrn_tp_option(0, QRN_TP_OPT_EVENT_LOOPS, 0));
    EXPECT_EQ(QRN_TP_ERR_INVALID, qrn_tp_option(0, QRN_TP_OPT_EVENT_LOOPS, QRN_TP_EVENT_LOOPS_MAX + 1));
    ASSERT_EQ(QRN_TP_OK, qrn_tp_option(0, QRN_TP_OPT_EVENT_LOOPS, 2));

    // Direct connections over each kind of path, each carrying a little both ways.
    std::set<std::thread::id> all_threads;
    for (int i = 0; i < 6; ++i) {
        CApp &server_app = LoggedServer();
        CApp &client_app = NewApp();
        const bool udp = i % 2 == 1;
        const uint16_t port = udp ? FreeUdpPort() : FreePort();
        ASSERT_EQ(QRN_TP_OK, qrn_tp_listen(kLoopback, udp ? port : 0, udp ? 0 : port, 0, server_app.Callback(),
                                           server_app.Context()));
        int client = 0;
        int server = 0;
        Open(client_app, server_app, udp ? port : 0, udp ? 0 : port, 0, &client, &server);
        ExchangeBothWays(client_app, server_app, client, server, 3000, static_cast<uint32_t>(10 * i));
        const std::set<std::thread::id> threads = m_log.Of(server);
        EXPECT_EQ(1u, threads.size()) << "connection " << i;
        all_threads.insert(threads.begin(), threads.end());
    }
    EXPECT_EQ(2u, all_threads.size()) << "the connections are spread over both loops";

    // A connection through a relay that breaks again and again: every resumption is accepted
    // on whichever loop is next, and the connection's data still comes on its own thread.
    CApp &server_app = LoggedServer();
    CApp &client_app = NewApp();
    qrntest::CTcpRelay relay(Listen(server_app));
    ASSERT_NE(0, relay.Port());
    int client = 0;
    int server = 0;
    Establish(client_app, server_app, relay.Port(), &client, &server);
    Bytes sent;
    for (int cut = 0; cut < 5; ++cut) {
        const Bytes piece = RandomBytes(2000, static_cast<uint32_t>(100 + cut));
        sent.insert(sent.end(), piece.begin(), piece.end());
        ASSERT_EQ(piece.size(), WriteAll(client_app, client, piece));
        ASSERT_TRUE(server_app.WaitStream(server, sent.size())) << "after cut " << cut;
        ASSERT_GE(relay.CutBothSides(), 1);
        ASSERT_TRUE(relay.WaitForAccepted(cut + 2)) << "no resumption after cut " << cut;
    }
    const Bytes tail = RandomBytes(2000, 999);
    sent.insert(sent.end(), tail.begin(), tail.end());
    ASSERT_EQ(tail.size(), WriteAll(client_app, client, tail));
    ASSERT_TRUE(server_app.WaitStream(server, sent.size()));
    EXPECT_TRUE(server_app.Stream(server) == sent);
    EXPECT_EQ(0, server_app.Count(QRN_TP_MSG_CLOSED));
    EXPECT_EQ(1u, m_log.Of(server).size()) << "a resumed path delivered on another loop";
}

}  // namespace
}  // namespace tptest
