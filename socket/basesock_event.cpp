// VBaseSocket::check_event: what one select report means for a socket, by its state, and the
// events that follow. Runs on the socket thread only, which holds a reference throughout, so
// the object outlives a final event even when the owner closes the handle from its callback.
#include <vector>

#include "qrnlibl/qrn_trace.h"
#include "socket/basesock.h"
#include "socket/sock_defs.h"
#include "socket/sock_proxy.h"
#include "socket/sock_sets.h"

using namespace sock;

namespace {
// The word whose address event 1 carries; receivers may write it, nobody reads it.
thread_local uintptr_t t_scratch = 0;
}  // namespace

void VBaseSocket::check_event(bool readable, bool writable, bool exception) {
    if (!readable && !writable && !exception) return;
    QRN_TRACE_FUNC("VBaseSocket::check_event");
    switch (state()) {
    case kStateListening:
        if (readable) accept_all();
        break;
    case kStateConnecting:
        if (writable) {
            on_connect_writable();
        } else if (exception) {
            int error;
            {
                CQrnFuncLock guard(m_lock);
                error = ws::socket_pending_error(socket());
            }
            fail_connect(system_failure(error));
        }
        break;
    case kStateNegotiating:
        if (writable && !send_negotiation_bytes()) break;
        if (readable && state() == kStateNegotiating) read_negotiation_bytes();
        break;
    case kStateConnected:
        if ((readable || exception) && !on_connected_readable()) break;
        if (writable && state() == kStateConnected) on_connected_writable();
        break;
    case kStateClosing:
        vsock_remove_from_all_sets(this);
        release_handle();
        break;
    default:
        break;
    }
}

void VBaseSocket::process_execption(const std::string &cause) {
    QRN_TRACE_FUNC("VBaseSocket::process_execption");
    fail_connect(cause);
}

void VBaseSocket::check_handshake_deadline(uint32_t now) {
    // The state first: it is published after the fields of the connect that set it (the
    // handle may belong to a later socket by now).
    const int st = state();
    if ((st != kStateConnecting && st != kStateNegotiating) || m_use_proxy != 1) return;
    if (static_cast<int32_t>(now - m_handshake_due) < 0) return;
    process_execption("proxy " + proxy_label() + " did not answer within " +
                      std::to_string(kProxyHandshakeTimeoutMs / 1000) + " s");
}

void VBaseSocket::deliver(int event, int handle, uintptr_t param, uintptr_t extra) {
    qrn_callback callback = m_callback.load(std::memory_order_acquire);
    if (callback == nullptr) return;
    callback(m_callback_ctx.load(std::memory_order_acquire), event, static_cast<uintptr_t>(handle), param, 0,
             extra);
}

void VBaseSocket::release_handle() {
    // The owner may have closed the handle from its callback; then the table's reference is
    // gone already.
    if (vsock_free_handle(this)) ReleaseRef();
}

void VBaseSocket::accept_all() {
    while (state() == kStateListening) {
        VBaseSocket *fresh = accept(nullptr);
        if (fresh == nullptr) break;
        // Its owner learns of it here, so it reaches its own loop only after this pass.
        if (VSOCK::loops() > 1) {
            CQrnFuncLock guard(vsock_lock());
            vsock_give_to_loop(fresh, vsock_next_loop());
        }
        deliver(kEventAccepted, fresh->handle(), 0, reinterpret_cast<uintptr_t>(&t_scratch));
    }
}

void VBaseSocket::on_connect_writable() {
    qrn_trace_event(kTraceModule, kTraceConnectDone, socket(), kConnectOk);
    vsock_remove_from_write_set(this);
    vsock_remove_from_except_set(this);
    if (m_use_proxy != 1) {
        set_state(kStateConnected);
        deliver(kEventConnected, m_handle, kConnectOk);
        return;
    }
    set_state(kStateNegotiating);
    start_negotiation();
}

void VBaseSocket::fail_connect(const std::string &cause) {
    qrn_trace_event(kTraceModule, kTraceConnectDone, socket(), kConnectFailed);
    vsock_remove_from_all_sets(this);
    record_connect_error(cause);
    deliver(kEventConnected, m_handle, kConnectFailed, reinterpret_cast<uintptr_t>(cause.c_str()));
    release_handle();
}

bool VBaseSocket::bytes_waiting(uint32_t *count) {
    CQrnFuncLock guard(m_lock);
    return ws::ioctlsocket(socket(), FIONREAD, count) == 0;
}

bool VBaseSocket::send_negotiation_bytes() {
    qrn_trace_event(kTraceModule, kTraceWritable, socket());
    vsock_remove_from_write_set(this);
    if (m_send_buf.get_readable() == 0) return true;
    int sent = send(m_send_buf.buffer(), m_send_buf.get_readable(), 0);
    if (sent < 0) {
        process_execption(system_failure(get_last_error()));
        return false;
    }
    m_send_buf.skip(sent);
    return true;
}

// Readable with nothing to read is the peer's end, or an owner on another thread that read
// first; a peek tells the two apart.
bool VBaseSocket::peer_has_closed() {
    CQrnFuncLock guard(m_lock);
    char byte;
    const int n = ws::recv(socket(), &byte, 1, WS_MSG_PEEK);
    return n == 0 || (n < 0 && !is_would_block(get_last_error()));
}

void VBaseSocket::read_negotiation_bytes() {
    uint32_t count = 0;
    if (!bytes_waiting(&count) || count == 0) {
        // The proxy closed the connection (or it broke).
        process_execption(m_proxy_reply.Closed());
        return;
    }
    // A proxy's reply is small; a flood is read a bounded piece at a time.
    if (count > static_cast<uint32_t>(kProxyReadChunk)) count = kProxyReadChunk;
    std::vector<char> reply(count);
    int got = recv(reply.data(), static_cast<int>(count), 0);
    if (got <= 0) {
        process_execption(got == 0 ? m_proxy_reply.Closed() : system_failure(get_last_error()));
        return;
    }
    on_negotiation_reply(reply.data(), got);
}

bool VBaseSocket::on_connected_readable() {
    if (!m_is_stream) {
        deliver(kEventReadable, m_handle, 0);
        return true;
    }
    uint32_t count = 0;
    if (!bytes_waiting(&count) || (count == 0 && peer_has_closed())) {
        qrn_trace_event(kTraceModule, kTracePeerClosed, socket(), kClosedByPeer);
        vsock_remove_from_all_sets(this);
        deliver(kEventClosed, m_handle, kClosedByPeer);
        release_handle();
        return false;
    }
    // An owner reading on its own thread took the bytes that woke us: nothing to tell.
    if (count == 0) return true;
    qrn_trace_event(kTraceModule, kTraceReadable, socket(), count);
    deliver(kEventReadable, m_handle, count);
    return true;
}

void VBaseSocket::on_connected_writable() {
    qrn_trace_event(kTraceModule, kTraceWritable, socket());
    vsock_remove_from_write_set(this);
    deliver(kEventWritable, m_handle, 0);
}
