// A TCP forwarding relay on 127.0.0.1 for the demo: every connection it accepts is joined to a
// new connection to the target port, and Cut breaks all of them at once, as a failing network
// path would, while new connections are still accepted.
//
// A test harness, not part of the library: plain POSIX sockets and one thread per direction.
#ifndef QRN_TOOLS_QRN_TCP_RELAY_H
#define QRN_TOOLS_QRN_TCP_RELAY_H

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace qrntool {

inline sockaddr_in LoopbackAddress(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

inline uint16_t LocalPort(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof(a);
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) return 0;
    return ntohs(a.sin_port);
}

// A loopback port that nothing uses at the moment of asking, for TCP or (SOCK_DGRAM) UDP.
inline uint16_t FreeLoopbackPort(int type = SOCK_STREAM) {
    int fd = socket(AF_INET, type, 0);
    if (fd < 0) return 0;
    sockaddr_in a = LoopbackAddress(0);
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0) port = LocalPort(fd);
    close(fd);
    return port;
}

class CTcpRelay {
public:
    // Small socket buffers keep the bytes that a cut loses within what a sender keeps for
    // resumption, as on a real path with a modest window.
    static constexpr int kSocketBuffer = 16 * 1024;
    static constexpr size_t kCopyBuffer = 16 * 1024;

    ~CTcpRelay() { Stop(); }

    // Listens on 127.0.0.1 at a port of the system's choice; false on failure.
    bool Start(uint16_t target_port) {
        m_target_port = target_port;
        m_listen_fd = socket(AF_INET, SOCK_STREAM, 0);
        if (m_listen_fd < 0) return false;
        int one = 1;
        setsockopt(m_listen_fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        SetBuffers(m_listen_fd);  // inherited by the accepted sockets
        sockaddr_in a = LoopbackAddress(0);
        if (bind(m_listen_fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 ||
            listen(m_listen_fd, 16) != 0)
            return false;
        m_port = LocalPort(m_listen_fd);
        m_accept_thread = std::thread(&CTcpRelay::AcceptLoop, this);
        return true;
    }

    uint16_t Port() const { return m_port; }
    // Connections accepted so far: the first path and every path that replaced a cut one.
    int Accepted() const { return m_accepted.load(); }

    // Breaks every open connection in both directions; the peers see a reset.
    void Cut() {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto &pair : m_pairs) {
            for (int fd : {pair->client, pair->server}) {
                linger abort{1, 0};
                setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof(abort));
                shutdown(fd, SHUT_RDWR);
            }
        }
    }

    void Stop() {
        if (m_listen_fd < 0) return;
        shutdown(m_listen_fd, SHUT_RDWR);  // wakes the accept loop
        if (m_accept_thread.joinable()) m_accept_thread.join();
        Cut();
        std::vector<std::thread> pumps;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            pumps.swap(m_pumps);
        }
        for (auto &t : pumps) t.join();
        close(m_listen_fd);
        m_listen_fd = -1;
    }

private:
    struct SPair {
        int client;
        int server;
        std::atomic<int> running{2};
    };

    static void SetBuffers(int fd) {
        int size = kSocketBuffer;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof(size));
    }

    void AcceptLoop() {
        for (;;) {
            int client = accept(m_listen_fd, nullptr, nullptr);
            if (client < 0) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                return;
            }
            int server = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in target = LoopbackAddress(m_target_port);
            if (server >= 0) SetBuffers(server);
            if (server < 0 ||
                connect(server, reinterpret_cast<sockaddr *>(&target), sizeof(target)) != 0) {
                if (server >= 0) close(server);
                close(client);
                continue;
            }
            ++m_accepted;
            auto pair = std::make_shared<SPair>();
            pair->client = client;
            pair->server = server;
            std::lock_guard<std::mutex> lock(m_mutex);
            m_pairs.push_back(pair);
            m_pumps.emplace_back(&CTcpRelay::Pump, this, pair, client, server);
            m_pumps.emplace_back(&CTcpRelay::Pump, this, pair, server, client);
        }
    }

    void Pump(std::shared_ptr<SPair> pair, int from, int to) {
        std::vector<char> buf(kCopyBuffer);
        for (;;) {
            ssize_t n = recv(from, buf.data(), buf.size(), 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0 || !SendAll(to, buf.data(), static_cast<size_t>(n))) break;
        }
        shutdown(to, SHUT_WR);  // an orderly end goes on to the other side
        if (--pair->running > 0) return;
        // The last pump of the pair closes it, under the lock so that Cut never touches a
        // descriptor number that has been reused.
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_pairs.begin(); it != m_pairs.end(); ++it) {
            if (*it == pair) {
                m_pairs.erase(it);
                break;
            }
        }
        close(pair->client);
        close(pair->server);
    }

    static bool SendAll(int fd, const char *data, size_t len) {
        while (len > 0) {
            ssize_t n = send(fd, data, len, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return false;
            data += n;
            len -= static_cast<size_t>(n);
        }
        return true;
    }

    uint16_t m_target_port = 0;
    uint16_t m_port = 0;
    int m_listen_fd = -1;
    std::atomic<int> m_accepted{0};
    std::thread m_accept_thread;
    std::mutex m_mutex;
    std::vector<std::shared_ptr<SPair>> m_pairs;
    std::vector<std::thread> m_pumps;
};

}  // namespace qrntool

#endif
