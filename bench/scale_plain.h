// scale_bench's baseline: echo servers and clients on plain sockets, as simple as they come,
// to set the library's figures against in the same run.
#ifndef QRN_BENCH_SCALE_PLAIN_H
#define QRN_BENCH_SCALE_PLAIN_H

#include <errno.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>

#include <atomic>
#include <string>

#include "scale_common.h"

namespace scale {

// The library asks for this much on its UDP sockets; the plain ones get the same.
constexpr int kUdpSocketBuffer = 262144;
constexpr int kPlainConnectBatch = 100;  // TCP connects in flight per client process
constexpr int kEpollEvents = 256;
constexpr int kReaderWakeMs = 100;  // how soon a reading thread sees that it should stop
constexpr size_t kReadSize = 65536;

inline void SetUdpBuffers(int fd) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kUdpSocketBuffer, sizeof(kUdpSocketBuffer));
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kUdpSocketBuffer, sizeof(kUdpSocketBuffer));
}

inline bool SetNonBlocking(int fd) { return fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK) == 0; }

// ---- servers -------------------------------------------------------------------------------

// One thread, one blocking UDP socket: every datagram goes straight back to its sender.
[[noreturn]] inline void PlainUdpServer(uint16_t port, int ready_fd) {
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in at = Loopback(port);
    if (fd >= 0) SetUdpBuffers(fd);
    const char ok = fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof(at)) == 0;
    if (!WriteFull(ready_fd, &ok, 1) || !ok) _exit(1);
    uint8_t buf[2048];
    for (;;) {
        sockaddr_in from{};
        socklen_t len = sizeof(from);
        const ssize_t n = recvfrom(fd, buf, sizeof(buf), 0, reinterpret_cast<sockaddr *>(&from), &len);
        if (n > 0) sendto(fd, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr *>(&from), len);
    }
}

// One thread, epoll over the listening socket and every accepted one, all non-blocking; the
// bytes read go back at once, and what the socket would not take waits for it to drain.
class CPlainTcpServer {
public:
    bool Listen(uint16_t port) {
        m_listen = socket(AF_INET, SOCK_STREAM, 0);
        m_epoll = epoll_create1(0);
        const int one = 1;
        sockaddr_in at = Loopback(port);
        if (m_listen < 0 || m_epoll < 0) return false;
        setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        return bind(m_listen, reinterpret_cast<sockaddr *>(&at), sizeof(at)) == 0 &&
               listen(m_listen, SOMAXCONN) == 0 && SetNonBlocking(m_listen) && Watch(m_listen, EPOLLIN, EPOLL_CTL_ADD);
    }

    [[noreturn]] void Run() {
        epoll_event events[kEpollEvents];
        for (;;) {
            const int n = epoll_wait(m_epoll, events, kEpollEvents, -1);
            for (int i = 0; i < n; ++i) {
                const int fd = events[i].data.fd;
                if (fd == m_listen) Accept();
                else if (events[i].events & EPOLLOUT) Flush(fd);
                else Echo(fd);
            }
        }
    }

private:
    bool Watch(int fd, uint32_t events, int op) {
        epoll_event ev{};
        ev.events = events;
        ev.data.fd = fd;
        return epoll_ctl(m_epoll, op, fd, &ev) == 0;
    }

    void Accept() {
        for (;;) {
            const int fd = accept4(m_listen, nullptr, nullptr, SOCK_NONBLOCK);
            if (fd < 0) return;
            const int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
            if (static_cast<size_t>(fd) >= m_peers.size()) m_peers.resize(static_cast<size_t>(fd) + 1);
            m_peers[static_cast<size_t>(fd)] = SPeer{};
            if (!Watch(fd, EPOLLIN, EPOLL_CTL_ADD)) close(fd);
        }
    }

    void Echo(int fd) {
        const ssize_t n = read(fd, m_buf, sizeof(m_buf));
        if (n == 0 || (n < 0 && errno != EAGAIN)) {
            close(fd);
            return;
        }
        if (n < 0) return;
        m_peers[static_cast<size_t>(fd)].pending.append(reinterpret_cast<const char *>(m_buf), static_cast<size_t>(n));
        Flush(fd);
    }

    void Flush(int fd) {
        SPeer &peer = m_peers[static_cast<size_t>(fd)];
        const ssize_t n = send(fd, peer.pending.data(), peer.pending.size(), MSG_NOSIGNAL);
        if (n > 0) peer.pending.erase(0, static_cast<size_t>(n));
        const bool wait = !peer.pending.empty();
        if (wait != peer.waiting) Watch(fd, wait ? EPOLLIN | EPOLLOUT : EPOLLIN, EPOLL_CTL_MOD);
        peer.waiting = wait;
    }

    struct SPeer {
        std::string pending;  // bytes the socket has not taken yet
        bool waiting = false;  // for the socket to drain
    };

    int m_listen = -1;
    int m_epoll = -1;
    uint8_t m_buf[kReadSize];
    std::vector<SPeer> m_peers;  // by descriptor
};

[[noreturn]] inline void PlainTcpServer(uint16_t port, int ready_fd) {
    static CPlainTcpServer server;
    const char ok = server.Listen(port);
    if (!WriteFull(ready_fd, &ok, 1) || !ok) _exit(1);
    server.Run();
}

// ---- clients -------------------------------------------------------------------------------

// All of a process's "connections" share one UDP socket: the echo's time stamp is all the
// round trip needs.
class CPlainUdpClient : public CBenchClient {
public:
    CPlainUdpClient(size_t count, uint16_t port) : m_count(count), m_port(port) {}

    size_t Count() const override { return m_count; }

