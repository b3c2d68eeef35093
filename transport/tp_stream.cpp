// CTpConnection: the byte stream. Sending through the send window, the hand-over to the
// multi-mode connection one PDU at a time, reading and framing what arrives, and the resume
// handshake with which every path begins.
#include <string.h>

#include <algorithm>
#include <memory>
#include <new>
#include <vector>

#include "qrn/qrn_tp.h"
#include "qrnlibl/qrn_time.h"
#include "qrnlibl/qrn_trace.h"
#include "qrnlibl/qrn_util.h"
#include "rdtp/rdtp.h"
#include "rdtp/rdtp_defs.h"
#include "transport/tp_connection.h"
#include "transport/tp_seq.h"

using namespace tp;

namespace {

// The outgoing transform needs a buffer on every send; one per thread spares the hot path a
// heap allocation each time. It is used only between the transform and the hand-over that
// copies the bytes on, with no callback in between.
uint8_t *SendScratch(size_t len) {
    thread_local std::vector<uint8_t> scratch;
    if (scratch.size() < len) scratch.resize(len);
    return scratch.data();
}

// What a take of len bytes makes in m_out_buf: its PDUs with their headers.
int PduBytes(int len) { return len + kPduHeaderSize * ((len + kMaxDataBody - 1) / kMaxDataBody); }

// Datagrams of reliable UDP fit here; a larger one (none is) would go to the heap.
constexpr size_t kDatagramStackBytes = 2048;

}  // namespace

// --- sending -----------------------------------------------------------------------------

int CTpConnection::Send(const void *data, int len, int flags) {
    QRN_TRACE_FUNC("CTpConnection::Send");
    if (flags & QRN_TP_SEND_DATAGRAM) return SendDatagram(data, len, flags);
    int taken = 0;
    {
        CQrnFuncLock guard(m_lock);
        if (m_state != kStateOpen) {
            QRN_TRACE_ERROR("send while not open, state=", int{m_state});
            return QRN_TP_ERR_INVALID;
        }
        if (m_flags & kFlagWriteBlocked) return 0;
        const auto *p = static_cast<const uint8_t *>(data);
        // Bytes are taken only while everything taken before has been handed over, so the
        // window never holds more than one take that the path has not seen.
        while (len > 0 && m_out_len == 0 && Unsent() == 0) {
            int chunk = len <= kSendTakeMax ? len : kSendChunkMax;
            const int room = SendRoom();
            if (room < std::min(chunk, kSendChunkMax)) break;
            chunk = std::min(chunk, room);
            DropOldestFor(chunk);
            if (BatchesPdus() && m_rdtp_handle != 0 && m_sock_state == kSockOpen) {
                AckAhead(kOutBufSize - PduBytes(chunk));
                TakeIntoPdus(p, chunk);
            } else {
                uint8_t *scratch = SendScratch(static_cast<size_t>(chunk));
                encrypt_xor(p, scratch, chunk);
                qrn_cirwin_write(m_send_win, scratch, chunk);
            }
            taken += chunk;
            p += chunk;
            len -= chunk;
            TrySendData();
        }
        if (len > 0) m_flags |= kFlagWriteBlocked;
    }
    Settle();
    return taken;
}

int CTpConnection::SendDatagram(const void *data, int len, int flags) {
    int rdtp_handle;
    {
        CQrnFuncLock guard(m_lock);
        if (m_state != kStateOpen) {
            QRN_TRACE_ERROR("send while not open, state=", int{m_state});
            return QRN_TP_ERR_INVALID;
        }
        // A path without reliable UDP would put the datagram into the byte stream.
        if (m_conn_mode == rdtp::kModeTcp || m_conn_mode == rdtp::kModeHttp) {
            QRN_TRACE_ERROR("no datagrams on this path, conn_mode=", int{m_conn_mode});
            return QRN_TP_ERR_INVALID;
        }
        rdtp_handle = m_rdtp_handle;
    }
    uint8_t *copy = SendScratch(static_cast<size_t>(len));
    if (len > 0) encrypt_xor(data, copy, len);
    return qrn_rdtp_send(rdtp_handle, copy, len, flags);
}

