// The reliable-UDP layer's face: the qrn_udprlb_* functions and the one callback through which
// socket events and the one-second timer enter the layer.
//
// None of these functions raises an event from within the call: connect's outcome arrives
// later on the socket thread or the timer, and close detaches the callback before it ends the
// connection.
#include "udprlb/udprlb.h"

#include <vector>

#include "qrnlibl/qrn_handle_mgr.h"
#include "qrnlibl/qrn_trace.h"
#include "qrnlibl/qrn_util.h"
#include "socket/sock_defs.h"
#include "socket/sockcli.h"
#include "udprlb/udprlb_connection.h"
#include "udprlb/udprlb_defs.h"
#include "udprlb/udprlb_module.h"
#include "udprlb/udprlb_registry.h"
#include "udprlb/udprlb_relay.h"

using namespace urlb;

namespace {

const char *TextOf(const char *s) { return s != nullptr ? s : ""; }

// A socket of listen_id bound to address (null: any address) and port, on loop; false on
// failure. Several loops share the port, each with a socket of its own.
bool ListenOn(const char *address, uint16_t port, int listen_id, int loop, bool shared, int *socket_out) {
    const int socket = VSOCK::socket(sock::kTypeUdp, &qrn_udprlb_callback, static_cast<uintptr_t>(listen_id));
    if (socket < 1) {
        QRN_TRACE_ERROR("create socket failed, (address, port)=", TextOf(address), port);
        return false;
    }
    if (shared && (VSOCK::setsockopt(socket, sock::kOptReusePort, 1, sizeof(int)) != 0 ||
                   VSOCK::setsockopt(socket, sock::kOptLoop, static_cast<uintptr_t>(loop), sizeof(int)) != 0)) {
        QRN_TRACE_ERROR("socket not shared by the event loops, (port, loop)=", port, loop);
        VSOCK::close(socket);
        return false;
    }
    const ws::sockaddr_in *where = VSOCK::resolve_address(address, port);
    if (where == nullptr || VSOCK::bind(socket, where) != 0) {
        QRN_TRACE_ERROR("bind socket failed, (address, port)=", TextOf(address), port);
        VSOCK::close(socket);
        return false;
    }
    udprlb_note_own_socket(socket);
    *socket_out = socket;
    return true;
}

// The sockets of listen_id at address and port, one per event loop; *first_out is loop 0's.
// The system gives all datagrams of one sender to the same socket, so each connection stays
// on one loop. A port chosen by the system (0) is not shared.
bool ListenAt(const char *address, uint16_t port, int listen_id, int *first_out) {
    const int loops = port != 0 ? VSOCK::loops() : 1;
    std::vector<int> sockets;
    for (int loop = 0; loop < loops; ++loop) {
        int socket = 0;
        if (!ListenOn(address, port, listen_id, loop, loops > 1, &socket)) {
            for (int made : sockets) VSOCK::close(made);
            return false;
        }
        sockets.push_back(socket);
    }
    *first_out = sockets.front();
    return true;
}

// A connection that the user closed stays in the registry while it delivers; to the user its
// handle is gone.
CUdpRlbConnection *UserConnection(int handle) {
    CUdpRlbConnection *conn = GetUdpRlbConnection(handle);
    if (conn != nullptr && conn->ClosedByUser()) {
        conn->ReleaseRef();
        conn = nullptr;
    }
    return conn;
}

template <class Op>
int WithConnection(int handle, const char *what, Op op) {
    CQrnRefHolder<CUdpRlbConnection> conn(UserConnection(handle));
    if (!conn) {
        QRN_TRACE_ERROR(what, handle);
        return kErrUnknownHandle;
    }
    return op(conn.get());
}

template <class T>
int WriteOption(uintptr_t value, int option, T result) {
    if (value == 0) {
        QRN_TRACE_ERROR("option without a place to write, option=", option);
        return kErrBadArgument;
    }
    *reinterpret_cast<T *>(value) = result;
    return 0;
}

// Up to kMaxDatagramsPerEvent datagrams, a batch per system call; a batch that is not full
// ends the loop, and the event loop comes back while more are waiting.
void ReadDatagrams(int socket, uintptr_t listen_id) {
    static thread_local uint8_t buffers[kDatagramBatch][kMaxDatagram];
    ws::datagram batch[kDatagramBatch];
    for (int i = 0; i < kDatagramBatch; ++i) batch[i] = ws::datagram{buffers[i], kMaxDatagram, 0, {}};
    for (int read = 0; read < kMaxDatagramsPerEvent;) {
        const int got = VSOCK::recvfrom_batch(socket, batch, kDatagramBatch);
        for (int i = 0; i < got; ++i) {
            if (batch[i].got < kHeaderSize) {
                QRN_TRACE_ERROR("datagram too short or too long, len=", batch[i].got);
                continue;
            }
            udprlb_dispatch_datagram(socket, listen_id, buffers[i], batch[i].got, &batch[i].from);
        }
        if (got < kDatagramBatch) return;
        read += got;
    }
}

}  // namespace

