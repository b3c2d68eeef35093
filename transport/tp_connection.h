// CTpConnection: one transport connection riding on one multi-mode connection. It adds the
// connect exchange with connect data, a byte stream that survives the loss of a path (resume
// handshake on every new path, re-sending what the peer lacks), keep-alive and time-outs, and
// orderly closing with a closing PDU.
//
// Locking: m_lock guards every field below (it is also the object's lock). Every entry (an
// application call, a multi-mode event, the timer) is made without it, decides under it,
// collects in a CTpAftermath what must be told, and tells it once m_lock is released: the
// application's callback, the registry and the close notice are never reached with m_lock
// held. One thread reads at a time (m_reading), so that the stream is told in order; the
// receive buffers are its own until it has told what it read, and a read event that comes
// meanwhile is left to it (m_read_again). Close waits, under m_lock, until no callback runs
// on another thread (m_app_calls).
#ifndef QRN_TRANSPORT_TP_CONNECTION_H
#define QRN_TRANSPORT_TP_CONNECTION_H

#include <stdint.h>

#include <condition_variable>
#include <memory>

#include "qrnlibl/qrn_callback.h"
#include "qrnlibl/qrn_cirwin.h"
#include "qrnlibl/qrn_lock.h"
#include "transport/tp_aftermath.h"
#include "transport/tp_defs.h"
#include "transport/tp_pdu.h"

namespace tp {

// CTpConnection::m_state
constexpr uint8_t kStateIdle = 0;           // before the start, and once finished
constexpr uint8_t kStateConnecting = 1;     // awaiting the connect record
constexpr uint8_t kStateAwaitingAccept = 2; // server: the application decides
constexpr uint8_t kStateOpen = 3;
constexpr uint8_t kStateClosing = 4;        // the unsent stream, then the closing PDU, go out
constexpr uint8_t kStateClosed = 5;         // awaiting report and release

// CTpConnection::m_sock_state: the current path.
constexpr uint8_t kSockNone = 0;
constexpr uint8_t kSockWanted = 1;        // a path is wanted or up, no handshake yet
constexpr uint8_t kSockReqQueued = 2;     // client: resume request in m_out_buf
constexpr uint8_t kSockAwaitResp = 3;     // client: awaiting the resume response
constexpr uint8_t kSockAwaitReq = 4;      // server: awaiting the resume request
constexpr uint8_t kSockRespQueued = 5;    // server: resume response in m_out_buf
constexpr uint8_t kSockOpen = 6;
constexpr uint8_t kSockClosingPdu = 7;    // the closing PDU is queued or out

// CTpConnection::m_ack_mode
constexpr uint8_t kAckUnknown = 0;  // nothing agreed yet: the kept window drops its oldest bytes
constexpr uint8_t kAckOn = 1;
constexpr uint8_t kAckOff = 2;      // the peer does not speak it

// CTpConnection::m_ctl_due: control PDUs to go out ahead of the next data PDU.
constexpr uint8_t kCtlAckOffer = 0x01;  // the client's offer or the server's answer
constexpr uint8_t kCtlAck = 0x02;

// CTpConnection::m_flags
constexpr uint8_t kFlagClient = 0x01;
constexpr uint8_t kFlagWriteBlocked = 0x02;  // Send takes nothing until message 4

}  // namespace tp

// Milliseconds from since to now, 0 when since is later.
uint32_t tp_elapsed(uint32_t since, uint32_t now);

class CTpConnection : public CQrnObject {
public:
    CTpConnection(int conn_id, qrn_callback callback, uintptr_t user_data);
    ~CTpConnection() override;

    // --- application calls; the caller holds a reference ---------------------------------
    // The multi-mode handle, or 0 when the multi-mode connect failed at once: the connection
    // has then left the table (the caller's own reference is all that is left of it).
    int Connect(const char *server_ip, int udp_port, int tcpip_port, int http_port,
                const char *udp_proxy_ip, int udp_proxy_port, uint32_t buffer_size,
                int data_len, const void *data);
    // 0, or -2 when not awaiting an answer or data_len is too long for an acceptance.
    int Accept(int result, uint32_t buffer_size, int data_len, const void *data);
    // No message follows; returns once no callback for this connection is running on another
    // thread.
    void Close(int reason);
    void Option(int option, uintptr_t value);
    // Bytes taken, -2 when not open, or what the path returned for a datagram.
    int Send(const void *data, int len, int flags);

    // --- the dispatcher --------------------------------------------------------------------
    // Whether an event of this multi-mode handle is still for this connection.
    bool TakesEvent(int rdtp_handle) const;
    bool IsAppClosed() const;
    int conn_id() const { return m_conn_id; }
    int DebugWindowStorage() const;
    // The window of stream acknowledgement that connections made from now on start with.
    static void SetDefaultWindow(int bytes);
    static int DefaultWindow();