// Only a handshake message, or PDUs once the handshake is complete, may go on a path: bytes
// left in m_out_buf from a lost path must never precede the resume request or response.
bool CTpConnection::PathTakesBytes() const {
    return m_sock_state == kSockReqQueued || m_sock_state == kSockRespQueued ||
           m_sock_state == kSockOpen || m_sock_state == kSockClosingPdu;
}

int CTpConnection::TrySendData() {
    if (m_rdtp_handle == 0 || !PathTakesBytes()) return 0;
    for (;;) {
        if (m_out_len > 0) {
            int n = qrn_rdtp_send(m_rdtp_handle, m_out_buf, m_out_len, 0);
            if (n < 1) return 0;  // the next write event tries again
            n = std::min(n, m_out_len);
            m_out_len -= n;
            if (m_out_len > 0) {
                memmove(m_out_buf, m_out_buf + n, static_cast<size_t>(m_out_len));
                return 0;
            }
        }
        if (m_sock_state == kSockReqQueued || m_sock_state == kSockRespQueued) {
            FinishHandshakeSend();
            if (m_sock_state != kSockOpen) return 0;
            continue;
        }
        if (m_sock_state == kSockClosingPdu) return CloseAfterClosingPdu();
        if (m_ctl_due != 0) BuildControlPdus();
        if (Unsent() > 0) {
            BuildDataPdus();
        } else if (m_out_len > 0) {
            continue;
        } else if (m_state == kStateClosing) {
            BuildClosingPdu();
        } else {
            return 0;
        }
    }
}

// The handshake message is out: the client waits for the answer, the server's path is open.
void CTpConnection::FinishHandshakeSend() {
    if (IsClient()) {
        m_recv_hdr_len = 0;
        m_sock_state = kSockAwaitResp;
    } else {
        SetSockOpen();
        m_post_write = true;
    }
}

int CTpConnection::CloseAfterClosingPdu() {
    // Closed any earlier, the path would meet the peer's last reports unread, and the system
    // would reset it and drop what it still holds for the peer.
    if (AwaitsFinalAck()) return 0;
    qrn_trace_text("TrySendData, all data sent out, close it. conn_id=", int{m_conn_id});
    const int reason = m_close_reason;
    m_close_handed = true;
    SockClose(QRN_TP_CLOSE_DISCONNECT);
    return (reason == QRN_TP_CLOSE_DISCONNECT || reason == QRN_TP_CLOSE_ABORT_CONNECTING) ? -1 : 0;
}

bool CTpConnection::BatchesPdus() const {
    // A stream path takes several PDUs in one send; the other paths are given one at a time.
    return m_conn_mode == rdtp::kModeTcp || m_conn_mode == rdtp::kModeTcpUdp;
}

// What BuildDataPdus would make of the take, made straight from the application's bytes: the
// transformed body goes into the PDU and from there into the window, already handed over, so
// that the bytes are copied once less.
void CTpConnection::TakeIntoPdus(const uint8_t *data, int len) {
    ReserveOut();
    while (len > 0) {
        const int n = std::min(len, kMaxDataBody);
        uint8_t *pdu = m_out_buf + m_out_len;
        WritePduHeader(pdu, kOutBufSize - m_out_len, n, kPduData);
        encrypt_xor(data, pdu + kPduHeaderSize, n);
        qrn_cirwin_write(m_send_win, pdu + kPduHeaderSize, n);
        m_out_len += n + kPduHeaderSize;
        data += n;
        len -= n;
    }
    qrn_cirwin_set_read_len(m_send_win, Kept());
    m_last_send_tick = get_tick_count();
}

void CTpConnection::BuildDataPdus() {
    const bool batch = BatchesPdus();
    ReserveOut();
    for (;;) {
        const int n = std::min(Unsent(), kMaxDataBody);
        if (n <= 0 || m_out_len + kPduHeaderSize + n > kOutBufSize) break;
        uint8_t *pdu = m_out_buf + m_out_len;
        WritePduHeader(pdu, kOutBufSize - m_out_len, n, kPduData);
        qrn_cirwin_read(m_send_win, pdu + kPduHeaderSize, n);
        m_out_len += n + kPduHeaderSize;
        if (!batch) break;
    }
    m_last_send_tick = get_tick_count();
}

