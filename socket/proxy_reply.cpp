#include "socket/proxy_reply.h"

#include <string.h>

#include "qrnlibl/qrn_trace.h"
#include "socket/sock_defs.h"
#include "socket/sock_proxy.h"

using namespace sock;

void CProxyReplyReader::Begin(uint8_t proxy_type) {
    m_proxy_type = proxy_type;
    m_stage = kSocksStageMethod;
    m_gathered.clear();
}

void CProxyReplyReader::ConnectSent() {
    m_stage = kSocksStageConnect;
    m_gathered.clear();
}

EProxyReply CProxyReplyReader::End(EProxyReply result) {
    m_stage = kSocksStageNone;
    m_gathered.clear();
    return result;
}

EProxyReply CProxyReplyReader::Feed(const char *data, int length) {
    if (length <= 0) return EProxyReply::kMore;
    if (m_stage == kSocksStageNone) {
        // Bytes before the first request went out, or after the handshake ended: not the protocol.
        QRN_TRACE_ERROR(static_cast<int>(m_proxy_type), length);
        return End(EProxyReply::kFailed);
    }
    // Gathered by length: a zero byte in the reply must not hide what follows it.
    m_gathered.append(data, static_cast<size_t>(length));
    if (m_proxy_type == kProxyHttp) return FeedHttp();
    if (m_proxy_type == kProxySocks5) {
        return m_stage == kSocksStageMethod ? FeedSocksMethod() : FeedSocksConnect();
    }
    QRN_TRACE_ERROR(static_cast<int>(m_proxy_type), length);
    return End(EProxyReply::kFailed);
}

EProxyReply CProxyReplyReader::FeedHttp() {
    const size_t end = m_gathered.find(kHttpHeaderEnd);
    if (end == std::string::npos) {
        if (m_gathered.size() <= static_cast<size_t>(kMaxHttpReply)) return EProxyReply::kMore;
        QRN_TRACE_ERROR(static_cast<int>(m_gathered.size()));
        return End(EProxyReply::kFailed);
    }
    const int status = http_reply_status(m_gathered.data(), static_cast<int>(m_gathered.size()));
    const size_t header_end = end + strlen(kHttpHeaderEnd);
    // Nothing may come from the destination before the owner has spoken: such bytes are dropped.
    if (header_end < m_gathered.size()) QRN_TRACE_ERROR(static_cast<int>(m_gathered.size() - header_end));
    if (status == kHttpStatusOk) return End(EProxyReply::kTunnelUp);
    // A 407 included: there are no credentials to offer, so waiting would only hang the owner.
    QRN_TRACE_ERROR(status);
    return End(EProxyReply::kFailed);
}

EProxyReply CProxyReplyReader::FeedSocksMethod() {
    const int gathered = static_cast<int>(m_gathered.size());
    if (gathered < kSocksMethodReplySize) return EProxyReply::kMore;
    if (gathered > kSocksMethodReplySize) {
        QRN_TRACE_ERROR(gathered);
        return End(EProxyReply::kFailed);
    }
    const auto version = static_cast<uint8_t>(m_gathered[0]);
    const auto method = static_cast<uint8_t>(m_gathered[1]);
    if (version != kSocksVersion || method != kSocksMethodNone) {
        // A peer that does not speak SOCKS5, or asks for authentication we cannot give.
        QRN_TRACE_ERROR(static_cast<int>(version), static_cast<int>(method));
        return End(EProxyReply::kFailed);
    }
    m_gathered.clear();
    return EProxyReply::kSendConnect;
}

EProxyReply CProxyReplyReader::FeedSocksConnect() {
    const int gathered = static_cast<int>(m_gathered.size());
    const auto *reply = reinterpret_cast<const uint8_t *>(m_gathered.data());
    // A refusal needs no more than its first two bytes; some proxies send no more.
    const bool refused = gathered >= kSocksMethodReplySize && reply[1] != kSocksReplySuccess;
    const int whole = socks5_reply_length(reply, gathered);
    if (!refused && whole >= 0 && (whole == 0 || gathered < whole)) {
        if (gathered <= kSocksMaxReplySize) return EProxyReply::kMore;
        QRN_TRACE_ERROR(gathered);
        return End(EProxyReply::kFailed);
    }
    if (whole > 0 && gathered > whole) QRN_TRACE_ERROR(gathered - whole);
    if (reply[0] != kSocksVersion || reply[1] != kSocksReplySuccess || whole < 0) {
        QRN_TRACE_ERROR(static_cast<int>(reply[0]), static_cast<int>(reply[1]), whole);
        return End(EProxyReply::kFailed);
    }
    return End(EProxyReply::kTunnelUp);
}
