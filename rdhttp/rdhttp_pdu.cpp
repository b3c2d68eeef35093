#include "rdhttp/rdhttp_pdu.h"

#include <stdio.h>
#include <string.h>

#include "qrnlibl/qrn_bytestream.h"

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

ERdhttpReply ReadExchange(const void *in, int len, int max_len, CRdhttpExchange *ex) {
    if (in == nullptr || len < rdhttp::kLeadSize) return ERdhttpReply::kIncomplete;
    if (len > max_len) return ERdhttpReply::kTooLong;
    ex->data = static_cast<const uint8_t *>(in) + rdhttp::kLeadSize;
    ex->data_len = len - rdhttp::kLeadSize;
    return ERdhttpReply::kOk;
}

}  // namespace

int rdhttp_pdu_session_path(const char *prefix, uint32_t session_id, char *out, int out_len) {
    if (prefix == nullptr || out == nullptr || out_len <= 0) return -1;
    int n = snprintf(out, static_cast<size_t>(out_len), "%s%lu", prefix,
                     static_cast<unsigned long>(session_id));
    if (n < 0 || n >= out_len) {
        out[0] = '\0';
        return -1;
    }
    return n;
}

bool rdhttp_pdu_parse_session_id(const char *text, uint32_t *session_id) {
    if (text == nullptr || !IsDigit(text[0]) || text[0] == '0') return false;
    uint64_t value = 0;
    int digits = 0;
    for (; text[digits] != '\0'; ++digits) {
        if (digits == rdhttp::kMaxSessionIdDigits || !IsDigit(text[digits])) return false;
        value = value * 10 + static_cast<uint64_t>(text[digits] - '0');
    }
    if (value > UINT32_MAX) return false;
    *session_id = static_cast<uint32_t>(value);
    return true;
}

ERdhttpQuery rdhttp_pdu_parse_query(const char *query, uint32_t *session_id) {
    if (query == nullptr) return ERdhttpQuery::kInvalid;
    if (strcmp(query, rdhttp::kQueryBigPost) == 0) return ERdhttpQuery::kBigPost;
    if (strcmp(query, rdhttp::kQuerySinglePost) == 0) return ERdhttpQuery::kSinglePost;
    return rdhttp_pdu_parse_session_id(query, session_id) ? ERdhttpQuery::kSession
                                                          : ERdhttpQuery::kInvalid;
}

int rdhttp_pdu_write_bigpost_header(uint32_t session_id, void *out, int out_len) {
    if (out == nullptr || out_len < rdhttp::kBigPostHeaderSize) return -1;
    CQrnByteStream bs(out, out_len);
    bs.WriteBytes(rdhttp::kMagic, rdhttp::kMagicSize);
    bs.WriteULong(session_id);
    return bs.failed() ? -1 : rdhttp::kBigPostHeaderSize;
}

ERdhttpReply rdhttp_pdu_read_bigpost_header(const void *in, int len, uint32_t *session_id) {
    if (in == nullptr || len <= 0) return ERdhttpReply::kIncomplete;
    int magic_bytes = len < rdhttp::kMagicSize ? len : rdhttp::kMagicSize;
    if (memcmp(in, rdhttp::kMagic, static_cast<size_t>(magic_bytes)) != 0) {
        return ERdhttpReply::kForeign;
    }
    if (len < rdhttp::kBigPostHeaderSize) return ERdhttpReply::kIncomplete;
    uint32_t id = 0;
    CQrnByteStream::ReadULong(in, rdhttp::kBigPostHeaderSize, rdhttp::kOffSessionId, id);
    *session_id = id;
    return id == rdhttp::kNoSession ? ERdhttpReply::kRejected : ERdhttpReply::kOk;
}

ERdhttpReply rdhttp_pdu_read_bigpost_ok(const void *in, int len) {
    if (in == nullptr || len <= 0) return ERdhttpReply::kIncomplete;
    int n = len < rdhttp::kOkSize ? len : rdhttp::kOkSize;
    if (memcmp(in, rdhttp::kOk, static_cast<size_t>(n)) != 0) return ERdhttpReply::kRejected;
    return n < rdhttp::kOkSize ? ERdhttpReply::kIncomplete : ERdhttpReply::kOk;
}

int rdhttp_pdu_write_open_body(void *out, int out_len) {
    if (out == nullptr || out_len < rdhttp::kOpenBodySize) return -1;
    memcpy(out, rdhttp::kOpenBody, rdhttp::kOpenBodySize);
    return rdhttp::kOpenBodySize;
}

bool rdhttp_pdu_is_open_body(const void *in, int len) {
    return in != nullptr && len == rdhttp::kOpenBodySize &&
           memcmp(in, rdhttp::kOpenBody, rdhttp::kOpenBodySize) == 0;
}

int rdhttp_pdu_write_open_reply(uint32_t session_id, void *out, int out_len) {
    if (out == nullptr || out_len < rdhttp::kOpenReplySize) return -1;
    return CQrnByteStream::WriteULong(out, out_len, rdhttp::kOffOpenReplySessionId, session_id)
               ? rdhttp::kOpenReplySize
               : -1;
}

ERdhttpReply rdhttp_pdu_read_open_reply(const void *in, int len, uint32_t *session_id) {
    if (in == nullptr || len < rdhttp::kOpenReplySize) return ERdhttpReply::kIncomplete;
    uint32_t id = 0;
    CQrnByteStream::ReadULong(in, rdhttp::kOpenReplySize, rdhttp::kOffOpenReplySessionId, id);
    *session_id = id;
    return id == rdhttp::kNoSession ? ERdhttpReply::kRejected : ERdhttpReply::kOk;
}

int rdhttp_pdu_write_exchange(uint8_t lead, const void *data, int data_len, void *out,
                              int out_len) {
    if (data_len < 0 || data_len > rdhttp::kMaxExchangeData || out == nullptr) return -1;
    if (data_len > 0 && data == nullptr) return -1;
    int total = rdhttp::kLeadSize + data_len;
    if (out_len < total) return -1;
    auto *p = static_cast<uint8_t *>(out);
    p[0] = lead;
    if (data_len > 0) memcpy(p + rdhttp::kLeadSize, data, static_cast<size_t>(data_len));
    return total;
}

ERdhttpReply rdhttp_pdu_read_exchange_request(const void *in, int len, CRdhttpExchange *ex) {
    return ReadExchange(in, len, rdhttp::kMaxExchangeBody, ex);
}

ERdhttpReply rdhttp_pdu_read_exchange_reply(const void *in, int len, CRdhttpExchange *ex) {
    return ReadExchange(in, len, rdhttp::kMaxExchangeReply, ex);
}
