// The layer's process-wide state: start-up, the connection registry, the listener table, the
// shared socket, the timed work of each event loop and the session tags.
//
// The state is never destroyed (the event loops and the timer may still call in while static
// objects go away); the loop hook and the timer are stopped at exit, before the socket layer's
// own static state goes, since they send through it.
#include <stdlib.h>
#include <time.h>

#include <atomic>
#include <mutex>
#include <new>

#include "platform/random.h"
#include "qrnlibl/qrn_array.h"
#include "qrnlibl/qrn_handle_mgr.h"
#include "qrnlibl/qrn_time.h"
#include "qrnlibl/qrn_trace.h"
#include "socket/sock_defs.h"
#include "socket/sockcli.h"
#include "udprlb/udprlb.h"
#include "udprlb/udprlb_admission.h"
#include "udprlb/udprlb_connection.h"
#include "udprlb/udprlb_defs.h"
#include "udprlb/udprlb_module.h"
#include "udprlb/udprlb_registry.h"
#include "udprlb/udprlb_relay.h"
#include "udprlb/udprlb_timers.h"

using namespace urlb;

namespace {

struct CUdpRlbModule {
    CQrnLock lock;  // the registry lock
    std::once_flag started;
    std::atomic<bool> running{false};
    std::atomic<qrn_handle_mgr *> table{nullptr};
    std::atomic<qrn_array *> listeners{nullptr};
    std::mutex shared_socket_mutex;  // making and replacing the shared socket
    std::atomic<int> shared_socket{0};
    CUdpRlbTimers timers[sock::kMaxLoops];  // by event loop
    CUdpRlbCounters counters;
    std::atomic<uint32_t> udp_rate_mbit{0};  // the path-finding rate of new connections
};

CUdpRlbModule &udprlb_module() {
    alignas(CUdpRlbModule) static unsigned char storage[sizeof(CUdpRlbModule)];
    static CUdpRlbModule *const module = [] {
        auto *made = new (storage) CUdpRlbModule();
        for (int i = 0; i < sock::kMaxLoops; ++i) made->timers[i].SetLoop(i);
        return made;
    }();
    return *module;
}

int udprlb_loop_pass(uintptr_t, int loop) {
    return loop >= 0 && loop < sock::kMaxLoops ? udprlb_module().timers[loop].RunDue() : -1;
}

CUdpRlbTimers &timers_of(const CUdpRlbConnection *conn) {
    const int loop = conn->loop();
    return udprlb_module().timers[loop >= 0 && loop < sock::kMaxLoops ? loop : 0];
}

qrn_handle_mgr *udprlb_table() { return udprlb_module().table.load(std::memory_order_acquire); }

void udprlb_stop() {
    CUdpRlbModule &m = udprlb_module();
    if (!m.running.exchange(false)) return;
    qrn_timer_kill(&qrn_udprlb_callback, 0);
    VSOCK::set_loop_hook(nullptr, 0);
}

std::atomic<bool> g_module_made{false};

// Stops the timed work when the library is unloaded, if exit() has not already done it.
struct CUdpRlbStopper {
    ~CUdpRlbStopper() {
        // Never makes the module on the way out.
        if (g_module_made.load(std::memory_order_acquire)) udprlb_stop();
    }
} g_udprlb_stopper;

void udprlb_startup() {
    CUdpRlbModule &m = udprlb_module();
    g_module_made.store(true, std::memory_order_release);
    std::call_once(m.started, [&m] {
        if (VSOCK::startup() != sock::kStartupOk) QRN_TRACE_ERROR("socket layer did not start");
        qrn_handle_mgr *table = qrn_handle_mgr_create(kHandleTableInitial, kHandleTableGrow);
        qrn_handle_set_lock(table, &m.lock);
        qrn_array *listeners = qrn_array_init_ex(static_cast<int>(sizeof(CUdpRlbListener)), kListenerGrowBy);
        qrn_array_set_lock(listeners, &m.lock);
        // App ids name connections on the wire: ids from 1 on would tell a stranger the
        // neighbours of its own.
        uint16_t first_id = 0;
        if (!ws::GenRandom(&first_id, sizeof(first_id))) QRN_TRACE_ERROR("no random first app id");
        qrn_handle_mgr_set_next(table, first_id);
        m.listeners.store(listeners, std::memory_order_release);
        m.table.store(table, std::memory_order_release);
        VSOCK::set_loop_hook(&udprlb_loop_pass, 0);
        m.running.store(true, std::memory_order_release);
        // Registered after the socket layer started, so it runs before that layer's state goes.
        atexit(udprlb_stop);
        if (qrn_timer_set(&qrn_udprlb_callback, 0, kTimerPeriod) != 0) QRN_TRACE_ERROR("timer not set");
    });
}

}  // namespace

