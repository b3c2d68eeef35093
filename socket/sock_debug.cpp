#include "socket/sock_debug.h"

#include "socket/basesock.h"
#include "socket/sock_sets.h"

namespace sock_debug {

namespace {

int set_count(int CSockModule::*count) {
    CSockModule &m = vsock_module();
    CQrnFuncLock guard(m.lock);
    return m.*count;
}

bool in_set(int handle, unsigned set) {
    CSockModule &m = vsock_module();
    CQrnFuncLock guard(m.lock);
    CQrnRefHolder<VBaseSocket> sock(vsock_lookup(handle));
    return sock && (sock->interest() & set) != 0;
}

}  // namespace

SOCKET raw_socket(int handle) {
    CQrnRefHolder<VBaseSocket> sock(vsock_lookup(handle));
    return sock ? sock->socket() : INVALID_SOCKET;
}

int state(int handle) {
    CQrnRefHolder<VBaseSocket> sock(vsock_lookup(handle));
    return sock ? sock->state() : -1;
}

bool vsock_lock_held() { return vsock_lock().IsHeldByCurrentThread(); }

int read_set_count() { return set_count(&CSockModule::read_count); }
int write_set_count() { return set_count(&CSockModule::write_count); }
int except_set_count() { return set_count(&CSockModule::except_count); }
bool in_read_set(int handle) { return in_set(handle, ws::kWaitRead); }
bool in_write_set(int handle) { return in_set(handle, ws::kWaitWrite); }

int socket_count() {
    CSockModule &m = vsock_module();
    CQrnFuncLock guard(m.lock);
    return m.table != nullptr ? qrn_handle_mgr_count(m.table) : 0;
}

uint64_t thread_passes() {
    CSockModule &m = vsock_module();
    uint64_t passes = 0;
    for (const CSockLoop &loop : m.loops) passes += loop.thread.passes();
    return passes;
}

}  // namespace sock_debug
