// libFuzzer target for what a proxy answers during a TCP connect's handshake: the HTTP CONNECT
// reply and the SOCKS5 method, username/password and connect replies, gathered by
// CProxyReplyReader in the pieces
// that the input's steering byte cuts them into, and the two decoders it builds on, on the
// bytes whole. A reader's decision must agree with what the decoders make of the bytes.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "socket/proxy_reply.h"
#include "socket/sock_defs.h"
#include "socket/sock_proxy.h"

namespace {

// Head (version, reply, reserved, type), a domain name of no characters, port.
constexpr int kShortestSocksReply = 4 + 1 + 2;

void Check(bool ok) {
    if (!ok) abort();
}

void Decoders(const uint8_t *data, int len) {
    const int status = http_reply_status(reinterpret_cast<const char *>(data), len);
    Check(status >= 0 && status <= 999);
    const int whole = socks5_reply_length(data, len);
    Check(whole == -1 || whole == 0 || (whole >= kShortestSocksReply && whole <= sock::kSocksMaxReplySize));
}

// Feeds the bytes in pieces of 1 to piece bytes; returns the reader's last answer and the
// offset after the piece that settled it.
EProxyReply Gather(uint8_t proxy_type, bool with_password, const uint8_t *data, int len, int piece,
                   int *settled_at) {
    CProxyReplyReader reader;
    reader.Begin(proxy_type, "127.0.0.1:1080", "10.0.0.5:443", with_password);
    EProxyReply last = EProxyReply::kMore;
    int at = 0;
    int step = 0;
    while (at < len) {
        const int n = 1 + (step++ * 7 + piece) % piece;
        const int take = n < len - at ? n : len - at;
        // Exact-sized copies, so that a read past a piece lands outside the allocation.
        std::vector<char> copy(data + at, data + at + take);
        last = reader.Feed(copy.data(), take);
        at += take;
        if (last == EProxyReply::kSendConnect) {
            reader.ConnectSent();
            continue;
        }
        if (last == EProxyReply::kSendAuth) {
            reader.AuthSent();
            continue;
        }
        if (last != EProxyReply::kMore) break;
    }
    *settled_at = at;
    // A failure names its cause; an ended reader takes nothing more.
    if (last == EProxyReply::kFailed) Check(!reader.Failure().empty());
    if (last == EProxyReply::kTunnelUp || last == EProxyReply::kFailed) {
        const char more = 'x';
        Check(reader.Feed(&more, 1) == EProxyReply::kFailed);
    }
    return last;
}

void Http(const uint8_t *data, int len, int piece) {
    int at = 0;
    const EProxyReply got = Gather(sock::kProxyHttp, false, data, len, piece, &at);
    Check(got != EProxyReply::kSendConnect && got != EProxyReply::kSendAuth);
    if (got == EProxyReply::kTunnelUp) {
        Check(http_reply_status(reinterpret_cast<const char *>(data), at) == sock::kHttpStatusOk);
    }
    if (got == EProxyReply::kMore) Check(len <= sock::kMaxHttpReply);
}

void Socks(const uint8_t *data, int len, int piece, bool with_password) {
    int at = 0;
    const EProxyReply got = Gather(sock::kProxySocks5, with_password, data, len, piece, &at);
    if (got != EProxyReply::kTunnelUp) return;
    // Up only after the method reply that asks for nothing, or for the password that was
    // offered and then accepted, and a whole successful connect reply.
    Check(len >= sock::kSocksMethodReplySize + kShortestSocksReply);
    Check(data[0] == sock::kSocksVersion);
    int offset = sock::kSocksMethodReplySize;
    if (data[1] == sock::kSocksMethodUserPass) {
        Check(with_password && len >= offset + sock::kSocksAuthReplySize + kShortestSocksReply);
        Check(data[offset + 1] == sock::kSocksAuthSuccess);
        offset += sock::kSocksAuthReplySize;
    } else {
        Check(data[1] == sock::kSocksMethodNone);
    }
    const uint8_t *reply = data + offset;
    Check(reply[0] == sock::kSocksVersion && reply[1] == sock::kSocksReplySuccess);
    const int whole = socks5_reply_length(reply, at - offset);
    Check(whole > 0 && whole <= at - offset);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    // The first byte: the kind in bit 7, whether a password was offered in bit 6, the largest
    // piece in the rest.
    const bool socks = (data[0] & 0x80) != 0;
    const bool with_password = (data[0] & 0x40) != 0;
    const int piece = 1 + (data[0] & 0x3f) * 64;
    const int len = static_cast<int>(size - 1 > 1 << 16 ? 1 << 16 : size - 1);
    std::vector<uint8_t> copy(data + 1, data + 1 + len);
    const uint8_t *p = copy.empty() ? nullptr : copy.data();
    Decoders(p, len);
    if (socks) {
        Socks(p, len, piece, with_password);
    } else {
        Http(p, len, piece);
    }
    return 0;
}
