// CTpConnection: life, the connect exchange, closing, options and the one-second timer.
#include "transport/tp_connection.h"

#include <algorithm>
#include <atomic>
#include <memory>

#include "qrn/qrn_tp.h"
#include "qrnlibl/qrn_time.h"
#include "qrnlibl/qrn_trace.h"
#include "rdtp/rdtp.h"
#include "rdtp/rdtp_defs.h"
#include "socket/sockcli.h"
#include "transport/tp_debug.h"
#include "transport/tp_registry.h"

using namespace tp;

namespace {

// The application calls that this thread is inside, innermost first (one frame per call, on
// the calling thread's stack).
struct CAppCallFrame {
    const CTpConnection *conn;
    CAppCallFrame *outer;
};
thread_local CAppCallFrame *t_app_calls = nullptr;

// The connection's lock as the standard wait takes it.
struct CLockable {
    CQrnLock &held;
    void lock() { held.Lock(); }
    void unlock() { held.Unlock(); }
};

std::atomic<int> g_live_connections{0};

uint32_t ClampBufferSize(uint32_t bytes) {
    return std::min(std::max(bytes, kBufferSizeMin), kBufferSizeMax);
}

}  // namespace

// The timer's now was taken before the tick ran, so a tick that an event stored meanwhile may
// be later than it: that is no time at all, not 49 days.
uint32_t tp_elapsed(uint32_t since, uint32_t now) {
    const int32_t d = calc_dword_distance(since, now);
    return d > 0 ? static_cast<uint32_t>(d) : 0;
}

CTpConnection::CTpConnection(int conn_id, qrn_callback callback, uintptr_t user_data)
    : m_conn_id(static_cast<uint16_t>(conn_id)),
      m_create_tick(get_tick_count()),
      m_last_recv_tick(m_create_tick),
      m_last_send_tick(m_create_tick),
      m_callback(callback),
      m_user_data(user_data),
      m_send_win(qrn_cirwin_create(kSendKeepMax + kMaxRecordSize)),
      m_recv_hdr() {
    SetLock(&m_lock);
    g_live_connections.fetch_add(1, std::memory_order_relaxed);
    qrn_trace_text("CTpConnection::CTpConnection(), conn_id=", conn_id);
}

CTpConnection::~CTpConnection() {
    qrn_trace_text("CTpConnection:~CTpConnection(), conn_id=", int{m_conn_id});
    tp_registry_forget(this);
    if (m_rdtp_handle != 0) qrn_rdtp_close(m_rdtp_handle);
    qrn_cirwin_destroy(m_send_win);
    g_live_connections.fetch_sub(1, std::memory_order_relaxed);
}

int tp_debug::live_connections() { return g_live_connections.load(std::memory_order_relaxed); }

int CTpConnection::DebugWindowStorage() const {
    CQrnFuncLock guard(m_lock);
    return qrn_cirwin_storage(m_send_win);
}

int tp_debug::window_storage(int handle) {
    CQrnRefHolder<CTpConnection> conn(GetTpConn(static_cast<uintptr_t>(handle)));
    return conn ? conn->DebugWindowStorage() : -1;
}

bool CTpConnection::TakesEvent(int rdtp_handle) const {
    CQrnFuncLock guard(m_lock);
    return m_state != kStateIdle && rdtp_handle != 0 && rdtp_handle == m_rdtp_handle;
}

bool CTpConnection::IsAppClosed() const {
    CQrnFuncLock guard(m_lock);
    return m_app_closed;
}

// --- application calls -------------------------------------------------------------------

int CTpConnection::Connect(const char *server_ip, int udp_port, int tcpip_port, int http_port,
                           const char *udp_proxy_ip, int udp_proxy_port, uint32_t buffer_size,
                           int data_len, const void *data) {
    QRN_TRACE_FUNC("CTpConnection::Connect");
    int handle = 0;
    {
        // Held across the multi-mode connect: an event that races its return waits until the
        // handle is known, instead of being dropped as someone else's.
        CQrnFuncLock guard(m_lock);
        buffer_size = ClampBufferSize(buffer_size);
        m_state = kStateConnecting;
        m_flags = kFlagClient;
        m_peer_buf_size = buffer_size / kBufferUnit * kBufferUnit;
        const uint32_t local_ip =
            VSOCK::get_local_ip(VSOCK::get_address_ip(VSOCK::resolve_address(server_ip, 0)));
        if (WritePduConnReq(m_send_win, MakeConnReq(buffer_size, local_ip, data_len, data)) > 0) {
            handle = qrn_rdtp_connect(server_ip, udp_port, tcpip_port, http_port, udp_proxy_ip,
                                      udp_proxy_port, &qrn_tp_callback, m_conn_id);
        }
        m_races = rdtp_ports_race(udp_port, tcpip_port, http_port);
        m_rdtp_handle = handle;
        if (handle == 0) m_state = kStateIdle;
    }
    if (handle == 0) tp_registry_remove(this);
    return handle;
}

