// CRdtpConnection: construction, the client's attempts, the path choice, options, and every
// lower-layer event but the read event (rdtp_connection_read.cpp).
#include "rdtp/rdtp_connection.h"

#include <string.h>

#include "qrnlibl/qrn_time.h"
#include "qrnlibl/qrn_trace.h"
#include "rdhttp/rdhttpc.h"
#include "rdtp/rdtp_connect_errors.h"
#include "rdtp/rdtp.h"
#include "rdtp/rdtp_module.h"
#include "socket/sock_defs.h"
#include "socket/sockcli.h"
#include "udprlb/udprlb.h"

using namespace rdtp;

namespace {

std::atomic<int> g_live_objects{0};

template <class T>
void write_value(uintptr_t value, T v) {
    memcpy(reinterpret_cast<void *>(value), &v, sizeof(v));
}

}  // namespace

CRdtpConnection::CRdtpConnection(int handle, qrn_callback callback, uintptr_t user_data)
    : m_local_handle(handle), m_callback(callback), m_user_data(user_data), m_last_tick(get_tick_count()) {
    SetLock(&m_lock);
    g_live_objects.fetch_add(1, std::memory_order_relaxed);
    qrn_trace_text("CRdtpConnection::CRdtpConnection()", static_cast<const void *>(this), handle);
}

CRdtpConnection::~CRdtpConnection() {
    qrn_trace_text("CRdtpConnection::~CRdtpConnection()", static_cast<const void *>(this), m_local_handle);
    // The last reference is gone: no other thread can reach the fields any more.
    if (m_udp_handle != 0) rdtp_close_lower(kFromUdp, m_udp_handle);
    if (m_tcp_handle != 0) rdtp_close_lower(kFromTcp, m_tcp_handle);
    if (m_http_handle != 0) rdtp_close_lower(kFromHttp, m_http_handle);
    if (m_pending_tcp) rdtp_pending_remove(this);
    VSOCK::delete_address(m_tcp_addr);
    g_live_objects.fetch_sub(1, std::memory_order_relaxed);
}

int CRdtpConnection::TakeUdpPath(bool any_mode, bool *delivered) {
    CQrnFuncLock guard(m_lock);
    *delivered = m_all_acknowledged;
    if (!any_mode && m_conn_mode != kModeUdp) return 0;
    const int handle = m_udp_handle;
    m_udp_handle = 0;
    return handle;
}

int CRdtpConnection::TakeTunnelPath(bool *tunnel) {
    CQrnFuncLock guard(m_lock);
    *tunnel = m_conn_mode == kModeHttp;
    if (!*tunnel) return 0;
    const int handle = m_http_handle;
    m_http_handle = 0;
    return handle;
}

int CRdtpConnection::LiveObjects() { return g_live_objects.load(std::memory_order_relaxed); }

// --- helpers (m_lock held) -------------------------------------------------------------------

bool CRdtpConnection::Detach() {
    EndPendingTcp();
    if (m_detached) return false;
    m_detached = true;
    return true;
}

void CRdtpConnection::EndPendingTcp() {
    if (!m_pending_tcp) return;
    m_pending_tcp = false;
    rdtp_pending_remove(this);
}

void CRdtpConnection::SetState(uint8_t state) {
    m_state = state;
    qrn_trace_text("CRdtpConnection::SetState, set state to ", static_cast<int>(state), ", handle=", m_local_handle);
}

int *CRdtpConnection::PathSlot(int from) {
    switch (from) {
    case kFromUdp:
        return &m_udp_handle;
    case kFromTcp:
        return &m_tcp_handle;
    case kFromHttp:
        return &m_http_handle;
    default:
        return nullptr;
    }
}

// An event of a path that this connection no longer holds (closed, replaced or handed over)
// must not change it.
bool CRdtpConnection::IsCurrentPath(int from, int handle) {
    const int *slot = PathSlot(from);
    if (slot != nullptr && *slot != 0 && *slot == handle) return true;
    QRN_TRACE_ERROR("event of a path not held, (from, handle, local_handle)=", from, handle, m_local_handle);
    return false;
}

void CRdtpConnection::ClosePath(int from) {
    int *slot = PathSlot(from);
    if (slot == nullptr || *slot == 0) return;
    rdtp_close_lower(from, *slot);
    *slot = 0;
}

