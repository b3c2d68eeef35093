// The multi-mode layer's codes: modes, states, messages to and from the neighbouring layers,
// options, the connect PDU and the time-outs.
#ifndef QRN_RDTP_RDTP_DEFS_H
#define QRN_RDTP_RDTP_DEFS_H

#include <stdint.h>

namespace rdtp {

// conn_mode: the paths a logical connection travels on.
constexpr uint8_t kModeUdp = 0;
constexpr uint8_t kModeTcp = 1;
constexpr uint8_t kModeHttp = 2;
constexpr uint8_t kModeTcpUdp = 3;  // TCP for ordinary data, reliable UDP for flagged data

// CRdtpConnection::m_state
constexpr uint8_t kStateNew = 0;
constexpr uint8_t kStateTcpConnecting = 1;    // client
constexpr uint8_t kStateUdpConnecting = 2;    // client
constexpr uint8_t kStateHttpConnecting = 3;   // client
constexpr uint8_t kStateAccepted = 4;         // server: awaiting the connect request
constexpr uint8_t kStateRequestSent = 5;      // client: awaiting the response
constexpr uint8_t kStateUdpJoining = 6;       // client, combined: UDP path connecting
constexpr uint8_t kStateAwaitingUdp = 7;      // server, combined: awaiting the UDP path
constexpr uint8_t kStateUdpRequestSent = 8;   // client, combined: request sent on UDP
constexpr uint8_t kStateEstablished = 9;
constexpr uint8_t kStatePathLost = 10;        // server: awaiting resumption
constexpr uint8_t kStateRacing = 11;          // client: paths of several kinds connecting

// Lower layers, as the dispatcher's first argument (from).
constexpr int kFromUdp = 0;
constexpr int kFromTcp = 1;
constexpr int kFromHttp = 2;
constexpr int kFromTimer = 3;
constexpr int kNoPath = -1;  // the path choice found none for the mode

// Messages of the lower layers (reliable UDP, TCP socket handles, the tunnel, the timer).
constexpr int kLowerAccepted = 1;
constexpr int kLowerConnected = 2;
constexpr int kLowerReadable = 3;
constexpr int kLowerWritable = 4;
constexpr int kLowerClosed = 5;
constexpr uintptr_t kLowerClosedAllAcknowledged = 1;  // p2 of a reliable-UDP path's close
// qrn_udprlb_close_notify: the notice is to come; or the path ended at once, its peer having
// closed already with every byte acknowledged.
constexpr int kLowerCloseLingering = 0;
constexpr int kLowerCloseEndedAcknowledged = 2;
constexpr int kLowerStatus = 10;
constexpr int kLowerTimer = 100;
constexpr uintptr_t kLowerResultMask = 0xffff;   // results and status words: low 16 bits count
constexpr uintptr_t kLowerDatagramFlag = 1;      // read flags bit 0: one unreliable UDP datagram
// Status types of message 10 (the tunnel's credentials dialog); reported, not acted on.
constexpr int kStatusTypeDialogShowing = 1;
constexpr int kStatusTypeDialogClosed = 2;

// Options the layer gives its lower paths.
constexpr int kLowerOptPeerIp = 6;
constexpr int kLowerOptPeerPort = 7;
constexpr int kLowerOptBandwidth = 10;
constexpr int kLowerOptRtt = 11;
constexpr int kLowerOptUserData = 102;
constexpr int kLowerOptRelay = 105;      // handle 0: the reliable-UDP relay role on or off
constexpr int kLowerOptUdpRate = 108;    // the reliable-UDP rate's ceiling in Mbit/s, 0 the original rules

// Messages to the upper callback: callback(user_data, msg, handle, p1, p2, p3).
constexpr int kMsgConnect = 1;    // server: a new logical connection
constexpr int kMsgConfirm = 2;    // client, first connect: p1 kConfirm*
constexpr int kMsgRead = 3;       // p1 length, p2 kRead*, p3 datagram bytes
constexpr int kMsgWrite = 4;      // room to send again
constexpr int kMsgClose = 5;      // client: resumption refused (p1 kCloseRefused) or given up (kCloseGaveUp)
constexpr int kMsgConnect2 = 6;   // server: the path is up, first or again
constexpr int kMsgConfirm2 = 7;   // client: connected or resumed
constexpr int kMsgClose2 = 8;     // p1 kClose2*
constexpr int kMsgCloseDone = 9;  // to the notice of qrn_rdtp_close_notify: p1 kCloseDone*
constexpr uintptr_t kCloseDoneDelivered = 0;
constexpr uintptr_t kConfirmOk = 0;
constexpr uintptr_t kConfirmRefused = 1;
constexpr uintptr_t kConfirmFailed = 2;
constexpr uintptr_t kCloseRefused = 1;
constexpr uintptr_t kCloseGaveUp = 2;    // client: no new path within kReconnectGiveUpMs
constexpr uintptr_t kClose2Lost = 0;
constexpr uintptr_t kClose2Replaced = 1;
constexpr uintptr_t kReadStream = 0;
constexpr uintptr_t kReadDatagram = 1;

// Options of qrn_rdtp_option. Values written through the value pointer have the widths noted.
constexpr int kOptConnMode = 5;      // uint8_t
constexpr int kOptPeerIp = 6;        // uint32_t
constexpr int kOptPeerPort = 7;      // uint16_t
constexpr int kOptBandwidth = 10;    // uint32_t, bytes per second
constexpr int kOptRtt = 11;          // uint32_t, milliseconds
constexpr int kOptCallback = 101;
constexpr int kOptUserData = 102;
constexpr int kOptNoReconnect = 104;
constexpr int kOptUdpRelay = 105;    // handle 0 (the listeners): value 0 off, else on
// The stream above cannot tell what arrived: the current TCP path gets buffers no larger than
// what the stream keeps to send again (the stream asks again on every new path).
constexpr int kOptBoundBuffers = 106;
constexpr int kOptUdpRate = 108;     // Mbit/s ceiling of the path-finding UDP rate; handle 0: new paths
constexpr int kOptEventLoops = 113;  // handle 0: the socket layer's event loops
constexpr int kOptRaceStagger = 115; // handle 0: ms between the kinds of a race, for new connects
// A racing client gives up its current path, which no longer gets through, and races again.
constexpr int kOptDropPath = 116;
// A racing client may resume on another kind than it lost: the peer is known to take that. Until
// then it resumes on the kind it lost, as a server that keeps one kind per connection needs.
constexpr int kOptRaceAnyKind = 117;
// Read into a char buffer of kConnectErrorMax bytes (NUL-terminated): why the last TCP path
// failed to connect (empty when none did, or no cause is known), and the proxy that carries
// the current TCP path ("http://host:port" or "socks5://host:port"; empty when it is direct).
constexpr int kOptConnectError = 111;
constexpr int kOptProxy = 112;
constexpr int kConnectErrorMax = 256;
constexpr int kNoHandle = 0;
// Outgoing bandwidth reported for a connection without a reliable-UDP path.
constexpr uint32_t kStreamBandwidth = 204800;
constexpr uint32_t kNoRtt = 0;

// The connect PDU: serv_tag(4) cli_tag(4) conn_id(2) ordinal(2) conn_mode(1).
constexpr int kPduSize = 13;
constexpr int kPduBufferSize = 16;  // the stack buffer it is written into
// The send flags of the connect PDU and the receive flags of the gatherer.
constexpr int kPlainFlags = 0;

// Time-outs and periods, in milliseconds of the library clock.
constexpr uint32_t kTimerPeriodMs = 1000;
constexpr uint32_t kHalfOpenTimeoutMs = 30000;     // server objects in state 4 or 7
// A TCP path that a listener accepted must bring its connect PDU sooner: a real client sends
// it as soon as its connect completes.
constexpr uint32_t kPendingTcpTimeoutMs = 10000;
constexpr uint32_t kCombinedTcpTimeoutMs = 10000;  // combined mode: no answer on TCP
// A reconnecting client whose attempt fails tries again after a pause that doubles from the
// first to the longest, and gives up once this long has passed since the loss without a new
// path (the peer's transport has ended the connection by its receive time-out by then).
constexpr uint32_t kReconnectFirstPauseMs = 1000;
constexpr uint32_t kReconnectLongestPauseMs = 4000;
constexpr uint32_t kReconnectGiveUpMs = 30000;

// A client given an HTTP port beside a UDP or TCP port races its kinds of path: each starts
// this long after the one before (at once after a failure), and the first connected wins.
constexpr uint32_t kRaceStaggerDefaultMs = 250;
constexpr uint32_t kRaceStaggerMaxMs = 10000;
constexpr int kRaceKindsMax = 3;
constexpr uint32_t kRaceTimerDivisor = 5;  // the race's timer ticks this many times a stagger
constexpr uint32_t kRaceTimerMinMs = 10;

// Results.
constexpr int kConnectStarted = 0;
constexpr int kConnectFailed = 1;
constexpr int kConnectUnsupported = 2;
constexpr int kListenOk = 0;
constexpr int kListenUdpFailed = -1;
constexpr int kListenTcpFailed = -2;
constexpr int kListenHttpFailed = -3;
constexpr int kCloseNoticeToCome = 0;  // qrn_rdtp_close_notify
constexpr int kCloseNoNotice = 1;     // nothing to await: the path delivers on its own
constexpr int kCloseUndelivered = 2;  // the path ended before it could deliver
constexpr int kErrUnknownHandle = -1;
constexpr int kErrRefused = -1;        // send or receive in the wrong state, bad arguments
constexpr int kErrNoPath = -1;         // the path choice found no path
constexpr int kDispatchOk = 0;
constexpr int kDispatchNoConnection = 1;
constexpr int kDispatchNoListener = -1;

// TCP paths accepted and still without their connect PDU, at one listener: in all, and from
// one source address (many real clients may share one behind a translator). A new path over
// either bound displaces the oldest pending one once that one has waited the grace time, in
// which a real client's PDU arrives; before it, the new path is refused.
constexpr int kPendingTcpPerListener = 256;
constexpr int kPendingTcpPerSource = 64;
constexpr uint32_t kPendingTcpGraceMs = 2000;

// Resumptions that named no connection this server would resume, counted per source address
// (host order) in a token bucket: a source may fail kResumeFailBurst times, and one more for
// each kResumeFailRefillMs after; past that its resumptions are refused unread. The table keeps
// kResumeFailSources addresses; a new one takes the place of the least indebted. The burst is
// generous (clients behind one translator share it, and a flaky path fails resumptions too);
// it barely changes what a guess costs, which the refill sets.
constexpr int kResumeFailBurst = 128;
constexpr uint32_t kResumeFailRefillMs = 60000;
constexpr int kResumeFailSources = 512;

// Module state.
constexpr int kTableInitialSize = 4;
constexpr int kTableGrowBy = 16;
constexpr int kListenerGrowBy = 4;
constexpr char kBindSeparator = ';';

}  // namespace rdtp

#endif
