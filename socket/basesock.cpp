// VBaseSocket: construction, the socket calls, and options. check_event is in basesock_event.cpp.
#include "socket/basesock.h"

#include <string.h>

#include <algorithm>
#include <mutex>
#include <shared_mutex>

#include "qrnlibl/qrn_time.h"
#include "qrnlibl/qrn_trace.h"
#include "socket/sock_defs.h"
#include "socket/sock_sets.h"
#include "socket/sockcli.h"

using namespace sock;

namespace {

constexpr int kAddressLength = static_cast<int>(sizeof(ws::sockaddr_in));

// The peer address of this thread's last accept or recvfrom, handed out by pointer.
thread_local ws::sockaddr_in t_peer_address;

template <class T>
int write_option(void *out, int length, T value) {
    if (out == nullptr || length < static_cast<int>(sizeof(T))) {
        QRN_TRACE_ERROR("getsockopt, out too short", length);
        return SOCKET_ERROR;
    }
    memcpy(out, &value, sizeof(T));
    return 0;
}

// Text cut to the buffer, always NUL-terminated.
int write_text_option(void *out, int length, const std::string &text) {
    if (out == nullptr || length < 1) {
        QRN_TRACE_ERROR("getsockopt, out too short", length);
        return SOCKET_ERROR;
    }
    const size_t n = std::min(text.size(), static_cast<size_t>(length - 1));
    memcpy(out, text.data(), n);
    static_cast<char *>(out)[n] = '\0';
    return 0;
}

}  // namespace

VBaseSocket::VBaseSocket() {
    SetLock(&m_lock);
    qrn_trace_event(kTraceModule, kTraceCreated, static_cast<const void *>(this));
    vsock_register(this);
}

VBaseSocket::~VBaseSocket() {
    qrn_trace_event(kTraceModule, kTraceDestroyed, static_cast<const void *>(this));
    m_proxy_password.assign(m_proxy_password.size(), '\0');
    close();
}

void VBaseSocket::attach_socket(SOCKET s) {
    CQrnFuncLock guard(vsock_lock());
    m_socket.store(s, std::memory_order_release);
    m_sock_gen = vsock_next_generation();
}

int VBaseSocket::create(int is_stream) {
    QRN_TRACE_FUNC("VBaseSocket::create");
    SOCKET s = ws::socket(AF_INET, is_stream ? SOCK_STREAM : SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) {
        // 10024 (WSAEMFILE): the process or the system is out of descriptors.
        QRN_TRACE_ERROR("create socket failed", get_last_error());
        return 0;
    }
    attach_socket(s);
    set_state(is_stream ? kStateCreated : kStateConnected);
    qrn_trace_event(kTraceModule, kTraceCreate, s, is_stream);
    set_options(is_stream);
    return 1;
}

void VBaseSocket::set_options(int is_stream) {
    QRN_TRACE_FUNC("VBaseSocket::set_options");
    m_is_stream = is_stream;
    const int one = 1;
    uint32_t non_blocking = 1;
    CQrnFuncLock guard(m_lock);
    SOCKET s = socket();
    if (is_stream) ws::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    ws::ioctlsocket(s, FIONBIO, &non_blocking);
    ws::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (is_stream) return;
    ws::setsockopt(s, SOL_SOCKET, SO_SNDBUF, &kUdpSendBuffer, sizeof(kUdpSendBuffer));
    ws::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &kUdpRecvBuffer, sizeof(kUdpRecvBuffer));
}

void VBaseSocket::bound_buffers() {
    CQrnFuncLock guard(m_lock);
    if (!m_is_stream) return;
    SOCKET s = socket();
    ws::setsockopt(s, SOL_SOCKET, SO_SNDBUF, &kTcpBoundedSendBuffer, sizeof(kTcpBoundedSendBuffer));
    ws::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &kTcpBoundedRecvBuffer, sizeof(kTcpBoundedRecvBuffer));
}

int VBaseSocket::bind(const ws::sockaddr_in *address) {
    QRN_TRACE_FUNC("VBaseSocket::bind");
    int result;
    {
        CQrnFuncLock guard(m_lock);
        result = ws::bind(socket(), address, kAddressLength);
    }
    if (result != 0) QRN_TRACE_ERROR("bind failed", result);
    return result;
}