void CTpConnection::BuildClosingPdu() {
    ReserveOut();
    WritePduHeader(m_out_buf, kOutBufSize, 0, ClosingPduType(m_close_reason));
    m_out_len = kPduHeaderSize;
    m_last_send_tick = get_tick_count();
    m_sock_state = kSockClosingPdu;
}

void CTpConnection::SetSockOpen() {
    // Body bytes already read stay: they are counted in m_recv_next, so the peer goes on
    // after them, and they complete with the bytes of the next PDU.
    m_recv_hdr_len = 0;
    m_recv_body_remain = 0;
    m_out_len = 0;
    m_sock_state = kSockOpen;
    // A racing client judges the new path by what it brings from now on.
    if (m_races) m_last_recv_tick = m_ack_wait_tick = get_tick_count();
    m_flags &= static_cast<uint8_t>(~kFlagWriteBlocked);
    OfferAcks();
}

// Drops the kept bytes that the peer has (those before ack) and sends again from there on.
void CTpConnection::Rewind(uint32_t ack) {
    const uint32_t have = SeqDistance(m_send_base, ack);
    if (have < static_cast<uint32_t>(HandedOver())) {
        qrn_cirwin_set_read_len(m_send_win, static_cast<int>(have));
    }
    qrn_cirwin_forward(m_send_win, static_cast<int>(have));
    m_send_base = ack;
}

// --- write events and paths --------------------------------------------------------------

void CTpConnection::OnWrite(int) {
    bool notify = false;
    {
        CQrnFuncLock guard(m_lock);
        const bool handshake = IsClient() ? m_sock_state == kSockReqQueued : m_sock_state == kSockRespQueued;
        if (handshake) {
            if (m_out_len == 0) QRN_TRACE_ERROR("no handshake message queued, sock_state=", int{m_sock_state});
            TrySendData();
        }
        if (m_sock_state >= kSockOpen) {
            m_post_write = false;
            m_flags &= static_cast<uint8_t>(~kFlagWriteBlocked);
            TrySendData();
            notify = m_state == kStateOpen && m_out_len == 0 && Unsent() == 0;
        }
    }
    if (notify) CallApp(QRN_TP_MSG_WRITABLE, 0, 0, 0);
    Settle();
}

void CTpConnection::OnConnect2() {
    CQrnFuncLock guard(m_lock);
    if (IsClient()) QRN_TRACE_ERROR("path up event of a server at the client, conn_id=", int{m_conn_id});
    if (m_sock_state != kSockWanted) QRN_TRACE_ERROR("path up in sock_state", int{m_sock_state});
    m_sock_state = kSockAwaitReq;
    m_recv_hdr_len = 0;
    DropRx();
    uint8_t mode = m_conn_mode;
    qrn_rdtp_option(m_rdtp_handle, rdtp::kOptConnMode, reinterpret_cast<uintptr_t>(&mode));
    m_conn_mode = mode;
    BoundPathBuffers();
}

void CTpConnection::OnConfirm2() {
    {
        CQrnFuncLock guard(m_lock);
        if (!IsClient()) QRN_TRACE_ERROR("path up event of a client at the server, conn_id=", int{m_conn_id});
        if (m_sock_state != kSockWanted) QRN_TRACE_ERROR("path up in sock_state", int{m_sock_state});
        uint8_t mode = m_conn_mode;  // the mode may change with the path (combined mode)
        qrn_rdtp_option(m_rdtp_handle, rdtp::kOptConnMode, reinterpret_cast<uintptr_t>(&mode));
        m_conn_mode = mode;
        BoundPathBuffers();
        const CTpResumeReq request{m_recv_next, m_send_base, static_cast<uint32_t>(Kept())};
        ReserveOut();
        WriteResumeReq(m_out_buf, kOutBufSize, request);
        m_out_len = kResumeReqSize;
        m_sock_state = kSockReqQueued;
        DropRx();
    }
    OnWrite(0);
}