int CTpConnection::Accept(int result, uint32_t buffer_size, int data_len, const void *data) {
    QRN_TRACE_FUNC("CTpConnection::Accept");
    int r;
    {
        CQrnFuncLock guard(m_lock);
        r = AcceptLocked(result, buffer_size, data_len, data);
    }
    Settle();
    return r;
}

int CTpConnection::AcceptLocked(int result, uint32_t buffer_size, int data_len, const void *data) {
    if (IsClient()) QRN_TRACE_ERROR("accept on the client side, conn_id=", int{m_conn_id});
    if (Kept() != 0) QRN_TRACE_ERROR("stream not empty at accept, kept=", Kept());
    if (m_state != kStateAwaitingAccept) {
        QRN_TRACE_ERROR("accept in state", int{m_state});
        return QRN_TP_ERR_INVALID;
    }
    const uint16_t code = static_cast<uint16_t>(result);
    CTpConnResp response;
    if (code == kConnAccepted) {
        if (data_len < 0 || data_len > kMaxConnectData || (data_len > 0 && data == nullptr)) {
            QRN_TRACE_ERROR("bad connect data, data_len=", data_len);
            return QRN_TP_ERR_INVALID;
        }
        response = MakeConnAccept(ClampBufferSize(buffer_size), data_len, data);
        m_state = kStateOpen;
        m_last_send_tick = m_last_recv_tick = get_tick_count();
    } else {
        response = MakeConnRefusal(code);
        m_state = kStateClosing;
        m_close_tick = get_tick_count();
    }
    WritePduConnResp(m_send_win, response);
    TrySendData();
    return QRN_TP_OK;
}

void CTpConnection::Close(int reason) {
    QRN_TRACE_FUNC("CTpConnection::Close");
    bool release = false;
    {
        CQrnFuncLock guard(m_lock);
        if (m_app_closed) return;
        m_app_closed = true;
        if (m_close_notice) {
            m_notice_callback = m_callback;
            m_notice_user_data = m_user_data;
        }
        m_callback = nullptr;
    }
    WaitForOtherAppCalls();
    {
        CQrnFuncLock guard(m_lock);
        if (m_state == kStateOpen || m_state == kStateAwaitingAccept) {
            m_state = kStateClosing;
            m_close_reason = static_cast<uint16_t>(reason == QRN_TP_CLOSE_NORMAL ? QRN_TP_CLOSE_DISCONNECT
                                                                                 : reason);
            m_close_tick = get_tick_count();
            TrySendData();
        } else {
            // Nothing to tell the peer: the destructor closes the multi-mode connection.
            m_state = kStateIdle;
            release = true;
        }
    }
    if (release) {
        qrn_callback notice;
        uintptr_t notice_user_data;
        {
            CQrnFuncLock guard(m_lock);
            notice = m_notice_callback;
            notice_user_data = m_notice_user_data;
            m_notice_callback = nullptr;
        }
        tp_registry_remove(this);
        NoticeClose(notice, notice_user_data, 0);
    }
    Settle();
}

void CTpConnection::Option(int option, uintptr_t value) {
    int rdtp_handle;
    {
        CQrnFuncLock guard(m_lock);
        switch (option) {
        case QRN_TP_OPT_PEER_LOCAL_IP:
            if (value == 0) {
                QRN_TRACE_ERROR("option 8 without an address to write, conn_id=", int{m_conn_id});
            } else {
                *reinterpret_cast<uint32_t *>(value) = m_peer_local_ip;
            }
            return;
        case QRN_TP_OPT_CLOSE_NOTICE: m_close_notice = value != 0; return;
        case QRN_TP_OPT_PATH_EVENTS: m_path_events = value != 0; return;
        case rdtp::kOptDropPath:
            // The timer's to give, not the application's.
            QRN_TRACE_ERROR("unknown option", option);
            return;
        case QRN_TP_OPT_STREAM_WINDOW: SetWindow(static_cast<int>(std::min<uintptr_t>(value, kStreamWindowMax))); return;
        case QRN_TP_OPT_STREAM_ACKS:
            if (value != 0) *reinterpret_cast<int *>(value) = m_ack_mode == kAckOn ? 1 : 0;
            return;
        case QRN_TP_OPT_CALLBACK: m_callback = reinterpret_cast<qrn_callback>(value); return;
        case QRN_TP_OPT_USER_DATA: m_user_data = value; return;
        default: rdtp_handle = m_rdtp_handle; break;
        }
    }
    if (rdtp_handle != 0) qrn_rdtp_option(rdtp_handle, option, value);
}