void CRdtpConnection::CloseAllPaths() {
    ClosePath(kFromUdp);
    ClosePath(kFromTcp);
    ClosePath(kFromHttp);
}

// Makes handle this connection's path of kind from, with its events pointed at this handle.
void CRdtpConnection::TakePath(int from, int handle, bool set_callback) {
    int *slot = PathSlot(from);
    if (slot == nullptr) {
        QRN_TRACE_ERROR("unknown from", from);
        rdtp_close_lower(from, handle);
        return;
    }
    if (*slot != 0 && *slot != handle) ClosePath(from);
    *slot = handle;
    const uintptr_t me = static_cast<uintptr_t>(m_local_handle);
    switch (from) {
    case kFromUdp:
        qrn_udprlb_option(handle, kLowerOptUserData, me);
        break;
    case kFromTcp:
        if (set_callback) {
            VSOCK::setsockopt(handle, sock::kOptCallback, reinterpret_cast<uintptr_t>(&qrn_rdtp_tcp_callback),
                              sizeof(uintptr_t));
        }
        VSOCK::setsockopt(handle, sock::kOptCallbackCtx, me, sizeof(uintptr_t));
        break;
    default:
        qrn_rdhttp_option(handle, kLowerOptUserData, me);
        break;
    }
}

int CRdtpConnection::ConnectUdp() {
    return qrn_udprlb_connect(m_server_ip.c_str(), m_udp_port, m_udp_proxy_ip.c_str(), m_udp_proxy_port,
                              &qrn_rdtp_udp_callback, static_cast<uintptr_t>(m_local_handle));
}

// The path that data with these flags takes: ordinary data on TCP (modes 1 and 3), flagged
// data on reliable UDP (modes 0 and 3).
int CRdtpConnection::DataPath(int flags) const {
    switch (m_conn_mode) {
    case kModeUdp:
        return kFromUdp;
    case kModeTcp:
        return kFromTcp;
    case kModeHttp:
        return kFromHttp;
    case kModeTcpUdp:
        return flags == kPlainFlags ? kFromTcp : kFromUdp;
    default:
        return kNoPath;
    }
}

int CRdtpConnection::SendOn(int from, const void *buffer, int length, int flags) {
    switch (from) {
    case kFromUdp:
        return m_udp_handle != 0 ? qrn_udprlb_send(m_udp_handle, buffer, length, flags) : kErrNoPath;
    case kFromTcp:
        return m_tcp_handle != 0 ? VSOCK::send(m_tcp_handle, buffer, length, kPlainFlags) : kErrNoPath;
    case kFromHttp:
        return m_http_handle != 0 ? qrn_rdhttp_send(m_http_handle, buffer, length) : kErrNoPath;
    default:
        return kErrNoPath;
    }
}

int CRdtpConnection::RecvOn(int from, void *buffer, int length, int flags) {
    switch (from) {
    case kFromUdp:
        return m_udp_handle != 0 ? qrn_udprlb_recv(m_udp_handle, buffer, length, flags) : kErrNoPath;
    case kFromTcp:
        return m_tcp_handle != 0 ? VSOCK::recv(m_tcp_handle, buffer, length, kPlainFlags) : kErrNoPath;
    case kFromHttp:
        return m_http_handle != 0 ? qrn_rdhttp_recv(m_http_handle, buffer, length) : kErrNoPath;
    default:
        return kErrNoPath;
    }
}

// --- the client's attempts -------------------------------------------------------------------