void CTpConnection::OnClose2() {
    bool drain;
    bool tell_lost;
    uint8_t lost_mode;
    {
        CQrnFuncLock guard(m_lock);
        qrn_trace_text("CTpConnect::OnClose2, conn_id=", int{m_conn_id});
        tell_lost = NotePathLost();
        lost_mode = m_lost_mode;
        m_flags |= kFlagWriteBlocked;
        m_sock_state = kSockWanted;
        m_out_len = 0;  // what was left of it is re-sent from the window after the handshake
        // PDUs that the path delivered before it went are still framed and handled (a peer's
        // last bytes and its closing PDU come just before its end of the path).
        m_rx_draining = !RxEmpty();
        m_path_reports = m_path_drained = false;
        drain = m_rx_draining;
    }
    if (tell_lost) CallApp(QRN_TP_MSG_PATH, QRN_TP_PATH_LOST, lost_mode, lost_mode);
    if (drain) ReadAll();
}

// --- reading -----------------------------------------------------------------------------

void CTpConnection::OnRead(int len, int flags, const void *data) {
    if (static_cast<uintptr_t>(flags) & rdtp::kReadDatagram) {
        DeliverDatagram(len, data);
        return;
    }
    {
        // A TCP path reports readable again as long as any bytes are left in it: a receive
        // that comes back short has emptied it, and reading stops there, without a receive
        // that finds nothing.
        CQrnFuncLock guard(m_lock);
        m_path_reports = m_conn_mode == rdtp::kModeTcp || m_conn_mode == rdtp::kModeTcpUdp;
        m_path_drained = false;
    }
    ReadAll();
}

void CTpConnection::ReadAll() {
    {
        CQrnFuncLock guard(m_lock);
        if (m_reading) {
            m_read_again = true;
            return;
        }
        m_reading = true;
        m_read_again = false;
        m_read_more = false;
        m_read_start = m_recv_next;
    }
    CTpAftermath after;
    for (;;) {
        bool go_on;
        {
            CQrnFuncLock guard(m_lock);
            go_on = ReadStep(after);
        }
        Tell(after);
        after.Clear();
        if (go_on) continue;
        CQrnFuncLock guard(m_lock);
        if (!ReadAgain()) break;
    }
    Settle();
}

bool CTpConnection::ReadAgain() {
    if (m_read_again && !m_read_more) {
        m_read_again = false;
        m_read_start = m_recv_next;
        return true;
    }
    m_reading = false;
    return false;
}

void CTpConnection::DeliverDatagram(int len, const void *data) {
    {
        CQrnFuncLock guard(m_lock);
        if (m_state != kStateOpen || m_sock_state != kSockOpen || len < 0 || (len > 0 && data == nullptr)) {
            return;
        }
        m_last_recv_tick = get_tick_count();
    }
    // Not the send scratch: the application may send from inside the callback while it still
    // reads these bytes.
    uint8_t on_stack[kDatagramStackBytes];
    std::unique_ptr<uint8_t[]> on_heap;
    uint8_t *plain = on_stack;
    if (static_cast<size_t>(len) > sizeof(on_stack)) {
        on_heap.reset(new uint8_t[static_cast<size_t>(len)]);
        plain = on_heap.get();
    }
    if (len > 0) decrypt_xor(data, plain, len);
    CallApp(QRN_TP_MSG_DATA, QRN_TP_DATA_DATAGRAM, static_cast<uintptr_t>(len), reinterpret_cast<uintptr_t>(plain));
}

bool CTpConnection::ReadStep(CTpAftermath &after) {
    if (m_state == kStateIdle || m_rdtp_handle == 0) return false;
    // A peer that sends as fast as it is read must not keep the thread from the others. Only
    // bytes still in the path wait for a later read event: none may stay in m_rx.
    if (SeqDistance(m_read_start, m_recv_next) >= kReadBudget && RxEmpty()) {
        m_read_more = true;
        return false;
    }
    bool go_on;
    switch (m_sock_state) {
    case kSockAwaitReq:
    case kSockAwaitResp:
        go_on = m_sock_state == kSockAwaitReq ? ReadResumeRequest() : ReadResumeResponse();
        if (go_on) NotePathResumed(after);
        break;
    case kSockOpen:
    case kSockClosingPdu: go_on = ReadPdu(after); break;
    default:
        if (!m_rx_draining) return false;
        go_on = ReadPdu(after);
        break;
    }
    if (go_on && m_post_write) {
        // The write event that a finished handshake posts to the connection itself.
        m_post_write = false;
        after.Write();
    }
    return go_on;
}

