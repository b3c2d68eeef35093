// CQrnByteStream reads and writes 8-, 16- and 32-bit values and byte runs in a caller's buffer,
// in network byte order (most significant byte first). Reading or writing past the end is
// refused: the operation does nothing, a value read becomes 0, and the stream is marked failed.
#ifndef QRNLIBL_QRN_BYTESTREAM_H
#define QRNLIBL_QRN_BYTESTREAM_H

#include <stdint.h>

#ifdef __cplusplus
class CQrnByteStream {
public:
    CQrnByteStream(void *buf, int size);
    CQrnByteStream(const void *buf, int size);  // read-only: writes are refused

    CQrnByteStream &operator<<(uint8_t v);
    CQrnByteStream &operator<<(uint16_t v);
    CQrnByteStream &operator<<(uint32_t v);
    CQrnByteStream &operator>>(uint8_t &v);
    CQrnByteStream &operator>>(uint16_t &v);
    CQrnByteStream &operator>>(uint32_t &v);

    bool WriteUChar(uint8_t v);
    bool WriteUShort(uint16_t v);
    bool WriteULong(uint32_t v);
    bool WriteBytes(const void *data, int len);
    bool ReadUChar(uint8_t &v);
    bool ReadUShort(uint16_t &v);
    bool ReadULong(uint32_t &v);
    bool ReadBytes(void *out, int len);

    // Fixed-offset forms over a raw buffer of size bytes; false when out of range.
    static bool WriteUShort(void *buf, int size, int offset, uint16_t v);
    static bool WriteULong(void *buf, int size, int offset, uint32_t v);
    static bool ReadUShort(const void *buf, int size, int offset, uint16_t &v);
    static bool ReadULong(const void *buf, int size, int offset, uint32_t &v);

    bool skip(int len);          // moves the position on; refused past the end
    int tell() const { return m_pos; }
    int available() const { return m_size - m_pos; }
    const uint8_t *get_data() const { return m_data; }
    void reset() { m_pos = 0; m_failed = false; }
    // True once any operation was refused.
    bool failed() const { return m_failed; }

private:
    bool need(int len);

    uint8_t *m_data;
    int m_size;
    int m_pos = 0;
    bool m_writable;
    bool m_failed = false;
};
#endif

#ifdef __cplusplus
extern "C" {
#endif
/* The same at a byte offset of a buffer of buf_len bytes: 0 on success, -1 when the field
   does not fit (nothing is read or written then). */
int qrn_util_bs_read_ushort(const void *buf, int buf_len, int offset, uint16_t *value);
int qrn_util_bs_read_ulong(const void *buf, int buf_len, int offset, uint32_t *value);
int qrn_util_bs_write_ushort(void *buf, int buf_len, int offset, uint16_t value);
int qrn_util_bs_write_ulong(void *buf, int buf_len, int offset, uint32_t value);
#ifdef __cplusplus
}
#endif

#endif
