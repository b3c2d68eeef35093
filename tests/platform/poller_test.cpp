// The socket thread's poller, over real loopback sockets.
#include <gtest/gtest.h>

#include <chrono>

#include "loopback_sockets.h"
#include "platform/poller.h"
#include "platform/winsock.h"
#include "test_support.h"

namespace qrntest {
namespace {

using ws::kWaitExcept;
using ws::kWaitRead;
using ws::kWaitWrite;

constexpr uint64_t kPairKey = 0x700000001ull;
constexpr uint64_t kConnectKey = 0x900000002ull;

// Waits for exactly one report and returns the sets it means for a socket waiting for `interest`.
unsigned WaitForOne(ws::CSocketPoller &poller, uint64_t key, unsigned interest) {
    ws::poll_report reports[4];
    int n = poller.wait(reports, 4, kWaitMs);
    EXPECT_EQ(1, n);
    if (n != 1) return 0;
    EXPECT_EQ(key, reports[0].key);
    return ws::ready_sets(interest, reports[0].raw);
}

TEST(SocketPoller, ReportsUnderItsKeyWhatTheSetsAskForAndFollowsEveryChange) {
    ws::CSocketPoller poller;
    ws::poll_report reports[4];
    EXPECT_EQ(SOCKET_ERROR, poller.wait(reports, 4, 0));
    EXPECT_EQ(WSANOTINITIALISED, ws::WSAGetLastError());
    ASSERT_EQ(0, poller.open());
    TcpPair pair = MakeTcpPair();
    const SOCKET s = pair.server.get();
    EXPECT_EQ(SOCKET_ERROR, poller.change(s, 0, 0, kWaitRead));  // key 0 is the poller's own

    ASSERT_EQ(0, poller.change(s, kPairKey, 0, kWaitRead));
    EXPECT_EQ(0, poller.wait(reports, 4, 0));
    ASSERT_EQ(1, ws::send(pair.client.get(), "x", 1, 0));
    EXPECT_EQ(kWaitRead, WaitForOne(poller, kPairKey, kWaitRead));
    // Level-triggered: unread data is reported again.
    EXPECT_EQ(kWaitRead, WaitForOne(poller, kPairKey, kWaitRead));

    ASSERT_EQ(0, poller.change(s, kPairKey, kWaitRead, kWaitRead | kWaitWrite));
    EXPECT_EQ(kWaitRead | kWaitWrite, WaitForOne(poller, kPairKey, kWaitRead | kWaitWrite));
    ASSERT_EQ(0, poller.change(s, kPairKey, kWaitRead | kWaitWrite, kWaitWrite));
    EXPECT_EQ(kWaitWrite, WaitForOne(poller, kPairKey, kWaitWrite));
    ASSERT_EQ(0, poller.change(s, kPairKey, kWaitWrite, 0));
    EXPECT_EQ(0, poller.wait(reports, 4, 0));

    // A failed connect, waited for in all three sets, is an exception and never writable.
    CSocket failing(ws::socket(AF_INET, SOCK_STREAM, 0));
    SetNonBlocking(failing.get());
    ws::sockaddr_in closed = LoopbackAddress(ClosedPort());
    ws::connect(failing.get(), &closed, sizeof(closed));
    const unsigned all = kWaitRead | kWaitWrite | kWaitExcept;
    ASSERT_EQ(0, poller.change(failing.get(), kConnectKey, 0, all));
    EXPECT_EQ(kWaitRead | kWaitExcept, WaitForOne(poller, kConnectKey, all));
    ASSERT_EQ(0, poller.change(failing.get(), kConnectKey, all, 0));

    // A wake-up ends the next wait at once and is not reported as a socket.
    poller.wake();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, poller.wait(reports, 4, kWaitMs));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(kWaitMs / 2));

    poller.close();
    EXPECT_FALSE(poller.is_open());
    EXPECT_EQ(SOCKET_ERROR, poller.change(s, kPairKey, 0, kWaitRead));
}

}  // namespace
}  // namespace qrntest
