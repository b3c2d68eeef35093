// CUdpRlbConnection: creation and destruction, the PDU send routine, the opening handshake
// (directly or through a relay), keep-alives and the one-second timer work (closing is
// udprlb_close.cpp).
#include "udprlb/udprlb_connection.h"

#include <limits.h>

#include "qrnlibl/qrn_time.h"
#include "qrnlibl/qrn_trace.h"
#include "socket/sock_defs.h"
#include "socket/sockcli.h"
#include "udprlb/udprlb_module.h"

using namespace urlb;

namespace {

constexpr int kArrayGrowBy = 16;

int LoopOf(int socket) {
    int loop = 0;
    if (VSOCK::getsockopt(socket, sock::kOptLoop, &loop, sizeof(loop)) != 0) loop = 0;
    return loop;
}
// The receive window itself has no limit: the delivery path bounds what it appends.
constexpr int kUnlimitedWindow = INT_MAX;

bool HasText(const char *s) { return s != nullptr && s[0] != '\0'; }

uint16_t Port16(int port) { return static_cast<uint16_t>(port); }

uint8_t *PayloadOf(uint8_t *buffer) { return buffer + kOffPayload; }

bool SameAddress(const ws::sockaddr_in *a, const ws::sockaddr_in *b) {
    return a != nullptr && b != nullptr && VSOCK::get_address_ip(a) == VSOCK::get_address_ip(b) &&
           VSOCK::get_address_port(a) == VSOCK::get_address_port(b);
}

// A copy of host:port, or null (with an error trace) when it does not resolve.
ws::sockaddr_in *ResolveCopy(const char *host, int port) {
    const ws::sockaddr_in *address = HasText(host) ? VSOCK::resolve_address(host, Port16(port)) : nullptr;
    ws::sockaddr_in *copy = VSOCK::copy_address(address);
    if (copy == nullptr) QRN_TRACE_ERROR("cannot resolve, (host, port)=", HasText(host) ? host : "", port);
    return copy;
}

}  // namespace

CUdpRlbConnection::CUdpRlbConnection(int handle, qrn_callback callback, uintptr_t context, int socket)
    : m_callback(callback),
      m_context(context),
      m_handle(handle),
      m_socket(socket),
      m_loop(LoopOf(socket)),
      m_my_tag(udprlb_draw_tag()),
      m_send_window(qrn_cirwin_create(static_cast<int>(kSendWindowLimit))),
      m_resend_queue(qrn_array_init_ex(static_cast<int>(sizeof(CResendEntry)), kArrayGrowBy)),
      m_recv_window(qrn_cirwin_create(kUnlimitedWindow)),
      m_sack_list(qrn_array_init_ex(static_cast<int>(sizeof(CSackBlock)), kArrayGrowBy)),
      m_pending_unreliable(qrn_array_init_ex(static_cast<int>(sizeof(CUnreliablePacket)), kArrayGrowBy)),
      m_unreliable_history(qrn_array_init_ex(static_cast<int>(sizeof(CUnreliablePacket)), kArrayGrowBy)) {
    SetLock(&m_lock);
    qrn_trace_text("CUdpRlbConnection::CUdpRlbConnection, (handle, socket, my_tag)=", handle, socket, m_my_tag);
    // The window is announced in the handshake, so only a rate chosen before it can widen it.
    const uint32_t mbit = udprlb_default_udp_rate();
    if (mbit != 0) {
        m_announced_window = kRateSendWindowLimit;
        qrn_cirwin_set_limit(m_send_window, static_cast<int>(m_announced_window));
        m_resend_timeout = kRateInitialResendTimeout;
        MakeFinder(mbit, get_tick_count());
    }
}

CUdpRlbConnection::~CUdpRlbConnection() {
    qrn_trace_text("CUdpRlbConnection::~CUdpRlbConnection, handle=", m_handle);
    udprlb_worker_remove(this);
    {
        CQrnFuncLock guard(m_lock);
        ClearUnreliable();
    }
    delete m_finder;
    qrn_cirwin_destroy(m_send_window);
    qrn_cirwin_destroy(m_recv_window);
    delete[] m_reassembly;
    qrn_array_destroy(m_sack_list);
    qrn_array_destroy(m_resend_queue);
    qrn_array_destroy(m_pending_unreliable);
    qrn_array_destroy(m_unreliable_history);
    VSOCK::delete_address(m_relay_addr);
    VSOCK::delete_address(m_peer_addr);
}

