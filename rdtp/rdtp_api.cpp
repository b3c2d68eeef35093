// The multi-mode layer's module: start-up, the handle and listener tables, the qrn_rdtp_*
// functions, the trampolines and the one dispatcher of lower-layer and timer events.
//
// The registry lock guards both tables. It is taken with no connection lock held, and a
// connection's lock may be taken under it (registry -> connection -> VSOCK); a connection
// destroyed by qrn_rdtp_close runs its destructor under it, which takes no connection lock.
#include "rdtp/rdtp.h"

#include <atomic>
#include <mutex>
#include <new>
#include <vector>

#include "platform/random.h"
#include "qrnlibl/qrn_array.h"
#include "qrnlibl/qrn_handle_mgr.h"
#include "qrnlibl/qrn_time.h"
#include "qrnlibl/qrn_trace.h"
#include "qrnlibl/qrn_util.h"
#include "rdhttp/rdhttp_defs.h"
#include "rdhttp/rdhttpc.h"
#include "rdtp/rdtp_connect_errors.h"
#include "rdtp/rdtp_connection.h"
#include "rdtp/rdtp_debug.h"
#include "rdtp/rdtp_defs.h"
#include "rdtp/rdtp_module.h"
#include "socket/sock_defs.h"
#include "socket/sockcli.h"
#include "udprlb/udprlb.h"

using namespace rdtp;

