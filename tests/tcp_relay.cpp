#include "tcp_relay.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <vector>

#include "raw_address.h"

namespace qrntest {

namespace {

constexpr int kBacklog = 128;
constexpr size_t kChunk = 65536;
constexpr int kSendPollMs = 20;  // how often a blocked send looks whether it was cut off

// Sends all of data unless abandon() becomes true first (the side was cut meanwhile).
template <class Abandon>
bool SendAll(int fd, const char *data, size_t len, Abandon abandon) {
    while (len > 0) {
        if (abandon()) return false;
        pollfd p{fd, POLLOUT, 0};
        int ready = ::poll(&p, 1, kSendPollMs);
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) continue;
        ssize_t n = ::send(fd, data, len, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            return false;
        }
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

struct CTcpRelay::Link {
    std::mutex mutex;  // guards the descriptors and the cut flag
    int client_fd = -1;
    int server_fd = -1;
    bool client_cut = false;
    bool held = false;          // upstream bytes go to held_bytes instead of the server
    std::vector<char> held_bytes;
    std::atomic<int> running{2};
    std::thread up;
    std::thread down;

    bool ClientCut() {
        std::lock_guard<std::mutex> guard(mutex);
        return client_cut;
    }
    // Keeps the bytes while held; false when they are to go on.
    bool Hold(const char *data, size_t n) {
        std::lock_guard<std::mutex> guard(mutex);
        if (!held) return false;
        held_bytes.insert(held_bytes.end(), data, data + n);
        return true;
    }
};

// Like any middlebox the relay holds bytes in flight, and a cut destroys them. Autotuned
// loopback buffers would hold megabytes, more than the stream above keeps for resending; a
// relay with modest buffers is what a resumption can be expected to survive.
static void LimitBuffers(int fd) {
    constexpr int kRelayBuffer = 16384;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &kRelayBuffer, sizeof(kRelayBuffer));
    ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kRelayBuffer, sizeof(kRelayBuffer));
}

CTcpRelay::CTcpRelay(uint16_t target_port, uint32_t target_ip) : m_target_ip(target_ip), m_target_port(target_port) {
    if (::pipe2(m_wake, O_CLOEXEC) != 0) return;
    m_listen_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(m_listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    LimitBuffers(m_listen_fd);  // accepted sockets inherit it
    sockaddr_in a = RawAddress(0);
    if (::bind(m_listen_fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 || ::listen(m_listen_fd, kBacklog) != 0) {
        return;
    }
    socklen_t len = sizeof(a);
    ::getsockname(m_listen_fd, reinterpret_cast<sockaddr *>(&a), &len);
    m_port = ntohs(a.sin_port);
    m_acceptor = std::thread([this] { AcceptLoop(); });
}

CTcpRelay::~CTcpRelay() {
    if (m_wake[1] >= 0) {
        const char stop = 1;
        (void)::write(m_wake[1], &stop, 1);
    }
    if (m_acceptor.joinable()) m_acceptor.join();
    std::list<std::shared_ptr<Link>> links;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        links.swap(m_links);
    }
    for (const auto &link : links) {
        {
            std::lock_guard<std::mutex> guard(link->mutex);
            if (link->client_fd >= 0) ::shutdown(link->client_fd, SHUT_RDWR);
            if (link->server_fd >= 0) ::shutdown(link->server_fd, SHUT_RDWR);
        }
        link->up.join();
        link->down.join();
    }
    if (m_listen_fd >= 0) ::close(m_listen_fd);
    for (int fd : m_wake) {
        if (fd >= 0) ::close(fd);
    }
}

int CTcpRelay::Active() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    int active = 0;
    for (const auto &link : m_links) {
        if (link->running.load() > 0) ++active;
    }
    return active;
}

bool CTcpRelay::WaitForAccepted(int count, int timeout_ms) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (m_accepted.load() < count) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

int CTcpRelay::CutClientSide() { return Cut(false); }

int CTcpRelay::CutBothSides() { return Cut(true); }

int CTcpRelay::Cut(bool both) {
    std::lock_guard<std::mutex> guard(m_mutex);
    int cut = 0;
    for (const auto &link : m_links) {
        std::lock_guard<std::mutex> link_guard(link->mutex);
        if (link->client_fd < 0) continue;
        if (both) {
            // Also ends the server side that an earlier client-side cut left open.
            ::shutdown(link->client_fd, SHUT_RDWR);
            ::shutdown(link->server_fd, SHUT_RDWR);
            ++cut;
        } else if (!link->client_cut) {
            link->client_cut = true;
            ::shutdown(link->client_fd, SHUT_RDWR);
            ++cut;
        }
    }
    return cut;
}

void CTcpRelay::HoldUpstream(bool hold) {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_hold = hold;
    for (const auto &link : m_links) {
        std::lock_guard<std::mutex> link_guard(link->mutex);
        link->held = hold;
        // Sent under the link's lock, so that nothing read later overtakes it.
        if (!hold && link->server_fd >= 0 && !link->client_cut) {
            SendAll(link->server_fd, link->held_bytes.data(), link->held_bytes.size(), [] { return false; });
        }
        if (!hold) link->held_bytes.clear();
    }
}

size_t CTcpRelay::Held() const {
    std::lock_guard<std::mutex> guard(m_mutex);
    size_t held = 0;
    for (const auto &link : m_links) {
        std::lock_guard<std::mutex> link_guard(link->mutex);
        held += link->held_bytes.size();
    }
    return held;
}

void CTcpRelay::AcceptLoop() {
    for (;;) {
        pollfd p[2] = {{m_listen_fd, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
        if (::poll(p, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (p[1].revents != 0) return;
        if ((p[0].revents & POLLIN) == 0) continue;
        const int client = ::accept4(m_listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) continue;
        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        LimitBuffers(server);
        sockaddr_in target = RawAddress(m_target_ip, m_target_port);
        if (server < 0 || ::connect(server, reinterpret_cast<sockaddr *>(&target), sizeof(target)) != 0) {
            if (server >= 0) ::close(server);
            ::close(client);
            continue;
        }
        auto link = std::make_shared<Link>();
        link->client_fd = client;
        link->server_fd = server;
        link->held = m_hold.load();
        // Listed before a byte can pass, so that a cut made after any exchange reaches it.
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_links.push_back(link);
        }
        m_accepted.fetch_add(1);
        link->up = std::thread([this, link] { Forward(link, true); });
        link->down = std::thread([this, link] { Forward(link, false); });
        ReapFinished();
    }
}

// upstream: client to server. After a client-side cut nothing more reaches the server, and
// what the server sends is read and dropped, so that it neither notices nor blocks.
void CTcpRelay::Forward(const std::shared_ptr<Link> &link, bool upstream) {
    int from;
    int to;
    {
        std::lock_guard<std::mutex> guard(link->mutex);
        from = upstream ? link->client_fd : link->server_fd;
        to = upstream ? link->server_fd : link->client_fd;
    }
    auto cut = [&link] { return link->ClientCut(); };
    char buffer[kChunk];
    for (;;) {
        ssize_t n = ::recv(from, buffer, sizeof(buffer), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        if (cut()) {
            if (upstream) break;
            continue;
        }
        if (upstream && link->Hold(buffer, static_cast<size_t>(n))) continue;
        if (!SendAll(to, buffer, static_cast<size_t>(n), cut)) {
            if (!upstream && cut()) continue;
            break;
        }
    }
    {
        // The end of one direction travels on as the end of the other's input, unless the
        // client side was cut: then the server must hear nothing.
        std::lock_guard<std::mutex> guard(link->mutex);
        if (!link->client_cut && to >= 0) ::shutdown(to, SHUT_WR);
    }
    if (link->running.fetch_sub(1) == 1) {
        std::lock_guard<std::mutex> guard(link->mutex);
        ::close(link->client_fd);
        ::close(link->server_fd);
        link->client_fd = -1;
        link->server_fd = -1;
    }
}

void CTcpRelay::ReapFinished() {
    std::list<std::shared_ptr<Link>> done;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        for (auto it = m_links.begin(); it != m_links.end();) {
            if ((*it)->running.load() == 0) {
                done.push_back(*it);
                it = m_links.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const auto &link : done) {
        link->up.join();
        link->down.join();
    }
}

}  // namespace qrntest
