// Whole transport connections through real proxies: a client whose environment names tinyproxy
// (HTTP CONNECT) or microsocks (SOCKS5) reaches a server on port 443 of a loopback address,
// with connect data both ways and a long stream both ways, checked byte for byte; the proxy is
// killed in the middle and started again on its port, and the stream resumes through it.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "proxy_support.h"
#include "socket/sock_defs.h"
#include "socket/sockcli.h"
#include "tp_fixture.h"

namespace tptest {
namespace {

using qrntest::CProxyProgram;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr uint64_t kStreamBytes = 8u << 20;
#else
constexpr uint64_t kStreamBytes = 16u << 20;
#endif
// Below the 262144 bytes each side keeps for resumption: what the killed proxy held is sent again.
constexpr uint64_t kInFlightMax = 200000;
constexpr size_t kChunk = 65536;

// A seeded byte sequence that the other end produces again to check every byte.
class CSequence {
public:
    explicit CSequence(uint64_t seed) : m_state(seed | 1) {}
    uint8_t Next() {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 7;
        m_state ^= m_state << 17;
        return static_cast<uint8_t>(m_state >> 24);
    }

private:
    uint64_t m_state;
};

// One end of the connection: answers the connect request with its own data, checks the
// peer's stream as it arrives, and writes its own with a cap on what the peer has not yet got.
class CCheckedEnd {
public:
    CCheckedEnd(uint64_t own_seed, uint64_t peer_seed, Bytes connect_data)
        : m_own(own_seed), m_expected(peer_seed), m_connect_data(std::move(connect_data)) {}

    static int Callback(uintptr_t user, int msg, uintptr_t handle, uintptr_t p1, uintptr_t p2, uintptr_t p3) {
        auto *self = reinterpret_cast<CCheckedEnd *>(user);
        const auto *data = reinterpret_cast<const uint8_t *>(p3);
        if (msg == QRN_TP_MSG_CONNECT_REQUEST || msg == QRN_TP_MSG_CONNECT_RESULT) {
            std::lock_guard<std::mutex> guard(self->m_mutex);
            if (data != nullptr) self->m_peer_data.assign(data, data + p2);
            self->m_handle = static_cast<int>(handle);
            self->m_result = static_cast<int>(p1);
        }
        if (msg == QRN_TP_MSG_WRITABLE) ++self->m_writable;
        if (msg == QRN_TP_MSG_CLOSED) ++self->m_closed;
        if (msg == QRN_TP_MSG_CONNECT_REQUEST) {
            EXPECT_EQ(QRN_TP_OK, qrn_tp_accept(static_cast<int>(handle), QRN_TP_ACCEPT, kBufferSize,
                                               static_cast<int>(self->m_connect_data.size()),
                                               self->m_connect_data.data()));
        }
        if (msg == QRN_TP_MSG_DATA && p1 == QRN_TP_DATA_STREAM) self->Check(data, p2);
        self->Wake();
        if (self->m_peer != nullptr) self->m_peer->Wake();
        return 0;
    }
    uintptr_t Context() { return reinterpret_cast<uintptr_t>(this); }

    bool Write(uint64_t total) {
        uint8_t chunk[kChunk];
        uint64_t sent = 0;
        while (sent < total) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(kChunk, total - sent));
            for (size_t i = 0; i < n; ++i) chunk[i] = m_own.Next();
            size_t at = 0;
            while (at < n) {
                uint64_t room = 0;
                if (!WaitFor([&] {
                        const uint64_t flying = sent - m_peer->m_received.load();
                        room = flying < kInFlightMax ? kInFlightMax - flying : 0;
                        return room > 0 || m_closed > 0;
                    }) ||
                    m_closed > 0) {
                    return false;
                }
                const int offer = static_cast<int>(std::min<uint64_t>(room, n - at));
                const int writable = m_writable;
                const int r = qrn_tp_send(m_handle, chunk + at, offer, QRN_TP_SEND_STREAM);
                if (r < 0) return false;
                at += static_cast<size_t>(r);
                sent += static_cast<uint64_t>(r);
                if (r < offer && !WaitFor([&] { return m_writable > writable || m_closed > 0; })) return false;
            }
        }
        return true;
    }

    CCheckedEnd *m_peer = nullptr;
    std::atomic<uint64_t> m_received{0};
    std::atomic<int64_t> m_first_bad{-1};

