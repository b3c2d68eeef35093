// Stream sequence numbers: unsigned 32-bit, wrapping. A stream longer than 4 GiB wraps them,
// so positions are compared by their distance modulo 2^32, never by plain < and >. The windows
// compared here (at most the kept bytes of one side) are far below 2^31, which keeps the
// distance unambiguous.
#ifndef QRN_TRANSPORT_TP_SEQ_H
#define QRN_TRANSPORT_TP_SEQ_H

#include <stdint.h>

namespace tp {

// Bytes from sequence number from to sequence number to, going forward.
constexpr uint32_t SeqDistance(uint32_t from, uint32_t to) { return to - from; }

// seq lies in base .. base + count, both ends included.
constexpr bool SeqInWindow(uint32_t seq, uint32_t base, uint32_t count) {
    return SeqDistance(base, seq) <= count;
}

}  // namespace tp

#endif
