#include "rdhttp/bigpost.h"

#include "http/httpie.h"
#include "qrnlibl/qrn_trace.h"
#include "rdhttp/rdhttp_pdu.h"

int qrn_rdhttp_callback(uintptr_t user_data, int msg, uintptr_t handle, uintptr_t p1, uintptr_t p2,
                        uintptr_t p3);

namespace {
constexpr int kGet = 1;
constexpr int kPost = 0;
constexpr uint32_t kDownlinkEnded = 0;  // the HTTP request's end code: read to its end

uint32_t Word(const uint8_t *b) {
    return (uint32_t(b[0]) << 24) | (uint32_t(b[1]) << 16) | (uint32_t(b[2]) << 8) | b[3];
}
}  // namespace

CHttpClientBigPost::CHttpClientBigPost(IHttpClientSocketSink *sink) : m_sink(sink) {
    QRN_TRACE_FUNC("CHttpClientBigPost::CHttpClientBigPost");
}

CHttpClientBigPost::~CHttpClientBigPost() {
    QRN_TRACE_FUNC("CHttpClientBigPost::~CHttpClientBigPost");
    Close();
}

int CHttpClientBigPost::Connect() {
    QRN_TRACE_FUNC("CHttpClientBigPost::Connect");
    char path[kRdhttpMaxPath];
    snprintf(path, sizeof(path), "%s%s", rdhttp::kPathPrefix, rdhttp::kQueryBigPost);
    m_get_handle = qrn_http_sock_connect(&qrn_rdhttp_callback, m_sink->GetTunnelHandle(), m_sink->GetServerAddr(),
                                         m_sink->GetServerPort(), kGet, path, 0);
    if (m_get_handle == 0) return 1;
    m_state = kGetRequested;
    return 0;
}

int CHttpClientBigPost::Send(const void *buffer, int length) {
    if (m_state != kEstablished) {
        QRN_TRACE_ERROR("send before the tunnel is up, state=", static_cast<uint32_t>(m_state));
        return -1;
    }
    return qrn_http_sock_send(m_post_handle, buffer, length);
}

int CHttpClientBigPost::Receive(void *buffer, int length) {
    if (m_state != kEstablished) {
        QRN_TRACE_ERROR("receive before the tunnel is up, state=", static_cast<uint32_t>(m_state));
        return -1;
    }
    return qrn_http_sock_recv(m_get_handle, buffer, length);
}

void CHttpClientBigPost::Close() {
    m_state = kClosed;
    rdhttp_close_request(m_get_handle);
    rdhttp_close_request(m_post_handle);
    m_get_handle = 0;
    m_post_handle = 0;
}

// The uplink has no end of its own: the session is over for certain once the far side has
// read the closing bytes and ended its stream, which ends the downlink. Until then the POST
// stays, and whatever still comes down is read and dropped so that the downlink can end.
bool CHttpClientBigPost::Linger() {
    if (m_state != kEstablished) return false;
    m_lingering = true;
    return true;
}

void CHttpClientBigPost::Fail(uint32_t code) {
    const bool was_up = m_state == kEstablished;
    Close();
    if (was_up) m_sink->OnClose(rdhttp::kCodeClosed);
    else m_sink->OnConfirm(code);
}

void CHttpClientBigPost::OnConfirm(uintptr_t handle, uint32_t result) {
    if (!Mine(handle) || m_state == kClosed) return;
    if (result != 0) {
        // The failed request is gone already; only the other one needs closing.
        (handle == m_get_handle ? m_get_handle : m_post_handle) = 0;
        Fail(result);
        return;
    }
    if (m_state == kGetRequested && handle == m_get_handle) {
        m_state = kReadingHeader;
        m_header_len = 0;
    } else if (handle == m_post_handle) {
        m_uplink_ready = true;
        if (m_state == kAwaitingUplink) Establish();
    }
}

// Both requests are up: the downlink said "OK" and the uplink takes bytes. What came down
// meanwhile is announced now.
void CHttpClientBigPost::Establish() {
    m_state = kEstablished;
    m_header_len = 0;
    const uint32_t held_back = m_held_back;
    m_held_back = 0;
    m_sink->OnConfirm(0);
    if (held_back > 0 && m_state == kEstablished) m_sink->OnRead(held_back);
}

