// The socket thread: prompt service of a new socket, thousands of sockets at once, and a
// process that runs out of descriptors.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "socket_fixture.h"

namespace socktest {
namespace {

using SockThread = SocketTest;
using Clock = std::chrono::steady_clock;

// Connects to a listener outside the socket layer (whose readiness cannot end a wait) one
// after another, each right after the socket thread has finished the previous one; returns the
// slowest connect in real milliseconds. Unless a socket entering a set ends the wait under way,
// each would wait for the running wait's one-second time-out.
long SlowestSequentialConnect(EventRecorder &rec, uint16_t port, int count) {
    long slowest = 0;
    for (int i = 0; i < count; ++i) {
        const int before = rec.Count(sock::kEventConnected);
        int h = VSOCK::socket(sock::kTypeTcp, &EventRecorder::Callback, rec.Context());
        auto start = Clock::now();
        EXPECT_EQ(0, VSOCK::connect(h, VSOCK::build_address(kLoopback, port)));
        EXPECT_TRUE(rec.WaitForCount(sock::kEventConnected, before + 1));
        long ms = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
        if (ms > slowest) slowest = ms;
    }
    return slowest;
}

// A connect left to the running wait's time-out would take a real second.
constexpr long kPromptMs = 400;

TEST_F(SockThread, NewSocketCutsTheWaitShort) {
    qrntest::ClockFactor real_time(1);
    EventRecorder &client_rec = NewRecorder();
    uint16_t port = 0;
    int raw_listener = RawListen(&port);
    SyncPasses();
    EXPECT_LT(SlowestSequentialConnect(client_rec, port, 3), kPromptMs);
    ::close(raw_listener);
}

// A socket closed while the thread delivers a batch, whose descriptor number a new socket takes
// at once: the batch's report about the closed one must not reach the new one.
TEST_F(SockThread, ReportOfAClosedSocketNeverReachesTheSocketThatReusesItsNumber) {
    qrntest::TraceCapture trace;
    // Hold the thread in a callback while both datagrams arrive, so that one wait reports both.
    EventRecorder &gate_rec = NewRecorder();
    uint16_t gate_port = 0;
    int gate = OpenUdp(gate_rec, &gate_port);
    auto &held = Keep<std::atomic<bool>>();
    auto &release = Keep<std::atomic<bool>>();
    gate_rec.SetHook([gate, &held, &release](const Event &) {
        char b;
        while (VSOCK::recvfrom(gate, &b, 1, 0, nullptr) > 0) {
        }
        held = true;
        WaitUntil([&] { return release.load(); });
    });

    EventRecorder &first_rec = NewRecorder();
    EventRecorder &doomed_rec = NewRecorder();
    EventRecorder &fresh_rec = NewRecorder();
    uint16_t first_port = 0, doomed_port = 0;
    int first = OpenUdp(first_rec, &first_port);
    int doomed = OpenUdp(doomed_rec, &doomed_port);
    ASSERT_LT(first, doomed);  // delivered in handle order: first's callback runs first
    const SOCKET doomed_number = sock_debug::raw_socket(doomed);
    auto &fresh = Keep<std::atomic<int>>();
    first_rec.SetHook([&fresh, &fresh_rec, first, doomed](const Event &) {
        char b;
        while (VSOCK::recvfrom(first, &b, 1, 0, nullptr) > 0) {
        }
        EXPECT_EQ(0, VSOCK::close(doomed));
        fresh = VSOCK::socket(sock::kTypeUdp, &EventRecorder::Callback, fresh_rec.Context());
    });

    ASSERT_EQ(1, VSOCK::sendto(gate, "g", 1, 0, VSOCK::build_address(kLoopback, gate_port)));
    ASSERT_TRUE(WaitUntil([&] { return held.load(); }));
    ASSERT_EQ(1, VSOCK::sendto(gate, "a", 1, 0, VSOCK::build_address(kLoopback, first_port)));
    ASSERT_EQ(1, VSOCK::sendto(gate, "b", 1, 0, VSOCK::build_address(kLoopback, doomed_port)));
    // Both datagrams wait now, so the next wait reports both sockets at once.
    release = true;

    ASSERT_TRUE(first_rec.WaitForCount(sock::kEventReadable, 1));
    ASSERT_GT(fresh.load(), 0);
    EXPECT_EQ(doomed_number, sock_debug::raw_socket(fresh.load()));
    SyncPasses();
    EXPECT_EQ(1, trace.Count({"report of a closed socket dropped", std::to_string(doomed)}));
    EXPECT_EQ(0u, doomed_rec.Events().size());
    EXPECT_EQ(0u, fresh_rec.Events().size());
    EXPECT_EQ(1, first_rec.Count(sock::kEventReadable));
}

// The soft descriptor limit, changed for one test and put back after it.
class CDescriptorLimit {
public:
    CDescriptorLimit() { m_ok = getrlimit(RLIMIT_NOFILE, &m_saved) == 0; }
    ~CDescriptorLimit() {
        if (m_ok) setrlimit(RLIMIT_NOFILE, &m_saved);
    }
    bool Set(rlim_t soft) {
        if (!m_ok || (m_saved.rlim_max != RLIM_INFINITY && soft > m_saved.rlim_max)) return false;
        rlimit limit = m_saved;
        limit.rlim_cur = soft;
        return setrlimit(RLIMIT_NOFILE, &limit) == 0;
    }
    rlim_t Saved() const { return m_saved.rlim_cur; }

private:
    rlimit m_saved{};
    bool m_ok = false;
};

// Echoes whatever a connection brings; every callback runs on the socket thread.
struct CEchoCounts {
    std::atomic<int> accepted{0};
    std::atomic<int> echoed{0};
    std::atomic<int> closed{0};

