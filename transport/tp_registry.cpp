#include "transport/tp_registry.h"

#include <atomic>
#include <mutex>

#include "qrnlibl/qrn_array.h"
#include "qrnlibl/qrn_handle_mgr.h"
#include "qrnlibl/qrn_lock.h"
#include "qrnlibl/qrn_time.h"
#include "qrnlibl/qrn_trace.h"
#include "rdtp/rdtp.h"
#include "rdtp/rdtp_defs.h"
#include "transport/tp_connection.h"
#include "transport/tp_debug.h"
#include "transport/tp_defs.h"

namespace {

struct CTpListener {
    qrn_callback callback;
    uintptr_t user_data;
    uint16_t index;
};

constexpr int kTableInitialSize = 4;
constexpr int kTableGrowBy = 8;
constexpr int kListenerGrowBy = 4;
constexpr uintptr_t kHandleMask = 0xffff;

CQrnLock g_table_lock;
std::mutex g_create_mutex;
std::atomic<qrn_handle_mgr *> g_table{nullptr};
qrn_array *g_listeners = nullptr;  // set before g_table, under g_create_mutex

bool GetListener(int index, CTpListener &out) {
    CQrnFuncLock guard(g_table_lock);
    const void *rec = g_listeners ? qrn_array_get(g_listeners, index) : nullptr;
    if (rec == nullptr) return false;
    out = *static_cast<const CTpListener *>(rec);
    return true;
}

// A listener's message 1: a new server-side connection on the multi-mode handle.
int AcceptFromListener(uintptr_t index, int rdtp_handle) {
    CTpListener listener;
    if (!GetListener(static_cast<int>(index & kHandleMask), listener)) {
        QRN_TRACE_ERROR("no such listener, index=", static_cast<unsigned long long>(index));
        return -1;
    }
    CTpConnection *conn = nullptr;
    if (tp_registry_new_connection(listener.callback, listener.user_data, &conn) == 0) {
        QRN_TRACE_ERROR("no transport handle for a new connection, rdtp_handle=", rdtp_handle);
        qrn_rdtp_close(rdtp_handle);
        return -1;
    }
    CQrnRefHolder<CTpConnection> hold(conn);
    conn->AddRef();
    conn->OnConnect(rdtp_handle);
    return 0;
}

void Dispatch(CTpConnection *conn, int msg, uintptr_t p1, uintptr_t p2, uintptr_t p3) {
    switch (msg) {
    case rdtp::kMsgConfirm: conn->OnConfirm(static_cast<int>(p1)); break;
    case rdtp::kMsgRead:
        conn->OnRead(static_cast<int>(p1), static_cast<int>(p2), reinterpret_cast<const void *>(p3));
        break;
    case rdtp::kMsgWrite: conn->OnWrite(static_cast<int>(p1)); break;
    case rdtp::kMsgClose: conn->OnClose(); break;
    case rdtp::kMsgConnect2: conn->OnConnect2(); break;
    case rdtp::kMsgConfirm2: conn->OnConfirm2(); break;
    case rdtp::kMsgClose2: conn->OnClose2(); break;
    default: QRN_TRACE_ERROR("unknown message, msg=", msg); break;
    }
}

}  // namespace

bool tp_registry_create() {
    std::lock_guard<std::mutex> guard(g_create_mutex);
    if (g_table.load(std::memory_order_acquire) != nullptr) return true;
    qrn_handle_mgr *table = qrn_handle_mgr_create(kTableInitialSize, kTableGrowBy);
    qrn_array *listeners = qrn_array_init_ex(sizeof(CTpListener), kListenerGrowBy);
    if (table == nullptr || listeners == nullptr) {
        if (table) qrn_handle_mgr_destroy(table);
        if (listeners) qrn_array_destroy(listeners);
        return false;
    }
    qrn_handle_set_lock(table, &g_table_lock);
    qrn_array_set_lock(listeners, &g_table_lock);
    g_listeners = listeners;
    g_table.store(table, std::memory_order_release);
    qrn_timer_set(&qrn_tp_timer_callback, 0, tp::kTimerPeriodMs / tp::kTimerShards);
    return true;
}

bool tp_registry_ready() { return g_table.load(std::memory_order_acquire) != nullptr; }

int tp_registry_add_listener(qrn_callback callback, uintptr_t user_data) {
    if (!tp_registry_ready()) return -1;
    CQrnFuncLock guard(g_table_lock);
    CTpListener rec{callback, user_data, static_cast<uint16_t>(qrn_array_size(g_listeners))};
    return qrn_array_append(g_listeners, &rec);
}