int VBaseSocket::listen() {
    QRN_TRACE_FUNC("VBaseSocket::listen");
    int result;
    {
        CQrnFuncLock guard(m_lock);
        qrn_trace_event(kTraceModule, kTraceListen, socket());
        result = ws::listen(socket(), kListenBacklog);
    }
    if (result == 0) {
        set_state(kStateListening);
    } else {
        QRN_TRACE_ERROR("listen failed", result);
    }
    return result;
}

VBaseSocket *VBaseSocket::accept(ws::sockaddr_in **out_address) {
    QRN_TRACE_FUNC("VBaseSocket::accept");
    SOCKET listening;
    SOCKET fresh;
    int error = 0;
    {
        CQrnFuncLock guard(m_lock);
        listening = socket();
        int length = kAddressLength;
        fresh = ws::accept(listening, &t_peer_address, &length);
        if (fresh == INVALID_SOCKET) error = get_last_error();
    }
    qrn_trace_event(kTraceModule, kTraceAccept, listening, fresh);
    if (fresh == INVALID_SOCKET) {
        if (error == WSAEMFILE) refuse_pending();
        return nullptr;
    }

    auto *sock = new VBaseSocket();
    if (sock->handle() == 0) {
        // No handle left: the connection is refused by closing it.
        QRN_TRACE_ERROR("accept, socket table full", fresh);
        ws::closesocket(fresh);
        sock->ReleaseRef();
        return nullptr;
    }
    sock->attach_socket(fresh);
    sock->set_options(m_is_stream);
    sock->m_callback.store(m_callback.load(std::memory_order_acquire), std::memory_order_release);
    sock->m_callback_ctx.store(m_callback_ctx.load(std::memory_order_acquire), std::memory_order_release);
    sock->m_remote_ip = ws::ntoh32(t_peer_address.sin_addr.s_addr);
    sock->m_remote_port = ws::ntoh16(t_peer_address.sin_port);
    sock->set_state(kStateConnected);
    if (!vsock_add_to_read_set(sock)) {
        // Never to be heard of: refused rather than left open.
        sock->close();
        if (vsock_free_handle(sock)) sock->ReleaseRef();
        return nullptr;
    }
    if (out_address != nullptr) *out_address = &t_peer_address;
    return sock;
}

void VBaseSocket::refuse_pending() {
    // Out of descriptors: the waiting connections are closed, so that their clients hear of
    // it at once and the listener is not reported ready over and over.
    int refused = 0;
    int error = 0;
    {
        CQrnFuncLock guard(m_lock);
        while (vsock_module().reserve.refuse_pending(socket()) == 0) ++refused;
        error = get_last_error();
    }
    QRN_TRACE_ERROR("accept failed, out of descriptors; connections refused", refused);
    // Without a spare (taken by another thread's descriptor) nothing could be refused: pause,
    // so that the listener reported again does not take the whole processor.
    if (error == WSAEMFILE) qrn_sleep(kSelectErrorPauseMs);
}

int VBaseSocket::connect(const ws::sockaddr_in *address) {
    QRN_TRACE_FUNC("VBaseSocket::connect");
    if (address == nullptr) return SOCKET_ERROR;
    qrn_trace_event(kTraceModule, kTraceConnect, socket(), address->sin_addr.s_addr, address->sin_port);
    const uint32_t ip = ws::ntoh32(address->sin_addr.s_addr);
    m_dest_addr.format("%u.%u.%u.%u", ip >> 24, (ip >> 16) & 0xffu, (ip >> 8) & 0xffu, ip & 0xffu);
    m_dest_port = ws::ntoh16(address->sin_port);
    qrn_trace_text("VSOCK::connect, m_dest_addr=", m_dest_addr.c_str(), ", m_dest_port=",
                   static_cast<int>(m_dest_port));
    record_connect_error("");
    if (m_dest_addr != kLoopbackText && m_dest_port == kProxiedPort) get_proxy_from_ie();

    ws::sockaddr_in *proxy = nullptr;
    if (m_use_proxy == 1) {
        proxy = VSOCK::copy_address(VSOCK::resolve_address(m_proxy_addr.c_str(), m_proxy_port));
        if (proxy == nullptr) {
            // A setting that cannot be used leaves the connect direct, as any other would.
            qrn_trace_text("proxy setting not used, connecting directly, reason=proxy host does not resolve, host=",
                           m_proxy_addr.c_str());
            m_use_proxy = 0;
        }
    }
    const ws::sockaddr_in *target = m_use_proxy == 1 ? proxy : address;
    int result;
    int error = 0;
    {
        CQrnFuncLock guard(m_lock);
        result = ws::connect(socket(), target, kAddressLength);
        if (result != 0) error = get_last_error();
    }
    VSOCK::delete_address(proxy);
    if (result != 0 && !is_would_block(error)) {
        QRN_TRACE_ERROR(error);
        record_connect_error(system_failure(error));
        return result;
    }
    m_handshake_due = get_tick_count() + kProxyHandshakeTimeoutMs;
    set_state(kStateConnecting);
    if (!vsock_add_to_write_set(this)) return SOCKET_ERROR;
    if (m_use_proxy == 1) vsock_watch_handshake(m_handle, m_handshake_due);
    return 0;
}

