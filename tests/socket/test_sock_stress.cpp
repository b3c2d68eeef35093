// Several threads open, use and close TCP and UDP sockets at once while the socket thread
// delivers their events; every byte must arrive, in order, exactly once.
#include <algorithm>
#include <array>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "socket_fixture.h"

namespace socktest {
namespace {

constexpr int kThreads = 4;
constexpr int kTcpPerThread = 40;
constexpr int kUdpEvery = 2;  // one UDP socket every second TCP connection
constexpr int kDatagramsPerSocket = 4;
constexpr int kDatagramBytes = 200;
constexpr size_t kStreamBytes = 32768;
constexpr size_t kChunk = 4096;

char Pattern(size_t offset) { return static_cast<char>((offset * 31 + 7) & 0xff); }

// The echo server: every callback runs on the socket thread; the mutex is for the final check.
struct CEchoServer {
    std::mutex mutex;
    std::map<int, std::string> pending;  // received, not yet echoed
    std::map<int, size_t> offset;        // bytes received per connection
    size_t received = 0;
    int accepted = 0;
    int closed = 0;
    int corrupt = 0;

    void Flush(int h) {
        std::string &out = pending[h];
        while (!out.empty()) {
            int n = VSOCK::send(h, out.data(), static_cast<int>(out.size()), 0);
            if (n <= 0) return;  // the rest waits for event 4
            out.erase(0, static_cast<size_t>(n));
        }
    }

    static int Callback(uintptr_t ctx, int msg, uintptr_t handle, uintptr_t p1, uintptr_t, uintptr_t) {
        auto *self = reinterpret_cast<CEchoServer *>(ctx);
        const int h = static_cast<int>(handle);
        std::lock_guard<std::mutex> guard(self->mutex);
        if (msg == sock::kEventAccepted) {
            ++self->accepted;
        } else if (msg == sock::kEventReadable) {
            std::vector<char> buf(p1);
            int n = VSOCK::recv(h, buf.data(), static_cast<int>(p1), 0);
            for (int i = 0; i < n; ++i) {
                if (buf[i] != Pattern(self->offset[h]++)) ++self->corrupt;
            }
            if (n > 0) {
                self->received += static_cast<size_t>(n);
                self->pending[h].append(buf.data(), static_cast<size_t>(n));
            }
            self->Flush(h);
        } else if (msg == sock::kEventWritable) {
            self->Flush(h);
        } else if (msg == sock::kEventClosed) {
            ++self->closed;
        }
        return 0;
    }
};

struct CClient {
    std::atomic<int> connected{-1};
    std::atomic<int> writable{0};
    std::atomic<size_t> echoed{0};
    std::atomic<int> corrupt{0};

    static int Callback(uintptr_t ctx, int msg, uintptr_t handle, uintptr_t p1, uintptr_t, uintptr_t) {
        auto *self = reinterpret_cast<CClient *>(ctx);
        if (msg == sock::kEventConnected) {
            self->connected = static_cast<int>(p1);
        } else if (msg == sock::kEventWritable) {
            ++self->writable;
        } else if (msg == sock::kEventReadable) {
            std::vector<char> buf(p1);
            int n = VSOCK::recv(static_cast<int>(handle), buf.data(), static_cast<int>(p1), 0);
            size_t at = self->echoed.load();
            for (int i = 0; i < n; ++i) {
                if (buf[i] != Pattern(at + i)) ++self->corrupt;
            }
            if (n > 0) self->echoed += static_cast<size_t>(n);
        }
        return 0;
    }
};

struct CUdpReceiver {
    int handle = 0;
    std::atomic<size_t> received{0};
    std::atomic<int> corrupt{0};

    static int Callback(uintptr_t ctx, int msg, uintptr_t, uintptr_t, uintptr_t, uintptr_t) {
        auto *self = reinterpret_cast<CUdpReceiver *>(ctx);
        if (msg != sock::kEventReadable) return 0;
        char buf[kDatagramBytes * 2];
        int n;
        while ((n = VSOCK::recvfrom(self->handle, buf, sizeof(buf), 0, nullptr)) > 0) {
            if (n != kDatagramBytes) ++self->corrupt;
            for (int i = 1; i < n; ++i) {
                if (buf[i] != static_cast<char>(buf[0] + i)) ++self->corrupt;
            }
            self->received += static_cast<size_t>(n);
        }
        return 0;
    }
};

class SockStress : public SocketTest {
protected:
    // One TCP connection: connect, stream kStreamBytes, wait for the echo, close.
    void RunTcp(CClient &c, uint16_t port) {
        int h = VSOCK::socket(sock::kTypeTcp, &CClient::Callback, reinterpret_cast<uintptr_t>(&c));
        ASSERT_GT(h, 0);
        ASSERT_EQ(0, VSOCK::connect(h, VSOCK::build_address(kLoopback, port)));
        ASSERT_TRUE(WaitUntil([&] { return c.connected.load() != -1; }));
        ASSERT_EQ(sock::kConnectOk, c.connected.load());
        std::string data(kStreamBytes, 0);
        for (size_t i = 0; i < kStreamBytes; ++i) data[i] = Pattern(i);
        size_t sent = 0;
        while (sent < kStreamBytes) {
            const int before = c.writable.load();
            const int want = static_cast<int>(std::min(kChunk, kStreamBytes - sent));
            int n = VSOCK::send(h, data.data() + sent, want, 0);
            ASSERT_GE(n, 0);
            sent += static_cast<size_t>(n);
            if (n < want) {
                ASSERT_TRUE(WaitUntil([&] { return c.writable.load() > before; }));
            }
        }
        ASSERT_TRUE(WaitUntil([&] { return c.echoed.load() == kStreamBytes; }));
        EXPECT_EQ(0, VSOCK::close(h));
    }

