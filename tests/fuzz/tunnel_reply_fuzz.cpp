// libFuzzer target for the readers of what a tunnel server or a tunnel client sends: the
// detector's PDUs, the large-post header and "OK", the single-post replies and request bodies,
// and the query of a tunnel request. Each reader gets the input whole and, as a client gathers
// a reply, in pieces; a reader that accepts bytes must give back what a writer makes of them.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "http/dtctrpdu.h"
#include "rdhttp/rdhttp_pdu.h"

namespace {

void Check(bool ok) {
    if (!ok) abort();
}

void ReadDetector(const uint8_t *data, int len) {
    EDetectorPduRead result;
    auto pdu = CDetectorPdu::Read(data, len, &result);
    Check((pdu != nullptr) == (result == EDetectorPduRead::kOk));
    if (!pdu) return;
    uint8_t again[dtctr::kPduSize];
    Check(dtctr_pdu_write(pdu->GetType(), pdu->GetValue(), again, sizeof(again)) == 5);
    if (pdu->GetType() != dtctr::kTypeClose) Check(memcmp(again, data, sizeof(again)) == 0);
}

void ReadBigPost(const uint8_t *data, int len) {
    // Gathered byte by byte, the answer settles at the first byte that decides it.
    uint32_t id = 0;
    ERdhttpReply settled = ERdhttpReply::kIncomplete;
    for (int n = 1; n <= len && n <= rdhttp::kBigPostHeaderSize; ++n) {
        settled = rdhttp_pdu_read_bigpost_header(data, n, &id);
        if (settled != ERdhttpReply::kIncomplete) break;
    }
    ERdhttpReply whole = rdhttp_pdu_read_bigpost_header(data, len, &id);
    Check(settled == whole);
    if (whole == ERdhttpReply::kOk) {
        Check(id != rdhttp::kNoSession);
        uint8_t again[rdhttp::kBigPostHeaderSize];
        Check(rdhttp_pdu_write_bigpost_header(id, again, sizeof(again)) == 8);
        Check(memcmp(again, data, sizeof(again)) == 0);
        rdhttp_pdu_read_bigpost_ok(data + 8, len - 8);
    }
}

void ReadSinglePost(const uint8_t *data, int len) {
    uint32_t id = 0;
    if (rdhttp_pdu_read_open_reply(data, len, &id) == ERdhttpReply::kOk) {
        Check(id != rdhttp::kNoSession);
    }
    rdhttp_pdu_is_open_body(data, len);
    CRdhttpExchange ex;
    if (rdhttp_pdu_read_exchange_reply(data, len, &ex) == ERdhttpReply::kOk) {
        Check(ex.data == data + 1 && ex.data_len == len - 1 && len <= rdhttp::kMaxExchangeReply);
    }
    if (rdhttp_pdu_read_exchange_request(data, len, &ex) == ERdhttpReply::kOk) {
        std::vector<uint8_t> again(static_cast<size_t>(len));
        Check(rdhttp_pdu_write_exchange(data[0], ex.data, ex.data_len, again.data(), len) == len);
        Check(memcmp(again.data(), data, static_cast<size_t>(len)) == 0);
    }
}

void ReadQuery(const uint8_t *data, size_t size) {
    std::string query(reinterpret_cast<const char *>(data), size);
    uint32_t id = 0;
    if (rdhttp_pdu_parse_query(query.c_str(), &id) != ERdhttpQuery::kSession) return;
    char path[kRdhttpMaxPath];
    int n = rdhttp_pdu_session_path("", id, path, sizeof(path));
    Check(n > 0 && std::string(query.c_str()) == path);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    int len = static_cast<int>(size > 1 << 16 ? 1 << 16 : size);
    // Exact-sized copies, so that a read past len lands outside the allocation.
    std::vector<uint8_t> copy(data, data + len);
    const uint8_t *p = copy.empty() ? nullptr : copy.data();
    ReadDetector(p, len);
    ReadBigPost(p, len);
    ReadSinglePost(p, len);
    ReadQuery(p, copy.size());
    return 0;
}
