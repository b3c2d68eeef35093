// The connect exchange through the exported API: connect data both ways, refusals, the
// version refusal, limits of the connect data, listeners, handles, closing and time-outs.
#include <gtest/gtest.h>

#include <stdio.h>

#include <atomic>

#include "qrnlibl/qrn_time.h"
#include "tp_fixture.h"

namespace tptest {
namespace {

using TpConnect = TpTest;

TEST_F(TpConnect, ConnectDataTravelsBothWaysAndTheConnectionOpens) {
    CApp &server = NewApp();
    CApp &client = NewApp();
    const uint16_t port = Listen(server);
    const Bytes hello = Pattern(100, 3);
    const Bytes welcome = Pattern(37, 9);
    server.AnswerWith(QRN_TP_ACCEPT, welcome);

    const int h = Connect(client, port, hello, 20000);
    ASSERT_NE(0, h);
    const Event result = client.WaitFor(QRN_TP_MSG_CONNECT_RESULT);
    EXPECT_EQ(QRN_TP_CONNECT_ACCEPTED, result.p1);
    EXPECT_EQ(static_cast<uintptr_t>(h), result.handle);
    EXPECT_EQ(welcome, client.ConnectData(QRN_TP_MSG_CONNECT_RESULT));
    const Event request = server.WaitFor(QRN_TP_MSG_CONNECT_REQUEST);
    const int sh = static_cast<int>(request.handle);
    Track(sh);
    EXPECT_EQ(19u * 1024u, request.p1);  // 20000 bytes, announced in whole kilobytes
    EXPECT_EQ(hello, server.ConnectData(QRN_TP_MSG_CONNECT_REQUEST));

    uint32_t client_ip = 0;
    EXPECT_EQ(QRN_TP_OK, qrn_tp_option(sh, QRN_TP_OPT_PEER_LOCAL_IP, reinterpret_cast<uintptr_t>(&client_ip)));
    EXPECT_EQ(kLoopbackIp, client_ip);
    uint8_t mode = 0xff;
    EXPECT_EQ(QRN_TP_OK, qrn_tp_option(h, QRN_TP_OPT_CONN_MODE, reinterpret_cast<uintptr_t>(&mode)));
    EXPECT_EQ(QRN_TP_CONN_MODE_TCP, mode);

    EXPECT_EQ(10, qrn_tp_send(h, Pattern(10, 1).data(), 10, QRN_TP_SEND_STREAM));
    EXPECT_EQ(20, qrn_tp_send(sh, Pattern(20, 2).data(), 20, QRN_TP_SEND_STREAM));
    ASSERT_TRUE(server.WaitStream(sh, 10));
    ASSERT_TRUE(client.WaitStream(h, 20));
    EXPECT_EQ(Pattern(10, 1), server.Stream(sh));
    EXPECT_EQ(Pattern(20, 2), client.Stream(h));
    EXPECT_EQ((std::vector<int>{QRN_TP_MSG_CONNECT_REQUEST, QRN_TP_MSG_DATA}), server.Messages());
}

TEST_F(TpConnect, RefusalReachesTheClientWithItsCode) {
    CApp &server = NewApp();
    CApp &client = NewApp();
    const uint16_t port = Listen(server);
    server.AnswerWith(4711);
    const int h = Connect(client, port, Pattern(5));
    ASSERT_NE(0, h);
    const Event result = client.WaitFor(QRN_TP_MSG_CONNECT_RESULT);
    EXPECT_EQ(4711u, result.p1);
    EXPECT_EQ(0u, result.p2);
    EXPECT_EQ(0u, result.p3);
    const int sh = static_cast<int>(server.WaitFor(QRN_TP_MSG_CONNECT_REQUEST).handle);
    // Both ends are gone: the client at once, the server at its next tick, silently.
    EXPECT_TRUE(WaitUntil([&] { return qrn_tp_send(sh, "x", 1, 0) == QRN_TP_ERR_UNKNOWN_HANDLE; }));
    EXPECT_EQ(QRN_TP_ERR_UNKNOWN_HANDLE, qrn_tp_send(h, "x", 1, 0));
    EXPECT_EQ((std::vector<int>{QRN_TP_MSG_CONNECT_REQUEST}), server.Messages());
    EXPECT_EQ((std::vector<int>{QRN_TP_MSG_CONNECT_RESULT}), client.Messages());
}

// A client of another protocol version gets the refusal 1010 and then dis_req_pdu; the
// server's application hears nothing.
TEST_F(TpConnect, WrongVersionIsRefusedWith1010AndDisReq) {
    CApp &server = NewApp();
    const uint16_t port = Listen(server);
    CRawSession session;
    auto raw = RawDial(port, &session);
    ASSERT_TRUE(raw);
    const Bytes request = ConnReqBytes(0x11);
    raw->SendResumeReq(tp::kFirstSeq, tp::kFirstSeq, static_cast<uint32_t>(request.size()));
    const tp::CTpResumeResp resume = raw->RecvResumeResp();
    EXPECT_EQ(tp::kResumeAccepted, resume.result);
    EXPECT_EQ(tp::kFirstSeq, resume.recv_next);
    raw->SendPdu(tp::kPduData, request);

    tp::CTpPduHeader header;
    Bytes body;
    ASSERT_TRUE(raw->RecvPdu(&header, &body));
    EXPECT_EQ(tp::kPduData, header.type);
    EXPECT_EQ((Bytes{0, 8, 0x03, 0xf2, 0, 0, 0, 0}), body);
    ASSERT_TRUE(raw->RecvPdu(&header, &body));
    EXPECT_EQ(tp::kPduDisReq, header.type);
    EXPECT_EQ(0, header.body_len);
    EXPECT_TRUE(raw->SeesClose());
    EXPECT_TRUE(server.Messages().empty());
}

TEST_F(TpConnect, ConnectDataOfTheLimitPassesBothWaysAndOneByteMoreIsRefused) {
    CApp &server = NewApp();
    CApp &client = NewApp();
    const uint16_t port = Listen(server);
    const Bytes most = Pattern(QRN_TP_MAX_CONNECT_DATA, 5);
    const Bytes most_back = Pattern(QRN_TP_MAX_CONNECT_DATA, 6);
    const Bytes too_long = Pattern(QRN_TP_MAX_CONNECT_DATA + 1);
    EXPECT_EQ(0, qrn_tp_connect(kLoopback, 0, port, 0, nullptr, 0, client.Callback(), client.Context(), kBufferSize,
                                static_cast<int>(too_long.size()), too_long.data()));
    EXPECT_EQ(0, tp_debug::table_count());

    // The server's application offers too much first; nothing changes until it offers less.
    server.SetExtra([&](const Event &e) {
        if (e.msg != QRN_TP_MSG_CONNECT_REQUEST) return;
        const int sh = static_cast<int>(e.handle);
        EXPECT_EQ(QRN_TP_ERR_INVALID,
                  qrn_tp_accept(sh, QRN_TP_ACCEPT, kBufferSize, static_cast<int>(too_long.size()), too_long.data()));
        EXPECT_EQ(QRN_TP_OK,
                  qrn_tp_accept(sh, QRN_TP_ACCEPT, kBufferSize, static_cast<int>(most_back.size()), most_back.data()));
        EXPECT_EQ(QRN_TP_ERR_INVALID, qrn_tp_accept(sh, QRN_TP_ACCEPT, kBufferSize, 0, nullptr));
    });
    ASSERT_NE(0, Connect(client, port, most));
    EXPECT_EQ(QRN_TP_CONNECT_ACCEPTED, client.WaitFor(QRN_TP_MSG_CONNECT_RESULT).p1);
    EXPECT_EQ(most_back, client.ConnectData(QRN_TP_MSG_CONNECT_RESULT));
    Track(static_cast<int>(server.WaitFor(QRN_TP_MSG_CONNECT_REQUEST).handle));
    EXPECT_EQ(most, server.ConnectData(QRN_TP_MSG_CONNECT_REQUEST));
}

TEST_F(TpConnect, UnknownHandlesGiveMinusOneAndTheIdleFunctionsDoNothing) {
    uint32_t value = 0;
    for (int h : {0, 0xfffe, -5}) {
        EXPECT_EQ(QRN_TP_ERR_UNKNOWN_HANDLE, qrn_tp_send(h, "x", 1, 0));
        EXPECT_EQ(QRN_TP_ERR_UNKNOWN_HANDLE, qrn_tp_accept(h, QRN_TP_ACCEPT, kBufferSize, 0, nullptr));
        EXPECT_EQ(QRN_TP_ERR_UNKNOWN_HANDLE, qrn_tp_close(h, QRN_TP_CLOSE_NORMAL));
        EXPECT_EQ(QRN_TP_ERR_UNKNOWN_HANDLE,
                  qrn_tp_option(h, QRN_TP_OPT_PEER_LOCAL_IP, reinterpret_cast<uintptr_t>(&value)));
    }
    EXPECT_EQ(0u, value);
    EXPECT_EQ(QRN_TP_OK, qrn_tp_init());
    EXPECT_EQ(0, qrn_tp_loop(12345));
    qrn_tp_heartbeat();
    unsigned a, b, c, d;
    char extra;
    EXPECT_EQ(4, sscanf(qrn_tp_get_local_ip_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &extra));
}

TEST_F(TpConnect, TwoListenersReportToTheirOwnCallbacks) {
    CApp &first = NewApp();
    CApp &second = NewApp();
    CApp &client = NewApp();
    const uint16_t port1 = Listen(first);
    const uint16_t port2 = Listen(second);
    first.AnswerWith(QRN_TP_ACCEPT, Bytes{1});
    second.AnswerWith(QRN_TP_ACCEPT, Bytes{2});
    ASSERT_NE(0, Connect(client, port2));
    ASSERT_EQ(QRN_TP_CONNECT_ACCEPTED, client.WaitFor(QRN_TP_MSG_CONNECT_RESULT).p1);
    EXPECT_EQ(Bytes{2}, client.ConnectData(QRN_TP_MSG_CONNECT_RESULT));
    ASSERT_NE(0, Connect(client, port1));
    ASSERT_TRUE(client.rec().WaitForCount(QRN_TP_MSG_CONNECT_RESULT, 2));
    const Event at_second = second.WaitFor(QRN_TP_MSG_CONNECT_REQUEST);
    const Event at_first = first.WaitFor(QRN_TP_MSG_CONNECT_REQUEST);
    Track(static_cast<int>(at_second.handle));
    Track(static_cast<int>(at_first.handle));
    EXPECT_EQ(second.Context(), at_second.user);
    EXPECT_EQ(first.Context(), at_first.user);
    EXPECT_EQ(1, first.Count(QRN_TP_MSG_CONNECT_REQUEST));
    EXPECT_EQ(1, second.Count(QRN_TP_MSG_CONNECT_REQUEST));
}

// After qrn_tp_close the application hears nothing more, whatever the peer does.
TEST_F(TpConnect, CloseByTheApplicationSilencesItsCallback) {
    CApp &server = NewApp();
    CApp &client = NewApp();
    const uint16_t port = Listen(server);
    int h = 0;
    int sh = 0;
    Establish(client, server, port, &h, &sh);
    const size_t before = client.rec().Events().size();
    const Bytes last = Pattern(5000);
    ASSERT_EQ(5000, qrn_tp_send(h, last.data(), 5000, 0));
    EXPECT_EQ(QRN_TP_OK, qrn_tp_close(h, QRN_TP_CLOSE_NORMAL));
    EXPECT_EQ(QRN_TP_ERR_UNKNOWN_HANDLE, qrn_tp_send(h, "x", 1, 0));
    EXPECT_EQ(QRN_TP_ERR_UNKNOWN_HANDLE, qrn_tp_close(h, QRN_TP_CLOSE_NORMAL));
    qrn_tp_send(sh, last.data(), 5000, 0);  // arrives after the client has gone
    EXPECT_EQ(static_cast<uintptr_t>(QRN_TP_REASON_PEER_CLOSED), server.WaitFor(QRN_TP_MSG_CLOSED).p1);
    EXPECT_EQ(last, server.Stream(sh));  // the unsent bytes went out before the closing PDU
    EXPECT_TRUE(WaitUntil([] { return tp_debug::live_connections() == 0; }));
    EXPECT_EQ(before, client.rec().Events().size());
}

// Close waits for a callback that another thread is running for the connection.
TEST_F(TpConnect, CloseReturnsOnlyAfterARunningCallback) {
    CApp &server = NewApp();
    CApp &client = NewApp();
    const uint16_t port = Listen(server);
    int h = 0;
    int sh = 0;
    Establish(client, server, port, &h, &sh);
    std::atomic<bool> inside{false};
    std::atomic<bool> release{false};
    std::atomic<bool> returned{false};
    client.SetExtra([&](const Event &e) {
        if (e.msg != QRN_TP_MSG_DATA) return;
        inside = true;
        WaitUntil([&] { return release.load(); });
        EXPECT_FALSE(returned.load());
    });
    ASSERT_EQ(1, qrn_tp_send(sh, "x", 1, 0));
    ASSERT_TRUE(WaitUntil([&] { return inside.load(); }));
    std::thread closer([&] {
        EXPECT_EQ(QRN_TP_OK, qrn_tp_close(h, QRN_TP_CLOSE_NORMAL));
        returned = true;
    });
    // The handle is closed for the application at once; the call itself waits.
    EXPECT_TRUE(WaitUntil([&] { return qrn_tp_send(h, "x", 1, 0) == QRN_TP_ERR_UNKNOWN_HANDLE; }));
    EXPECT_FALSE(WaitUntil([&] { return returned.load(); }, 200));
    release = true;
    closer.join();
    EXPECT_TRUE(returned.load());
}

TEST_F(TpConnect, CloseWhileConnectingReleasesTheConnectionAtOnce) {
    CApp &client = NewApp();
    CRawListener listener;
    const int h = Connect(client, listener.port());
    ASSERT_NE(0, h);
    auto raw = listener.Accept();
    ASSERT_TRUE(raw);
    EXPECT_EQ(QRN_TP_OK, qrn_tp_close(h, QRN_TP_CLOSE_NORMAL));
    EXPECT_TRUE(WaitUntil([] { return tp_debug::live_connections() == 0; }));
    EXPECT_TRUE(raw->SeesClose());
    EXPECT_TRUE(client.Messages().empty());
}

// The server's multi-mode layer answers, its transport never does.
TEST_F(TpConnect, ClientEndsWithReason2WhenTheServerNeverAnswers) {
    qrntest::ClockFactor fast(50);
    CApp &client = NewApp();
    CRawListener listener;
    const uint32_t start = get_tick_count();
    const int h = Connect(client, listener.port());
    ASSERT_NE(0, h);
    auto raw = listener.Accept();
    ASSERT_TRUE(raw);
    raw->ServeNewPath();
    const Event result = client.WaitFor(QRN_TP_MSG_CONNECT_RESULT);
    const uint32_t elapsed = calc_tick_diff(start, get_tick_count());
    EXPECT_EQ(static_cast<uintptr_t>(QRN_TP_REASON_PATH_FAILED), result.p1);
    EXPECT_GT(elapsed, tp::kConnectTimeoutMs);
    EXPECT_LT(elapsed, tp::kConnectTimeoutMs + 10000);
    EXPECT_EQ(QRN_TP_ERR_UNKNOWN_HANDLE, qrn_tp_send(h, "x", 1, 0));
    EXPECT_TRUE(raw->SeesClose());
}

TEST_F(TpConnect, UnansweredServerConnectionEndsSilently) {
    qrntest::ClockFactor fast(50);
    CApp &server = NewApp();
    CApp &client = NewApp();
    const uint16_t port = Listen(server);
    ASSERT_NE(0, Connect(client, port));
    const int sh = static_cast<int>(server.WaitFor(QRN_TP_MSG_CONNECT_REQUEST).handle);
    EXPECT_EQ(QRN_TP_ERR_INVALID, qrn_tp_send(sh, "x", 1, 0));  // alive, not open
    EXPECT_TRUE(WaitUntil([&] { return qrn_tp_send(sh, "x", 1, 0) == QRN_TP_ERR_UNKNOWN_HANDLE; }));
    EXPECT_EQ((std::vector<int>{QRN_TP_MSG_CONNECT_REQUEST}), server.Messages());
    EXPECT_EQ(static_cast<uintptr_t>(QRN_TP_REASON_PATH_FAILED), client.WaitFor(QRN_TP_MSG_CONNECT_RESULT).p1);
}

std::atomic<int> g_redirected_bytes{0};

int RedirectedCallback(uintptr_t user, int msg, uintptr_t, uintptr_t, uintptr_t p2, uintptr_t) {
    if (msg == QRN_TP_MSG_DATA && user == 0x1234) g_redirected_bytes += static_cast<int>(p2);
    return 0;
}

TEST_F(TpConnect, Options101And102RedirectLaterMessages) {
    CApp &server = NewApp();
    CApp &client = NewApp();
    const uint16_t port = Listen(server);
    int h = 0;
    int sh = 0;
    Establish(client, server, port, &h, &sh);
    g_redirected_bytes = 0;
    ASSERT_EQ(QRN_TP_OK, qrn_tp_option(h, QRN_TP_OPT_USER_DATA, 0x1234));
    ASSERT_EQ(QRN_TP_OK, qrn_tp_option(h, QRN_TP_OPT_CALLBACK, reinterpret_cast<uintptr_t>(&RedirectedCallback)));
    const size_t before = client.rec().Events().size();
    ASSERT_EQ(300, qrn_tp_send(sh, Pattern(300).data(), 300, 0));
    EXPECT_TRUE(WaitUntil([] { return g_redirected_bytes.load() == 300; }));
    EXPECT_EQ(before, client.rec().Events().size());
}

}  // namespace
}  // namespace tptest
