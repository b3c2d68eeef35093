// VSOCK: start and stop of the socket layer, and the functions that take a socket handle. The
// address functions are in sock_address.cpp.
#include "socket/sockcli.h"

#include <vector>

#include "qrnlibl/qrn_trace.h"
#include "socket/basesock.h"
#include "socket/sock_defs.h"
#include "socket/sock_sets.h"

using namespace sock;

namespace {

using CSocketRef = CQrnRefHolder<VBaseSocket>;

// Takes a socket out of the table for good: out of the sets, descriptor closed when it is
// open (state 2, 3 or 5), handle freed, the table's reference released (VSOCK lock held).
void close_socket(VBaseSocket *sock) {
    vsock_remove_from_all_sets(sock);
    int state = sock->state();
    if (state == kStateListening || state == kStateConnecting || state == kStateConnected) {
        sock->set_state(kStateClosing);
        sock->close();
    }
    if (vsock_free_handle(sock)) sock->ReleaseRef();
}

void close_all_sockets(CSockModule &m) {
    CQrnFuncLock guard(m.lock);
    std::vector<VBaseSocket *> all;
    if (m.table != nullptr) {
        uintptr_t cursor = qrn_handle_mgr_enumerate_start(m.table);
        while (void **slot = qrn_handle_mgr_enumerate_next(m.table, &cursor, nullptr)) {
            if (*slot == nullptr) break;
            auto *sock = static_cast<VBaseSocket *>(*slot);
            sock->AddRef();
            all.push_back(sock);
        }
    }
    for (VBaseSocket *sock : all) {
        close_socket(sock);
        sock->ReleaseRef();
    }
}

// Looks the handle up and runs op on its object; 3 for an unknown handle.
template <class Op>
int with_socket(int handle, Op op) {
    CSocketRef sock(vsock_lookup(handle));
    if (!sock) return kErrUnknownHandle;
    return op(sock.get());
}

}  // namespace

int VSOCK::startup() {
    QRN_TRACE_FUNC("VSOCK::startup");
    CSockModule &m = vsock_module();
    std::lock_guard<std::mutex> lifecycle(m.lifecycle);
    if (m.started.load(std::memory_order_acquire)) return kStartupOk;

    const uint16_t version = ws::make_word(1, 1);
    ws::WSADATA data{};
    if (ws::WSAStartup(version, &data) != 0) return kStartupFailed;
    if (data.wVersion != version) {
        ws::WSACleanup();
        return kStartupWrongVersion;
    }
    {
        CQrnFuncLock guard(m.lock);
        m.table = qrn_handle_mgr_create(kTableInitialSize, kTableGrowBy);
        if (m.table == nullptr) {
            ws::WSACleanup();
            return kStartupFailed;
        }
        qrn_handle_set_lock(m.table, &m.lock);
        if (!vsock_start_loops()) {
            QRN_TRACE_ERROR("VSOCK::startup, no poller", ws::WSAGetLastError());
            vsock_stop_loops();
            vsock_close_loops();
            qrn_handle_mgr_destroy(m.table);
            m.table = nullptr;
            ws::WSACleanup();
            return kStartupFailed;
        }
        // Taken while descriptors are plentiful, for the day they run out.
        if (!m.reserve.hold()) QRN_TRACE_ERROR("VSOCK::startup, no spare descriptor");
        m.started.store(true, std::memory_order_release);
    }
    return kStartupOk;
}

int VSOCK::shutdown() {
    QRN_TRACE_FUNC("VSOCK::shutdown");
    CSockModule &m = vsock_module();
    std::lock_guard<std::mutex> lifecycle(m.lifecycle);
    if (!m.started.load(std::memory_order_acquire)) return 0;
    vsock_stop_loops();
    close_all_sockets(m);
    {
        CQrnFuncLock guard(m.lock);
        qrn_handle_mgr_destroy(m.table);
        m.table = nullptr;
        vsock_close_loops();
        m.reserve.release();
        m.started.store(false, std::memory_order_release);
    }
    ws::WSACleanup();
    return 0;
}

