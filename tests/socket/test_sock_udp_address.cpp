// UDP sockets, and the address functions.
#include <string.h>

#include <thread>

#include "socket_fixture.h"

namespace socktest {
namespace {

using SockUdp = SocketTest;

TEST_F(SockUdp, DatagramsArriveAsReadableWithZeroAndRoundTrip) {
    EventRecorder &a_rec = NewRecorder();
    EventRecorder &b_rec = NewRecorder();
    uint16_t a_port = 0, b_port = 0;
    int a = OpenUdp(a_rec, &a_port);
    int b = OpenUdp(b_rec, &b_port);

    struct Received {
        std::string got;
        uint16_t from_port = 0;
        uint32_t from_ip = 0;
    };
    auto &r = Keep<Received>();
    b_rec.SetHook([&r](const Event &e) {
        char buf[256];
        ws::sockaddr_in *from = nullptr;
        int n;
        while ((n = VSOCK::recvfrom(static_cast<int>(e.handle), buf, sizeof(buf), 0, &from)) > 0) {
            r.got.append(buf, static_cast<size_t>(n));
            r.from_port = VSOCK::get_address_port(from);
            r.from_ip = VSOCK::get_address_ip(from);
        }
    });
    EXPECT_EQ(7, VSOCK::sendto(a, "payload", 7, 0, VSOCK::build_address(kLoopback, b_port)));
    Event e = b_rec.WaitFor(sock::kEventReadable);
    ASSERT_EQ(sock::kEventReadable, e.msg);
    EXPECT_EQ(static_cast<uintptr_t>(b), e.handle);
    EXPECT_EQ(0u, e.p1);
    EXPECT_EQ("payload", r.got);
    EXPECT_EQ(a_port, r.from_port);
    EXPECT_EQ(kLoopback, r.from_ip);
    EXPECT_EQ(0, a_rec.Count(sock::kEventReadable));
}

TEST_F(SockUdp, RecvfromWithNothingWaitingIsNegativeWithoutErrorLine) {
    EventRecorder &rec = NewRecorder();
    uint16_t port = 0;
    int h = OpenUdp(rec, &port);
    qrntest::TraceCapture trace;
    char buf[16];
    ws::sockaddr_in *from = nullptr;
    EXPECT_LT(VSOCK::recvfrom(h, buf, sizeof(buf), 0, &from), 0);
    EXPECT_EQ(nullptr, from);
    EXPECT_EQ(0, trace.Count({" 0.0 E"}));
}

TEST_F(SockUdp, TruncatedDatagramIsAnErrorAndTheNextOneIsWhole) {
    EventRecorder &rec = NewRecorder();
    uint16_t port = 0;
    int h = OpenUdp(rec, &port);
    ASSERT_EQ(10, VSOCK::sendto(h, "0123456789", 10, 0, VSOCK::build_address(kLoopback, port)));
    ASSERT_EQ(3, VSOCK::sendto(h, "abc", 3, 0, VSOCK::build_address(kLoopback, port)));
    ASSERT_TRUE(rec.WaitForCount(sock::kEventReadable, 1));
    char buf[4] = {};
    EXPECT_LT(VSOCK::recvfrom(h, buf, 4, 0, nullptr), 0);
    EXPECT_EQ(0, memcmp(buf, "0123", 4));
    EXPECT_EQ(3, VSOCK::recvfrom(h, buf, 4, 0, nullptr));
}

TEST_F(SockUdp, ClosedUdpSocketGetsNoMoreEvents) {
    EventRecorder &rec = NewRecorder();
    uint16_t port = 0;
    int h = OpenUdp(rec, &port);
    EXPECT_EQ(0, VSOCK::close(h));
    EXPECT_EQ(sock::kErrUnknownHandle, VSOCK::close(h));
    EXPECT_EQ(sock::kErrUnknownHandle, VSOCK::sendto(h, "x", 1, 0, VSOCK::build_address(kLoopback, port)));
    SyncPasses();
    EXPECT_TRUE(rec.Events().empty());
}

TEST(SockAddress, ResolveFillsFamilyPortAndAddress) {
    ws::sockaddr_in *a = VSOCK::resolve_address("127.0.0.1", 80);
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(AF_INET, a->sin_family);
    EXPECT_EQ(htons(80), a->sin_port);
    EXPECT_EQ(htonl(kLoopback), a->sin_addr.s_addr);
    EXPECT_EQ(kLoopback, VSOCK::get_address_ip(a));
    EXPECT_EQ(80, VSOCK::get_address_port(a));
    const char zeros[8] = {};
    EXPECT_EQ(0, memcmp(a->sin_zero, zeros, sizeof(zeros)));

    ws::sockaddr_in *any = VSOCK::resolve_address(nullptr, 80);
    ASSERT_NE(nullptr, any);
    EXPECT_EQ(0u, any->sin_addr.s_addr);
    EXPECT_EQ(htons(80), any->sin_port);

    ws::sockaddr_in *named = VSOCK::resolve_address("localhost", 5);
    ASSERT_NE(nullptr, named);
    EXPECT_EQ(127u, VSOCK::get_address_ip(named) >> 24);

    EXPECT_EQ(nullptr, VSOCK::resolve_address("no-such-host.invalid", 80));
}

TEST(SockAddress, CopyCompareAndNulls) {
    ws::sockaddr_in *copy = VSOCK::copy_address(VSOCK::build_address(0x0a000001, 443));
    ASSERT_NE(nullptr, copy);
    EXPECT_EQ(0x0a000001u, VSOCK::get_address_ip(copy));
    EXPECT_EQ(443, VSOCK::get_address_port(copy));
    EXPECT_EQ(0, VSOCK::compare_address(copy, VSOCK::build_address(0x0a000001, 443)));
    EXPECT_NE(0, VSOCK::compare_address(copy, VSOCK::build_address(0x0a000001, 444)));
    EXPECT_NE(0, VSOCK::compare_address(copy, nullptr));
    EXPECT_EQ(nullptr, VSOCK::copy_address(nullptr));
    EXPECT_EQ(0u, VSOCK::get_address_ip(nullptr));
    EXPECT_EQ(0, VSOCK::get_address_port(nullptr));
    VSOCK::delete_address(copy);
    VSOCK::delete_address(nullptr);
}

TEST(SockAddress, BuiltAddressIsPerThread) {
    ws::sockaddr_in *mine = VSOCK::build_address(kLoopback, 1000);
    std::thread other([] { VSOCK::build_address(0x0a0b0c0d, 2000); });
    other.join();
    EXPECT_EQ(kLoopback, VSOCK::get_address_ip(mine));
    EXPECT_EQ(1000, VSOCK::get_address_port(mine));
}

TEST(SockAddress, LocalIpTowardsADestination) {
    EXPECT_EQ(kLoopback, VSOCK::get_local_ip(kLoopback));
    EXPECT_EQ(0u, VSOCK::get_local_ip(0));
    EXPECT_EQ(kLoopback, VSOCK::get_local_ip());
}

}  // namespace
}  // namespace socktest
