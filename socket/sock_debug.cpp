#include "socket/sock_debug.h"

#include "socket/basesock.h"
#include "socket/sock_sets.h"

namespace sock_debug {

namespace {

int read_locked(int CSockModule::*field) {
    CSockModule &m = vsock_module();
    CQrnFuncLock guard(m.lock);
    return m.*field;
}

int set_count(ws::fd_set CSockModule::*set) {
    CSockModule &m = vsock_module();
    CQrnFuncLock guard(m.lock);
    return static_cast<int>((m.*set).fd_count);
}

bool in_set(int handle, ws::fd_set CSockModule::*set) {
    CSockModule &m = vsock_module();
    CQrnFuncLock guard(m.lock);
    CQrnRefHolder<VBaseSocket> sock(vsock_lookup(handle));
    return sock && sock->socket() != INVALID_SOCKET && ws::fd_isset(sock->socket(), &(m.*set));
}

}  // namespace

int internal_listener() { return read_locked(&CSockModule::internal_listener); }
int internal_client() { return read_locked(&CSockModule::internal_client); }
int internal_server() { return read_locked(&CSockModule::internal_server); }

SOCKET raw_socket(int handle) {
    CQrnRefHolder<VBaseSocket> sock(vsock_lookup(handle));
    return sock ? sock->socket() : INVALID_SOCKET;
}

int state(int handle) {
    CQrnRefHolder<VBaseSocket> sock(vsock_lookup(handle));
    return sock ? sock->state() : -1;
}

bool vsock_lock_held() { return vsock_lock().IsHeldByCurrentThread(); }

int read_set_count() { return set_count(&CSockModule::read_set); }
int write_set_count() { return set_count(&CSockModule::write_set); }
int except_set_count() { return set_count(&CSockModule::except_set); }
bool in_read_set(int handle) { return in_set(handle, &CSockModule::read_set); }
bool in_write_set(int handle) { return in_set(handle, &CSockModule::write_set); }

int socket_count() {
    CSockModule &m = vsock_module();
    CQrnFuncLock guard(m.lock);
    return m.table != nullptr ? qrn_handle_mgr_count(m.table) : 0;
}

uint64_t thread_passes() { return vsock_module().thread.passes(); }

}  // namespace sock_debug
