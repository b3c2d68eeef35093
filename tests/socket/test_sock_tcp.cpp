// TCP sockets through the handle layer: states, accept, connect, send, receive, close, options.
#include <fcntl.h>
#include <string.h>

#include <atomic>
#include <memory>
#include <vector>

#include "qrnlibl/qrn_lock.h"
#include "socket_fixture.h"

namespace socktest {
namespace {

using SockTcp = SocketTest;

int CountEndingWith(const qrntest::TraceCapture &trace, const std::string &tail) {
    int n = 0;
    for (const std::string &line : trace.Lines()) {
        if (line.size() >= tail.size() && line.compare(line.size() - tail.size(), tail.size(), tail) == 0) ++n;
    }
    return n;
}

TEST_F(SockTcp, ListenAndConnectNeedAFreshTcpSocket) {
    EventRecorder &rec = NewRecorder();
    uint16_t port = 0;
    int listener = ListenTcp(rec, &port);
    EXPECT_EQ(sock::kErrWrongState, VSOCK::listen(listener));
    EXPECT_EQ(sock::kErrWrongState, VSOCK::connect(listener, VSOCK::build_address(kLoopback, port)));

    int client = ConnectTcp(rec, port);
    EXPECT_EQ(sock::kErrWrongState, VSOCK::connect(client, VSOCK::build_address(kLoopback, port)));
    EXPECT_EQ(sock::kErrWrongState, VSOCK::listen(client));

    uint16_t udp_port = 0;
    int udp = OpenUdp(rec, &udp_port);
    EXPECT_EQ(sock::kErrWrongState, VSOCK::listen(udp));
    EXPECT_EQ(sock::kErrWrongState, VSOCK::connect(udp, VSOCK::build_address(kLoopback, port)));

    int fresh = VSOCK::socket(sock::kTypeTcp, &EventRecorder::Callback, rec.Context());
    EXPECT_EQ(-1, VSOCK::connect(fresh, nullptr));
    EXPECT_EQ(sock::kStateCreated, sock_debug::state(fresh));
}

TEST_F(SockTcp, UnknownHandlesGiveThree) {
    char buf[4] = {};
    for (int h : {0, -5, 4242}) {
        EXPECT_EQ(sock::kErrUnknownHandle, VSOCK::bind(h, VSOCK::build_address(kLoopback, 0)));
        EXPECT_EQ(sock::kErrUnknownHandle, VSOCK::listen(h));
        EXPECT_EQ(sock::kErrUnknownHandle, VSOCK::connect(h, VSOCK::build_address(kLoopback, 1)));
        EXPECT_EQ(sock::kErrUnknownHandle, VSOCK::send(h, buf, 4, 0));
        EXPECT_EQ(sock::kErrUnknownHandle, VSOCK::recv(h, buf, 4, 0));
        EXPECT_EQ(sock::kErrUnknownHandle, VSOCK::recvfrom(h, buf, 4, 0, nullptr));
        EXPECT_EQ(sock::kErrUnknownHandle, VSOCK::getsockopt(h, sock::kOptLocalPort, buf, 4));
        EXPECT_EQ(sock::kErrUnknownHandle, VSOCK::setsockopt(h, sock::kOptCallbackCtx, 1, 4));
        EXPECT_EQ(sock::kErrUnknownHandle, VSOCK::close(h));
    }
}

TEST_F(SockTcp, ListenerAcceptsEveryWaitingConnectionInOnePass) {
    // Hold the socket thread inside a callback while the connections queue up, so that the
    // listener is first polled with all of them waiting.
    EventRecorder &gate_rec = NewRecorder();
    uint16_t gate_port = 0;
    int gate = OpenUdp(gate_rec, &gate_port);
    auto &held = Keep<std::atomic<bool>>();
    auto &release = Keep<std::atomic<bool>>();
    gate_rec.SetHook([gate, &held, &release](const Event &) {
        char b;
        while (VSOCK::recvfrom(gate, &b, 1, 0, nullptr) > 0) {
        }
        held = true;
        WaitUntil([&] { return release.load(); });
    });
    ASSERT_EQ(1, VSOCK::sendto(gate, "g", 1, 0, VSOCK::build_address(kLoopback, gate_port)));
    ASSERT_TRUE(WaitUntil([&] { return held.load(); }));

    EventRecorder &rec = NewRecorder();
    auto &passes = Keep<std::vector<uint64_t>>();
    rec.SetHook([&passes](const Event &e) {
        if (e.msg == sock::kEventAccepted) passes.push_back(sock_debug::thread_passes());
    });
    uint16_t port = 0;
    int listener = ListenTcp(rec, &port);
    constexpr int kClients = 5;
    std::vector<int> raw;
    for (int i = 0; i < kClients; ++i) raw.push_back(RawConnect(port));
    release = true;

    ASSERT_TRUE(rec.WaitForCount(sock::kEventAccepted, kClients));
    ASSERT_EQ(static_cast<size_t>(kClients), passes.size());
    for (uint64_t p : passes) EXPECT_EQ(passes.front(), p);
    for (const Event &e : rec.Events()) {
        EXPECT_EQ(0u, e.p1);
        EXPECT_NE(0u, e.p3);  // the scratch word's address
        EXPECT_NE(static_cast<uintptr_t>(listener), e.handle);
        EXPECT_EQ(sock::kStateConnected, sock_debug::state(static_cast<int>(e.handle)));
        EXPECT_TRUE(sock_debug::in_read_set(static_cast<int>(e.handle)));
    }
    for (int fd : raw) ::close(fd);
}

TEST_F(SockTcp, ConnectToClosedPortFailsAndFreesTheHandle) {
    EventRecorder &rec = NewRecorder();
    int h = ConnectTcp(rec, FreePort());
    Event e = rec.WaitFor(sock::kEventConnected);
    ASSERT_EQ(sock::kEventConnected, e.msg);
    EXPECT_EQ(static_cast<uintptr_t>(h), e.handle);
    EXPECT_EQ(static_cast<uintptr_t>(sock::kConnectFailed), e.p1);
    ASSERT_TRUE(WaitUntil([&] { return sock_debug::state(h) == -1; }));
    EXPECT_EQ(sock::kErrUnknownHandle, VSOCK::send(h, "x", 1, 0));
    EXPECT_EQ(sock::kErrUnknownHandle, VSOCK::close(h));
    SyncPasses();
    EXPECT_EQ(1u, rec.Events().size());
}

// Sends until the system takes only part of a block; returns the bytes it took in all.
size_t FillSendBuffer(int h) {
    std::vector<char> block(65536, 'f');
    size_t total = 0;
    for (int i = 0; i < 100000; ++i) {
        int n = VSOCK::send(h, block.data(), static_cast<int>(block.size()), 0);
        EXPECT_GE(n, 0);
        if (n < 0) break;
        total += static_cast<size_t>(n);
        if (n < static_cast<int>(block.size())) break;
    }
    return total;
}

TEST_F(SockTcp, ShortSendGivesExactlyOneWritableEventAndFullSendNone) {
    uint16_t port = 0;
    int raw_listener = RawListen(&port);
    EventRecorder &rec = NewRecorder();
    int h = ConnectTcp(rec, port);
    ASSERT_EQ(sock::kEventConnected, rec.WaitFor(sock::kEventConnected).msg);
    int peer = ::accept(raw_listener, nullptr, nullptr);
    ASSERT_GE(peer, 0);

    EXPECT_EQ(100, VSOCK::send(h, std::string(100, 'a').data(), 100, 0));
    SyncPasses();
    EXPECT_EQ(0, rec.Count(sock::kEventWritable));
    EXPECT_FALSE(sock_debug::in_write_set(h));

    size_t total = 100 + FillSendBuffer(h);
    EXPECT_TRUE(sock_debug::in_write_set(h));
    SyncPasses();
    EXPECT_EQ(0, rec.Count(sock::kEventWritable));  // no room yet: the peer does not read

    ASSERT_TRUE(RawReadExactly(peer, total));
    ASSERT_TRUE(rec.WaitForCount(sock::kEventWritable, 1));
    Event e = rec.WaitFor(sock::kEventWritable);
    EXPECT_EQ(static_cast<uintptr_t>(h), e.handle);
    EXPECT_EQ(0u, e.p1);
    EXPECT_EQ(100, VSOCK::send(h, std::string(100, 'b').data(), 100, 0));
    SyncPasses();
    EXPECT_EQ(1, rec.Count(sock::kEventWritable));
    EXPECT_FALSE(sock_debug::in_write_set(h));
    ::close(peer);
    ::close(raw_listener);
}

TEST_F(SockTcp, DataArrivesAsReadableWithItsCountAndEmptyRecvGivesZero) {
    EventRecorder &client_rec = NewRecorder();
    EventRecorder &server_rec = NewRecorder();
    int client = 0, server = 0;
    ConnectedPair(client_rec, server_rec, &client, &server);
    char buf[64];
    EXPECT_EQ(0, VSOCK::recv(client, buf, sizeof(buf), 0));

    auto &got = Keep<std::string>();
    server_rec.SetHook([&got](const Event &e) {
        if (e.msg != sock::kEventReadable) return;
        std::vector<char> data(e.p1);
        int n = VSOCK::recv(static_cast<int>(e.handle), data.data(), static_cast<int>(e.p1), 0);
        if (n > 0) got.append(data.data(), static_cast<size_t>(n));
    });
    EXPECT_EQ(5, VSOCK::send(client, "hello", 5, 0));
    Event e = server_rec.WaitFor(sock::kEventReadable);
    EXPECT_EQ(static_cast<uintptr_t>(server), e.handle);
    EXPECT_EQ(5u, e.p1);
    EXPECT_EQ("hello", got);
}

TEST_F(SockTcp, PeerCloseGivesClosedEventAndEndsTheHandle) {
    uint16_t port = 0;
    EventRecorder &rec = NewRecorder();
    int listener = ListenTcp(rec, &port);
    int raw = RawConnect(port);
    Event accepted = rec.WaitFor(sock::kEventAccepted);
    ASSERT_EQ(sock::kEventAccepted, accepted.msg);
    const int h = static_cast<int>(accepted.handle);
    ::close(raw);

    Event closed = rec.WaitFor(sock::kEventClosed);
    ASSERT_EQ(sock::kEventClosed, closed.msg);
    EXPECT_EQ(static_cast<uintptr_t>(h), closed.handle);
    EXPECT_EQ(static_cast<uintptr_t>(sock::kClosedByPeer), closed.p1);
    ASSERT_TRUE(WaitUntil([&] { return sock_debug::state(h) == -1; }));
    EXPECT_EQ(sock::kErrUnknownHandle, VSOCK::send(h, "x", 1, 0));
    EXPECT_GT(sock_debug::state(listener), 0);
}

TEST_F(SockTcp, CloseEndsTheHandleAndSilencesIt) {
    EventRecorder &client_rec = NewRecorder();
    EventRecorder &server_rec = NewRecorder();
    int client = 0, server = 0;
    ConnectedPair(client_rec, server_rec, &client, &server);

    // Closed from inside its own readable event, with the data still unread.
    server_rec.SetHook([](const Event &e) {
        if (e.msg == sock::kEventReadable) {
            EXPECT_EQ(0, VSOCK::close(static_cast<int>(e.handle)));
        }
    });
    EXPECT_EQ(4, VSOCK::send(client, "data", 4, 0));
    ASSERT_TRUE(server_rec.WaitForCount(sock::kEventReadable, 1));
    EXPECT_EQ(sock::kErrUnknownHandle, VSOCK::send(server, "x", 1, 0));
    EXPECT_EQ(sock::kErrUnknownHandle, VSOCK::close(server));

    // The client sees the close; then closed by its owner, it hears nothing more.
    ASSERT_TRUE(client_rec.WaitForCount(sock::kEventClosed, 1));
    ASSERT_TRUE(WaitUntil([&] { return sock_debug::state(client) == -1; }));  // freed after the callback
    EXPECT_EQ(sock::kErrUnknownHandle, VSOCK::close(client));

    int quiet = 0;
    uint16_t port = 0;
    int listener = ListenTcp(server_rec, &port);
    EXPECT_EQ(0, VSOCK::close(listener));
    EXPECT_EQ(sock::kErrUnknownHandle, VSOCK::close(listener));
    quiet = ConnectTcp(client_rec, port);  // refused: nothing listens any more
    ASSERT_TRUE(client_rec.WaitForCount(sock::kEventConnected, 2));
    SyncPasses();
    EXPECT_EQ(1, server_rec.Count(sock::kEventReadable));
    EXPECT_EQ(0, server_rec.Count(sock::kEventClosed));
    EXPECT_EQ(1, server_rec.Count(sock::kEventAccepted));  // the pair's only
    EXPECT_EQ(1, client_rec.Count(sock::kEventConnected, static_cast<uintptr_t>(quiet)));
}

TEST_F(SockTcp, OwnerCloseWhileDataWaitsDeliversNothingMore) {
    uint16_t port = 0;
    int raw_listener = RawListen(&port);
    EventRecorder &rec = NewRecorder();
    int h = ConnectTcp(rec, port);
    ASSERT_EQ(sock::kEventConnected, rec.WaitFor(sock::kEventConnected).msg);
    int peer = ::accept(raw_listener, nullptr, nullptr);
    SyncPasses();
    const size_t before = rec.Events().size();
    EXPECT_EQ(0, VSOCK::close(h));
    ASSERT_EQ(5, ::send(peer, "later", 5, MSG_NOSIGNAL));
    ::close(peer);
    SyncPasses();
    EXPECT_EQ(before, rec.Events().size());
    ::close(raw_listener);
}

TEST_F(SockTcp, OptionsReadAddressesAndHandOverTheSocket) {
    uint16_t port = 0;
    EventRecorder &first = NewRecorder();
    EventRecorder &second = NewRecorder();
    int listener = ListenTcp(first, &port);
    int raw = RawConnect(port);
    Event accepted = first.WaitFor(sock::kEventAccepted);
    ASSERT_EQ(sock::kEventAccepted, accepted.msg);
    const int h = static_cast<int>(accepted.handle);

    uint32_t ip = 0;
    uint16_t peer_port = 0, local_port = 0;
    uint32_t local_ip = 0;
    EXPECT_EQ(0, VSOCK::getsockopt(h, sock::kOptPeerIp, &ip, sizeof(ip)));
    EXPECT_EQ(kLoopback, ip);
    EXPECT_EQ(0, VSOCK::getsockopt(h, sock::kOptPeerPort, &peer_port, sizeof(peer_port)));
    EXPECT_EQ(RawPort(raw), peer_port);
    EXPECT_EQ(0, VSOCK::getsockopt(h, sock::kOptLocalIp, &local_ip, sizeof(local_ip)));
    EXPECT_EQ(kLoopback, local_ip);
    EXPECT_EQ(0, VSOCK::getsockopt(h, sock::kOptLocalPort, &local_port, sizeof(local_port)));
    EXPECT_EQ(port, local_port);

    // Too short for the value: nothing is written.
    uint32_t untouched = 0xa5a5a5a5;
    EXPECT_NE(0, VSOCK::getsockopt(h, sock::kOptPeerIp, &untouched, 2));
    EXPECT_NE(0, VSOCK::getsockopt(h, sock::kOptLocalIp, &untouched, 3));
    EXPECT_NE(0, VSOCK::getsockopt(h, sock::kOptPeerPort, &untouched, 1));
    EXPECT_NE(0, VSOCK::getsockopt(h, sock::kOptLocalPort, nullptr, 2));
    EXPECT_EQ(0xa5a5a5a5u, untouched);
    EXPECT_EQ(0, VSOCK::getsockopt(h, 77, &untouched, 4));
    EXPECT_EQ(0xa5a5a5a5u, untouched);

    EXPECT_EQ(0, VSOCK::setsockopt(h, sock::kOptCallback, reinterpret_cast<uintptr_t>(&EventRecorder::Callback), 8));
    EXPECT_EQ(0, VSOCK::setsockopt(h, sock::kOptCallbackCtx, second.Context(), 8));
    second.SetHook([](const Event &e) {
        char buf[16];
        if (e.msg == sock::kEventReadable) VSOCK::recv(static_cast<int>(e.handle), buf, sizeof(buf), 0);
    });
    ASSERT_EQ(2, ::send(raw, "hi", 2, MSG_NOSIGNAL));
    Event readable = second.WaitFor(sock::kEventReadable);
    EXPECT_EQ(static_cast<uintptr_t>(h), readable.handle);
    EXPECT_EQ(second.Context(), readable.user);
    EXPECT_EQ(0, first.Count(sock::kEventReadable));
    EXPECT_GT(listener, 0);
    ::close(raw);
}

TEST_F(SockTcp, CallbacksRunOnTheSocketThreadWithoutTheVsockLock) {
    auto &with_lock = Keep<std::atomic<int>>();
    auto &seen = Keep<std::atomic<int>>();
    auto check = [&with_lock, &seen](const Event &) {
        ++seen;
        if (sock_debug::vsock_lock_held()) ++with_lock;
    };
    EventRecorder &client_rec = NewRecorder();
    EventRecorder &server_rec = NewRecorder();
    client_rec.SetHook(check);
    server_rec.SetHook([check](const Event &e) {
        check(e);
        char buf[256];
        if (e.msg == sock::kEventReadable) VSOCK::recv(static_cast<int>(e.handle), buf, sizeof(buf), 0);
    });
    int client = 0, server = 0;
    ConnectedPair(client_rec, server_rec, &client, &server);  // events 1 and 2
    EXPECT_EQ(3, VSOCK::send(client, "abc", 3, 0));          // event 3
    ASSERT_TRUE(server_rec.WaitForCount(sock::kEventReadable, 1));
    int failed = ConnectTcp(client_rec, FreePort());  // event 2 with 1
    ASSERT_TRUE(client_rec.WaitForCount(sock::kEventConnected, 2));
    EXPECT_EQ(0, VSOCK::close(client));  // event 5 at the server
    ASSERT_TRUE(server_rec.WaitForCount(sock::kEventClosed, 1));

    uint16_t port = 0;
    int raw_listener = RawListen(&port);
    int writer = ConnectTcp(client_rec, port);
    ASSERT_TRUE(client_rec.WaitForCount(sock::kEventConnected, 3));
    int peer = ::accept(raw_listener, nullptr, nullptr);
    size_t total = FillSendBuffer(writer);
    ASSERT_TRUE(RawReadExactly(peer, total));
    ASSERT_TRUE(client_rec.WaitForCount(sock::kEventWritable, 1));  // event 4

    EXPECT_GE(seen.load(), 6);
    EXPECT_EQ(0, with_lock.load());
    EXPECT_GT(failed, 0);
    ::close(peer);
    ::close(raw_listener);
}

TEST_F(SockTcp, ExchangeAndCloseReachThePeerAndLeaveTheirTextLines) {
    qrntest::TraceCapture trace;
    EventRecorder &client_rec = NewRecorder();
    EventRecorder &server_rec = NewRecorder();
    // Shared with the hook, which may run after the test on a late event.
    auto got = std::make_shared<std::atomic<int>>(0);
    server_rec.SetHook([got](const Event &e) {
        char buf[16];
        if (e.msg != sock::kEventReadable) return;
        const int n = VSOCK::recv(static_cast<int>(e.handle), buf, sizeof(buf), 0);
        if (n == 2 && memcmp(buf, "ok", 2) == 0) got->fetch_add(1);
    });
    int client = 0, server = 0;
    ConnectedPair(client_rec, server_rec, &client, &server);
    uint16_t port = 0;
    EXPECT_EQ(0, VSOCK::getsockopt(m_pair_listener, sock::kOptLocalPort, &port, sizeof(port)));
    EXPECT_EQ(2, VSOCK::send(client, "ok", 2, 0));
    ASSERT_TRUE(WaitUntil([&] { return got->load() == 1; }));
    const SOCKET raw_client = sock_debug::raw_socket(client);
    EXPECT_EQ(0, VSOCK::close(client));
    ASSERT_TRUE(server_rec.WaitForCount(sock::kEventClosed, 1));
    EXPECT_TRUE(WaitUntil([&] { return sock_debug::state(client) == -1; }));
    EXPECT_EQ(0, client_rec.Count(sock::kEventClosed));  // its owner closed it

    EXPECT_EQ(1, CountEndingWith(trace, "VSOCK::connect, m_dest_addr= 127.0.0.1 , m_dest_port= " + std::to_string(port)));
    EXPECT_EQ(1, CountEndingWith(trace, "VBaseSocket::close, socket= " + std::to_string(raw_client)));
    EXPECT_GE(trace.Count({"VBaseSocket::check_event"}), 1);
}

}  // namespace
}  // namespace socktest
