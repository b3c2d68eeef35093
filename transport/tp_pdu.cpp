#include "transport/tp_pdu.h"

#include "qrn/qrn_tp.h"
#include "qrnlibl/qrn_bytestream.h"
#include "qrnlibl/qrn_trace.h"
#include "transport/tp_defs.h"
#include "transport/tp_seq.h"

namespace tp {

namespace {

bool ConnDataValid(int data_len, const void *data) {
    return data_len >= 0 && data_len <= kMaxConnectData && (data_len == 0 || data);
}

// Appends a record whole or not at all: a partial record would corrupt the stream for good.
int AppendRecord(qrn_cirwin *stream, const uint8_t *fixed, int fixed_len, const void *data,
                 int data_len) {
    const int total = fixed_len + data_len;
    if (!stream || qrn_cirwin_room(stream) < total) {
        QRN_TRACE_ERROR("no room for connect record, total=", total);
        return -1;
    }
    qrn_cirwin_write(stream, fixed, fixed_len);
    if (data_len > 0) qrn_cirwin_write(stream, data, data_len);
    return total;
}

// The length checks shared by both record readers; data_len comes from the wire.
bool RecordLengthsValid(int total_len, int fixed_len, int data_len, int length) {
    if (total_len != length) {
        QRN_TRACE_ERROR("record total length differs, (total_len, length)=", total_len, length);
    }
    if (fixed_len + data_len != length) {
        QRN_TRACE_ERROR("record does not add up, (fixed + data_len, length)=",
                        fixed_len + data_len, length);
        return false;
    }
    if (data_len > kMaxConnectData) {
        QRN_TRACE_ERROR("connect data too long, data_len=", data_len);
        return false;
    }
    return true;
}

}  // namespace

// --- PDU header ------------------------------------------------------------------------------

int WritePduHeader(void *buf, int buf_len, int body_len, uint8_t type) {
    if (body_len < 0 || body_len > kMaxDataBody) {
        QRN_TRACE_ERROR("PDU body too long, body_len=", body_len);
        return -1;
    }
    CQrnByteStream bs(buf, buf_len);
    if (bs.available() < kPduHeaderSize) return -1;
    bs << static_cast<uint16_t>(body_len) << type;
    return kPduHeaderSize;
}

int ReadPduHeader(const void *buf, int len, CTpPduHeader &header) {
    header = CTpPduHeader();
    CQrnByteStream bs(buf, len);
    if (bs.available() < kPduHeaderSize) return -1;
    uint16_t body_len = 0;
    bs >> body_len >> header.type;
    header.body_len = body_len;
    if (header.body_len > kMaxPduBody) {
        QRN_TRACE_ERROR("PDU body too long, body_len=", header.body_len);
        return -1;
    }
    return 0;
}

int WriteAckPdu(void *buf, int buf_len, uint32_t recv_next) {
    if (buf_len < kPduHeaderSize + kAckBodySize) return -1;
    WritePduHeader(buf, buf_len, kAckBodySize, kPduAck);
    CQrnByteStream bs(static_cast<uint8_t *>(buf) + kPduHeaderSize, kAckBodySize);
    bs << recv_next;
    return kPduHeaderSize + kAckBodySize;
}

uint32_t ReadAckBody(const void *body) {
    CQrnByteStream bs(body, kAckBodySize);
    uint32_t recv_next = 0;
    bs >> recv_next;
    return recv_next;
}

bool IsStreamPdu(uint8_t type) { return ClosingPduReason(type) == 0; }

uint8_t ClosingPduType(int close_reason) {
    switch (close_reason) {
    case QRN_TP_CLOSE_UPLINK_DISCONNECT: return kPduUplinkDisconnect;
    case QRN_TP_CLOSE_SESSION_LEFT: return kPduSessionLeft;
    case QRN_TP_CLOSE_ABORT_CONNECTING: return kPduAbortInConnecting;
    default: return kPduDisReq;
    }
}

int ClosingPduReason(uint8_t type) {
    switch (type) {
    case kPduDisReq: return QRN_TP_REASON_PEER_CLOSED;
    case kPduUplinkDisconnect: return QRN_TP_REASON_UPLINK_DISCONNECT;
    case kPduSessionLeft: return QRN_TP_REASON_SESSION_LEFT;
    case kPduAbortInConnecting: return QRN_TP_REASON_UPLINK_DISCONNECT;
    default: return 0;
    }
}

// --- Resume handshake ------------------------------------------------------------------------

int WriteResumeReq(void *buf, int buf_len, const CTpResumeReq &req) {
    CQrnByteStream bs(buf, buf_len);
    if (bs.available() < kResumeReqSize) return -1;
    bs << req.recv_next << req.send_base << req.send_kept;
    return kResumeReqSize;
}

int WriteResumeResp(void *buf, int buf_len, const CTpResumeResp &resp) {
    CQrnByteStream bs(buf, buf_len);
    if (bs.available() < kResumeRespSize) return -1;
    bs << resp.result << resp.recv_next;
    return kResumeRespSize;
}

int ReadResumeReq(const void *buf, int len, CTpResumeReq &req) {
    req = CTpResumeReq();
    CQrnByteStream bs(buf, len);
    if (bs.available() < kResumeReqSize) return -1;
    bs >> req.recv_next >> req.send_base >> req.send_kept;
    return 0;
}

int ReadResumeResp(const void *buf, int len, CTpResumeResp &resp) {
    resp = CTpResumeResp();
    CQrnByteStream bs(buf, len);
    if (bs.available() < kResumeRespSize) return -1;
    bs >> resp.result >> resp.recv_next;
    return 0;
}

CTpResumeResp AnswerResumeReq(const CTpResumeReq &req, uint32_t send_base, uint32_t send_handed,
                              uint32_t recv_next, uint32_t peer_keep_max) {
    CTpResumeResp resp;
    // No peer keeps more than its window; a wider range is made up and would make every
    // position look kept.
    const bool peer_range_real = req.send_kept <= peer_keep_max;
    const bool we_have_what_peer_lacks = SeqInWindow(req.recv_next, send_base, send_handed);
    const bool peer_has_what_we_lack = SeqInWindow(recv_next, req.send_base, req.send_kept);
    if (peer_range_real && we_have_what_peer_lacks && peer_has_what_we_lack) {
        resp.result = kResumeAccepted;
        resp.recv_next = recv_next;
    } else {
        resp.result = kResumeRefused;
        resp.recv_next = 0;
    }
    return resp;
}

bool ResumeRespAcceptable(const CTpResumeResp &resp, uint32_t send_base, uint32_t send_handed) {
    return resp.result == kResumeAccepted && SeqInWindow(resp.recv_next, send_base, send_handed);
}

// --- Connect records -------------------------------------------------------------------------

uint16_t BufferSizeToUnits(uint32_t bytes) {
    if (bytes < kBufferSizeMin) bytes = kBufferSizeMin;
    if (bytes > kBufferSizeMax) bytes = kBufferSizeMax;
    return static_cast<uint16_t>(bytes / kBufferUnit);
}

CTpConnReq MakeConnReq(uint32_t buffer_size, uint32_t local_ip, int data_len, const void *data) {
    CTpConnReq req;
    req.total_len = kConnReqFixedSize + data_len;
    req.version1 = kConnVersion1;
    req.version2 = kConnVersion2;
    req.buffer_size = BufferSizeToUnits(buffer_size);
    req.local_ip = local_ip;
    req.data_len = data_len;
    req.data = static_cast<const uint8_t *>(data);
    return req;
}

CTpConnResp MakeConnAccept(uint32_t buffer_size, int data_len, const void *data) {
    CTpConnResp resp;
    resp.total_len = kConnRespFixedSize + data_len;
    resp.result = kConnAccepted;
    resp.buffer_size = BufferSizeToUnits(buffer_size);
    resp.data_len = data_len;
    resp.data = static_cast<const uint8_t *>(data);
    return resp;
}

CTpConnResp MakeConnRefusal(uint16_t code) {
    CTpConnResp resp;
    resp.total_len = kConnRespFixedSize;
    resp.result = code;
    return resp;
}

bool ConnReqVersionOk(const CTpConnReq &req) {
    return req.version1 == kConnVersion1 && req.version2 == kConnVersion2;
}

int WritePduConnReq(qrn_cirwin *stream, const CTpConnReq &req) {
    if (!ConnDataValid(req.data_len, req.data)) {
        QRN_TRACE_ERROR("bad connect data, data_len=", req.data_len);
        return -1;
    }
    uint8_t fixed[kConnReqFixedSize];
    CQrnByteStream bs(fixed, kConnReqFixedSize);
    bs << static_cast<uint16_t>(kConnReqFixedSize + req.data_len) << req.version1 << req.version2
       << req.buffer_size << req.local_ip << static_cast<uint16_t>(req.data_len);
    const int written = AppendRecord(stream, fixed, kConnReqFixedSize, req.data, req.data_len);
    if (written < 0) return -1;
    qrn_trace_event(kTraceModule, kTraceWriteConnReq, unsigned{req.version1},
                    unsigned{req.version2}, unsigned{req.buffer_size}, req.local_ip,
                    req.data_len);
    return written;
}

int WritePduConnResp(qrn_cirwin *stream, const CTpConnResp &resp) {
    if (!ConnDataValid(resp.data_len, resp.data)) {
        QRN_TRACE_ERROR("bad connect data, data_len=", resp.data_len);
        return -1;
    }
    const int total = kConnRespFixedSize + resp.data_len;
    uint8_t fixed[kConnRespFixedSize];
    CQrnByteStream bs(fixed, kConnRespFixedSize);
    bs << static_cast<uint16_t>(total) << resp.result << resp.buffer_size
       << static_cast<uint16_t>(resp.data_len);
    const int written = AppendRecord(stream, fixed, kConnRespFixedSize, resp.data, resp.data_len);
    if (written < 0) return -1;
    qrn_trace_event(kTraceModule, kTraceWriteConnResp, total, unsigned{resp.result},
                    unsigned{resp.buffer_size}, resp.data_len);
    return written;
}

int PeekConnRecord(const void *buf, int len, int fixed_size) {
    uint16_t total = 0;
    if (!CQrnByteStream::ReadUShort(buf, len, 0, total)) return 0;
    // A longer record could never gather in one PDU body: waiting for it would stall the path.
    if (total < fixed_size || total > kMaxRecordSize) {
        QRN_TRACE_ERROR("bad connect record length, (total_len, fixed)=", unsigned{total},
                        fixed_size);
        return -1;
    }
    return len < total ? 0 : total;
}

int ReadPduConnReq(const void *buf, int length, CTpConnReq &req) {
    req = CTpConnReq();
    CQrnByteStream bs(buf, length);
    if (bs.available() < kConnReqFixedSize) {
        QRN_TRACE_ERROR("connect request too short, length=", length);
        return -1;
    }
    uint16_t total = 0;
    uint16_t data_len = 0;
    bs >> total >> req.version1 >> req.version2 >> req.buffer_size >> req.local_ip >> data_len;
    req.total_len = total;
    req.data_len = data_len;
    qrn_trace_event(kTraceModule, kTraceReadConnReq, unsigned{req.version1},
                    unsigned{req.version2}, unsigned{req.buffer_size}, req.local_ip,
                    req.data_len);
    if (!RecordLengthsValid(req.total_len, kConnReqFixedSize, req.data_len, length)) return -1;
    req.data = bs.get_data() + kConnReqFixedSize;
    return 0;
}

int ReadPduConnResp(const void *buf, int length, CTpConnResp &resp) {
    resp = CTpConnResp();
    CQrnByteStream bs(buf, length);
    if (bs.available() < kConnRespFixedSize) {
        QRN_TRACE_ERROR("connect response too short, length=", length);
        return -1;
    }
    uint16_t total = 0;
    uint16_t data_len = 0;
    bs >> total >> resp.result >> resp.buffer_size >> data_len;
    resp.total_len = total;
    resp.data_len = data_len;
    qrn_trace_event(kTraceModule, kTraceReadConnResp, resp.total_len, unsigned{resp.result},
                    unsigned{resp.buffer_size}, resp.data_len);
    if (!RecordLengthsValid(resp.total_len, kConnRespFixedSize, resp.data_len, length)) return -1;
    resp.data = bs.get_data() + kConnRespFixedSize;
    return 0;
}

}  // namespace tp
