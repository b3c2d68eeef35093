// Several threads connect, send, set options and close while a relay keeps cutting the paths
// under them and the server closes some connections on its own; the timer walks the table all
// along. Afterwards every object and socket is gone, and each handle's messages kept their
// order rules. Run under ASan and TSan.
#include <atomic>
#include <thread>

#include "rdtp_fixture.h"

namespace rdtptest {
namespace {

using namespace rdtp;
using qrntest::CTcpRelay;

constexpr int kClientThreads = 4;
constexpr int kIterations = 30;
constexpr int kSends = 5;
constexpr int kChunk = 1000;
// A connection that loses its path again while it reconnects waits a pause of a second or
// more before its next attempt, so the wait for it is kept short.
constexpr int kEstablishWaitMs = 500;
constexpr int kCutPauseMs = 3;

// Echoes what it reads; closes some connections when their path is lost, and some at once.
struct CEchoServer {
    std::atomic<int> connects{0};
    std::atomic<int> resumed{0};

    static int Callback(uintptr_t ctx, int msg, uintptr_t handle, uintptr_t p1, uintptr_t, uintptr_t) {
        auto *self = reinterpret_cast<CEchoServer *>(ctx);
        const int h = static_cast<int>(handle);
        if (msg == kMsgConnect) {
            self->connects.fetch_add(1);
            if (h % 11 == 0) qrn_rdtp_close(h);
        } else if (msg == kMsgClose2) {
            if (p1 == kClose2Replaced) self->resumed.fetch_add(1);
            if (p1 == kClose2Lost && h % 2 == 0) qrn_rdtp_close(h);
        } else if (msg == kMsgRead) {
            char buffer[4096];
            for (;;) {
                int n = qrn_rdtp_recv(h, buffer, sizeof(buffer), 0);
                if (n <= 0) break;
                qrn_rdtp_send(h, buffer, n, 0);  // a full path drops the rest: this is load, not a stream
            }
        }
        return 0;
    }
};

bool IsTerminal(const Event &e) {
    return (e.msg == kMsgConfirm && e.p1 != kConfirmOk) || e.msg == kMsgClose;
}

// The order rules of one client handle's messages.
void CheckClientMessages(int handle, const std::vector<Event> &events) {
    int confirms = 0;
    int confirm2 = 0;
    int losses = 0;
    bool ended = false;
    for (const Event &e : events) {
        if (e.msg == kMsgRead || e.msg == kMsgWrite) continue;
        EXPECT_FALSE(ended) << "message " << e.msg << " after the end of handle " << handle;
        if (e.msg == kMsgConfirm) {
            ++confirms;
            if (confirms == 1) {
                EXPECT_EQ(0, confirm2 + losses) << handle;
            } else {
                EXPECT_NE(kConfirmOk, e.p1) << "a second 'connected' for handle " << handle;
            }
        } else if (e.msg == kMsgConfirm2) {
            EXPECT_GE(confirms, 1) << handle;
            ++confirm2;
        } else if (e.msg == kMsgClose2) {
            ++losses;
            EXPECT_LE(losses, confirm2) << handle;
        } else if (e.msg != kMsgClose) {
            ADD_FAILURE() << "client got message " << e.msg;
        }
        if (IsTerminal(e)) ended = true;
    }
    EXPECT_LE(confirms, 2) << handle;  // 0 once, then possibly the failure
}

void CheckServerMessages(int handle, const std::vector<Event> &events) {
    int connects = 0;
    int connect2 = 0;
    for (const Event &e : events) {
        if (e.msg == kMsgRead || e.msg == kMsgWrite) continue;
        if (e.msg == kMsgConnect) {
            ++connects;
            EXPECT_EQ(0, connect2) << handle;
        } else if (e.msg == kMsgConnect2) {
            EXPECT_EQ(1, connects) << handle;
            ++connect2;
        } else if (e.msg == kMsgClose2) {
            EXPECT_GE(connect2, 1) << handle;
        } else {
            ADD_FAILURE() << "server got message " << e.msg;
        }
    }
    EXPECT_LE(connects, 1) << handle;
}

std::map<int, std::vector<Event>> ByHandle(const std::vector<Event> &events) {
    std::map<int, std::vector<Event>> out;
    for (const Event &e : events) out[static_cast<int>(e.handle)].push_back(e);
    return out;
}

TEST_F(RdtpTest, StressConnectsSendsPathLossesAndClosesFromManyThreads) {
    qrntest::ClockFactor fast_timer(30);  // a timer walk every 33 ms, through all of it
    StartSockets();
    const int baseline_sockets = sock_debug::socket_count();
    auto server = std::make_shared<CEchoServer>();
    Keep(server);
    CUpper &client_upper = NewUpper();
    auto server_events = std::make_shared<EventRecorder>();
    Keep(server_events);
    // The server's callback echoes and also records (through a recorder hook).
    server_events->SetHook([server](const Event &e) {
        CEchoServer::Callback(reinterpret_cast<uintptr_t>(server.get()), e.msg, e.handle, e.p1, e.p2, e.p3);
    });
    const uint16_t port = FreePort();
    ASSERT_EQ(kListenOk, qrn_rdtp_listen(kLoopback, 0, port, 0, &EventRecorder::Callback, server_events->Context()));

    std::atomic<int> established{0};
    std::atomic<bool> clients_done{false};
    {
        CTcpRelay relay(port);
        ASSERT_NE(0, relay.Port());
        std::thread cutter([&] {
            bool both = false;
            while (!clients_done.load()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(kCutPauseMs));  // load, not a wait
                both = !both;
                if (both) {
                    relay.CutBothSides();
                } else {
                    relay.CutClientSide();
                }
            }
        });
        std::vector<std::thread> clients;
        for (int t = 0; t < kClientThreads; ++t) {
            clients.emplace_back([&, t] {
                const std::string chunk(kChunk, static_cast<char>('a' + t));
                for (int i = 0; i < kIterations; ++i) {
                    const int h = Connect(client_upper, relay.Port());
                    if (h <= 0) continue;
                    const int style = (t + i) % 4;
                    if (style == 0) {
                        qrn_rdtp_close(h);  // while connecting
                        continue;
                    }
                    if (style == 1) qrn_rdtp_option(h, kOptNoReconnect, 0);
                    auto seen = [&](int msg) { return client_upper.recorder().Count(msg, static_cast<uintptr_t>(h)) > 0; };
                    if (WaitUntil([&] { return seen(kMsgConfirm2) || seen(kMsgClose) || rdtp_debug::state(h) < 0; },
                                  kEstablishWaitMs) &&
                        seen(kMsgConfirm2)) {
                        established.fetch_add(1);
                    }
                    for (int k = 0; k < kSends; ++k) qrn_rdtp_send(h, chunk.data(), kChunk, 0);
                    uint32_t bandwidth = 0;
                    qrn_rdtp_option(h, kOptBandwidth, reinterpret_cast<uintptr_t>(&bandwidth));
                    if (style == 3) WaitUntil([&] { return !client_upper.Received(h).empty(); }, 200);
                    qrn_rdtp_close(h);
                }
            });
        }
        for (std::thread &c : clients) c.join();
        clients_done.store(true);
        cutter.join();

        for (int h : rdtp_debug::handles()) qrn_rdtp_close(h);
        // Paths still on their way in through the relay end as half-open objects that go with them.
        relay.CutBothSides();
        EXPECT_TRUE(WaitUntil([] {
            for (int h : rdtp_debug::handles()) qrn_rdtp_close(h);
            return rdtp_debug::live_connections() == 0;
        }));
    }
    EXPECT_TRUE(WaitUntil([&] { return sock_debug::socket_count() == baseline_sockets + 1; }))
        << "sockets: " << sock_debug::socket_count() << ", expected the listener on top of " << baseline_sockets;

    EXPECT_GT(established.load(), kClientThreads * kIterations / 4);
    EXPECT_GT(server->connects.load(), 0);
    for (const auto &entry : ByHandle(client_upper.recorder().Events())) CheckClientMessages(entry.first, entry.second);
    for (const auto &entry : ByHandle(server_events->Events())) CheckServerMessages(entry.first, entry.second);
    int resumptions = 0;
    for (const auto &entry : ByHandle(client_upper.recorder().Events())) {
        int confirm2 = 0;
        for (const Event &e : entry.second) confirm2 += e.msg == kMsgConfirm2 ? 1 : 0;
        if (confirm2 > 1) resumptions += confirm2 - 1;
    }
    EXPECT_GT(resumptions, 0);
    RecordProperty("established", established.load());
    RecordProperty("resumptions", resumptions);
    RecordProperty("server_replaced_paths", server->resumed.load());
}

}  // namespace
}  // namespace rdtptest
