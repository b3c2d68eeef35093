// Encoders and decoders of everything the transport layer puts into the multi-mode byte flow:
// the PDU header, the resume handshake, and the two connect records at the start of the
// stream. All fields are in network byte order. Readers take input from the peer: they check
// every length against the bytes given, never read beyond them, and refuse with an error line.
#ifndef QRN_TRANSPORT_TP_PDU_H
#define QRN_TRANSPORT_TP_PDU_H

#include <stdint.h>

#include "qrnlibl/qrn_cirwin.h"

namespace tp {

struct CTpPduHeader {
    int body_len = 0;
    uint8_t type = 0;
};

// Client to server, first on every new path.
struct CTpResumeReq {
    uint32_t recv_next = 0;  // next byte the client expects
    uint32_t send_base = 0;  // oldest byte the client keeps of its own stream
    uint32_t send_kept = 0;  // bytes kept from send_base on
};

// Server to client, its first bytes on the path.
struct CTpResumeResp {
    uint16_t result = 0;     // kResumeAccepted or kResumeRefused
    uint32_t recv_next = 0;  // next byte the server expects; 0 in a refusal
};

struct CTpConnReq {
    int total_len = 0;         // read from the wire; writers derive it from data_len
    uint8_t version1 = 0;
    uint8_t version2 = 0;
    uint16_t buffer_size = 0;  // units of kBufferUnit
    uint32_t local_ip = 0;     // the client's address towards the server, host order
    int data_len = 0;
    const uint8_t *data = nullptr;  // a reader points it into the parsed buffer
};

struct CTpConnResp {
    int total_len = 0;  // read from the wire; writers derive it from data_len
    uint16_t result = 0;       // kConnAccepted or the refusal code
    uint16_t buffer_size = 0;  // units of kBufferUnit; 0 in a refusal
    int data_len = 0;          // 0 in a refusal
    const uint8_t *data = nullptr;
};

// --- PDU header ------------------------------------------------------------------------------

// Writes the header at buf; kPduHeaderSize, or -1 (nothing written) when buf_len is below it or
// body_len is outside 0 .. kMaxDataBody.
int WritePduHeader(void *buf, int buf_len, int body_len, uint8_t type);
// Parses the header at buf; 0 when len holds it and its body length is at most kMaxPduBody.
// -1 for a short buffer, or (with an error line; header still filled) for a longer body, which
// the connection ends as a protocol error.
int ReadPduHeader(const void *buf, int len, CTpPduHeader &header);
// True for PDUs whose body is stream data: every type but the closing ones.
bool IsStreamPdu(uint8_t type);
// The closing PDU that a close by the application with this reason sends.
uint8_t ClosingPduType(int close_reason);
// The reason reported when the peer's closing PDU of this type arrives; 0 for a stream type.
int ClosingPduReason(uint8_t type);

// --- Stream acknowledgement ------------------------------------------------------------------
// The whole kPduAck (header and the next byte expected) at buf; its size, or -1 when buf_len is
// too small.
int WriteAckPdu(void *buf, int buf_len, uint32_t recv_next);
// The next byte expected, from an ack body of kAckBodySize bytes.
uint32_t ReadAckBody(const void *body);

// --- Resume handshake ------------------------------------------------------------------------

// Write into buf; kResumeReqSize / kResumeRespSize, or -1 when buf_len is too small.
int WriteResumeReq(void *buf, int buf_len, const CTpResumeReq &req);
int WriteResumeResp(void *buf, int buf_len, const CTpResumeResp &resp);
// Parse the message at the start of buf; 0, or -1 when len is too small for it.
int ReadResumeReq(const void *buf, int len, CTpResumeReq &req);
int ReadResumeResp(const void *buf, int len, CTpResumeResp &resp);

// The server's answer to a resume request, from the server's own stream: the oldest kept
// byte, the bytes handed over from it on, and the next byte expected. Accepted only when each
// side still keeps every byte that the other lacks, and neither claims what was never sent:
// the peer's next expected byte lies within what this side handed over, and the peer's kept
// range is no wider than its window can be (peer_keep_max).
CTpResumeResp AnswerResumeReq(const CTpResumeReq &req, uint32_t send_base, uint32_t send_handed,
                              uint32_t recv_next, uint32_t peer_keep_max);
// The client's check of the answer against the bytes it handed over from its oldest kept one.
bool ResumeRespAcceptable(const CTpResumeResp &resp, uint32_t send_base, uint32_t send_handed);

// --- Connect records -------------------------------------------------------------------------

// Buffer size in bytes, clamped to kBufferSizeMin .. kBufferSizeMax, in units of kBufferUnit.
uint16_t BufferSizeToUnits(uint32_t bytes);
// Records with the version bytes, or result and sizes, filled in.
CTpConnReq MakeConnReq(uint32_t buffer_size, uint32_t local_ip, int data_len, const void *data);
CTpConnResp MakeConnAccept(uint32_t buffer_size, int data_len, const void *data);
CTpConnResp MakeConnRefusal(uint16_t code);
// True when the request carries the version bytes this side speaks.
bool ConnReqVersionOk(const CTpConnReq &req);

// Append the record (fixed part, then the connect data) to the outgoing stream and trace it.
// Return the bytes written, or -1 with an error line and nothing written when the connect data
// is longer than kMaxConnectData (or missing) or the stream has no room for the whole record.
int WritePduConnReq(qrn_cirwin *stream, const CTpConnReq &req);
int WritePduConnResp(qrn_cirwin *stream, const CTpConnResp &resp);

// How far a record at the start of the incoming stream has arrived: 0 while it is incomplete,
// its total length once all of it is in buf, -1 (error line) when its total length field can
// never make a valid record (below fixed_size or above kMaxRecordSize).
int PeekConnRecord(const void *buf, int len, int fixed_size);
// Parse a record of exactly length bytes at buf and trace it; data points into buf. 0, or -1
// with an error line when length cannot hold the fixed part, when fixed part + data length
// differs from length, or when the data length exceeds kMaxConnectData. A total length field
// that differs from length is only reported.
int ReadPduConnReq(const void *buf, int length, CTpConnReq &req);
int ReadPduConnResp(const void *buf, int length, CTpConnResp &resp);

}  // namespace tp

#endif
