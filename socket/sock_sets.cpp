#include "socket/sock_sets.h"

#include <string.h>

#include "qrnlibl/qrn_trace.h"
#include "socket/basesock.h"
#include "socket/sock_defs.h"
#include "socket/sockcli.h"

namespace {

void copy_set(const ws::fd_set &from, ws::fd_set *to) {
    to->fd_count = from.fd_count;
    memcpy(to->fd_array, from.fd_array, from.fd_count * sizeof(from.fd_array[0]));
}

// Calls visit(object) for every object in the table, in handle order (VSOCK lock held).
template <class Visit>
void for_each_socket(CSockModule &m, Visit visit) {
    if (m.table == nullptr) return;
    uintptr_t cursor = qrn_handle_mgr_enumerate_start(m.table);
    while (void **slot = qrn_handle_mgr_enumerate_next(m.table, &cursor, nullptr)) {
        if (*slot == nullptr) break;
        visit(static_cast<VBaseSocket *>(*slot));
    }
}

// The highest-socket value after `removed` has left the sets.
void recompute_highest(CSockModule &m, const VBaseSocket *removed) {
    int highest = 0;
    for_each_socket(m, [&](VBaseSocket *sock) {
        SOCKET s = sock->socket();
        if (sock != removed && s != INVALID_SOCKET && !sock->sets_closed() && s + 1 > highest) highest = s + 1;
    });
    m.highest = highest;
}

// The socket of an object that may still enter a set, or INVALID_SOCKET (VSOCK lock held).
SOCKET settable_socket(const VBaseSocket *sock) {
    if (sock == nullptr || sock->sets_closed()) return INVALID_SOCKET;
    return sock->socket();
}

bool add_to(VBaseSocket *sock, ws::fd_set *set) {
    CQrnFuncLock guard(vsock_lock());
    SOCKET s = settable_socket(sock);
    // A full set silently leaves the socket out: it then never gets an event.
    return s != INVALID_SOCKET && ws::fd_set_add(s, set);
}

void remove_everywhere(CSockModule &m, SOCKET s, const VBaseSocket *owner) {
    ws::fd_set_remove(s, &m.read_set);
    ws::fd_set_remove(s, &m.write_set);
    ws::fd_set_remove(s, &m.except_set);
    if (s + 1 >= m.highest) recompute_highest(m, owner);
}

VBaseSocket *find_by_socket(CSockModule &m, SOCKET s) {
    VBaseSocket *found = nullptr;
    for_each_socket(m, [&](VBaseSocket *sock) {
        if (found == nullptr && sock->socket() == s) found = sock;
    });
    return found;
}

bool is_dead_socket(SOCKET s) {
    ws::fd_set probe;
    probe.fd_count = 1;
    probe.fd_array[0] = s;
    ws::timeval no_wait{0, 0};
    return ws::select(s + 1, &probe, nullptr, nullptr, &no_wait) < 0 &&
           ws::WSAGetLastError() == WSAENOTSOCK;
}

}  // namespace

CSockModule::CSockModule() {
    ws::fd_zero(&read_set);
    ws::fd_zero(&write_set);
    ws::fd_zero(&except_set);
}

CSockModule::~CSockModule() { VSOCK::shutdown(); }

CSockModule &vsock_module() {
    static CSockModule module;
    return module;
}

CQrnLock &vsock_lock() { return vsock_module().lock; }

int vsock_register(VBaseSocket *sock) {
    CSockModule &m = vsock_module();
    CQrnFuncLock guard(m.lock);
    if (m.table == nullptr) return 0;
    int id = qrn_handle_mgr_alloc_id(m.table);
    if (id == 0) return 0;
    *qrn_handle_mgr_get(m.table, id) = sock;
    sock->set_handle(id);
    return id;
}

