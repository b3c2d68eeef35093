#include "tunnel_target.h"

#include <poll.h>
#include <stdlib.h>

#include "platform/winsock.h"

namespace qrntunnel {

bool SplitHostPort(const std::string &text, std::string *host, uint16_t *port,
                   long lowest_port) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 >= text.size()) return false;
    std::string digits = text.substr(colon + 1);
    if (digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    long p = strtol(digits.c_str(), nullptr, 10);
    if (p < lowest_port || p > 65535) return false;
    *host = text.substr(0, colon);
    *port = static_cast<uint16_t>(p);
    return true;
}

bool ResolveHost(const std::string &host, uint32_t *ip_host_order) {
    uint32_t net = ws::inet_addr(host.c_str());
    if (net == INADDR_NONE && !ws::gethostbyname_ipv4(host.c_str(), &net)) return false;
    *ip_host_order = ws::ntoh32(net);
    return true;
}

CTargetStream::~CTargetStream() {
    int s = m_socket.exchange(-1);
    if (s >= 0) ws::closesocket(s);
}

bool CTargetStream::Connect(uint32_t ip_host_order, uint16_t port, int timeout_ms) {
    SOCKET s = ws::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return false;
    m_socket = s;
    if (m_shut) return false;
    uint32_t on = 1;
    ws::ioctlsocket(s, FIONBIO, &on);
    ws::sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = ws::hton16(port);
    addr.sin_addr.s_addr = ws::hton32(ip_host_order);
    if (ws::connect(s, &addr, sizeof(addr)) != 0) {
        if (ws::WSAGetLastError() != WSAEWOULDBLOCK) return false;
        pollfd p{s, POLLOUT, 0};
        if (::poll(&p, 1, timeout_ms) != 1) return false;
        // A refused connect also turns writable; only a connected socket has a peer.
        ws::sockaddr_in peer{};
        int peer_len = sizeof(peer);
        if (ws::getpeername(s, &peer, &peer_len) != 0) return false;
    }
    uint32_t off = 0;
    ws::ioctlsocket(s, FIONBIO, &off);
    int nodelay = 1;
    ws::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &nodelay, sizeof(nodelay));
    return !m_shut;
}

int CTargetStream::Recv(void *buf, int len) {
    int s = m_socket;
    if (s < 0 || m_shut) return 0;
    int n = ws::recv(s, buf, len, 0);
    if (m_shut) return 0;
    return n < 0 ? -1 : n;
}

bool CTargetStream::SendAll(const void *buf, int len) {
    auto *p = static_cast<const char *>(buf);
    while (len > 0) {
        int s = m_socket;
        if (s < 0 || m_shut) return false;
        int n = ws::send(s, p, len, 0);
        if (n <= 0) return false;
        p += n;
        len -= n;
    }
    return true;
}

void CTargetStream::Shutdown() {
    m_shut = true;
    int s = m_socket;
    if (s >= 0) ws::shutdown(s, SD_BOTH);
}

}  // namespace qrntunnel