    // --- multi-mode events; the dispatcher holds a reference -------------------------------
    void OnConnect(int rdtp_handle);
    void OnConfirm(int result);
    void OnClose();
    void OnRead(int len, int flags, const void *data);
    void OnWrite(int flags);
    void OnConnect2();
    void OnConfirm2();
    void OnClose2();
    // Once a second, from the timer walk, which holds a reference.
    void OnTimer(uint32_t now);

private:
    // --- life and closing (tp_connection.cpp) ------------------------------------------------
    void SockClose(int reason);  // under m_lock
    void SockClose2();           // without m_lock
    int HandlePduConnReq(const tp::CTpConnReq &request, CTpAftermath &after);    // under m_lock
    int HandlePduConnResp(const tp::CTpConnResp &response, CTpAftermath &after); // under m_lock
    int AcceptLocked(int result, uint32_t buffer_size, int data_len, const void *data);
    // Calls the application (without m_lock), unless it has closed the connection.
    void CallApp(int msg, uintptr_t p1, uintptr_t p2, uintptr_t p3);
    void WaitForOtherAppCalls();  // without m_lock
    void Tell(const CTpAftermath &after);  // without m_lock
    // The close notice, once the connection has left the table: rdtp_handle (0: none) is the
    // path that the closing PDU went on, or 0 when it never went out. Without m_lock.
    void NoticeClose(qrn_callback callback, uintptr_t user_data, int rdtp_handle);
    // The work left by a locked section: the write event after a resume handshake finished
    // elsewhere, and the end of a connection that the application closed. Without m_lock.
    void Settle();
    bool TimerStep(uint32_t now);  // under m_lock; true: the connection ends now
    void KeepAlive(uint32_t now);                // under m_lock
    // --- the path's kind and its changes (tp_path.cpp), under m_lock ----------------------
    bool PathStalled(uint32_t now);
    bool NotePathLost();  // true: the application is to hear of it
    void NotePathResumed(CTpAftermath &after);

    // --- the stream (tp_stream.cpp) ----------------------------------------------------------
    int SendDatagram(const void *data, int len, int flags);
    int TrySendData();  // under m_lock
    int CloseAfterClosingPdu();  // under m_lock
    bool PathTakesBytes() const;
    // Appends data PDUs to m_out_buf: as many full ones as fit on a stream path, else one.
    void BuildDataPdus();
    bool BatchesPdus() const;
    // Send's take on an open stream path, with nothing unsent and m_out_buf empty: the PDUs go
    // into m_out_buf and their bytes into the window as handed over.
    void TakeIntoPdus(const uint8_t *data, int len);
    // Stream bytes of the current path, through m_rx: up to want bytes into dst, 0 when none
    // is waiting, negative on a path error.
    int RecvStream(uint8_t *dst, int want);
    bool RxEmpty() const { return m_rx_pos == m_rx_len; }
    // The buffers that exist only while in use (under m_lock). Empty ones are freed by the
    // one-second timer rather than at once, so that a busy connection does not allocate them
    // for every PDU.
    void ReserveOut();
    // quiet: nothing went out for a timer period.
    void ReleaseIdleBuffers(bool quiet);
    void DropRx() {
        m_rx_pos = m_rx_len = 0;
        m_rx_draining = false;
    }
    void BuildClosingPdu();
    void FinishHandshakeSend();
    void ReadAll();               // without m_lock
    // The reading thread's steps, under m_lock: each reads at most one handshake message or
    // PDU (or makes room in a full body) and collects what it tells; true: go on reading.
    bool ReadStep(CTpAftermath &after);
    bool ReadResumeRequest();
    bool ReadResumeResponse();
    bool ReadPdu(CTpAftermath &after);
    bool MakeBodyRoom(CTpAftermath &after);
    // Under m_lock, once the reading thread has told all: true when it is to read again.
    bool ReadAgain();
    bool GatherHandshake(int size);
    void Rewind(uint32_t ack);
    void DeliverDatagram(int len, const void *data);
    int HandlePdu(uint8_t type, CTpAftermath &after);  // under m_lock
    int HandleStreamBytes(CTpAftermath &after);        // under m_lock
    int ReadConnRecord(CTpAftermath &after);           // under m_lock
    void SetSockOpen();
    bool IsClient() const { return (m_flags & tp::kFlagClient) != 0; }