    static int Callback(uintptr_t ctx, int msg, uintptr_t handle, uintptr_t p1, uintptr_t, uintptr_t) {
        auto *self = reinterpret_cast<CEchoCounts *>(ctx);
        const int h = static_cast<int>(handle);
        if (msg == sock::kEventAccepted) ++self->accepted;
        if (msg == sock::kEventClosed) ++self->closed;
        if (msg != sock::kEventReadable) return 0;
        char buf[64];
        int n = VSOCK::recv(h, buf, static_cast<int>(std::min<uintptr_t>(p1, sizeof(buf))), 0);
        if (n > 0 && VSOCK::send(h, buf, n, 0) == n) self->echoed += n;
        return 0;
    }
};

struct CEchoClients;

// One client: sends its message once connected and collects the echo.
struct CEchoClient {
    CEchoClients *owner = nullptr;
    int handle = 0;
    std::string message;
    std::string echo;  // socket thread only until done
};

struct CEchoClients {
    std::vector<CEchoClient> clients;
    std::atomic<int> connected{0};
    std::atomic<int> failed{0};
    std::atomic<uintptr_t> failure{0};  // the last failed connect's code
    std::atomic<int> done{0};

    static int Callback(uintptr_t ctx, int msg, uintptr_t handle, uintptr_t p1, uintptr_t, uintptr_t) {
        auto *c = reinterpret_cast<CEchoClient *>(ctx);
        const int h = static_cast<int>(handle);
        if (msg == sock::kEventConnected && p1 != sock::kConnectOk) {
            c->owner->failure = p1;
            ++c->owner->failed;
        }
        if (msg == sock::kEventConnected && p1 == sock::kConnectOk) {
            ++c->owner->connected;
            const int len = static_cast<int>(c->message.size());
            if (VSOCK::send(h, c->message.data(), len, 0) != len) ++c->owner->failed;
        }
        if (msg == sock::kEventReadable) {
            char buf[64];
            int n = VSOCK::recv(h, buf, sizeof(buf), 0);
            if (n > 0) c->echo.append(buf, static_cast<size_t>(n));
            if (n > 0 && c->echo.size() == c->message.size()) ++c->owner->done;
        }
        return 0;
    }
};

// More connections than a select set ever held (1,024), to one listener in one process.
constexpr int kManyConnections = 1100;

TEST_F(SockThread, ServesEveryConnectionBeyondASelectSetAndLeaksNoDescriptor) {
    CDescriptorLimit limit;
    constexpr rlim_t kNeeded = 2 * kManyConnections + 256;
    if (limit.Saved() < kNeeded && !limit.Set(kNeeded)) GTEST_SKIP() << "RLIMIT_NOFILE cannot reach " << kNeeded;
    const int descriptors_before = OpenDescriptorCount();
    const int sockets_before = sock_debug::socket_count();

    CEchoCounts &server = Keep<CEchoCounts>();
    int listener = VSOCK::socket(sock::kTypeTcp, &CEchoCounts::Callback, reinterpret_cast<uintptr_t>(&server));
    ASSERT_EQ(0, VSOCK::bind(listener, VSOCK::build_address(kLoopback, 0)));
    ASSERT_EQ(0, VSOCK::listen(listener));
    uint16_t port = 0;
    ASSERT_EQ(0, VSOCK::getsockopt(listener, sock::kOptLocalPort, &port, sizeof(port)));

    CEchoClients &all = Keep<CEchoClients>();
    all.clients.resize(kManyConnections);
    for (int i = 0; i < kManyConnections; ++i) {
        CEchoClient &c = all.clients[i];
        c.owner = &all;
        c.message = "msg:" + std::to_string(10000 + i);
        c.handle = VSOCK::socket(sock::kTypeTcp, &CEchoClients::Callback, reinterpret_cast<uintptr_t>(&c));
        ASSERT_GT(c.handle, 0) << "client " << i;
        ASSERT_EQ(0, VSOCK::connect(c.handle, VSOCK::build_address(kLoopback, port))) << "client " << i;
    }
    EXPECT_TRUE(WaitUntil([&] { return all.done.load() + all.failed.load() == kManyConnections; }, 60000))
        << all.connected.load() << " connected, " << all.done.load() << " echoed";
    EXPECT_EQ(0, all.failed.load()) << all.connected.load() << " connected, last failure " << all.failure.load();
    EXPECT_EQ(kManyConnections, server.accepted.load());
    EXPECT_GT(sock_debug::read_set_count(), 2 * kManyConnections);
    EXPECT_EQ(0, sock_debug::write_set_count());
    for (const CEchoClient &c : all.clients) ASSERT_EQ(c.message, c.echo);
    EXPECT_EQ(static_cast<int>(kManyConnections * all.clients[0].message.size()), server.echoed.load());

    for (const CEchoClient &c : all.clients) EXPECT_EQ(0, VSOCK::close(c.handle));
    EXPECT_TRUE(WaitUntil([&] { return server.closed.load() == kManyConnections; }, 60000))
        << server.closed.load() << " of the accepted connections closed";
    EXPECT_EQ(0, VSOCK::close(listener));
    EXPECT_TRUE(WaitUntil([&] { return sock_debug::socket_count() == sockets_before; }))
        << sock_debug::socket_count() << " sockets, " << sockets_before << " before";
    EXPECT_TRUE(WaitUntil([&] { return OpenDescriptorCount() == descriptors_before; }))
        << OpenDescriptorCount() << " descriptors, " << descriptors_before << " before";
}

// Opens /dev/null until the process has no descriptor left below its limit; returns them.
std::vector<int> TakeEveryDescriptor() {
    std::vector<int> taken;
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) taken.push_back(fd);
    EXPECT_TRUE(errno == EMFILE || errno == ENFILE);
    return taken;
}

int HighestDescriptor() {
    int highest = 0;
    DIR *dir = ::opendir("/proc/self/fd");
    while (const dirent *entry = dir != nullptr ? ::readdir(dir) : nullptr) {
        if (entry->d_name[0] != '.') highest = std::max(highest, atoi(entry->d_name));
    }
    if (dir != nullptr) ::closedir(dir);
    return highest;
}

// True once the peer has ended the connection (end of stream or reset).
bool RawEnded(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, qrntest::kWaitMs) != 1) return false;
    char b;
    return ::recv(fd, &b, 1, 0) <= 0;
}

