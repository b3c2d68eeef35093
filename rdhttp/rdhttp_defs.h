// The HTTP tunnel's wire constants: request paths, the large-post header and the single-post
// bodies, shared by the tunnel clients and the tunnel server.
#ifndef QRN_RDHTTP_RDHTTP_DEFS_H
#define QRN_RDHTTP_RDHTTP_DEFS_H

#include <stdint.h>

namespace rdhttp {

constexpr const char kPathPrefix[] = "/s_rdhttp?";
constexpr const char kQueryBigPost[] = "BigPost";
constexpr const char kQuerySinglePost[] = "SinglePost";

// A session id is a 32-bit number, never 0; 0 where an id is expected is a refusal. In a URL
// it is decimal without leading zeros, so at most 10 digits.
constexpr uint32_t kNoSession = 0;
constexpr int kMaxSessionIdDigits = 10;

// Large-post form. The GET's reply opens with the magic and the session id, then "OK" once the
// server has the uplink POST, then the server's stream.
constexpr int kMagicSize = 4;
constexpr const char kMagic[kMagicSize + 1] = "KVHT";
constexpr int kOffMagic = 0;
constexpr int kOffSessionId = 4;
constexpr int kBigPostHeaderSize = 8;
constexpr int kOkSize = 2;
constexpr const char kOk[kOkSize + 1] = "OK";
// Declared length of the uplink POST, which the stream never reaches.
constexpr uint32_t kBigPostUplinkLength = 0x10000000;

// Single-post form. The opening POST carries 0x12345678 as a little-endian processor holds it.
constexpr int kOpenBodySize = 4;
constexpr uint8_t kOpenBody[kOpenBodySize] = {0x78, 0x56, 0x34, 0x12};
constexpr int kOpenReplySize = 4;
constexpr int kOffOpenReplySessionId = 0;
// An exchange: one leading byte, then at most kMaxExchangeData bytes of stream each way.
constexpr int kLeadSize = 1;
constexpr int kMaxExchangeBody = 4096;
constexpr int kMaxExchangeData = kMaxExchangeBody - kLeadSize;
// The client gathers a reply in a buffer of this size (leading byte included).
constexpr int kMaxExchangeReply = 4100;
constexpr uint8_t kReplyLead = 0;
// An idle single-post session polls for what the far side may have to send: soon after an
// exchange that carried data (a reply often follows just after the exchange that asked for it),
// then twice as long after each empty one, up to kPollIdleMs; checked every kPollTimerMs.
constexpr uint32_t kPollFirstMs = 20;
constexpr uint32_t kPollIdleMs = 2000;
constexpr uint32_t kPollTimerMs = 20;

// A closed session waits at most this long for its last uplink bytes to go out (the large-post
// form: for the far side to end the downlink once they have arrived), checked this often.
constexpr uint32_t kLingerMs = 5000;
constexpr uint32_t kLingerTickMs = 250;

// Failure codes of a tunnel session: a broken or foreign server (or a request closed before the
// session came up), and a refused session (or an uplink that could not start).
constexpr uint32_t kFailBroken = 1;
constexpr uint32_t kFailRejected = 2;
// The tunnel's messages upward and the detector's mode that names each form.
constexpr int kMsgConnect = 2;
constexpr int kMsgRead = 3;
constexpr int kMsgWrite = 4;
constexpr int kMsgClose = 5;
constexpr int kMsgStatus = 10;
constexpr uint32_t kCodeClosed = 1;
// A lingering session's end (Linger): its last uplink bytes went through.
constexpr uint32_t kCodeDelivered = 0;
// qrn_rdhttp_close_notify: its results, and the notice with p1 kCodeDelivered or kCodeClosed.
constexpr int kCloseNoticeToCome = 0;
constexpr int kCloseNoNotice = 1;
constexpr int kCloseUndelivered = 2;
constexpr int kMsgCloseDone = 9;

}  // namespace rdhttp

#endif
