// The reliable-UDP datagram: its header, the check of a received datagram, and the payload of
// every PDU type, written and read field by field with the support library's byte stream.
//
// Encoders write a payload at the start of out (the caller passes buffer + kOffPayload) and
// return the number of bytes written, or -1 when it does not fit (nothing useful is written
// then). Decoders read a payload of len bytes and return false for one too short to hold the
// fields; bytes after the last field are ignored.
#ifndef QRN_UDPRLB_UDPRLB_PDU_H
#define QRN_UDPRLB_UDPRLB_PDU_H

#include <stdint.h>

#include "udprlb/udprlb_defs.h"

struct CUdpRlbHeader {
    uint8_t pdu_type = 0;
    uint16_t len = 0;
    uint16_t crc = 0;
    uint8_t stats_index = 0;   // high nibble sender's second, low nibble the reported second
    uint16_t stats_volume = 0;
};

// Stores type, len and the CRC of the len payload bytes into the header of buf (size bytes).
// Returns the datagram size len + 8, or 0 when that does not fit in size (traced as an error).
// The stats bytes are left as they are.
int udprlb_pdu_finish(void *buf, int size, uint8_t pdu_type, int len);
// Stores the stats info into bytes 5 to 7; false when buf is shorter than a header.
bool udprlb_pdu_write_stats(void *buf, int size, uint8_t own_second, uint8_t reported_second,
                            uint16_t volume);
// Reads the 8 header bytes; false when size is shorter than a header.
bool udprlb_pdu_read_header(const void *buf, int size, CUdpRlbHeader *header);

enum class EUdpRlbCheck {
    kValid,
    kTooShort,        // fewer than 8 bytes: not parsed
    kLengthMismatch,  // len + 8 differs from the bytes received
    kCrcError,
};
// Checks a received datagram of received bytes in the order: size, length, CRC. Every refusal
// but kTooShort writes an error trace. header is filled whenever the header could be read.
EUdpRlbCheck udprlb_pdu_check(const void *buf, int received, CUdpRlbHeader *header);

// Types 1 to 4: the app_id of the client's connection and an IPv4 address (first octet most
// significant) and port (host form).
struct CUdpRlbDigHole {
    uint16_t app_id = 0;
    uint32_t ip = 0;
    uint16_t port = 0;
};
int udprlb_pdu_write_dig_hole(const CUdpRlbDigHole &pdu, void *out, int out_len);
bool udprlb_pdu_read_dig_hole(const void *in, int len, CUdpRlbDigHole *pdu);

// Type 6. A request that ends after window has no tag (has_tag false) and is to be refused.
struct CUdpRlbConnectRequest {
    uint16_t src = 0;
    uint32_t window = urlb::kConnectWindow;
    uint16_t src_tag = 0;
    bool has_tag = true;
};
int udprlb_pdu_write_connect_request(const CUdpRlbConnectRequest &pdu, void *out, int out_len);
bool udprlb_pdu_read_connect_request(const void *in, int len, CUdpRlbConnectRequest *pdu);

// Type 7.
struct CUdpRlbConnectResponse {
    uint16_t dst = 0;
    int16_t result = urlb::kConnectAccepted;
    uint16_t src = 0;
    uint32_t window = urlb::kConnectWindow;
    uint16_t src_tag = 0;
};
int udprlb_pdu_write_connect_response(const CUdpRlbConnectResponse &pdu, void *out, int out_len);
bool udprlb_pdu_read_connect_response(const void *in, int len, CUdpRlbConnectResponse *pdu);

// The identifying fields that open types 8, 9, 11 and 16; type 11 is just these.
struct CUdpRlbIds {
    uint16_t dst = 0;
    uint16_t src = 0;
    uint16_t dst_tag = 0;
    uint16_t src_tag = 0;
};
int udprlb_pdu_write_close_request(const CUdpRlbIds &pdu, void *out, int out_len);
bool udprlb_pdu_read_close_request(const void *in, int len, CUdpRlbIds *pdu);

struct CUdpRlbSackEntry {
    uint32_t offset = 0;
    uint16_t length = 0;  // low 16 bits of the block's length
};

// Type 8. data points at data_len bytes: the caller's on writing, into the payload on reading.
struct CUdpRlbDataReliable {
    CUdpRlbIds ids;
    uint32_t seq = 0;
    uint32_t ack = 0;
    int sack_count = 0;  // entries written: at most kMaxSackEntries, extra ones are left out
    CUdpRlbSackEntry sack[urlb::kMaxSackEntries];
    const uint8_t *data = nullptr;
    int data_len = 0;  // at most kMaxData
};
int udprlb_pdu_write_data_reliable(const CUdpRlbDataReliable &pdu, void *out, int out_len);
// Refuses an entry list that holds more than kMaxSackEntries entries, a marker other than 1
// or 0, or misses its end byte.
bool udprlb_pdu_read_data_reliable(const void *in, int len, CUdpRlbDataReliable *pdu);

// Type 9.
struct CUdpRlbDataUnreliable {
    CUdpRlbIds ids;
    uint16_t seq = 0;
    uint8_t attempt = urlb::kAttemptFirst;
    const uint8_t *data = nullptr;
    int data_len = 0;  // at most kMaxData
};
int udprlb_pdu_write_data_unreliable(const CUdpRlbDataUnreliable &pdu, void *out, int out_len);
bool udprlb_pdu_read_data_unreliable(const void *in, int len, CUdpRlbDataUnreliable *pdu);

// Type 15.
struct CUdpRlbKeepAlive {
    uint16_t dst = 0;
    uint16_t src = 0;
};
int udprlb_pdu_write_keep_alive(const CUdpRlbKeepAlive &pdu, void *out, int out_len);
bool udprlb_pdu_read_keep_alive(const void *in, int len, CUdpRlbKeepAlive *pdu);

// Type 16.
struct CUdpRlbUnreliableAck {
    CUdpRlbIds ids;
    uint16_t seq = 0;
};
int udprlb_pdu_write_unreliable_ack(const CUdpRlbUnreliableAck &pdu, void *out, int out_len);
bool udprlb_pdu_read_unreliable_ack(const void *in, int len, CUdpRlbUnreliableAck *pdu);

// Type 17.
struct CUdpRlbLostReport {
    uint16_t dst = 0;
    uint16_t src = 0;
    uint8_t missing = 0;  // data unreliable PDUs missing in the last block of kLossReportBlock
};
int udprlb_pdu_write_lost_report(const CUdpRlbLostReport &pdu, void *out, int out_len);
bool udprlb_pdu_read_lost_report(const void *in, int len, CUdpRlbLostReport *pdu);

#endif