int CRdtpConnection::Connect(const char *server_ip, int udp_port, int tcpip_port, int http_port,
                             const char *udp_proxy_ip, int udp_proxy_port) {
    QRN_TRACE_FUNC("CRdtpConnection::Connnect");
    CQrnFuncLock guard(m_lock);
    m_server_ip = server_ip;
    m_udp_port = static_cast<uint16_t>(udp_port);
    m_tcpip_port = static_cast<uint16_t>(tcpip_port);
    m_http_port = static_cast<uint16_t>(http_port);
    m_udp_proxy_ip = udp_proxy_ip;
    m_udp_proxy_port = static_cast<uint16_t>(udp_proxy_port);

    const bool udp = m_udp_port != 0;
    const bool tcp = m_tcpip_port != 0;
    const bool http = m_http_port != 0;
    if (rdtp_ports_race(m_udp_port, m_tcpip_port, m_http_port)) {
        m_race = true;
        m_race_stagger = rdtp_race_stagger();
        if (udp) m_race_kinds[m_race_count++] = kModeUdp;
        if (tcp) m_race_kinds[m_race_count++] = kModeTcp;
        m_race_kinds[m_race_count++] = kModeHttp;
        m_conn_mode = m_race_kinds[0];
    } else if (udp && tcp) {
        m_conn_mode = kModeTcpUdp;
    } else if (udp) {
        m_conn_mode = kModeUdp;
    } else if (tcp) {
        m_conn_mode = kModeTcp;
    } else if (http) {
        m_conn_mode = kModeHttp;
    } else {
        qrn_trace_text("do not support this mode, (udp_port, tcpip_port, http_port)=", m_udp_port, m_tcpip_port,
                       m_http_port);
        return kConnectUnsupported;
    }
    if (tcp) m_tcp_addr = VSOCK::copy_address(VSOCK::resolve_address(server_ip, m_tcpip_port));
    rdtp_connect_errors().Forget(m_user_data);
    return TryConnect();
}

int CRdtpConnection::TryConnect() {
    QRN_TRACE_FUNC("CRdtpConnection::TryConnnect");
    CQrnFuncLock guard(m_lock);
    qrn_trace_text("CRdtpConnection::TryConnect, local_handle=", m_local_handle);
    if (m_race) return StartRace();
    switch (m_conn_mode) {
    case kModeUdp:
        SetState(kStateUdpConnecting);
        if (StartPath(kFromUdp)) return kConnectStarted;
        break;
    case kModeTcp:
    case kModeTcpUdp:
        SetState(kStateTcpConnecting);
        if (m_conn_mode == kModeTcpUdp) ClosePath(kFromUdp);
        if (StartPath(kFromTcp)) return kConnectStarted;
        if (m_conn_mode == kModeTcpUdp) {
            m_conn_mode = kModeUdp;
            return TryConnect();
        }
        break;
    case kModeHttp:
        SetState(kStateHttpConnecting);
        if (StartPath(kFromHttp)) return kConnectStarted;
        break;
    default:
        QRN_TRACE_ERROR("unknown mode", static_cast<int>(m_conn_mode));
        break;
    }
    return kConnectFailed;
}

bool CRdtpConnection::StartPath(int from) {
    ClosePath(from);
    switch (from) {
    case kFromUdp:
        m_udp_handle = ConnectUdp();
        return m_udp_handle != 0;
    case kFromTcp:
        return StartTcp();
    case kFromHttp:
        m_http_handle = qrn_rdhttp_connect(m_server_ip.c_str(), m_http_port, &qrn_rdtp_http_callback,
                                           static_cast<uintptr_t>(m_local_handle));
        return m_http_handle != 0;
    default:
        return false;
    }
}

bool CRdtpConnection::StartTcp() {
    m_tcp_handle = VSOCK::socket(sock::kTypeTcp, &qrn_rdtp_tcp_callback, static_cast<uintptr_t>(m_local_handle));
    if (m_tcp_handle > 0 && VSOCK::connect(m_tcp_handle, m_tcp_addr) == 0) return true;
    if (m_tcp_handle < 0) m_tcp_handle = 0;
    if (m_tcp_handle != 0) KeepConnectError();
    // A socket whose connect did not start delivers nothing: it would only be kept.
    ClosePath(kFromTcp);
    return false;
}

void CRdtpConnection::OnConfirm(int from, int handle, int result, const char *cause) {
    QRN_TRACE_FUNC("CRdtpConnection::OnConfirm");
    CRdtpAftermath after;
    {
        CQrnFuncLock guard(m_lock);
        if (Inactive() || !IsCurrentPath(from, handle)) return;
        if (result != 0) {
            if (cause != nullptr && *cause != '\0') m_connect_error = cause;
            FailConfirm(from, after);
        } else if (m_conn_mode == kModeTcpUdp && m_state == kStateUdpJoining) {
            SendConnectRequestPdu(kFromUdp);
            SetState(kStateUdpRequestSent);
            m_pdu_len = 0;
        } else {
            if (m_state == kStateRacing) WinRace(from);
            m_last_tick = get_tick_count();
            SendConnectRequestPdu(DataPath(kPlainFlags));
            SetState(kStateRequestSent);
            m_pdu_len = 0;
            // A first connect whose path broke before the answer comes here again: once is enough.
            if (m_serv_tag == 0 && !m_bReconnecting) after.Post(kMsgConfirm, kConfirmOk);
        }
    }
    Finish(after);
}

