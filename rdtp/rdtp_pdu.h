// The connect PDU: written and read with the support library's byte stream (network byte
// order), and gathered from a stream that may deliver it in pieces.
#ifndef QRN_RDTP_RDTP_PDU_H
#define QRN_RDTP_RDTP_PDU_H

#include <stdint.h>

#include <functional>

#include "rdtp/rdtp_defs.h"

struct CRdtpConnectPdu {
    uint32_t serv_tag = 0;
    uint32_t cli_tag = 0;
    uint16_t conn_id = 0;
    uint16_t ordinal = 0;
    uint8_t conn_mode = 0;
};

// Writes the 13 bytes into out; returns their count, or 0 when out_len is too short.
int rdtp_pdu_write(const CRdtpConnectPdu &pdu, void *out, int out_len);
// Reads a PDU from the first 13 bytes of in; false when len is too short.
bool rdtp_pdu_read(const void *in, int len, CRdtpConnectPdu *pdu);
// A response refuses when its serv_tag is 0, whatever the other fields hold.
inline bool rdtp_pdu_is_refusal(const CRdtpConnectPdu &pdu) { return pdu.serv_tag == 0; }
// The refusal: 13 zero bytes.
inline CRdtpConnectPdu rdtp_pdu_refusal() { return CRdtpConnectPdu{}; }

// One read event's share of gathering: read(buffer, max) reads at most max bytes from the path
// and returns their count (below 1: nothing now).
using rdtp_pdu_reader = std::function<int(void *buffer, int max)>;

struct CRdtpGatherResult {
    bool complete = false;  // the 13th byte came in this event; the PDU is parsed
    int consumed = 0;       // bytes taken from the path in this event
};

// Reads at most 13 - *pdu_len bytes into pdu_buf at *pdu_len. Once 13 are there, parses
// them into *pdu and sets *pdu_len back to 0. Nothing beyond the PDU is read.
CRdtpGatherResult rdtp_pdu_gather(uint8_t (&pdu_buf)[rdtp::kPduSize], uint16_t *pdu_len,
                                  const rdtp_pdu_reader &read, CRdtpConnectPdu *pdu);

// The reader's trace line of a parsed PDU.
void rdtp_pdu_trace(const CRdtpConnectPdu &pdu);

#endif
