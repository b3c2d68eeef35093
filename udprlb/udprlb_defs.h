// The reliable-UDP layer's wire constants: the datagram header, the PDU codes and the fixed
// field values of their payloads.
#ifndef QRN_UDPRLB_UDPRLB_DEFS_H
#define QRN_UDPRLB_UDPRLB_DEFS_H

#include <stdint.h>

namespace urlb {

// Datagram size: the header included. Receive and send buffers hold exactly one datagram.
constexpr int kMaxDatagram = 1400;
constexpr int kHeaderSize = 8;
constexpr int kMaxPayload = kMaxDatagram - kHeaderSize;
// Data bytes carried by one data reliable or data unreliable PDU.
constexpr int kMaxData = 1360;

// Header: byte offsets from the start of the datagram.
constexpr int kOffType = 0;
constexpr int kOffLen = 1;
constexpr int kOffCrc = 3;
constexpr int kOffStatsIndex = 5;   // high nibble: sender's second; low nibble: reported second
constexpr int kOffStatsVolume = 6;  // bytes received in the reported second, >> kStatsVolumeShift
constexpr int kOffPayload = kHeaderSize;

constexpr int kStatsIndexShift = 4;
constexpr uint8_t kStatsIndexMask = 0x0f;
constexpr int kStatsVolumeShift = 6;

// Field widths in bytes.
constexpr int kU8Size = 1;
constexpr int kU16Size = 2;
constexpr int kU32Size = 4;

// PDU codes.
constexpr uint8_t kPduDigHoleRequest = 1;    // client to relay
constexpr uint8_t kPduDigHoleResponse = 2;   // relay to client
constexpr uint8_t kPduDigHoleForward = 3;    // relay to destination
constexpr uint8_t kPduDigHoleResponse2 = 4;  // destination to relay
constexpr uint8_t kPduDigHoleTest = 5;       // destination to client, empty
constexpr uint8_t kPduConnectRequest = 6;
constexpr uint8_t kPduConnectResponse = 7;
constexpr uint8_t kPduDataReliable = 8;
constexpr uint8_t kPduDataUnreliable = 9;
constexpr uint8_t kPduIgnored = 10;          // never sent; accepted for a known app_id
constexpr uint8_t kPduCloseRequest = 11;
constexpr uint8_t kPduKeepAlive = 15;
constexpr uint8_t kPduUnreliableAck = 16;
constexpr uint8_t kPduLostPacketReport = 17;

// Payload sizes of the fixed layouts.
constexpr int kDigHoleSize = kU16Size + kU32Size + kU16Size;                          // 8
constexpr int kConnectRequestNoTagSize = kU16Size + kU32Size;                         // 6
constexpr int kConnectRequestSize = kConnectRequestNoTagSize + kU16Size;             // 8
constexpr int kConnectResponseSize = kU16Size * 3 + kU32Size + kU16Size;             // 12
constexpr int kIdsSize = kU16Size * 4;                  // dst, src, dst tag, src tag: 8
constexpr int kDataReliableFixedSize = kIdsSize + kU32Size * 2;                       // 16
constexpr int kSackEntrySize = kU8Size + kU32Size + kU16Size;                         // 7
constexpr int kDataUnreliableFixedSize = kIdsSize + kU16Size + kU8Size + kU8Size;     // 12
constexpr int kCloseRequestSize = kIdsSize;                                           // 8
constexpr int kKeepAliveSize = kU16Size * 2;                                          // 4
constexpr int kUnreliableAckSize = kIdsSize + kU16Size;                               // 10
constexpr int kLostPacketReportSize = kU16Size * 2 + kU8Size;                         // 5

// Connect request and response.
constexpr uint32_t kConnectWindow = 131072;
constexpr int16_t kConnectAccepted = 0;
constexpr int16_t kConnectRefused = 1;

// Selective acknowledgement entries of the data reliable PDU.
constexpr uint8_t kSackEntryMarker = 1;
constexpr uint8_t kSackEnd = 0;
constexpr int kMaxSackEntries = 2;
constexpr int kDataReliableMaxHeadSize =
    kDataReliableFixedSize + kMaxSackEntries * kSackEntrySize + kU8Size;             // 31

// Data unreliable PDU.
constexpr uint8_t kAttemptFirst = 1;
constexpr uint8_t kAttemptRetransmit = 2;
constexpr uint8_t kUnreliableReserved = 0;
// The lost packet report counts missing data unreliable PDUs per block of this many.
constexpr int kLossReportBlock = 100;

// Connection states.
constexpr uint8_t kStateNew = 0;
constexpr uint8_t kStateDigging = 1;      // dig hole requests go to the relay
constexpr uint8_t kStateConnecting = 2;   // connect requests go to the peer
constexpr uint8_t kStateConnected = 3;
// Closed by the user: what was sent goes on until acknowledged, then the close request until
// the peer answers it or the release time-out passes.
constexpr uint8_t kStateClosing = 4;
// Ended by a failed or refused connect or by the peer's close: whichever thread decided that
// first owns the end, and a racing handler (a late connect response) finds nothing to do.
constexpr uint8_t kStateEnded = 5;
// Accepting side: the connect request was answered, but nothing from the peer has yet carried
// this side's tag back, so the request may have come from a forged address. The user hears of
// the connection (event 1) only when it leaves this state.
constexpr uint8_t kStateAnswered = 6;
// Closed by the peer: the bytes it sent before still reach the user, then event 5.
constexpr uint8_t kStateDraining = 7;

// Closing. A close request is sent again until answered; a connection that has seen the
// peer's close request answers its repeats, also for a while after it ended, but not faster
// than kCloseAnswerGap nor more than kMaxCloseAnswers times, so that two ended ends can never
// keep answering each other.
constexpr uint32_t kReleaseTimeout = 30000;       // ms from the user's close to giving up
constexpr uint32_t kCloseResendGap = 1000;        // ms between two close requests
constexpr uint32_t kCloseAnswerGap = 500;         // ms between two answers to the same peer
constexpr int kMaxCloseAnswers = 16;
constexpr int kMaxClosedRecords = 4096;           // ended connections that still answer

// Handshake: attempts a second apart (the timer's period), the last one failing the connect.
constexpr int kMaxAttempts = 5;
constexpr uint32_t kAttemptMinGap = 150;          // ms; a timer tick sooner than this is skipped
constexpr uint32_t kKeepAliveIdle = 10000;        // ms without sending before a keep alive
constexpr uint32_t kTimerPeriod = 1000;           // ms between timer passes
constexpr uint32_t kWorkerPause = 5;              // ms before work held back is tried again

// Events raised to the user.
constexpr int kEventAccepted = 1;
constexpr int kEventConnectDone = 2;   // p1 below
constexpr int kEventData = 3;          // p2 kDataReliable or kDataUnreliable
constexpr int kEventWritable = 4;
constexpr int kEventClosed = 5;        // p1 kClosedByPeer, p2 kClosedAllAcknowledged or 0
// To the notice given with a close, once: p1 kCloseDelivered or kCloseNotDelivered.
constexpr int kEventCloseDone = 9;
constexpr int kCloseDelivered = 0;
constexpr int kCloseNotDelivered = 1;
constexpr int kConnectOk = 0;
constexpr int kConnectNoAnswer = 1;
constexpr int kConnectRefusedByPeer = 2;
constexpr int kDataReliable = 0;
constexpr int kDataUnreliable = 1;
constexpr int kClosedByPeer = 1;
// The peer had acknowledged every byte this side sent when it closed.
constexpr int kClosedAllAcknowledged = 1;

// API results.
constexpr int kErrUnknownHandle = -1;
constexpr int kErrNotConnected = -2;
constexpr int kErrTooLong = -3;
constexpr int kSendUnreliableFlag = 1;
constexpr int kErrBadArgument = -4;    // a null buffer or a negative length
constexpr int kInitOk = 0;
constexpr int kInitFailed = -1;
constexpr int kListenOk = 0;
constexpr int kListenSocketFailed = 1;
constexpr int kCloseLingering = 0;     // qrn_udprlb_close_notify: the notice is to come
constexpr int kCloseEnded = 1;         // ended at once, no notice
constexpr int kCloseEndedAcknowledged = 2;  // the same, the peer (gone already) having every byte
constexpr int kConnectStarted = 0;     // CUdpRlbConnection::Connect
constexpr int kConnectUnresolved = 1;

// Options.
constexpr int kOptPeerIp = 6;
constexpr int kOptPeerPort = 7;
constexpr int kOptLocalIp = 8;
constexpr int kOptBandwidth = 10;
constexpr int kOptRtt = 11;
constexpr int kOptCallback = 101;
constexpr int kOptContext = 102;
// With handle 0: value 0 stops this endpoint relaying dig hole requests, non-zero restarts it.
constexpr int kOptRelay = 105;
constexpr int kNoHandle = 0;

// Reliable delivery.
constexpr uint32_t kSendWindowLimit = kConnectWindow;
constexpr uint32_t kInitialResendTimeout = 100;   // ms
constexpr uint32_t kMaxResendDelay = 8000;        // ms
constexpr uint32_t kFirstResendCap = 1000;        // ms; also the per-queue-position step
constexpr uint32_t kRttGiveUp = 4000;             // ms before a measurement is abandoned
constexpr uint32_t kRttMargin = 50;               // ms added to the RTT for the resend time-out
constexpr double kRttResendFactor = 1.5;
constexpr double kRttKeep = 0.9;                  // weight of the old smoothed RTT
constexpr uint8_t kRttIdle = 0;
constexpr uint8_t kRttArmed = 1;
constexpr uint8_t kRttMeasuring = 2;
constexpr uint32_t kAckDelay = 50;                // ms before a pure acknowledgement
// In-order bytes that draw a pure acknowledgement at once rather than after kAckDelay, so that
// a sender's window drains while the path is fast; a new hole draws one at once as well.
constexpr uint32_t kAckEveryBytes = 4 * kMaxData;
// Retries of a resend entry that was sent once and never again.
constexpr uint16_t kFirstTransmission = 1;
constexpr int kWritableRoomTick = 2800;           // room that wakes a writer from the worker
constexpr int kWritableRoomAck = 2719;            // room that wakes a writer on an acknowledgement
// In-order bytes the user has not read yet, beyond which further data is left unacknowledged
// (the peer sends it again) instead of growing without bound.
constexpr int kMaxUnreadBytes = 4 * 1024 * 1024;
// Blocks held beyond a gap; more can only come from a hostile peer (its data is then left
// unacknowledged rather than making every arrival walk a huge list).
constexpr int kMaxSackBlocks = 1024;

// Unreliable packets.
constexpr uint32_t kInitialUnreliableResendTimeout = 1000;  // ms
constexpr uint32_t kMinUnreliableResendTimeout = 100;       // ms
constexpr uint32_t kUnreliableResendRtts = 2;               // resend time-out in round trips
constexpr int kMaxPendingUnreliable = 50;
constexpr int kMaxUnreliableHistory = 50;
constexpr int kLossBlocks = 2;
constexpr int kLossCloseOffset = 150;      // an offset this far past the base closes the block
constexpr int kLossWindow = kLossBlocks * kLossReportBlock;
constexpr int kLossReportThreshold = 10;   // more missing than this draws a report

// Send slots and rate.
constexpr uint16_t kSlotLength = 50;                  // ms
constexpr uint32_t kSlotsPerSecond = 1000 / kSlotLength;
constexpr uint32_t kInitialSlotBudget = 10240;        // bytes per slot
constexpr uint32_t kInitialBandwidth = kInitialSlotBudget * kSlotsPerSecond;  // 204800
constexpr uint32_t kMinSlotBudget = 1280;             // 25600 bytes per second
constexpr uint32_t kMaxSlotBudget = 102400;           // 2048000 bytes per second
constexpr uint32_t kNoPreviousBandwidth = 0xFFFFFFFFu;
constexpr uint32_t kBandwidthStep = 1400;             // bytes per second added per period
constexpr double kRateUsedShare = 0.95;
constexpr double kRateLossShare = 0.95;
constexpr double kRateRecoveryFactor = 1.05;
constexpr uint32_t kSecondLength = 1000;              // ms
constexpr int kSecondsTracked = 16;                   // periods are numbered modulo this
constexpr uint8_t kInitialReportedSecond = 15;

// Process-wide tables.
constexpr int kHandleTableInitial = 4;
constexpr int kHandleTableGrow = 16;
// Bounds against hostile peers: a connect request beyond either is refused.
constexpr int kMaxConnections = 8192;
constexpr uint32_t kMaxPeerWindow = 1024 * 1024;
constexpr int kListenerGrowBy = 4;
// Datagrams read in one readable event; the socket thread comes back for the rest after it
// has served the other sockets.
constexpr int kMaxDatagramsPerEvent = 64;
constexpr int kDatagramBatch = 16;  // read in one system call
// Session tags are drawn from the system's random source, never 0 (a peer tag not yet known).
constexpr uint16_t kNoTag = 0;
// Half-open connections (kStateAnswered): a bound over all sources and one per source address,
// beyond which the oldest gives way, so that a flood of forged requests cannot keep real
// clients out; and how long one waits for its peer (the caller repeats its request for about
// five seconds).
constexpr int kMaxHalfOpen = 512;
constexpr int kMaxHalfOpenPerSource = 128;
constexpr uint32_t kHalfOpenGrace = 1000;  // ms a half-open connection is safe from giving way to its source
constexpr uint32_t kHalfOpenLifetime = 6000;  // ms
// Relaying dig hole requests: forwards per source address and second, sources served per
// second, and how long a forward waits for the destination's response2.
constexpr int kMaxForwardsPerSource = 8;
constexpr int kMaxRelaySources = 256;
constexpr uint32_t kRelayWindow = 1000;          // ms
constexpr uint32_t kRelayPendingLifetime = 5000;  // ms
constexpr int kMaxRelayPending = 512;
constexpr char kBindSeparator = ';';

// The path-finding rate (QRN_TP_OPT_UDP_RATE), chosen per connection; 0 keeps the rules above.
constexpr int kOptUdpRate = 108;           // value: the ceiling in Mbit/s
constexpr uint32_t kBytesPerMbit = 125000;  // per second
constexpr uint32_t kMaxUdpRateMbit = 10000;   // keeps the ceiling in bytes within 32 bits
// What a connection with this rate announces as its window (and so what the peer keeps for
// reassembly): the most that a peer of the original rules accepts. Those rules always announce
// kConnectWindow, so this value also tells a peer that this side takes up to kRateWideWindow
// beyond its ack: a sender with this rate then widens its send window to that.
constexpr uint32_t kRateSendWindowLimit = kMaxPeerWindow;
constexpr uint32_t kRateWideWindow = 4 * kMaxPeerWindow;
// Send slots are short, so that the rate goes out as a stream rather than in bursts.
constexpr uint16_t kRateSlotLength = 5;                 // ms
constexpr uint32_t kRateInitialResendTimeout = 1000;    // ms, until a round trip is known
constexpr int kRateRounds = 10;                // round trips over which the bottleneck rate is kept
constexpr uint32_t kRateMinRttLifetime = 10000;         // ms
constexpr double kRateStartupGain = 2.885;              // 2 / ln 2: doubles per round trip
constexpr double kRateWindowGain = 2.0;
constexpr int kRateProbeCycle = 8;
constexpr double kRateProbeGains[kRateProbeCycle] = {1.25, 0.75, 1, 1, 1, 1, 1, 1};
constexpr int kRateProbeFirstIndex = 2;
constexpr int kRateProbeDrainIndex = 1;
constexpr double kRateFullGrowth = 1.25;       // startup goes on while the rate grows this much
constexpr int kRateFullRounds = 3;             // ... per round trip, or for this many
// Startup also ends on a round in which this share of the bytes was lost (a queue that
// overflows loses far more than a lossy path does), once enough were lost to tell.
constexpr double kRateStartupLossShare = 0.1;
constexpr uint32_t kRateStartupLossMinBytes = 8 * kMaxDatagram;
constexpr uint32_t kRateInitialWindow = 10 * kMaxDatagram;
constexpr uint32_t kRateMinWindow = 4 * kMaxDatagram;
constexpr uint32_t kRateMinPacing = kMinSlotBudget * kSlotsPerSecond;
// Round-trip slack for the window: the sender's turns and the receiver's acknowledgements come
// a few milliseconds apart.
constexpr uint32_t kRateTimerSlack = 10;                // ms
constexpr uint32_t kRateMinSampleInterval = 1;          // ms
// A chunk is lost when one sent after it has arrived and it is this much of the latest round
// trip overdue, or at least kRateMinReorder ms.
constexpr double kRateReorderShare = 0.25;
constexpr uint32_t kRateMinReorder = 5;                 // ms
// What a data reliable datagram adds to its data, as the rate finder counts it.
constexpr uint32_t kRateChunkOverhead = kHeaderSize + kDataReliableFixedSize + kU8Size;
// A selective entry reports at most this much of a block (its length field is 16 bits); the
// pieces of a longer block overlap by a chunk, so that every chunk lies wholly in one of them.
constexpr uint32_t kSackPieceMax = 0xffff;
constexpr uint32_t kSackPieceStep = kSackPieceMax - kMaxData;

// CRC-16/XMODEM.
constexpr uint16_t kCrcPolynomial = 0x1021;
constexpr uint16_t kCrcInit = 0x0000;
constexpr int kCrcTableSize = 256;

static_assert(kDataReliableMaxHeadSize + kMaxData <= kMaxPayload, "data PDU exceeds a datagram");
static_assert(kDataUnreliableFixedSize + kMaxData <= kMaxPayload, "data PDU exceeds a datagram");

}  // namespace urlb

#endif