// --- sending ---------------------------------------------------------------------------------

int CUdpRlbConnection::SendPdu(int socket, uint8_t *buffer, const ws::sockaddr_in *address, uint8_t type, int len) {
    qrn_trace_text("CUdpRlbConnection::SendPdu, (type, len, socket)=", type, len, socket);
    const int size = udprlb_pdu_finish(buffer, kMaxDatagram, type, len);
    if (size == 0) return 0;
    if (address == nullptr) {
        QRN_TRACE_ERROR("no address to send to, type=", type);
        return 0;
    }
    const int sent = VSOCK::sendto(socket, buffer, size, 0, address);
    if (sent != size) {
        QRN_TRACE_ERROR("sendto failed, (expected, result)=", size, sent);
        return 0;
    }
    return 1;
}

int CUdpRlbConnection::SendOwnPdu(uint8_t type, int len, const ws::sockaddr_in *to) {
    if (len < 0) {
        QRN_TRACE_ERROR("pdu does not fit, type=", type);
        return 0;
    }
    return SendPdu(m_socket, m_send_buffer, to != nullptr ? to : m_peer_addr, type, len);
}

void CUdpRlbConnection::SendDigHoleRequestPdu() {
    CUdpRlbDigHole pdu;
    pdu.app_id = static_cast<uint16_t>(m_handle);
    pdu.ip = VSOCK::get_address_ip(m_peer_addr);
    pdu.port = VSOCK::get_address_port(m_peer_addr);
    if (m_relay_addr == nullptr) {
        QRN_TRACE_ERROR("dig hole request without a relay, handle=", m_handle);
        return;
    }
    SendOwnPdu(kPduDigHoleRequest, udprlb_pdu_write_dig_hole(pdu, PayloadOf(m_send_buffer), kMaxPayload),
               m_relay_addr);
}

void CUdpRlbConnection::SendConnectRequestPdu() {
    CUdpRlbConnectRequest pdu;
    pdu.src = static_cast<uint16_t>(m_handle);
    pdu.window = m_announced_window;
    pdu.src_tag = m_my_tag;
    SendOwnPdu(kPduConnectRequest, udprlb_pdu_write_connect_request(pdu, PayloadOf(m_send_buffer), kMaxPayload));
    m_last_send_time = get_tick_count();
}

void CUdpRlbConnection::SendConnectResponsePdu(int16_t result) {
    CUdpRlbConnectResponse pdu;
    pdu.dst = m_peer_app_id;
    pdu.result = result;
    pdu.src = static_cast<uint16_t>(m_handle);
    pdu.window = m_announced_window;
    pdu.src_tag = m_my_tag;
    SendOwnPdu(kPduConnectResponse, udprlb_pdu_write_connect_response(pdu, PayloadOf(m_send_buffer), kMaxPayload));
    m_last_send_time = get_tick_count();
}

void CUdpRlbConnection::SendKeepAlivePdu() {
    CUdpRlbKeepAlive pdu;
    pdu.dst = m_peer_app_id;
    pdu.src = static_cast<uint16_t>(m_handle);
    SendOwnPdu(kPduKeepAlive, udprlb_pdu_write_keep_alive(pdu, PayloadOf(m_send_buffer), kMaxPayload));
}

void CUdpRlbConnection::SendCloseRequestPdu() {
    SendOwnPdu(kPduCloseRequest, udprlb_pdu_write_close_request(OwnIds(), PayloadOf(m_send_buffer), kMaxPayload));
}

// --- state -----------------------------------------------------------------------------------

void CUdpRlbConnection::SetState(uint8_t state) {
    qrn_trace_text("CUdpRlbConnection::SetState, (new_state, old_state)=", state, m_state);
    m_state = state;
    if (state != kStateConnected) return;
    const uint32_t now = get_tick_count();
    m_state_time = now;
    m_sec_start = now;
    m_last_ack_tick = now;
    m_slot_end = now + m_slot_length;
}

