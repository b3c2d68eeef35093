// The tunnel's request paths and reply bodies, written and read by pure functions that both the
// tunnel clients and the tunnel server use. Readers take bytes from the network and refuse
// anything short, long or malformed with a result code; they never read past len.
#ifndef QRN_RDHTTP_RDHTTP_PDU_H
#define QRN_RDHTTP_RDHTTP_PDU_H

#include <stdint.h>

#include "rdhttp/rdhttp_defs.h"

// Room for the longest path: a prefix, ten digits and the terminator.
constexpr int kRdhttpMaxPath = 32;

// Writes prefix followed by session_id in decimal, terminated; the length, or -1 when it does
// not fit in out_len.
int rdhttp_pdu_session_path(const char *prefix, uint32_t session_id, char *out, int out_len);

// Reads a session id written in decimal: 1 to 10 digits, no sign, no leading zero, no other
// character, at most 0xFFFFFFFF and not 0. False for anything else.
bool rdhttp_pdu_parse_session_id(const char *text, uint32_t *session_id);

enum class ERdhttpQuery {
    kBigPost,     // "BigPost"
    kSinglePost,  // "SinglePost"
    kSession,     // a session id (in *session_id)
    kInvalid,
};
// Classifies the query string of a tunnel request (the part after '?').
ERdhttpQuery rdhttp_pdu_parse_query(const char *query, uint32_t *session_id);

enum class ERdhttpReply {
    kOk,
    kIncomplete,  // too few bytes yet
    kForeign,     // the bytes are not what a tunnel server sends
    kRejected,    // a session id of 0, or not "OK" where it is due
    kTooLong,     // more bytes than the form allows
};

// Large-post GET reply: the 8-byte header; 8, or -1 when out_len is too small.
int rdhttp_pdu_write_bigpost_header(uint32_t session_id, void *out, int out_len);
// kForeign as soon as the bytes gathered differ from the magic, kIncomplete below 8 bytes,
// kRejected for session id 0. Bytes after the eighth are not looked at.
ERdhttpReply rdhttp_pdu_read_bigpost_header(const void *in, int len, uint32_t *session_id);
// The 2 bytes after the header: kOk for "OK", kRejected otherwise (as soon as one differs).
ERdhttpReply rdhttp_pdu_read_bigpost_ok(const void *in, int len);

// Single-post opening request body: 4 bytes, or -1.
int rdhttp_pdu_write_open_body(void *out, int out_len);
bool rdhttp_pdu_is_open_body(const void *in, int len);
// Single-post opening reply: the session id; 4, or -1.
int rdhttp_pdu_write_open_reply(uint32_t session_id, void *out, int out_len);
// kIncomplete below 4 bytes, kRejected for id 0. Bytes after the fourth are not looked at.
ERdhttpReply rdhttp_pdu_read_open_reply(const void *in, int len, uint32_t *session_id);

// A single-post exchange body (request or reply): the leading byte and the data after it.
struct CRdhttpExchange {
    const uint8_t *data = nullptr;  // inside the body that was read
    int data_len = 0;
};
// Writes the leading byte and data_len bytes; the body's length, or -1 when data_len is
// negative or above kMaxExchangeData, or the body does not fit.
int rdhttp_pdu_write_exchange(uint8_t lead, const void *data, int data_len, void *out,
                              int out_len);
// A request body: 1 to kMaxExchangeBody bytes (kIncomplete for none, kTooLong above).
ERdhttpReply rdhttp_pdu_read_exchange_request(const void *in, int len, CRdhttpExchange *ex);
// A reply body: 1 to kMaxExchangeReply bytes.
ERdhttpReply rdhttp_pdu_read_exchange_reply(const void *in, int len, CRdhttpExchange *ex);

#endif
