// The inputs of the two stream fuzz targets: a few bytes that steer the harness, then the
// bytes as a peer puts them on a path.
//
// tp_pdu_fuzz (the transport's readers: resume handshake, PDU headers, connect records):
//   byte 0, bit 0   the side that reads: 0 the server (the client's resume request, then its
//                   stream starting with the connect request record), 1 the client (the
//                   server's resume response, then the connect response record)
//   byte 1          how the path cuts the bytes into reads (PieceSizes)
//   bytes 2-13      the reader's own stream: send base, bytes handed over, next byte expected
//                   (32-bit each, most significant byte first)
//   bytes 14...     the bytes that arrive
// rdtp_connect_fuzz (the multi-mode connect PDU gatherer and reader):
//   byte 0          how the path answers each read (PieceSizes; some reads give nothing, some
//                   claim more than was asked)
//   bytes 1...      the bytes that arrive
#ifndef QRN_TESTS_FUZZ_STREAM_FUZZ_INPUT_H
#define QRN_TESTS_FUZZ_STREAM_FUZZ_INPUT_H

#include <stddef.h>
#include <stdint.h>

namespace streamfuzz {

constexpr size_t kTpOffRole = 0;
constexpr size_t kTpOffCut = 1;
constexpr size_t kTpOffSendBase = 2;
constexpr size_t kTpOffHanded = 6;
constexpr size_t kTpOffRecvNext = 10;
constexpr size_t kTpControlSize = 14;
constexpr uint8_t kTpRoleClient = 0x01;

constexpr size_t kRdtpOffCut = 0;
constexpr size_t kRdtpControlSize = 1;

// Read sizes drawn from the cut byte: bit 7 clear, small pieces (1 to 16 bytes, as a slow
// path gives them); set, large ones (up to 40000). Bits 0-6 seed the sequence.
class PieceSizes {
public:
    explicit PieceSizes(uint8_t cut) : m_large((cut & 0x80) != 0), m_state(0x9e3779b9u ^ (cut & 0x7fu)) {}

    // The next size, at least 1.
    size_t Next() {
        m_state ^= m_state << 13;
        m_state ^= m_state >> 17;
        m_state ^= m_state << 5;
        return 1 + m_state % (m_large ? kLargeMax : kSmallMax);
    }
    // A number below n from the same sequence.
    uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }

private:
    static constexpr uint32_t kSmallMax = 16;
    static constexpr uint32_t kLargeMax = 40000;
    bool m_large;
    uint32_t m_state;
};

inline uint32_t ReadU32(const uint8_t *p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           static_cast<uint32_t>(p[3]);
}

}  // namespace streamfuzz

#endif