bool vsock_free_handle(VBaseSocket *sock) {
    CSockModule &m = vsock_module();
    CQrnFuncLock guard(m.lock);
    if (m.table == nullptr || sock->handle() == 0) return false;
    void **slot = qrn_handle_mgr_get(m.table, sock->handle());
    if (slot == nullptr || *slot != sock) return false;
    *slot = nullptr;
    return qrn_handle_mgr_free_id(m.table, sock->handle()) == 1;
}

VBaseSocket *vsock_lookup(int handle) {
    CSockModule &m = vsock_module();
    CQrnFuncLock guard(m.lock);
    if (m.table == nullptr || handle <= 0) return nullptr;
    void **slot = qrn_handle_mgr_get(m.table, handle);
    if (slot == nullptr || *slot == nullptr) return nullptr;
    auto *sock = static_cast<VBaseSocket *>(*slot);
    sock->AddRef();
    return sock;
}

uint64_t vsock_next_generation() { return ++vsock_module().generation; }

void vsock_add_to_read_set(VBaseSocket *sock) {
    CSockModule &m = vsock_module();
    CQrnFuncLock guard(m.lock);
    if (!add_to(sock, &m.read_set)) return;
    if (sock->socket() + 1 > m.highest) m.highest = sock->socket() + 1;
    // A select already under way would not see the new socket until its time-out.
    vsock_wake(sock->socket());
}

void vsock_add_to_write_set(VBaseSocket *sock) { add_to(sock, &vsock_module().write_set); }

void vsock_add_to_except_set(VBaseSocket *sock) { add_to(sock, &vsock_module().except_set); }

void vsock_remove_from_write_set(VBaseSocket *sock) {
    CSockModule &m = vsock_module();
    CQrnFuncLock guard(m.lock);
    SOCKET s = sock->socket();
    if (s != INVALID_SOCKET) ws::fd_set_remove(s, &m.write_set);
}

void vsock_remove_from_except_set(VBaseSocket *sock) {
    CSockModule &m = vsock_module();
    CQrnFuncLock guard(m.lock);
    SOCKET s = sock->socket();
    if (s != INVALID_SOCKET) ws::fd_set_remove(s, &m.except_set);
}

void vsock_remove_from_all_sets(VBaseSocket *sock) {
    CSockModule &m = vsock_module();
    CQrnFuncLock guard(m.lock);
    sock->close_sets();
    SOCKET s = sock->socket();
    if (s != INVALID_SOCKET) remove_everywhere(m, s, sock);
}

void vsock_wake(SOCKET just_added) {
    CSockModule &m = vsock_module();
    CQrnFuncLock guard(m.lock);
    if (m.internal_client == 0) return;
    CQrnRefHolder<VBaseSocket> client(vsock_lookup(m.internal_client));
    if (!client || client->socket() == just_added || client->state() != sock::kStateConnected) return;
    const char wake_byte = 0;
    VSOCK::send(m.internal_client, &wake_byte, 1, 0);
}

void vsock_copy_sets(ws::fd_set *read, ws::fd_set *write, ws::fd_set *except, int *highest,
                     uint64_t *generation) {
    CSockModule &m = vsock_module();
    CQrnFuncLock guard(m.lock);
    copy_set(m.read_set, read);
    copy_set(m.write_set, write);
    copy_set(m.except_set, except);
    *highest = m.highest;
    *generation = m.generation;
}

bool vsock_remove_not_socket(ws::fd_set *live) {
    QRN_TRACE_FUNC("VSockThread::remove_not_socket");
    CSockModule &m = vsock_module();
    CQrnFuncLock guard(m.lock);
    ws::fd_set copy;
    copy_set(*live, &copy);
    bool client_removed = false;
    for (unsigned i = 0; i < copy.fd_count; ++i) {
        SOCKET s = copy.fd_array[i];
        if (!is_dead_socket(s)) continue;
        VBaseSocket *owner = find_by_socket(m, s);
        // Out of every set at once: the number may be handed out again from now on.
        remove_everywhere(m, s, owner);
        if (owner == nullptr) continue;
        owner->forget_socket();
        if (owner->handle() == m.internal_client) client_removed = true;
    }
    return client_removed;
}
