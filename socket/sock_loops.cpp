// The event loops of the socket layer: how many run, which loop holds each socket, the
// hand-over of a socket from one loop to another, and the hook through which the layer above
// runs its timed work on the loops.
#include <algorithm>

#include "qrnlibl/qrn_trace.h"
#include "socket/basesock.h"
#include "socket/sock_sets.h"

using namespace sock;

namespace {

thread_local int t_loop = -1;

// Opens and starts loops up to the loop count (lifecycle held, layer started).
bool start_loops(CSockModule &m) {
    const int want = m.loop_count.load(std::memory_order_acquire);
    for (int i = m.running_loops; i < want; ++i) {
        if (m.loops[i].poller.open() != 0 || m.loops[i].thread.ThreadStart(i) != 0) {
            QRN_TRACE_ERROR("event loop did not start, (loop, error)=", i, ws::WSAGetLastError());
            m.loops[i].poller.close();
            return false;
        }
        m.running_loops = i + 1;
    }
    return true;
}

}  // namespace

int vsock_current_loop() { return t_loop; }

void vsock_set_current_loop(int loop) { t_loop = loop; }

int vsock_next_loop() {
    CSockModule &m = vsock_module();
    const int count = std::min(m.loop_count.load(std::memory_order_acquire), std::max(m.running_loops, 1));
    return static_cast<int>(m.next_loop++ % static_cast<unsigned>(count));
}

bool vsock_give_to_loop(VBaseSocket *sock, int loop) {
    CSockModule &m = vsock_module();
    if (loop < 0 || loop >= m.running_loops) return false;
    sock->set_loop(loop);
    if (sock->poll_loop() == loop) return true;
    m.loops[sock->poll_loop()].moves.push_back(sock->handle());
    m.loops[sock->poll_loop()].has_moves.store(true, std::memory_order_release);
    if (t_loop != sock->poll_loop()) vsock_wake(sock->poll_loop());
    return true;
}

void vsock_apply_moves(int loop) {
    CSockModule &m = vsock_module();
    if (!m.loops[loop].has_moves.exchange(false, std::memory_order_acq_rel)) return;
    CQrnFuncLock guard(m.lock);
    std::vector<int> &moves = m.loops[loop].moves;
    for (int handle : moves) {
        VBaseSocket *sock = vsock_socket_at(handle);
        if (sock == nullptr || sock->poll_loop() != loop || sock->loop() == loop) continue;
        vsock_move_poller(sock, sock->loop());
    }
    moves.clear();
}

int vsock_run_loop_hook(int loop) {
    CSockModule &m = vsock_module();
    std::lock_guard<std::mutex> running(m.loops[loop].hook_lock);
    VSOCK::loop_hook hook = m.hook.load(std::memory_order_acquire);
    return hook != nullptr ? hook(m.hook_ctx.load(std::memory_order_acquire), loop) : -1;
}

void vsock_wake(int loop) {
    if (loop >= 0 && loop < kMaxLoops) vsock_module().loops[loop].poller.wake();
}

void vsock_wake_all() {
    for (int i = 0; i < kMaxLoops; ++i) vsock_wake(i);
}

bool vsock_start_loops() { return start_loops(vsock_module()); }

void vsock_stop_loops() {
    CSockModule &m = vsock_module();
    for (int i = 0; i < m.running_loops; ++i) m.loops[i].thread.ThreadStop();
}

void vsock_close_loops() {
    CSockModule &m = vsock_module();
    for (int i = 0; i < m.running_loops; ++i) {
        m.loops[i].poller.close();
        m.loops[i].moves.clear();
    }
    m.running_loops = 0;
}

int VSOCK::set_loops(int n) {
    if (n < 1 || n > kMaxLoops) return -1;
    CSockModule &m = vsock_module();
    std::lock_guard<std::mutex> lifecycle(m.lifecycle);
    m.loop_count.store(n, std::memory_order_release);
    if (!m.started.load(std::memory_order_acquire)) return 0;
    CQrnFuncLock guard(m.lock);
    return start_loops(m) ? 0 : -1;
}

int VSOCK::loops() { return vsock_module().loop_count.load(std::memory_order_acquire); }

int VSOCK::current_loop() { return vsock_current_loop(); }

void VSOCK::wake_loop(int loop) { vsock_wake(loop); }

void VSOCK::set_loop_hook(loop_hook hook, uintptr_t ctx) {
    CSockModule &m = vsock_module();
    m.hook.store(nullptr, std::memory_order_release);
    m.hook_ctx.store(ctx, std::memory_order_release);
    m.hook.store(hook, std::memory_order_release);
    if (hook != nullptr) {
        vsock_wake_all();
        return;
    }
    // A pass that took the previous hook ends before this returns. Only a hook taken away
    // waits: a caller that sets one may hold locks that a running hook takes.
    for (int i = 0; i < kMaxLoops; ++i) {
        if (i == t_loop) continue;
        std::lock_guard<std::mutex> passed(m.loops[i].hook_lock);
    }
}