// Gathers a handshake message of size bytes in m_recv_hdr; true once it is complete.
bool CTpConnection::GatherHandshake(int size) {
    if (m_recv_hdr_len >= size) {
        QRN_TRACE_ERROR("handshake buffer overfull, (recv_hdr_len, size)=", m_recv_hdr_len, size);
        m_recv_hdr_len = 0;
    }
    const int n = qrn_rdtp_recv(m_rdtp_handle, m_recv_hdr + m_recv_hdr_len, size - m_recv_hdr_len, 0);
    if (n < 1) return false;
    m_recv_hdr_len += std::min(n, size - m_recv_hdr_len);
    return m_recv_hdr_len == size;
}

bool CTpConnection::ReadResumeRequest() {
    if (IsClient()) QRN_TRACE_ERROR("resume request at the client, conn_id=", int{m_conn_id});
    if (!GatherHandshake(kResumeReqSize)) return false;
    m_recv_hdr_len = 0;
    CTpResumeReq request;
    ReadResumeReq(m_recv_hdr, kResumeReqSize, request);
    const CTpResumeResp response =
        AnswerResumeReq(request, m_send_base, static_cast<uint32_t>(HandedOver()), m_recv_next, PeerKeepMax());
    if (response.result != kResumeAccepted) {
        QRN_TRACE_ERROR("resume refused, (recv_next, send_base, send_kept, handed, m_recv_next)=",
                        request.recv_next, request.send_base, request.send_kept, HandedOver(), m_recv_next);
        uint8_t refusal[kResumeRespSize];
        WriteResumeResp(refusal, kResumeRespSize, response);
        qrn_rdtp_send(m_rdtp_handle, refusal, kResumeRespSize, 0);
        qrn_rdtp_close(m_rdtp_handle);
        m_rdtp_handle = 0;
        m_sock_state = kSockNone;  // the receive time-out ends the connection
        return false;
    }
    Rewind(request.recv_next);
    ReserveOut();
    WriteResumeResp(m_out_buf, kOutBufSize, response);
    m_out_len = kResumeRespSize;
    m_sock_state = kSockRespQueued;
    m_post_write = true;
    return true;
}

bool CTpConnection::ReadResumeResponse() {
    if (!IsClient()) QRN_TRACE_ERROR("resume response at the server, conn_id=", int{m_conn_id});
    if (!GatherHandshake(kResumeRespSize)) return false;
    m_recv_hdr_len = 0;
    CTpResumeResp response;
    ReadResumeResp(m_recv_hdr, kResumeRespSize, response);
    if (!ResumeRespAcceptable(response, m_send_base, static_cast<uint32_t>(HandedOver()))) {
        QRN_TRACE_ERROR("resume refused by the peer, (result, recv_next, send_base, handed)=",
                        unsigned{response.result}, response.recv_next, m_send_base, HandedOver());
        m_sock_state = kSockNone;
        SockClose(QRN_TP_REASON_RESUME_REFUSED);
        return false;
    }
    Rewind(response.recv_next);
    SetSockOpen();
    m_post_write = true;
    return true;
}

