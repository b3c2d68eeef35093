#include "socket/proxy_reply.h"

#include <string.h>

#include <algorithm>

#include "qrnlibl/qrn_trace.h"
#include "socket/sock_defs.h"
#include "socket/sock_proxy.h"

using namespace sock;

void CProxyReplyReader::Begin(uint8_t proxy_type, const std::string &proxy, const std::string &destination,
                              bool with_password) {
    m_proxy_type = proxy_type;
    m_stage = kSocksStageMethod;
    m_with_password = with_password;
    m_proxy = proxy;
    m_destination = destination;
    m_gathered.clear();
    m_failure.clear();
}

void CProxyReplyReader::AuthSent() {
    m_stage = kSocksStageAuth;
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

EProxyReply CProxyReplyReader::Fail(const std::string &what, bool socks_prefix) {
    m_failure = std::string(socks_prefix ? "SOCKS5 proxy " : "proxy ") + m_proxy + " " + what;
    return End(EProxyReply::kFailed);
}

std::string CProxyReplyReader::NotTheProtocol() const {
    return m_proxy_type == kProxyHttp ? "did not answer as an HTTP proxy" : "did not answer as a SOCKS5 proxy";
}

std::string CProxyReplyReader::Closed() const {
    const bool before_any_answer = m_stage == kSocksStageMethod && m_gathered.empty();
    if (before_any_answer) return "proxy " + m_proxy + " closed the connection without answering";
    return "proxy " + m_proxy + " closed the connection during the handshake";
}

EProxyReply CProxyReplyReader::Feed(const char *data, int length) {
    if (length <= 0) return EProxyReply::kMore;
    if (m_stage == kSocksStageNone) {
        // Bytes before the first request went out, or after the handshake ended: not the protocol.
        QRN_TRACE_ERROR(static_cast<int>(m_proxy_type), length);
        return Fail(NotTheProtocol(), false);
    }
    // Gathered by length: a zero byte in the reply must not hide what follows it.
    m_gathered.append(data, static_cast<size_t>(length));
    if (m_proxy_type == kProxyHttp) return FeedHttp();
    if (m_proxy_type == kProxySocks5) {
        if (m_stage == kSocksStageMethod) return FeedSocksMethod();
        return m_stage == kSocksStageAuth ? FeedSocksAuth() : FeedSocksConnect();
    }
    QRN_TRACE_ERROR(static_cast<int>(m_proxy_type), length);
    return Fail("is of an unknown type", false);
}

EProxyReply CProxyReplyReader::FeedHttp() {
    // A peer that does not begin with the status line (a SOCKS server, say) is not waited for.
    const size_t prefix = std::min(m_gathered.size(), strlen(kHttpVersionPrefix));
    if (m_gathered.compare(0, prefix, kHttpVersionPrefix, prefix) != 0) {
        QRN_TRACE_ERROR(static_cast<int>(m_gathered.size()));
        return Fail(NotTheProtocol(), false);
    }
    const size_t end = m_gathered.find(kHttpHeaderEnd);
    if (end == std::string::npos) {
        if (m_gathered.size() <= static_cast<size_t>(kMaxHttpReply)) return EProxyReply::kMore;
        QRN_TRACE_ERROR(static_cast<int>(m_gathered.size()));
        return Fail(NotTheProtocol(), false);
    }
    const int length = static_cast<int>(m_gathered.size());
    const int status = http_reply_status(m_gathered.data(), length);
    const size_t header_end = end + strlen(kHttpHeaderEnd);
    // Nothing may come from the destination before the owner has spoken: such bytes are dropped.
    if (header_end < m_gathered.size()) QRN_TRACE_ERROR(static_cast<int>(m_gathered.size() - header_end));
    if (status == kHttpStatusOk) return End(EProxyReply::kTunnelUp);
    // A 407 included: the credentials, if any, went with the request, so waiting would only
    // hang the owner.
    QRN_TRACE_ERROR(status);
    if (status == 0) return Fail(NotTheProtocol(), false);
    std::string answer = "answered " + std::to_string(status);
    const std::string reason = http_reply_reason(m_gathered.data(), length);
    if (!reason.empty()) answer += " " + reason;
    return Fail(answer, false);
}

EProxyReply CProxyReplyReader::FeedSocksMethod() {
    const int gathered = static_cast<int>(m_gathered.size());
    if (gathered < kSocksMethodReplySize) return EProxyReply::kMore;
    const auto version = static_cast<uint8_t>(m_gathered[0]);
    const auto method = static_cast<uint8_t>(m_gathered[1]);
    if (gathered > kSocksMethodReplySize || version != kSocksVersion) {
        QRN_TRACE_ERROR(gathered, static_cast<int>(version));
        return Fail(NotTheProtocol(), false);
    }
    m_gathered.clear();
    if (method == kSocksMethodNone) return EProxyReply::kSendConnect;
    if (method == kSocksMethodUserPass && m_with_password) return EProxyReply::kSendAuth;
    QRN_TRACE_ERROR(static_cast<int>(method));
    if (method == kSocksMethodUserPass) return Fail("asks for a username and password", true);
    if (method == kSocksMethodNoneAcceptable) return Fail("accepts none of the offered authentication methods", true);
    return Fail("chose authentication method " + std::to_string(method) + ", which was not offered", true);
}

EProxyReply CProxyReplyReader::FeedSocksAuth() {
    const int gathered = static_cast<int>(m_gathered.size());
    if (gathered < kSocksAuthReplySize) return EProxyReply::kMore;
    const auto version = static_cast<uint8_t>(m_gathered[0]);
    const auto status = static_cast<uint8_t>(m_gathered[1]);
    if (gathered > kSocksAuthReplySize || version != kSocksAuthVersion) {
        QRN_TRACE_ERROR(gathered, static_cast<int>(version));
        return Fail(NotTheProtocol(), false);
    }
    if (status != kSocksAuthSuccess) {
        QRN_TRACE_ERROR(static_cast<int>(status));
        return Fail("refused the username and password", true);
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
        return Fail(NotTheProtocol(), false);
    }
    if (whole > 0 && gathered > whole) QRN_TRACE_ERROR(gathered - whole);
    if (reply[0] != kSocksVersion || reply[1] != kSocksReplySuccess || whole < 0) {
        QRN_TRACE_ERROR(static_cast<int>(reply[0]), static_cast<int>(reply[1]), whole);
        if (reply[0] != kSocksVersion) return Fail(NotTheProtocol(), false);
        if (reply[1] == kSocksReplySuccess) return Fail("answered with an unknown address type", true);
        return Fail("refused the connection to " + m_destination + " (reply " + std::to_string(reply[1]) + ": " +
                        socks5_reply_text(reply[1]) + ")",
                    true);
    }
    return End(EProxyReply::kTunnelUp);
}