int qrn_udprlb_listen(const char *bind_ip, int udp_port, qrn_callback callback, uintptr_t user) {
    QRN_TRACE_FUNC("qrn_udprlb_listen");
    qrn_trace_text("qrn_udprlb_listen, (bind_ip, udp_port)=", TextOf(bind_ip), udp_port);
    if (qrn_udprlb_init() != kInitOk) return kInitFailed;
    const int listen_id = udprlb_add_listener(callback, user);
    if (listen_id < 0) {
        QRN_TRACE_ERROR("no listener record");
        return kListenSocketFailed;
    }
    const uint16_t port = static_cast<uint16_t>(udp_port);
    std::vector<CQrnString> addresses;
    if (bind_ip != nullptr) addresses = str_explode(bind_ip, kBindSeparator);
    // An empty list would listen nowhere and still report success.
    if (addresses.empty()) {
        int socket = 0;
        if (!ListenAt(nullptr, port, listen_id, &socket)) return kListenSocketFailed;
        udprlb_set_shared_socket(socket);
        return kListenOk;
    }
    for (const CQrnString &address : addresses) {
        int socket = 0;
        if (!ListenAt(address.c_str(), port, listen_id, &socket)) return kListenSocketFailed;
    }
    return kListenOk;
}

int qrn_udprlb_connect(const char *dest_ip, int dest_udp_port, const char *proxy_ip, int proxy_port,
                       qrn_callback callback, uintptr_t user) {
    QRN_TRACE_FUNC("qrn_udprlb_connect");
    qrn_trace_text("qrn_udprlb_connect, (dest_ip, dest_udp_port, proxy_ip, proxy_port)=", TextOf(dest_ip),
                   dest_udp_port, TextOf(proxy_ip), proxy_port);
    if (qrn_udprlb_init() != kInitOk) return 0;
    const int socket = udprlb_get_or_make_shared_socket();
    if (socket == 0) return 0;
    CQrnRefHolder<CUdpRlbConnection> conn(udprlb_new_connection(callback, user, socket, QRN_HANDLE_MAX_IDS, true));
    if (!conn) {
        QRN_TRACE_ERROR("handle table full");
        return 0;
    }
    if (conn->Connect(dest_ip, dest_udp_port, proxy_ip, proxy_port) != kConnectStarted) {
        udprlb_end_connection(conn.get());
        return 0;
    }
    qrn_trace_text("qrn_udprlb_connect, return handle=", conn->handle());
    return conn->handle();
}

int qrn_udprlb_send(int handle, const void *buffer, int len, int flags) {
    QRN_TRACE_FUNC("qrn_udprlb_send");
    if (len == 0) return 0;
    return WithConnection(handle, "qrn_udprlb_send, unknown handle", [&](CUdpRlbConnection *conn) {
        if (buffer == nullptr || len < 0) {
            QRN_TRACE_ERROR("qrn_udprlb_send, bad buffer, len=", len);
            return kErrBadArgument;
        }
        const int sent = conn->Send(buffer, len, flags);
        udprlb_worker_wake(conn);
        return sent;
    });
}

int qrn_udprlb_recv(int handle, void *buffer, int len, int flags) {
    QRN_TRACE_FUNC("qrn_udprlb_recv");
    if (len == 0) return 0;
    return WithConnection(handle, "qrn_udprlb_recv, unknown handle", [&](CUdpRlbConnection *conn) {
        if (buffer == nullptr || len < 0) {
            QRN_TRACE_ERROR("qrn_udprlb_recv, bad buffer, len=", len);
            return kErrBadArgument;
        }
        const int read = conn->Recv(buffer, len);
        udprlb_worker_wake(conn);
        return read;
    });
}