namespace {

// What an accepted path needs to find its upper layer; its index is the lower user data of
// the listening paths.
struct CRdtpListener {
    qrn_callback callback;
    uintptr_t user_data;
    uint16_t index;
};

struct CRdtpModule {
    CQrnLock lock;  // the registry lock
    std::once_flag started;
    std::once_flag serving;
    std::atomic<qrn_handle_mgr *> table{nullptr};
    std::atomic<qrn_array *> listeners{nullptr};
    std::atomic<uint32_t> server_tag{0};
};

// Never destroyed: lower-layer threads may still deliver while static objects go away.
CRdtpModule &rdtp_module() {
    alignas(CRdtpModule) static unsigned char storage[sizeof(CRdtpModule)];
    static CRdtpModule *const module = new (storage) CRdtpModule();
    return *module;
}

qrn_handle_mgr *rdtp_table() { return rdtp_module().table.load(std::memory_order_acquire); }

void rdtp_startup() {
    CRdtpModule &m = rdtp_module();
    std::call_once(m.started, [&m] {
        if (VSOCK::startup() != sock::kStartupOk) QRN_TRACE_ERROR("socket layer did not start");
        qrn_handle_mgr *table = qrn_handle_mgr_create(kTableInitialSize, kTableGrowBy);
        qrn_handle_set_lock(table, &m.lock);
        qrn_array *listeners = qrn_array_init_ex(static_cast<int>(sizeof(CRdtpListener)), kListenerGrowBy);
        qrn_array_set_lock(listeners, &m.lock);
        m.listeners.store(listeners, std::memory_order_release);
        m.table.store(table, std::memory_order_release);
        qrn_timer_set(&qrn_rdtp_timer_callback, 0, kTimerPeriodMs);
    });
}

// A random tag, never 0; 0 only when the random source failed.
uint32_t rdtp_random_tag() {
    uint32_t tag = 0;
    while (tag == 0) {
        if (!ws::GenRandom(&tag, sizeof(tag))) {
            QRN_TRACE_ERROR("no random source for a tag");
            return 0;
        }
    }
    return tag;
}

// The server tag is fixed by the first listen, before any path is open, and kept for the life
// of the process, so that a client can resume across every listener. It is random, as a
// process id would be known to anyone who connected once.
void rdtp_start_serving() {
    CRdtpModule &m = rdtp_module();
    std::call_once(m.serving, [&m] { m.server_tag.store(rdtp_random_tag(), std::memory_order_release); });
}

int rdtp_add_listener(qrn_callback callback, uintptr_t user_data) {
    CRdtpModule &m = rdtp_module();
    CQrnFuncLock guard(m.lock);
    qrn_array *listeners = m.listeners.load(std::memory_order_acquire);
    CRdtpListener record{callback, user_data, static_cast<uint16_t>(qrn_array_size(listeners))};
    return qrn_array_append(listeners, &record);
}

bool rdtp_find_listener(uintptr_t index, CRdtpListener *out) {
    CRdtpModule &m = rdtp_module();
    CQrnFuncLock guard(m.lock);
    qrn_array *listeners = m.listeners.load(std::memory_order_acquire);
    if (listeners == nullptr || index >= static_cast<uintptr_t>(qrn_array_size(listeners))) return false;
    const auto *record = static_cast<const CRdtpListener *>(qrn_array_get(listeners, static_cast<int>(index)));
    if (record == nullptr) return false;
    *out = *record;
    return true;
}

// A new connection in a fresh slot, with the table's reference and one for the caller.
CRdtpConnection *rdtp_new_connection(qrn_callback callback, uintptr_t user_data) {
    qrn_handle_mgr *table = rdtp_table();
    if (table == nullptr) return nullptr;
    CQrnFuncLock guard(rdtp_module().lock);
    const int handle = qrn_handle_mgr_alloc_id(table);
    if (handle == 0) return nullptr;
    auto *conn = new CRdtpConnection(handle, callback, user_data);
    *qrn_handle_mgr_get(table, handle) = conn;
    conn->AddRef();
    return conn;
}

bool rdtp_listen_tcp_at(const char *address, uint16_t port, int index) {
    const int handle = VSOCK::socket(sock::kTypeTcp, &qrn_rdtp_tcp_callback, static_cast<uintptr_t>(index));
    if (handle < 1) return false;
    const ws::sockaddr_in *where = VSOCK::resolve_address(address, port);
    if (where != nullptr && VSOCK::bind(handle, where) == 0 && VSOCK::listen(handle) == 0) return true;
    QRN_TRACE_ERROR("cannot listen, (address, port)=", address != nullptr ? address : "any", static_cast<int>(port));
    VSOCK::close(handle);
    return false;
}

// One listening socket per address of bind_ip, or one at any address.
bool rdtp_listen_tcp(const char *bind_ip, uint16_t port, int index) {
    std::vector<CQrnString> addresses;
    if (bind_ip != nullptr) addresses = str_explode(bind_ip, kBindSeparator);
    // An empty list would listen nowhere and still report success.
    if (addresses.empty()) return rdtp_listen_tcp_at(nullptr, port, index);
    for (const CQrnString &address : addresses) {
        if (!rdtp_listen_tcp_at(address.c_str(), port, index)) return false;
    }
    return true;
}

// The oldest pending TCP path that a new one displaced goes with its object.
void rdtp_close_displaced(const CRdtpDisplaced &displaced) {
    if (displaced.conn == nullptr) return;
    CQrnRefHolder<CRdtpConnection> old(GetRdtpConnection(displaced.handle));
    if (old && old.get() == displaced.conn && old->Displace()) rdtp_remove_connection(old.get());
}

// Message 1: a listening path accepted lower_handle for the listener at index user_data.
int rdtp_accept(int from, uintptr_t user_data, int lower_handle) {
    CRdtpListener listener{};
    if (!rdtp_find_listener(user_data, &listener)) {
        QRN_TRACE_ERROR("accept for no listener, (from, index)=", from, user_data);
        // Its events would carry the listener index as if it were a connection's handle.
        rdtp_close_lower(from, lower_handle);
        return kDispatchNoListener;
    }
    CQrnRefHolder<CRdtpConnection> conn(rdtp_new_connection(listener.callback, listener.user_data));
    if (!conn) {
        QRN_TRACE_ERROR("handle table full, lower handle=", lower_handle);
        rdtp_close_lower(from, lower_handle);
        return kDispatchNoListener;
    }
    // Read before the object takes the path: a path that is gone by then has no source.
    uint32_t source = 0;
    if (from == kFromTcp) {
        VSOCK::getsockopt(lower_handle, sock::kOptPeerIp, &source, sizeof(source));
    } else if (from == kFromUdp) {
        qrn_udprlb_option(lower_handle, kLowerOptPeerIp, reinterpret_cast<uintptr_t>(&source));
    }
    conn->SetSource(source);
    if (from == kFromTcp) {
        int loop = 0;
        if (VSOCK::getsockopt(lower_handle, sock::kOptLoop, &loop, sizeof(loop)) == 0) conn->SetLoop(loop);
    }
    conn->OnConnect(from, lower_handle);
    if (from != kFromTcp) return kDispatchOk;
    const CRdtpPendingAdmission admission = conn->BeginPendingTcp(static_cast<int>(user_data), source);
    if (!admission.admitted) rdtp_remove_connection(conn.get());
    rdtp_close_displaced(admission.displaced);
    return kDispatchOk;
}

// Each connection is visited on a reference taken under the registry lock, so that a close or
// a removal on another thread meanwhile leaves it alive until its OnTimer has returned.
void rdtp_timer_walk() {
    qrn_handle_mgr *table = rdtp_table();
    if (table == nullptr) return;
    CQrnLock &lock = rdtp_module().lock;
    uintptr_t cursor;
    {
        CQrnFuncLock guard(lock);
        cursor = qrn_handle_mgr_enumerate_start(table);
    }
    for (;;) {
        CRdtpConnection *conn;
        {
            CQrnFuncLock guard(lock);
            void **slot = qrn_handle_mgr_enumerate_next(table, &cursor, nullptr);
            if (slot == nullptr || *slot == nullptr) return;
            conn = static_cast<CRdtpConnection *>(*slot);
            conn->AddRef();
        }
        conn->OnTimer();
        conn->ReleaseRef();
    }
}

int low16(uintptr_t value) { return static_cast<int>(value & kLowerResultMask); }

}  // namespace