TEST_F(SockThread, OutOfDescriptorsFailsAtOnceAndTheThreadServesTheOthers) {
    qrntest::TraceCapture trace;
    EventRecorder &server_rec = NewRecorder();
    EventRecorder &client_rec = NewRecorder();
    int client = 0, server = 0;
    ConnectedPair(client_rec, server_rec, &client, &server);
    const int descriptors_before = OpenDescriptorCount();
    const int late = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(late, 0);
    uint16_t port = 0;
    ASSERT_EQ(0, VSOCK::getsockopt(m_pair_listener, sock::kOptLocalPort, &port, sizeof(port)));

    {
        CDescriptorLimit limit;
        ASSERT_TRUE(limit.Set(static_cast<rlim_t>(HighestDescriptor()) + 1));
        std::vector<int> filler = TakeEveryDescriptor();

        // Neither kind of socket can be made: refused at once, with the reason, and no handle.
        const int sockets = sock_debug::socket_count();
        EXPECT_EQ(-1, VSOCK::socket(sock::kTypeTcp, &EventRecorder::Callback, client_rec.Context()));
        EXPECT_EQ(-1, VSOCK::socket(sock::kTypeUdp, &EventRecorder::Callback, client_rec.Context()));
        EXPECT_EQ(sockets, sock_debug::socket_count());
        EXPECT_EQ(2, trace.Count({" 0.0 E", "create socket failed", std::to_string(WSAEMFILE)}));

        // The kernel completes the handshake; the server cannot take the connection, so it is
        // closed at once rather than left hanging, and the listener is not served in a loop.
        const uint64_t passes_before = sock_debug::thread_passes();
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(kLoopback);
        ASSERT_EQ(0, ::connect(late, reinterpret_cast<sockaddr *>(&to), sizeof(to)));
        EXPECT_TRUE(RawEnded(late));
        EXPECT_TRUE(trace.WaitForLine({" 0.0 E", "accept failed, out of descriptors"}));
        SyncPasses();
        EXPECT_LT(sock_debug::thread_passes() - passes_before, 40u);

        // The connections the thread already serves go on.
        EXPECT_EQ(5, VSOCK::send(client, "alive", 5, 0));
        ASSERT_TRUE(server_rec.WaitForCount(sock::kEventReadable, 1));
        EXPECT_EQ(0, server_rec.Count(sock::kEventClosed));
        EXPECT_EQ(1, server_rec.Count(sock::kEventAccepted));
        for (int fd : filler) ::close(fd);
    }

    // With descriptors again, the next client is accepted as ever.
    int again = ConnectTcp(client_rec, port);
    ASSERT_TRUE(server_rec.WaitForCount(sock::kEventAccepted, 2));
    EXPECT_TRUE(client_rec.WaitForCount(sock::kEventConnected, 2));
    EXPECT_EQ(0, VSOCK::close(again));
    ::close(late);
    EXPECT_TRUE(WaitUntil([&] { return OpenDescriptorCount() == descriptors_before; }))
        << OpenDescriptorCount() << " descriptors, " << descriptors_before << " before";
}
}  // namespace
}  // namespace socktest
