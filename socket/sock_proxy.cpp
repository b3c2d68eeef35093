// Encoding and decoding of the proxy handshakes.
#include "socket/sock_proxy.h"

#include <string.h>

using namespace sock;

namespace {

constexpr const char *kHttpVersionPrefix = "HTTP/";
constexpr int kMaxStatusDigits = 3;
// Bytes of a SOCKS5 reply around its address: version, reply, reserved, type; port.
constexpr int kSocksReplyHead = 4;
constexpr int kSocksPortSize = 2;

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
