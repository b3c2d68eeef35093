// The proxy handshakes of a TCP connect: the HTTP CONNECT request (with basic credentials when
// the setting names a user) and its reply, the SOCKS5 method, username/password and connect
// exchanges. Constants and pure encode/decode functions; VBaseSocket (basesock_proxy.cpp)
// drives the exchanges.
#ifndef QRN_SOCKET_SOCK_PROXY_H
#define QRN_SOCKET_SOCK_PROXY_H

#include <stdint.h>

#include <string>

namespace sock {

// HTTP CONNECT.
constexpr const char *kHttpConnectLine = "CONNECT %s:%d HTTP/1.1\r\n";
constexpr const char *kHttpProxyAuthHeader = "Proxy-Authorization: Basic ";
constexpr const char *kHttpKeepAliveHeader = "Proxy-Connection: Keep-Alive\r\n";
constexpr const char *kHttpLineEnd = "\r\n";
constexpr const char *kHttpHeaderEnd = "\r\n\r\n";
constexpr const char *kHttpVersionPrefix = "HTTP/";
constexpr int kHttpStatusOk = 200;
constexpr int kHttpStatusProxyAuth = 407;
// A reply header longer than this is not a proxy's answer to CONNECT.
constexpr int kMaxHttpReply = 16384;
// The longest reason phrase a failure's text quotes.
constexpr int kMaxHttpReasonText = 64;

// SOCKS5.
constexpr uint8_t kSocksVersion = 0x05;
constexpr uint8_t kSocksMethodNone = 0x00;
constexpr uint8_t kSocksMethodGssapi = 0x01;
constexpr uint8_t kSocksMethodUserPass = 0x02;
constexpr uint8_t kSocksCmdConnect = 0x01;
constexpr uint8_t kSocksReserved = 0x00;
constexpr uint8_t kSocksAddrIpv4 = 0x01;
constexpr uint8_t kSocksAddrDomain = 0x03;
constexpr uint8_t kSocksAddrIpv6 = 0x04;
constexpr uint8_t kSocksReplySuccess = 0x00;
constexpr uint8_t kSocksMethodRequest[] = {kSocksVersion, 3, kSocksMethodNone, kSocksMethodGssapi,
                                           kSocksMethodUserPass};
constexpr int kSocksMethodRequestSize = 5;
// With credentials the method request offers exactly none and username/password.
constexpr uint8_t kSocksMethodRequestWithPassword[] = {kSocksVersion, 2, kSocksMethodNone, kSocksMethodUserPass};
constexpr int kSocksMethodRequestWithPasswordSize = 4;
constexpr uint8_t kSocksMethodNoneAcceptable = 0xff;
// Username/password sub-negotiation: version, length and user name, length and password;
// the reply is version and status.
constexpr uint8_t kSocksAuthVersion = 0x01;
constexpr uint8_t kSocksAuthSuccess = 0x00;
constexpr int kSocksAuthReplySize = 2;
constexpr int kSocksMaxCredential = 255;
constexpr int kSocksAuthFixedSize = 3;
constexpr int kSocksAuthCapacity = kSocksAuthFixedSize + 2 * kSocksMaxCredential;
constexpr int kSocksMethodReplySize = 2;
constexpr int kSocksMinReplySize = 10;
// Version, reply, reserved, address type, length byte, 255 name bytes, port.
constexpr int kSocksMaxReplySize = 4 + 1 + 255 + 2;
constexpr int kSocksRequestCapacity = 1024;
constexpr int kSocksMaxDomainLength = 255;
constexpr int kIpv4Length = 4;
constexpr int kIpv6Length = 16;

// CProxyReplyReader::m_stage
constexpr uint8_t kSocksStageNone = 0;
constexpr uint8_t kSocksStageMethod = 1;
constexpr uint8_t kSocksStageConnect = 2;
constexpr uint8_t kSocksStageAuth = 3;

// What the trace shows of one proxy read: SOCKS5 bytes in hex, HTTP reply characters.
constexpr int kProxyTraceBytes = 64;
constexpr int kProxyTraceText = 512;
// Bytes read from the proxy in one readable event.
constexpr int kProxyReadChunk = 4096;

}  // namespace sock

// Lays out a SOCKS5 request (version, command, reserved, address type, address, port in
// network order) in out. For address type 3 the address is a length byte and that many
// characters (at most 255); for type 1 four address bytes, for type 4 sixteen. Returns the
// length, or -1 when it does not fit in capacity or the address does not suit its type.
int build_socks5_request(uint8_t version, uint8_t command, uint8_t address_type, const void *address,
                         int address_length, uint16_t port, uint8_t *out, int capacity);

// The whole length of the SOCKS5 connect reply that begins with these bytes: 0 while too few
// have come to tell, -1 for an address type that no reply has.
int socks5_reply_length(const uint8_t *reply, int length);

// The CONNECT request for host:port, with a Proxy-Authorization header carrying user and
// password when user is not empty (without, the request is byte for byte what it always was).
std::string build_http_connect(const char *host, int port, const std::string &user, const std::string &password);

// Base64 of data (RFC 4648, with padding).
std::string base64_encode(const std::string &data);

// Lays out the SOCKS5 username/password request in out. Returns the length, or -1 when the
// user name is empty, either is longer than 255 bytes, or it does not fit in capacity.
int build_socks5_auth(const std::string &user, const std::string &password, uint8_t *out, int capacity);

// The text a SOCKS5 connect reply code stands for ("connection refused").
const char *socks5_reply_text(uint8_t reply);

// The reason phrase of an HTTP status line (after the code, up to the line's end), printable
// characters only and at most kMaxHttpReasonText of them.
std::string http_reply_reason(const char *reply, int length);

// The status code of an HTTP reply header: the decimal number after the first run of spaces
// of a status line that begins "HTTP/". 0 when there is none.
int http_reply_status(const char *reply, int length);

#endif