// A TCP connect that did not start: its socket still knows why.
void CRdtpConnection::KeepConnectError() {
    char cause[kConnectErrorMax] = {};
    VSOCK::getsockopt(m_tcp_handle, sock::kOptConnectError, cause, sizeof(cause));
    if (cause[0] != '\0') m_connect_error = cause;
}

// A connect attempt failed; the lower layer has already discarded its handle.
void CRdtpConnection::FailConfirm(int from, CRdtpAftermath &after) {
    *PathSlot(from) = 0;
    if (m_state == kStateRacing) {
        // The next kind need not wait for its turn; the race is lost only with no path left.
        if (StartNextKind() || HasPath()) return;
        LoseRace(after);
        return;
    }
    if (m_conn_mode == kModeTcpUdp && m_state == kStateTcpConnecting) {
        ClosePath(kFromUdp);
        // A reconnecting combined client keeps to TCP: its attempts go on below.
        if (!m_bReconnecting) {
            m_conn_mode = kModeUdp;
            SetState(kStateUdpConnecting);
            m_udp_handle = ConnectUdp();
            if (m_udp_handle != 0) return;
        }
    } else if (m_conn_mode == kModeTcpUdp && m_state == kStateUdpJoining) {
        // Going on without UDP: the request again, on TCP with mode 1, tells the server so.
        m_conn_mode = kModeTcp;
        SendConnectRequestPdu(DataPath(kPlainFlags));
        SetState(kStateEstablished);
        after.Post(kMsgConfirm2);
        return;
    }
    if (!HasPath() && !m_bReconnecting) {
        FailFirstConnect(after);
        return;
    }
    LosePath(from, after);
}

// No path of a first connect got through: the handle goes, its cause kept for the caller.
void CRdtpConnection::FailFirstConnect(CRdtpAftermath &after) {
    rdtp_connect_errors().Record(m_user_data, m_connect_error.c_str());
    Detach();
    after.Remove();
    after.Post(kMsgConfirm, kConfirmFailed);
}

// --- server: an accepted path ----------------------------------------------------------------

void CRdtpConnection::OnConnect(int from, int handle) {
    QRN_TRACE_FUNC("CRdtpConnection::OnConnect");
    CQrnFuncLock guard(m_lock);
    qrn_trace_text("CRdtpConnection::OnConnect, (from, handle)=", from, handle);
    if (PathSlot(from) == nullptr) {
        QRN_TRACE_ERROR("unknown from", from);
        rdtp_close_lower(from, handle);
        return;
    }
    TakePath(from, handle, false);
    m_conn_mode = static_cast<uint8_t>(from);
    m_last_tick = get_tick_count();
    SetState(kStateAccepted);
    m_pdu_len = 0;
}

void CRdtpConnection::SetSource(uint32_t source) {
    CQrnFuncLock guard(m_lock);
    m_source = source;
}

void CRdtpConnection::SetLoop(int loop) {
    CQrnFuncLock guard(m_lock);
    m_loop = loop;
}

CRdtpPendingAdmission CRdtpConnection::BeginPendingTcp(int listener, uint32_t source) {
    CQrnFuncLock guard(m_lock);
    if (Inactive() || m_state != kStateAccepted || m_tcp_handle == 0 || m_pending_tcp) return {};
    const CRdtpPendingAdmission admission = rdtp_pending_add(listener, source, this, m_local_handle, get_tick_count());
    if (admission.admitted) {
        m_pending_tcp = true;
    } else {
        qrn_trace_text("CRdtpConnection::BeginPendingTcp, too many paths without a connect pdu, (local_handle, source)=",
                       m_local_handle, source);
        Detach();
    }
    return admission;
}

