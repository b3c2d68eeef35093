// Closing a CUdpRlbConnection without losing a byte: the closing side keeps sending what the
// peer has not acknowledged, then sends its close request until the peer answers it or the
// release time-out passes; the peer answers, hands its user every byte that came before, and
// then reports the close. Ended connections that saw a close request answer its repeats for a
// while (their answer may have been lost), from a small table of records.
#include <atomic>
#include <deque>
#include <mutex>
#include <new>

#include "qrnlibl/qrn_time.h"
#include "qrnlibl/qrn_trace.h"
#include "udprlb/udprlb_connection.h"
#include "udprlb/udprlb_module.h"

using namespace urlb;

namespace {

uint8_t *PayloadOf(uint8_t *buffer) { return buffer + kOffPayload; }

// An ended connection that answers repeats of its peer's close request.
struct CClosedRecord {
    CUdpRlbIds own;  // as this side sent them: dst the peer, src the ended connection
    ws::sockaddr_in peer;
    int socket;
    uint32_t until;
    int answers;
    uint32_t answer_tick;
};

struct CClosedTable {
    std::mutex mutex;
    std::deque<CClosedRecord> records;  // oldest first
};

// Connections that the user closed and that are still delivering.
std::atomic<int> g_closing{0};

CClosedTable &closed_table() {
    alignas(CClosedTable) static unsigned char storage[sizeof(CClosedTable)];
    static CClosedTable *const table = new (storage) CClosedTable();
    return *table;
}

// A close request (ids as received) is this record's peer asking again.
bool AsksRecord(const CUdpRlbIds &in, uint16_t app_id, const CClosedRecord &r) {
    return app_id == r.own.src && in.src == r.own.dst && in.dst_tag == r.own.src_tag && in.src_tag == r.own.dst_tag;
}

bool AnswerDue(int answers, uint32_t answer_tick, uint32_t now) {
    return answers < kMaxCloseAnswers && (answers == 0 || calc_tick_diff(answer_tick, now) >= kCloseAnswerGap);
}

}  // namespace

int udprlb_closing_count() { return g_closing.load(std::memory_order_relaxed); }

void udprlb_remember_closed(const CUdpRlbIds &own, const ws::sockaddr_in &peer, int socket, int answers,
                            uint32_t answer_tick) {
    CClosedTable &t = closed_table();
    const uint32_t now = get_tick_count();
    std::lock_guard<std::mutex> guard(t.mutex);
    while (!t.records.empty() &&
           (t.records.size() >= static_cast<size_t>(kMaxClosedRecords) || calc_dword_distance(t.records.front().until, now) >= 0)) {
        t.records.pop_front();
    }
    t.records.push_back(CClosedRecord{own, peer, socket, now + kReleaseTimeout, answers, answer_tick});
}

bool udprlb_answer_closed(uint16_t app_id, const CUdpRlbIds &in) {
    CClosedRecord answer{};
    {
        CClosedTable &t = closed_table();
        const uint32_t now = get_tick_count();
        std::lock_guard<std::mutex> guard(t.mutex);
        while (!t.records.empty() && calc_dword_distance(t.records.front().until, now) >= 0) t.records.pop_front();
        auto it = t.records.begin();
        while (it != t.records.end() && !AsksRecord(in, app_id, *it)) ++it;
        if (it == t.records.end() || !AnswerDue(it->answers, it->answer_tick, now)) return false;
        ++it->answers;
        it->answer_tick = now;
        answer = *it;
    }
    qrn_trace_text("udprlb_answer_closed, (app_id, peer_app_id)=", app_id, answer.own.dst);
    uint8_t buffer[kMaxDatagram] = {};
    const int len = udprlb_pdu_write_close_request(answer.own, PayloadOf(buffer), kMaxPayload);
    // The answer goes where the session's peer was, never to whoever sent the request.
    return len > 0 && CUdpRlbConnection::SendPdu(answer.socket, buffer, &answer.peer, kPduCloseRequest, len) != 0;
}

// --- the user's close ------------------------------------------------------------------------