// Reads at most one PDU's worth; true while reading should go on.
bool CTpConnection::ReadPdu(CTpAftermath &after) {
    if (m_recv_hdr_len < kPduHeaderSize) {
        const int n = RecvStream(m_recv_hdr + m_recv_hdr_len, kPduHeaderSize - m_recv_hdr_len);
        if (n < 1) return false;
        m_last_recv_tick = get_tick_count();
        m_recv_hdr_len += std::min(n, kPduHeaderSize - m_recv_hdr_len);
        qrn_trace_event(kTraceModule, kTraceRecvHeader, m_rdtp_handle, n, m_recv_hdr_len);
        if (m_recv_hdr_len < kPduHeaderSize) return true;
        CTpPduHeader header;
        if (ReadPduHeader(m_recv_hdr, kPduHeaderSize, header) < 0) {
            QRN_TRACE_ERROR("PDU too long, body_len=", header.body_len);
            SockClose(QRN_TP_REASON_PROTOCOL_ERROR);
            return false;
        }
        m_recv_body_remain = header.body_len;
        m_recv_pdu_len = header.body_len;
        if (AcksPdu(header.type) && header.body_len != kAckBodySize) {
            QRN_TRACE_ERROR("acknowledgement of the wrong length, body_len=", header.body_len);
            SockClose(QRN_TP_REASON_PROTOCOL_ERROR);
            return false;
        }
    }
    if (AcksPdu(m_recv_hdr[2])) return ReadAck();
    qrn_trace_event(kTraceModule, kTraceRecvBodyBefore, m_rdtp_handle, m_recv_body_remain, m_recv_body_len);
    if (m_recv_body_remain > 0) {
        if (m_recv_body_len == kRecvBodySize) {
            // The room is the body's again only once what filled it has been told.
            if (MakeBodyRoom(after)) return true;
            QRN_TRACE_ERROR("receive buffer full, (body_len, remain)=", m_recv_body_len, m_recv_body_remain);
            SockClose(QRN_TP_REASON_PROTOCOL_ERROR);
            return false;
        }
        if (!m_recv_body) {
            m_recv_body_store.reset(new uint8_t[kRecvBodySize]);
            m_recv_body = m_recv_body_store.get();
        }
        const int want = std::min(m_recv_body_remain, kRecvBodySize - m_recv_body_len);
        const int n = RecvStream(m_recv_body + m_recv_body_len, want);
        if (n < 1) return false;
        const int got = std::min(n, want);
        m_last_recv_tick = get_tick_count();
        m_recv_next += static_cast<uint32_t>(got);
        m_recv_body_len += got;
        m_recv_body_remain -= got;
        qrn_trace_event(kTraceModule, kTraceRecvBody, m_rdtp_handle, got, m_recv_body_remain, m_recv_body_len);
        if (m_recv_body_remain > 0) return true;
    }
    const uint8_t type = m_recv_hdr[2];
    m_recv_hdr_len = 0;
    if (HandlePdu(type, after) < 0) {
        SockClose(QRN_TP_REASON_PROTOCOL_ERROR);
        return false;
    }
    NoteReceived(false);
    return true;
}

void CTpConnection::ReserveOut() {
    if (m_out_buf != nullptr) return;
    m_out_store.reset(new uint8_t[kOutBufSize]);
    m_out_buf = m_out_store.get();
}

void CTpConnection::ReleaseIdleBuffers(bool quiet) {
    if (m_out_len == 0) {
        m_out_store.reset();
        m_out_buf = nullptr;
    }
    // The kept bytes stay (the peer may yet ask for them again), but the storage that grew
    // for them goes back to their size once the stream has been quiet for a period; a busy
    // one would only grow it again.
    if (quiet && Unsent() == 0) qrn_cirwin_shrink(m_send_win);
    // The receive buffers belong to the reading thread while it reads.
    if (m_reading) return;
    if (RxEmpty()) m_rx.reset();
    if (m_recv_body_len == 0) {
        m_recv_body_store.reset();
        m_recv_body = nullptr;
    }
}

int CTpConnection::RecvStream(uint8_t *dst, int want) {
    if (RxEmpty() && m_rx_draining) {
        m_rx_draining = false;
        return 0;
    }
    if (RxEmpty()) {
        if (m_path_drained) return 0;
        if (!m_rx) m_rx.reset(new (std::nothrow) uint8_t[kReadBatch]);
        // Without the batch buffer the path is read directly, a piece at a time.
        const int ask = m_rx ? kReadBatch : want;
        const int n = qrn_rdtp_recv(m_rdtp_handle, m_rx ? m_rx.get() : dst, ask, 0);
        if (n < 1) return n;
        if (m_path_reports && n < ask) m_path_drained = true;
        if (!m_rx) return n;
        m_rx_pos = 0;
        m_rx_len = std::min(n, kReadBatch);
    }
    const int n = std::min(want, m_rx_len - m_rx_pos);
    memcpy(dst, m_rx.get() + m_rx_pos, static_cast<size_t>(n));
    m_rx_pos += n;
    return n;
}

