// Connecting over TCP: the connect exchange at both ends (between two instances of the layer,
// and against raw peers that send the PDU by hand), refusals, the modes the ports choose,
// listening, options and the dispatcher's handling of events for vanished handles.
#include <atomic>

#include "rdtp_fixture.h"

namespace rdtptest {
namespace {

using namespace rdtp;

const std::string kZeros(kPduSize, '\0');

// A client handle whose every path failed: one message 2 saying so, nothing else, no object left.
void ExpectEveryPathFailed(CUpper &client_upper, int client) {
    ASSERT_GT(client, 0);
    ASSERT_TRUE(client_upper.WaitForCount(kMsgConfirm, 1));
    EXPECT_EQ(kConfirmFailed, client_upper.WaitFor(kMsgConfirm).p1);
    EXPECT_EQ(1u, client_upper.recorder().Events().size());
    EXPECT_EQ(-1, rdtp_debug::state(client));
}

TEST_F(RdtpTest, FirstConnectOverTcpConfirmsBothEndsAndCarriesBytesBothWays) {
    CUpper &server_upper = NewUpper();
    CUpper &client_upper = NewUpper();
    const uint16_t port = Listen(server_upper);
    int client = 0;
    int server = 0;
    Establish(client_upper, server_upper, port, &client, &server);

    EXPECT_EQ((std::vector<int>{kMsgConfirm, kMsgConfirm2}), client_upper.Messages(client));
    EXPECT_EQ((std::vector<int>{kMsgConnect, kMsgConnect2}), server_upper.Messages(server));
    const Event confirm = client_upper.WaitFor(kMsgConfirm);
    EXPECT_EQ(kConfirmOk, confirm.p1);
    EXPECT_EQ(client_upper.Context(), confirm.user);

    ASSERT_EQ(4, qrn_rdtp_send(client, "ping", 4, 0));
    ASSERT_TRUE(server_upper.WaitForData(server, 4));
    EXPECT_EQ("ping", server_upper.Received(server));
    ASSERT_EQ(5, qrn_rdtp_send(server, "pong!", 5, 0));
    ASSERT_TRUE(client_upper.WaitForData(client, 5));
    EXPECT_EQ("pong!", client_upper.Received(client));
}

// The server answers the client's last bytes by closing the reliable-UDP path before the
// client has come to close: the client loses its path (and would resume), yet its close finds
// everything delivered.
TEST_F(RdtpTest, PathClosedByThePeerAfterTheLastByteLeavesTheCloseDelivered) {
    CUpper &server_upper = NewUpper();
    CUpper &client_upper = NewUpper();
    const int udp_port = FreePort();
    ASSERT_EQ(kListenOk, qrn_rdtp_listen(kLoopback, udp_port, 0, 0, server_upper.Callback(), server_upper.Context()));
    const int client = qrn_rdtp_connect(kLoopback, udp_port, 0, 0, nullptr, 0, client_upper.Callback(),
                                        client_upper.Context());
    ASSERT_GT(client, 0);
    ASSERT_TRUE(client_upper.WaitForCount(kMsgConfirm2, 1));
    ASSERT_TRUE(server_upper.WaitForCount(kMsgConnect2, 1));
    const int server = static_cast<int>(server_upper.WaitFor(kMsgConnect).handle);

    // The client closes where it hears of the loss, before its resumption can be refused.
    std::atomic<int> close_result{-100};
    client_upper.SetExtra([&](const Event &e) {
        if (e.msg == kMsgClose2) close_result = qrn_rdtp_close_notify(client, client_upper.Callback(), 0);
    });
    ASSERT_EQ(4, qrn_rdtp_send(client, "bye!", 4, 0));
    ASSERT_TRUE(server_upper.WaitForData(server, 4));
    ASSERT_EQ(0, qrn_rdtp_close(server));
    ASSERT_TRUE(client_upper.WaitForCount(kMsgClose2, 1));
    EXPECT_EQ(kClose2Lost, client_upper.WaitFor(kMsgClose2).p1);
    EXPECT_EQ(kCloseNoNotice, close_result.load());
    EXPECT_EQ((std::vector<int>{kMsgConfirm, kMsgConfirm2, kMsgClose2}), client_upper.Messages(client));
}

TEST_F(RdtpTest, OptionsReportModeBandwidthRoundTripAndPeerOfATcpConnection) {
    CUpper &server_upper = NewUpper();
    CUpper &client_upper = NewUpper();
    int client = 0;
    int server = 0;
    Establish(client_upper, server_upper, Listen(server_upper), &client, &server);

    for (int handle : {client, server}) {
        uint8_t mode = 0xff;
        ASSERT_EQ(0, qrn_rdtp_option(handle, kOptConnMode, reinterpret_cast<uintptr_t>(&mode)));
        EXPECT_EQ(kModeTcp, mode);
        uint32_t bandwidth = 0;
        ASSERT_EQ(0, qrn_rdtp_option(handle, kOptBandwidth, reinterpret_cast<uintptr_t>(&bandwidth)));
        EXPECT_EQ(204800u, bandwidth);
        uint32_t rtt = 0xffffffffu;
        ASSERT_EQ(0, qrn_rdtp_option(handle, kOptRtt, reinterpret_cast<uintptr_t>(&rtt)));
        EXPECT_EQ(0u, rtt);
        EXPECT_EQ(0, qrn_rdtp_option(handle, 77, 0));  // unknown: traced, answered
        EXPECT_EQ(-1, qrn_rdtp_option(handle, kOptBandwidth, 0));  // nowhere to write
    }
    uint32_t ip = 0;
    uint16_t peer_port = 0;
    ASSERT_EQ(0, qrn_rdtp_option(server, kOptPeerIp, reinterpret_cast<uintptr_t>(&ip)));
    ASSERT_EQ(0, qrn_rdtp_option(server, kOptPeerPort, reinterpret_cast<uintptr_t>(&peer_port)));
    EXPECT_EQ(kLoopbackIp, ip);
    EXPECT_NE(0, peer_port);

    const int unknown = 4000;
    char byte = 0;
    EXPECT_EQ(-1, qrn_rdtp_option(unknown, kOptConnMode, reinterpret_cast<uintptr_t>(&byte)));
    EXPECT_EQ(-1, qrn_rdtp_send(unknown, &byte, 1, 0));
    EXPECT_EQ(-1, qrn_rdtp_recv(unknown, &byte, 1, 0));
    EXPECT_EQ(-1, qrn_rdtp_close(unknown));
    EXPECT_EQ(-1, qrn_rdtp_send(client, nullptr, 1, 0));
}

TEST_F(RdtpTest, MessagesFollowTheCallbackAndUserDataSetInTheConnectHandler) {
    CUpper &listener_upper = NewUpper();
    CUpper &connection_upper = NewUpper();
    CUpper &client_upper = NewUpper();
    // As the transport layer does: on message 1 the new connection gets its own callback.
    listener_upper.SetExtra([&connection_upper](const Event &e) {
        if (e.msg != kMsgConnect) return;
        qrn_rdtp_option(static_cast<int>(e.handle), kOptCallback, reinterpret_cast<uintptr_t>(connection_upper.Callback()));
        qrn_rdtp_option(static_cast<int>(e.handle), kOptUserData, connection_upper.Context());
    });
    const int client = Connect(client_upper, Listen(listener_upper));
    ASSERT_GT(client, 0);
    ASSERT_TRUE(connection_upper.WaitForCount(kMsgConnect2, 1));
    const int server = static_cast<int>(connection_upper.WaitFor(kMsgConnect2).handle);
    EXPECT_EQ((std::vector<int>{kMsgConnect}), listener_upper.Messages(server));
    ASSERT_TRUE(client_upper.WaitForCount(kMsgConfirm2, 1));
    ASSERT_EQ(3, qrn_rdtp_send(client, "abc", 3, 0));
    ASSERT_TRUE(connection_upper.WaitForData(server, 3));
    EXPECT_EQ(0, listener_upper.recorder().Count(kMsgRead));
}

TEST_F(RdtpTest, RequestArrivingInPiecesIsParsedOnceAndBytesBehindItGoUp) {
    CUpper &server_upper = NewUpper();
    const uint16_t port = Listen(server_upper);
    const int fd = RawConnect(port);
    const std::string request = PduBytes(0, 0, 0, 0, kModeTcp);
    RawSend(fd, request.substr(0, 5));
    int server = 0;
    ASSERT_TRUE(WaitUntil([&] {
        std::vector<int> live = rdtp_debug::handles();
        if (live.size() != 1 || rdtp_debug::pdu_length(live[0]) != 5) return false;
        server = live[0];
        return true;
    }));
    EXPECT_TRUE(server_upper.recorder().Events().empty());

    RawSend(fd, request.substr(5) + "payload");
    const CRdtpConnectPdu answer = ParsePdu(RawRecv(fd, kPduSize));
    EXPECT_EQ(server, answer.conn_id);
    ASSERT_TRUE(server_upper.WaitForData(server, 7));
    ASSERT_TRUE(server_upper.WaitForCount(kMsgRead, 1));  // read in the hook, recorded after
    EXPECT_EQ("payload", server_upper.Received(server));
    const std::vector<int> messages = server_upper.Messages(server);
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ((std::vector<int>{kMsgConnect, kMsgConnect2, kMsgRead}), std::vector<int>(messages.begin(), messages.begin() + 3));
    EXPECT_EQ(1, server_upper.recorder().Count(kMsgConnect));
    ::close(fd);
}

TEST_F(RdtpTest, ClientTakesAnAnswerInPiecesThenResumesWithTheServersTags) {
    CUpper &client_upper = NewUpper();
    uint16_t port = 0;
    const int listener = RawListen(&port);
    const int client = Connect(client_upper, port);
    ASSERT_GT(client, 0);
    const int first = RawAccept(listener);
    ASSERT_GE(first, 0);
    EXPECT_EQ(PduBytes(0, 0, 0, 0, kModeTcp), RawRecv(first, kPduSize));
    ASSERT_TRUE(client_upper.WaitForCount(kMsgConfirm, 1));
    EXPECT_EQ(kConfirmOk, client_upper.WaitFor(kMsgConfirm).p1);

    const std::string answer = PduBytes(0x11223344, 42, 9, 0, kModeTcp);
    RawSend(first, answer.substr(0, 5));
    ASSERT_TRUE(WaitUntil([&] { return rdtp_debug::pdu_length(client) == 5; }));
    EXPECT_EQ(0, client_upper.recorder().Count(kMsgConfirm2));
    RawSend(first, answer.substr(5) + "hello");
    ASSERT_TRUE(client_upper.WaitForData(client, 5));
    ASSERT_TRUE(client_upper.WaitForCount(kMsgRead, 1));
    EXPECT_EQ("hello", client_upper.Received(client));
    const std::vector<int> messages = client_upper.Messages(client);
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ((std::vector<int>{kMsgConfirm, kMsgConfirm2, kMsgRead}), std::vector<int>(messages.begin(), messages.begin() + 3));

    // The path breaks: the next request names the logical connection, one loss further on.
    ::close(first);
    ASSERT_TRUE(client_upper.WaitForCount(kMsgClose2, 1));
    const int second = RawAccept(listener);
    ASSERT_GE(second, 0);
    EXPECT_EQ(PduBytes(0x11223344, 42, 9, 1, kModeTcp), RawRecv(second, kPduSize));
    EXPECT_EQ(1, client_upper.recorder().Count(kMsgConfirm));  // only the first connect reports 2
    ::close(second);
    ::close(listener);
}

TEST_F(RdtpTest, RefusedFirstConnectReportsConfirmRefusedAndTheHandleIsGone) {
    CUpper &client_upper = NewUpper();
    uint16_t port = 0;
    const int listener = RawListen(&port);
    const int client = Connect(client_upper, port);
    const int fd = RawAccept(listener);
    ASSERT_EQ(static_cast<size_t>(kPduSize), RawRecv(fd, kPduSize).size());
    RawSend(fd, kZeros);
    ASSERT_TRUE(client_upper.WaitForCount(kMsgConfirm, 2));
    const std::vector<Event> events = client_upper.recorder().Events();
    ASSERT_EQ(2u, events.size());
    EXPECT_EQ(kConfirmOk, events[0].p1);
    EXPECT_EQ(kConfirmRefused, events[1].p1);
    char byte = 0;
    EXPECT_EQ(-1, qrn_rdtp_send(client, &byte, 1, 0));
    EXPECT_TRUE(RawSeesClose(fd));
    ::close(fd);
    ::close(listener);
}

// A raw peer's request, and whether the server refused it (13 zero bytes, then the close).
bool Refused(uint16_t port, const std::string &request) {
    const int fd = RawConnect(port);
    RawSend(fd, request);
    const bool refused = RawRecv(fd, kPduSize) == kZeros && RawSeesClose(fd);
    ::close(fd);
    return refused;
}

// A resumption by a raw peer that the server must accept; returns the new path.
int Resumed(uint16_t port, const CRdtpConnectPdu &tags, uint16_t ordinal) {
    const int fd = RawConnect(port);
    RawSend(fd, PduBytes(tags.serv_tag, tags.cli_tag, tags.conn_id, ordinal, kModeTcp));
    const CRdtpConnectPdu answer = ParsePdu(RawRecv(fd, kPduSize));
    EXPECT_EQ(tags.serv_tag, answer.serv_tag);
    EXPECT_EQ(tags.cli_tag, answer.cli_tag);
    EXPECT_EQ(tags.conn_id, answer.conn_id);
    EXPECT_EQ(ordinal, answer.ordinal);
    EXPECT_EQ(kModeTcp, answer.conn_mode);
    return fd;
}

TEST_F(RdtpTest, ResumptionNeedsTheServersTagTheClientTagAndAnOrdinalThatAdvances) {
    CUpper &server_upper = NewUpper();
    const uint16_t port = Listen(server_upper);
    const int first = RawConnect(port);
    RawSend(first, PduBytes(0, 0, 0, 0, kModeTcp));
    const CRdtpConnectPdu tags = ParsePdu(RawRecv(first, kPduSize));
    const int server = tags.conn_id;

    EXPECT_TRUE(Refused(port, PduBytes(tags.serv_tag, tags.cli_tag, static_cast<uint16_t>(server + 100), 0, kModeTcp)));
    EXPECT_TRUE(Refused(port, PduBytes(tags.serv_tag, tags.cli_tag + 1, tags.conn_id, 0, kModeTcp)));
    EXPECT_TRUE(Refused(port, PduBytes(tags.serv_tag + 1, tags.cli_tag, tags.conn_id, 0, kModeTcp)));

    EXPECT_TRUE(Refused(port, PduBytes(tags.serv_tag, tags.cli_tag, tags.conn_id, 0, kModeTcp)));  // not advanced
    const int same = Resumed(port, tags, 1);
    EXPECT_TRUE(RawSeesClose(first));  // the path it replaced is closed
    const int ahead = Resumed(port, tags, 5);
    EXPECT_TRUE(RawSeesClose(same));
    EXPECT_TRUE(Refused(port, PduBytes(tags.serv_tag, tags.cli_tag, tags.conn_id, 4, kModeTcp)));
    EXPECT_TRUE(Refused(port, PduBytes(tags.serv_tag, tags.cli_tag, tags.conn_id, 5, kModeTcp)));
    EXPECT_EQ(5, rdtp_debug::ordinal(server));

    // Both resumptions found the server established: 8 (replaced), then 6. Refused objects are gone.
    ASSERT_TRUE(server_upper.WaitForCount(kMsgConnect2, 3));
    EXPECT_EQ((std::vector<int>{kMsgConnect, kMsgConnect2, kMsgClose2, kMsgConnect2, kMsgClose2, kMsgConnect2}),
              server_upper.Messages(server));
    for (const Event &e : server_upper.recorder().Events()) {
        if (e.msg == kMsgClose2) {
            EXPECT_EQ(kClose2Replaced, e.p1);
        }
    }
    EXPECT_TRUE(WaitUntil([&] { return rdtp_debug::handles() == std::vector<int>{server}; }));
    ::close(ahead);
}

TEST_F(RdtpTest, OrdinalsCompareAcrossSixteenBitWrapAround) {
    CUpper &server_upper = NewUpper();
    const uint16_t port = Listen(server_upper);
    const int first = RawConnect(port);
    RawSend(first, PduBytes(0, 0, 0, 0xffff, kModeTcp));
    const CRdtpConnectPdu tags = ParsePdu(RawRecv(first, kPduSize));
    EXPECT_EQ(0xffff, tags.ordinal);

    const int wrapped = Resumed(port, tags, 0);  // one past 0xffff
    EXPECT_EQ(0, rdtp_debug::ordinal(tags.conn_id));
    EXPECT_TRUE(Refused(port, PduBytes(tags.serv_tag, tags.cli_tag, tags.conn_id, 0xffff, kModeTcp)));
    ::close(first);
    ::close(wrapped);
}

TEST_F(RdtpTest, OnlyAServerConnectionWithTagsCanBeResumed) {
    CUpper &server_upper = NewUpper();
    CUpper &client_upper = NewUpper();
    const uint16_t port = Listen(server_upper);
    int client = 0;
    int server = 0;
    Establish(client_upper, server_upper, port, &client, &server);

    // A half-open server object has no tags yet: a request with cli_tag 0 must not take it over.
    const int half_open = RawConnect(port);
    int half_open_handle = 0;
    ASSERT_TRUE(WaitUntil([&] {
        for (int h : rdtp_debug::handles()) {
            if (h != client && h != server) half_open_handle = h;
        }
        return half_open_handle != 0;
    }));
    EXPECT_TRUE(Refused(port, PduBytes(ServerTag(), 0, static_cast<uint16_t>(half_open_handle), 0, kModeTcp)));
    // The client's own object (same process, same table) holds the server's tags but is no server.
    const uint32_t client_tag = static_cast<uint32_t>(rdtp_debug::client_tag(client));
    EXPECT_EQ(client_tag, rdtp_debug::client_tag(server));
    EXPECT_TRUE(Refused(port, PduBytes(ServerTag(), client_tag, static_cast<uint16_t>(client), 0, kModeTcp)));
    EXPECT_EQ(kStateAccepted, rdtp_debug::state(half_open_handle));
    EXPECT_EQ(kStateEstablished, rdtp_debug::state(client));
    ::close(half_open);
}

TEST_F(RdtpTest, ConnectToAClosedPortReportsEveryPathFailed) {
    CUpper &client_upper = NewUpper();
    const int client = Connect(client_upper, FreePort());
    ExpectEveryPathFailed(client_upper, client);
}

TEST_F(RdtpTest, CombinedModeAndARaceWhoseEveryPathFailsReportItOnce) {
    CUpper &combined_upper = NewUpper();
    const int combined = qrn_rdtp_connect(kLoopback, FreePort(), FreePort(), 0, nullptr, 0, combined_upper.Callback(),
                                          combined_upper.Context());
    ExpectEveryPathFailed(combined_upper, combined);
    // UDP, TCP and the tunnel raced: the last to fail ends it.
    CUpper &race_upper = NewUpper();
    const int race = qrn_rdtp_connect(kLoopback, FreePort(), FreePort(), FreePort(), nullptr, 0, race_upper.Callback(),
                                      race_upper.Context());
    ExpectEveryPathFailed(race_upper, race);
    // The thread that told it lets go of the object just after.
    EXPECT_TRUE(WaitUntil([] { return rdtp_debug::live_connections() == 0; }));
}

TEST_F(RdtpTest, NothingToConnectToGivesNoHandle) {
    CUpper &upper = NewUpper();
    auto connect = [&](const char *ip, int udp, int tcp, int http) {
        return qrn_rdtp_connect(ip, udp, tcp, http, nullptr, 0, upper.Callback(), upper.Context());
    };
    EXPECT_EQ(0, connect(kLoopback, 0, 0, 0));
    EXPECT_EQ(0, connect(nullptr, 0, 1234, 0));
    EXPECT_TRUE(rdtp_debug::handles().empty());
    EXPECT_EQ(0, rdtp_debug::live_connections());
    EXPECT_TRUE(upper.recorder().Events().empty());
}

TEST_F(RdtpTest, CombinedModeWithoutUdpGoesOnOverTcp) {
    CUpper &server_upper = NewUpper();
    CUpper &client_upper = NewUpper();
    const uint16_t port = Listen(server_upper);
    // A UDP and a TCP port: the combined mode, whose UDP path cannot be made here.
    const int client = qrn_rdtp_connect(kLoopback, FreePort(), port, 0, nullptr, 0, client_upper.Callback(),
                                        client_upper.Context());
    ASSERT_GT(client, 0);
    ASSERT_TRUE(client_upper.WaitForCount(kMsgConfirm2, 1));
    ASSERT_TRUE(server_upper.WaitForCount(kMsgConnect2, 1));
    const int server = static_cast<int>(server_upper.WaitFor(kMsgConnect).handle);
    EXPECT_EQ((std::vector<int>{kMsgConfirm, kMsgConfirm2}), client_upper.Messages(client));
    EXPECT_EQ((std::vector<int>{kMsgConnect, kMsgConnect2}), server_upper.Messages(server));
    for (int handle : {client, server}) {
        uint8_t mode = 0xff;
        qrn_rdtp_option(handle, kOptConnMode, reinterpret_cast<uintptr_t>(&mode));
        EXPECT_EQ(kModeTcp, mode);
    }
    ASSERT_EQ(6, qrn_rdtp_send(client, "abcdef", 6, 0));
    ASSERT_TRUE(server_upper.WaitForData(server, 6));
    EXPECT_EQ("abcdef", server_upper.Received(server));
    ASSERT_EQ(2, qrn_rdtp_send(server, "ok", 2, 0));
    ASSERT_TRUE(client_upper.WaitForData(client, 2));
}

TEST_F(RdtpTest, RepeatedRequestInPiecesReportsOnlyTheBytesBehindIt) {
    CUpper &server_upper = NewUpper();
    const uint16_t port = Listen(server_upper);
    const int fd = RawConnect(port);
    RawSend(fd, PduBytes(0, 0, 0, 0, kModeTcpUdp));
    const CRdtpConnectPdu tags = ParsePdu(RawRecv(fd, kPduSize));
    EXPECT_EQ(kModeTcp, tags.conn_mode);  // the server's own mode: it waits for the UDP path
    const int server = tags.conn_id;
    ASSERT_TRUE(WaitUntil([&] { return rdtp_debug::state(server) == kStateAwaitingUdp; }));

    // The client goes on without UDP: its request again, on TCP, arriving as 5 and then 8 + 10.
    const std::string again = PduBytes(tags.serv_tag, tags.cli_tag, tags.conn_id, 0, kModeTcp);
    RawSend(fd, again.substr(0, 5));
    ASSERT_TRUE(WaitUntil([&] { return rdtp_debug::pdu_length(server) == 5; }));
    EXPECT_TRUE(server_upper.recorder().Events().empty());
    RawSend(fd, again.substr(5) + "0123456789");
    ASSERT_TRUE(server_upper.WaitForData(server, 10));
    ASSERT_TRUE(server_upper.WaitForCount(kMsgRead, 1));
    EXPECT_EQ("0123456789", server_upper.Received(server));
    const std::vector<Event> events = server_upper.recorder().Events();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(kMsgConnect, events[0].msg);
    EXPECT_EQ(kMsgConnect2, events[1].msg);
    EXPECT_EQ(kMsgRead, events[2].msg);
    EXPECT_EQ(10u, events[2].p1);
    ::close(fd);
}

TEST_F(RdtpTest, ListenOpensOneSocketPerBindAddressOrOneOnAnyAddress) {
    StartSockets();
    CUpper &server_upper = NewUpper();
    CUpper &client_upper = NewUpper();

    int sockets = sock_debug::socket_count();
    const uint16_t two = FreePort();
    ASSERT_EQ(kListenOk, qrn_rdtp_listen("127.0.0.1;127.0.0.2", 0, two, 0, server_upper.Callback(), server_upper.Context()));
    EXPECT_EQ(sockets + 2, sock_debug::socket_count());
    sockets = sock_debug::socket_count();
    const uint16_t any = FreePort();
    ASSERT_EQ(kListenOk, qrn_rdtp_listen(nullptr, 0, any, 0, server_upper.Callback(), server_upper.Context()));
    EXPECT_EQ(sockets + 1, sock_debug::socket_count());
    sockets = sock_debug::socket_count();
    const uint16_t empty = FreePort();
    ASSERT_EQ(kListenOk, qrn_rdtp_listen("", 0, empty, 0, server_upper.Callback(), server_upper.Context()));
    EXPECT_EQ(sockets + 1, sock_debug::socket_count());

    const struct {
        const char *ip;
        uint16_t port;
    } targets[] = {{"127.0.0.1", two}, {"127.0.0.2", two}, {"127.0.0.3", any}, {"127.0.0.4", empty}};
    for (const auto &t : targets) {
        EXPECT_GT(Connect(client_upper, t.port, t.ip), 0) << t.ip;
    }
    EXPECT_TRUE(client_upper.WaitForCount(kMsgConfirm2, 4));
    EXPECT_TRUE(server_upper.WaitForCount(kMsgConnect2, 4));
}

TEST_F(RdtpTest, ListenStopsAtTheFirstFailingPath) {
    StartSockets();
    CUpper &upper = NewUpper();
    // 192.0.2.1 belongs to no interface here.
    EXPECT_EQ(kListenUdpFailed, qrn_rdtp_listen("192.0.2.1", FreePort(), FreePort(), 0, upper.Callback(), upper.Context()));
    const uint16_t busy = Listen(upper);
    const int sockets = sock_debug::socket_count();
    EXPECT_EQ(kListenTcpFailed, qrn_rdtp_listen(kLoopback, 0, busy, 0, upper.Callback(), upper.Context()));
    EXPECT_EQ(kListenTcpFailed, qrn_rdtp_listen("192.0.2.1", 0, FreePort(), 0, upper.Callback(), upper.Context()));
    EXPECT_EQ(sockets, sock_debug::socket_count());  // a socket that could not listen is closed
}

TEST_F(RdtpTest, ListenWithAnHttpPortFailsButItsTcpListenerServesWithTags) {
    CUpper &server_upper = NewUpper();
    CUpper &client_upper = NewUpper();
    const uint16_t port = FreePort();
    EXPECT_EQ(kListenHttpFailed,
              qrn_rdtp_listen(kLoopback, 0, port, FreePort(), server_upper.Callback(), server_upper.Context()));
    int client = 0;
    int server = 0;
    Establish(client_upper, server_upper, port, &client, &server);
    EXPECT_EQ(kStateEstablished, rdtp_debug::state(client));
}

TEST_F(RdtpTest, EventsForClosedHandlesAreDropped) {
    CUpper &server_upper = NewUpper();
    CUpper &client_upper = NewUpper();
    int client = 0;
    int server = 0;
    Establish(client_upper, server_upper, Listen(server_upper), &client, &server);
    const size_t before = client_upper.recorder().Events().size();

    EXPECT_EQ(0, qrn_rdtp_close(client));
    EXPECT_EQ(-1, qrn_rdtp_close(client));
    // The client's path closed with it: the server hears of the loss, the client of nothing.
    ASSERT_TRUE(server_upper.WaitForCount(kMsgClose2, 1));
    for (int msg : {kLowerConnected, kLowerReadable, kLowerWritable, kLowerClosed, kLowerStatus}) {
        EXPECT_EQ(kDispatchNoConnection, qrn_rdtp_callback(kFromTcp, static_cast<uintptr_t>(client), msg, 1, 0, 0, 0));
    }
    EXPECT_EQ(before, client_upper.recorder().Events().size());

    // An accept for a listener that does not exist is refused and its socket closed.
    const int stray = VSOCK::socket(0, nullptr, 0);
    ASSERT_GT(stray, 0);
    EXPECT_EQ(kDispatchNoListener, qrn_rdtp_callback(kFromTcp, 999, kLowerAccepted, static_cast<uintptr_t>(stray), 0, 0, 0));
    EXPECT_EQ(3, VSOCK::close(stray));
}

TEST_F(RdtpTest, EventOfAPathTheConnectionDoesNotHoldChangesNothing) {
    CUpper &server_upper = NewUpper();
    CUpper &client_upper = NewUpper();
    int client = 0;
    int server = 0;
    Establish(client_upper, server_upper, Listen(server_upper), &client, &server);
    const int stranger = 60000;
    EXPECT_EQ(kDispatchOk, qrn_rdtp_callback(kFromTcp, static_cast<uintptr_t>(server), kLowerClosed,
                                             static_cast<uintptr_t>(stranger), 1, 0, 0));
    EXPECT_EQ(kDispatchOk, qrn_rdtp_callback(kFromUdp, static_cast<uintptr_t>(server), kLowerClosed,
                                             static_cast<uintptr_t>(stranger), 1, 0, 0));
    EXPECT_EQ(kStateEstablished, rdtp_debug::state(server));
    EXPECT_EQ(0, server_upper.recorder().Count(kMsgClose2));
    ASSERT_EQ(2, qrn_rdtp_send(server, "hi", 2, 0));
    ASSERT_TRUE(client_upper.WaitForData(client, 2));
}

TEST_F(RdtpTest, CloseInTheConnectHandlerSuppressesTheRestAndTheClientsResumptionIsRefused) {
    CUpper &server_upper = NewUpper();
    CUpper &client_upper = NewUpper();
    server_upper.SetExtra([](const Event &e) {
        if (e.msg == kMsgConnect) qrn_rdtp_close(static_cast<int>(e.handle));
    });
    const int client = Connect(client_upper, Listen(server_upper));
    ASSERT_GT(client, 0);
    // The server object went with its path; the client loses the path, comes back, is refused.
    ASSERT_TRUE(client_upper.WaitForCount(kMsgClose, 1));
    EXPECT_EQ(kCloseRefused, client_upper.WaitFor(kMsgClose).p1);
    EXPECT_EQ((std::vector<int>{kMsgConfirm, kMsgConfirm2, kMsgClose2, kMsgClose}), client_upper.Messages(client));
    EXPECT_EQ((std::vector<int>{kMsgConnect}), server_upper.Messages(static_cast<int>(server_upper.WaitFor(kMsgConnect).handle)));
    EXPECT_EQ(-1, rdtp_debug::state(client));
}

}  // namespace
}  // namespace rdtptest