    // --- stream acknowledgement (tp_stream_ack.cpp), under m_lock --------------------------
    // Bytes Send may take now, beside the one take that a connection without acknowledgement
    // may always make.
    int SendRoom() const;
    // Without acknowledgement, what a new take of chunk bytes pushes out of the kept window.
    void DropOldestFor(int chunk);
    void SetWindow(int bytes);
    void OfferAcks();                 // a path opened: what this side says first
    void PeerAckOffer();              // the peer's empty kPduAckOffer
    void AcksUnknownAtRecord();       // the peer's connect record came without an offer or answer
    void BoundPathBuffers();          // the path is one of a peer without acknowledgement
    void NoteReceived(bool timer);    // after stream bytes arrived, or at a tick
    bool ReadAck();
    int HandleAck(uint32_t ack);
    bool AcksPdu(uint8_t type) const { return type == tp::kPduAck && m_ack_mode == tp::kAckOn; }
    // The closing PDU is out and the peer has yet to acknowledge the last bytes.
    bool AwaitsFinalAck() const;
    // The most that the peer can keep to send again.
    uint32_t PeerKeepMax() const;
    void BuildControlPdus();
    // Puts the report of what arrived unreported ahead of the data about to be taken, when
    // it fits in the room that the take leaves in m_out_buf.
    void AckAhead(int room);
    int Unsent() const { return qrn_cirwin_read_avail(m_send_win); }
    int Kept() const { return qrn_cirwin_write_size(m_send_win); }
    // Kept bytes already handed to the multi-mode connection: all the peer can have received.
    int HandedOver() const { return qrn_cirwin_read_size(m_send_win); }

    uint8_t m_state = tp::kStateIdle;
    uint8_t m_sock_state = tp::kSockNone;
    uint8_t m_flags = 0;
    uint8_t m_prev_state = tp::kStateIdle;
    uint8_t m_conn_mode = 0;
    bool m_races = false;        // a client that races its kinds of path
    bool m_path_events = false;  // the application wants QRN_TP_MSG_PATH
    bool m_path_lost = false;    // the open stream lost its path and has not resumed yet
    bool m_drop_path = false;    // the timer found the path stalled: give it up after the lock
    uint8_t m_lost_mode = 0;     // the kind of the path lost
    uint32_t m_ack_wait_tick = 0;  // since when the peer owes a report (or when it last gave one)
    const uint16_t m_conn_id;
    uint16_t m_close_reason = 0;
    uint32_t m_peer_buf_size = 0;
    uint32_t m_create_tick;
    uint32_t m_last_recv_tick;
    uint32_t m_last_send_tick;
    uint32_t m_close_tick = 0;  // when m_state became 4
    uint32_t m_peer_local_ip = 0;
    qrn_callback m_callback;
    uintptr_t m_user_data;
    int m_rdtp_handle = 0;
    uint32_t m_send_base = tp::kFirstSeq;
    uint32_t m_recv_next = tp::kFirstSeq;
    uint8_t m_ack_mode = tp::kAckUnknown;
    uint8_t m_ctl_due = 0;
    uint32_t m_acked_recv = tp::kFirstSeq;  // the last report sent
    int m_window = DefaultWindow();        // bytes kept unacknowledged at most, with kAckOn
    int m_recv_pdu_len = 0;                // body length of the PDU being read
    qrn_cirwin *m_send_win;
    bool m_app_closed = false;
    bool m_close_notice = false;  // the application wants QRN_TP_MSG_CLOSE_DONE
    bool m_close_handed = false;  // the closing PDU has been handed to the path
    qrn_callback m_notice_callback = nullptr;  // kept from the close for that one message
    uintptr_t m_notice_user_data = 0;
    bool m_post_write = false;  // a write event is due (a resume handshake ended in TrySendData)
    bool m_reading = false;     // a thread is reading
    bool m_read_again = false;  // another read event came meanwhile
    bool m_read_more = false;   // the last read stopped at its budget with bytes left
    uint32_t m_read_start = 0;  // m_recv_next when the reading thread's round began
    // The path of the last read event reports readable for as long as bytes are left in it
    // (TCP), and a short receive has emptied it since: the rest waits for its next report.
    bool m_path_reports = false;
    bool m_path_drained = false;
    int m_app_calls = 0;     // calls of the application's callback in progress
    std::condition_variable_any m_app_calls_done;
    int m_out_len = 0;
    int m_recv_hdr_len = 0;
    int m_recv_body_len = 0;
    int m_recv_body_remain = 0;
    // The buffers below exist only while in use, so that an idle connection costs little:
    // m_out_buf (kOutBufSize bytes) for outgoing PDUs, m_recv_body (kRecvBodySize) for PDU
    // bodies being gathered, m_rx (kReadBatch) for what one receive took.
    std::unique_ptr<uint8_t[]> m_out_store;
    uint8_t *m_out_buf = nullptr;
    std::unique_ptr<uint8_t[]> m_recv_body_store;
    uint8_t *m_recv_body = nullptr;
    // Bytes received from the path and not yet framed: [m_rx_pos, m_rx_len) of m_rx. They
    // belong to the path they came from and go with it.
    std::unique_ptr<uint8_t[]> m_rx;
    int m_rx_pos = 0;
    int m_rx_len = 0;
    bool m_rx_draining = false;  // the path is gone; what it left in m_rx is still read
    uint8_t m_recv_hdr[tp::kRecvHdrSize];
    mutable CQrnLock m_lock;
};

#endif