// --- closing -----------------------------------------------------------------------------

void CTpConnection::SockClose(int reason) {
    qrn_trace_event(kTraceModule, kTraceSockClose, int{m_conn_id}, reason);
    // A finished connection stays finished: its end has been reported already.
    if (m_state == kStateClosed || m_state == kStateIdle) return;
    m_prev_state = m_state;
    m_state = kStateClosed;
    m_close_reason = static_cast<uint16_t>(reason);
}

// Reached from the timer and from events on other threads alike: only the caller that moves
// the state from 5 to 0 releases the table's reference and reports the end.
void CTpConnection::SockClose2() {
    uint8_t prev_state;
    bool client;
    int reason;
    qrn_callback notice;
    uintptr_t notice_user_data;
    int notice_path = 0;
    int closed_path = 0;
    {
        CQrnFuncLock guard(m_lock);
        if (m_state != kStateClosed) return;
        prev_state = m_prev_state;
        client = IsClient();
        reason = m_close_reason;
        m_state = kStateIdle;
        notice = m_notice_callback;
        notice_user_data = m_notice_user_data;
        m_notice_callback = nullptr;
        if (notice != nullptr && m_close_handed) {
            notice_path = m_rdtp_handle;
        } else {
            closed_path = m_rdtp_handle;
        }
        m_rdtp_handle = 0;
    }
    tp_registry_remove(this);
    // Closed before the application hears of the end, which may end the process: the path
    // still acknowledges what the peer sent and tells the peer of the close.
    if (closed_path != 0) qrn_rdtp_close(closed_path);
    NoticeClose(notice, notice_user_data, notice_path);
    if (prev_state < kStateOpen && client) {
        CallApp(QRN_TP_MSG_CONNECT_RESULT, static_cast<uintptr_t>(reason), 0, 0);
    } else if (prev_state == kStateOpen) {
        CallApp(QRN_TP_MSG_CLOSED, static_cast<uintptr_t>(reason), 0, 0);
    }
}

void CTpConnection::Settle() {
    bool post_write;
    bool finish;
    {
        CQrnFuncLock guard(m_lock);
        post_write = m_post_write && m_state != kStateIdle;
        m_post_write = false;
        finish = m_app_closed && m_state == kStateClosed;
    }
    if (post_write) {
        OnWrite(0);  // settles again at its end
    } else if (finish) {
        SockClose2();
    }
}

// --- the close notice --------------------------------------------------------------------

namespace {

// What the close notice needs once the connection is gone; the lower layer's notice owns it.
struct CTpCloseNotice {
    qrn_callback callback;
    uintptr_t user_data;
    int conn_id;
};

void DeliverCloseNotice(const CTpCloseNotice &notice, bool delivered) {
    const uintptr_t result = delivered ? QRN_TP_CLOSE_DELIVERED : QRN_TP_REASON_PATH_FAILED;
    qrn_trace_event(kTraceModule, kTraceAppCallback, static_cast<unsigned long long>(notice.user_data),
                    QRN_TP_MSG_CLOSE_DONE, notice.conn_id, static_cast<unsigned long long>(result), 0ULL);
    notice.callback(notice.user_data, QRN_TP_MSG_CLOSE_DONE, static_cast<uintptr_t>(notice.conn_id), result, 0, 0);
}

// The multi-mode layer's notice: the path's last byte and close reached the peer (p1 0), or not.
int OnPathCloseDone(uintptr_t context, int, uintptr_t, uintptr_t p1, uintptr_t, uintptr_t) {
    std::unique_ptr<CTpCloseNotice> notice(reinterpret_cast<CTpCloseNotice *>(context));
    DeliverCloseNotice(*notice, p1 == rdtp::kCloseDoneDelivered);
    return 0;
}

}  // namespace

void CTpConnection::NoticeClose(qrn_callback callback, uintptr_t user_data, int rdtp_handle) {
    if (callback == nullptr) return;
    std::unique_ptr<CTpCloseNotice> notice(new CTpCloseNotice{callback, user_data, m_conn_id});
    if (rdtp_handle == 0) {
        DeliverCloseNotice(*notice, false);
        return;
    }
    const int r = qrn_rdtp_close_notify(rdtp_handle, &OnPathCloseDone, reinterpret_cast<uintptr_t>(notice.get()));
    if (r == rdtp::kCloseNoticeToCome) {
        notice.release();  // OnPathCloseDone's now
        return;
    }
    DeliverCloseNotice(*notice, r == rdtp::kCloseNoNotice);
}