int qrn_udprlb_close(int handle) {
    const int r = qrn_udprlb_close_notify(handle, nullptr, 0);
    return r == kErrUnknownHandle ? r : 0;
}

int qrn_udprlb_close_notify(int handle, qrn_callback notice, uintptr_t notice_context) {
    QRN_TRACE_FUNC("qrn_udprlb_close");
    qrn_trace_text("qrn_udprlb_close, handle=", handle);
    CQrnFuncLock guard(udprlb_registry_lock());
    CQrnRefHolder<CUdpRlbConnection> conn(UserConnection(handle));
    if (!conn) {
        QRN_TRACE_ERROR("qrn_udprlb_close, unknown handle", handle);
        return kErrUnknownHandle;
    }
    // Detached first: an event that a handler decides meanwhile no longer reaches the user.
    conn->Detach();
    bool acknowledged = false;
    if (conn->Close(notice, notice_context, &acknowledged)) return kCloseLingering;
    udprlb_end_connection(conn.get());
    return acknowledged ? kCloseEndedAcknowledged : kCloseEnded;
}

int qrn_udprlb_option(int handle, int option, uintptr_t value) {
    QRN_TRACE_FUNC("qrn_udprlb_option");
    if (handle == kNoHandle && option == kOptRelay) {
        udprlb_relay_set_enabled(value != 0);
        return 0;
    }
    if (option == kOptUdpRate && value > kMaxUdpRateMbit) {
        QRN_TRACE_ERROR("qrn_udprlb_option, udp rate above the most, (mbit, max)=", value, kMaxUdpRateMbit);
        return kErrBadArgument;
    }
    if (handle == kNoHandle && option == kOptUdpRate) {
        udprlb_set_default_udp_rate(static_cast<uint32_t>(value));
        return 0;
    }
    return WithConnection(handle, "qrn_udprlb_option, unknown handle", [&](CUdpRlbConnection *conn) {
        switch (option) {
        case kOptPeerIp:
            return WriteOption<uint32_t>(value, option, conn->PeerIp());
        case kOptPeerPort:
            return WriteOption<uint16_t>(value, option, conn->PeerPort());
        case kOptLocalIp: {
            uint32_t ip = 0;
            VSOCK::getsockopt(conn->socket(), sock::kOptLocalIp, &ip, static_cast<int>(sizeof(ip)));
            return WriteOption<uint32_t>(value, option, ip);
        }
        case kOptBandwidth:
            return WriteOption<uint32_t>(value, option, conn->OutgoingBandwidth());
        case kOptRtt:
            return WriteOption<uint32_t>(value, option, conn->SmoothedRtt());
        case kOptCallback:
            conn->SetCallback(reinterpret_cast<qrn_callback>(value));
            return 0;
        case kOptContext:
            conn->SetContext(value);
            return 0;
        case kOptUdpRate:
            conn->SetUdpRate(static_cast<uint32_t>(value));
            udprlb_worker_wake(conn);
            return 0;
        default:
            QRN_TRACE_ERROR("qrn_udprlb_option, unknown option", option);
            return 0;
        }
    });
}

int qrn_udprlb_callback(uintptr_t context, int event, uintptr_t socket, uintptr_t p1, uintptr_t p2, uintptr_t p3) {
    if (event == QRN_MSG_TIMER) {
        udprlb_for_each_connection([](CUdpRlbConnection *conn) {
            conn->OnTimer();
            // Also a second's safety net for a connection whose new work was not announced.
            udprlb_worker_wake(conn);
        });
        return 0;
    }
    QRN_TRACE_FUNC("qrn_udprlb_callback");
    qrn_trace_text("qrn_udprlb_callback, (context, event, socket, p1)=", context, event, socket, p1);
    switch (event) {
    case sock::kEventReadable:
        ReadDatagrams(static_cast<int>(socket), context);
        break;
    case sock::kEventWritable:
        udprlb_for_each_connection([](CUdpRlbConnection *conn) {
            conn->OnWrite();
            udprlb_worker_wake(conn);
        });
        break;
    default:
        QRN_TRACE_ERROR("qrn_udprlb_callback, unknown event", event);
        break;
    }
    return 0;
}
