// The transport layer's wire constants, limits and trace events. The application-facing codes
// (messages, reasons, options) are the QRN_TP_... names of qrn/qrn_tp.h.
#ifndef QRN_TRANSPORT_TP_DEFS_H
#define QRN_TRANSPORT_TP_DEFS_H

#include <stdint.h>

namespace tp {

// PDU: a 3-byte header (16-bit body length, 8-bit type), then the body.
constexpr int kPduHeaderSize = 3;

// PDU types. A receiver treats every type that is not a closing type as stream data.
constexpr uint8_t kPduData = 3;  // body length 0: the keep-alive
constexpr uint8_t kPduDisReq = 4;
constexpr uint8_t kPduUplinkDisconnect = 5;
constexpr uint8_t kPduSessionLeft = 6;
constexpr uint8_t kPduAbortInConnecting = 7;

// Stream acknowledgement, agreed between two ends of this library. The client offers it with an
// empty kPduAckOffer ahead of its connect record, on every path until it is answered; a server
// that speaks it answers with the same empty PDU ahead of anything else it sends, on every path.
// An end that does not know the type takes the empty PDU for a keep-alive and answers nothing.
// Once agreed, each side reports in kPduAck the next byte it expects, and a sender keeps its
// bytes until they are reported instead of dropping the oldest.
constexpr uint8_t kPduAckOffer = 8;
constexpr uint8_t kPduAck = 9;
constexpr int kAckBodySize = 4;  // the next byte expected
// A receiver reports every kAckEvery bytes, and what is left at each timer tick. A quarter of
// the smallest window, so that a full window always has reports on their way.
constexpr uint32_t kAckEvery = 65536;

// A sender puts at most kMaxDataBody bytes in one PDU; a receiver accepts up to kMaxPduBody
// and refuses a longer body as a protocol error.
constexpr int kMaxDataBody = 0x7ff0;  // 32752
constexpr int kMaxPduBody = 0x8000;   // 32768

// Resume handshake, first bytes of every new path: the client's request, then the server's
// response; neither is framed as a PDU.
constexpr int kResumeReqSize = 12;
constexpr int kResumeRespSize = 6;
constexpr uint16_t kResumeAccepted = 0;
constexpr uint16_t kResumeRefused = 1;

// Every direction of the stream numbers its bytes from 1.
constexpr uint32_t kFirstSeq = 1;

// Connect request record, at the start of the client's stream.
constexpr int kConnReqFixedSize = 12;
constexpr uint8_t kConnVersion1 = 1;
constexpr uint8_t kConnVersion2 = 0x12;
// Connect response record, at the start of the server's stream.
constexpr int kConnRespFixedSize = 8;
constexpr uint16_t kConnAccepted = 0;
constexpr uint16_t kConnRefusedVersion = 1010;
// Both records: a record never exceeds one PDU body; connect data and buffer sizes.
constexpr int kMaxRecordSize = kMaxPduBody;
constexpr int kMaxConnectData = 0x7ff0;  // 32752
constexpr uint32_t kBufferUnit = 1024;
constexpr uint32_t kBufferSizeMin = 1024;
constexpr uint32_t kBufferSizeMax = 0x3fffc00;  // 65535 units

// The outgoing stream: the last bytes handed over are kept for resumption.
constexpr int kSendKeepMax = 0x40000;  // 262144
// With acknowledgement, the unacknowledged bytes, up to a window that the application may set
// (QRN_TP_OPT_STREAM_WINDOW). The default fills 100 Mbit/s at a 200 ms round trip.
constexpr int kStreamWindowDefault = 2621440;
constexpr int kStreamWindowMin = kSendKeepMax;
constexpr int kStreamWindowMax = 0x10000000;  // 256 MiB
// Send takes the application's bytes in chunks of one full PDU body, so that a write goes out
// in full PDUs and one short tail. The tail is taken only once the full PDUs before it have
// been handed over, unless it fits beside the last of them in one hand-over (kSendTakeMax):
// an application that closes and ends right after its last write leaves at most one take to
// the library.
constexpr int kSendChunkMax = kMaxDataBody;
// The PDUs built for one hand-over (after a resumption, the window's unsent bytes go out in
// full PDUs, two at a time when the second is short).
constexpr int kOutBufSize = kMaxPduBody + 2 * kPduHeaderSize;
// The most that Send takes at once: what is left of a write is taken whole when it fits in
// one hand-over, so that a short tail does not travel as a segment of its own (a 32768-byte
// write is one full PDU and 16 bytes, one send).
constexpr int kSendTakeMax = kOutBufSize - 2 * kPduHeaderSize;
// Without acknowledgement, bytes are dropped from the kept window only when a take is made,
// with nothing unsent: what a broken path may then still swallow (the sending socket's buffer,
// the receiving socket's, and the receiver's kReadBatch) must fit in kSendKeepMax less
// kSendTakeMax, which bounds the stream sockets' buffer sizes on such a connection.
constexpr int kRecvBodySize = 32768;
constexpr int kRecvHdrSize = 12;

// One receive from the path takes up to this many bytes, which may hold several PDUs.
constexpr int kReadBatch = kMaxPduBody;

// Stream bytes one read event takes at most before the connection lets the thread serve
// others; the rest waits for the next read event or the next tick.
constexpr uint32_t kReadBudget = 4 * kMaxPduBody;

// Time-outs and periods (library clock, milliseconds).
constexpr uint32_t kTimerPeriodMs = 1000;
// Each connection's one-second duties come in its own tenth of the second (by handle), so that
// the reports and keep-alives of thousands of connections do not leave in one burst that
// overflows the receiving socket.
constexpr uint32_t kTimerShards = 10;
constexpr uint32_t kConnectTimeoutMs = 30000;
constexpr uint32_t kRecvTimeoutMs = 30000;
constexpr uint32_t kKeepAliveMs = 5000;
// A client that races its kinds of path gives up a path on which nothing has arrived, or whose
// peer has acknowledged nothing of what awaits it, for this long: the peer's keep-alives and
// reports come far more often on a path that gets through.
constexpr uint32_t kPathStallMs = 10000;
// A connection that the application closed is released at the latest this long after the
// close, whether or not its closing PDU could be handed over.
constexpr uint32_t kCloseLingerMs = 30000;

// Trace events of module 4 (the transport API).
constexpr int kTraceModule = 4;
constexpr int kTraceInit = 0;
constexpr int kTraceInitResult = 1;
constexpr int kTraceListen = 2;
constexpr int kTraceConnect = 3;
constexpr int kTraceConnectResult = 4;
constexpr int kTraceAccept = 5;
constexpr int kTraceSend = 6;
constexpr int kTraceClose = 7;
constexpr int kTraceCallback = 8;
constexpr int kTraceAppCallback = 9;
constexpr int kTraceSockClose = 11;
constexpr int kTraceWriteConnReq = 12;
constexpr int kTraceReadConnReq = 13;
constexpr int kTraceWriteConnResp = 14;
constexpr int kTraceReadConnResp = 15;
constexpr int kTraceHandlePdu = 16;
constexpr int kTraceRecvHeader = 17;
constexpr int kTraceRecvBodyBefore = 18;
constexpr int kTraceRecvBody = 19;

}  // namespace tp

#endif