// --- the application's callback ----------------------------------------------------------

void CTpConnection::CallApp(int msg, uintptr_t p1, uintptr_t p2, uintptr_t p3) {
    qrn_callback callback;
    uintptr_t user_data;
    {
        CQrnFuncLock guard(m_lock);
        if (m_callback == nullptr) return;
        callback = m_callback;
        user_data = m_user_data;
        ++m_app_calls;
    }
    qrn_trace_event(kTraceModule, kTraceAppCallback, static_cast<unsigned long long>(user_data), msg,
                    int{m_conn_id}, static_cast<unsigned long long>(p1), static_cast<unsigned long long>(p2));
    CAppCallFrame frame{this, t_app_calls};
    t_app_calls = &frame;
    callback(user_data, msg, m_conn_id, p1, p2, p3);
    t_app_calls = frame.outer;
    CQrnFuncLock guard(m_lock);
    if (--m_app_calls == 0) m_app_calls_done.notify_all();
}

// After Close the application may free what its callback uses, so a call that another
// thread has begun must be over before Close returns. A Close made from inside a callback does
// not wait: two callbacks on two threads closing each other's connections would wait for each
// other for ever.
void CTpConnection::WaitForOtherAppCalls() {
    if (t_app_calls != nullptr) return;
    CLockable lockable{m_lock};
    CQrnFuncLock guard(m_lock);  // at depth one: the wait lets go of it
    m_app_calls_done.wait(lockable, [&] { return m_app_calls == 0; });
}

void CTpConnection::Tell(const CTpAftermath &after) {
    const CQrnNotes &notes = after.notes();
    for (int i = 0; i < notes.count(); ++i) {
        const CQrnNotes::Note &note = notes.note(i);
        CallApp(note.msg, note.p1, note.p2, note.p3);
    }
    if (after.write()) OnWrite(0);
    if (after.finish()) SockClose2();
}

// --- the connect records -----------------------------------------------------------------

int CTpConnection::HandlePduConnReq(const CTpConnReq &request, CTpAftermath &after) {
    if (IsClient() || m_state != kStateConnecting) {
        QRN_TRACE_ERROR("connect request unexpected, (flags, state)=", int{m_flags}, int{m_state});
        return -1;
    }
    m_state = kStateAwaitingAccept;
    if (!ConnReqVersionOk(request)) {
        QRN_TRACE_ERROR("wrong version, (version1, version2)=", unsigned{request.version1},
                        unsigned{request.version2});
        AcceptLocked(kConnRefusedVersion, 0, 0, nullptr);
        return -1;
    }
    m_peer_buf_size = uint32_t{request.buffer_size} * kBufferUnit;
    m_peer_local_ip = request.local_ip;
    after.TellCopy(QRN_TP_MSG_CONNECT_REQUEST, m_peer_buf_size, request.data, request.data_len);
    return 0;
}

int CTpConnection::HandlePduConnResp(const CTpConnResp &response, CTpAftermath &after) {
    if (!IsClient() || m_state != kStateConnecting) {
        QRN_TRACE_ERROR("connect response unexpected, (flags, state)=", int{m_flags}, int{m_state});
        return -1;
    }
    if (response.result != kConnAccepted) {
        qrn_trace_text("qrn_tp_handle_pdu_conn_resp, rejected, (conn_id, result)=", int{m_conn_id},
                       unsigned{response.result});
        SockClose(response.result);
        return 0;
    }
    m_peer_buf_size = uint32_t{response.buffer_size} * kBufferUnit;
    m_state = kStateOpen;
    m_last_send_tick = m_last_recv_tick = get_tick_count();
    after.TellCopy(QRN_TP_MSG_CONNECT_RESULT, QRN_TP_CONNECT_ACCEPTED, response.data, response.data_len);
    return 0;
}

// --- multi-mode events of the connection's life ------------------------------------------

void CTpConnection::OnConnect(int rdtp_handle) {
    CQrnFuncLock guard(m_lock);
    m_rdtp_handle = rdtp_handle;
    m_state = kStateConnecting;
    m_sock_state = kSockWanted;
    // The multi-mode connection's further events carry the transport handle.
    qrn_rdtp_option(rdtp_handle, rdtp::kOptUserData, m_conn_id);
}