bool CRdtpConnection::Displace() {
    CQrnFuncLock guard(m_lock);
    // Already out of the pending table: only the flag is left to clear.
    const bool pending = m_pending_tcp;
    m_pending_tcp = false;
    if (!pending || Inactive() || m_state != kStateAccepted) return false;
    qrn_trace_text("CRdtpConnection::Displace, a newer path took the place of local_handle=", m_local_handle);
    Detach();
    return true;
}

// --- loss, room, status, time ----------------------------------------------------------------

void CRdtpConnection::OnClose(int from, int handle, bool all_acknowledged) {
    QRN_TRACE_FUNC("CRdtpConnection::OnClose");
    CRdtpAftermath after;
    {
        CQrnFuncLock guard(m_lock);
        qrn_trace_text("CRdtpConnection::OnClose, (from, handle, m_local_handle)=", from, handle, m_local_handle);
        if (Inactive() || !IsCurrentPath(from, handle)) return;
        // The peer may answer the stream's closing bytes by closing the path before the upper
        // layer has come to close: that close must not read as a lost delivery.
        m_all_acknowledged = from == kFromUdp && m_conn_mode == kModeUdp && all_acknowledged;
        if (m_state == kStateRacing) {
            FailConfirm(from, after);
        } else {
            LosePath(from, after);
        }
    }
    Finish(after);
}

// A path is gone. The client reconnects in the same mode (unless told not to) and the server
// waits for it; while established, both tell the upper layer once.
void CRdtpConnection::LosePath(int from, CRdtpAftermath &after) {
    int *slot = PathSlot(from);
    if (slot != nullptr) *slot = 0;
    const uint8_t was = m_state;
    if (!IsServer()) {
        if (!m_bNoReconnect) {
            // Every attempt asks with a new ordinal: the server may have taken the last one
            // before its path broke.
            ++m_ordinal;
            qrn_trace_text("*** set m_bReconnecting to TRUE");
            if (m_bReconnecting) {
                // An attempt of this reconnection failed; the next one follows after a pause.
                ScheduleRetry();
                return;
            }
            m_bReconnecting = 1;
            m_lost_tick = get_tick_count();
            m_retry_pause = kReconnectFirstPauseMs;
            if (TryConnect() != kConnectStarted) ScheduleRetry();
        }
    } else {
        if (m_conn_mode == kModeTcpUdp && from == kFromUdp) return;
        // Before the request there is no logical connection to resume: kept, the object would
        // never go. A combined one in state 7 is left to the half-open time-out.
        if (was == kStateAccepted) {
            Detach();
            after.Remove();
            return;
        }
        if (was == kStateAwaitingUdp) return;
        m_bReconnecting = 1;
        SetState(kStatePathLost);
    }
    if (was == kStateEstablished) after.Post(kMsgClose2, kClose2Lost);
}

void CRdtpConnection::OnWrite(int from, int handle) {
    QRN_TRACE_FUNC("CRdtpConnection::OnWrite");
    {
        CQrnFuncLock guard(m_lock);
        if (Inactive() || !IsCurrentPath(from, handle) || m_state != kStateEstablished) return;
    }
    Notify(kMsgWrite);
}

void CRdtpConnection::OnStatus(int from, int handle, int type, int value) {
    QRN_TRACE_FUNC("CRdtpConnection::OnStatus");
    CQrnFuncLock guard(m_lock);
    qrn_trace_text("CRdtpConnection::OnStatus, (from, handle, type, value)=", from, handle, type, value);
    if (from != kFromHttp || handle != m_http_handle) QRN_TRACE_ERROR("status of another path", from, handle);
}

void CRdtpConnection::OnTimer() {
    CRdtpAftermath after;
    {
        CQrnFuncLock guard(m_lock);
        if (Inactive()) return;
        const uint32_t elapsed = calc_tick_diff(m_last_tick, get_tick_count());
        const uint32_t limit = m_pending_tcp ? kPendingTcpTimeoutMs : kHalfOpenTimeoutMs;
        if ((m_state == kStateAccepted || m_state == kStateAwaitingUdp) && elapsed >= limit) {
            qrn_trace_text("connect time out, m_local_hanle=", m_local_handle);
            Detach();
            after.Remove();
        } else if (m_state == kStateRequestSent && m_conn_mode == kModeTcpUdp && elapsed > kCombinedTcpTimeoutMs) {
            GiveUpTcp(after);
        } else if (!IsServer()) {
            // The race's own timer may have been taken by a handle's next owner: this turn
            // catches up.
            if (m_state == kStateRacing && AdvanceRace(after)) ArmRaceTimer();
            if (m_bReconnecting && !Inactive()) KeepReconnecting(after);
        }
    }
    Finish(after);
}

