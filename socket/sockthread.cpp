#include "socket/sockthread.h"

#include <algorithm>

#include "qrnlibl/qrn_time.h"
#include "qrnlibl/qrn_trace.h"
#include "socket/basesock.h"
#include "socket/sock_defs.h"
#include "socket/sock_sets.h"

using namespace sock;

VSockThread::~VSockThread() { CQrnEventThread::ThreadStop(); }

int VSockThread::ThreadStart(int loop) {
    m_loop = loop;
    m_wait_ms = static_cast<int>(qrn_clock_real_ms(kSelectTimeoutMs));
    m_stopping.store(false, std::memory_order_release);
    return CQrnEventThread::ThreadStart();
}

void VSockThread::ThreadStop() {
    m_stopping.store(true, std::memory_order_release);
    vsock_wake(m_loop);
    CQrnEventThread::ThreadStop();
}

int VSockThread::OnThreadTick() {
    if (m_stopping.load(std::memory_order_acquire)) return 0;
    QRN_TRACE_FUNC("VSockThread::OnThreadTick");
    vsock_set_current_loop(m_loop);
    int ready = vsock_module().loops[m_loop].poller.wait(m_reports, kReportsPerPass, m_wait_ms);
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
    vsock_apply_moves(m_loop);
    m_wait_ms = next_wait();
    return 1;
}

int VSockThread::next_wait() {
    const int hook_ms = vsock_run_loop_hook(m_loop);
    const unsigned library_ms =
        hook_ms >= 0 ? std::min(static_cast<unsigned>(hook_ms), kSelectTimeoutMs) : kSelectTimeoutMs;
    return static_cast<int>(qrn_clock_real_ms(library_ms));
}

void VSockThread::end_late_handshakes() {
    const uint32_t now = get_tick_count();
    for (int handle : vsock_take_due_handshakes(m_loop, now)) {
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
