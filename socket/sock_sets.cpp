#include "socket/sock_sets.h"

#include "qrnlibl/qrn_trace.h"
#include "socket/basesock.h"
#include "socket/sock_defs.h"
#include "socket/sockcli.h"

namespace {

constexpr int kKeyHandleShift = 32;
constexpr uint64_t kKeyGenerationMask = 0xffffffffu;

// The handle says where to look, the generation whether the socket found there is still the
// one that was registered (handles and descriptor numbers are both reused).
uint64_t report_key(const VBaseSocket *sock) {
    return (static_cast<uint64_t>(static_cast<uint32_t>(sock->handle())) << kKeyHandleShift) |
           (sock->socket_generation() & kKeyGenerationMask);
}

void count_sets(CSockModule &m, unsigned sets, int delta) {
    if ((sets & ws::kWaitRead) != 0) m.read_count += delta;
    if ((sets & ws::kWaitWrite) != 0) m.write_count += delta;
    if ((sets & ws::kWaitExcept) != 0) m.except_count += delta;
}

// Moves the socket to the sets `to` (VSOCK lock held). A descriptor that is gone (forgotten or
// closed) only leaves the bookkeeping: the system dropped its registration with it.
bool move_to(CSockModule &m, VBaseSocket *sock, unsigned to) {
    const unsigned from = sock->interest();
    if (from == to) return true;
    const SOCKET s = sock->socket();
    if (s != INVALID_SOCKET && m.loops[sock->poll_loop()].poller.change(s, report_key(sock), from, to) != 0) {
        const int error = ws::WSAGetLastError();
        QRN_TRACE_ERROR("socket sets, change failed (socket, error)", s, error);
        if (to != 0) return false;
    }
    count_sets(m, from, -1);
    count_sets(m, to, 1);
    sock->set_interest(to);
    return true;
}

// Whether the socket of handle is gone (its watch may end anywhere) or held by loop's poller.
bool held_by(int handle, int loop) {
    const VBaseSocket *sock = vsock_socket_at(handle);
    return sock == nullptr || sock->poll_loop() == loop;
}

bool add_to(VBaseSocket *sock, unsigned set) {
    CSockModule &m = vsock_module();
    CQrnFuncLock guard(m.lock);
    if (sock == nullptr || sock->sets_closed() || sock->socket() == INVALID_SOCKET) return false;
    return move_to(m, sock, sock->interest() | set);
}

void remove_from(VBaseSocket *sock, unsigned set) {
    CSockModule &m = vsock_module();
    CQrnFuncLock guard(m.lock);
    move_to(m, sock, sock->interest() & ~set);
}

}  // namespace

void vsock_move_poller(VBaseSocket *sock, int loop) {
    CSockModule &m = vsock_module();
    const unsigned sets = sock->interest();
    move_to(m, sock, 0);
    sock->set_poll_loop(loop);
    if (sets != 0 && !sock->sets_closed()) move_to(m, sock, sets);
}

CSockModule::CSockModule() = default;

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
    const int here = vsock_current_loop();
    const int loop = here >= 0 ? here : vsock_next_loop();
    sock->set_loop(loop);
    sock->set_poll_loop(loop);
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

VBaseSocket *vsock_socket_at(int handle) {
    CSockModule &m = vsock_module();
    void **slot = m.table != nullptr && handle > 0 ? qrn_handle_mgr_get(m.table, handle) : nullptr;
    return slot != nullptr ? static_cast<VBaseSocket *>(*slot) : nullptr;
}

VBaseSocket *vsock_lookup(int handle) {
    CQrnFuncLock guard(vsock_lock());
    VBaseSocket *sock = vsock_socket_at(handle);
    if (sock != nullptr) sock->AddRef();
    return sock;
}

uint64_t vsock_next_generation() { return ++vsock_module().generation; }

bool vsock_add_to_read_set(VBaseSocket *sock) { return add_to(sock, ws::kWaitRead); }

bool vsock_add_to_write_set(VBaseSocket *sock) { return add_to(sock, ws::kWaitWrite); }

bool vsock_add_to_except_set(VBaseSocket *sock) { return add_to(sock, ws::kWaitExcept); }

void vsock_remove_from_write_set(VBaseSocket *sock) { remove_from(sock, ws::kWaitWrite); }

void vsock_remove_from_except_set(VBaseSocket *sock) { remove_from(sock, ws::kWaitExcept); }

void vsock_remove_from_all_sets(VBaseSocket *sock) {
    CSockModule &m = vsock_module();
    CQrnFuncLock guard(m.lock);
    sock->close_sets();
    move_to(m, sock, 0);
}


VBaseSocket *vsock_reported_socket(const ws::poll_report &report, unsigned *sets) {
    const int handle = static_cast<int>(report.key >> kKeyHandleShift);
    CSockModule &m = vsock_module();
    CQrnFuncLock guard(m.lock);
    if (m.table == nullptr || handle <= 0) return nullptr;
    void **slot = qrn_handle_mgr_get(m.table, handle);
    VBaseSocket *sock = slot != nullptr ? static_cast<VBaseSocket *>(*slot) : nullptr;
    if (sock == nullptr || report_key(sock) != report.key || sock->socket() == INVALID_SOCKET) {
        qrn_trace_text("VSockThread, report of a closed socket dropped, handle=", handle);
        return nullptr;
    }
    // The sets as they are now: a socket that left the write set since the wait returned
    // is no longer told that it can write.
    *sets = ws::ready_sets(sock->interest(), report.raw);
    if (*sets == 0) return nullptr;
    sock->AddRef();
    return sock;
}

void vsock_watch_handshake(int handle, uint32_t due) {
    CQrnFuncLock guard(vsock_lock());
    vsock_module().handshakes.emplace_back(handle, due);
}

std::vector<int> vsock_take_due_handshakes(int loop, uint32_t now) {
    std::vector<int> due;
    CSockModule &m = vsock_module();
    CQrnFuncLock guard(m.lock);
    auto &watch = m.handshakes;
    for (size_t i = 0; i < watch.size();) {
        if (static_cast<int32_t>(now - watch[i].second) < 0 || !held_by(watch[i].first, loop)) {
            ++i;
            continue;
        }
        due.push_back(watch[i].first);
        watch[i] = watch.back();
        watch.pop_back();
    }
    return due;
}
