// Loopback sockets for the platform tests, made through the Winsock layer itself.
#ifndef QRN_TESTS_PLATFORM_LOOPBACK_SOCKETS_H
#define QRN_TESTS_PLATFORM_LOOPBACK_SOCKETS_H

#include <gtest/gtest.h>

#include <utility>

#include "platform/winsock.h"

namespace qrntest {

constexpr uint32_t kLoopbackHost = 0x7f000001;  // 127.0.0.1, host order

// Owns one socket and closes it.
class CSocket {
public:
    CSocket() = default;
    explicit CSocket(SOCKET s) : m_s(s) {}
    ~CSocket() { reset(); }
    CSocket(CSocket &&other) noexcept : m_s(other.release()) {}
    CSocket &operator=(CSocket &&other) noexcept {
        if (this != &other) {
            reset();
            m_s = other.release();
        }
        return *this;
    }
    CSocket(const CSocket &) = delete;
    CSocket &operator=(const CSocket &) = delete;

    SOCKET get() const { return m_s; }
    SOCKET release() { return std::exchange(m_s, INVALID_SOCKET); }
    void reset() {
        if (m_s != INVALID_SOCKET) ws::closesocket(m_s);
        m_s = INVALID_SOCKET;
    }

private:
    SOCKET m_s = INVALID_SOCKET;
};

inline ws::sockaddr_in LoopbackAddress(uint16_t port, uint32_t host = kLoopbackHost) {
    ws::sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = ws::hton16(port);
    addr.sin_addr.s_addr = ws::hton32(host);
    return addr;
}

inline uint16_t LocalPort(SOCKET s) {
    ws::sockaddr_in addr{};
    int len = sizeof(addr);
    EXPECT_EQ(0, ws::getsockname(s, &addr, &len));
    return ws::ntoh16(addr.sin_port);
}

inline void SetNonBlocking(SOCKET s) {
    uint32_t on = 1;
    ASSERT_EQ(0, ws::ioctlsocket(s, FIONBIO, &on));
}

// A TCP socket listening on 127.0.0.1 at a port of the system's choice.
inline CSocket MakeListener() {
    CSocket s(ws::socket(AF_INET, SOCK_STREAM, 0));
    EXPECT_NE(INVALID_SOCKET, s.get());
    ws::sockaddr_in addr = LoopbackAddress(0);
    EXPECT_EQ(0, ws::bind(s.get(), &addr, sizeof(addr)));
    EXPECT_EQ(0, ws::listen(s.get(), 16));
    return s;
}

inline CSocket MakeUdpSocket() {
    CSocket s(ws::socket(AF_INET, SOCK_DGRAM, 0));
    EXPECT_NE(INVALID_SOCKET, s.get());
    ws::sockaddr_in addr = LoopbackAddress(0);
    EXPECT_EQ(0, ws::bind(s.get(), &addr, sizeof(addr)));
    return s;
}

// A loopback port on which nothing listens: bound once, then released.
inline uint16_t ClosedPort() {
    CSocket s(ws::socket(AF_INET, SOCK_STREAM, 0));
    ws::sockaddr_in addr = LoopbackAddress(0);
    EXPECT_EQ(0, ws::bind(s.get(), &addr, sizeof(addr)));
    return LocalPort(s.get());
}

// A connected TCP pair over 127.0.0.1, both ends blocking.
struct TcpPair {
    CSocket client;
    CSocket server;
};

inline TcpPair MakeTcpPair() {
    CSocket listener = MakeListener();
    TcpPair pair;
    pair.client = CSocket(ws::socket(AF_INET, SOCK_STREAM, 0));
    ws::sockaddr_in addr = LoopbackAddress(LocalPort(listener.get()));
    EXPECT_EQ(0, ws::connect(pair.client.get(), &addr, sizeof(addr)));
    pair.server = CSocket(ws::accept(listener.get(), nullptr, nullptr));
    EXPECT_NE(INVALID_SOCKET, pair.server.get());
    return pair;
}

}  // namespace qrntest

#endif