// The body buffer is full in the middle of a PDU: bytes kept from before a path loss, or a
// connect record followed by stream bytes. Whatever can be handled now makes room.
bool CTpConnection::MakeBodyRoom(CTpAftermath &after) {
    if (!IsStreamPdu(m_recv_hdr[2])) return false;
    return HandleStreamBytes(after) >= 0 && m_recv_body_len < kRecvBodySize;
}

int CTpConnection::HandlePdu(uint8_t type, CTpAftermath &after) {
    qrn_trace_event(kTraceModule, kTraceHandlePdu, int{m_conn_id}, unsigned{type}, int{m_state}, m_recv_body_len);
    // The peer waits for the report of its last bytes before it closes its path.
    if (ClosingPduReason(type) != 0) NoteReceived(true);
    switch (type) {
    case kPduDisReq:
        qrn_trace_text("HandlePdu, receive dis_req_pdu, close socket, conn_id=", int{m_conn_id});
        SockClose(QRN_TP_REASON_PEER_CLOSED);
        after.Finish();
        return 0;
    case kPduUplinkDisconnect:
        qrn_trace_text("HandlePdu, receive uplink_disconnect_pdu, conn_id=", int{m_conn_id});
        SockClose(QRN_TP_REASON_UPLINK_DISCONNECT);
        if (m_conn_mode == rdtp::kModeHttp) after.Finish();
        return 0;
    case kPduSessionLeft:
        qrn_trace_text("HandlePdu, receive session_left_pdu, conn_id=", int{m_conn_id});
        // Resumption goes off before the connection is reported closed.
        qrn_rdtp_option(m_rdtp_handle, rdtp::kOptNoReconnect, 0);
        SockClose(QRN_TP_REASON_SESSION_LEFT);
        if (m_conn_mode == rdtp::kModeHttp) after.Finish();
        return 0;
    case kPduAbortInConnecting:
        qrn_trace_text("HandlePdu, receive abort_in_connecting_pdu, conn_id=", int{m_conn_id});
        SockClose(QRN_TP_REASON_UPLINK_DISCONNECT);
        after.Finish();
        return 0;
    case kPduAckOffer:
        // With a body it is stream data, as every type this side does not know would be.
        if (m_recv_pdu_len == 0) PeerAckOffer();
        return HandleStreamBytes(after);
    default:
        return IsStreamPdu(type) ? HandleStreamBytes(after) : 0;
    }
}

// The body bytes gathered so far: the connect record while it is awaited, then stream data
// for the application (open) or for nobody (closing).
int CTpConnection::HandleStreamBytes(CTpAftermath &after) {
    if (m_state == kStateConnecting) {
        const int r = ReadConnRecord(after);
        if (r <= 0) return r;
    }
    if (m_state <= kStateAwaitingAccept || m_recv_body_len == 0) return 0;
    const int n = m_recv_body_len;
    m_recv_body_len = 0;
    if (m_state != kStateOpen) return 0;  // closing: dropped
    decrypt_xor(m_recv_body, m_recv_body, n);
    after.Tell(QRN_TP_MSG_DATA, QRN_TP_DATA_STREAM, static_cast<uintptr_t>(n), reinterpret_cast<uintptr_t>(m_recv_body));
    return 0;
}

// The connect record at the start of m_recv_body: -1 when it cannot be read, 0 while it is
// incomplete, 1 once it is handled and removed.
int CTpConnection::ReadConnRecord(CTpAftermath &after) {
    if (m_recv_body_len == 0) return 0;
    const bool client = IsClient();
    const int total =
        PeekConnRecord(m_recv_body, m_recv_body_len, client ? kConnRespFixedSize : kConnReqFixedSize);
    if (total <= 0) return total;
    AcksUnknownAtRecord();
    if (client) {
        CTpConnResp response;
        if (ReadPduConnResp(m_recv_body, total, response) < 0) return -1;
        HandlePduConnResp(response, after);
    } else {
        CTpConnReq request;
        if (ReadPduConnReq(m_recv_body, total, request) < 0) return -1;
        HandlePduConnReq(request, after);
    }
    qrn_trace_text("HandlePdu, (m_recv_body_len, len)=", m_recv_body_len, total);
    m_recv_body_len -= total;
    memmove(m_recv_body, m_recv_body + total, static_cast<size_t>(m_recv_body_len));
    return 1;
}