void VBaseSocket::record_connect_error(const std::string &cause) {
    if (!cause.empty()) qrn_trace_text("VBaseSocket, connect failed, handle=", m_handle, ", cause=", cause.c_str());
    CQrnFuncLock guard(m_lock);
    m_connect_error = cause;
}

std::string VBaseSocket::proxy_label() const {
    return std::string(m_proxy_addr.c_str()) + ":" + std::to_string(m_proxy_port);
}

std::string VBaseSocket::dest_label() const {
    return std::string(m_dest_addr.c_str()) + ":" + std::to_string(m_dest_port);
}

std::string VBaseSocket::system_failure(int wsa_error) const {
    const std::string where = m_use_proxy == 1 ? "proxy " + proxy_label() : dest_label();
    return where + ": " + ws::error_text(wsa_error);
}

int VBaseSocket::close() {
    QRN_TRACE_FUNC("VBaseSocket::close");
    qrn_trace_event(kTraceModule, kTraceClose, socket());
    qrn_trace_text("VBaseSocket::close, socket=", socket());
    set_state(kStateClosed);
    // The sets must not name the descriptor once it is closed (normally the handle layer has
    // taken it out already; this makes close safe on its own).
    vsock_remove_from_all_sets(this);
    CQrnFuncLock guard(m_lock);
    std::unique_lock<std::shared_mutex> io(m_io_lock);
    SOCKET s = m_socket.exchange(INVALID_SOCKET, std::memory_order_acq_rel);
    if (s != INVALID_SOCKET) {
        ws::shutdown(s, SD_BOTH);
        ws::closesocket(s);
    }
    return 0;
}

int VBaseSocket::send(const void *buffer, int length, int flags) {
    QRN_TRACE_FUNC("VBaseSocket::send");
    SOCKET s;
    int result;
    {
        CQrnFuncLock guard(m_lock);
        s = socket();
        result = ws::send(s, buffer, length, flags);
        if (result < 0 && is_would_block(get_last_error())) result = 0;
    }
    if (result >= 0 && result < length) {
        // The rest waits for room: a writable event (4) will say when.
        vsock_add_to_write_set(this);
    }
    qrn_trace_event(kTraceModule, kTraceSend, s, length, result);
    return result;
}

int VBaseSocket::recv(void *buffer, int length, int flags) {
    QRN_TRACE_FUNC("VBaseSocket::recv");
    SOCKET s;
    int result;
    {
        CQrnFuncLock guard(m_lock);
        s = socket();
        result = ws::recv(s, buffer, length, flags);
        if (result < 0 && is_would_block(get_last_error())) result = 0;
    }
    qrn_trace_event(kTraceModule, kTraceRecv, s, length, result);
    return result;
}

int VBaseSocket::sendto(const void *buffer, int length, int flags, const ws::sockaddr_in *address) {
    QRN_TRACE_FUNC("VBaseSocket::sendto");
    SOCKET s;
    int result;
    {
        std::shared_lock<std::shared_mutex> io(m_io_lock);
        s = socket();
        result = ws::sendto(s, buffer, length, flags, address, kAddressLength);
        if (result < 0 && is_would_block(get_last_error())) result = 0;
    }
    qrn_trace_event(kTraceModule, kTraceSendto, s, length, result);
    return result;
}

