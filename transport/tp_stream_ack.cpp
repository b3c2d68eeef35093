// CTpConnection: stream acknowledgement between two ends of this library. Without it a sender
// cannot know what arrived, so it keeps only the last kSendKeepMax bytes and the path's buffers
// must stay small enough that a break cannot swallow more: at most about one window per round
// trip. With it, the kept window holds exactly the unacknowledged bytes, up to m_window, and the
// path's buffers are the kernel's to size.
#include <algorithm>
#include <atomic>

#include "qrn/qrn_tp.h"
#include "qrnlibl/qrn_time.h"
#include "qrnlibl/qrn_trace.h"
#include "rdtp/rdtp.h"
#include "rdtp/rdtp_defs.h"
#include "transport/tp_connection.h"
#include "transport/tp_seq.h"

using namespace tp;

namespace {

std::atomic<int> g_default_window{kStreamWindowDefault};

int ClampWindow(int bytes) { return std::min(std::max(bytes, kStreamWindowMin), kStreamWindowMax); }

// A report from behind the oldest kept byte is older than the resumption that moved it on.
constexpr uint32_t kSeqBehind = 0x80000000u;

}  // namespace

void CTpConnection::SetDefaultWindow(int bytes) {
    g_default_window.store(ClampWindow(bytes), std::memory_order_relaxed);
}

int CTpConnection::DefaultWindow() { return g_default_window.load(std::memory_order_relaxed); }

void CTpConnection::SetWindow(int bytes) {
    m_window = ClampWindow(bytes);
    if (m_ack_mode != kAckOn) return;
    // A smaller window takes effect as the acknowledgements drain what is kept beyond it.
    qrn_cirwin_set_limit(m_send_win, std::max(m_window, Kept()) + kMaxRecordSize);
}

uint32_t CTpConnection::PeerKeepMax() const {
    return static_cast<uint32_t>(m_ack_mode == kAckOn ? kStreamWindowMax + kMaxRecordSize : kSendKeepMax);
}

bool CTpConnection::AwaitsFinalAck() const {
    return m_ack_mode == kAckOn && m_sock_state == kSockClosingPdu && m_out_len == 0 && Kept() > 0;
}

int CTpConnection::SendRoom() const {
    return m_ack_mode == kAckOn ? std::max(m_window - Kept(), 0) : kSendChunkMax + kSendTakeMax;
}

void CTpConnection::DropOldestFor(int chunk) {
    if (m_ack_mode == kAckOn) return;
    const int drop = Kept() + chunk - kSendKeepMax;
    if (drop <= 0) return;
    qrn_cirwin_forward(m_send_win, drop);
    m_send_base += static_cast<uint32_t>(drop);
}

// The client asks on every path until it knows; the server answers first on every path once it
// knows that the client speaks it, so that the client never meets a report before the answer.
void CTpConnection::OfferAcks() {
    m_ctl_due = 0;
    m_acked_recv = m_recv_next;  // the resume handshake has just told the peer
    if (IsClient() ? m_ack_mode == kAckUnknown : m_ack_mode == kAckOn) m_ctl_due |= kCtlAckOffer;
}

void CTpConnection::PeerAckOffer() {
    if (m_ack_mode == kAckOff) return;
    if (m_ack_mode == kAckUnknown) {
        qrn_trace_text("stream acknowledgement agreed, conn_id=", int{m_conn_id});
        m_ack_mode = kAckOn;
        SetWindow(m_window);
        // A peer that speaks it is this library, which resumes a stream on any kind of path.
        if (m_races && IsClient() && m_rdtp_handle != 0) qrn_rdtp_option(m_rdtp_handle, rdtp::kOptRaceAnyKind, 1);
    }
    if (!IsClient()) {
        m_ctl_due |= kCtlAckOffer;
        TrySendData();
    }
}

void CTpConnection::AcksUnknownAtRecord() {
    if (m_ack_mode != kAckUnknown) return;
    m_ack_mode = kAckOff;
    BoundPathBuffers();
}

void CTpConnection::BoundPathBuffers() {
    if (m_ack_mode == kAckOff && m_rdtp_handle != 0) qrn_rdtp_option(m_rdtp_handle, rdtp::kOptBoundBuffers, 1);
}

void CTpConnection::NoteReceived(bool timer) {
    if (m_ack_mode != kAckOn) return;
    const uint32_t unreported = SeqDistance(m_acked_recv, m_recv_next);
    if (unreported == 0 || (!timer && unreported < kAckEvery)) return;
    m_ctl_due |= kCtlAck;
    TrySendData();
}

// On a stream path the report rides in the same send as the data, so that a conversation
// (an echo, a request and its answer) needs no report of its own at the next tick. Only when
// the control PDUs fit in room beside the take: a full take leaves none.
void CTpConnection::AckAhead(int room) {
    constexpr int kControlBytes = 2 * kPduHeaderSize + kAckBodySize;  // an offer and a report
    if (m_ack_mode != kAckOn || m_acked_recv == m_recv_next || room - m_out_len < kControlBytes) return;
    m_ctl_due |= kCtlAck;
    BuildControlPdus();
}

void CTpConnection::BuildControlPdus() {
    ReserveOut();
    if (m_ctl_due & kCtlAckOffer) {
        m_out_len += WritePduHeader(m_out_buf + m_out_len, kOutBufSize - m_out_len, 0, kPduAckOffer);
    }
    if (m_ctl_due & kCtlAck) {
        m_out_len += WriteAckPdu(m_out_buf + m_out_len, kOutBufSize - m_out_len, m_recv_next);
        m_acked_recv = m_recv_next;
    }
    m_ctl_due = 0;
    m_last_send_tick = get_tick_count();
}

// The rest of a kPduAck whose header is in m_recv_hdr: its body goes there too, outside the
// stream's numbering.
bool CTpConnection::ReadAck() {
    constexpr int kSize = kPduHeaderSize + kAckBodySize;
    const int n = RecvStream(m_recv_hdr + m_recv_hdr_len, kSize - m_recv_hdr_len);
    if (n < 1) return false;
    m_last_recv_tick = get_tick_count();
    m_recv_hdr_len += std::min(n, kSize - m_recv_hdr_len);
    if (m_recv_hdr_len < kSize) return true;
    m_recv_hdr_len = 0;
    m_recv_body_remain = 0;
    if (HandleAck(ReadAckBody(m_recv_hdr + kPduHeaderSize)) < 0) {
        SockClose(QRN_TP_REASON_PROTOCOL_ERROR);
        return false;
    }
    return true;
}

int CTpConnection::HandleAck(uint32_t ack) {
    const uint32_t ahead = SeqDistance(m_send_base, ack);
    if (ahead >= kSeqBehind) return 0;
    if (ahead > static_cast<uint32_t>(HandedOver())) {
        QRN_TRACE_ERROR("acknowledged what was never sent, (ack, send_base, handed)=", ack, m_send_base, HandedOver());
        return -1;
    }
    qrn_cirwin_forward(m_send_win, static_cast<int>(ahead));
    m_send_base = ack;
    if (ahead > 0) m_ack_wait_tick = get_tick_count();
    // The closing PDU may still wait in m_out_buf for the path: the close is then TrySendData's.
    if (m_sock_state == kSockClosingPdu && m_out_len == 0) CloseAfterClosingPdu();
    // A writer that the full window stopped hears that it may go on.
    if ((m_flags & kFlagWriteBlocked) && m_sock_state >= kSockOpen && SendRoom() >= kSendChunkMax) {
        m_post_write = true;
    }
    return 0;
}