    void RunUdp(CUdpReceiver &receiver, uint16_t port, char seed) {
        int u = VSOCK::socket(sock::kTypeUdp, &EventRecorder::Callback, m_udp_rec.Context());
        ASSERT_GT(u, 0);
        char dgram[kDatagramBytes];
        for (int k = 0; k < kDatagramsPerSocket; ++k) {
            for (int i = 0; i < kDatagramBytes; ++i) dgram[i] = static_cast<char>(seed + k + i);
            int n;
            while ((n = VSOCK::sendto(u, dgram, kDatagramBytes, 0, VSOCK::build_address(kLoopback, port))) == 0) {
                std::this_thread::yield();
            }
            ASSERT_EQ(kDatagramBytes, n);
            m_udp_sent += kDatagramBytes;
        }
        // Paced, so that the receiver's buffer never overflows.
        const size_t target = m_udp_sent.load();
        ASSERT_TRUE(WaitUntil([&] { return receiver.received.load() >= target; }));
        EXPECT_EQ(0, VSOCK::close(u));
    }

    EventRecorder m_udp_rec;
    std::atomic<size_t> m_udp_sent{0};
};

TEST_F(SockStress, ConcurrentSocketsDeliverEveryByte) {
    CEchoServer &server = Keep<CEchoServer>();
    uint16_t port = 0;
    int listener = VSOCK::socket(sock::kTypeTcp, &CEchoServer::Callback, reinterpret_cast<uintptr_t>(&server));
    ASSERT_EQ(0, VSOCK::bind(listener, VSOCK::build_address(kLoopback, 0)));
    ASSERT_EQ(0, VSOCK::listen(listener));
    ASSERT_EQ(0, VSOCK::getsockopt(listener, sock::kOptLocalPort, &port, sizeof(port)));

    CUdpReceiver &receiver = Keep<CUdpReceiver>();
    uint16_t udp_port = 0;
    receiver.handle = VSOCK::socket(sock::kTypeUdp, &CUdpReceiver::Callback, reinterpret_cast<uintptr_t>(&receiver));
    ASSERT_EQ(0, VSOCK::bind(receiver.handle, VSOCK::build_address(kLoopback, 0)));
    ASSERT_EQ(0, VSOCK::getsockopt(receiver.handle, sock::kOptLocalPort, &udp_port, sizeof(udp_port)));

    auto &clients = Keep<std::array<std::deque<CClient>, kThreads>>();
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kTcpPerThread; ++i) {
                RunTcp(clients[t].emplace_back(), port);
                if (i % kUdpEvery == 0) RunUdp(receiver, udp_port, static_cast<char>(t * 50 + i));
            }
        });
    }
    for (std::thread &th : threads) th.join();

    constexpr int kConnections = kThreads * kTcpPerThread;
    ASSERT_TRUE(WaitUntil([&] {
        std::lock_guard<std::mutex> guard(server.mutex);
        return server.closed == kConnections;
    }));
    {
        std::lock_guard<std::mutex> guard(server.mutex);
        EXPECT_EQ(kConnections, server.accepted);
        EXPECT_EQ(kConnections * kStreamBytes, server.received);
        EXPECT_EQ(0, server.corrupt);
    }
    for (auto &per_thread : clients) {
        for (CClient &c : per_thread) {
            EXPECT_EQ(kStreamBytes, c.echoed.load());
            EXPECT_EQ(0, c.corrupt.load());
        }
    }
    EXPECT_EQ(m_udp_sent.load(), receiver.received.load());
    EXPECT_EQ(0, receiver.corrupt.load());
    EXPECT_EQ(0, m_udp_rec.Count(sock::kEventClosed));
}

}  // namespace
}  // namespace socktest