int VBaseSocket::recvfrom(void *buffer, int length, int flags, ws::sockaddr_in **out_address) {
    QRN_TRACE_FUNC("VBaseSocket::recvfrom");
    SOCKET s;
    int result;
    int error = 0;
    {
        std::shared_lock<std::shared_mutex> io(m_io_lock);
        s = socket();
        int address_length = kAddressLength;
        result = ws::recvfrom(s, buffer, length, flags, &t_peer_address, &address_length);
        if (result < 0) error = get_last_error();
    }
    // Nothing waiting is the normal end of a read loop, not an error.
    if (result < 0 && !is_would_block(error)) QRN_TRACE_ERROR(error);
    if (result >= 1 && out_address != nullptr) *out_address = &t_peer_address;
    qrn_trace_event(kTraceModule, kTraceRecvfrom, s, length, result);
    return result;
}

int VBaseSocket::recvfrom_batch(ws::datagram *batch, int count) {
    QRN_TRACE_FUNC("VBaseSocket::recvfrom_batch");
    SOCKET s;
    int result;
    int error = 0;
    {
        std::shared_lock<std::shared_mutex> io(m_io_lock);
        s = socket();
        result = ws::recvfrom_batch(s, batch, count);
        if (result < 0) error = get_last_error();
    }
    if (result < 0 && is_would_block(error)) return 0;
    if (result < 0) QRN_TRACE_ERROR(error);
    qrn_trace_event(kTraceModule, kTraceRecvfrom, s, count, result);
    return result;
}

int VBaseSocket::getsockopt(int option, void *out, int length) {
    QRN_TRACE_FUNC("VBaseSocket::getsockopt");
    switch (option) {
    case kOptPeerIp:
        return write_option(out, length, m_remote_ip);
    case kOptPeerPort:
        return write_option(out, length, m_remote_port);
    case kOptLocalIp:
    case kOptLocalPort: {
        ws::sockaddr_in local{};
        {
            CQrnFuncLock guard(m_lock);
            int local_length = kAddressLength;
            ws::getsockname(socket(), &local, &local_length);
        }
        if (option == kOptLocalIp) return write_option(out, length, ws::ntoh32(local.sin_addr.s_addr));
        return write_option(out, length, ws::ntoh16(local.sin_port));
    }
    case kOptLoop:
        return write_option(out, length, loop());
    case kOptConnectError:
    case kOptProxy:
        return write_text_option(out, length, option == kOptConnectError ? connect_error_text() : proxy_text());
    default:
        return 0;
    }
}

std::string VBaseSocket::connect_error_text() {
    CQrnFuncLock guard(m_lock);
    return m_connect_error;
}

std::string VBaseSocket::proxy_text() const {
    if (m_use_proxy != 1) return "";
    return std::string(m_proxy_type == kProxySocks5 ? "socks5://" : "http://") + proxy_label();
}

int VBaseSocket::setsockopt(int option, uintptr_t value, int length) {
    QRN_TRACE_FUNC("VBaseSocket::setsockopt");
    if (option == kOptCallback) {
        m_callback.store(reinterpret_cast<qrn_callback>(value), std::memory_order_release);
    } else if (option == kOptCallbackCtx) {
        m_callback_ctx.store(value, std::memory_order_release);
    } else if (option == kOptBoundBuffers) {
        bound_buffers();
    } else if (option == kOptLoop) {
        CQrnFuncLock guard(vsock_lock());
        return vsock_give_to_loop(this, static_cast<int>(value)) ? 0 : SOCKET_ERROR;
    } else if (option == kOptReusePort) {
        const int on = value != 0 ? 1 : 0;
        CQrnFuncLock guard(m_lock);
        return ws::setsockopt(socket(), SOL_SOCKET, SO_REUSEPORT, &on, sizeof(on));
    }
    return 0;
}

int VBaseSocket::get_last_error() { return ws::WSAGetLastError(); }

bool VBaseSocket::is_would_block(int error) { return error == WSAEWOULDBLOCK; }