uint8_t CUdpRlbConnection::state() {
    CQrnFuncLock guard(m_lock);
    return m_state;
}

// The peer's window bounds what this side keeps for reassembly; the buffer itself is made by
// the delivery path when out-of-order data first needs it.
bool CUdpRlbConnection::AllocateReassembly(uint32_t peer_window) {
    if (peer_window == 0 || peer_window > kMaxPeerWindow) {
        QRN_TRACE_ERROR("peer window refused, (handle, window, max)=", m_handle, peer_window, kMaxPeerWindow);
        return false;
    }
    m_peer_window = peer_window;
    WidenSendWindow();
    return true;
}

CUdpRlbIds CUdpRlbConnection::OwnIds() const {
    return CUdpRlbIds{m_peer_app_id, static_cast<uint16_t>(m_handle), m_peer_tag, m_my_tag};
}

bool CUdpRlbConnection::IdsMatch(const CUdpRlbIds &ids) const {
    return ids.src == m_peer_app_id && ids.dst_tag == m_my_tag && ids.src_tag == m_peer_tag;
}

void CUdpRlbConnection::EndWithEvent(int event, uintptr_t p1) {
    qrn_callback callback = nullptr;
    uintptr_t context = 0;
    GetCallback(&callback, &context);
    if (!udprlb_end_connection(this)) return;
    CUdpRlbEvents events;
    events.Post(event, p1);
    events.Raise(callback, context, m_handle);
}

// --- opening ---------------------------------------------------------------------------------

int CUdpRlbConnection::Connect(const char *dest_ip, int dest_port, const char *proxy_ip, int proxy_port) {
    QRN_TRACE_FUNC("CUdpRlbConnection::Connect");
    CQrnFuncLock guard(m_lock);
    if (m_state != kStateNew) {
        QRN_TRACE_ERROR("connect in state", m_state);
        return kConnectUnresolved;
    }
    if (HasText(proxy_ip)) {
        m_relay_addr = ResolveCopy(proxy_ip, proxy_port);
        if (m_relay_addr == nullptr) return kConnectUnresolved;
    }
    m_peer_addr = ResolveCopy(dest_ip, dest_port);
    if (m_peer_addr == nullptr) return kConnectUnresolved;
    m_attempts = 0;
    if (m_relay_addr != nullptr) {
        SetState(kStateDigging);
        SendDigHoleRequestPdu();
    } else {
        SetState(kStateConnecting);
        SendConnectRequestPdu();
    }
    m_state_time = get_tick_count();
    return kConnectStarted;
}

bool CUdpRlbConnection::OnConnect(const uint8_t *payload, int len, const ws::sockaddr_in *from) {
    QRN_TRACE_FUNC("CUdpRlbConnection::OnConnect");
    bool accepted;
    {
        CQrnFuncLock guard(m_lock);
        accepted = AnswerConnectRequest(payload, len, from);
    }
    if (!accepted) udprlb_end_connection(this);
    return accepted;
}

void CUdpRlbConnection::RaiseAccepted() {
    CUdpRlbEvents accepted;
    accepted.Post(kEventAccepted);
    accepted.Raise(this);
}

bool CUdpRlbConnection::IsFromPeer(const ws::sockaddr_in *sender, uint8_t pdu_type) {
    CQrnFuncLock guard(m_lock);
    return SameAddress(pdu_type == kPduDigHoleResponse ? m_relay_addr : m_peer_addr, sender);
}

bool CUdpRlbConnection::EndHalfOpen() {
    {
        CQrnFuncLock guard(m_lock);
        if (m_state != kStateAnswered) return false;
        SetState(kStateEnded);
    }
    qrn_trace_text("CUdpRlbConnection::EndHalfOpen, (handle, peer_app_id)=", m_handle, m_peer_app_id);
    udprlb_end_connection(this);
    return true;
}