int qrn_udprlb_init() {
    udprlb_startup();
    return udprlb_table() != nullptr && udprlb_module().listeners.load(std::memory_order_acquire) != nullptr
               ? kInitOk
               : kInitFailed;
}

CQrnLock &udprlb_registry_lock() { return udprlb_module().lock; }

// --- connections ------------------------------------------------------------------------------

CUdpRlbConnection *GetUdpRlbConnection(int handle) {
    qrn_handle_mgr *table = udprlb_table();
    if (table == nullptr) return nullptr;
    CQrnFuncLock guard(udprlb_module().lock);
    void **slot = qrn_handle_mgr_get(table, handle);
    if (slot == nullptr || *slot == nullptr) return nullptr;
    auto *conn = static_cast<CUdpRlbConnection *>(*slot);
    conn->AddRef();
    return conn;
}

CUdpRlbConnection *udprlb_new_connection(qrn_callback callback, uintptr_t context, int socket,
                                         int max_connections, bool in_worker) {
    qrn_handle_mgr *table = udprlb_table();
    if (table == nullptr) return nullptr;
    CQrnFuncLock guard(udprlb_module().lock);
    if (qrn_handle_mgr_count(table) - udprlb_closing_count() >= max_connections) return nullptr;
    const int handle = qrn_handle_mgr_alloc_id(table);
    if (handle == 0) return nullptr;
    auto *conn = new CUdpRlbConnection(handle, callback, context, socket);
    *qrn_handle_mgr_get(table, handle) = conn;
    // Timed before the handle can be found: a close that came between the two would leave the
    // timers a reference that nothing ever drops.
    if (in_worker) udprlb_worker_add(conn);
    conn->AddRef();
    return conn;
}

bool udprlb_end_connection(CUdpRlbConnection *conn) {
    qrn_handle_mgr *table = udprlb_table();
    if (table == nullptr || conn == nullptr) return false;
    CQrnFuncLock guard(udprlb_module().lock);
    void **slot = qrn_handle_mgr_get(table, conn->handle());
    if (slot == nullptr || *slot != conn) return false;
    if (qrn_handle_mgr_free_id(table, conn->handle()) == 0) return false;
    udprlb_admission_remove(conn->handle());
    udprlb_worker_remove(conn);
    conn->ReleaseRef();
    return true;
}

void udprlb_for_each_connection(const std::function<void(CUdpRlbConnection *)> &visit) {
    qrn_handle_mgr *table = udprlb_table();
    if (table == nullptr) return;
    CQrnLock &lock = udprlb_module().lock;
    uintptr_t cursor;
    {
        CQrnFuncLock guard(lock);
        cursor = qrn_handle_mgr_enumerate_start(table);
    }
    for (;;) {
        CUdpRlbConnection *conn;
        {
            CQrnFuncLock guard(lock);
            void **slot = qrn_handle_mgr_enumerate_next(table, &cursor, nullptr);
            if (slot == nullptr || *slot == nullptr) return;
            conn = static_cast<CUdpRlbConnection *>(*slot);
            conn->AddRef();
        }
        visit(conn);
        conn->ReleaseRef();
    }
}

