// Shared by the socket layer tests: a started layer, raw POSIX peers on the loopback address,
// and a way to let the socket thread finish passes before a test looks for absent events.
#ifndef QRN_TESTS_SOCKET_SOCKET_FIXTURE_H
#define QRN_TESTS_SOCKET_SOCKET_FIXTURE_H

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "socket/sock_debug.h"
#include "socket/sock_defs.h"
#include "raw_peer.h"
#include "socket/sockcli.h"
#include "test_support.h"

namespace socktest {

using qrntest::Event;
using qrntest::EventRecorder;
using qrntest::WaitUntil;

constexpr uint32_t kLoopback = sock::kLoopbackIp;

// --- raw POSIX peers (blocking) ---------------------------------------------------------

using qrntest::FreePort;
using qrntest::RawPort;
using qrntest::RawReadExactly;

// Stress tests queue many connects at once.
inline int RawListen(uint16_t *port) { return qrntest::RawListen(port, 64); }

inline int RawConnect(uint16_t port) {
    const int fd = qrntest::RawConnect(port);
    EXPECT_GE(fd, 0) << "raw connect to port " << port;
    return fd;
}

// Descriptors open in this process (entries of /proc/self/fd, less the one that lists them).
inline int OpenDescriptorCount() {
    DIR *dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int count = 0;
    while (const dirent *entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
    return count - 1;
}

// --- the fixture ------------------------------------------------------------------------

// Everything a callback may touch must outlive the socket layer: the layer is shut down in
// TearDown, after the test body's locals are gone, so recorders and hook state come from
// Keep(), which the fixture owns.
class SocketTest : public ::testing::Test {
protected:
    template <class T>
    T &Keep() {
        auto kept = std::make_shared<T>();
        m_kept.push_back(kept);
        return *kept;
    }
    EventRecorder &NewRecorder() { return Keep<EventRecorder>(); }

    void SetUp() override {
        ASSERT_EQ(sock::kStartupOk, VSOCK::startup());
        m_ping = OpenUdp(m_ping_recorder, &m_ping_port);
        m_ping_recorder.SetHook([this](const Event &) { DrainPings(); });
    }

    void TearDown() override { VSOCK::shutdown(); }

    // A TCP listener on 127.0.0.1 at a port of the system's choice.
    int ListenTcp(EventRecorder &rec, uint16_t *port) {
        int h = VSOCK::socket(sock::kTypeTcp, &EventRecorder::Callback, rec.Context());
        EXPECT_GT(h, 0);
        EXPECT_EQ(0, VSOCK::bind(h, VSOCK::build_address(kLoopback, 0)));
        EXPECT_EQ(0, VSOCK::listen(h));
        EXPECT_EQ(0, VSOCK::getsockopt(h, sock::kOptLocalPort, port, sizeof(*port)));
        return h;
    }

    // A TCP socket connecting to 127.0.0.1:port (the outcome comes as event 2).
    int ConnectTcp(EventRecorder &rec, uint16_t port) {
        int h = VSOCK::socket(sock::kTypeTcp, &EventRecorder::Callback, rec.Context());
        EXPECT_GT(h, 0);
        EXPECT_EQ(0, VSOCK::connect(h, VSOCK::build_address(kLoopback, port)));
        return h;
    }

    int OpenUdp(EventRecorder &rec, uint16_t *port) {
        int h = VSOCK::socket(sock::kTypeUdp, &EventRecorder::Callback, rec.Context());
        EXPECT_GT(h, 0);
        EXPECT_EQ(0, VSOCK::bind(h, VSOCK::build_address(kLoopback, 0)));
        EXPECT_EQ(0, VSOCK::getsockopt(h, sock::kOptLocalPort, port, sizeof(*port)));
        return h;
    }

    // A connected pair: *client (events to client_rec) and the socket the listener accepted
    // (*server, events to server_rec).
    void ConnectedPair(EventRecorder &client_rec, EventRecorder &server_rec, int *client, int *server) {
        uint16_t port = 0;
        m_pair_listener = ListenTcp(server_rec, &port);
        *client = ConnectTcp(client_rec, port);
        Event connected = client_rec.WaitFor(sock::kEventConnected);
        ASSERT_EQ(sock::kEventConnected, connected.msg);
        ASSERT_EQ(static_cast<uintptr_t>(sock::kConnectOk), connected.p1);
        Event accepted = server_rec.WaitFor(sock::kEventAccepted);
        ASSERT_EQ(sock::kEventAccepted, accepted.msg);
        *server = static_cast<int>(accepted.handle);
    }

    // Returns once the socket thread has completed a whole pass that began after this call,
    // so that a test can then assert that some event did not come.
    void SyncPasses() {
        // The first ping's pass may have begun before the caller's last change; the second's
        // began after; it is complete once the third is seen.
        for (int i = 0; i < 3; ++i) {
            int seq = ++m_ping_sent;
            ASSERT_EQ(static_cast<int>(sizeof(seq)),
                      VSOCK::sendto(m_ping, &seq, sizeof(seq), 0, VSOCK::build_address(kLoopback, m_ping_port)));
            ASSERT_TRUE(WaitUntil([&] { return m_ping_seen.load() >= seq; }));
        }
    }

    // Waits of 100 ms, so that a stop is never held up long.
    qrntest::ClockFactor m_clock{10};
    int m_pair_listener = 0;
    int m_ping = 0;
    uint16_t m_ping_port = 0;
    EventRecorder m_ping_recorder;

private:
    void DrainPings() {
        int seq = 0;
        while (VSOCK::recvfrom(m_ping, &seq, sizeof(seq), 0, nullptr) == static_cast<int>(sizeof(seq))) {
            if (seq > m_ping_seen.load()) m_ping_seen.store(seq);
        }
    }

    std::atomic<int> m_ping_sent{0};
    std::atomic<int> m_ping_seen{0};
    std::vector<std::shared_ptr<void>> m_kept;
};

}  // namespace socktest

#endif
