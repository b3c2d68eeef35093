// The exported functions of libqrntp. Each checks its arguments and the handle once, then
// hands over to the connection.
#include <stdio.h>

#include <algorithm>
#include <mutex>

#include "http/httpie.h"
#include "platform/winsock.h"
#include "qrn/qrn_tp.h"
#include "qrnlibl/qrn_lock.h"
#include "qrnlibl/qrn_trace.h"
#include "rdtp/rdtp.h"
#include "socket/sockcli.h"
#include "transport/tp_connection.h"
#include "transport/tp_defs.h"
#include "transport/tp_registry.h"

using namespace tp;

namespace {

constexpr int kPortMask = 0xffff;
constexpr int kHostNameSize = 256;
constexpr int kIpTextSize = 64;
constexpr uint32_t kLoopbackIp = 0x7f000001;
constexpr uint8_t kWinsockMajor = 1;
constexpr uint8_t kWinsockMinor = 1;

const char *TraceText(const char *s) { return s ? s : ""; }

// The connection of a handle that the application may still use, with a reference; a
// connection that the application closed is as unknown to it as one that ended.
CTpConnection *AppConn(int handle, const char *caller) {
    CTpConnection *conn = GetTpConn(static_cast<uintptr_t>(handle));
    if (conn != nullptr && conn->IsAppClosed()) {
        conn->ReleaseRef();
        conn = nullptr;
    }
    if (conn == nullptr) QRN_TRACE_ERROR(caller, "unknown handle", handle);
    return conn;
}

}  // namespace

QRN_API int qrn_tp_init(void) {
    QRN_TRACE_FUNC("qrn_tp_init");
    qrn_trace_event(kTraceModule, kTraceInit);
    if (tp_registry_ready()) return QRN_TP_OK;
    const int rc = VSOCK::startup();
    if (rc != 0) {
        qrn_trace_event(kTraceModule, kTraceInitResult, "sock startup failed", rc);
        return rc;
    }
    if (!tp_registry_create()) {
        qrn_trace_event(kTraceModule, kTraceInitResult, "tables not created", QRN_TP_INIT_SOCK_FAILED);
        return QRN_TP_INIT_SOCK_FAILED;
    }
    qrn_trace_event(kTraceModule, kTraceInitResult, "succeed");
    return QRN_TP_OK;
}

QRN_API int qrn_tp_listen(const char *bind_ip, int udp_port, int tcpip_port, int http_port,
                          qrn_callback callback, uintptr_t user_data) {
    QRN_TRACE_FUNC("qrn_tp_listen");
    qrn_trace_event(kTraceModule, kTraceListen, TraceText(bind_ip), udp_port, tcpip_port, http_port,
                    static_cast<unsigned long long>(user_data));
    if (!tp_registry_ready()) {
        QRN_TRACE_ERROR("not inited");
        return QRN_TP_ERR_UNKNOWN_HANDLE;
    }
    if (callback == nullptr) QRN_TRACE_ERROR("callback=", reinterpret_cast<const void *>(callback));
    if (user_data != 0) QRN_TRACE_ERROR("user_data=", static_cast<unsigned long long>(user_data));
    const int index = tp_registry_add_listener(callback, user_data);
    if (index < 0) {
        QRN_TRACE_ERROR("listener table full");
        return QRN_TP_ERR_UNKNOWN_HANDLE;
    }
    return qrn_rdtp_listen(bind_ip, udp_port & kPortMask, tcpip_port & kPortMask, http_port & kPortMask,
                           &qrn_tp_callback, static_cast<uintptr_t>(index));
}

QRN_API int qrn_tp_connect(const char *server_ip, int udp_port, int tcpip_port, int http_port,
                           const char *udp_proxy_ip, int udp_proxy_port, qrn_callback callback,
                           uintptr_t user_data, unsigned int buffer_size, int data_len,
                           const void *data) {
    QRN_TRACE_FUNC("qrn_tp_connect");
    qrn_trace_event(kTraceModule, kTraceConnect, TraceText(server_ip), udp_port, tcpip_port, http_port,
                    static_cast<unsigned long long>(user_data), buffer_size, data_len);
    if (!tp_registry_ready()) {
        QRN_TRACE_ERROR("not inited");
        return 0;
    }
    if (data_len < 0 || data_len > kMaxConnectData || (data_len > 0 && data == nullptr)) {
        QRN_TRACE_ERROR("bad connect data, data_len=", data_len);
        return 0;
    }
    if (server_ip == nullptr) {
        QRN_TRACE_ERROR("no server address");
        return 0;
    }
    CTpConnection *conn = nullptr;
    const int id = tp_registry_new_connection(callback, user_data, &conn);
    if (id == 0) {
        QRN_TRACE_ERROR("no transport handle");
        return 0;
    }
    conn->AddRef();
    CQrnRefHolder<CTpConnection> hold(conn);
    if (conn->Connect(server_ip, udp_port & kPortMask, tcpip_port & kPortMask, http_port & kPortMask,
                      udp_proxy_ip, udp_proxy_port & kPortMask, buffer_size, data_len, data) == 0) {
        qrn_trace_event(kTraceModule, kTraceConnectResult, "failed");
        return 0;
    }
    qrn_trace_event(kTraceModule, kTraceConnectResult, id);
    return id;
}

QRN_API int qrn_tp_accept(int handle, int result, unsigned int buffer_size, int data_len,
                          const void *data) {
    QRN_TRACE_FUNC("qrn_tp_accept");
    qrn_trace_event(kTraceModule, kTraceAccept, handle, result, buffer_size, data_len);
    CQrnRefHolder<CTpConnection> conn(AppConn(handle, "qrn_tp_accept"));
    if (!conn) return QRN_TP_ERR_UNKNOWN_HANDLE;
    return conn->Accept(result, buffer_size, data_len, data);
}