int VSOCK::socket(int type, qrn_callback callback, uintptr_t ctx) {
    QRN_TRACE_FUNC("VSOCK::socket");
    if (type != kTypeTcp && type != kTypeUdp) return -1;
    if (!vsock_module().started.load(std::memory_order_acquire) && VSOCK::startup() != kStartupOk) return -1;
    auto *sock = new VBaseSocket();
    const int handle = sock->handle();
    if (handle == 0) {
        QRN_TRACE_ERROR("socket table full");
        sock->ReleaseRef();
        return -1;
    }
    // A handle without a socket would only fail later and less clearly (create traced why).
    bool ok = sock->create(type == kTypeTcp ? 1 : 0) != 0;
    sock->setsockopt(kOptCallback, reinterpret_cast<uintptr_t>(callback), sizeof(uintptr_t));
    sock->setsockopt(kOptCallbackCtx, ctx, sizeof(uintptr_t));
    if (ok && type == kTypeUdp) ok = vsock_add_to_read_set(sock);
    if (!ok) {
        CQrnFuncLock guard(vsock_lock());
        close_socket(sock);
        return -1;
    }
    return handle;
}

int VSOCK::bind(int handle, const ws::sockaddr_in *address) {
    QRN_TRACE_FUNC("VSOCK::bind");
    return with_socket(handle, [&](VBaseSocket *sock) { return sock->bind(address); });
}

int VSOCK::listen(int handle) {
    QRN_TRACE_FUNC("VSOCK::listen");
    CQrnFuncLock guard(vsock_lock());
    return with_socket(handle, [&](VBaseSocket *sock) {
        if (sock->state() != kStateCreated) {
            QRN_TRACE_ERROR("VSOCK::listen, wrong state", sock->state());
            return kErrWrongState;
        }
        int result = sock->listen();
        if (result == 0 && !vsock_add_to_read_set(sock)) return SOCKET_ERROR;
        return result;
    });
}

int VSOCK::connect(int handle, const ws::sockaddr_in *address) {
    QRN_TRACE_FUNC("VSOCK::connect");
    // Held throughout, so that the socket thread sees the socket in all its sets at once.
    CQrnFuncLock guard(vsock_lock());
    return with_socket(handle, [&](VBaseSocket *sock) {
        if (sock->state() != kStateCreated) {
            QRN_TRACE_ERROR("VSOCK::connect, wrong state", sock->state());
            return kErrWrongState;
        }
        int result = sock->connect(address);
        if (result == 0 && !(vsock_add_to_read_set(sock) && vsock_add_to_except_set(sock))) return SOCKET_ERROR;
        return result;
    });
}

int VSOCK::close(int handle) {
    QRN_TRACE_FUNC("VSOCK::close");
    CQrnFuncLock guard(vsock_lock());
    return with_socket(handle, [&](VBaseSocket *sock) {
        if (sock->state() == kStateClosing) {
            vsock_remove_from_all_sets(sock);
            return kErrUnknownHandle;
        }
        close_socket(sock);
        return 0;
    });
}

int VSOCK::send(int handle, const void *buffer, int length, int flags) {
    QRN_TRACE_FUNC("VSOCK::send");
    return with_socket(handle, [&](VBaseSocket *sock) { return sock->send(buffer, length, flags); });
}

int VSOCK::recv(int handle, void *buffer, int length, int flags) {
    QRN_TRACE_FUNC("VSOCK::recv");
    return with_socket(handle, [&](VBaseSocket *sock) { return sock->recv(buffer, length, flags); });
}

int VSOCK::sendto(int handle, const void *buffer, int length, int flags, const ws::sockaddr_in *address) {
    QRN_TRACE_FUNC("VSOCK::sendto");
    return with_socket(handle, [&](VBaseSocket *sock) { return sock->sendto(buffer, length, flags, address); });
}

int VSOCK::recvfrom_batch(int handle, ws::datagram *batch, int count) {
    QRN_TRACE_FUNC("VSOCK::recvfrom_batch");
    return with_socket(handle, [&](VBaseSocket *sock) { return sock->recvfrom_batch(batch, count); });
}

int VSOCK::recvfrom(int handle, void *buffer, int length, int flags, ws::sockaddr_in **out_address) {
    QRN_TRACE_FUNC("VSOCK::recvfrom");
    return with_socket(handle,
                       [&](VBaseSocket *sock) { return sock->recvfrom(buffer, length, flags, out_address); });
}

int VSOCK::getsockopt(int handle, int option, void *out, int length) {
    QRN_TRACE_FUNC("VSOCK::getsockopt");
    return with_socket(handle, [&](VBaseSocket *sock) { return sock->getsockopt(option, out, length); });
}

int VSOCK::setsockopt(int handle, int option, uintptr_t value, int length) {
    QRN_TRACE_FUNC("VSOCK::setsockopt");
    return with_socket(handle, [&](VBaseSocket *sock) { return sock->setsockopt(option, value, length); });
}
