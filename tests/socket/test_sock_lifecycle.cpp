// Start, stop and restart of the socket layer; the internal socket pair.
#include "socket_fixture.h"

namespace socktest {
namespace {

using SockLifecycle = SocketTest;

TEST_F(SockLifecycle, StartupTwiceKeepsOneSocketTableAndOnePoller) {
    const int sockets = sock_debug::socket_count();  // the fixture's ping
    const int descriptors = OpenDescriptorCount();
    EXPECT_EQ(1, sockets);

    EXPECT_EQ(sock::kStartupOk, VSOCK::startup());
    SyncPasses();
    EXPECT_EQ(sockets, sock_debug::socket_count());
    EXPECT_EQ(descriptors, OpenDescriptorCount());
}

TEST_F(SockLifecycle, ShutdownClosesEverySocketAndStartupWorksAgain) {
    EventRecorder &rec = NewRecorder();
    uint16_t port = 0;
    int udp = OpenUdp(rec, &port);
    EXPECT_EQ(0, VSOCK::shutdown());
    EXPECT_EQ(0, sock_debug::socket_count());
    EXPECT_EQ(sock::kErrUnknownHandle, VSOCK::close(udp));
    EXPECT_EQ(sock::kErrUnknownHandle, VSOCK::sendto(udp, "x", 1, 0, VSOCK::build_address(kLoopback, port)));

    ASSERT_EQ(sock::kStartupOk, VSOCK::startup());
    udp = OpenUdp(rec, &port);
    EXPECT_EQ(1, VSOCK::sendto(udp, "x", 1, 0, VSOCK::build_address(kLoopback, port)));
    EXPECT_TRUE(rec.WaitForCount(sock::kEventReadable, 1));
}

// Callbacks of sockets left open at exit must not outlive the process's statics.
int g_exit_events = 0;
int CountAtExit(uintptr_t, int, uintptr_t, uintptr_t, uintptr_t, uintptr_t) { return ++g_exit_events; }

TEST(SockStartup, FirstSocketStartsTheLayer) {
    int h = VSOCK::socket(sock::kTypeUdp, &CountAtExit, 0);
    EXPECT_GT(h, 0);
    EXPECT_EQ(1, sock_debug::socket_count());
    VSOCK::shutdown();
}

TEST(SockStartup, UnknownSocketTypeIsRefused) {
    EXPECT_EQ(-1, VSOCK::socket(2, &EventRecorder::Callback, 0));
    EXPECT_EQ(-1, VSOCK::socket(-1, &EventRecorder::Callback, 0));
    VSOCK::shutdown();
}

TEST(SockStartup, ExitWithSocketsOpenIsClean) {
    uint16_t port = 0;
    int listener = VSOCK::socket(sock::kTypeTcp, &CountAtExit, 0);
    ASSERT_EQ(0, VSOCK::bind(listener, VSOCK::build_address(kLoopback, 0)));
    ASSERT_EQ(0, VSOCK::listen(listener));
    ASSERT_EQ(0, VSOCK::getsockopt(listener, sock::kOptLocalPort, &port, sizeof(port)));
    for (int i = 0; i < 4; ++i) {
        int c = VSOCK::socket(sock::kTypeTcp, &CountAtExit, 0);
        ASSERT_EQ(0, VSOCK::connect(c, VSOCK::build_address(kLoopback, port)));
    }
    int udp = VSOCK::socket(sock::kTypeUdp, &CountAtExit, 0);
    EXPECT_GT(udp, 0);
    // No shutdown: the process ends with the socket thread running and the sockets open.
}

}  // namespace
}  // namespace socktest
