// A TCP forwarding relay for tests: it listens on a loopback port, connects each accepted
// connection to a target and copies bytes both ways, in order, until either side closes. A
// test can cut the connections it carries at that moment:
//  - CutClientSide: the client side is closed; the server side stays open and hears nothing,
//    so the server does not notice (what it sends is read and dropped until it closes);
//  - CutBothSides: both sides are closed.
// It can also hold what the clients send, as a proxy with large buffers does when its server
// side stalls: held bytes are read and kept, reach the server when the hold ends, and are
// lost when the connection is cut first.
// Each carried connection has one thread per direction; the destructor closes everything and
// joins every thread. Plain POSIX sockets only, so that the tools' demo uses it too.
#ifndef QRN_TESTS_TCP_RELAY_H
#define QRN_TESTS_TCP_RELAY_H

#include <stdint.h>

#include <atomic>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

namespace qrntest {

class CTcpRelay {
public:
    // Relays 127.0.0.1:<port of the system's choice> to target_ip:target_port (host order).
    explicit CTcpRelay(uint16_t target_port, uint32_t target_ip = 0x7f000001);
    ~CTcpRelay();
    CTcpRelay(const CTcpRelay &) = delete;
    CTcpRelay &operator=(const CTcpRelay &) = delete;

    // The port to connect to; 0 when the relay could not listen.
    uint16_t Port() const { return m_port; }
    // Connections accepted so far, and those still carried (at least one side open).
    int Accepted() const { return m_accepted.load(); }
    int Active() const;
    bool WaitForAccepted(int count, int timeout_ms = 10000) const;

    // Cut the connections carried now; return how many were cut.
    int CutClientSide();
    int CutBothSides();
    // Holds (true) or releases (false) the client-to-server bytes of the connections carried
    // now and of those to come. Release returns once the held bytes are on their way.
    void HoldUpstream(bool hold);
    // Bytes held now, over all connections.
    size_t Held() const;

private:
    struct Link;
    void AcceptLoop();
    void Forward(const std::shared_ptr<Link> &link, bool upstream);
    void ReapFinished();
    int Cut(bool both);

    uint32_t m_target_ip;
    uint16_t m_target_port;
    uint16_t m_port = 0;
    int m_listen_fd = -1;
    int m_wake[2] = {-1, -1};  // a pipe that ends the accept loop
    std::atomic<int> m_accepted{0};
    std::atomic<bool> m_hold{false};
    mutable std::mutex m_mutex;  // guards m_links
    std::list<std::shared_ptr<Link>> m_links;
    std::thread m_acceptor;
};

}  // namespace qrntest

#endif
