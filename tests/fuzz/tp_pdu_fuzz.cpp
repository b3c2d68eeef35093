// libFuzzer target for the transport's readers: the resume handshake with its check of the
// peer's counters, the PDU header, and the connect record at the start of the stream.
//
// The input (stream_fuzz_input.h) is what a peer puts on a new path, handed over in the pieces
// that a path may cut it into. The harness frames it as a connection does: the handshake
// message first, then PDUs whose bodies gather the record; once the record is read, stream
// bytes are dropped. Every reader must stay inside the bytes it is given, and what it accepts
// must hold together; a violation aborts with a message.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <vector>

#include "qrnlibl/qrn_cirwin.h"
#include "stream_fuzz_input.h"
#include "transport/tp_defs.h"
#include "transport/tp_pdu.h"
#include "transport/tp_seq.h"

namespace {

using namespace tp;
using namespace streamfuzz;

[[noreturn]] void Broken(const char *what) {
    fprintf(stderr, "tp_pdu_fuzz: %s\n", what);
    abort();
}

void Expect(bool holds, const char *what) {
    if (!holds) Broken(what);
}

// Reads every byte of a block the reader pointed at, so that a bad pointer or length shows.
volatile uint8_t g_sink;
void Touch(const uint8_t *data, int len) {
    uint8_t sum = 0;
    for (int i = 0; i < len; ++i) sum = static_cast<uint8_t>(sum + data[i]);
    g_sink = sum;
}

struct CSide {
    bool client;
    uint32_t send_base;
    uint32_t handed;
    uint32_t recv_next;
};

class CReader {
public:
    explicit CReader(const CSide &side) : m_side(side) {}

    // Takes one piece; false once the connection would have ended.
    bool Feed(const uint8_t *data, size_t len) {
        while (len > 0 && m_alive) {
            const size_t used = Step(data, len);
            data += used;
            len -= used;
        }
        return m_alive;
    }

private:
    size_t Step(const uint8_t *data, size_t len) {
        if (!m_handshake_done) return Gather(data, len, m_side.client ? kResumeRespSize : kResumeReqSize);
        if (m_hdr_len < kPduHeaderSize) return Gather(data, len, kPduHeaderSize);
        const size_t n = len < static_cast<size_t>(m_body_remain) ? len : static_cast<size_t>(m_body_remain);
        if (m_record_done) {
            Touch(data, static_cast<int>(n));
        } else {
            if (m_body_len + n > sizeof(m_body)) return End();  // the record cannot fit: a protocol error
            memcpy(m_body + m_body_len, data, n);
            m_body_len += static_cast<int>(n);
        }
        m_body_remain -= static_cast<int>(n);
        if (m_body_remain == 0) PduComplete();
        return n;
    }

    // Gathers a fixed-size message into m_hdr.
    size_t Gather(const uint8_t *data, size_t len, int size) {
        const size_t want = static_cast<size_t>(size - m_hdr_len);
        const size_t n = len < want ? len : want;
        memcpy(m_hdr + m_hdr_len, data, n);
        m_hdr_len += static_cast<int>(n);
        if (m_hdr_len == size) {
            if (!m_handshake_done) {
                m_hdr_len = 0;
                m_handshake_done = true;
                if (!Handshake()) End();
            } else {
                Header();
            }
        }
        return n;
    }

    bool Handshake() {
        Expect(ReadResumeReq(m_hdr, kResumeReqSize - 1, m_req) == -1, "short resume request read");
        Expect(ReadResumeResp(m_hdr, kResumeRespSize - 1, m_resp) == -1, "short resume response read");
        if (m_side.client) {
            CTpResumeResp resp;
            Expect(ReadResumeResp(m_hdr, kResumeRespSize, resp) == 0, "resume response not read");
            const bool ok = ResumeRespAcceptable(resp, m_side.send_base, m_side.handed);
            Expect(!ok || (resp.result == kResumeAccepted &&
                           SeqDistance(m_side.send_base, resp.recv_next) <= m_side.handed),
                   "accepted a response beyond what was handed over");
            return ok;
        }
        CTpResumeReq req;
        Expect(ReadResumeReq(m_hdr, kResumeReqSize, req) == 0, "resume request not read");
        const CTpResumeResp resp = AnswerResumeReq(req, m_side.send_base, m_side.handed, m_side.recv_next, kSendKeepMax);
        if (resp.result == kResumeAccepted) {
            Expect(resp.recv_next == m_side.recv_next, "accepted with another recv_next");
            Expect(req.send_kept <= static_cast<uint32_t>(kSendKeepMax), "accepted a range wider than the window");
            Expect(SeqDistance(m_side.send_base, req.recv_next) <= m_side.handed, "accepted bytes never sent");
            Expect(SeqDistance(req.send_base, m_side.recv_next) <= req.send_kept, "accepted bytes the peer lacks");
        } else {
            Expect(resp.result == kResumeRefused && resp.recv_next == 0, "refusal not as written");
        }
        uint8_t wire[kResumeRespSize];
        CTpResumeResp back;
        Expect(WriteResumeResp(wire, sizeof(wire), resp) == kResumeRespSize &&
                   ReadResumeResp(wire, sizeof(wire), back) == 0 && back.result == resp.result &&
                   back.recv_next == resp.recv_next,
               "resume response does not read back");
        return resp.result == kResumeAccepted;
    }

