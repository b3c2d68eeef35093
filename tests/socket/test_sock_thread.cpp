// The socket thread: its wake-up line, recovery from dead sockets, and a full socket set.
#include <sys/resource.h>

#include <chrono>
#include <vector>

#include "socket_fixture.h"

namespace socktest {
namespace {

using SockThread = SocketTest;
using Clock = std::chrono::steady_clock;

// Connects to a listener outside the socket layer (whose readiness cannot end a select) one
// after another, each right after the socket thread has finished the previous one; returns the
// slowest connect in real milliseconds. Without the wake-up each would wait for the running
// select's one-second time-out.
long SlowestSequentialConnect(EventRecorder &rec, uint16_t port, int count) {
    long slowest = 0;
    for (int i = 0; i < count; ++i) {
        const int before = rec.Count(sock::kEventConnected);
        int h = VSOCK::socket(sock::kTypeTcp, &EventRecorder::Callback, rec.Context());
        auto start = Clock::now();
        EXPECT_EQ(0, VSOCK::connect(h, VSOCK::build_address(kLoopback, port)));
        EXPECT_TRUE(rec.WaitForCount(sock::kEventConnected, before + 1));
        long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
        if (ms > slowest) slowest = ms;
    }
    return slowest;
}

// Without a wake-up a connect would wait for the running select's time-out, a real second.
constexpr long kPromptMs = 400;

TEST_F(SockThread, WakeUpCutsTheSelectShort) {
    qrntest::ClockFactor real_time(1);
    EventRecorder &client_rec = NewRecorder();
    uint16_t port = 0;
    int raw_listener = RawListen(&port);
    SyncPasses();
    EXPECT_LT(SlowestSequentialConnect(client_rec, port, 3), kPromptMs);
    ::close(raw_listener);
}

TEST_F(SockThread, DeadInternalClientIsRenewedAndWakeUpsWorkAgain) {
    qrntest::TraceCapture trace;
    EventRecorder &client_rec = NewRecorder();
    uint16_t port = 0;
    int raw_listener = RawListen(&port);

    const int old_client = sock_debug::internal_client();
    const int old_server = sock_debug::internal_server();
    const SOCKET dead = sock_debug::raw_socket(old_client);
    ASSERT_NE(INVALID_SOCKET, dead);
    // Closed behind the layer's back: the next select fails with "not a socket".
    ASSERT_EQ(0, ::close(dead));
    ASSERT_EQ(1, VSOCK::sendto(m_ping, "p", 1, 0, VSOCK::build_address(kLoopback, m_ping_port)));

    ASSERT_TRUE(trace.WaitForLine({" 0.0 E", " 10038"}));
    ASSERT_TRUE(WaitUntil([&] {
        int c = sock_debug::internal_client();
        return c != 0 && c != old_client && sock_debug::state(c) == sock::kStateConnected;
    }));
    ASSERT_TRUE(WaitUntil([&] {
        int s = sock_debug::internal_server();
        return s != 0 && s != old_server;
    }));
    EXPECT_GE(trace.Count({"VSOCK::reconnect_internal_socket"}), 1);
    // The old client was closed without touching the dead number, which may be reused.
    EXPECT_EQ(-1, sock_debug::state(old_client));
    ASSERT_TRUE(WaitUntil([&] { return sock_debug::state(old_server) == -1; }));

    qrntest::ClockFactor real_time(1);
    SyncPasses();
    EXPECT_LT(SlowestSequentialConnect(client_rec, port, 3), kPromptMs);
    ::close(raw_listener);
}

TEST_F(SockThread, FullReadSetLeavesTheNextSocketOut) {
    rlimit limit{};
    ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &limit));
    constexpr rlim_t kNeeded = WS_FD_SETSIZE + 256;
    if (limit.rlim_cur < kNeeded) {
        if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < kNeeded) GTEST_SKIP() << "RLIMIT_NOFILE too low";
        limit.rlim_cur = kNeeded;
        if (setrlimit(RLIMIT_NOFILE, &limit) != 0) GTEST_SKIP() << "cannot raise RLIMIT_NOFILE";
    }

    EventRecorder &rec = NewRecorder();
    std::vector<int> handles;
    while (sock_debug::read_set_count() < WS_FD_SETSIZE) {
        int h = VSOCK::socket(sock::kTypeUdp, &EventRecorder::Callback, rec.Context());
        ASSERT_GT(h, 0);
        handles.push_back(h);
    }
    uint16_t out_port = 0;
    int left_out = OpenUdp(rec, &out_port);
    EXPECT_EQ(WS_FD_SETSIZE, sock_debug::read_set_count());
    EXPECT_FALSE(sock_debug::in_read_set(left_out));

    // A datagram for the left-out socket first, then one for a socket in the set.
    uint16_t in_port = 0;
    ASSERT_EQ(0, VSOCK::bind(handles.back(), VSOCK::build_address(kLoopback, 0)));
    ASSERT_EQ(0, VSOCK::getsockopt(handles.back(), sock::kOptLocalPort, &in_port, sizeof(in_port)));
    ASSERT_EQ(1, VSOCK::sendto(left_out, "o", 1, 0, VSOCK::build_address(kLoopback, out_port)));
    ASSERT_EQ(1, VSOCK::sendto(left_out, "i", 1, 0, VSOCK::build_address(kLoopback, in_port)));
    rec.SetHook([](const Event &e) {
        char b;
        while (VSOCK::recvfrom(static_cast<int>(e.handle), &b, 1, 0, nullptr) > 0) {
        }
    });
    ASSERT_TRUE(rec.WaitForCount(sock::kEventReadable, 1));
    SyncPasses();  // the ping socket is in the set already
    EXPECT_EQ(0, rec.Count(sock::kEventReadable, static_cast<uintptr_t>(left_out)));
    EXPECT_EQ(1, rec.Count(sock::kEventReadable, static_cast<uintptr_t>(handles.back())));

    for (int h : handles) EXPECT_EQ(0, VSOCK::close(h));
    EXPECT_EQ(0, VSOCK::close(left_out));
    EXPECT_LT(sock_debug::read_set_count(), 8);
    SyncPasses();
}

}  // namespace
}  // namespace socktest
