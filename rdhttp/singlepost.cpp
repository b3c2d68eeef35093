#include "rdhttp/singlepost.h"

#include <string.h>

#include "http/httpie.h"
#include "qrnlibl/qrn_time.h"
#include "qrnlibl/qrn_trace.h"
#include "rdhttp/rdhttp_pdu.h"

int qrn_rdhttp_callback(uintptr_t user_data, int msg, uintptr_t handle, uintptr_t p1, uintptr_t p2,
                        uintptr_t p3);

namespace {
constexpr int kPost = 0;
constexpr int kOptReplyLength = 2;
}  // namespace

CHttpClientSinglePost::CHttpClientSinglePost(IHttpClientSocketSink *sink) : m_sink(sink) {
    QRN_TRACE_FUNC("CHttpClientSinglePost::CHttpClientSinglePost");
    // The timer is let go by the tunnel's dispatcher once no object wants it (killed from its
    // own tick, which never waits).
    qrn_timer_set(&qrn_rdhttp_callback, m_sink->GetTunnelHandle(), rdhttp::kPollTimerMs);
}

CHttpClientSinglePost::~CHttpClientSinglePost() {
    QRN_TRACE_FUNC("CHttpClientSinglePost::~CHttpClientSinglePost");
    Close();
}

int CHttpClientSinglePost::Connect() {
    QRN_TRACE_FUNC("CHttpClientSinglePost::Connect");
    char path[kRdhttpMaxPath];
    snprintf(path, sizeof(path), "%s%s", rdhttp::kPathPrefix, rdhttp::kQuerySinglePost);
    m_handle = qrn_http_sock_connect(&qrn_rdhttp_callback, m_sink->GetTunnelHandle(), m_sink->GetServerAddr(),
                                     m_sink->GetServerPort(), kPost, path, rdhttp::kOpenBodySize);
    if (m_handle == 0) return 1;
    m_send_len = static_cast<uint16_t>(rdhttp_pdu_write_open_body(m_send_buf, sizeof(m_send_buf)));
    m_sent = 0;
    m_state = kOpenSent;
    return 0;
}

int CHttpClientSinglePost::Send(const void *buffer, int length) {
    if (m_state != kEstablished) {
        QRN_TRACE_ERROR("send before the tunnel is up, state=", static_cast<uint32_t>(m_state));
        return -1;
    }
    if (m_handle != 0 || length <= 0) return 0;
    const int room = rdhttp::kMaxExchangeBody - m_send_len;
    const int n = length < room ? length : room;
    memcpy(m_send_buf + m_send_len, buffer, static_cast<size_t>(n));
    m_send_len = static_cast<uint16_t>(m_send_len + n);
    m_pending = true;
    if (m_recv_pos == m_recv_len) TryConnect();
    return n;
}

int CHttpClientSinglePost::Receive(void *buffer, int length) {
    if (m_state != kEstablished) {
        QRN_TRACE_ERROR("receive before the tunnel is up, state=", static_cast<uint32_t>(m_state));
        return -1;
    }
    if (m_handle != 0 || length <= 0) return 0;  // a reply in flight is not whole yet
    const uint32_t left = m_recv_len - m_recv_pos;
    const uint32_t n = static_cast<uint32_t>(length) < left ? static_cast<uint32_t>(length) : left;
    memcpy(buffer, m_recv_buf + m_recv_pos, n);
    m_recv_pos += n;
    if (m_recv_pos == m_recv_len) {
        m_recv_pos = m_recv_len = 0;
        if (m_pending) TryConnect();
    }
    return static_cast<int>(n);
}

void CHttpClientSinglePost::Close() {
    m_state = kClosed;
    rdhttp_close_request(m_handle);
    m_handle = 0;
}

// Bytes handed over sit in the send buffer until an exchange carries them: the session stays
// until that exchange has been answered, which tells that the tunnel server holds them. The
// buffer holds nothing but the lead once the last bytes were answered; a poll in flight then
// carries nothing to wait for.
bool CHttpClientSinglePost::Linger() {
    if (m_state != kEstablished || m_send_len <= rdhttp::kLeadSize) return false;
    m_lingering = true;
    if (m_handle == 0) {
        // Behind a reply the layer above will not read any more, or a request that could not
        // start: the next exchange goes now, or at the poll.
        m_recv_len = m_recv_pos = 0;
        m_pending = true;
        TryConnect();
    }
    return true;
}

void CHttpClientSinglePost::TryConnect() {
    QRN_TRACE_FUNC("CHttpClientSinglePost::TryConnect");
    char path[kRdhttpMaxPath];
    if (rdhttp_pdu_session_path(rdhttp::kPathPrefix, m_session_id, path, sizeof(path)) < 0) return;
    m_handle = qrn_http_sock_connect(&qrn_rdhttp_callback, m_sink->GetTunnelHandle(), m_sink->GetServerAddr(),
                                     m_sink->GetServerPort(), kPost, path, m_send_len);
    if (m_handle == 0) {
        // The data stays for the next send or poll.
        QRN_TRACE_ERROR("exchange request failed");
        return;
    }
    m_pending = false;
    m_sent = 0;
    m_reply_len = 0;
    m_recv_len = m_recv_pos = 0;
}

void CHttpClientSinglePost::Fail(uint32_t code) {
    const bool was_up = m_state == kEstablished;
    Close();
    if (was_up) m_sink->OnClose(rdhttp::kCodeClosed);
    else m_sink->OnConfirm(code);
}

