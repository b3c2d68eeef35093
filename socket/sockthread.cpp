#include "socket/sockthread.h"

#include <algorithm>

#include "qrnlibl/qrn_time.h"
#include "qrnlibl/qrn_trace.h"
#include "socket/basesock.h"
#include "socket/sock_defs.h"
#include "socket/sock_sets.h"

using namespace sock;

VSockThread::~VSockThread() { CQrnEventThread::ThreadStop(); }

int VSockThread::ThreadStart() {
    m_stopping.store(false, std::memory_order_release);
    return CQrnEventThread::ThreadStart();
}

void VSockThread::ThreadStop() {
    m_stopping.store(true, std::memory_order_release);
    vsock_wake();
    CQrnEventThread::ThreadStop();
}

int VSockThread::OnThreadTick() {
    if (m_stopping.load(std::memory_order_acquire)) return 0;
    QRN_TRACE_FUNC("VSockThread::OnThreadTick");
    const int timeout = static_cast<int>(qrn_clock_real_ms(kSelectTimeoutMs));
    int ready = vsock_module().poller.wait(m_reports, kReportsPerPass, timeout);
    if (ready < 0) {
        QRN_TRACE_ERROR(ws::WSAGetLastError());
        qrn_sleep(kSelectErrorPauseMs);
        return 1;
    }
    if (ready > 0) {
        m_passes.fetch_add(1, std::memory_order_acq_rel);
        deliver_events(ready);
    }
    end_late_handshakes();
    return 1;
}

void VSockThread::end_late_handshakes() {
    const uint32_t now = get_tick_count();
    for (int handle : vsock_take_due_handshakes(now)) {
        VBaseSocket *sock = vsock_lookup(handle);
        if (sock == nullptr) continue;
        sock->check_handshake_deadline(now);
        sock->ReleaseRef();
    }
}

void VSockThread::deliver_events(int count) {
    // Handle order, as a walk of the socket table would give it.
    std::sort(m_reports, m_reports + count,
              [](const ws::poll_report &a, const ws::poll_report &b) { return a.key < b.key; });
    for (int i = 0; i < count; ++i) {
        unsigned sets = 0;
        VBaseSocket *sock = vsock_reported_socket(m_reports[i], &sets);
        if (sock == nullptr) continue;
        sock->check_event((sets & ws::kWaitRead) != 0, (sets & ws::kWaitWrite) != 0, (sets & ws::kWaitExcept) != 0);
        sock->ReleaseRef();
    }
}
