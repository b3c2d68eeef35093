// CRdtpConnection: the read event, the connect PDU exchange at both ends, and the hand-over
// of a resuming or joining path to the server object whose logical connection it belongs to.
#include "qrnlibl/qrn_time.h"
#include "qrnlibl/qrn_trace.h"
#include "rdtp/rdtp.h"
#include "rdtp/rdtp_connection.h"
#include "rdtp/rdtp_module.h"
#include "rdtp/rdtp_resume_limit.h"
#include "socket/sock_defs.h"
#include "socket/sockcli.h"
#include "udprlb/udprlb.h"

using namespace rdtp;

// A server object's request that names an existing logical connection (resumption, or the UDP
// path of a combined one); carried out after the lock, because it reaches another object.
struct CRdtpConnection::Handoff {
    bool wanted = false;
    bool udp_join = false;
    int from = 0;
    CRdtpConnectPdu pdu;
};

void CRdtpConnection::OnRead(int from, int handle, int length, int flags, uintptr_t extra) {
    QRN_TRACE_FUNC("CRdtpConnection::OnRead");
    qrn_trace_text("CRdtpConnection::OnRead, len=", length);
    if (from == kFromUdp && (static_cast<uintptr_t>(flags) & kLowerDatagramFlag) != 0) {
        OnDatagram(handle, length, extra);
        return;
    }
    CRdtpAftermath after;
    Handoff handoff;
    {
        CQrnFuncLock guard(m_lock);
        if (Inactive() || !IsCurrentPath(from, handle)) return;
        const uint8_t state = m_state;
        if (state != kStateAccepted && state != kStateRequestSent && state != kStateAwaitingUdp &&
            state != kStateUdpRequestSent) {
            after.Post(kMsgRead, static_cast<uintptr_t>(length), kReadStream, 0);
        } else {
            CRdtpConnectPdu pdu;
            const CRdtpGatherResult got = rdtp_pdu_gather(
                m_pdu_buf, &m_pdu_len, [this](void *buffer, int max) { return RecvPath(buffer, max, kPlainFlags); },
                &pdu);
            if (!got.complete) return;
            if (state == kStateAccepted) EndPendingTcp();
            // What the lower layer announced beyond the PDU's bytes of this event.
            const int rest = length > got.consumed ? length - got.consumed : 0;
            switch (state) {
            case kStateAccepted:
                OnRequest(from, pdu, rest, after, &handoff);
                break;
            case kStateRequestSent:
                OnResponse(pdu, rest, after);
                break;
            case kStateAwaitingUdp:
                OnRepeatedRequest(rest, after);
                break;
            default:
                OnUdpResponse(pdu, rest, after);
                break;
            }
        }
    }
    if (handoff.wanted) {
        HandOver(handoff);
        return;
    }
    Finish(after);
}

void CRdtpConnection::OnDatagram(int handle, int length, uintptr_t extra) {
    {
        CQrnFuncLock guard(m_lock);
        if (Inactive() || !IsCurrentPath(kFromUdp, handle) || m_state != kStateEstablished) return;
    }
    // The bytes at extra live only for this call.
    Notify(kMsgRead, static_cast<uintptr_t>(length), kReadDatagram, extra);
}

// Bytes that came behind the PDU stay in the path; a path that announces only new bytes would
// not announce them again, so they are announced once the connection is established.
void CRdtpConnection::PostRest(int rest, CRdtpAftermath &after) {
    if (rest > 0) after.Post(kMsgRead, static_cast<uintptr_t>(rest), kReadStream, 0);
}

// State 4: the client's request on a newly accepted path.
void CRdtpConnection::OnRequest(int from, const CRdtpConnectPdu &pdu, int rest, CRdtpAftermath &after,
                                Handoff *handoff) {
    if (pdu.serv_tag != 0) {
        handoff->wanted = true;
        handoff->udp_join = pdu.conn_mode == kModeTcpUdp && m_conn_mode == kModeUdp;
        handoff->from = from;
        handoff->pdu = pdu;
        // From here no other handler acts on this object; its path stays until handed over.
        Detach();
        return;
    }
    const uint32_t serv_tag = rdtp_server_tag();
    const uint32_t cli_tag = rdtp_new_client_tag();
    if (serv_tag == 0 || cli_tag == 0) {
        // Without the random source there is no tag that a stranger could not guess.
        QRN_TRACE_ERROR("no tags for a new connection, local_handle=", m_local_handle);
        SendRefusal();
        Detach();
        after.Remove();
        return;
    }
    m_serv_tag = serv_tag;
    m_cli_tag = cli_tag;
    m_conn_id = static_cast<uint16_t>(m_local_handle);
    m_ordinal = pdu.ordinal;
    if (pdu.conn_mode == kModeTcpUdp && m_conn_mode == kModeTcp) {
        SetState(kStateAwaitingUdp);
    } else {
        SetState(kStateEstablished);
        after.Post(kMsgConnect);
        after.Post(kMsgConnect2);
        PostRest(rest, after);
    }
    SendConnectResponsePdu(m_serv_tag, m_cli_tag, m_conn_id, m_ordinal, m_conn_mode);
}