// --- what the connections use ----------------------------------------------------------------

uint32_t rdtp_server_tag() { return rdtp_module().server_tag.load(std::memory_order_acquire); }

uint32_t rdtp_new_client_tag() { return rdtp_random_tag(); }

void rdtp_close_lower(int from, int handle) {
    switch (from) {
    case kFromUdp:
        qrn_udprlb_close(handle);
        break;
    case kFromTcp:
        VSOCK::close(handle);
        break;
    case kFromHttp:
        qrn_rdhttp_close(handle);
        break;
    default:
        QRN_TRACE_ERROR("unknown from", from);
        break;
    }
}

bool rdtp_remove_connection(CRdtpConnection *conn) {
    qrn_handle_mgr *table = rdtp_table();
    if (table == nullptr) return false;
    CQrnFuncLock guard(rdtp_module().lock);
    void **slot = qrn_handle_mgr_get(table, conn->handle());
    if (slot == nullptr || *slot != conn) return false;
    if (qrn_handle_mgr_free_id(table, conn->handle()) == 0) return false;
    conn->ReleaseRef();
    return true;
}

int qrn_rdtp_udp_callback(uintptr_t user, int msg, uintptr_t handle, uintptr_t p1, uintptr_t p2, uintptr_t p3) {
    return qrn_rdtp_callback(kFromUdp, user, msg, handle, p1, p2, p3);
}

int qrn_rdtp_tcp_callback(uintptr_t user, int msg, uintptr_t handle, uintptr_t p1, uintptr_t p2, uintptr_t p3) {
    return qrn_rdtp_callback(kFromTcp, user, msg, handle, p1, p2, p3);
}

int qrn_rdtp_http_callback(uintptr_t user, int msg, uintptr_t handle, uintptr_t p1, uintptr_t p2, uintptr_t p3) {
    return qrn_rdtp_callback(kFromHttp, user, msg, handle, p1, p2, p3);
}

int qrn_rdtp_timer_callback(uintptr_t user, int msg, uintptr_t handle, uintptr_t p1, uintptr_t p2, uintptr_t p3) {
    return qrn_rdtp_callback(kFromTimer, user, msg, handle, p1, p2, p3);
}

// --- the face --------------------------------------------------------------------------------

int qrn_rdtp_failed_connect_error(uintptr_t user_data, char *out, int size) {
    return rdtp_connect_errors().Read(user_data, out, size) ? 1 : 0;
}

CRdtpConnection *GetRdtpConnection(int handle) {
    qrn_handle_mgr *table = rdtp_table();
    if (table == nullptr) return nullptr;
    CQrnFuncLock guard(rdtp_module().lock);
    void **slot = qrn_handle_mgr_get(table, handle);
    if (slot == nullptr || *slot == nullptr) return nullptr;
    auto *conn = static_cast<CRdtpConnection *>(*slot);
    conn->AddRef();
    return conn;
}