void CHttpClientSinglePost::OnConfirm(uintptr_t handle, uint32_t result) {
    if (!Mine(handle) || m_state == kClosed) return;
    if (result != 0) {
        m_handle = 0;  // gone already
        Fail(result);
        return;
    }
    m_recv_len = m_recv_pos = m_reply_len = 0;
    if (m_state == kOpenSent) m_state = kAwaitingId;
    OnWrite(handle);
}

void CHttpClientSinglePost::OnWrite(uintptr_t handle) {
    if (!Mine(handle) || m_sent >= m_send_len) return;
    const int n = qrn_http_sock_send(m_handle, m_send_buf + m_sent, m_send_len - m_sent);
    if (n > 0) m_sent = static_cast<uint16_t>(m_sent + n);
}

void CHttpClientSinglePost::OnRead(uintptr_t handle, uint32_t length) {
    if (!Mine(handle) || length == 0) return;
    if (m_state == kAwaitingId) ReadOpenReply(length);
    else if (m_state == kEstablished) ReadExchangeReply(length);
}

void CHttpClientSinglePost::ReadOpenReply(uint32_t length) {
    const uint32_t want = rdhttp::kOpenReplySize - m_recv_len;
    const int got = qrn_http_sock_recv(m_handle, m_recv_buf + m_recv_len, static_cast<int>(length < want ? length : want));
    if (got < 1) return;
    m_recv_len += static_cast<uint32_t>(got);
    uint32_t session_id = 0;
    const ERdhttpReply r = rdhttp_pdu_read_open_reply(m_recv_buf, static_cast<int>(m_recv_len), &session_id);
    if (r == ERdhttpReply::kIncomplete) return;
    if (r != ERdhttpReply::kOk) {
        QRN_TRACE_ERROR("get rejected");
        Fail(rdhttp::kFailBroken);
        return;
    }
    m_session_id = session_id;
    rdhttp_close_request(m_handle);
    m_handle = 0;
    m_state = kEstablished;
    // The first byte of the opening reply leads every later request.
    m_send_buf[0] = m_recv_buf[0];
    m_send_len = rdhttp::kLeadSize;
    m_recv_len = m_recv_pos = 0;
    m_last_tick = get_tick_count();
    m_sink->OnConfirm(0);
}

void CHttpClientSinglePost::ReadExchangeReply(uint32_t length) {
    if (m_reply_len == 0) {
        uintptr_t reply_len = 0;
        qrn_http_sock_option(m_handle, kOptReplyLength, reinterpret_cast<uintptr_t>(&reply_len));
        if (reply_len < rdhttp::kLeadSize || reply_len > static_cast<uintptr_t>(rdhttp::kMaxExchangeReply)) {
            QRN_TRACE_ERROR("exchange reply of a bad length", static_cast<uint32_t>(reply_len));
            Fail(rdhttp::kFailBroken);
            return;
        }
        m_reply_len = static_cast<uint32_t>(reply_len);
    }
    const uint32_t want = m_reply_len - m_recv_len;
    const int got = qrn_http_sock_recv(m_handle, m_recv_buf + m_recv_len, static_cast<int>(length < want ? length : want));
    if (got > 0) m_recv_len += static_cast<uint32_t>(got);
    if (m_recv_len == m_reply_len) EndExchange();
}

void CHttpClientSinglePost::EndExchange() {
    rdhttp_close_request(m_handle);
    m_handle = 0;
    if (m_lingering) {
        // A send waits for the request in flight, so this exchange carried the last bytes.
        Close();
        m_sink->OnClose(rdhttp::kCodeDelivered);
        return;
    }
    const bool carried = m_send_len > rdhttp::kLeadSize || m_reply_len > rdhttp::kLeadSize;
    m_send_len = rdhttp::kLeadSize;
    m_recv_pos = rdhttp::kLeadSize;  // the reply's leading byte is dropped unread
    const uint32_t data = m_recv_len - m_recv_pos;
    if (data == 0) m_recv_pos = m_recv_len = 0;
    if (data > 0) m_sink->OnRead(data);
    m_sink->OnWrite();
    m_last_tick = get_tick_count();
    m_poll_wait = carried ? rdhttp::kPollFirstMs
                          : (m_poll_wait * 2 < rdhttp::kPollIdleMs ? m_poll_wait * 2 : rdhttp::kPollIdleMs);
    if (carried) m_pending = true;
    if (m_pending && data == 0) TryConnect();
}

void CHttpClientSinglePost::OnClose(uintptr_t handle, uint32_t code) {
    if (!Mine(handle) || m_state == kClosed) return;
    qrn_trace_text("CHttpClientSinglePost::OnClose, code=", code);
    if (m_state == kEstablished && m_reply_len != 0 && m_recv_len == m_reply_len) {
        EndExchange();
        return;
    }
    m_handle = 0;
    Fail(rdhttp::kFailBroken);
}

void CHttpClientSinglePost::OnStatus(uintptr_t handle, uint32_t type, uint32_t value) {
    if (Mine(handle)) m_sink->OnStatus(type & 0xFFFF, value & 0xFFFF);
}

// A poll carries whatever is waiting, so data left after a request that could not start is
// sent rather than dropped.
void CHttpClientSinglePost::OnTimer() {
    if (m_state != kEstablished || m_handle != 0 || m_recv_len != 0) return;
    if (!m_pending && calc_tick_diff(m_last_tick, get_tick_count()) < m_poll_wait) return;
    TryConnect();
}
