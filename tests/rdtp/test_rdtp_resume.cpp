// Losing the path of an established connection, with a relay between client and server that
// cuts it: the client's reconnection, the server's resumption of the same object, the option
// that stops reconnection, and the time-outs of half-open connections.
#include <arpa/inet.h>
#include <string.h>

#include <atomic>

#include "qrnlibl/qrn_time.h"
#include "rdtp_fixture.h"

namespace rdtptest {
namespace {

using namespace rdtp;
using qrntest::CTcpRelay;

std::vector<uintptr_t> P1Of(CUpper &upper, int handle, int msg) {
    std::vector<uintptr_t> out;
    for (const Event &e : upper.recorder().Events()) {
        if (static_cast<int>(e.handle) == handle && e.msg == msg) out.push_back(e.p1);
    }
    return out;
}

// The connection's state when message 8 reaches the upper layer.
std::shared_ptr<std::atomic<int>> StateAtLoss(CUpper &upper) {
    auto state = std::make_shared<std::atomic<int>>(-1);
    upper.SetExtra([state](const Event &e) {
        if (e.msg == kMsgClose2) state->store(rdtp_debug::state(static_cast<int>(e.handle)));
    });
    return state;
}

void ExpectBytesBothWays(CUpper &client_upper, int client, CUpper &server_upper, int server, const std::string &tag) {
    const std::string up = "up-" + tag;
    const std::string down = "down-" + tag;
    const size_t had_server = server_upper.Received(server).size();
    const size_t had_client = client_upper.Received(client).size();
    ASSERT_EQ(static_cast<int>(up.size()), qrn_rdtp_send(client, up.data(), static_cast<int>(up.size()), 0));
    ASSERT_TRUE(server_upper.WaitForData(server, had_server + up.size()));
    EXPECT_EQ(up, server_upper.Received(server).substr(had_server));
    ASSERT_EQ(static_cast<int>(down.size()), qrn_rdtp_send(server, down.data(), static_cast<int>(down.size()), 0));
    ASSERT_TRUE(client_upper.WaitForData(client, had_client + down.size()));
    EXPECT_EQ(down, client_upper.Received(client).substr(had_client));
}

TEST_F(RdtpTest, PathLossResumesOnTheSameServerObjectWithTheNextOrdinal) {
    CUpper &server_upper = NewUpper();
    CUpper &client_upper = NewUpper();
    CTcpRelay relay(Listen(server_upper));
    ASSERT_NE(0, relay.Port());
    int client = 0;
    int server = 0;
    Establish(client_upper, server_upper, relay.Port(), &client, &server);
    ExpectBytesBothWays(client_upper, client, server_upper, server, "before");

    for (int loss = 1; loss <= 2; ++loss) {
        ASSERT_EQ(1, relay.CutBothSides());
        ASSERT_TRUE(client_upper.WaitForCount(kMsgConfirm2, loss + 1));
        ASSERT_TRUE(server_upper.WaitForCount(kMsgConnect2, loss + 1));
        EXPECT_EQ(loss, rdtp_debug::ordinal(server));
        EXPECT_EQ(loss, rdtp_debug::ordinal(client));
        ExpectBytesBothWays(client_upper, client, server_upper, server, std::to_string(loss));
    }
    EXPECT_EQ(3, relay.Accepted());
    // One message 8 per loss at each end; the server object stays the one of message 1.
    EXPECT_EQ((std::vector<uintptr_t>{kClose2Lost, kClose2Lost}), P1Of(client_upper, client, kMsgClose2));
    EXPECT_EQ((std::vector<uintptr_t>{kClose2Lost, kClose2Lost}), P1Of(server_upper, server, kMsgClose2));
    EXPECT_EQ(1, server_upper.recorder().Count(kMsgConnect));
    EXPECT_EQ(1, client_upper.recorder().Count(kMsgConfirm));
    EXPECT_EQ(3, server_upper.recorder().Count(kMsgConnect2, static_cast<uintptr_t>(server)));
    EXPECT_TRUE(WaitUntil([&] { return rdtp_debug::handles() == std::vector<int>({client, server}) ||
                                       rdtp_debug::handles() == std::vector<int>({server, client}); }));
}

TEST_F(RdtpTest, ServerThatMissedTheLossReportsTheReplacedPathThenConnect2) {
    CUpper &server_upper = NewUpper();
    CUpper &client_upper = NewUpper();
    CTcpRelay relay(Listen(server_upper));
    int client = 0;
    int server = 0;
    Establish(client_upper, server_upper, relay.Port(), &client, &server);

    ASSERT_EQ(1, relay.CutClientSide());
    ASSERT_TRUE(client_upper.WaitForCount(kMsgConfirm2, 2));
    ASSERT_TRUE(server_upper.WaitForCount(kMsgConnect2, 2));
    EXPECT_EQ((std::vector<int>{kMsgConfirm, kMsgConfirm2, kMsgClose2, kMsgConfirm2}), client_upper.Messages(client));
    EXPECT_EQ((std::vector<int>{kMsgConnect, kMsgConnect2, kMsgClose2, kMsgConnect2}), server_upper.Messages(server));
    EXPECT_EQ((std::vector<uintptr_t>{kClose2Lost}), P1Of(client_upper, client, kMsgClose2));
    EXPECT_EQ((std::vector<uintptr_t>{kClose2Replaced}), P1Of(server_upper, server, kMsgClose2));
    ExpectBytesBothWays(client_upper, client, server_upper, server, "after");
    // The replaced path was closed by the server, which ends the relay's dangling side.
    EXPECT_TRUE(WaitUntil([&] { return relay.Active() == 1; }));
}

TEST_F(RdtpTest, NoReconnectOptionLeavesTheClientWithoutAPath) {
    CUpper &server_upper = NewUpper();
    CUpper &client_upper = NewUpper();
    CTcpRelay relay(Listen(server_upper));
    int client = 0;
    int server = 0;
    Establish(client_upper, server_upper, relay.Port(), &client, &server);
    ASSERT_EQ(0, qrn_rdtp_option(client, kOptNoReconnect, 0));

    // A reconnection would start before message 8 goes up: the state seen then is final.
    auto state_at_loss = StateAtLoss(client_upper);
    ASSERT_EQ(1, relay.CutBothSides());
    ASSERT_TRUE(client_upper.WaitForCount(kMsgClose2, 1));
    ASSERT_TRUE(server_upper.WaitForCount(kMsgClose2, 1));
    EXPECT_EQ(kStateEstablished, state_at_loss->load());
    EXPECT_EQ(0, rdtp_debug::ordinal(client));
    char byte = 'x';
    EXPECT_EQ(-1, qrn_rdtp_send(client, &byte, 1, 0));
    EXPECT_EQ(kStatePathLost, rdtp_debug::state(server));
    EXPECT_EQ(1, relay.Accepted());
    EXPECT_EQ((std::vector<int>{kMsgConfirm, kMsgConfirm2, kMsgClose2}), client_upper.Messages(client));
}

TEST_F(RdtpTest, ReconnectionStartsBeforeTheLossIsReported) {
    CUpper &server_upper = NewUpper();
    CUpper &client_upper = NewUpper();
    CTcpRelay relay(Listen(server_upper));
    int client = 0;
    int server = 0;
    Establish(client_upper, server_upper, relay.Port(), &client, &server);
    auto state_at_loss = StateAtLoss(client_upper);
    ASSERT_EQ(1, relay.CutBothSides());
    ASSERT_TRUE(client_upper.WaitForCount(kMsgConfirm2, 2));
    EXPECT_EQ(kStateTcpConnecting, state_at_loss->load());  // the contrast to option 104 above
}

TEST_F(RdtpTest, ResumptionOfAConnectionTheServerClosedIsRefused) {
    CUpper &server_upper = NewUpper();
    CUpper &client_upper = NewUpper();
    server_upper.SetExtra([](const Event &e) {
        if (e.msg == kMsgClose2) qrn_rdtp_close(static_cast<int>(e.handle));
    });
    CTcpRelay relay(Listen(server_upper));
    int client = 0;
    int server = 0;
    Establish(client_upper, server_upper, relay.Port(), &client, &server);

    ASSERT_EQ(1, relay.CutBothSides());
    ASSERT_TRUE(client_upper.WaitForCount(kMsgClose, 1));
    EXPECT_EQ(kCloseRefused, client_upper.WaitFor(kMsgClose).p1);
    EXPECT_EQ((std::vector<int>{kMsgConfirm, kMsgConfirm2, kMsgClose2, kMsgClose}), client_upper.Messages(client));
    EXPECT_EQ(-1, rdtp_debug::state(client));
    EXPECT_TRUE(WaitUntil([] { return rdtp_debug::handles().empty(); }));
}

TEST_F(RdtpTest, HalfOpenServerObjectsAreDroppedAfterThirtySecondsWithoutAMessage) {
    qrntest::ClockFactor fast(50);
    CUpper &server_upper = NewUpper();
    qrntest::TraceCapture trace;
    const uint16_t port = Listen(server_upper);
    const uint32_t start = get_tick_count();

    // One waits for its request (5 bytes of it came), one for the UDP path of a combined mode.
    const int accepted = RawConnect(port);
    RawSend(accepted, PduBytes(0, 0, 0, 0, kModeTcp).substr(0, 5));
    const int awaiting_udp = RawConnect(port);
    RawSend(awaiting_udp, PduBytes(0, 0, 0, 0, kModeTcpUdp));
    ASSERT_EQ(static_cast<size_t>(kPduSize), RawRecv(awaiting_udp, kPduSize).size());
    ASSERT_TRUE(WaitUntil([] { return rdtp_debug::handles().size() == 2; }));

    // A TCP path without its whole PDU goes at the shorter deadline of a pending path.
    EXPECT_TRUE(RawSeesClose(accepted));
    EXPECT_GE(calc_tick_diff(start, get_tick_count()), kPendingTcpTimeoutMs);
    EXPECT_TRUE(RawSeesClose(awaiting_udp));
    EXPECT_GE(calc_tick_diff(start, get_tick_count()), kHalfOpenTimeoutMs);
    EXPECT_TRUE(WaitUntil([] { return rdtp_debug::handles().empty(); }));
    EXPECT_TRUE(server_upper.recorder().Events().empty());
    EXPECT_EQ(2, trace.Count({"connect time out, m_local_hanle="}));
    ::close(accepted);
    ::close(awaiting_udp);
}

TEST_F(RdtpTest, AcceptedPathClosedBeforeItsRequestTakesItsObjectAlong) {
    CUpper &server_upper = NewUpper();
    const uint16_t port = Listen(server_upper);
    const int fd = RawConnect(port);
    ASSERT_TRUE(WaitUntil([] { return rdtp_debug::handles().size() == 1; }));
    ::close(fd);
    EXPECT_TRUE(WaitUntil([] { return rdtp_debug::handles().empty() && rdtp_debug::live_connections() == 0; }));
    EXPECT_TRUE(server_upper.recorder().Events().empty());
}

TEST_F(RdtpTest, CombinedClientWithoutATcpAnswerGivesUpAfterTenSeconds) {
    qrntest::ClockFactor fast(50);
    CUpper &client_upper = NewUpper();
    uint16_t port = 0;
    const int listener = RawListen(&port);
    const uint32_t start = get_tick_count();
    const int client = qrn_rdtp_connect(kLoopback, FreePort(), port, 0, nullptr, 0, client_upper.Callback(),
                                        client_upper.Context());
    ASSERT_GT(client, 0);
    const int silent = RawAccept(listener);
    ASSERT_EQ(PduBytes(0, 0, 0, 0, kModeTcpUdp), RawRecv(silent, kPduSize));
    // TCP is given up (its path closed); UDP cannot be made here either: every path failed.
    EXPECT_TRUE(RawSeesClose(silent));
    ASSERT_TRUE(client_upper.WaitForCount(kMsgConfirm, 2));
    EXPECT_GE(calc_tick_diff(start, get_tick_count()), kCombinedTcpTimeoutMs);
    const std::vector<uintptr_t> confirms = P1Of(client_upper, client, kMsgConfirm);
    EXPECT_EQ((std::vector<uintptr_t>{kConfirmOk, kConfirmFailed}), confirms);
    EXPECT_EQ(-1, rdtp_debug::state(client));
    ::close(silent);
    ::close(listener);
}


// A listening socket on this loopback port (0: a free one, written back). Its paths let the
// port be listened on again while they linger in TIME_WAIT, as a restarted server does.
int ListenReusable(uint16_t *port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
    sockaddr_in a = qrntest::RawAddress(*port);
    EXPECT_EQ(0, ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a))) << strerror(errno);
    EXPECT_EQ(0, ::listen(fd, 4));
    socklen_t len = sizeof(a);
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

// The server side of one path, by hand: the client's request, answered with the session's
// tags and the request's ordinal. The request as it came.
CRdtpConnectPdu ServePath(int fd, uint32_t cli_tag) {
    const CRdtpConnectPdu req = ParsePdu(RawRecv(fd, kPduSize));
    RawSend(fd, PduBytes(0x5eed, cli_tag, 1, req.ordinal, kModeTcp));
    return req;
}

TEST_F(RdtpTest, ReconnectionGoesOnUntilTheServerIsBackAndEndsWithMessage5WhenItNeverIs) {
    qrntest::ClockFactor fast(50);
    qrntest::TraceCapture trace;
    CUpper &client_upper = NewUpper();
    uint16_t port = 0;
    int listener = ListenReusable(&port);
    const int client = Connect(client_upper, port);
    ASSERT_GT(client, 0);
    int path = RawAccept(listener);
    EXPECT_EQ(0u, ServePath(path, 77).serv_tag);
    ASSERT_TRUE(client_upper.WaitForCount(kMsgConfirm2, 1));

    // The server is gone: the first attempt and the ones after it are refused; a second
    // scheduled attempt shows that a failed attempt is not the end.
    ::close(listener);
    ::close(path);
    ASSERT_TRUE(client_upper.WaitForCount(kMsgClose2, 1));
    EXPECT_TRUE(WaitUntil([&] { return trace.Count({"CRdtpConnection::ScheduleRetry"}) >= 2; }));
    listener = ListenReusable(&port);
    path = RawAccept(listener);
    ASSERT_GE(path, 0);
    const CRdtpConnectPdu again = ServePath(path, 77);
    EXPECT_EQ(0x5eedu, again.serv_tag);
    EXPECT_EQ(77u, again.cli_tag);
    EXPECT_GE(again.ordinal, 3);  // one more for the loss and for every failed attempt
    ASSERT_TRUE(client_upper.WaitForCount(kMsgConfirm2, 2));
    const char byte = 'x';
    EXPECT_EQ(1, qrn_rdtp_send(client, &byte, 1, 0));
    EXPECT_EQ("x", RawRecv(path, 1));

    // Gone for good: the end comes once the give-up time has passed since the loss, counted
    // afresh for this loss.
    const uint32_t lost = get_tick_count();
    ::close(listener);
    ::close(path);
    ASSERT_TRUE(client_upper.WaitForCount(kMsgClose2, 2));
    ASSERT_TRUE(client_upper.WaitForCount(kMsgClose, 1));
    EXPECT_GE(calc_tick_diff(lost, get_tick_count()), kReconnectGiveUpMs);
    EXPECT_GE(trace.Count({"CRdtpConnection::ScheduleRetry"}), 2 + 5);  // 1, 2, 4, 4, 4 ... s apart
    EXPECT_EQ((std::vector<uintptr_t>{kCloseGaveUp}), P1Of(client_upper, client, kMsgClose));
    EXPECT_EQ(-1, rdtp_debug::state(client));
    EXPECT_EQ((std::vector<int>{kMsgConfirm, kMsgConfirm2, kMsgClose2, kMsgConfirm2, kMsgClose2, kMsgClose}),
              client_upper.Messages(client));
}

}  // namespace
}  // namespace rdtptest