int qrn_rdtp_listen(const char *bind_ip, int udp_port, int tcpip_port, int http_port, qrn_callback callback,
                    uintptr_t user_data) {
    QRN_TRACE_FUNC("qrn_rdtp_listen");
    qrn_trace_text("qrn_rdtp_listen, (bind_ip, udp_port, tcpip_port, http_port)=", bind_ip != nullptr ? bind_ip : "",
                   udp_port, tcpip_port, http_port);
    rdtp_startup();
    rdtp_start_serving();
    const int index = rdtp_add_listener(callback, user_data);
    const uint16_t udp = static_cast<uint16_t>(udp_port);
    const uint16_t tcp = static_cast<uint16_t>(tcpip_port);
    const uint16_t http = static_cast<uint16_t>(http_port);
    if (index < 0) {
        QRN_TRACE_ERROR("no listener record");
        return kListenTcpFailed;
    }
    if (udp != 0 && qrn_udprlb_listen(bind_ip, udp, &qrn_rdtp_udp_callback, static_cast<uintptr_t>(index)) != 0) {
        return kListenUdpFailed;
    }
    if (tcp != 0 && !rdtp_listen_tcp(bind_ip, tcp, index)) return kListenTcpFailed;
    if (http != 0 && qrn_rdhttp_listen(bind_ip, http, &qrn_rdtp_http_callback, static_cast<uintptr_t>(index)) != 0) {
        return kListenHttpFailed;
    }
    return kListenOk;
}

int qrn_rdtp_connect(const char *server_ip, int udp_port, int tcpip_port, int http_port, const char *udp_proxy_ip,
                     int udp_proxy_port, qrn_callback callback, uintptr_t user_data) {
    QRN_TRACE_FUNC("qrn_rdtp_connect");
    qrn_trace_text("qrn_rdtp_connect, (server_ip, udp_port, tcpip_port, http_port, udp_proxy_ip, udp_proxy_port)=",
                   server_ip != nullptr ? server_ip : "", udp_port, tcpip_port, http_port,
                   udp_proxy_ip != nullptr ? udp_proxy_ip : "", udp_proxy_port);
    rdtp_startup();
    const bool no_port = static_cast<uint16_t>(udp_port) == 0 && static_cast<uint16_t>(tcpip_port) == 0 &&
                         static_cast<uint16_t>(http_port) == 0;
    if (server_ip == nullptr || no_port) {
        QRN_TRACE_ERROR("nothing to connect to, (udp_port, tcpip_port, http_port)=", udp_port, tcpip_port, http_port);
        return 0;
    }
    CQrnRefHolder<CRdtpConnection> conn(rdtp_new_connection(callback, user_data));
    if (!conn) {
        QRN_TRACE_ERROR("handle table full");
        return 0;
    }
    if (conn->Connect(server_ip, udp_port, tcpip_port, http_port, udp_proxy_ip, udp_proxy_port) != kConnectStarted) {
        rdtp_remove_connection(conn.get());
        return 0;
    }
    qrn_trace_text("qrn_rdtp_connect, return conn_handle=", conn->handle());
    return conn->handle();
}

namespace {

// The checks a stream call makes before op runs on the connection (a reference held).
template <class Op>
int WithStreamConnection(int handle, const void *buffer, int length, Op op) {
    CQrnRefHolder<CRdtpConnection> conn(GetRdtpConnection(handle));
    if (!conn) {
        QRN_TRACE_ERROR("unknown handle", handle);
        return kErrUnknownHandle;
    }
    if (length < 0 || (buffer == nullptr && length > 0)) {
        QRN_TRACE_ERROR("bad buffer, length=", length);
        return kErrRefused;
    }
    return op(*conn.get());
}

}  // namespace

int qrn_rdtp_send(int handle, const void *buffer, int length, int flags) {
    QRN_TRACE_FUNC("qrn_rdtp_send");
    return WithStreamConnection(handle, buffer, length, [&](CRdtpConnection &conn) {
        const int ret = conn.Send(buffer, length, flags);
        qrn_trace_text("qrn_rdtp_send, (handle, ask, ret)=", handle, length, ret);
        return ret;
    });
}

