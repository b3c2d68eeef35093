// The Winsock calls over loopback sockets: results, error numbers and addresses.
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "loopback_sockets.h"
#include "platform/winsock.h"
#include "platform/ws_internal.h"
#include "test_support.h"

namespace qrntest {
namespace {

bool IsCloseOnExec(SOCKET s) { return (fcntl(s, F_GETFD) & FD_CLOEXEC) != 0; }

TEST(WinsockStartup, GrantsVersionOneOneAndBalancesCleanup) {
    ws::WSADATA data;
    ASSERT_EQ(0, ws::WSAStartup(ws::make_word(1, 1), &data));
    EXPECT_EQ(ws::make_word(1, 1), data.wVersion);
    EXPECT_EQ(ws::make_word(1, 1), data.wHighVersion);
    // A later version asked for still gets 1.1, which the caller must check.
    ASSERT_EQ(0, ws::WSAStartup(ws::make_word(2, 2), &data));
    EXPECT_EQ(ws::make_word(1, 1), data.wVersion);
    EXPECT_EQ(WSAVERNOTSUPPORTED, ws::WSAStartup(ws::make_word(0, 9), &data));
    EXPECT_EQ(WSAEFAULT, ws::WSAStartup(ws::make_word(1, 1), nullptr));

    EXPECT_EQ(0, ws::WSACleanup());
    EXPECT_EQ(0, ws::WSACleanup());
    EXPECT_EQ(SOCKET_ERROR, ws::WSACleanup());
    EXPECT_EQ(WSANOTINITIALISED, ws::WSAGetLastError());
}

TEST(WinsockErrors, MapSystemErrorsToWinsockNumbers) {
    EXPECT_EQ(WSAEWOULDBLOCK, ws::error_from_errno(EAGAIN));
    EXPECT_EQ(WSAEWOULDBLOCK, ws::error_from_errno(EWOULDBLOCK));
    EXPECT_EQ(WSAEWOULDBLOCK, ws::error_from_errno(EINPROGRESS));
    EXPECT_EQ(WSAENOTSOCK, ws::error_from_errno(EBADF));
    EXPECT_EQ(WSAENOTSOCK, ws::error_from_errno(ENOTSOCK));
    EXPECT_EQ(WSAECONNREFUSED, ws::error_from_errno(ECONNREFUSED));
    EXPECT_EQ(WSAECONNRESET, ws::error_from_errno(ECONNRESET));
    EXPECT_EQ(WSAEADDRINUSE, ws::error_from_errno(EADDRINUSE));
    // An errno without a Winsock meaning is a plain failure, never "try again".
    EXPECT_EQ(WSAEINVAL, ws::error_from_errno(ENOENT));
    EXPECT_EQ(WSAEINVAL, ws::error_from_errno(0));
}

TEST(WinsockErrors, LastErrorBelongsToTheCallingThread) {
    ws::WSASetLastError(WSAECONNRESET);
    std::thread other([] {
        EXPECT_EQ(0, ws::WSAGetLastError());
        char byte;
        EXPECT_EQ(SOCKET_ERROR, ws::recv(INVALID_SOCKET, &byte, 1, 0));
        EXPECT_EQ(WSAENOTSOCK, ws::WSAGetLastError());
    });
    other.join();
    EXPECT_EQ(WSAECONNRESET, ws::WSAGetLastError());
}

TEST(WinsockErrors, EmptyNonBlockingSocketsGiveWouldBlock) {
    TcpPair pair = MakeTcpPair();
    SetNonBlocking(pair.server.get());
    char buf[4];
    EXPECT_EQ(SOCKET_ERROR, ws::recv(pair.server.get(), buf, sizeof(buf), 0));
    EXPECT_EQ(WSAEWOULDBLOCK, ws::WSAGetLastError());

    CSocket listener = MakeListener();
    SetNonBlocking(listener.get());
    EXPECT_EQ(INVALID_SOCKET, ws::accept(listener.get(), nullptr, nullptr));
    EXPECT_EQ(WSAEWOULDBLOCK, ws::WSAGetLastError());

    CSocket udp = MakeUdpSocket();
    SetNonBlocking(udp.get());
    ws::sockaddr_in from;
    int from_len = sizeof(from);
    EXPECT_EQ(SOCKET_ERROR, ws::recvfrom(udp.get(), buf, sizeof(buf), 0, &from, &from_len));
    EXPECT_EQ(WSAEWOULDBLOCK, ws::WSAGetLastError());
}

TEST(WinsockErrors, BadArgumentsFailWithoutTouchingTheSocket) {
    CSocket s(ws::socket(AF_INET, SOCK_STREAM, 0));
    ws::sockaddr_in addr = LoopbackAddress(0);
    EXPECT_EQ(SOCKET_ERROR, ws::bind(s.get(), nullptr, sizeof(addr)));
    EXPECT_EQ(WSAEFAULT, ws::WSAGetLastError());
    EXPECT_EQ(SOCKET_ERROR, ws::bind(s.get(), &addr, sizeof(addr) - 1));
    EXPECT_EQ(WSAEFAULT, ws::WSAGetLastError());
    EXPECT_EQ(SOCKET_ERROR, ws::connect(s.get(), nullptr, sizeof(addr)));
    EXPECT_EQ(WSAEFAULT, ws::WSAGetLastError());
    uint32_t arg = 0;
    EXPECT_EQ(SOCKET_ERROR, ws::ioctlsocket(s.get(), 0x1234, &arg));
    EXPECT_EQ(WSAEINVAL, ws::WSAGetLastError());
    EXPECT_EQ(SOCKET_ERROR, ws::ioctlsocket(s.get(), FIONREAD, nullptr));
    EXPECT_EQ(WSAEFAULT, ws::WSAGetLastError());
    EXPECT_EQ(SOCKET_ERROR, ws::send(s.get(), "x", -1, 0));
    EXPECT_EQ(WSAEINVAL, ws::WSAGetLastError());
    int short_len = 4;
    EXPECT_EQ(SOCKET_ERROR, ws::getsockname(s.get(), &addr, &short_len));
    EXPECT_EQ(WSAEFAULT, ws::WSAGetLastError());
    // The socket is still usable.
    EXPECT_EQ(0, ws::bind(s.get(), &addr, sizeof(addr)));
}

TEST(WinsockErrors, ConnectToClosedPortIsRefused) {
    CSocket s(ws::socket(AF_INET, SOCK_STREAM, 0));
    ws::sockaddr_in addr = LoopbackAddress(ClosedPort());
    EXPECT_EQ(SOCKET_ERROR, ws::connect(s.get(), &addr, sizeof(addr)));
    EXPECT_EQ(WSAECONNREFUSED, ws::WSAGetLastError());
}

std::atomic<int> g_sigpipes{0};
void CountSigpipe(int) { ++g_sigpipes; }

TEST(WinsockSend, SendToClosedPeerFailsWithoutSigpipe) {
    struct sigaction action{};
    action.sa_handler = CountSigpipe;
    struct sigaction previous{};
    ASSERT_EQ(0, sigaction(SIGPIPE, &action, &previous));
    g_sigpipes = 0;

    TcpPair pair = MakeTcpPair();
    pair.server.reset();
    int error = 0;
    // The first sends may still be taken; the peer's reset makes a later one fail.
    bool failed = WaitUntil([&] {
        if (ws::send(pair.client.get(), "data", 4, 0) != SOCKET_ERROR) return false;
        error = ws::WSAGetLastError();
        return true;
    });
    sigaction(SIGPIPE, &previous, nullptr);

    ASSERT_TRUE(failed);
    EXPECT_TRUE(error == WSAECONNRESET || error == WSAESHUTDOWN) << error;
    EXPECT_EQ(0, g_sigpipes.load());
}

TEST(WinsockSockets, AreCloseOnExecAndAcceptedOnesKeepNonBlockingMode) {
    CSocket listener = MakeListener();
    EXPECT_TRUE(IsCloseOnExec(listener.get()));
    SetNonBlocking(listener.get());
    CSocket client(ws::socket(AF_INET, SOCK_STREAM, 0));
    ws::sockaddr_in addr = LoopbackAddress(LocalPort(listener.get()));
    ASSERT_EQ(0, ws::connect(client.get(), &addr, sizeof(addr)));

    ws::sockaddr_in peer;
    std::memset(&peer, 0xab, sizeof(peer));
    int peer_len = sizeof(peer);
    CSocket accepted;
    ASSERT_TRUE(WaitUntil([&] {
        accepted = CSocket(ws::accept(listener.get(), &peer, &peer_len));
        return accepted.get() != INVALID_SOCKET;
    }));
    EXPECT_TRUE(IsCloseOnExec(accepted.get()));
    EXPECT_NE(0, fcntl(accepted.get(), F_GETFL) & O_NONBLOCK);

    EXPECT_EQ(static_cast<int>(sizeof(peer)), peer_len);
    EXPECT_EQ(AF_INET, peer.sin_family);
    EXPECT_EQ(ws::hton32(kLoopbackHost), peer.sin_addr.s_addr);
    EXPECT_EQ(ws::hton16(LocalPort(client.get())), peer.sin_port);
    EXPECT_EQ(0, std::memcmp(peer.sin_zero, "\0\0\0\0\0\0\0\0", sizeof(peer.sin_zero)));

    ws::sockaddr_in name;
    int name_len = sizeof(name);
    ASSERT_EQ(0, ws::getpeername(client.get(), &name, &name_len));
    EXPECT_EQ(addr.sin_port, name.sin_port);
    EXPECT_EQ(addr.sin_addr.s_addr, name.sin_addr.s_addr);
}

TEST(WinsockSockets, FionreadCountsWaitingBytes) {
    TcpPair pair = MakeTcpPair();
    ASSERT_EQ(5, ws::send(pair.client.get(), "hello", 5, 0));
    uint32_t waiting = 0;
    EXPECT_TRUE(WaitUntil([&] {
        return ws::ioctlsocket(pair.server.get(), FIONREAD, &waiting) == 0 && waiting == 5;
    })) << waiting;
    char buf[8];
    EXPECT_EQ(5, ws::recv(pair.server.get(), buf, sizeof(buf), 0));
    EXPECT_EQ(0, std::memcmp(buf, "hello", 5));
}

TEST(WinsockDatagrams, RecvfromReportsTheSender) {
    CSocket a = MakeUdpSocket();
    CSocket b = MakeUdpSocket();
    ws::sockaddr_in to = LoopbackAddress(LocalPort(b.get()));
    ASSERT_EQ(3, ws::sendto(a.get(), "abc", 3, 0, &to, sizeof(to)));

    char buf[16];
    ws::sockaddr_in from;
    int from_len = sizeof(from);
    ASSERT_EQ(3, ws::recvfrom(b.get(), buf, sizeof(buf), 0, &from, &from_len));
    EXPECT_EQ(static_cast<int>(sizeof(from)), from_len);
    EXPECT_EQ(AF_INET, from.sin_family);
    EXPECT_EQ(ws::hton16(LocalPort(a.get())), from.sin_port);
    EXPECT_EQ(ws::hton32(kLoopbackHost), from.sin_addr.s_addr);
}

TEST(WinsockDatagrams, DatagramLongerThanBufferFailsWithMsgSize) {
    CSocket a = MakeUdpSocket();
    CSocket b = MakeUdpSocket();
    ws::sockaddr_in to = LoopbackAddress(LocalPort(b.get()));
    ASSERT_EQ(10, ws::sendto(a.get(), "0123456789", 10, 0, &to, sizeof(to)));
    ASSERT_EQ(2, ws::sendto(a.get(), "ok", 2, 0, &to, sizeof(to)));

    char buf[4];
    ws::sockaddr_in from;
    int from_len = sizeof(from);
    EXPECT_EQ(SOCKET_ERROR, ws::recvfrom(b.get(), buf, sizeof(buf), 0, &from, &from_len));
    EXPECT_EQ(WSAEMSGSIZE, ws::WSAGetLastError());
    EXPECT_EQ(0, std::memcmp(buf, "0123", 4));
    // The long datagram is gone; the next one arrives whole.
    EXPECT_EQ(2, ws::recvfrom(b.get(), buf, sizeof(buf), 0, &from, &from_len));
}

TEST(WinsockDatagrams, RecvfromOnStreamLeavesAddressAlone) {
    TcpPair pair = MakeTcpPair();
    ASSERT_EQ(2, ws::send(pair.client.get(), "hi", 2, 0));
    ws::sockaddr_in from;
    std::memset(&from, 0x5a, sizeof(from));
    const ws::sockaddr_in before = from;
    int from_len = sizeof(from);
    char buf[4];
    ASSERT_EQ(2, ws::recvfrom(pair.server.get(), buf, sizeof(buf), 0, &from, &from_len));
    EXPECT_EQ(0, std::memcmp(&before, &from, sizeof(from)));
}

TEST(WinsockNames, InetAddrParsesDottedAddresses) {
    EXPECT_EQ(ws::hton32(0x7f000001), ws::inet_addr("127.0.0.1"));
    EXPECT_EQ(ws::hton32(0xc0a80114), ws::inet_addr("192.168.1.20"));
    EXPECT_EQ(0u, ws::inet_addr("0.0.0.0"));
    EXPECT_EQ(ws::hton32(0x7f000001), ws::inet_addr("0x7f.1"));  // the BSD short forms
}

TEST(WinsockNames, InetAddrGivesNoneForAnythingElse) {
    EXPECT_EQ(INADDR_NONE, ws::inet_addr("255.255.255.255"));
    EXPECT_EQ(INADDR_NONE, ws::inet_addr(nullptr));
    EXPECT_EQ(INADDR_NONE, ws::inet_addr(""));
    EXPECT_EQ(INADDR_NONE, ws::inet_addr("localhost"));
    EXPECT_EQ(INADDR_NONE, ws::inet_addr("1.2.3.256"));
    EXPECT_EQ(INADDR_NONE, ws::inet_addr("1.2.3.4.5"));
    EXPECT_EQ(INADDR_NONE, ws::inet_addr("1.2.3.4x"));
    EXPECT_EQ(INADDR_NONE, ws::inet_addr("-1.2.3.4"));
}

TEST(WinsockNames, ResolvesLocalhostToLoopback) {
    uint32_t addr = 0;
    ASSERT_TRUE(ws::gethostbyname_ipv4("localhost", &addr));
    EXPECT_EQ(127u, ws::ntoh32(addr) >> 24);

    ASSERT_TRUE(ws::gethostbyname_ipv4("127.0.0.9", &addr));
    EXPECT_EQ(ws::hton32(0x7f000009), addr);

    EXPECT_FALSE(ws::gethostbyname_ipv4(nullptr, &addr));
    EXPECT_FALSE(ws::gethostbyname_ipv4("localhost", nullptr));
}

}  // namespace
}  // namespace qrntest