// State 5: the server's answer.
void CRdtpConnection::OnResponse(const CRdtpConnectPdu &pdu, int rest, CRdtpAftermath &after) {
    if (rdtp_pdu_is_refusal(pdu)) {
        qrn_trace_text("CRdtpConnection::OnRead, connect refused by server");
        Detach();
        after.Remove();
        if (m_serv_tag == 0) {
            after.Post(kMsgConfirm, kConfirmRefused);
        } else {
            after.Post(kMsgClose, kCloseRefused);
        }
        return;
    }
    if (m_bReconnecting) {
        m_bReconnecting = 0;
        m_retry_pending = false;
    }
    m_serv_tag = pdu.serv_tag;
    m_cli_tag = pdu.cli_tag;
    m_conn_id = pdu.conn_id;
    if (m_conn_mode == kModeTcpUdp) {
        ClosePath(kFromUdp);
        m_udp_handle = ConnectUdp();
        if (m_udp_handle != 0) {
            SetState(kStateUdpJoining);
            return;
        }
        // The server waits in state 7 for the UDP path or for this word that none follows;
        // without it, it would take the upper layer's first bytes for a request.
        m_conn_mode = kModeTcp;
        SendConnectRequestPdu(DataPath(kPlainFlags));
    }
    SetState(kStateEstablished);
    after.Post(kMsgConfirm2);
    PostRest(rest, after);
}

// State 7: the combined client goes on without its UDP path.
void CRdtpConnection::OnRepeatedRequest(int rest, CRdtpAftermath &after) {
    SetState(kStateEstablished);
    after.Post(kMsgConnect);
    after.Post(kMsgConnect2);
    PostRest(rest, after);
}

// State 8: the answer to the UDP path's request, which comes on TCP.
void CRdtpConnection::OnUdpResponse(const CRdtpConnectPdu &pdu, int rest, CRdtpAftermath &after) {
    if (m_conn_mode != kModeTcpUdp || pdu.conn_mode != kModeTcpUdp) {
        QRN_TRACE_ERROR("mode, (mine, answer)=", static_cast<int>(m_conn_mode), static_cast<int>(pdu.conn_mode));
    }
    SetState(kStateEstablished);
    after.Post(kMsgConfirm2);
    PostRest(rest, after);
}

// This object is detached: it leaves the table, and its path goes to the owner of the logical
// connection if the owner accepts it; otherwise it carries the refusal and closes with this
// object.
void CRdtpConnection::HandOver(const Handoff &handoff) {
    rdtp_remove_connection(this);
    int path;
    uint32_t source;
    {
        CQrnFuncLock guard(m_lock);
        path = *PathSlot(handoff.from);
        source = m_source;
    }
    // A source that has spent its failures is not told whether its guess would have fitted.
    if (!rdtp_resume_allowed(source)) {
        qrn_trace_text("CRdtpConnection::HandOver, refused unread, too many failed resumptions from source=", source);
        CQrnFuncLock guard(m_lock);
        SendRefusal();
        return;
    }
    CQrnRefHolder<CRdtpConnection> found(GetRdtpConnection(handoff.pdu.conn_id));
    CRdtpConnection *owner = found.get() != this ? found.get() : nullptr;
    // A tag of another server process names a connection of that process, not this one's.
    const bool ours = handoff.pdu.serv_tag == rdtp_server_tag();
    bool taken;
    if (handoff.udp_join) {
        taken = owner != nullptr && ours && owner->OnUdpConnectRequest(path, handoff.pdu);
        if (!taken) {
            qrn_trace_text("the previous TCP connection is deleted, so also delete this UDP connection, local_handle=",
                           m_local_handle);
        }
    } else {
        uint32_t my_cli_tag = 0;
        uint16_t my_ordinal = 0;
        taken = owner != nullptr && ours &&
                owner->OnReconnect(handoff.from, path, handoff.pdu.cli_tag, handoff.pdu.ordinal, &my_cli_tag,
                                   &my_ordinal);
        if (!taken) {
            qrn_trace_text("CRdtpConnection::OnRead, cannot resume connection, (client_tag, my_client_tag, ordinal, "
                           "my_ordinal)=",
                           handoff.pdu.cli_tag, my_cli_tag, handoff.pdu.ordinal, my_ordinal);
        }
    }
    if (!taken) rdtp_resume_failed(source);
    CQrnFuncLock guard(m_lock);
    if (taken) {
        *PathSlot(handoff.from) = 0;
    } else {
        SendRefusal();
    }
}

bool CRdtpConnection::Resumable(uint32_t cli_tag, uint16_t ordinal) const {
    // A connection that never got its tags (m_serv_tag 0) has no logical connection to resume.
    // The client counts every lost path before it asks again, so a request that does not
    // advance the ordinal is a replay or a stranger's, never the client's next path.
    return !Inactive() && IsServer() && m_serv_tag != 0 && m_cli_tag == cli_tag &&
           calc_word_distance(m_ordinal, ordinal) > 0;
}