int qrn_rdtp_recv(int handle, void *buffer, int length, int flags) {
    QRN_TRACE_FUNC("qrn_rdtp_recv");
    return WithStreamConnection(handle, buffer, length, [&](CRdtpConnection &conn) {
        const int ret = conn.Recv(buffer, length, flags);
        qrn_trace_text("qrn_rdtp_recv, (handle, ask, ret)=", handle, length, ret);
        return ret;
    });
}

namespace {

// Takes a closed handle out of the table; the UDP path it leaves to close (any_mode: in every
// mode, else only in UDP mode), 0 for none, or kErrUnknownHandle. *delivered as TakeUdpPath.
// With tunnel, the tunnel's path is taken too, in the tunnel's mode (*tunnel_mode then set).
int DetachClosed(int handle, bool any_mode, bool *delivered, int *tunnel = nullptr, bool *tunnel_mode = nullptr) {
    qrn_handle_mgr *table = rdtp_table();
    CQrnFuncLock guard(rdtp_module().lock);
    CRdtpConnection *conn = GetRdtpConnection(handle);
    if (conn == nullptr) {
        QRN_TRACE_ERROR("unknown handle", handle);
        return kErrUnknownHandle;
    }
    conn->MarkClosed();
    const int udp_handle = conn->TakeUdpPath(any_mode, delivered);
    if (tunnel != nullptr) *tunnel = conn->TakeTunnelPath(tunnel_mode);
    if (qrn_handle_mgr_free_id(table, handle) != 0) conn->ReleaseRef();
    conn->ReleaseRef();
    return udp_handle;
}

}  // namespace

int qrn_rdtp_close(int handle) {
    QRN_TRACE_FUNC("qrn_rdtp_close");
    qrn_trace_text("qrn_rdtp_close, handle=", handle);
    bool delivered = false;
    const int udp_handle = DetachClosed(handle, true, &delivered);
    if (udp_handle == kErrUnknownHandle) return kErrUnknownHandle;
    // Closed now rather than when the object's last event is over: the close acknowledges
    // what the peer sent and starts the close request before the caller can end its process.
    if (udp_handle != 0) qrn_udprlb_close(udp_handle);
    return 0;
}

int qrn_rdtp_close_notify(int handle, qrn_callback notice, uintptr_t notice_context) {
    QRN_TRACE_FUNC("qrn_rdtp_close_notify");
    bool delivered = false;
    int tunnel = 0;
    bool tunnel_mode = false;
    const int udp_handle = DetachClosed(handle, false, &delivered, &tunnel, &tunnel_mode);
    if (udp_handle == kErrUnknownHandle) return kErrUnknownHandle;
    // The tunnel holds what it was handed until its requests carry it: its end is awaited too.
    if (tunnel_mode) {
        if (tunnel == 0) return kCloseUndelivered;
        const int r = qrn_rdhttp_close_notify(tunnel, notice, notice_context);
        if (r == rdhttp::kCloseNoticeToCome) return kCloseNoticeToCome;
        return r == rdhttp::kCloseNoNotice ? kCloseNoNotice : kCloseUndelivered;
    }
    if (delivered) {
        // What is left is a new path that nothing needs any more.
        if (udp_handle != 0) qrn_udprlb_close(udp_handle);
        return kCloseNoNotice;
    }
    // A TCP path is the kernel's to deliver from here on, even after the process has gone;
    // reliable UDP delivers only while this process runs, so its end is what is awaited.
    if (udp_handle == 0) return kCloseNoNotice;
    // A path that ended at once was not connected, or its peer had gone already: with every
    // byte, when it acknowledged them all before its close.
    const int r = qrn_udprlb_close_notify(udp_handle, notice, notice_context);
    if (r == kLowerCloseLingering) return kCloseNoticeToCome;
    return r == kLowerCloseEndedAcknowledged ? kCloseNoNotice : kCloseUndelivered;
}

