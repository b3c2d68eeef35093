// CTpConnection: the kind of path under the stream. A client that races its kinds gives up a
// path that no longer gets through, so that the race finds one that does; the application
// that asks for it hears of each loss, each resumption and each change of kind.
#include "qrn/qrn_tp.h"
#include "qrnlibl/qrn_trace.h"
#include "transport/tp_connection.h"

using namespace tp;

// Silence both ways ends in the peer's keep-alives missing; a path that carries only one way
// (a firewall that drops what we send) leaves our bytes unacknowledged.
bool CTpConnection::PathStalled(uint32_t now) {
    if (!m_races || m_sock_state != kSockOpen) return false;
    if (m_ack_mode != kAckOn || HandedOver() == 0) m_ack_wait_tick = now;
    const bool silent = tp_elapsed(m_last_recv_tick, now) > kPathStallMs;
    const bool unanswered = tp_elapsed(m_ack_wait_tick, now) > kPathStallMs;
    if (!silent && !unanswered) return false;
    qrn_trace_text("CTpConnection::PathStalled, (conn_id, silent, unanswered, conn_mode)=", int{m_conn_id},
                   int{silent}, int{unanswered}, int{m_conn_mode});
    return true;
}

// True when the application is to hear of the loss now.
bool CTpConnection::NotePathLost() {
    if (m_state != kStateOpen || m_path_lost) return false;
    m_path_lost = true;
    m_lost_mode = m_conn_mode;
    return m_path_events;
}

void CTpConnection::NotePathResumed(CTpAftermath &after) {
    if (!m_path_lost) return;
    m_path_lost = false;
    if (!m_path_events) return;
    after.Tell(QRN_TP_MSG_PATH, QRN_TP_PATH_RESUMED, m_conn_mode, m_lost_mode);
    if (m_conn_mode != m_lost_mode) after.Tell(QRN_TP_MSG_PATH, QRN_TP_PATH_KIND_CHANGED, m_conn_mode, m_lost_mode);
}