void CTpConnection::OnConfirm(int result) {
    {
        CQrnFuncLock guard(m_lock);
        if (result == static_cast<int>(rdtp::kConfirmOk)) {
            if (!IsClient() || m_state != kStateConnecting || m_sock_state != kSockNone) {
                QRN_TRACE_ERROR("confirm unexpected, (flags, state, sock_state)=", int{m_flags}, int{m_state},
                                int{m_sock_state});
            }
            m_sock_state = kSockWanted;
            uint8_t mode = m_conn_mode;
            qrn_rdtp_option(m_rdtp_handle, rdtp::kOptConnMode, reinterpret_cast<uintptr_t>(&mode));
            m_conn_mode = mode;
        } else {
            m_rdtp_handle = 0;  // that connection no longer exists
            qrn_trace_text("OnConfirm failed. (conn_id, result)=", int{m_conn_id}, result);
            SockClose(QRN_TP_REASON_PATH_FAILED);
        }
    }
    Settle();
}

void CTpConnection::OnClose() {
    {
        CQrnFuncLock guard(m_lock);
        qrn_trace_text("CTpConnect::OnClose, receive close event. conn_id=", int{m_conn_id});
        m_rdtp_handle = 0;
        SockClose(QRN_TP_REASON_PATH_FAILED);
    }
    Settle();
}

// --- the timer ---------------------------------------------------------------------------

void CTpConnection::OnTimer(uint32_t now) {
    bool finish = false;
    bool read_more;
    int drop_path = 0;
    {
        CQrnFuncLock guard(m_lock);
        if (m_state == kStateIdle) return;
        read_more = m_read_more;
        if (read_more) m_path_reports = m_path_drained = false;
        ReleaseIdleBuffers(tp_elapsed(m_last_send_tick, now) >= kTimerPeriodMs);
        if (m_app_closed) {
            // Closing ends once the closing PDU is out (TrySendData), the path is gone, or
            // the linger time has passed; never later.
            if (m_state == kStateClosing && tp_elapsed(m_close_tick, now) > kCloseLingerMs) {
                SockClose(m_close_reason);
            }
            finish = m_state == kStateClosed;
        } else {
            finish = TimerStep(now);
            if (m_drop_path && !finish) drop_path = m_rdtp_handle;
            m_drop_path = false;
        }
    }
    // Its loss comes back as message 8, which takes m_lock.
    if (drop_path != 0) qrn_rdtp_option(drop_path, rdtp::kOptDropPath, 0);
    if (finish) {
        SockClose2();
    } else if (read_more) {
        ReadAll();  // for a path that reports bytes only once
    }
}

bool CTpConnection::TimerStep(uint32_t now) {
    switch (m_state) {
    case kStateConnecting:
    case kStateAwaitingAccept:
        if (tp_elapsed(m_create_tick, now) > kConnectTimeoutMs) {
            qrn_trace_text("OnTimer, time out during connecting. conn_id=", int{m_conn_id});
            SockClose(QRN_TP_REASON_PATH_FAILED);  // reported at the next tick
        }
        return false;
    case kStateOpen:
        m_drop_path = PathStalled(now);
        if (tp_elapsed(m_last_recv_tick, now) > kRecvTimeoutMs) {
            qrn_trace_text("OnTimer, time out in open state. conn_id=", int{m_conn_id});
            SockClose(QRN_TP_REASON_PATH_FAILED);
            return true;
        }
        NoteReceived(true);
        KeepAlive(now);
        return false;
    case kStateClosing:
        // A refusal whose closing PDU is stuck half-way, or that found no path for too long, or
        // whose last bytes the peer has not acknowledged for as long.
        if ((m_sock_state != kSockClosingPdu || AwaitsFinalAck()) && tp_elapsed(m_close_tick, now) <= kCloseLingerMs) {
            return false;
        }
        qrn_trace_text("CTpConnection::OnTimer, close connection, conn_id=", int{m_conn_id});
        SockClose(m_close_reason);
        return true;
    case kStateClosed:
        qrn_trace_text("CTpConnection::OnTimer, close connection, conn_id=", int{m_conn_id});
        return true;
    default:
        return false;
    }
}

// A keep-alive goes out only on a path whose handshake is complete, like every PDU.
void CTpConnection::KeepAlive(uint32_t now) {
    if (tp_elapsed(m_last_send_tick, now) <= kKeepAliveMs) return;
    if (m_out_len != 0 || Unsent() != 0 || m_sock_state != kSockOpen) return;
    ReserveOut();
    WritePduHeader(m_out_buf, kOutBufSize, 0, kPduData);
    m_out_len = kPduHeaderSize;
    m_last_send_tick = now;
    TrySendData();
}