// --- timed work and tags ----------------------------------------------------------------------

void udprlb_worker_add(CUdpRlbConnection *conn) { timers_of(conn).AddConnection(conn); }

void udprlb_worker_remove(CUdpRlbConnection *conn) { timers_of(conn).RemoveConnection(conn); }

void udprlb_worker_wake(CUdpRlbConnection *conn) {
    if (conn != nullptr) timers_of(conn).Wake(conn);
}

uint16_t udprlb_draw_tag() {
    uint16_t tag = kNoTag;
    while (tag == kNoTag) {
        if (!ws::GenRandom(&tag, sizeof(tag))) {
            // Nothing guessable stands in for it: the connection cannot be told from a forgery.
            QRN_TRACE_ERROR("no random session tag");
            abort();
        }
    }
    return tag;
}

CUdpRlbCounters &udprlb_counters() { return udprlb_module().counters; }

void udprlb_set_default_udp_rate(uint32_t mbit) { udprlb_module().udp_rate_mbit = mbit; }

uint32_t udprlb_default_udp_rate() { return udprlb_module().udp_rate_mbit; }

void udprlb_note_own_socket(int socket) {
    uint16_t port = 0;
    if (VSOCK::getsockopt(socket, sock::kOptLocalPort, &port, static_cast<int>(sizeof(port))) != 0) {
        QRN_TRACE_ERROR("local port unknown, socket=", socket);
        return;
    }
    udprlb_relay_add_own_port(port);
}

// --- listeners and the shared socket ----------------------------------------------------------

int udprlb_add_listener(qrn_callback callback, uintptr_t context) {
    CUdpRlbModule &m = udprlb_module();
    CQrnFuncLock guard(m.lock);
    qrn_array *listeners = m.listeners.load(std::memory_order_acquire);
    if (listeners == nullptr) return -1;
    CUdpRlbListener record{callback, context, static_cast<uint16_t>(qrn_array_size(listeners))};
    return qrn_array_append(listeners, &record);
}

bool udprlb_find_listener(uintptr_t listen_id, CUdpRlbListener *out) {
    CUdpRlbModule &m = udprlb_module();
    CQrnFuncLock guard(m.lock);
    qrn_array *listeners = m.listeners.load(std::memory_order_acquire);
    if (listeners == nullptr || listen_id >= static_cast<uintptr_t>(qrn_array_size(listeners))) return false;
    const auto *record = static_cast<const CUdpRlbListener *>(qrn_array_get(listeners, static_cast<int>(listen_id)));
    if (record == nullptr) return false;
    *out = *record;
    return true;
}

int udprlb_shared_socket() { return udprlb_module().shared_socket.load(std::memory_order_acquire); }

void udprlb_set_shared_socket(int socket) {
    CUdpRlbModule &m = udprlb_module();
    std::lock_guard<std::mutex> guard(m.shared_socket_mutex);
    m.shared_socket.store(socket, std::memory_order_release);
}

int udprlb_get_or_make_shared_socket() {
    CUdpRlbModule &m = udprlb_module();
    std::lock_guard<std::mutex> guard(m.shared_socket_mutex);
    int socket = m.shared_socket.load(std::memory_order_acquire);
    if (socket != 0) return socket;
    socket = VSOCK::socket(sock::kTypeUdp, &qrn_udprlb_callback, 0);
    if (socket < 1) {
        QRN_TRACE_ERROR("create socket failed");
        return 0;
    }
    if (VSOCK::bind(socket, VSOCK::resolve_address(nullptr, 0)) != 0) {
        QRN_TRACE_ERROR("bind socket failed", socket);
        VSOCK::close(socket);
        return 0;
    }
    udprlb_note_own_socket(socket);
    m.shared_socket.store(socket, std::memory_order_release);
    return socket;
}