    void Header() {
        CTpPduHeader header;
        const int r = ReadPduHeader(m_hdr, kPduHeaderSize, header);
        if (r != 0) {
            Expect(header.body_len > kMaxPduBody, "header refused with a body that fits");
            End();
            return;
        }
        Expect(header.body_len >= 0 && header.body_len <= kMaxPduBody, "header body length out of range");
        if (header.body_len <= kMaxDataBody) {
            uint8_t wire[kPduHeaderSize];
            Expect(WritePduHeader(wire, sizeof(wire), header.body_len, header.type) == kPduHeaderSize &&
                       memcmp(wire, m_hdr, kPduHeaderSize) == 0,
                   "header does not write back");
        }
        if (!IsStreamPdu(header.type)) {
            Expect(ClosingPduReason(header.type) != 0, "closing PDU without a reason");
            End();
            return;
        }
        Expect(ClosingPduReason(header.type) == 0, "stream PDU with a closing reason");
        m_body_remain = header.body_len;
        if (m_body_remain == 0) PduComplete();
    }

    void PduComplete() {
        m_hdr_len = 0;
        if (m_record_done) return;
        const int fixed = m_side.client ? kConnRespFixedSize : kConnReqFixedSize;
        const int n = PeekConnRecord(m_body, m_body_len, fixed);
        if (n < 0) {
            End();
            return;
        }
        if (n == 0) return;
        Expect(n >= fixed && n <= m_body_len && n <= kMaxRecordSize, "record length out of range");
        if (m_side.client ? !Response(n) : !Request(n)) {
            End();
            return;
        }
        m_record_done = true;
        // Bytes behind the record are stream data.
        Touch(m_body + n, m_body_len - n);
        m_body_len = 0;
    }

    bool Request(int n) {
        CTpConnReq req;
        if (ReadPduConnReq(m_body, n, req) != 0) return false;
        Expect(req.data == m_body + kConnReqFixedSize && req.data_len == n - kConnReqFixedSize &&
                   req.data_len <= kMaxConnectData,
               "request data outside the record");
        Touch(req.data, req.data_len);
        WrittenBack([&](qrn_cirwin *w) { return WritePduConnReq(w, req); }, n);
        return true;
    }

    bool Response(int n) {
        CTpConnResp resp;
        if (ReadPduConnResp(m_body, n, resp) != 0) return false;
        Expect(resp.data == m_body + kConnRespFixedSize && resp.data_len == n - kConnRespFixedSize &&
                   resp.data_len <= kMaxConnectData,
               "response data outside the record");
        Touch(resp.data, resp.data_len);
        WrittenBack([&](qrn_cirwin *w) { return WritePduConnResp(w, resp); }, n);
        return true;
    }

    // A record that was read writes back to the same bytes (the length field aside, which a
    // reader only reports when it disagrees).
    template <class Write>
    void WrittenBack(Write write, int n) {
        qrn_cirwin *w = qrn_cirwin_create(2 * kMaxRecordSize);
        Expect(write(w) == n, "record does not write back whole");
        std::vector<uint8_t> out(static_cast<size_t>(n));
        qrn_cirwin_read(w, out.data(), n);
        qrn_cirwin_destroy(w);
        constexpr int kLengthField = 2;
        Expect(memcmp(out.data() + kLengthField, m_body + kLengthField, static_cast<size_t>(n - kLengthField)) == 0,
               "record writes back other bytes");
    }

    size_t End() {
        m_alive = false;
        return 0;
    }

    CSide m_side;
    bool m_alive = true;
    bool m_handshake_done = false;
    bool m_record_done = false;
    uint8_t m_hdr[kRecvHdrSize] = {};
    int m_hdr_len = 0;
    CTpResumeReq m_req;
    CTpResumeResp m_resp;
    uint8_t m_body[kRecvBodySize] = {};
    int m_body_len = 0;
    int m_body_remain = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < kTpControlSize) return 0;
    const CSide side{(data[kTpOffRole] & kTpRoleClient) != 0, ReadU32(data + kTpOffSendBase),
                     ReadU32(data + kTpOffHanded), ReadU32(data + kTpOffRecvNext)};
    // A side never has handed over more than it keeps.
    if (side.handed > static_cast<uint32_t>(kSendKeepMax) + kMaxRecordSize) return 0;
    PieceSizes pieces(data[kTpOffCut]);
    auto reader = std::make_unique<CReader>(side);
    const uint8_t *p = data + kTpControlSize;
    size_t left = size - kTpControlSize;
    while (left > 0) {
        size_t n = pieces.Next();
        if (n > left) n = left;
        // Each piece in a buffer of its own size, so that a read past it shows.
        std::vector<uint8_t> piece(p, p + n);
        if (!reader->Feed(piece.data(), piece.size())) break;
        p += n;
        left -= n;
    }
    return 0;
}
