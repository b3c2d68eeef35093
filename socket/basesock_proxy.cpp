// VBaseSocket: the proxy negotiation of a TCP connect to port 443. The setting is read in
// connect on the caller's thread; the exchanges run on the socket thread inside check_event.
// Whatever the proxy sends is hostile until it has said yes: every gathered reply is bounded,
// and a refusal, a close, or anything that is not the protocol ends the connect at once with
// event 2 and parameter 1; a proxy that has not said yes after kProxyHandshakeTimeoutMs ends it
// too. The setting's password (and anything derived from it) never reaches the trace.
#include <stdio.h>
#include <string.h>

#include <string>

#include "platform/inet_proxy.h"
#include "qrnlibl/qrn_trace.h"
#include "socket/basesock.h"
#include "socket/sock_defs.h"
#include "socket/sock_proxy.h"

using namespace sock;

namespace {

constexpr const char *kSocksMarker = "socks";
constexpr int kMaxPortNumber = 65535;
constexpr const char *kHiddenPassword = "***";

// A copy of proxy text fit for one trace line: control characters (a hostile reply could
// otherwise forge lines) become dots, and it is cut at max characters.
CQrnString printable(const char *data, int length, int max) {
    CQrnString out;
    const int n = length < max ? length : max;
    std::string text(data, static_cast<size_t>(n));
    for (char &c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) == 0x7f) c = '.';
    }
    out.append(text.data(), n);
    return out;
}

CQrnString hex_bytes(const char *data, int length) {
    CQrnString out;
    const int n = length < kProxyTraceBytes ? length : kProxyTraceBytes;
    for (int i = 0; i < n; ++i) {
        char item[4];
        snprintf(item, sizeof(item), "%x:", static_cast<unsigned char>(data[i]));
        out += item;
    }
    return out;
}

// The decimal number at text (digits only, 1 to 65535); 0 when there is none.
int parse_port(const char *text) {
    int port = 0;
    int digits = 0;
    while (*text >= '0' && *text <= '9') {
        port = port * 10 + (*text++ - '0');
        if (++digits > 5 || port > kMaxPortNumber) return 0;
    }
    return port;
}

// The setting's text for the trace: whatever follows the user name up to the '@' is hidden.
std::string without_password(const std::string &value) {
    const size_t at = value.rfind('@');
    if (at == std::string::npos) return value;
    const size_t scheme = value.find("://");
    const size_t user_begin = scheme == std::string::npos || scheme > at ? 0 : scheme + 3;
    const size_t colon = value.find(':', user_begin);
    if (colon == std::string::npos || colon > at) return value;
    return value.substr(0, colon + 1) + kHiddenPassword + value.substr(at);
}

}  // namespace

int VBaseSocket::get_proxy_from_ie() {
    QRN_TRACE_FUNC("VBaseSocket::get_proxy_from_ie");
    const ws::InetProxySetting setting = ws::InternetQueryProxySetting(m_dest_addr.c_str());
    if (!setting.reason.empty()) {
        const std::string shown = without_password(setting.value);
        qrn_trace_text("proxy setting not used, variable=", setting.variable.c_str(), ", value=", shown.c_str(),
                       ", reason=", setting.reason.c_str());
        return 0;
    }
    if (setting.access_type == ws::kInetProxyAccessDirect || setting.proxy.empty()) return 0;
    if (!take_proxy_string(setting.proxy.c_str()) || !take_credentials(setting.user, setting.password)) {
        // Connecting to whatever the half-parsed fields hold would go nowhere: go direct.
        m_use_proxy = 0;
        qrn_trace_text("proxy setting not understood, connecting directly, proxy=", setting.proxy.c_str());
        return 0;
    }
    return 1;
}

// Parses the setting's string form: "socks=host:port" (any string with "socks" in it, host
// after the first '=', port after the first ':') or "host:port".
bool VBaseSocket::take_proxy_string(const char *proxy) {
    m_use_proxy = 1;
    const std::string copy(proxy);
    const bool socks = copy.find(kSocksMarker) != std::string::npos;
    size_t host_begin = 0;
    if (socks) {
        const size_t equals = copy.find('=');
        if (equals == std::string::npos) return false;
        host_begin = equals + 1;
    }
    const size_t colon = copy.find(':');
    if (colon == std::string::npos || colon <= host_begin) return false;
    const int port = parse_port(copy.c_str() + colon + 1);
    if (port == 0) return false;
    m_proxy_type = socks ? kProxySocks5 : kProxyHttp;
    const std::string host = copy.substr(host_begin, colon - host_begin);
    m_proxy_addr = host.c_str();
    m_proxy_port = static_cast<uint16_t>(port);
    qrn_trace_text("proxy_type=", socks ? "SOCKS" : "HTTP", "proxy_addr=", m_proxy_addr.c_str(), ", proxy_port=",
                   port);
    return true;
}

