// Encoding and decoding of the proxy handshakes.
#include "socket/sock_proxy.h"

#include <stdio.h>
#include <string.h>

using namespace sock;

namespace {

constexpr int kMaxStatusDigits = 3;
// Bytes of a SOCKS5 reply around its address: version, reply, reserved, type; port.
constexpr int kSocksReplyHead = 4;
constexpr int kSocksPortSize = 2;
constexpr char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr char kBase64Pad = '=';
constexpr int kConnectLineCapacity = 320;

// RFC 1928 reply codes 1 to 8.
constexpr const char *kSocksReplyTexts[] = {"succeeded",
                                            "general SOCKS server failure",
                                            "connection not allowed by ruleset",
                                            "network unreachable",
                                            "host unreachable",
                                            "connection refused",
                                            "TTL expired",
                                            "command not supported",
                                            "address type not supported"};

}  // namespace

int build_socks5_request(uint8_t version, uint8_t command, uint8_t address_type, const void *address,
                         int address_length, uint16_t port, uint8_t *out, int capacity) {
    if (address == nullptr || out == nullptr || address_length < 0) return -1;
    int address_field;
    switch (address_type) {
    case kSocksAddrDomain:
        if (address_length > kSocksMaxDomainLength) return -1;
        address_field = 1 + address_length;
        break;
    case kSocksAddrIpv4:
        if (address_length != kIpv4Length) return -1;
        address_field = address_length;
        break;
    case kSocksAddrIpv6:
        if (address_length != kIpv6Length) return -1;
        address_field = address_length;
        break;
    default:
        return -1;
    }
    const int length = kSocksReplyHead + address_field + kSocksPortSize;
    if (length > capacity) return -1;
    int at = 0;
    out[at++] = version;
    out[at++] = command;
    out[at++] = kSocksReserved;
    out[at++] = address_type;
    if (address_type == kSocksAddrDomain) out[at++] = static_cast<uint8_t>(address_length);
    memcpy(out + at, address, static_cast<size_t>(address_length));
    at += address_length;
    out[at++] = static_cast<uint8_t>(port >> 8);
    out[at++] = static_cast<uint8_t>(port);
    return at;
}

int socks5_reply_length(const uint8_t *reply, int length) {
    if (length < kSocksReplyHead) return 0;
    switch (reply[3]) {
    case kSocksAddrIpv4:
        return kSocksReplyHead + kIpv4Length + kSocksPortSize;
    case kSocksAddrIpv6:
        return kSocksReplyHead + kIpv6Length + kSocksPortSize;
    case kSocksAddrDomain:
        if (length < kSocksReplyHead + 1) return 0;
        return kSocksReplyHead + 1 + reply[kSocksReplyHead] + kSocksPortSize;
    default:
        return -1;
    }
}

int http_reply_status(const char *reply, int length) {
    const int prefix = static_cast<int>(strlen(kHttpVersionPrefix));
    if (reply == nullptr || length < prefix || memcmp(reply, kHttpVersionPrefix, static_cast<size_t>(prefix)) != 0) {
        return 0;
    }
    int at = prefix;
    while (at < length && reply[at] != ' ' && reply[at] != '\r' && reply[at] != '\n') ++at;
    if (at == length || reply[at] != ' ') return 0;
    while (at < length && reply[at] == ' ') ++at;
    int status = 0;
    int digits = 0;
    while (at < length && reply[at] >= '0' && reply[at] <= '9') {
        if (++digits > kMaxStatusDigits) return 0;
        status = status * 10 + (reply[at] - '0');
        ++at;
    }
    return status;
}

std::string base64_encode(const std::string &data) {
    std::string out;
    const auto *bytes = reinterpret_cast<const uint8_t *>(data.data());
    const size_t n = data.size();
    for (size_t i = 0; i < n; i += 3) {
        const uint32_t b0 = bytes[i];
        const uint32_t b1 = i + 1 < n ? bytes[i + 1] : 0;
        const uint32_t b2 = i + 2 < n ? bytes[i + 2] : 0;
        const uint32_t triple = (b0 << 16) | (b1 << 8) | b2;
        out += kBase64Alphabet[(triple >> 18) & 0x3f];
        out += kBase64Alphabet[(triple >> 12) & 0x3f];
        out += i + 1 < n ? kBase64Alphabet[(triple >> 6) & 0x3f] : kBase64Pad;
        out += i + 2 < n ? kBase64Alphabet[triple & 0x3f] : kBase64Pad;
    }
    return out;
}

std::string build_http_connect(const char *host, int port, const std::string &user, const std::string &password) {
    char line[kConnectLineCapacity];
    snprintf(line, sizeof(line), kHttpConnectLine, host, port);
    std::string request = line;
    if (!user.empty()) request += kHttpProxyAuthHeader + base64_encode(user + ":" + password) + kHttpLineEnd;
    request += kHttpKeepAliveHeader;
    request += kHttpLineEnd;
    return request;
}

int build_socks5_auth(const std::string &user, const std::string &password, uint8_t *out, int capacity) {
    const int user_length = static_cast<int>(user.size());
    const int password_length = static_cast<int>(password.size());
    if (out == nullptr || user_length == 0 || user_length > kSocksMaxCredential ||
        password_length > kSocksMaxCredential) {
        return -1;
    }
    const int length = kSocksAuthFixedSize + user_length + password_length;
    if (length > capacity) return -1;
    int at = 0;
    out[at++] = kSocksAuthVersion;
    out[at++] = static_cast<uint8_t>(user_length);
    memcpy(out + at, user.data(), user.size());
    at += user_length;
    out[at++] = static_cast<uint8_t>(password_length);
    memcpy(out + at, password.data(), password.size());
    return at + password_length;
}

const char *socks5_reply_text(uint8_t reply) {
    constexpr size_t count = sizeof(kSocksReplyTexts) / sizeof(kSocksReplyTexts[0]);
    return reply < count ? kSocksReplyTexts[reply] : "unknown reply";
}

std::string http_reply_reason(const char *reply, int length) {
    std::string reason;
    if (http_reply_status(reply, length) == 0) return reason;
    const char *end = reply + length;
    const char *at = static_cast<const char *>(memchr(reply, ' ', static_cast<size_t>(length)));
    while (at != nullptr && at < end && *at == ' ') ++at;
    while (at != nullptr && at < end && *at >= '0' && *at <= '9') ++at;
    while (at != nullptr && at < end && *at == ' ') ++at;
    for (; at != nullptr && at < end && *at != '\r' && *at != '\n'; ++at) {
        if (static_cast<int>(reason.size()) == kMaxHttpReasonText) break;
        const auto c = static_cast<unsigned char>(*at);
        if (c >= 0x20 && c < 0x7f) reason += static_cast<char>(c);
    }
    return reason;
}