int tp_registry_new_connection(qrn_callback callback, uintptr_t user_data,
                               CTpConnection **conn) {
    qrn_handle_mgr *table = g_table.load(std::memory_order_acquire);
    if (table == nullptr) return 0;
    CQrnFuncLock guard(g_table_lock);
    const int id = qrn_handle_mgr_alloc_id(table);
    if (id == 0) return 0;
    *conn = new CTpConnection(id, callback, user_data);
    *qrn_handle_mgr_get(table, id) = *conn;
    return id;
}

CTpConnection *GetTpConn(uintptr_t handle) {
    qrn_handle_mgr *table = g_table.load(std::memory_order_acquire);
    if (table == nullptr) return nullptr;
    CQrnFuncLock guard(g_table_lock);
    void **slot = qrn_handle_mgr_get(table, static_cast<int>(handle & kHandleMask));
    if (slot == nullptr || *slot == nullptr) return nullptr;
    auto *conn = static_cast<CTpConnection *>(*slot);
    conn->AddRef();
    return conn;
}

bool tp_registry_remove(CTpConnection *conn) {
    qrn_handle_mgr *table = g_table.load(std::memory_order_acquire);
    if (table == nullptr) return false;
    bool removed = false;
    {
        CQrnFuncLock guard(g_table_lock);
        void **slot = qrn_handle_mgr_get(table, conn->conn_id());
        if (slot != nullptr && *slot == conn) removed = qrn_handle_mgr_free_id(table, conn->conn_id()) == 1;
    }
    if (removed) conn->ReleaseRef();
    return removed;
}

void tp_registry_forget(CTpConnection *conn) {
    qrn_handle_mgr *table = g_table.load(std::memory_order_acquire);
    if (table == nullptr) return;
    CQrnFuncLock guard(g_table_lock);
    void **slot = qrn_handle_mgr_get(table, conn->conn_id());
    if (slot != nullptr && *slot == conn) qrn_handle_mgr_free_id(table, conn->conn_id());
}

int tp_registry_count() {
    qrn_handle_mgr *table = g_table.load(std::memory_order_acquire);
    return table ? qrn_handle_mgr_count(table) : 0;
}

int tp_debug::table_count() { return tp_registry_count(); }

int qrn_tp_callback(uintptr_t user_data, int msg, uintptr_t handle, uintptr_t p1, uintptr_t p2,
                    uintptr_t p3) {
    qrn_trace_event(tp::kTraceModule, tp::kTraceCallback, static_cast<unsigned long long>(user_data),
                    msg, static_cast<unsigned long long>(handle), static_cast<unsigned long long>(p1),
                    static_cast<unsigned long long>(p2));
    const int rdtp_handle = static_cast<int>(handle);
    if (msg == rdtp::kMsgConnect) return AcceptFromListener(user_data, rdtp_handle);
    CQrnRefHolder<CTpConnection> conn(GetTpConn(user_data));
    if (!conn) {
        QRN_TRACE_ERROR("event for an unknown handle, conn_id=", static_cast<unsigned long long>(user_data));
        return 0;
    }
    // A connection that the application closed still takes its events: it may have its
    // closing PDU to hand over, or learn that its path is gone, before it is released.
    if (!conn->TakesEvent(rdtp_handle)) return 0;
    Dispatch(conn.get(), msg, p1, p2, p3);
    return 0;
}

int qrn_tp_timer_callback(uintptr_t, int, uintptr_t, uintptr_t now, uintptr_t, uintptr_t) {
    static std::atomic<uint32_t> turn{0};
    qrn_handle_mgr *table = g_table.load(std::memory_order_acquire);
    if (table == nullptr) return 0;
    const uint32_t shard = turn.fetch_add(1, std::memory_order_relaxed) % tp::kTimerShards;
    uintptr_t cursor = qrn_handle_mgr_enumerate_start(table);
    int id = 0;
    while (qrn_handle_mgr_enumerate_next(table, &cursor, &id) != nullptr) {
        if (static_cast<uint32_t>(id) % tp::kTimerShards != shard) continue;
        CQrnRefHolder<CTpConnection> conn(GetTpConn(static_cast<uintptr_t>(id)));
        if (conn) conn->OnTimer(static_cast<uint32_t>(now));
    }
    return 0;
}
