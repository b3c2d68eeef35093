#include "udp_relay.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <map>
#include <queue>
#include <random>
#include <utility>
#include <vector>

namespace qrntest {

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kMaxDatagram = 65536;
// Asked of the kernel for every relay socket (it caps the figure), so that a relay thread
// slowed down by a sanitizer loses as little as possible beyond the drops it was told to make.
constexpr int kSocketBuffer = 4 * 1024 * 1024;
// A datagram chosen for reordering waits this much longer than its delay, long enough for
// the datagrams of a busy stream that follow it to pass.
constexpr int kReorderHoldMs = 10;
// Datagrams read from one socket before the others get their turn.
constexpr int kReadBurst = 64;
constexpr size_t kMaxClients = 1024;
constexpr double kRandomRange = 4294967296.0;  // 2^32: a 32-bit draw as a fraction of one

struct CHeld {
    Clock::time_point due;
    uint64_t order;  // arrival order: datagrams due at the same moment keep it
    int fd;
    sockaddr_in to;
    std::vector<uint8_t> data;
};

struct CDueLater {
    bool operator()(const CHeld &a, const CHeld &b) const {
        return a.due != b.due ? a.due > b.due : a.order > b.order;
    }
};

bool ParseIp(const char *text, in_addr *out) { return ::inet_pton(AF_INET, text, out) == 1; }

int OpenUdp(const sockaddr_in &bind_to) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kSocketBuffer, sizeof(kSocketBuffer));
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kSocketBuffer, sizeof(kSocketBuffer));
    if (::bind(fd, reinterpret_cast<const sockaddr *>(&bind_to), sizeof(bind_to)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

// Sockets, held datagrams and the random generator: touched by the relay thread only.
class CUdpRelay::CEngine {
public:
    CEngine(const sockaddr_in &target, uint32_t seed) : m_target(target), m_random(seed), m_seed(seed) {}
    ~CEngine();

    bool Open(const sockaddr_in &listen_at);
    uint16_t ListenPort() const;
    // Serves the sockets until the wake descriptor turns readable.
    void Loop(int wake_fd, CUdpRelay &owner);

private:
    struct CClient {
        sockaddr_in address;
        int fd;
    };

    void ReadFrom(int fd, const sockaddr_in *upstream_of, CUdpRelay &owner);
    int UpstreamFor(const sockaddr_in &client);
    void Pass(int fd, const sockaddr_in &to, const uint8_t *data, size_t len, CUdpRelay &owner);
    void Send(int fd, const sockaddr_in &to, const uint8_t *data, size_t len, CUdpRelay &owner);
    void SendDue(CUdpRelay &owner);
    int PollTimeoutMs() const;
    void TakeConfig(CUdpRelay &owner);
    uint32_t Draw() { return static_cast<uint32_t>(m_random()); }

    sockaddr_in m_target;
    int m_listen_fd = -1;
    std::vector<CClient> m_clients;
    std::map<std::pair<uint32_t, uint16_t>, int> m_client_index;
    std::priority_queue<CHeld, std::vector<CHeld>, CDueLater> m_held;
    uint64_t m_arrivals = 0;
    std::mt19937 m_random;
    uint32_t m_seed;
    UdpRelayConfig m_config;
    std::vector<uint8_t> m_buffer = std::vector<uint8_t>(kMaxDatagram);
};

CUdpRelay::CEngine::~CEngine() {
    if (m_listen_fd >= 0) ::close(m_listen_fd);
    for (const CClient &c : m_clients) ::close(c.fd);
}

bool CUdpRelay::CEngine::Open(const sockaddr_in &listen_at) {
    m_listen_fd = OpenUdp(listen_at);
    return m_listen_fd >= 0;
}

uint16_t CUdpRelay::CEngine::ListenPort() const {
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    ::getsockname(m_listen_fd, reinterpret_cast<sockaddr *>(&a), &len);
    return ntohs(a.sin_port);
}

void CUdpRelay::CEngine::Loop(int wake_fd, CUdpRelay &owner) {
    std::vector<pollfd> fds;
    for (;;) {
        fds.clear();
        fds.push_back({wake_fd, POLLIN, 0});
        fds.push_back({m_listen_fd, POLLIN, 0});
        for (const CClient &c : m_clients) fds.push_back({c.fd, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), PollTimeoutMs()) < 0 && errno != EINTR) return;
        if (fds[0].revents != 0) return;
        TakeConfig(owner);
        if (fds[1].revents != 0) ReadFrom(m_listen_fd, nullptr, owner);
        // Only the clients that were polled: ReadFrom may add new ones.
        for (size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].revents != 0) {
                const CClient client = m_clients[i - 2];
                ReadFrom(client.fd, &client.address, owner);
            }
        }
        SendDue(owner);
    }
}

void CUdpRelay::CEngine::TakeConfig(CUdpRelay &owner) {
    std::lock_guard<std::mutex> guard(owner.m_config_mutex);
    if (!owner.m_config_changed) return;
    owner.m_config_changed = false;
    m_config = owner.m_config;
    if (m_config.seed != m_seed) {
        m_seed = m_config.seed;
        m_random.seed(m_seed);
    }
}

