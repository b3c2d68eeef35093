// The input of the reliable-UDP dispatch fuzz target: three bytes that steer the harness, then
// one datagram as it would arrive on the layer's socket.
//
//   byte 0, bits 0-1  how the datagram is fixed up: kFixNone as it is; kFixCheck len and CRC
//                     made right; kFixIdentity (and 3) also the target's app ids and session
//                     tags written into the identity fields of the payload
//   byte 0, bits 2-3  the target connection (ETarget)
//   byte 0, bits 4-5  what the target sends first: bit 4 reliable bytes, bit 5 one unreliable
//                     packet, each byte 1 long (reliable: times kPrimeReliableUnit)
//   byte 0, bit 6     the datagram arrives on the other of the layer's two sockets
//   byte 0, bit 7     the datagram carries a listen id that names no listener
//   byte 1            the size of what the target sends first
//   byte 2            stream positions made relative to what the target last sent to its
//                     peer (read from its data PDUs), so that inputs land inside its windows:
//                     bit 0 the seq of a data reliable PDU counts from the target's ack;
//                     bit 1 its ack, and bit 2 its selective entries' offsets, count back from
//                     the target's next new byte; bit 3 the seq of an unreliable ACK counts
//                     back from the target's last unreliable seq
//   bytes 3...        the datagram (header and payload), at most one datagram's size
#ifndef QRN_TESTS_FUZZ_UDPRLB_FUZZ_INPUT_H
#define QRN_TESTS_FUZZ_UDPRLB_FUZZ_INPUT_H

#include <stdint.h>

namespace urlbfuzz {

constexpr int kControlSize = 3;
constexpr int kOffControl = 0;
constexpr int kOffAmount = 1;
constexpr int kOffRelative = 2;

constexpr uint8_t kFixMask = 0x03;
constexpr uint8_t kFixNone = 0;
constexpr uint8_t kFixCheck = 1;
constexpr uint8_t kFixIdentity = 2;

constexpr int kTargetShift = 2;
constexpr uint8_t kTargetMask = 0x03;
// The four live connections that inputs can aim at.
enum ETarget : uint8_t {
    kTargetAccepted = 0,    // accepted from a connect request, connected
    kTargetCalling = 1,     // opened by the layer, answered, connected
    kTargetConnecting = 2,  // opened by the layer, its connect requests unanswered
    kTargetDigging = 3,     // opened through a relay, its dig hole requests unanswered
};
constexpr int kTargetCount = 4;

constexpr uint8_t kPrimeReliable = 0x10;
constexpr uint8_t kPrimeUnreliable = 0x20;
constexpr int kPrimeReliableUnit = 64;
constexpr uint8_t kOtherSocket = 0x40;
constexpr uint8_t kUnknownListener = 0x80;

constexpr uint8_t kRelativeSeq = 0x01;
constexpr uint8_t kRelativeAck = 0x02;
constexpr uint8_t kRelativeSack = 0x04;
constexpr uint8_t kRelativeUnreliableAck = 0x08;

inline uint8_t MakeControl(uint8_t fix, ETarget target, uint8_t flags = 0) {
    return static_cast<uint8_t>(fix | (target << kTargetShift) | flags);
}

// The peers' side of each target, as the harness plays it: app id and session tag.
constexpr uint16_t kPeerAppId[kTargetCount] = {0x0a11, 0x0b22, 0x0c33, 0x0d44};
constexpr uint16_t kPeerTag[kTargetCount] = {0x1a11, 0x1b22, 0x1c33, 0x1d44};

}  // namespace urlbfuzz

#endif
