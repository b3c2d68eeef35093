// ws::select and the socket sets, over real loopback sockets.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "loopback_sockets.h"
#include "platform/winsock.h"
#include "test_support.h"

namespace qrntest {
namespace {

// Descriptor numbers beyond any the tests open otherwise, above the old FD_SETSIZE.
constexpr int kHighDescriptor = 1500;
constexpr int kClosedDescriptor = 1400;
constexpr int kMsgOob = 1;  // urgent data; the Winsock and the Linux flag agree

const ws::timeval kLongWait = Millis(kWaitMs);
const ws::timeval kNoWait = Millis(0);

bool SameSet(const ws::fd_set &a, const ws::fd_set &b) {
    return a.fd_count == b.fd_count && std::memcmp(a.fd_array, b.fd_array, a.fd_count * sizeof(SOCKET)) == 0;
}

// A non-blocking connect to 127.0.0.1:port that is left pending.
CSocket StartConnect(uint16_t port) {
    CSocket s(ws::socket(AF_INET, SOCK_STREAM, 0));
    SetNonBlocking(s.get());
    ws::sockaddr_in addr = LoopbackAddress(port);
    int rc = ws::connect(s.get(), &addr, sizeof(addr));
    EXPECT_TRUE(rc == 0 || ws::WSAGetLastError() == WSAEWOULDBLOCK) << ws::WSAGetLastError();
    return s;
}

// Makes sure descriptor numbers up to `needed` can be opened; false when the limit forbids it.
bool AllowDescriptor(int needed) {
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return false;
    if (lim.rlim_cur > static_cast<rlim_t>(needed)) return true;
    if (lim.rlim_max != RLIM_INFINITY && lim.rlim_max <= static_cast<rlim_t>(needed)) return false;
    lim.rlim_cur = static_cast<rlim_t>(needed) + 1;
    return setrlimit(RLIMIT_NOFILE, &lim) == 0;
}

TEST(Select, ReportsReadableOnlyAfterDataArrives) {
    TcpPair pair = MakeTcpPair();
    ws::fd_set read = SetOf({pair.server.get()});
    EXPECT_EQ(0, ws::select(0, &read, nullptr, nullptr, &kNoWait));
    EXPECT_EQ(0u, read.fd_count);

    ASSERT_EQ(1, ws::send(pair.client.get(), "x", 1, 0));
    read = SetOf({pair.client.get(), pair.server.get()});
    ASSERT_EQ(1, ws::select(0, &read, nullptr, nullptr, &kLongWait));
    ASSERT_EQ(1u, read.fd_count);
    EXPECT_EQ(pair.server.get(), read.fd_array[0]);
}

TEST(Select, CountsASocketOnceForEverySetThatReportsIt) {
    TcpPair pair = MakeTcpPair();
    ASSERT_EQ(1, ws::send(pair.client.get(), "x", 1, 0));
    ws::fd_set read = SetOf({pair.server.get()});
    ws::fd_set write = SetOf({pair.server.get()});
    ws::fd_set except = SetOf({pair.server.get()});
    EXPECT_EQ(2, ws::select(0, &read, &write, &except, &kLongWait));
    EXPECT_TRUE(ws::fd_isset(pair.server.get(), &read));
    EXPECT_TRUE(ws::fd_isset(pair.server.get(), &write));
    EXPECT_EQ(0u, except.fd_count);
}

TEST(Select, ReportsConnectingSocketWritableOnceConnected) {
    CSocket listener = MakeListener();
    CSocket client = StartConnect(LocalPort(listener.get()));
    ws::fd_set write = SetOf({client.get()});
    ws::fd_set except = SetOf({client.get()});
    ASSERT_EQ(1, ws::select(0, nullptr, &write, &except, &kLongWait));
    EXPECT_TRUE(ws::fd_isset(client.get(), &write));
    EXPECT_EQ(0u, except.fd_count);
}

TEST(Select, ReportsFailedConnectInExceptionSetAndNotWriteSet) {
    CSocket client = StartConnect(ClosedPort());
    // As the socket layer waits for a connect: in all three sets.
    ws::fd_set read = SetOf({client.get()});
    ws::fd_set write = SetOf({client.get()});
    ws::fd_set except = SetOf({client.get()});
    int n = ws::select(0, &read, &write, &except, &kLongWait);
    EXPECT_TRUE(ws::fd_isset(client.get(), &except));
    EXPECT_EQ(0u, write.fd_count);
    EXPECT_EQ(static_cast<int>(read.fd_count + except.fd_count), n);
}

TEST(Select, ReportsPeerCloseAsReadableWithNothingToRead) {
    TcpPair pair = MakeTcpPair();
    pair.client.reset();
    ws::fd_set read = SetOf({pair.server.get()});
    ASSERT_EQ(1, ws::select(0, &read, nullptr, nullptr, &kLongWait));
    uint32_t waiting = 99;
    EXPECT_EQ(0, ws::ioctlsocket(pair.server.get(), FIONREAD, &waiting));
    EXPECT_EQ(0u, waiting);
    char byte;
    EXPECT_EQ(0, ws::recv(pair.server.get(), &byte, 1, 0));
}

TEST(Select, ReportsPendingDatagramErrorAsReadable) {
    CSocket udp = MakeUdpSocket();
    ws::sockaddr_in closed = LoopbackAddress(ClosedPort());
    ASSERT_EQ(0, ws::connect(udp.get(), &closed, sizeof(closed)));
    ASSERT_EQ(1, ws::send(udp.get(), "x", 1, 0));
    // The port-unreachable answer is an error on the socket, with nothing to read.
    ws::fd_set read = SetOf({udp.get()});
    ASSERT_EQ(1, ws::select(0, &read, nullptr, nullptr, &kLongWait));
    char byte;
    EXPECT_EQ(SOCKET_ERROR, ws::recv(udp.get(), &byte, 1, 0));
    EXPECT_EQ(WSAECONNREFUSED, ws::WSAGetLastError());
}

TEST(Select, ReportsUrgentDataInExceptionSet) {
    TcpPair pair = MakeTcpPair();
    ASSERT_EQ(1, ws::send(pair.client.get(), "!", 1, kMsgOob));
    ws::fd_set except = SetOf({pair.server.get()});
    ASSERT_EQ(1, ws::select(0, nullptr, nullptr, &except, &kLongWait));
    EXPECT_TRUE(ws::fd_isset(pair.server.get(), &except));
}

TEST(Select, FailsWithNotSocketForClosedDescriptorAndLeavesSetsUnchanged) {
    TcpPair pair = MakeTcpPair();
    ASSERT_EQ(1, ws::send(pair.client.get(), "x", 1, 0));
    ASSERT_EQ(-1, fcntl(kClosedDescriptor, F_GETFD)) << "descriptor unexpectedly open";
    ws::fd_set read = SetOf({pair.server.get(), kClosedDescriptor});
    ws::fd_set write = SetOf({pair.client.get()});
    ws::fd_set except = SetOf({kClosedDescriptor});
    const ws::fd_set read_before = read, write_before = write, except_before = except;

    ws::WSASetLastError(0);
    EXPECT_EQ(SOCKET_ERROR, ws::select(0, &read, &write, &except, &kLongWait));
    EXPECT_EQ(WSAENOTSOCK, ws::WSAGetLastError());
    EXPECT_TRUE(SameSet(read_before, read));
    EXPECT_TRUE(SameSet(write_before, write));
    EXPECT_TRUE(SameSet(except_before, except));
}

TEST(Select, RejectsInvalidSocketAndEmptyOrOverfullSets) {
    ws::fd_set read = SetOf({INVALID_SOCKET});
    EXPECT_EQ(SOCKET_ERROR, ws::select(0, &read, nullptr, nullptr, &kNoWait));
    EXPECT_EQ(WSAENOTSOCK, ws::WSAGetLastError());

    ws::fd_set empty = SetOf({});
    EXPECT_EQ(SOCKET_ERROR, ws::select(0, &empty, nullptr, nullptr, &kNoWait));
    EXPECT_EQ(WSAEINVAL, ws::WSAGetLastError());
    EXPECT_EQ(SOCKET_ERROR, ws::select(0, nullptr, nullptr, nullptr, &kNoWait));
    EXPECT_EQ(WSAEINVAL, ws::WSAGetLastError());

    TcpPair pair = MakeTcpPair();
    ws::fd_set corrupt = SetOf({pair.server.get()});
    corrupt.fd_count = WS_FD_SETSIZE + 1;
    EXPECT_EQ(SOCKET_ERROR, ws::select(0, &corrupt, nullptr, nullptr, &kNoWait));
    EXPECT_EQ(WSAEINVAL, ws::WSAGetLastError());

    ws::timeval negative{-1, 0};
    ws::fd_set valid = SetOf({pair.server.get()});
    EXPECT_EQ(SOCKET_ERROR, ws::select(0, &valid, nullptr, nullptr, &negative));
    EXPECT_EQ(WSAEINVAL, ws::WSAGetLastError());
}

TEST(Select, WaitsOnDescriptorAboveSetSize) {
    if (!AllowDescriptor(kHighDescriptor)) {
        GTEST_SKIP() << "cannot raise RLIMIT_NOFILE to " << kHighDescriptor;
    }
    TcpPair pair = MakeTcpPair();
    ASSERT_EQ(kHighDescriptor, dup2(pair.server.get(), kHighDescriptor));
    CSocket high(kHighDescriptor);
    ws::fd_set read = SetOf({high.get()});
    EXPECT_EQ(0, ws::select(0, &read, nullptr, nullptr, &kNoWait));

    ASSERT_EQ(1, ws::send(pair.client.get(), "x", 1, 0));
    read = SetOf({pair.client.get(), high.get()});
    ASSERT_EQ(1, ws::select(0, &read, nullptr, nullptr, &kLongWait));
    EXPECT_EQ(high.get(), read.fd_array[0]);
}

TEST(Select, TimesOutWithZeroAfterTheTimeGivenAndEmptiesSets) {
    TcpPair pair = MakeTcpPair();
    ws::fd_set read = SetOf({pair.server.get(), pair.client.get()});
    ws::fd_set except = SetOf({pair.server.get()});
    const ws::timeval wait = Millis(80);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, ws::select(0, &read, nullptr, &except, &wait));
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(79));
    EXPECT_EQ(0u, read.fd_count);
    EXPECT_EQ(0u, except.fd_count);
}