bool CUdpRlbConnection::Close(qrn_callback notice, uintptr_t notice_context, bool *acknowledged) {
    QRN_TRACE_FUNC("CUdpRlbConnection::Close");
    CCloseOutcome out;
    bool lingering = false;
    *acknowledged = false;
    {
        CQrnFuncLock guard(m_lock);
        if (m_user_closed) return false;
        if (m_state == kStateEnded) {
            // The peer closed first and the connection has ended already: whether it had
            // every byte was settled then.
            *acknowledged = m_peer_closed && m_acked_at_end;
            return false;
        }
        m_user_closed = true;
        if (m_state == kStateConnected) {
            SetState(kStateClosing);
            g_closing.fetch_add(1, std::memory_order_relaxed);
            m_close_tick = get_tick_count();
            m_close_notice = notice;
            m_close_notice_context = notice_context;
            m_want_write = false;
            // Single packets were never promised to arrive; the stream is.
            ClearUnreliable();
            // The peer's last bytes are acknowledged before the close request that ends it.
            if (m_ack_pending) SendPureAck();
            CloseStep(m_close_tick, &out);
            // Never from within the user's call: the next turn gives the notice.
            if (out.notice != nullptr) m_close_notice = out.notice;
            lingering = !out.end;
        } else {
            // Draining: the peer has gone already. Connecting: no peer knows this side yet.
            if (m_state == kStateDraining) {
                // The peer's close may come while its answer to the last bytes is still on
                // the way here, or just after it: what it acknowledged is what it has.
                *acknowledged = qrn_cirwin_write_size(m_send_window) == 0;
                EndClosing(kCloseNotDelivered, true, &out);
            } else {
                SetState(kStateEnded);
            }
        }
    }
    // Ended at once (no notice is due then): the caller ends it.
    if (out.remember) udprlb_remember_closed(out.ids, out.peer, m_socket, out.answers, out.answer_tick);
    return lingering;
}

bool CUdpRlbConnection::ClosedByUser() {
    CQrnFuncLock guard(m_lock);
    return m_user_closed;
}

// Under the lock, in the closing state: give up after the release time-out; otherwise, once
// everything sent is acknowledged, send the close request (again, when unanswered) or end if
// the peer's own close request already came.
void CUdpRlbConnection::CloseStep(uint32_t now, CCloseOutcome *out) {
    if (m_state != kStateClosing) return;
    if (calc_tick_diff(m_close_tick, now) >= kReleaseTimeout) {
        qrn_trace_text("CUdpRlbConnection::CloseStep, release time-out, (handle, unacknowledged)=", m_handle,
                       qrn_cirwin_write_size(m_send_window));
        EndClosing(kCloseNotDelivered, false, out);
        return;
    }
    if (qrn_cirwin_write_size(m_send_window) != 0) return;
    // The peer has every byte: the user may go. The close request goes on for the peer's
    // sake, as long as this process runs.
    TakeNotice(kCloseDelivered, out);
    if (m_peer_closed) {
        // Both sides closed: this request answers the peer's.
        if (!m_close_sent) SendCloseRequestPdu();
        EndClosing(kCloseDelivered, true, out);
        return;
    }
    if (m_close_sent && calc_tick_diff(m_close_sent_tick, now) < kCloseResendGap) return;
    if (m_close_sent) qrn_trace_text("CUdpRlbConnection::CloseStep, close request again, handle=", m_handle);
    SendCloseRequestPdu();
    m_close_sent = true;
    m_close_sent_tick = now;
}

// Under the lock, in the draining state: the close goes up once the user has read every byte,
// or after the release time-out if it never does.
void CUdpRlbConnection::DrainStep(uint32_t now, CCloseOutcome *out) {
    if (m_state != kStateDraining) return;
    if (qrn_cirwin_write_size(m_recv_window) != 0 && calc_tick_diff(m_close_tick, now) < kReleaseTimeout) return;
    EndClosing(kCloseNotDelivered, true, out);
    out->raise_closed = true;
    out->all_acknowledged = qrn_cirwin_write_size(m_send_window) == 0;
    m_acked_at_end = out->all_acknowledged;
}

void CUdpRlbConnection::EndClosing(int notice_result, bool remember, CCloseOutcome *out) {
    if (m_state == kStateClosing) g_closing.fetch_sub(1, std::memory_order_relaxed);
    SetState(kStateEnded);
    out->end = true;
    TakeNotice(notice_result, out);
    out->remember = remember && m_peer_addr != nullptr;
    out->ids = OwnIds();
    if (m_peer_addr != nullptr) out->peer = *m_peer_addr;
    out->answers = m_close_answers;
    out->answer_tick = m_close_answer_tick;
}