// The user name and password go with the handshake; a SOCKS5 proxy takes no more than 255
// bytes of either, so a setting with longer ones cannot be used.
bool VBaseSocket::take_credentials(const std::string &user, const std::string &password) {
    if (m_proxy_type == kProxySocks5 && !user.empty() &&
        (user.size() > static_cast<size_t>(kSocksMaxCredential) ||
         password.size() > static_cast<size_t>(kSocksMaxCredential))) {
        return false;
    }
    m_proxy_user = user;
    m_proxy_password = password;
    if (!user.empty()) qrn_trace_text("proxy credentials for user=", user.c_str());
    return true;
}

void VBaseSocket::start_negotiation() {
    QRN_TRACE_FUNC("VBaseSocket::start_negotiation");
    m_send_buf.reset_all();
    const bool with_password = !m_proxy_user.empty();
    m_proxy_reply.Begin(m_proxy_type, proxy_label(), dest_label(), with_password);
    if (m_proxy_type == kProxyHttp) {
        const std::string request = build_http_connect(m_dest_addr.c_str(), static_cast<int>(m_dest_port),
                                                       m_proxy_user, m_proxy_password);
        send_proxy_request(request.data(), static_cast<int>(request.size()));
        return;
    }
    if (m_proxy_type == kProxySocks5) {
        const uint8_t *request = with_password ? kSocksMethodRequestWithPassword : kSocksMethodRequest;
        const int size = with_password ? kSocksMethodRequestWithPasswordSize : kSocksMethodRequestSize;
        const int result = send(request, size, 0);
        if (result != size) QRN_TRACE_ERROR(result);
        qrn_trace_text("send, socket=", socket(), ", ask=", size, ", ret=", result);
        if (result < 0) {
            process_execption(system_failure(get_last_error()));
        } else if (result < size) {
            m_send_buf.write(request + result, size - result);
        }
        return;
    }
    QRN_TRACE_ERROR(static_cast<int>(m_proxy_type));
    process_execption("proxy " + proxy_label() + " is of an unknown type");
}

// Sends a request; what the socket does not take now waits in m_send_buf for the writable
// event that the short send asked for. False when the connect has ended.
bool VBaseSocket::send_proxy_request(const void *request, int length) {
    const int result = send(request, length, 0);
    if (result < 0) {
        process_execption(system_failure(get_last_error()));
        return false;
    }
    if (result < length) m_send_buf.write(static_cast<const char *>(request) + result, length - result);
    return true;
}

void VBaseSocket::on_negotiation_reply(const char *data, int length) {
    QRN_TRACE_FUNC("VBaseSocket::on_negotiation_reply");
    if (m_proxy_type == kProxyHttp) {
        const CQrnString text = printable(data, length, kProxyTraceText);
        qrn_trace_text("ret=", length, "response=", text.c_str());
    } else {
        const CQrnString hex = hex_bytes(data, length);
        qrn_trace_text("ret=", length, ", response=", hex.c_str());
    }
    switch (m_proxy_reply.Feed(data, length)) {
    case EProxyReply::kMore:
        break;
    case EProxyReply::kSendAuth:
        send_socks5_auth();
        break;
    case EProxyReply::kSendConnect:
        send_socks5_connect();
        break;
    case EProxyReply::kTunnelUp:
        proxy_tunnel_up();
        break;
    case EProxyReply::kFailed:
        process_execption(m_proxy_reply.Failure());
        break;
    }
}

void VBaseSocket::send_socks5_connect() {
    QRN_TRACE_FUNC("VBaseSocket::send_socks5_connect");
    uint8_t request[kSocksRequestCapacity];
    const int length = build_socks5_request(kSocksVersion, kSocksCmdConnect, kSocksAddrDomain, m_dest_addr.c_str(),
                                            m_dest_addr.length(), m_dest_port, request, sizeof(request));
    if (length < 0) {
        QRN_TRACE_ERROR(m_dest_addr.length());
        process_execption("SOCKS5 proxy " + proxy_label() + " cannot be asked for " + dest_label());
        return;
    }
    m_proxy_reply.ConnectSent();
    send_proxy_request(request, length);
}

void VBaseSocket::send_socks5_auth() {
    QRN_TRACE_FUNC("VBaseSocket::send_socks5_auth");
    uint8_t request[kSocksAuthCapacity];
    const int length = build_socks5_auth(m_proxy_user, m_proxy_password, request, sizeof(request));
    if (length < 0) {
        process_execption("SOCKS5 proxy " + proxy_label() + " cannot be given the username and password");
        return;
    }
    m_proxy_reply.AuthSent();
    send_proxy_request(request, length);
    memset(request, 0, sizeof(request));
}

void VBaseSocket::proxy_tunnel_up() {
    if (m_send_buf.get_readable() > 0) {
        // The proxy answered a request it has not seen whole: not a tunnel to trust.
        QRN_TRACE_ERROR(m_send_buf.get_readable());
        process_execption("proxy " + proxy_label() + " answered before it had the whole request");
        return;
    }
    set_state(kStateConnected);
    deliver(kEventConnected, m_handle, kConnectOk);
}
