// libFuzzer target for the multi-mode layer's connect PDU gatherer and reader.
//
// The input (stream_fuzz_input.h) is what arrives on a path that awaits connect PDUs. The
// gatherer reads it through a path that cuts it into pieces as the steering byte says, and
// that now and then gives nothing or claims more bytes than it was asked for (a lower layer
// that misbehaves). The gatherer must never write or count beyond its 13-byte buffer, must
// parse exactly once per 13 bytes taken, and what it parses must be those bytes.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "rdtp/rdtp_defs.h"
#include "rdtp/rdtp_pdu.h"
#include "stream_fuzz_input.h"

namespace {

using namespace streamfuzz;

[[noreturn]] void Broken(const char *what) {
    fprintf(stderr, "rdtp_connect_fuzz: %s\n", what);
    abort();
}

void Expect(bool holds, const char *what) {
    if (!holds) Broken(what);
}

// How one read of the path turns out.
constexpr uint32_t kReadKinds = 8;
constexpr uint32_t kReadNothing = 0;  // no byte now
constexpr uint32_t kReadFails = 1;    // an error
constexpr uint32_t kReadOvercounts = 2;  // copies what fits, claims more

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < kRdtpControlSize) return 0;
    PieceSizes pieces(data[kRdtpOffCut]);
    const uint8_t *in = data + kRdtpControlSize;
    const size_t total = size - kRdtpControlSize;
    size_t pos = 0;

    uint8_t pdu_buf[rdtp::kPduSize] = {};
    uint16_t pdu_len = 0;
    // The bytes taken since the last complete PDU, to check what it parsed.
    std::vector<uint8_t> taken;
    int idle = 0;
    while (pos < total && idle < 4) {
        int asked = 0;
        const rdtp_pdu_reader read = [&](void *buffer, int max) -> int {
            asked = max;
            Expect(max >= 1 && max <= rdtp::kPduSize, "asked for a count outside the buffer");
            const uint32_t kind = pieces.Below(kReadKinds);
            if (kind == kReadNothing) return 0;
            if (kind == kReadFails) return -1;
            size_t n = pieces.Next();
            if (n > static_cast<size_t>(max)) n = static_cast<size_t>(max);
            if (n > total - pos) n = total - pos;
            if (n == 0) return 0;
            memcpy(buffer, in + pos, n);
            taken.insert(taken.end(), in + pos, in + pos + n);
            pos += n;
            return kind == kReadOvercounts ? static_cast<int>(n) + max : static_cast<int>(n);
        };
        CRdtpConnectPdu pdu;
        const uint16_t before = pdu_len;
        const CRdtpGatherResult got = rdtp_pdu_gather(pdu_buf, &pdu_len, read, &pdu);
        Expect(pdu_len < rdtp::kPduSize, "count beyond the buffer");
        Expect(got.consumed >= 0 && got.consumed <= asked, "counted more than was asked for");
        idle = got.consumed == 0 ? idle + 1 : 0;
        if (!got.complete) {
            Expect(pdu_len == before + got.consumed, "count does not follow the bytes taken");
            continue;
        }
        Expect(pdu_len == 0 && before + got.consumed == rdtp::kPduSize, "parsed before the 13th byte");
        // An overcounting read claims bytes that never came (the buffer's old bytes stand in
        // for them), so the parse is compared with the buffer, and with the bytes taken only
        // when every read told the truth.
        if (taken.size() == static_cast<size_t>(rdtp::kPduSize)) {
            Expect(memcmp(taken.data(), pdu_buf, rdtp::kPduSize) == 0, "buffer holds other bytes than were taken");
        }
        uint8_t wire[rdtp::kPduBufferSize];
        Expect(rdtp_pdu_write(pdu, wire, sizeof(wire)) == rdtp::kPduSize, "PDU does not write back");
        Expect(memcmp(wire, pdu_buf, rdtp::kPduSize) == 0, "parsed other bytes than the buffer holds");
        Expect(rdtp_pdu_is_refusal(pdu) == (pdu.serv_tag == 0), "refusal not told by serv_tag");
        taken.clear();
    }
    return 0;
}
