// VBaseSocket: the hooks of the proxy negotiation. No proxy setting is read yet, so m_use_proxy
// stays 0, connects go direct, and state 4 is never entered; should it be, the connect ends
// with event 2 and parameter 1 rather than waiting for ever.
#include "qrnlibl/qrn_trace.h"
#include "socket/basesock.h"
#include "socket/sock_defs.h"

using namespace sock;

int VBaseSocket::get_proxy_from_ie() {
    QRN_TRACE_FUNC("VBaseSocket::get_proxy_from_ie");
    return 0;
}

void VBaseSocket::start_negotiation() {
    QRN_TRACE_FUNC("VBaseSocket::start_negotiation");
    QRN_TRACE_ERROR(static_cast<int>(m_proxy_type));
    if (m_proxy_type == kProxyHttp || m_proxy_type == kProxySocks5) process_execption();
}

void VBaseSocket::on_negotiation_reply(const char *data, int length) {
    QRN_TRACE_FUNC("VBaseSocket::on_negotiation_reply");
    QRN_TRACE_ERROR(static_cast<int>(m_proxy_type), length);
    process_execption();
}
