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

// CRC-16/XMODEM.
constexpr uint16_t kCrcPolynomial = 0x1021;
constexpr uint16_t kCrcInit = 0x0000;
constexpr int kCrcTableSize = 256;

static_assert(kDataReliableMaxHeadSize + kMaxData <= kMaxPayload, "data PDU exceeds a datagram");
static_assert(kDataUnreliableFixedSize + kMaxData <= kMaxPayload, "data PDU exceeds a datagram");

}  // namespace urlb

#endif