void CRdtpConnection::ScheduleRetry() {
    m_retry_pending = true;
    m_retry_from = get_tick_count();
    m_retry_wait = m_retry_pause;
    m_retry_pause = m_retry_pause * 2 > kReconnectLongestPauseMs ? kReconnectLongestPauseMs : m_retry_pause * 2;
    qrn_trace_text("CRdtpConnection::ScheduleRetry, (local_handle, pause, ordinal)=", m_local_handle, m_retry_wait,
                   static_cast<int>(m_ordinal));
}

// A path that is lost for good (the server, a proxy or the tunnel server gone) ends the
// connection with message 5 once the give-up time has passed, rather than leaving it without
// a path and without a word.
void CRdtpConnection::KeepReconnecting(CRdtpAftermath &after) {
    const uint32_t now = get_tick_count();
    if (calc_tick_diff(m_lost_tick, now) >= kReconnectGiveUpMs) {
        qrn_trace_text("CRdtpConnection::OnTimer, no new path, reconnection given up, local_handle=", m_local_handle);
        m_retry_pending = false;
        CloseAllPaths();
        Detach();
        after.Remove();
        after.Post(kMsgClose, kCloseGaveUp);
        return;
    }
    if (!m_retry_pending || calc_tick_diff(m_retry_from, now) < m_retry_wait) return;
    m_retry_pending = false;
    if (TryConnect() != kConnectStarted) ScheduleRetry();
}

// Combined mode, no answer on TCP: UDP alone.
void CRdtpConnection::GiveUpTcp(CRdtpAftermath &after) {
    m_conn_mode = kModeUdp;
    m_state = kStateUdpConnecting;
    ClosePath(kFromTcp);
    if (TryConnect() == kConnectStarted) return;
    if (m_bReconnecting) {
        ScheduleRetry();
        return;
    }
    if (m_serv_tag != 0) return;
    // A first connect with no path left would otherwise wait for ever without a word.
    Detach();
    after.Remove();
    after.Post(kMsgConfirm, kConfirmFailed);
}

// --- the upper layer's calls -----------------------------------------------------------------

int CRdtpConnection::Send(const void *buffer, int length, int flags) {
    CQrnFuncLock guard(m_lock);
    if (m_state < kStateEstablished) {
        QRN_TRACE_ERROR("send before established, (handle, state)=", m_local_handle, static_cast<int>(m_state));
        return kErrRefused;
    }
    const int sent = SendPath(buffer, length, flags);
    if (sent > 0) m_all_acknowledged = false;
    return sent;
}

int CRdtpConnection::Recv(void *buffer, int length, int flags) {
    CQrnFuncLock guard(m_lock);
    if (m_state != kStateEstablished) {
        QRN_TRACE_ERROR("recv while not established, (handle, state)=", m_local_handle, static_cast<int>(m_state));
        return kErrRefused;
    }
    return RecvPath(buffer, length, flags);
}

