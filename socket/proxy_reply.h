// CProxyReplyReader: gathers what a proxy answers during the handshake of a TCP connect (the
// HTTP CONNECT reply, the SOCKS5 method, username/password and connect replies), in whatever
// pieces the socket delivers them, and says what the connect does next. Everything it reads is
// hostile: each gathered reply is bounded, and anything that is not the protocol fails the
// handshake with a short text naming the cause. No sockets and no lock: its owner
// (VBaseSocket, on the socket thread) sends and ends.
#ifndef QRN_SOCKET_PROXY_REPLY_H
#define QRN_SOCKET_PROXY_REPLY_H

#include <stdint.h>

#include <string>

enum class EProxyReply {
    kMore,         // the reply is not complete yet
    kSendAuth,     // SOCKS5: username/password is chosen; send it, then AuthSent
    kSendConnect,  // SOCKS5: the method is accepted; send the connect request, then ConnectSent
    kTunnelUp,     // the proxy said yes: the path leads to the destination
    kFailed,       // a refusal, or not the protocol (traced; Failure says why)
};

class CProxyReplyReader {
public:
    // Starts over for a handshake with a proxy of type sock::kProxyHttp or kProxySocks5 whose
    // first request has gone out; another type makes every reply fail. proxy ("host:port")
    // and destination name the two ends in failure texts; with_password: the method request
    // offered username/password.
    void Begin(uint8_t proxy_type, const std::string &proxy, const std::string &destination, bool with_password);
    // SOCKS5: the username/password request has gone out.
    void AuthSent();
    // SOCKS5: the connect request has gone out.
    void ConnectSent();
    // The next bytes from the proxy. After kTunnelUp or kFailed the reader is idle, and bytes
    // fed then fail.
    EProxyReply Feed(const char *data, int length);
    // The proxy closed the connection before the handshake ended: the failure text for it.
    std::string Closed() const;
    // Why the handshake failed ("proxy 127.0.0.1:3128 answered 407 ..."), after kFailed.
    const std::string &Failure() const { return m_failure; }

private:
    EProxyReply FeedHttp();
    EProxyReply FeedSocksMethod();
    EProxyReply FeedSocksAuth();
    EProxyReply FeedSocksConnect();
    EProxyReply End(EProxyReply result);
    EProxyReply Fail(const std::string &what, bool socks_prefix);
    std::string NotTheProtocol() const;

    uint8_t m_proxy_type = 0;
    uint8_t m_stage = 0;  // sock::kSocksStage*, or for HTTP whether a reply is awaited
    bool m_with_password = false;
    std::string m_proxy;
    std::string m_destination;
    std::string m_gathered;
    std::string m_failure;
};

#endif