int qrn_rdtp_option(int handle, int option, uintptr_t value) {
    QRN_TRACE_FUNC("qrn_rdtp_option");
    if (handle == kNoHandle && option == kOptUdpRelay) return qrn_udprlb_option(kNoHandle, kLowerOptRelay, value);
    if (handle == kNoHandle && option == kOptUdpRate) return qrn_udprlb_option(kNoHandle, kLowerOptUdpRate, value);
    if (handle == kNoHandle && option == kOptEventLoops) {
        return value <= static_cast<uintptr_t>(sock::kMaxLoops) && VSOCK::set_loops(static_cast<int>(value)) == 0
                   ? 0
                   : kErrRefused;
    }
    if (handle == kNoHandle && option == kOptRaceStagger) return rdtp_set_race_stagger(value);
    CQrnRefHolder<CRdtpConnection> conn(GetRdtpConnection(handle));
    if (!conn) {
        QRN_TRACE_ERROR("unknown handle, (handle, option)=", handle, option);
        return kErrUnknownHandle;
    }
    if (option == kOptDropPath) {
        conn->DropPath();
        return 0;
    }
    return conn->Option(option, value);
}

int qrn_rdtp_callback(int from, uintptr_t user_data, int msg, uintptr_t handle, uintptr_t p1, uintptr_t p2,
                      uintptr_t p3) {
    if (msg == kLowerTimer) {
        rdtp_timer_walk();
        return kDispatchOk;
    }
    QRN_TRACE_FUNC("qrn_rdtp_callback");
    qrn_trace_text("qrn_rdtp_callback, (from, user_data, msg, handle, uParam1, uParam2)=", from, user_data, msg, handle,
                   p1, p2);
    const int lower = static_cast<int>(handle);
    if (msg == kLowerAccepted) return rdtp_accept(from, user_data, lower);

    CQrnRefHolder<CRdtpConnection> conn(
        user_data <= static_cast<uintptr_t>(QRN_HANDLE_MAX_IDS) ? GetRdtpConnection(static_cast<int>(user_data))
                                                                 : nullptr);
    if (!conn) {
        QRN_TRACE_ERROR("event of no connection, (from, msg, lower handle)=", from, msg, lower);
        return kDispatchNoConnection;
    }
    switch (msg) {
    case kLowerConnected:
        // A TCP path's failure carries its cause in p3 (valid during this call).
        conn->OnConfirm(from, lower, low16(p1), from == kFromTcp ? reinterpret_cast<const char *>(p3) : nullptr);
        break;
    case kLowerReadable:
        conn->OnRead(from, lower, static_cast<int>(p1), static_cast<int>(p2), p3);
        break;
    case kLowerWritable:
        conn->OnWrite(from, lower);
        break;
    case kLowerClosed:
        conn->OnClose(from, lower, from == kFromUdp && p2 == kLowerClosedAllAcknowledged);
        break;
    case kLowerStatus:
        conn->OnStatus(from, lower, low16(p1), low16(p2));
        break;
    default:
        QRN_TRACE_ERROR("unknown message", msg);
        break;
    }
    return kDispatchOk;
}

// --- test views ------------------------------------------------------------------------------

namespace rdtp_debug {

std::vector<int> handles() {
    std::vector<int> out;
    qrn_handle_mgr *table = rdtp_table();
    if (table == nullptr) return out;
    CQrnFuncLock guard(rdtp_module().lock);
    uintptr_t cursor = qrn_handle_mgr_enumerate_start(table);
    int id = 0;
    while (void **slot = qrn_handle_mgr_enumerate_next(table, &cursor, &id)) {
        if (*slot == nullptr) break;
        out.push_back(id);
    }
    return out;
}

namespace {
template <class F>
int view(int handle, F f) {
    CQrnRefHolder<CRdtpConnection> conn(GetRdtpConnection(handle));
    return conn ? f(conn.get()) : -1;
}
}  // namespace

int state(int handle) {
    return view(handle, [](CRdtpConnection *c) { return static_cast<int>(c->DebugState()); });
}

int ordinal(int handle) {
    return view(handle, [](CRdtpConnection *c) { return static_cast<int>(c->DebugOrdinal()); });
}

int pdu_length(int handle) {
    return view(handle, [](CRdtpConnection *c) { return static_cast<int>(c->DebugPduLength()); });
}

long long client_tag(int handle) {
    CQrnRefHolder<CRdtpConnection> conn(GetRdtpConnection(handle));
    return conn ? static_cast<long long>(conn->DebugClientTag()) : -1;
}

int live_connections() { return CRdtpConnection::LiveObjects(); }

}  // namespace rdtp_debug
