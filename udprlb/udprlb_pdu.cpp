#include "udprlb/udprlb_pdu.h"

#include "qrnlibl/qrn_bytestream.h"
#include "qrnlibl/qrn_trace.h"
#include "udprlb/udprlb_crc.h"

using namespace urlb;

namespace {

int Written(const CQrnByteStream &stream) { return stream.failed() ? -1 : stream.tell(); }

bool ValidIn(const void *in, int len, const void *pdu) {
    return in != nullptr && pdu != nullptr && len >= 0;
}

CQrnByteStream &operator<<(CQrnByteStream &stream, const CUdpRlbIds &ids) {
    return stream << ids.dst << ids.src << ids.dst_tag << ids.src_tag;
}

CQrnByteStream &operator>>(CQrnByteStream &stream, CUdpRlbIds &ids) {
    return stream >> ids.dst >> ids.src >> ids.dst_tag >> ids.src_tag;
}

// The data bytes that follow a data PDU's head: the rest of the payload.
void ReadData(const CQrnByteStream &stream, const uint8_t **data, int *data_len) {
    *data_len = stream.available();
    *data = stream.get_data() + stream.tell();
}

}  // namespace

int udprlb_pdu_finish(void *buf, int size, uint8_t pdu_type, int len) {
    if (buf == nullptr || len < 0 || len > size - kHeaderSize) {
        QRN_TRACE_ERROR("pdu too large, len=", len, ", max=", kMaxDatagram);
        return 0;
    }
    uint8_t *bytes = static_cast<uint8_t *>(buf);
    bytes[kOffType] = pdu_type;
    const uint16_t len16 = static_cast<uint16_t>(len);
    CQrnByteStream::WriteUShort(buf, size, kOffLen, len16);
    CQrnByteStream::WriteUShort(buf, size, kOffCrc, udprlb_crc16(bytes + kOffPayload, len16));
    return len + kHeaderSize;
}

bool udprlb_pdu_write_stats(void *buf, int size, uint8_t own_second, uint8_t reported_second,
                            uint16_t volume) {
    if (buf == nullptr || size < kHeaderSize) return false;
    static_cast<uint8_t *>(buf)[kOffStatsIndex] = static_cast<uint8_t>(
        ((own_second & kStatsIndexMask) << kStatsIndexShift) | (reported_second & kStatsIndexMask));
    return CQrnByteStream::WriteUShort(buf, size, kOffStatsVolume, volume);
}

bool udprlb_pdu_read_header(const void *buf, int size, CUdpRlbHeader *header) {
    if (buf == nullptr || header == nullptr || size < kHeaderSize) return false;
    CQrnByteStream stream(buf, kHeaderSize);
    stream >> header->pdu_type >> header->len >> header->crc >> header->stats_index >>
        header->stats_volume;
    return !stream.failed();
}

EUdpRlbCheck udprlb_pdu_check(const void *buf, int received, CUdpRlbHeader *header) {
    if (!udprlb_pdu_read_header(buf, received, header)) return EUdpRlbCheck::kTooShort;
    if (header->len + kHeaderSize != received) {
        QRN_TRACE_ERROR(static_cast<int>(header->pdu_type), static_cast<int>(header->len), received);
        return EUdpRlbCheck::kLengthMismatch;
    }
    const uint8_t *payload = static_cast<const uint8_t *>(buf) + kOffPayload;
    if (udprlb_crc16(payload, header->len) != header->crc) {
        QRN_TRACE_ERROR("CRC16 error");
        return EUdpRlbCheck::kCrcError;
    }
    return EUdpRlbCheck::kValid;
}

int udprlb_pdu_write_dig_hole(const CUdpRlbDigHole &pdu, void *out, int out_len) {
    if (out == nullptr) return -1;
    CQrnByteStream stream(out, out_len);
    stream << pdu.app_id << pdu.ip << pdu.port;
    return Written(stream);
}

bool udprlb_pdu_read_dig_hole(const void *in, int len, CUdpRlbDigHole *pdu) {
    if (!ValidIn(in, len, pdu)) return false;
    CQrnByteStream stream(in, len);
    stream >> pdu->app_id >> pdu->ip >> pdu->port;
    return !stream.failed();
}

int udprlb_pdu_write_connect_request(const CUdpRlbConnectRequest &pdu, void *out, int out_len) {
    if (out == nullptr) return -1;
    CQrnByteStream stream(out, out_len);
    stream << pdu.src << pdu.window;
    if (pdu.has_tag) stream << pdu.src_tag;
    return Written(stream);
}

bool udprlb_pdu_read_connect_request(const void *in, int len, CUdpRlbConnectRequest *pdu) {
    if (!ValidIn(in, len, pdu)) return false;
    CQrnByteStream stream(in, len);
    stream >> pdu->src >> pdu->window;
    if (stream.failed()) return false;
    pdu->has_tag = stream.available() >= kU16Size;
    pdu->src_tag = 0;
    if (pdu->has_tag) stream >> pdu->src_tag;
    return !stream.failed();
}

int udprlb_pdu_write_connect_response(const CUdpRlbConnectResponse &pdu, void *out, int out_len) {
    if (out == nullptr) return -1;
    CQrnByteStream stream(out, out_len);
    stream << pdu.dst << static_cast<uint16_t>(pdu.result) << pdu.src << pdu.window << pdu.src_tag;
    return Written(stream);
}

