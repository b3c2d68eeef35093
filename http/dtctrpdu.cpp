#include "http/dtctrpdu.h"

#include "qrnlibl/qrn_bytestream.h"
#include "qrnlibl/qrn_trace.h"

int dtctr_pdu_write(uint8_t type, uint32_t value, void *out, int out_len) {
    if (out == nullptr || out_len < dtctr::kPduSize) return -1;
    CQrnByteStream bs(out, out_len);
    bs << type << value;
    return bs.failed() ? -1 : dtctr::kPduSize;
}

EDetectorPduRead dtctr_pdu_read(const void *in, int len, uint8_t *type, uint32_t *value) {
    if (in == nullptr || len < dtctr::kPduSize) return EDetectorPduRead::kShort;
    CQrnByteStream bs(in, dtctr::kPduSize);
    uint8_t t = 0;
    uint32_t v = 0;
    bs >> t >> v;
    if (t != dtctr::kTypeSessionCreated && t != dtctr::kTypeEcho && t != dtctr::kTypeClose) {
        QRN_TRACE_ERROR("detector pdu of unknown type", static_cast<uint32_t>(t));
        return EDetectorPduRead::kUnknownType;
    }
    *type = t;
    *value = t == dtctr::kTypeClose ? 0 : v;
    return EDetectorPduRead::kOk;
}

CDetectorPdu::CDetectorPdu(uint8_t type, uint32_t value) : m_value(value), m_bytes{} {
    dtctr_pdu_write(type, value, m_bytes, sizeof(m_bytes));
}

std::unique_ptr<CDetectorPdu> CDetectorPdu::Read(const void *in, int len,
                                                 EDetectorPduRead *result) {
    uint8_t type = 0;
    uint32_t value = 0;
    *result = dtctr_pdu_read(in, len, &type, &value);
    if (*result != EDetectorPduRead::kOk) return nullptr;
    switch (type) {
    case dtctr::kTypeSessionCreated: return std::make_unique<CDetectorPduSessionCreated>(value);
    case dtctr::kTypeEcho: return std::make_unique<CDetectorPduEcho>(value);
    default: return std::make_unique<CDetectorPduClose>();
    }
}