// upstream_of: the client whose upstream socket fd is, or null for the listening socket.
void CUdpRelay::CEngine::ReadFrom(int fd, const sockaddr_in *upstream_of, CUdpRelay &owner) {
    for (int i = 0; i < kReadBurst; ++i) {
        sockaddr_in from{};
        socklen_t from_len = sizeof(from);
        const ssize_t n = ::recvfrom(fd, m_buffer.data(), m_buffer.size(), 0,
                                     reinterpret_cast<sockaddr *>(&from), &from_len);
        if (n < 0) return;  // drained (or an ICMP error of an earlier send: nothing to carry)
        if (upstream_of != nullptr) {
            Pass(m_listen_fd, *upstream_of, m_buffer.data(), static_cast<size_t>(n), owner);
            continue;
        }
        const int upstream = UpstreamFor(from);
        if (upstream < 0) {
            owner.m_dropped.fetch_add(1);
            continue;
        }
        Pass(upstream, m_target, m_buffer.data(), static_cast<size_t>(n), owner);
    }
}

int CUdpRelay::CEngine::UpstreamFor(const sockaddr_in &client) {
    const auto key = std::make_pair(client.sin_addr.s_addr, client.sin_port);
    auto it = m_client_index.find(key);
    if (it != m_client_index.end()) return m_clients[static_cast<size_t>(it->second)].fd;
    if (m_clients.size() >= kMaxClients) return -1;
    sockaddr_in any{};
    any.sin_family = AF_INET;
    const int fd = OpenUdp(any);
    if (fd < 0) return -1;
    m_client_index[key] = static_cast<int>(m_clients.size());
    m_clients.push_back({client, fd});
    return fd;
}

// Decides a datagram's fate. Every datagram takes the same three draws whatever the
// configuration, so that a seed fixes the fate of the n-th datagram.
void CUdpRelay::CEngine::Pass(int fd, const sockaddr_in &to, const uint8_t *data, size_t len, CUdpRelay &owner) {
    const double drop_draw = Draw() / kRandomRange;
    const uint32_t jitter_draw = Draw();
    const double reorder_draw = Draw() / kRandomRange;
    if (drop_draw < m_config.drop) {
        owner.m_dropped.fetch_add(1);
        return;
    }
    int hold_ms = m_config.delay_ms;
    if (m_config.jitter_ms > 0) hold_ms += static_cast<int>(jitter_draw % (static_cast<uint32_t>(m_config.jitter_ms) + 1));
    if (reorder_draw < m_config.reorder) hold_ms += kReorderHoldMs;
    if (hold_ms <= 0) {
        Send(fd, to, data, len, owner);
        return;
    }
    m_held.push(CHeld{Clock::now() + std::chrono::milliseconds(hold_ms), m_arrivals++, fd, to,
                      std::vector<uint8_t>(data, data + len)});
}

void CUdpRelay::CEngine::Send(int fd, const sockaddr_in &to, const uint8_t *data, size_t len, CUdpRelay &owner) {
    const ssize_t n = ::sendto(fd, data, len, MSG_DONTWAIT, reinterpret_cast<const sockaddr *>(&to), sizeof(to));
    if (n == static_cast<ssize_t>(len)) {
        owner.m_forwarded.fetch_add(1);
    } else {
        owner.m_dropped.fetch_add(1);
    }
}

void CUdpRelay::CEngine::SendDue(CUdpRelay &owner) {
    const Clock::time_point now = Clock::now();
    while (!m_held.empty() && m_held.top().due <= now) {
        const CHeld &h = m_held.top();
        Send(h.fd, h.to, h.data.data(), h.data.size(), owner);
        m_held.pop();
    }
}

int CUdpRelay::CEngine::PollTimeoutMs() const {
    if (m_held.empty()) return -1;
    const auto wait = m_held.top().due - Clock::now();
    if (wait <= Clock::duration::zero()) return 0;
    // Rounded up, so that the thread does not wake just before the datagram is due.
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count());
}

CUdpRelay::CUdpRelay(uint16_t target_port, const UdpRelayConfig &config, const char *listen_ip,
                     const char *target_ip)
    : m_config(config), m_config_changed(true) {
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(target_port);
    sockaddr_in listen_at{};
    listen_at.sin_family = AF_INET;
    if (!ParseIp(target_ip, &target.sin_addr) || !ParseIp(listen_ip, &listen_at.sin_addr)) return;
    m_engine.reset(new CEngine(target, config.seed));
    if (!m_engine->Open(listen_at) || ::pipe2(m_wake, O_CLOEXEC) != 0) return;
    m_port = m_engine->ListenPort();
    m_thread = std::thread([this] { m_engine->Loop(m_wake[0], *this); });
}

CUdpRelay::~CUdpRelay() {
    if (m_thread.joinable()) {
        const char stop = 1;
        (void)::write(m_wake[1], &stop, 1);
        m_thread.join();
    }
    m_engine.reset();
    for (int fd : m_wake) {
        if (fd >= 0) ::close(fd);
    }
}

void CUdpRelay::SetConfig(const UdpRelayConfig &config) {
    std::lock_guard<std::mutex> guard(m_config_mutex);
    m_config = config;
    m_config_changed = true;
}

}  // namespace qrntest
