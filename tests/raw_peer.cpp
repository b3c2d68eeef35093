#include "raw_peer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace qrntest {

namespace {

std::chrono::steady_clock::time_point DeadlineIn(int ms) {
    return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

}  // namespace

uint16_t RawPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return ntohs(a.sin_port);
}

uint16_t FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = RawAddress(0);
    ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a));
    const uint16_t port = RawPort(fd);
    ::close(fd);
    return port;
}

int RawListen(uint16_t *port, int backlog) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = RawAddress(0);
    EXPECT_EQ(0, ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)));
    EXPECT_EQ(0, ::listen(fd, backlog));
    *port = RawPort(fd);
    return fd;
}

int RawAccept(int listen_fd, int flags) {
    pollfd p{listen_fd, POLLIN, 0};
    if (::poll(&p, 1, kWaitMs) != 1) return -1;
    return ::accept4(listen_fd, nullptr, nullptr, flags);
}

int RawConnect(uint16_t port, uint32_t ip, uint32_t source_ip) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = RawAddress(ip, port);
    sockaddr_in from = RawAddress(source_ip, 0);
    if ((source_ip != 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&from), sizeof(from)) != 0) ||
        ::connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void RawSetNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

bool RawWaitReadable(int fd, std::chrono::steady_clock::time_point deadline) {
    using std::chrono::milliseconds;
    const auto left = std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{fd, POLLIN, 0};
    return left.count() > 0 && ::poll(&p, 1, static_cast<int>(left.count())) == 1;
}

void RawSend(int fd, const void *data, size_t len) {
    ASSERT_EQ(static_cast<ssize_t>(len), ::send(fd, data, len, MSG_NOSIGNAL));
}

std::string RawRecv(int fd, size_t len) {
    std::string out;
    const auto deadline = DeadlineIn(kWaitMs);
    while (out.size() < len) {
        if (!RawWaitReadable(fd, deadline)) return std::string();
        char buffer[4096];
        const size_t want = len - out.size() < sizeof(buffer) ? len - out.size() : sizeof(buffer);
        const ssize_t n = ::recv(fd, buffer, want, 0);
        if (n <= 0) return std::string();
        out.append(buffer, static_cast<size_t>(n));
    }
    return out;
}

bool RawReadExactly(int fd, size_t n) {
    char buf[65536];
    while (n > 0) {
        const ssize_t got = ::recv(fd, buf, n < sizeof(buf) ? n : sizeof(buf), 0);
        if (got <= 0) return false;
        n -= static_cast<size_t>(got);
    }
    return true;
}

bool RawSeesClose(int fd, int timeout_ms) {
    const auto deadline = DeadlineIn(timeout_ms);
    while (RawWaitReadable(fd, deadline)) {
        char buffer[256];
        if (::recv(fd, buffer, sizeof(buffer), 0) <= 0) return true;
    }
    return false;
}

}  // namespace qrntest