    std::atomic<int> m_handle{0};
    std::atomic<int> m_result{-1};
    std::atomic<int> m_writable{0};
    std::atomic<int> m_closed{0};

    Bytes PeerData() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_peer_data;
    }

private:
    void Check(const uint8_t *data, size_t n) {
        const uint64_t at = m_received.load();
        for (size_t i = 0; i < n; ++i) {
            if (data[i] != m_expected.Next() && m_first_bad.load() < 0) m_first_bad = static_cast<int64_t>(at + i);
        }
        m_received = at + n;
    }
    void Wake() {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_wake.notify_all();
    }
    template <class Pred>
    bool WaitFor(Pred pred) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_wake.wait_for(lock, std::chrono::milliseconds(2 * qrntest::kWaitMs), pred);
    }

    CSequence m_own;
    CSequence m_expected;  // touched only by the receiving callback
    Bytes m_connect_data;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    Bytes m_peer_data;
};

// Holds the socket thread inside a callback of its own while a test changes the world under
// it, so that both ends see the change only afterwards.
class CSocketThreadHold {
public:
    CSocketThreadHold() {
        m_handle = VSOCK::socket(sock::kTypeUdp, &CSocketThreadHold::Callback, reinterpret_cast<uintptr_t>(this));
        VSOCK::bind(m_handle, VSOCK::build_address(kLoopbackIp, 0));
        VSOCK::getsockopt(m_handle, sock::kOptLocalPort, &m_port, sizeof(m_port));
    }
    ~CSocketThreadHold() {
        Release();
        VSOCK::close(m_handle);
    }

    bool Hold() {
        const char ping = 1;
        VSOCK::sendto(m_handle, &ping, 1, 0, VSOCK::build_address(kLoopbackIp, m_port));
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, std::chrono::milliseconds(qrntest::kWaitMs), [&] { return m_held; });
    }
    // Returns once the socket thread has left the callback, so the hold may go out of scope.
    void Release() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_released = true;
        m_cond.notify_all();
        m_cond.wait(lock, [&] { return !m_inside; });
    }

private:
    static int Callback(uintptr_t user, int msg, uintptr_t, uintptr_t, uintptr_t, uintptr_t) {
        auto *self = reinterpret_cast<CSocketThreadHold *>(user);
        if (msg != sock::kEventReadable) return 0;
        char ping;
        while (VSOCK::recvfrom(self->m_handle, &ping, 1, 0, nullptr) > 0) {
        }
        std::unique_lock<std::mutex> lock(self->m_mutex);
        if (self->m_released) return 0;
        self->m_held = true;
        self->m_inside = true;
        self->m_cond.notify_all();
        self->m_cond.wait(lock, [&] { return self->m_released; });
        self->m_inside = false;
        self->m_cond.notify_all();
        return 0;
    }

    int m_handle = 0;
    uint16_t m_port = 0;
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_held = false;
    bool m_released = false;
    bool m_inside = false;
};

class TpProxy : public TpTest {
protected:
    // True once both ends have received at least target bytes; false when neither moves for a
    // whole wait (a loaded machine may be slow, but a stream must not stand still).
    static bool WaitWhileMoving(CCheckedEnd &a, CCheckedEnd &b, uint64_t target) {
        for (;;) {
            const uint64_t seen = a.m_received + b.m_received;
            if (!WaitUntil([&] {
                    return (a.m_received >= target && b.m_received >= target) || a.m_received + b.m_received > seen;
                })) {
                return false;
            }
            if (a.m_received >= target && b.m_received >= target) return true;
        }
    }

    // What the paths and the proxy went through, for a failure message.
    static std::string Diagnosis(const qrntest::TraceCapture &trace, CProxyProgram &proxy) {
        std::string out = "\n";
        for (const std::string &line : trace.Lines()) {
            for (const char *mark : {"proxy_type=", "response=", " 6.9 ", " 6.10 ", "m_bReconnecting", "OnReconnect",
                                     "cannot resume"}) {
                if (line.find(mark) != std::string::npos) {
                    out += line + "\n";
                    break;
                }
            }
        }
        return out + "proxy output:\n" + proxy.Output();
    }

