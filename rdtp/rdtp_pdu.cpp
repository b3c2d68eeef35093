#include "rdtp/rdtp_pdu.h"

#include "qrnlibl/qrn_bytestream.h"
#include "qrnlibl/qrn_trace.h"

using namespace rdtp;

int rdtp_pdu_write(const CRdtpConnectPdu &pdu, void *out, int out_len) {
    if (out == nullptr || out_len < kPduSize) return 0;
    CQrnByteStream stream(out, out_len);
    stream << pdu.serv_tag << pdu.cli_tag << pdu.conn_id << pdu.ordinal << pdu.conn_mode;
    return stream.failed() ? 0 : stream.tell();
}

bool rdtp_pdu_read(const void *in, int len, CRdtpConnectPdu *pdu) {
    if (in == nullptr || pdu == nullptr || len < kPduSize) return false;
    CQrnByteStream stream(in, kPduSize);
    stream >> pdu->serv_tag >> pdu->cli_tag >> pdu->conn_id >> pdu->ordinal >> pdu->conn_mode;
    return !stream.failed();
}

CRdtpGatherResult rdtp_pdu_gather(uint8_t (&pdu_buf)[kPduSize], uint16_t *pdu_len,
                                  const rdtp_pdu_reader &read, CRdtpConnectPdu *pdu) {
    CRdtpGatherResult result;
    if (*pdu_len > kPduSize - 1) {
        // Cannot happen while the count is reset on completion; starting over keeps the
        // read inside the buffer if it ever does.
        QRN_TRACE_ERROR(static_cast<int>(*pdu_len));
        *pdu_len = 0;
    }
    const int got = read(pdu_buf + *pdu_len, kPduSize - *pdu_len);
    if (got < 1) return result;
    // A path never hands back more than it was asked for; a count above that is not trusted.
    result.consumed = got < kPduSize - *pdu_len ? got : kPduSize - *pdu_len;
    *pdu_len = static_cast<uint16_t>(*pdu_len + result.consumed);
    if (*pdu_len < kPduSize) return result;
    *pdu_len = 0;
    result.complete = rdtp_pdu_read(pdu_buf, kPduSize, pdu);
    if (result.complete) rdtp_pdu_trace(*pdu);
    return result;
}

void rdtp_pdu_trace(const CRdtpConnectPdu &pdu) {
    qrn_trace_text("serv_tag=", pdu.serv_tag, ", cli_tag=", pdu.cli_tag, ", conn_id=", pdu.conn_id,
                   ", ordinal=", pdu.ordinal, ", conn_mode=", static_cast<int>(pdu.conn_mode));
}
