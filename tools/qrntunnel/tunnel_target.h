// The tunnel server's TCP connection to the multi-mode server's TCP port: blocking calls on the
// platform's socket layer, worked by the session's own threads. Shutdown wakes a call blocked
// in another thread.
#ifndef QRN_TOOLS_QRNTUNNEL_TUNNEL_TARGET_H
#define QRN_TOOLS_QRNTUNNEL_TUNNEL_TARGET_H

#include <stdint.h>

#include <atomic>
#include <string>

namespace qrntunnel {

// "host:port": the host as written (not resolved) and a port from lowest_port to 65535.
bool SplitHostPort(const std::string &text, std::string *host, uint16_t *port,
                   long lowest_port = 1);
// A dotted IPv4 address, or a name resolved to its IPv4 address.
bool ResolveHost(const std::string &host, uint32_t *ip_host_order);

class CTargetStream {
public:
    CTargetStream() = default;
    ~CTargetStream();
    CTargetStream(const CTargetStream &) = delete;
    CTargetStream &operator=(const CTargetStream &) = delete;

    // Connects within timeout_ms; false when it fails or Shutdown came first.
    bool Connect(uint32_t ip_host_order, uint16_t port, int timeout_ms);
    // Bytes read (blocking), 0 at the peer's end or after Shutdown, -1 on error.
    int Recv(void *buf, int len);
    // Sends all of len; false on error or after Shutdown.
    bool SendAll(const void *buf, int len);
    void Shutdown();

private:
    std::atomic<int> m_socket{-1};
    std::atomic<bool> m_shut{false};
};

}  // namespace qrntunnel

#endif