bool CUdpRlbConnection::AnswerConnectRequest(const uint8_t *payload, int len, const ws::sockaddr_in *from) {
    if (m_state != kStateNew || m_peer_window != 0) {
        QRN_TRACE_ERROR("connect request for a used connection, (state, peer_window)=", m_state, m_peer_window);
    }
    CUdpRlbConnectRequest request;
    if (!udprlb_pdu_read_connect_request(payload, len, &request)) {
        // Without the peer's app_id there is nobody to answer.
        QRN_TRACE_ERROR("connect request too short, len=", len);
        return false;
    }
    VSOCK::delete_address(m_peer_addr);
    m_peer_addr = VSOCK::copy_address(from);
    m_peer_app_id = request.src;
    if (!request.has_tag) QRN_TRACE_ERROR("connect request without a tag, peer_app_id=", request.src);
    m_peer_tag = request.src_tag;
    if (!request.has_tag || !AllocateReassembly(request.window)) {
        SendConnectResponsePdu(kConnectRefused);
        return false;
    }
    m_last_recv_time = get_tick_count();
    SendConnectResponsePdu(kConnectAccepted);
    SetState(kStateAnswered);
    m_state_time = m_last_recv_time;
    m_accepted = true;
    return true;
}

bool CUdpRlbConnection::RepeatConnectResponse(const ws::sockaddr_in *from, uint16_t peer_app_id,
                                              uint16_t peer_tag) {
    CQrnFuncLock guard(m_lock);
    const bool answered = m_state == kStateConnected || m_state == kStateAnswered;
    if (!m_accepted || !answered || m_peer_app_id != peer_app_id || m_peer_tag != peer_tag ||
        !SameAddress(m_peer_addr, from)) {
        return false;
    }
    qrn_trace_text("CUdpRlbConnection::RepeatConnectResponse, (handle, peer_app_id)=", m_handle, peer_app_id);
    SendConnectResponsePdu(kConnectAccepted);
    return true;
}

void CUdpRlbConnection::OnDigHoleResponsePdu(const uint8_t *payload, int len) {
    QRN_TRACE_FUNC("CUdpRlbConnection::OnDigHoleResponsePdu");
    CUdpRlbDigHole pdu;
    if (!udprlb_pdu_read_dig_hole(payload, len, &pdu)) {
        QRN_TRACE_ERROR("dig hole response too short, len=", len);
        return;
    }
    CQrnFuncLock guard(m_lock);
    if (m_state != kStateDigging) {
        QRN_TRACE_ERROR("dig hole response in state", m_state);
        return;
    }
    // The connect request goes to the destination given to Connect, not to the address that
    // the relay saw.
    SetState(kStateConnecting);
    m_attempts = 0;
    SendConnectRequestPdu();
    m_state_time = get_tick_count();
}

void CUdpRlbConnection::OnConnectResponsePdu(const uint8_t *payload, int len) {
    QRN_TRACE_FUNC("CUdpRlbConnection::OnConnectResponsePdu");
    CUdpRlbConnectResponse pdu;
    if (!udprlb_pdu_read_connect_response(payload, len, &pdu)) {
        QRN_TRACE_ERROR("connect response too short, len=", len);
        return;
    }
    CUdpRlbEvents events;
    bool refused = false;
    {
        CQrnFuncLock guard(m_lock);
        if (m_state != kStateConnecting) {
            QRN_TRACE_ERROR("connect response in state", m_state);
            return;
        }
        if (m_peer_window != 0) QRN_TRACE_ERROR("connect response with a window already set", m_peer_window);
        if (pdu.result != kConnectAccepted) {
            QRN_TRACE_ERROR("connect refused, (handle, result)=", m_handle, pdu.result);
            refused = true;
        } else {
            m_peer_app_id = pdu.src;
            m_peer_tag = pdu.src_tag;
            if (AllocateReassembly(pdu.window)) {
                m_last_recv_time = get_tick_count();
                SetState(kStateConnected);
                m_attempts = 0;
                // Carries the accepting side's tag back at once: only then does it take the
                // request for one from this address rather than a forgery.
                SendPureAck();
                events.Post(kEventConnectDone, kConnectOk);
            } else {
                // The peer has accepted: its connection would otherwise live on for good.
                SendCloseRequestPdu();
                refused = true;
            }
        }
        if (refused) SetState(kStateEnded);
    }
    if (refused) {
        EndWithEvent(kEventConnectDone, kConnectRefusedByPeer);
        return;
    }
    events.Raise(this);
}