QRN_API int qrn_tp_send(int handle, const void *data, int len, int flags) {
    QRN_TRACE_FUNC("qrn_tp_send");
    qrn_trace_event(kTraceModule, kTraceSend, handle, len, flags);
    CQrnRefHolder<CTpConnection> conn(AppConn(handle, "qrn_tp_send"));
    if (!conn) return QRN_TP_ERR_UNKNOWN_HANDLE;
    int ret;
    if (len < 0 || (len > 0 && data == nullptr)) {
        QRN_TRACE_ERROR("bad data, len=", len);
        ret = QRN_TP_ERR_INVALID;
    } else {
        ret = conn->Send(data, len, flags);
    }
    qrn_trace_text("qrn_tp_send, (handle, ret)=", handle, ret);
    return ret;
}

QRN_API int qrn_tp_close(int handle, int reason) {
    QRN_TRACE_FUNC("qrn_tp_close");
    qrn_trace_event(kTraceModule, kTraceClose, handle, reason);
    CQrnRefHolder<CTpConnection> conn(AppConn(handle, "qrn_tp_close"));
    if (!conn) return QRN_TP_ERR_UNKNOWN_HANDLE;
    conn->Close(reason);
    return QRN_TP_OK;
}

QRN_API int qrn_tp_option(int handle, int option, uintptr_t value) {
    QRN_TRACE_FUNC("qrn_tp_option");
    qrn_trace_text("qrn_tp_option, (handle, opt)=", handle, option);
    if (handle == 0 && option == QRN_TP_OPT_UDP_RELAY) {
        return qrn_rdtp_option(0, option, value) == 0 ? QRN_TP_OK : QRN_TP_ERR_UNKNOWN_HANDLE;
    }
    if (handle == 0 && option == QRN_TP_OPT_STREAM_WINDOW) {
        CTpConnection::SetDefaultWindow(static_cast<int>(std::min<uintptr_t>(value, INT32_MAX)));
        return QRN_TP_OK;
    }
    if (handle == 0 && (option == QRN_TP_OPT_UDP_RATE || option == QRN_TP_OPT_EVENT_LOOPS ||
                        option == QRN_TP_OPT_RACE_STAGGER)) {
        return qrn_rdtp_option(0, option, value) == 0 ? QRN_TP_OK : QRN_TP_ERR_INVALID;
    }
    const bool text = option == QRN_TP_OPT_CONNECT_ERROR || option == QRN_TP_OPT_PROXY;
    if (text && value != 0) *reinterpret_cast<char *>(value) = '\0';
    // A failed connect's handle is gone before the application hears of it: its cause is kept
    // below, under the handle that the connect gave the multi-mode layer as its user data.
    if (option == QRN_TP_OPT_CONNECT_ERROR && value != 0 &&
        qrn_rdtp_failed_connect_error(static_cast<uintptr_t>(handle), reinterpret_cast<char *>(value),
                                      QRN_TP_CONNECT_ERROR_MAX) == 1) {
        return QRN_TP_OK;
    }
    CQrnRefHolder<CTpConnection> conn(AppConn(handle, "qrn_tp_option"));
    if (!conn) return QRN_TP_ERR_UNKNOWN_HANDLE;
    if (text && value == 0) return QRN_TP_OK;
    conn->Option(option, value);
    return QRN_TP_OK;
}

QRN_API void qrn_tp_heartbeat(void) { QRN_TRACE_FUNC("qrn_tp_heartbeat"); }

QRN_API int qrn_tp_loop(uintptr_t) { return 0; }

QRN_API const char *qrn_tp_get_local_ip_str(void) {
    QRN_TRACE_FUNC("qrn_tp_get_local_ip_str");
    static char text[kIpTextSize];
    static std::mutex text_mutex;
    ws::WSADATA wsa;
    ws::WSAStartup(ws::make_word(kWinsockMajor, kWinsockMinor), &wsa);
    uint32_t ip = kLoopbackIp;
    char name[kHostNameSize];
    uint32_t addr_net = 0;
    if (ws::gethostname(name, kHostNameSize) == 0 && ws::gethostbyname_ipv4(name, &addr_net)) {
        ip = ws::ntoh32(addr_net);
    }
    ws::WSACleanup();
    std::lock_guard<std::mutex> guard(text_mutex);
    snprintf(text, sizeof(text), "%d.%d.%d.%d", static_cast<int>(ip >> 24), static_cast<int>((ip >> 16) & 0xff),
             static_cast<int>((ip >> 8) & 0xff), static_cast<int>(ip & 0xff));
    return text;
}

// The HTTP client's exports pass straight through; they need no qrn_tp_init.
QRN_API uintptr_t qrn_tp_http_connect(qrn_callback callback, uintptr_t user_data, const char *host, int port,
                                      int bGet, const char *url, unsigned int content_length) {
    return qrn_http_sock_connect(callback, user_data, host, port, bGet, url, content_length);
}

QRN_API int qrn_tp_http_option(uintptr_t handle, int option, uintptr_t value) {
    return qrn_http_sock_option(handle, option, value);
}

QRN_API int qrn_tp_http_send(uintptr_t handle, const void *data, int length) {
    return qrn_http_sock_send(handle, data, length);
}

QRN_API int qrn_tp_http_recv(uintptr_t handle, void *buffer, int length) {
    return qrn_http_sock_recv(handle, buffer, length);
}

QRN_API int qrn_tp_http_close(uintptr_t handle) { return qrn_http_sock_close(handle); }

QRN_API void qrn_tp_set_credentials_provider(qrn_credentials_provider provider) {
    qrn_http_sock_set_credentials_provider(provider);
}
