// Constants of the HTTP client: request states and flags, the codes its owner hears, the
// socket-function messages and options, and its trace events.
#ifndef QRN_HTTP_HTTP_DEFS_H
#define QRN_HTTP_HTTP_DEFS_H

#include <stdint.h>

namespace http {

// CWCSHttpIE::m_state
constexpr int kStateIdle = 0;
constexpr int kStatePostHead = 1;      // POST head being sent
constexpr int kStatePostBody = 2;      // the body may be sent
constexpr int kStateWritePending = 3;  // a body write is pending
constexpr int kStateWaitHead = 4;      // waiting for the response head
constexpr int kStateReading = 5;       // response 200, reading the body
constexpr int kStateReadPending = 6;   // a body read is pending
constexpr int kStateFailed = 7;
constexpr int kStateComplete = 8;      // body complete, not yet taken whole

// Request flags (Bind and Connect).
constexpr uint32_t kFlagSecure = 0x1;
constexpr uint32_t kFlagPost = 0x2;
constexpr uint32_t kFlagChunked = 0x800;

// m_flags
constexpr uint32_t kFlagOweOnSend = 0x1;

// Codes of the sink calls.
constexpr int kCodeOk = 0;
constexpr int kCodeReadFailed = 4;
constexpr int kCodeConnectionClosed = 14;
constexpr int kCodeTimeout = 103;
constexpr int kCodeSendFailed = 104;
constexpr int kCodeClosedAfterConnect = 106;
constexpr int kCodeCredentialsFailed = 1107;

// OnStatus types
constexpr int kStatusDialogShowing = 1;
constexpr int kStatusDialogClosed = 2;

// Results of Bind and Connect.
constexpr int kErrState = -1;
constexpr int kErrArgument = -2;
constexpr int kErrSession = -3;
constexpr int kErrOpen = -4;
constexpr int kErrSendEx = -5;
constexpr int kErrSend = -6;

// IOCtl codes
constexpr int kIoReadable = 0;
constexpr int kIoContentLength = 2;
constexpr int kIoResponseLength = 3;
constexpr int kIoTimeout = 8;
constexpr int kIoSetProxyUser = 16;
constexpr int kIoSetProxyPass = 17;
constexpr int kIoHaveCredentials = 20;
constexpr int kIoGetProxyUser = 21;
constexpr int kIoGetProxyPass = 22;

// HTTP statuses the client tells apart.
constexpr uint32_t kHttpOk = 200;
constexpr uint32_t kHttpProxyAuth = 407;

constexpr int kHostSize = 100;
constexpr int kCredentialSize = 256;
constexpr int kTransferEncodingSize = 1024;
constexpr uint16_t kPortHttp = 80;
constexpr uint16_t kPortHttps = 443;
// The received bytes a request holds for its owner: reading stops there (and the internet
// layer then stops receiving) until the owner takes some.
constexpr int kWindowLimit = 1024 * 1024;
// A notice of this layer's own beside the internet layer's: the owner made room in a window
// that had stopped reading.
constexpr uint32_t kNoticeWindowRoom = 0;

// HTTP socket functions: messages, options, the piece size and the poll period.
constexpr int kMsgConnect = 2;
constexpr int kMsgReceive = 3;
constexpr int kMsgSend = 4;
constexpr int kMsgClose = 5;
constexpr int kMsgStatus = 10;
constexpr int kOptLength = 2;
constexpr int kOptCount = 3;
constexpr int kOptCallback = 101;
constexpr int kOptUserData = 102;
constexpr int kSendPiece = 4096;
constexpr uint32_t kTimerPeriodMs = 1000;

// Capability detector: its report to the caller, the time-out check's period and each test's
// time to answer, and the results and modes of its report.
constexpr int kMsgDetectFinished = 201;
constexpr uint32_t kDetectorTickMs = 500;
constexpr uint32_t kDetectorTestMs = 3000;
constexpr uint32_t kDetectOk = 0;
constexpr uint32_t kDetectUnreachable = 1;
constexpr uint32_t kDetectBadReply = 2;
constexpr uint32_t kDetectSmallPostFailed = 3;
constexpr uint32_t kModeNone = 0;
constexpr uint32_t kModeBigPost = 1;
constexpr uint32_t kModeChunkedPost = 2;
constexpr uint32_t kModeSmallPost = 3;

// Trace events (module 1).
constexpr int kTraceModule = 1;
constexpr int kTraceStartup = 28;
constexpr int kTraceShutdown = 29;
constexpr int kTraceConstruct = 30;
constexpr int kTraceDestruct = 31;
constexpr int kTraceBind = 32;
constexpr int kTraceConnect = 33;
constexpr int kTraceWrite = 34;
constexpr int kTraceClose = 35;
constexpr int kTraceConnClosed = 36;
constexpr int kTraceStatus = 37;
constexpr int kTraceWriteDone = 38;
constexpr int kTraceRead = 39;
constexpr int kTraceBodyEnd = 40;
constexpr int kTraceCleanup = 41;
constexpr int kTraceConnectStep = 42;
constexpr int kTraceCallFailed = 43;
constexpr int kTraceReadFailed = 44;
constexpr int kTraceTimeout = 45;

// Steps named by kTraceConnectStep.
constexpr int kStepSession = 1;
constexpr int kStepConnection = 2;
constexpr int kStepRequest = 3;
constexpr int kStepSendEx = 4;

}  // namespace http

#endif