int CRdtpConnection::Option(int option, uintptr_t value) {
    CQrnFuncLock guard(m_lock);
    const bool writes = option == kOptConnMode || option == kOptPeerIp || option == kOptPeerPort ||
                        option == kOptBandwidth || option == kOptRtt || option == kOptConnectError ||
                        option == kOptProxy;
    if (writes && value == 0) {
        QRN_TRACE_ERROR("option without a place to write, option=", option);
        return kErrRefused;
    }
    switch (option) {
    case kOptConnMode:
        if (m_state < kStateRequestSent) QRN_TRACE_ERROR("conn_mode before the request, state=", static_cast<int>(m_state));
        write_value<uint8_t>(value, m_conn_mode);
        break;
    case kOptPeerIp:
    case kOptPeerPort: {
        if (m_state != kStateEstablished) QRN_TRACE_ERROR("peer while not established, state=", static_cast<int>(m_state));
        const bool ip = option == kOptPeerIp;
        const int size = ip ? static_cast<int>(sizeof(uint32_t)) : static_cast<int>(sizeof(uint16_t));
        if (m_udp_handle != 0) {
            qrn_udprlb_option(m_udp_handle, ip ? kLowerOptPeerIp : kLowerOptPeerPort, value);
        } else if (m_tcp_handle != 0) {
            VSOCK::getsockopt(m_tcp_handle, ip ? sock::kOptPeerIp : sock::kOptPeerPort, reinterpret_cast<void *>(value),
                              size);
        } else if (m_http_handle != 0) {
            qrn_rdhttp_option(m_http_handle, ip ? kLowerOptPeerIp : kLowerOptPeerPort, value);
        }
        break;
    }
    case kOptBandwidth:
        if (m_udp_handle != 0) {
            qrn_udprlb_option(m_udp_handle, kLowerOptBandwidth, value);
        } else {
            write_value<uint32_t>(value, kStreamBandwidth);
        }
        break;
    case kOptRtt:
        if (m_udp_handle != 0) {
            qrn_udprlb_option(m_udp_handle, kLowerOptRtt, value);
        } else {
            write_value<uint32_t>(value, kNoRtt);
        }
        break;
    case kOptCallback:
        m_callback = reinterpret_cast<qrn_callback>(value);
        break;
    case kOptUserData:
        rdtp_connect_errors().Forget(value);
        m_user_data = value;
        break;
    case kOptConnectError:
        rdtp_write_text(m_connect_error.c_str(), reinterpret_cast<char *>(value), kConnectErrorMax);
        break;
    case kOptProxy:
        rdtp_write_text("", reinterpret_cast<char *>(value), kConnectErrorMax);
        if (m_tcp_handle != 0) {
            VSOCK::getsockopt(m_tcp_handle, sock::kOptProxy, reinterpret_cast<void *>(value), kConnectErrorMax);
        }
        break;
    case kOptRaceAnyKind:
        m_race_any_kind = value != 0;
        break;
    case kOptNoReconnect:
        m_bNoReconnect = 1;
        break;
    case kOptBoundBuffers:
        if (m_tcp_handle != 0) VSOCK::setsockopt(m_tcp_handle, sock::kOptBoundBuffers, value, 0);
        break;
    case kOptUdpRate:
        if (m_udp_handle != 0) qrn_udprlb_option(m_udp_handle, kLowerOptUdpRate, value);
        break;
    default:
        QRN_TRACE_ERROR("unknown option", option);
        break;
    }
    return 0;
}

// --- after the lock --------------------------------------------------------------------------

void CRdtpConnection::Finish(const CRdtpAftermath &after) {
    if (after.remove()) rdtp_remove_connection(this);
    for (int i = 0; i < after.count(); ++i) {
        const CRdtpAftermath::Note &n = after.note(i);
        Notify(n.msg, n.p1, n.p2, n.p3);
    }
}

// The callback and user data are read at each message: the upper layer may change them in
// its handler of the previous one.
void CRdtpConnection::Notify(int msg, uintptr_t p1, uintptr_t p2, uintptr_t p3) {
    qrn_callback callback;
    uintptr_t user_data;
    {
        CQrnFuncLock guard(m_lock);
        if (m_closed.load(std::memory_order_acquire)) return;
        callback = m_callback;
        user_data = m_user_data;
    }
    if (callback != nullptr) callback(user_data, msg, static_cast<uintptr_t>(m_local_handle), p1, p2, p3);
}

// --- test views ------------------------------------------------------------------------------

uint8_t CRdtpConnection::DebugState() {
    CQrnFuncLock guard(m_lock);
    return m_state;
}

uint16_t CRdtpConnection::DebugOrdinal() {
    CQrnFuncLock guard(m_lock);
    return m_ordinal;
}

uint16_t CRdtpConnection::DebugPduLength() {
    CQrnFuncLock guard(m_lock);
    return m_pdu_len;
}

uint32_t CRdtpConnection::DebugClientTag() {
    CQrnFuncLock guard(m_lock);
    return m_cli_tag;
}