    // server_ip: a loopback address of this test's own, so that test processes running side
    // by side never share a listener on port 443.
    void RunThroughProxy(CProxyProgram::Kind kind, const char *server_ip, const char *proxied_line) {
        if (!qrntest::CanBindPrivilegedPorts()) GTEST_SKIP() << "binding port 443 needs root";
        CProxyProgram proxy(kind);
        if (!proxy.Missing().empty()) GTEST_SKIP() << proxy.Missing();
        ASSERT_TRUE(proxy.Start()) << proxy.Output();

        // Kept for the whole run: the listener keeps pointing at the server's end.
        CCheckedEnd &server = *new CCheckedEnd(31, 32, Pattern(300, 9));
        CCheckedEnd &client = *new CCheckedEnd(32, 31, Bytes());
        server.m_peer = &client;
        client.m_peer = &server;
        ASSERT_EQ(QRN_TP_OK, qrn_tp_listen(server_ip, 0, qrntest::kProxiedPort, 0, &CCheckedEnd::Callback,
                                           server.Context()));

        qrntest::ScopedProxyEnv env;
        env.Set("https_proxy", proxy.Url());
        qrntest::TraceCapture trace;
        const Bytes hello = Pattern(1000, 5);
        const int h = qrn_tp_connect(server_ip, 0, qrntest::kProxiedPort, 0, nullptr, 0, &CCheckedEnd::Callback,
                                     client.Context(), kBufferSize, static_cast<int>(hello.size()), hello.data());
        ASSERT_NE(0, h);
        Track(h);
        ASSERT_TRUE(WaitUntil([&] { return client.m_result >= 0 && server.m_handle != 0; })) << proxy.Output();
        Track(server.m_handle);
        ASSERT_EQ(QRN_TP_CONNECT_ACCEPTED, client.m_result);
        EXPECT_EQ(hello, server.PeerData());
        EXPECT_EQ(Pattern(300, 9), client.PeerData());
        EXPECT_EQ(1, trace.Count({"proxy_type=", kind == CProxyProgram::kTinyproxy ? "HTTP" : "SOCKS"}));
        EXPECT_TRUE(proxy.Child().WaitForOutput(proxied_line)) << proxy.Output();

        std::atomic<bool> up_ok{false};
        std::atomic<bool> down_ok{false};
        std::thread up([&] { up_ok = client.Write(kStreamBytes); });
        std::thread down([&] { down_ok = server.Write(kStreamBytes); });

        // A third of the way, the proxy dies with both directions in flight and comes back on
        // its port before either end hears of it.
        ASSERT_TRUE(WaitWhileMoving(server, client, kStreamBytes / 3)) << Diagnosis(trace, proxy);
        {
            CSocketThreadHold hold;
            ASSERT_TRUE(hold.Hold());
            proxy.Kill();
            const bool restarted = proxy.Start();
            hold.Release();
            ASSERT_TRUE(restarted) << proxy.Output();
        }
        up.join();
        down.join();
        EXPECT_TRUE(up_ok);
        EXPECT_TRUE(down_ok);
        EXPECT_TRUE(WaitWhileMoving(server, client, kStreamBytes))
            << server.m_received << " " << client.m_received << Diagnosis(trace, proxy);
        EXPECT_EQ(-1, server.m_first_bad);
        EXPECT_EQ(-1, client.m_first_bad);
        EXPECT_EQ(0, server.m_closed);
        EXPECT_EQ(0, client.m_closed);
        // The new path went through the restarted proxy too. (tinyproxy now and then ends a busy
        // tunnel by itself, which the connection resumes from as well: more paths may show.)
        EXPECT_LE(2, trace.Count({"proxy_type="}));
        EXPECT_TRUE(proxy.Child().WaitForOutput(proxied_line)) << proxy.Output();

        ASSERT_EQ(QRN_TP_OK, qrn_tp_close(h, QRN_TP_CLOSE_NORMAL));
        EXPECT_TRUE(WaitUntil([&] { return server.m_closed > 0; }));
        proxy.Stop();
    }
};

TEST_F(TpProxy, StreamBothWaysThroughHttpConnectProxyResumesAfterItsRestart) {
    RunThroughProxy(CProxyProgram::kTinyproxy, "127.0.44.1", "CONNECT 127.0.44.1:443");
}

TEST_F(TpProxy, StreamBothWaysThroughSocks5ProxyResumesAfterItsRestart) {
    RunThroughProxy(CProxyProgram::kMicrosocks, "127.0.44.2", "connected to 127.0.44.2:443");
}

}  // namespace
}  // namespace tptest