bool CRdtpConnection::OnReconnect(int from, int handle, uint32_t cli_tag, uint16_t ordinal, uint32_t *my_cli_tag,
                                  uint16_t *my_ordinal) {
    QRN_TRACE_FUNC("CRdtpConnection::OnReconnect");
    bool replaced;
    {
        CQrnFuncLock guard(m_lock);
        *my_cli_tag = m_cli_tag;
        *my_ordinal = m_ordinal;
        if (!Resumable(cli_tag, ordinal)) return false;
        qrn_trace_text("CRdtpConnection::OnReconnect, local_handle=", m_local_handle);
        replaced = m_state == kStateEstablished;
        if (replaced) CloseAllPaths();
    }
    // Told before the new path is in place: until then the upper layer's sends find no path.
    if (replaced) Notify(kMsgClose2, kClose2Replaced);
    CRdtpAftermath after;
    {
        CQrnFuncLock guard(m_lock);
        if (!Resumable(cli_tag, ordinal)) return false;
        TakePath(from, handle, true);
        if (from == kFromTcp && m_loop >= 0) {
            VSOCK::setsockopt(handle, sock::kOptLoop, static_cast<uintptr_t>(m_loop), sizeof(int));
        }
        m_ordinal = ordinal;
        if (m_conn_mode != kModeTcpUdp) {
            // A client that races its kinds may resume on another kind than it lost.
            m_conn_mode = static_cast<uint8_t>(from);
            SetState(kStateEstablished);
            after.Post(kMsgConnect2);
        } else {
            SetState(kStateAwaitingUdp);
        }
        SendConnectResponsePdu(m_serv_tag, m_cli_tag, m_conn_id, m_ordinal, m_conn_mode);
        m_last_tick = get_tick_count();
    }
    Finish(after);
    return true;
}

bool CRdtpConnection::OnUdpConnectRequest(int udp_handle, const CRdtpConnectPdu &pdu) {
    QRN_TRACE_FUNC("CRdtpConnection::OnUdpConnectRequest");
    CRdtpAftermath after;
    {
        CQrnFuncLock guard(m_lock);
        qrn_trace_text("CRdtpConnection::OnUdpConnectRequest, (m_local_handle, udp_handle)=", m_local_handle,
                       udp_handle);
        if (m_udp_handle != 0 || !m_server_ip.empty()) {
            QRN_TRACE_ERROR("(m_udp_handle, is_client)=", m_udp_handle, static_cast<int>(!m_server_ip.empty()));
        }
        // Only the server object that gave the client its tags, and waits for this path of the
        // current connect or resumption, takes it.
        if (Inactive() || !IsServer() || m_state != kStateAwaitingUdp || m_serv_tag == 0 ||
            m_cli_tag != pdu.cli_tag || m_ordinal != pdu.ordinal) {
            qrn_trace_text("CRdtpConnection::OnUdpConnectRequest, refused, (state, client_tag, ordinal)=",
                           static_cast<int>(m_state), pdu.cli_tag, static_cast<int>(pdu.ordinal));
            return false;
        }
        TakePath(kFromUdp, udp_handle, false);
        m_conn_mode = kModeTcpUdp;
        SetState(kStateEstablished);
        if (!m_bReconnecting) after.Post(kMsgConnect);
        after.Post(kMsgConnect2);
        m_bReconnecting = 0;
        SendConnectResponsePdu(m_serv_tag, m_cli_tag, m_conn_id, m_ordinal, m_conn_mode);
    }
    Finish(after);
    return true;
}

void CRdtpConnection::SendConnectPdu(const CRdtpConnectPdu &pdu, int from) {
    uint8_t buffer[kPduBufferSize];
    const int length = rdtp_pdu_write(pdu, buffer, sizeof(buffer));
    const int sent = SendOn(from, buffer, length, kPlainFlags);
    if (sent != length) QRN_TRACE_ERROR("connect pdu not sent, (from, sent)=", from, sent);
}

void CRdtpConnection::SendConnectRequestPdu(int from) {
    SendConnectPdu(CRdtpConnectPdu{m_serv_tag, m_cli_tag, m_conn_id, m_ordinal, m_conn_mode}, from);
}

void CRdtpConnection::SendConnectResponsePdu(uint32_t serv_tag, uint32_t cli_tag, uint16_t conn_id, uint16_t ordinal,
                                             uint8_t conn_mode) {
    SendConnectPdu(CRdtpConnectPdu{serv_tag, cli_tag, conn_id, ordinal, conn_mode}, DataPath(kPlainFlags));
}

void CRdtpConnection::SendRefusal() {
    const CRdtpConnectPdu refusal = rdtp_pdu_refusal();
    SendConnectResponsePdu(refusal.serv_tag, refusal.cli_tag, refusal.conn_id, refusal.ordinal, refusal.conn_mode);
}