void CUdpRlbConnection::TakeNotice(int result, CCloseOutcome *out) {
    if (m_close_notice == nullptr) return;
    out->notice = m_close_notice;
    out->notice_context = m_close_notice_context;
    out->notice_result = result;
    m_close_notice = nullptr;
}

void CUdpRlbConnection::AnswerCloseRequest(uint32_t now) {
    if (!AnswerDue(m_close_answers, m_close_answer_tick, now)) return;
    SendCloseRequestPdu();
    ++m_close_answers;
    m_close_answer_tick = now;
}

// Without the lock: the end that a step decided.
void CUdpRlbConnection::FinishClose(const CCloseOutcome &out) {
    if (out.end) {
        qrn_callback callback = nullptr;
        uintptr_t context = 0;
        GetCallback(&callback, &context);
        if (out.remember) udprlb_remember_closed(out.ids, out.peer, m_socket, out.answers, out.answer_tick);
        if (udprlb_end_connection(this) && out.raise_closed) {
            CUdpRlbEvents events;
            events.Post(kEventClosed, kClosedByPeer, out.all_acknowledged ? kClosedAllAcknowledged : 0);
            events.Raise(callback, context, m_handle);
        }
    }
    // Taken from the connection under its lock: this is its only holder.
    if (out.notice != nullptr) {
        qrn_trace_text("CUdpRlbConnection::FinishClose, close done, (handle, result)=", m_handle, out.notice_result);
        out.notice(out.notice_context, kEventCloseDone, static_cast<uintptr_t>(m_handle),
                   static_cast<uintptr_t>(out.notice_result), 0, 0);
    }
}

// --- the peer's close ------------------------------------------------------------------------

void CUdpRlbConnection::OnCloseRequestPdu(const uint8_t *payload, int len) {
    QRN_TRACE_FUNC("CUdpRlbConnection::OnCloseRequestPdu");
    CUdpRlbIds ids;
    if (!udprlb_pdu_read_close_request(payload, len, &ids)) {
        QRN_TRACE_ERROR("close request too short, len=", len);
        return;
    }
    CCloseOutcome out;
    bool other_session = false;
    {
        CQrnFuncLock guard(m_lock);
        if (!IdsMatch(ids)) {
            other_session = true;
            QRN_TRACE_ERROR("close request of another session, (src, dst_tag, src_tag)=", ids.src, ids.dst_tag,
                            ids.src_tag);
        } else {
            const uint32_t now = get_tick_count();
            switch (m_state) {
            case kStateConnected:
                AnswerCloseRequest(now);
                m_peer_closed = true;
                m_close_tick = now;
                m_want_write = false;
                ClearUnreliable();
                SetState(kStateDraining);
                DrainStep(now, &out);
                break;
            case kStateDraining:
                AnswerCloseRequest(now);  // the first answer was lost
                break;
            case kStateClosing:
                m_peer_closed = true;
                CloseStep(now, &out);
                break;
            default:
                // Before the handshake the peer's ids are not known yet, so nothing can match
                // them; the outcome of a connect is event 2, never a close.
                QRN_TRACE_ERROR("close request while not connected, state=", m_state);
                break;
            }
        }
    }
    // The handle may have passed to a new connection while an ended one's peer still asks.
    if (other_session) udprlb_answer_closed(static_cast<uint16_t>(m_handle), ids);
    FinishClose(out);
}

// --- the closing side's turns ----------------------------------------------------------------

void CUdpRlbConnection::OnCloseTick(bool deliver) {
    CCloseOutcome out;
    {
        CQrnFuncLock guard(m_lock);
        const uint32_t now = get_tick_count();
        if (m_state == kStateClosing) {
            if (deliver) {
                CheckSendSlot();
                ResendDue();
                if (m_ack_pending && calc_tick_diff(m_last_ack_tick, now) >= kAckDelay) SendPureAck();
            }
            CloseStep(now, &out);
        } else if (m_state == kStateDraining) {
            DrainStep(now, &out);
        }
    }
    FinishClose(out);
}