bool udprlb_pdu_read_connect_response(const void *in, int len, CUdpRlbConnectResponse *pdu) {
    if (!ValidIn(in, len, pdu)) return false;
    CQrnByteStream stream(in, len);
    uint16_t result = 0;
    stream >> pdu->dst >> result >> pdu->src >> pdu->window >> pdu->src_tag;
    pdu->result = static_cast<int16_t>(result);
    return !stream.failed();
}

int udprlb_pdu_write_close_request(const CUdpRlbIds &pdu, void *out, int out_len) {
    if (out == nullptr) return -1;
    CQrnByteStream stream(out, out_len);
    stream << pdu;
    return Written(stream);
}

bool udprlb_pdu_read_close_request(const void *in, int len, CUdpRlbIds *pdu) {
    if (!ValidIn(in, len, pdu)) return false;
    CQrnByteStream stream(in, len);
    stream >> *pdu;
    return !stream.failed();
}

int udprlb_pdu_write_data_reliable(const CUdpRlbDataReliable &pdu, void *out, int out_len) {
    if (out == nullptr || pdu.data_len < 0 || pdu.data_len > kMaxData ||
        (pdu.data_len > 0 && pdu.data == nullptr)) {
        return -1;
    }
    CQrnByteStream stream(out, out_len);
    stream << pdu.ids << pdu.seq << pdu.ack;
    const int entries = pdu.sack_count < kMaxSackEntries ? pdu.sack_count : kMaxSackEntries;
    for (int i = 0; i < entries; ++i) {
        stream << kSackEntryMarker << pdu.sack[i].offset << pdu.sack[i].length;
    }
    stream << kSackEnd;
    stream.WriteBytes(pdu.data, pdu.data_len);
    return Written(stream);
}

bool udprlb_pdu_read_data_reliable(const void *in, int len, CUdpRlbDataReliable *pdu) {
    if (!ValidIn(in, len, pdu)) return false;
    CQrnByteStream stream(in, len);
    stream >> pdu->ids >> pdu->seq >> pdu->ack;
    pdu->sack_count = 0;
    uint8_t marker = kSackEnd;
    while (stream.ReadUChar(marker) && marker == kSackEntryMarker) {
        // A peer of this layer never sends more entries than we keep; more is malformed.
        if (pdu->sack_count == kMaxSackEntries) return false;
        CUdpRlbSackEntry &entry = pdu->sack[pdu->sack_count++];
        stream >> entry.offset >> entry.length;
    }
    if (stream.failed() || marker != kSackEnd) return false;
    ReadData(stream, &pdu->data, &pdu->data_len);
    return pdu->data_len <= kMaxData;
}

int udprlb_pdu_write_data_unreliable(const CUdpRlbDataUnreliable &pdu, void *out, int out_len) {
    if (out == nullptr || pdu.data_len < 0 || pdu.data_len > kMaxData ||
        (pdu.data_len > 0 && pdu.data == nullptr)) {
        return -1;
    }
    CQrnByteStream stream(out, out_len);
    stream << pdu.ids << pdu.seq << pdu.attempt << kUnreliableReserved;
    stream.WriteBytes(pdu.data, pdu.data_len);
    return Written(stream);
}

bool udprlb_pdu_read_data_unreliable(const void *in, int len, CUdpRlbDataUnreliable *pdu) {
    if (!ValidIn(in, len, pdu)) return false;
    CQrnByteStream stream(in, len);
    uint8_t reserved = 0;
    stream >> pdu->ids >> pdu->seq >> pdu->attempt >> reserved;
    if (stream.failed()) return false;
    ReadData(stream, &pdu->data, &pdu->data_len);
    return pdu->data_len <= kMaxData;
}

int udprlb_pdu_write_keep_alive(const CUdpRlbKeepAlive &pdu, void *out, int out_len) {
    if (out == nullptr) return -1;
    CQrnByteStream stream(out, out_len);
    stream << pdu.dst << pdu.src;
    return Written(stream);
}

bool udprlb_pdu_read_keep_alive(const void *in, int len, CUdpRlbKeepAlive *pdu) {
    if (!ValidIn(in, len, pdu)) return false;
    CQrnByteStream stream(in, len);
    stream >> pdu->dst >> pdu->src;
    return !stream.failed();
}

int udprlb_pdu_write_unreliable_ack(const CUdpRlbUnreliableAck &pdu, void *out, int out_len) {
    if (out == nullptr) return -1;
    CQrnByteStream stream(out, out_len);
    stream << pdu.ids << pdu.seq;
    return Written(stream);
}

bool udprlb_pdu_read_unreliable_ack(const void *in, int len, CUdpRlbUnreliableAck *pdu) {
    if (!ValidIn(in, len, pdu)) return false;
    CQrnByteStream stream(in, len);
    stream >> pdu->ids >> pdu->seq;
    return !stream.failed();
}

int udprlb_pdu_write_lost_report(const CUdpRlbLostReport &pdu, void *out, int out_len) {
    if (out == nullptr) return -1;
    CQrnByteStream stream(out, out_len);
    stream << pdu.dst << pdu.src << pdu.missing;
    return Written(stream);
}

bool udprlb_pdu_read_lost_report(const void *in, int len, CUdpRlbLostReport *pdu) {
    if (!ValidIn(in, len, pdu)) return false;
    CQrnByteStream stream(in, len);
    stream >> pdu->dst >> pdu->src >> pdu->missing;
    return !stream.failed();
}
