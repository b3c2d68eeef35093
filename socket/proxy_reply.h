// CProxyReplyReader: gathers what a proxy answers during the handshake of a TCP connect (the
// HTTP CONNECT reply, the SOCKS5 method and connect replies), in whatever pieces the socket
// delivers them, and says what the connect does next. Everything it reads is hostile: each
// gathered reply is bounded, and anything that is not the protocol fails the handshake.
// No sockets and no lock: its owner (VBaseSocket, on the socket thread) sends and ends.
#ifndef QRN_SOCKET_PROXY_REPLY_H
#define QRN_SOCKET_PROXY_REPLY_H

#include <stdint.h>

#include <string>

enum class EProxyReply {
    kMore,         // the reply is not complete yet
    kSendConnect,  // SOCKS5: the method is accepted; send the connect request, then ConnectSent
    kTunnelUp,     // the proxy said yes: the path leads to the destination
    kFailed,       // a refusal, or not the protocol (traced)
};

class CProxyReplyReader {
public:
    // Starts over for a handshake with a proxy of type sock::kProxyHttp or kProxySocks5 whose
    // first request has gone out; another type makes every reply fail.
    void Begin(uint8_t proxy_type);
    // SOCKS5: the connect request has gone out.
    void ConnectSent();
    // The next bytes from the proxy. After kTunnelUp or kFailed the reader is idle, and bytes
    // fed then fail.
    EProxyReply Feed(const char *data, int length);

private:
    EProxyReply FeedHttp();
    EProxyReply FeedSocksMethod();
    EProxyReply FeedSocksConnect();
    EProxyReply End(EProxyReply result);

    uint8_t m_proxy_type = 0;
    uint8_t m_stage = 0;  // sock::kSocksStage*, or for HTTP whether a reply is awaited
    std::string m_gathered;
};

#endif
