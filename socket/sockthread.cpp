#include "socket/sockthread.h"

#include "qrnlibl/qrn_time.h"
#include "qrnlibl/qrn_trace.h"
#include "socket/basesock.h"
#include "socket/sock_defs.h"
#include "socket/sock_sets.h"
#include "socket/sockcli.h"

using namespace sock;

namespace {

constexpr uint32_t kMsPerSecond = 1000;
constexpr long kMicrosPerMs = 1000;

ws::timeval select_timeout() {
    uint32_t ms = qrn_clock_real_ms(kSelectTimeoutMs);
    return ws::timeval{static_cast<long>(ms / kMsPerSecond), static_cast<long>(ms % kMsPerSecond) * kMicrosPerMs};
}

// After a failing select: drops every socket that is no longer one, set by set, and renews
// the internal client once all three sets are clean (a new descriptor may reuse a dead one's
// number, so it must not be made while dead numbers are still listed).
void drop_dead_sockets() {
    CSockModule &m = vsock_module();
    bool client_dead = vsock_remove_not_socket(&m.read_set);
    client_dead = vsock_remove_not_socket(&m.write_set) || client_dead;
    client_dead = vsock_remove_not_socket(&m.except_set) || client_dead;
    if (client_dead) VSOCK::reconnect_internal_socket();
}

}  // namespace

VSockThread::~VSockThread() { CQrnEventThread::ThreadStop(); }

int VSockThread::ThreadStart() {
    m_stopping.store(false, std::memory_order_release);
    return CQrnEventThread::ThreadStart();
}

void VSockThread::ThreadStop() {
    m_stopping.store(true, std::memory_order_release);
    vsock_wake(INVALID_SOCKET);
    CQrnEventThread::ThreadStop();
}

int VSockThread::OnThreadTick() {
    if (m_stopping.load(std::memory_order_acquire)) return 0;
    QRN_TRACE_FUNC("VSockThread::OnThreadTick");
    int highest = 0;
    uint64_t generation = 0;
    vsock_copy_sets(&m_read, &m_write, &m_except, &highest, &generation);
    if (m_read.fd_count + m_write.fd_count + m_except.fd_count == 0) {
        // Nothing to wait on (the internal pair could not be made).
        qrn_sleep(kSelectErrorPauseMs);
        return 1;
    }

    ws::timeval timeout = select_timeout();
    int ready = ws::select(highest, &m_read, m_write.fd_count > 0 ? &m_write : nullptr,
                           m_except.fd_count > 0 ? &m_except : nullptr, &timeout);
    if (ready < 0) {
        int error = ws::WSAGetLastError();
        QRN_TRACE_ERROR(error);
        if (error == WSAENOTSOCK) drop_dead_sockets();
        qrn_sleep(kSelectErrorPauseMs);
        return 1;
    }
    if (ready == 0) {
        qrn_sleep(kSelectIdlePauseMs);
        return 1;
    }
    m_passes.fetch_add(1, std::memory_order_acq_rel);
    deliver_events(generation);
    return 1;
}

void VSockThread::deliver_events(uint64_t generation) {
    CSockModule &m = vsock_module();
    uintptr_t cursor = 0;
    {
        CQrnFuncLock guard(m.lock);
        if (m.table == nullptr) return;
        cursor = qrn_handle_mgr_enumerate_start(m.table);
    }
    for (;;) {
        VBaseSocket *sock;
        SOCKET s;
        {
            CQrnFuncLock guard(m.lock);
            if (m.table == nullptr) return;
            void **slot = qrn_handle_mgr_enumerate_next(m.table, &cursor, nullptr);
            if (slot == nullptr || *slot == nullptr) return;
            sock = static_cast<VBaseSocket *>(*slot);
            sock->AddRef();
            // A descriptor given out after the copy may carry the number of one that was closed
            // meanwhile: what select saw was about the old one.
            s = sock->socket_generation() <= generation ? sock->socket() : INVALID_SOCKET;
        }
        if (s != INVALID_SOCKET) {
            sock->check_event(ws::fd_isset(s, &m_read), ws::fd_isset(s, &m_write), ws::fd_isset(s, &m_except));
        }
        sock->ReleaseRef();
    }
}