TEST(Select, NullTimeoutWaitsUntilASocketIsReady) {
    TcpPair pair = MakeTcpPair();
    std::atomic<int> result{-2};
    std::thread waiter([&] {
        ws::fd_set read = SetOf({pair.server.get()});
        result = ws::select(0, &read, nullptr, nullptr, nullptr);
    });
    // However long the waiter has been waiting, it must still be waiting now.
    EXPECT_EQ(-2, result.load());
    ASSERT_EQ(1, ws::send(pair.client.get(), "x", 1, 0));
    waiter.join();
    EXPECT_EQ(1, result.load());
}

void IgnoreSignal(int) {}

TEST(Select, SignalsDoNotCutTheWaitShort) {
    struct sigaction action{};
    action.sa_handler = IgnoreSignal;  // no SA_RESTART: every signal interrupts the wait
    struct sigaction previous{};
    ASSERT_EQ(0, sigaction(SIGUSR1, &action, &previous));

    TcpPair pair = MakeTcpPair();
    std::atomic<bool> done{false};
    std::atomic<int> result{-2};
    std::atomic<int> error{0};
    const ws::timeval wait = Millis(150);
    auto start = std::chrono::steady_clock::now();
    std::thread waiter([&] {
        ws::fd_set read = SetOf({pair.server.get()});
        result = ws::select(0, &read, nullptr, nullptr, &wait);
        error = ws::WSAGetLastError();
        done = true;
    });
    pthread_t handle = waiter.native_handle();
    WaitUntil([&] {
        if (!done) pthread_kill(handle, SIGUSR1);
        return done.load();
    });
    waiter.join();
    auto elapsed = std::chrono::steady_clock::now() - start;
    sigaction(SIGUSR1, &previous, nullptr);

    EXPECT_EQ(0, result.load()) << "error " << error.load();
    EXPECT_GE(elapsed, std::chrono::milliseconds(149));
    EXPECT_LT(elapsed, std::chrono::milliseconds(kWaitMs / 2)) << "each signal restarted the full wait";
}

