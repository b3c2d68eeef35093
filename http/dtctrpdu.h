// The detector's PDUs: a one-byte type and a 32-bit number in the support library's byte order,
// 5 bytes on the wire for every type. Shared by the detector and the tunnel server.
#ifndef QRN_HTTP_DTCTRPDU_H
#define QRN_HTTP_DTCTRPDU_H

#include <stdint.h>

#include <memory>

namespace dtctr {

// Request paths: the first request of a detection uses the prefix alone, every later one the
// prefix and the session id in decimal.
constexpr const char kPathPrefix[] = "/s_detector?";

constexpr int kPduSize = 5;
constexpr int kOffType = 0;
constexpr int kOffValue = 1;

constexpr uint8_t kTypeNone = 0;
constexpr uint8_t kTypeSessionCreated = 1;
constexpr uint8_t kTypeEcho = 2;
constexpr uint8_t kTypeClose = 3;

// Echo numbers of the two post tests; the server answers every echo with kEchoAnswer.
constexpr uint32_t kBigPostEcho = 0x12345678;
constexpr uint32_t kSmallPostEcho = 12345678;
constexpr uint32_t kEchoAnswer = 0x87654321;

// The large-post test's POST carries an echo and then a close; the small-post test's an echo.
constexpr int kBigPostBodyLength = 2 * kPduSize;
constexpr int kSmallPostBodyLength = kPduSize;

}  // namespace dtctr

enum class EDetectorPduRead {
    kOk,
    kShort,        // fewer than 5 bytes: wait for more
    kUnknownType,  // 5 bytes whose type is none of the three
};

class CDetectorPdu {
public:
    virtual ~CDetectorPdu() = default;
    virtual uint8_t GetType() const { return dtctr::kTypeNone; }

    // The number of a session-created or echo PDU; 0 for a close.
    uint32_t GetValue() const { return m_value; }
    // The 5 wire bytes of a PDU built for sending.
    const uint8_t *GetBytes() const { return m_bytes; }
    int GetSize() const { return dtctr::kPduSize; }

    // Reads one PDU from the first 5 of len bytes; the PDU, or null with *result saying why.
    // Bytes after the fifth are not looked at.
    static std::unique_ptr<CDetectorPdu> Read(const void *in, int len, EDetectorPduRead *result);

protected:
    CDetectorPdu(uint8_t type, uint32_t value);

private:
    uint32_t m_value;
    uint8_t m_bytes[dtctr::kPduSize];
};

class CDetectorPduSessionCreated : public CDetectorPdu {
public:
    explicit CDetectorPduSessionCreated(uint32_t session_id)
        : CDetectorPdu(dtctr::kTypeSessionCreated, session_id) {}
    uint8_t GetType() const override { return dtctr::kTypeSessionCreated; }
    uint32_t GetSessionId() const { return GetValue(); }
};

class CDetectorPduEcho : public CDetectorPdu {
public:
    explicit CDetectorPduEcho(uint32_t number) : CDetectorPdu(dtctr::kTypeEcho, number) {}
    uint8_t GetType() const override { return dtctr::kTypeEcho; }
    uint32_t GetEchoNumber() const { return GetValue(); }
};

// Its 4 bytes after the type are unused and written as 0; a read ignores them.
class CDetectorPduClose : public CDetectorPdu {
public:
    CDetectorPduClose() : CDetectorPdu(dtctr::kTypeClose, 0) {}
    uint8_t GetType() const override { return dtctr::kTypeClose; }
};

// Writes the 5 bytes of a PDU of any type into out; 5, or -1 when out_len is too small.
int dtctr_pdu_write(uint8_t type, uint32_t value, void *out, int out_len);
// Reads type and number without building an object (the number of a close is 0).
EDetectorPduRead dtctr_pdu_read(const void *in, int len, uint8_t *type, uint32_t *value);

#endif
