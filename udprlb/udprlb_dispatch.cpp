// The datagram dispatcher: checks each received datagram, plays the relay's and the
// destination's parts of hole punching without any connection, accepts connect requests for
// the listener of the receiving socket, and hands every other PDU to its connection.
#include "qrnlibl/qrn_bytestream.h"
#include "qrnlibl/qrn_trace.h"
#include "socket/sockcli.h"
#include "udprlb/udprlb_admission.h"
#include "udprlb/udprlb_connection.h"
#include "udprlb/udprlb_defs.h"
#include "udprlb/udprlb_module.h"
#include "udprlb/udprlb_pdu.h"
#include "udprlb/udprlb_registry.h"
#include "udprlb/udprlb_relay.h"

using namespace urlb;

namespace {

// One received datagram, checked.
struct CDatagram {
    int socket;
    uintptr_t listen_id;
    const ws::sockaddr_in *sender;
    CUdpRlbHeader header;
    const uint8_t *payload;
    int size;  // the whole datagram, header included
};

// Replies made without a connection are built on the stack, so that the dispatcher needs no
// lock of its own whichever thread runs it. Their stats bytes are zero (receivers ignore them).
class CReply {
public:
    uint8_t *payload() { return m_buffer + kOffPayload; }
    int Send(int socket, const ws::sockaddr_in *to, uint8_t type, int len) {
        if (len < 0) {
            QRN_TRACE_ERROR("reply does not fit, type=", type);
            return 0;
        }
        return CUdpRlbConnection::SendPdu(socket, m_buffer, to, type, len);
    }

private:
    uint8_t m_buffer[kMaxDatagram] = {};
};

void SendDigHole(int socket, const ws::sockaddr_in *to, uint8_t type, const CUdpRlbDigHole &pdu) {
    CReply reply;
    reply.Send(socket, to, type, udprlb_pdu_write_dig_hole(pdu, reply.payload(), kMaxPayload));
}

bool ReadDigHole(const CDatagram &d, CUdpRlbDigHole *pdu) {
    if (udprlb_pdu_read_dig_hole(d.payload, d.header.len, pdu)) return true;
    QRN_TRACE_ERROR("dig hole pdu too short, (pdu_type, len)=", d.header.pdu_type, d.header.len);
    return false;
}

// This endpoint as the relay: tells the destination where the client is.
void OnDigHoleRequest(const CDatagram &d) {
    CUdpRlbDigHole request;
    if (!ReadDigHole(d, &request)) return;
    const uint32_t src_ip = VSOCK::get_address_ip(d.sender);
    const uint16_t src_port = VSOCK::get_address_port(d.sender);
    qrn_trace_text("qrn_udprlb_callback, received dig hole request, (src_addr, src_port, dst_addr, dst_port)=",
                   src_ip, src_port, request.ip, request.port);
    if (!udprlb_relay_admit_forward(d.sender, request)) return;
    const CUdpRlbDigHole forward{request.app_id, src_ip, src_port};
    SendDigHole(d.socket, VSOCK::build_address(request.ip, request.port), kPduDigHoleForward, forward);
}

// This endpoint as the destination: opens its translator toward the client, then answers the
// relay with the same fields.
void OnDigHoleForward(const CDatagram &d) {
    CUdpRlbDigHole forward;
    if (!ReadDigHole(d, &forward)) return;
    if (!udprlb_relay_admit_test(d.sender, forward)) return;
    qrn_trace_text("qrn_udprlb_callback, send dig hole test to (src_addr:src_port)=", forward.ip, forward.port);
    CReply test;
    test.Send(d.socket, VSOCK::build_address(forward.ip, forward.port), kPduDigHoleTest, 0);
    SendDigHole(d.socket, d.sender, kPduDigHoleResponse2, forward);
}

// This endpoint as the relay again: tells the client where the destination is.
void OnDigHoleResponse2(const CDatagram &d) {
    CUdpRlbDigHole response2;
    if (!ReadDigHole(d, &response2)) return;
    const uint32_t from_ip = VSOCK::get_address_ip(d.sender);
    const uint16_t from_port = VSOCK::get_address_port(d.sender);
    qrn_trace_text("qrn_udprlb_callback, received dig hole response2, (src_addr, src_port, from_addr, from_port)=",
                   response2.ip, response2.port, from_ip, from_port);
    if (!udprlb_relay_admit_response(d.sender, response2)) return;
    const CUdpRlbDigHole response{response2.app_id, from_ip, from_port};
    SendDigHole(d.socket, VSOCK::build_address(response2.ip, response2.port), kPduDigHoleResponse, response);
}

void RefuseConnectRequest(const CDatagram &d, uint16_t peer_app_id) {
    CUdpRlbConnectResponse response;
    response.dst = peer_app_id;
    response.result = kConnectRefused;
    CReply reply;
    reply.Send(d.socket, d.sender, kPduConnectResponse,
               udprlb_pdu_write_connect_response(response, reply.payload(), kMaxPayload));
}

bool RepeatAnswer(const CUdpRlbPeerKey &key, const ws::sockaddr_in *sender) {
    const int handle = udprlb_admission_find(key);
    if (handle == 0) return false;
    CQrnRefHolder<CUdpRlbConnection> conn(GetUdpRlbConnection(handle));
    return conn && conn->RepeatConnectResponse(sender, key.app_id, key.tag);
}

// A half-open connection that gives way to a newer request; its user never heard of it.
void EndHalfOpen(int handle) {
    CQrnRefHolder<CUdpRlbConnection> conn(GetUdpRlbConnection(handle));
    if (conn && conn->EndHalfOpen()) udprlb_counters().half_open_evicted.fetch_add(1, std::memory_order_relaxed);
}

void OnConnectRequest(const CDatagram &d) {
    CUdpRlbListener listener{};
    if (!udprlb_find_listener(d.listen_id, &listener)) {
        QRN_TRACE_ERROR("connect request for no listener, listen_id=", d.listen_id);
        return;
    }
    CUdpRlbConnectRequest request;
    if (!udprlb_pdu_read_connect_request(d.payload, d.header.len, &request)) {
        QRN_TRACE_ERROR("connect request too short, len=", d.header.len);
        return;
    }
    qrn_trace_text("qrn_udprlb_callback, on connect request pdu, (src_addr, src_port)=",
                   VSOCK::get_address_ip(d.sender), VSOCK::get_address_port(d.sender));
    if (!request.has_tag) {
        QRN_TRACE_ERROR("connect request without a tag, peer_app_id=", request.src);
        RefuseConnectRequest(d, request.src);
        return;
    }
    const CUdpRlbPeerKey key{VSOCK::get_address_ip(d.sender), VSOCK::get_address_port(d.sender), request.src,
                             request.src_tag};
    // A repeat whose first answer was lost: a second connection would never end, since nothing
    // ever reaches it.
    if (RepeatAnswer(key, d.sender)) return;
    std::vector<int> victims;
    const bool room = udprlb_admission_make_room(key.ip, &victims);
    for (int victim : victims) EndHalfOpen(victim);
    if (!room) {
        udprlb_counters().half_open_dropped.fetch_add(1, std::memory_order_relaxed);
        qrn_trace_text("connect request dropped, its source is full, ip=", key.ip);
        return;
    }
    CQrnRefHolder<CUdpRlbConnection> conn(
        udprlb_new_connection(listener.callback, listener.context, d.socket, kMaxConnections, false));
    if (!conn) {
        QRN_TRACE_ERROR("connect request refused, too many connections, max=", kMaxConnections);
        RefuseConnectRequest(d, request.src);
        return;
    }
    udprlb_admission_add(key, conn->handle());
    conn->OnConnect(d.payload, d.header.len, d.sender);
}

// A data reliable PDU for a connection that is gone: the close request ends the sender's side.
void AnswerUnknownAppId(const CDatagram &d, uint16_t app_id) {
    CUdpRlbIds ids;
    if (!udprlb_pdu_read_close_request(d.payload, d.header.len, &ids)) {
        QRN_TRACE_ERROR("data pdu too short, len=", d.header.len);
        return;
    }
    const CUdpRlbIds close{ids.src, app_id, ids.src_tag, ids.dst_tag};
    CReply reply;
    reply.Send(d.socket, d.sender, kPduCloseRequest, udprlb_pdu_write_close_request(close, reply.payload(), kMaxPayload));
}

// A repeated close request whose connection has ended since: its answer was lost.
void AnswerEndedConnection(const CDatagram &d, uint16_t app_id) {
    CUdpRlbIds ids;
    if (udprlb_pdu_read_close_request(d.payload, d.header.len, &ids)) udprlb_answer_closed(app_id, ids);
}

void DispatchToConnection(const CDatagram &d) {
    // Every remaining type starts with the receiver's app_id.
    uint16_t app_id = 0;
    if (!CQrnByteStream::ReadUShort(d.payload, d.header.len, 0, app_id)) {
        QRN_TRACE_ERROR("pdu without app_id, (pdu_type, len)=", d.header.pdu_type, d.header.len);
        return;
    }
    CQrnRefHolder<CUdpRlbConnection> conn(GetUdpRlbConnection(app_id));
    if (!conn) {
        qrn_trace_text("qrn_udprlb_callback, (pdu_type, len, app_id)=", d.header.pdu_type, d.header.len, app_id);
        if (d.header.pdu_type == kPduDataReliable) AnswerUnknownAppId(d, app_id);
        if (d.header.pdu_type == kPduCloseRequest) AnswerEndedConnection(d, app_id);
        return;
    }
    if (!conn->IsFromPeer(d.sender, d.header.pdu_type)) {
        qrn_trace_text("qrn_udprlb_callback, datagram from a foreign address dropped, (pdu_type, app_id, addr, port)=",
                       d.header.pdu_type, app_id, VSOCK::get_address_ip(d.sender), VSOCK::get_address_port(d.sender));
        udprlb_counters().foreign_datagrams.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    const uint8_t *payload = d.payload;
    const int len = d.header.len;
    switch (d.header.pdu_type) {
    case kPduDigHoleResponse:
        conn->OnDigHoleResponsePdu(payload, len);
        break;
    case kPduConnectResponse:
        conn->OnConnectResponsePdu(payload, len);
        break;
    case kPduDataReliable:
        conn->HandleIncomingStatsInfo(d.header.stats_index, d.header.stats_volume, d.size);
        conn->OnDataReliablePdu(payload, len);
        break;
    case kPduDataUnreliable:
        conn->HandleIncomingStatsInfo(d.header.stats_index, d.header.stats_volume, d.size);
        conn->OnDataUnreliablePdu(payload, len);
        break;
    case kPduIgnored:
        break;
    case kPduCloseRequest:
        conn->OnCloseRequestPdu(payload, len);
        break;
    case kPduKeepAlive:
        conn->OnKeepAlive(payload, len);
        break;
    case kPduUnreliableAck:
        conn->OnUnreliableACK(payload, len);
        break;
    case kPduLostPacketReport:
        conn->OnLostPktReport(payload, len);
        break;
    default:
        QRN_TRACE_ERROR("unknown pdu type, (pdu_type, app_id)=", d.header.pdu_type, app_id);
        break;
    }
    udprlb_worker_wake(conn.get());
}

}  // namespace

void udprlb_dispatch_datagram(int socket, uintptr_t listen_id, const uint8_t *data, int len,
                              const ws::sockaddr_in *sender) {
    CDatagram d{socket, listen_id, sender, CUdpRlbHeader{}, nullptr, len};
    if (data == nullptr || sender == nullptr) {
        QRN_TRACE_ERROR("datagram without data or sender, len=", len);
        return;
    }
    const EUdpRlbCheck check = udprlb_pdu_check(data, len, &d.header);
    if (check == EUdpRlbCheck::kTooShort) QRN_TRACE_ERROR("datagram too short, len=", len);
    if (check != EUdpRlbCheck::kValid) return;
    d.payload = data + kOffPayload;
    switch (d.header.pdu_type) {
    case kPduDigHoleRequest:
        OnDigHoleRequest(d);
        break;
    case kPduDigHoleForward:
        OnDigHoleForward(d);
        break;
    case kPduDigHoleResponse2:
        OnDigHoleResponse2(d);
        break;
    case kPduDigHoleTest:
        qrn_trace_text("qrn_udprlb_callback, dig hole test from (addr, port)=", VSOCK::get_address_ip(sender),
                       VSOCK::get_address_port(sender));
        break;
    case kPduConnectRequest:
        OnConnectRequest(d);
        break;
    default:
        DispatchToConnection(d);
        break;
    }
}