bool CHttpClientBigPost::ReadHeader(uint32_t *available) {
    const uint32_t want = rdhttp::kBigPostHeaderSize - m_header_len;
    const int got = qrn_http_sock_recv(m_get_handle, m_header + m_header_len,
                                       static_cast<int>(*available < want ? *available : want));
    if (got < 1) return false;
    *available -= static_cast<uint32_t>(got);
    m_header_len += static_cast<uint16_t>(got);
    uint32_t session_id = 0;
    switch (rdhttp_pdu_read_bigpost_header(m_header, m_header_len, &session_id)) {
    case ERdhttpReply::kIncomplete: return true;
    case ERdhttpReply::kOk:
        m_session_id = session_id;
        return OpenPost();
    case ERdhttpReply::kRejected:
        QRN_TRACE_ERROR("get rejected");
        Fail(rdhttp::kFailRejected);
        return false;
    default:
        QRN_TRACE_ERROR("not a kv http server", m_header_len >= 4 ? Word(m_header) : 0u);
        Fail(rdhttp::kFailBroken);
        return false;
    }
}

bool CHttpClientBigPost::OpenPost() {
    char path[kRdhttpMaxPath];
    if (rdhttp_pdu_session_path(rdhttp::kPathPrefix, m_session_id, path, sizeof(path)) < 0) return false;
    m_post_handle = qrn_http_sock_connect(&qrn_rdhttp_callback, m_sink->GetTunnelHandle(), m_sink->GetServerAddr(),
                                          m_sink->GetServerPort(), kPost, path, rdhttp::kBigPostUplinkLength);
    if (m_post_handle == 0) {
        QRN_TRACE_ERROR("post failed");
        Fail(rdhttp::kFailRejected);
        return false;
    }
    m_state = kAwaitingOk;
    m_header_len = 0;
    return true;
}

bool CHttpClientBigPost::ReadOk(uint32_t *available) {
    const uint32_t want = rdhttp::kOkSize - m_header_len;
    const int got = qrn_http_sock_recv(m_get_handle, m_header + m_header_len,
                                       static_cast<int>(*available < want ? *available : want));
    if (got < 1) return false;
    *available -= static_cast<uint32_t>(got);
    m_header_len += static_cast<uint16_t>(got);
    const ERdhttpReply r = rdhttp_pdu_read_bigpost_ok(m_header, m_header_len);
    if (r == ERdhttpReply::kIncomplete) return true;
    if (r != ERdhttpReply::kOk) {
        QRN_TRACE_ERROR("post rejected", static_cast<uint32_t>(m_header[0]),
                        static_cast<uint32_t>(m_header_len > 1 ? m_header[1] : 0));
        Fail(rdhttp::kFailBroken);
        return false;
    }
    if (m_uplink_ready) {
        Establish();
    } else {
        qrn_trace_text("CHttpClientBigPost::ReadOk, the uplink is not up yet");
        m_state = kAwaitingUplink;
    }
    return true;
}

// One read event may carry the header, "OK" and the first stream bytes together: each phase
// takes only its own bytes, and what follows "OK" is announced to the sink.
void CHttpClientBigPost::OnRead(uintptr_t handle, uint32_t length) {
    if (handle == 0 || handle != m_get_handle) return;
    uint32_t available = length;
    while (available > 0 && (m_state == kReadingHeader || m_state == kAwaitingOk)) {
        const bool go_on = m_state == kReadingHeader ? ReadHeader(&available) : ReadOk(&available);
        if (!go_on) return;
    }
    if (m_state == kAwaitingUplink) {
        m_held_back = available;  // all unread: they stay in the request until the tunnel is up
        return;
    }
    if (m_state != kEstablished || available == 0) return;
    if (!m_lingering) {
        m_sink->OnRead(available);
        return;
    }
    uint8_t scratch[rdhttp::kMaxExchangeReply];
    while (qrn_http_sock_recv(m_get_handle, scratch, sizeof(scratch)) > 0) {
    }
}

void CHttpClientBigPost::OnWrite(uintptr_t handle) {
    if (m_state == kEstablished && !m_lingering && handle == m_post_handle) m_sink->OnWrite();
}

void CHttpClientBigPost::OnClose(uintptr_t handle, uint32_t code) {
    if (!Mine(handle) || m_state == kClosed) return;
    qrn_trace_text("CHttpClientBigPost::OnClose, code=", code);
    if (m_lingering && handle == m_get_handle && code == kDownlinkEnded) {
        // The far side ended its stream after the closing bytes: they went through.
        m_get_handle = 0;
        Close();
        m_sink->OnClose(rdhttp::kCodeDelivered);
        return;
    }
    (handle == m_get_handle ? m_get_handle : m_post_handle) = 0;
    Fail(rdhttp::kFailBroken);
}

void CHttpClientBigPost::OnStatus(uintptr_t handle, uint32_t type, uint32_t value) {
    if (Mine(handle)) m_sink->OnStatus(type & 0xFFFF, value & 0xFFFF);
}