TEST(SocketSet, AddKeepsEachSocketOnceAndStopsWhenFull) {
    static ws::fd_set set;
    ws::fd_zero(&set);
    EXPECT_TRUE(ws::fd_set_add(7, &set));
    EXPECT_FALSE(ws::fd_set_add(7, &set));
    EXPECT_EQ(1u, set.fd_count);
    for (SOCKET s = 1000; set.fd_count < WS_FD_SETSIZE; ++s) ASSERT_TRUE(ws::fd_set_add(s, &set));
    EXPECT_FALSE(ws::fd_set_add(5000, &set));
    EXPECT_EQ(static_cast<unsigned>(WS_FD_SETSIZE), set.fd_count);
    EXPECT_FALSE(ws::fd_isset(5000, &set));
    EXPECT_TRUE(ws::fd_isset(7, &set));
    EXPECT_FALSE(ws::fd_set_add(7, nullptr));
}

TEST(SocketSet, RemoveMovesLaterEntriesDown) {
    ws::fd_set set = SetOf({3, 9, 4, 12});
    ws::fd_set_remove(9, &set);
    ASSERT_EQ(3u, set.fd_count);
    EXPECT_EQ(3, set.fd_array[0]);
    EXPECT_EQ(4, set.fd_array[1]);
    EXPECT_EQ(12, set.fd_array[2]);
    ws::fd_set_remove(77, &set);
    EXPECT_EQ(3u, set.fd_count);
    ws::fd_set_remove(12, &set);
    EXPECT_EQ(2u, set.fd_count);
    EXPECT_FALSE(ws::fd_isset(12, &set));
    EXPECT_TRUE(ws::fd_set_add(12, &set));
}

}  // namespace
}  // namespace qrntest