// --- keeping alive ---------------------------------------------------------------------------

void CUdpRlbConnection::OnKeepAlive(const uint8_t *payload, int len) {
    CUdpRlbKeepAlive pdu;
    if (!udprlb_pdu_read_keep_alive(payload, len, &pdu)) {
        QRN_TRACE_ERROR("keep alive too short, len=", len);
        return;
    }
    CQrnFuncLock guard(m_lock);
    if (pdu.src != m_peer_app_id) {
        QRN_TRACE_ERROR("keep alive of another peer, (peer_app_id, src)=", m_peer_app_id, pdu.src);
        return;
    }
    qrn_trace_text("receive keep alive pkt, (my_app_id, peer_app_id)=", m_handle, m_peer_app_id);
    m_last_recv_time = get_tick_count();
}

void CUdpRlbConnection::OnTimer() {
    bool failed = false;
    bool expired = false;
    {
        CQrnFuncLock guard(m_lock);
        const uint32_t now = get_tick_count();
        switch (m_state) {
        case kStateDigging:
        case kStateConnecting:
            if (m_state_time != 0 && calc_tick_diff(m_state_time, now) < kAttemptMinGap) break;
            m_state_time = now;
            if (++m_attempts >= kMaxAttempts) {
                // Decided under the lock: a connect response racing in on the socket thread
                // must not report success for a connection that this pass ends.
                SetState(kStateEnded);
                failed = true;
            } else if (m_state == kStateDigging) {
                SendDigHoleRequestPdu();
            } else {
                SendConnectRequestPdu();
            }
            break;
        case kStateAnswered:
            if (calc_tick_diff(m_state_time, now) < kHalfOpenLifetime) break;
            SetState(kStateEnded);
            expired = true;
            break;
        case kStateConnected:
            if (calc_tick_diff(m_last_send_time, now) > kKeepAliveIdle) {
                SendKeepAlivePdu();
                m_last_send_time = now;
            }
            break;
        default:
            break;
        }
    }
    OnCloseTick(false);
    if (failed) {
        qrn_trace_text("CUdpRlbConnection::OnTimer, no answer, handle=", m_handle);
        EndWithEvent(kEventConnectDone, kConnectNoAnswer);
    }
    if (expired) {
        qrn_trace_text("CUdpRlbConnection::OnTimer, half-open connection expired, handle=", m_handle);
        if (udprlb_end_connection(this)) udprlb_counters().half_open_expired.fetch_add(1, std::memory_order_relaxed);
    }
}

// --- options and callback --------------------------------------------------------------------

void CUdpRlbConnection::SetCallback(qrn_callback callback) {
    CQrnFuncLock guard(m_lock);
    m_callback = callback;
}

void CUdpRlbConnection::SetContext(uintptr_t context) {
    CQrnFuncLock guard(m_lock);
    m_context = context;
}

void CUdpRlbConnection::Detach() { SetCallback(nullptr); }

void CUdpRlbConnection::GetCallback(qrn_callback *callback, uintptr_t *context) {
    CQrnFuncLock guard(m_lock);
    *callback = m_callback;
    *context = m_context;
}

uint32_t CUdpRlbConnection::PeerIp() {
    CQrnFuncLock guard(m_lock);
    if (m_state != kStateConnected) QRN_TRACE_ERROR("peer ip while not connected, state=", m_state);
    return VSOCK::get_address_ip(m_peer_addr);
}

uint16_t CUdpRlbConnection::PeerPort() {
    CQrnFuncLock guard(m_lock);
    if (m_state != kStateConnected) QRN_TRACE_ERROR("peer port while not connected, state=", m_state);
    return VSOCK::get_address_port(m_peer_addr);
}

uint32_t CUdpRlbConnection::OutgoingBandwidth() {
    CQrnFuncLock guard(m_lock);
    return m_outgoing_bw;
}

uint32_t CUdpRlbConnection::SmoothedRtt() {
    CQrnFuncLock guard(m_lock);
    return m_rtt;
}