    void ConnectAll() override {
        m_fd = socket(AF_INET, SOCK_DGRAM, 0);
        if (m_fd < 0) return;
        SetUdpBuffers(m_fd);
        sockaddr_in at = Loopback(m_port);
        if (connect(m_fd, reinterpret_cast<sockaddr *>(&at), sizeof(at)) != 0) Die("udp connect");
        m_reader = std::thread([this] { Read(); });
    }

    bool Connected(size_t) const override { return m_fd >= 0; }

    ESend Send(size_t, const uint8_t *msg) override {
        return send(m_fd, msg, kMessageSize, 0) == kMessageSize ? ESend::kSent : ESend::kFailed;
    }

    void Stop() override {
        m_stop.store(true);
        if (m_reader.joinable()) m_reader.join();
    }

private:
    void Read() {
        uint8_t buf[2048];
        pollfd p{m_fd, POLLIN, 0};
        while (!m_stop.load()) {
            if (poll(&p, 1, kReaderWakeMs) <= 0) continue;
            if (recv(m_fd, buf, sizeof(buf), 0) == kMessageSize) m_tally.OnEcho(buf);
        }
    }

    const size_t m_count;
    const uint16_t m_port;
    int m_fd = -1;
    std::atomic<bool> m_stop{false};
    std::thread m_reader;
};

// One non-blocking TCP socket per connection, connected a batch at a time; one thread reads
// the echoes of all of them through epoll.
class CPlainTcpClient : public CBenchClient {
public:
    CPlainTcpClient(size_t count, uint16_t port) : m_conns(count), m_port(port) {}

    size_t Count() const override { return m_conns.size(); }

    void ConnectAll() override {
        m_epoll = epoll_create1(0);
        if (m_epoll < 0) Die("epoll");
        const auto deadline = Clock::now() + kConnectLimit;
        for (size_t i = 0; i < m_conns.size(); ++i) {
            Open(i);
            while (m_in_flight >= kPlainConnectBatch && Clock::now() < deadline) AwaitConnects();
        }
        while (m_in_flight > 0 && Clock::now() < deadline) AwaitConnects();
        for (SConn &c : m_conns) {
            if (c.state.load() == 0) Fail(&c);  // still connecting at the limit
        }
        m_reader = std::thread([this] { Read(); });
    }

    bool Connected(size_t conn) const override { return m_conns[conn].state.load() == 1; }

    ESend Send(size_t conn, const uint8_t *msg) override {
        SConn &c = m_conns[conn];
        if (send(c.fd, msg, kMessageSize, MSG_NOSIGNAL) == kMessageSize) return ESend::kSent;
        c.state.store(-1);  // a part of a message would break the framing of all that follow
        return ESend::kFailed;
    }

    void Stop() override {
        m_stop.store(true);
        if (m_reader.joinable()) m_reader.join();
    }

private:
    struct SConn {
        int fd = -1;
        std::atomic<int> state{0};  // 0 connecting, 1 connected, -1 failed or closed
        SFramer framer;
    };

    void Open(size_t i) {
        SConn &c = m_conns[i];
        c.fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        if (c.fd < 0) {
            c.state.store(-1);
            return;
        }
        const int one = 1;
        setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        sockaddr_in at = Loopback(m_port);
        const int rc = connect(c.fd, reinterpret_cast<sockaddr *>(&at), sizeof(at));
        epoll_event ev{};
        ev.events = rc == 0 ? EPOLLIN : EPOLLOUT;
        ev.data.u64 = i;
        if ((rc != 0 && errno != EINPROGRESS) || epoll_ctl(m_epoll, EPOLL_CTL_ADD, c.fd, &ev) != 0) Fail(&c);
        else if (rc == 0) c.state.store(1);
        else ++m_in_flight;
    }

    void Fail(SConn *c) {
        if (c->fd >= 0) close(c->fd);
        c->fd = -1;
        c->state.store(-1);
    }

    void AwaitConnects() {
        epoll_event events[kEpollEvents];
        const int n = epoll_wait(m_epoll, events, kEpollEvents, kReaderWakeMs);
        for (int k = 0; k < n; ++k) {
            SConn &c = m_conns[events[k].data.u64];
            if (c.state.load() != 0) continue;
            --m_in_flight;
            int error = 0;
            socklen_t len = sizeof(error);
            getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &len);
            epoll_event ev{};
            ev.events = EPOLLIN;
            ev.data.u64 = events[k].data.u64;
            if (error != 0 || epoll_ctl(m_epoll, EPOLL_CTL_MOD, c.fd, &ev) != 0) Fail(&c);
            else c.state.store(1);
        }
    }

    void Read() {
        epoll_event events[kEpollEvents];
        uint8_t buf[kReadSize];
        while (!m_stop.load()) {
            const int n = epoll_wait(m_epoll, events, kEpollEvents, kReaderWakeMs);
            for (int k = 0; k < n; ++k) {
                SConn &c = m_conns[events[k].data.u64];
                const ssize_t got = read(c.fd, buf, sizeof(buf));
                if (got > 0) {
                    c.framer.Feed(buf, static_cast<size_t>(got), &m_tally);
                } else if (got == 0 || errno != EAGAIN) {
                    // Left open: the sending thread may still hold the descriptor.
                    c.state.store(-1);
                    epoll_ctl(m_epoll, EPOLL_CTL_DEL, c.fd, nullptr);
                }
            }
        }
    }

    std::vector<SConn> m_conns;
    const uint16_t m_port;
    int m_epoll = -1;
    int m_in_flight = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_reader;
};

}  // namespace scale

#endif
