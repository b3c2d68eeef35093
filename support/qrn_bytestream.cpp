#include "qrnlibl/qrn_bytestream.h"

#include <string.h>

namespace {

// A field of width bytes at offset lies inside a buffer of size bytes (no int overflow).
bool qrn_bs_fits(const void *buf, int size, int offset, int width) {
    return buf && size >= 0 && offset >= 0 && offset <= size - width;
}

void qrn_bs_put16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

void qrn_bs_put32(uint8_t *p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

uint16_t qrn_bs_get16(const uint8_t *p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

uint32_t qrn_bs_get32(const uint8_t *p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

}  // namespace

CQrnByteStream::CQrnByteStream(void *buf, int size)
    : m_data(static_cast<uint8_t *>(buf)), m_size(buf && size > 0 ? size : 0), m_writable(true) {}

// The const buffer is never written through: every write checks m_writable first.
CQrnByteStream::CQrnByteStream(const void *buf, int size)
    : m_data(static_cast<uint8_t *>(const_cast<void *>(buf))),
      m_size(buf && size > 0 ? size : 0),
      m_writable(false) {}

bool CQrnByteStream::need(int len) {
    if (len < 0 || len > m_size - m_pos) {
        m_failed = true;
        return false;
    }
    return true;
}

CQrnByteStream &CQrnByteStream::operator<<(uint8_t v) { WriteUChar(v); return *this; }
CQrnByteStream &CQrnByteStream::operator<<(uint16_t v) { WriteUShort(v); return *this; }
CQrnByteStream &CQrnByteStream::operator<<(uint32_t v) { WriteULong(v); return *this; }
CQrnByteStream &CQrnByteStream::operator>>(uint8_t &v) { ReadUChar(v); return *this; }
CQrnByteStream &CQrnByteStream::operator>>(uint16_t &v) { ReadUShort(v); return *this; }
CQrnByteStream &CQrnByteStream::operator>>(uint32_t &v) { ReadULong(v); return *this; }

bool CQrnByteStream::WriteUChar(uint8_t v) { return WriteBytes(&v, 1); }

bool CQrnByteStream::WriteUShort(uint16_t v) {
    uint8_t b[2];
    qrn_bs_put16(b, v);
    return WriteBytes(b, 2);
}

bool CQrnByteStream::WriteULong(uint32_t v) {
    uint8_t b[4];
    qrn_bs_put32(b, v);
    return WriteBytes(b, 4);
}

bool CQrnByteStream::WriteBytes(const void *data, int len) {
    if (!m_writable || (len > 0 && !data)) {
        m_failed = true;
        return false;
    }
    if (!need(len)) return false;
    if (len > 0) memmove(m_data + m_pos, data, static_cast<size_t>(len));
    m_pos += len;
    return true;
}

bool CQrnByteStream::ReadUChar(uint8_t &v) {
    v = 0;
    if (!need(1)) return false;
    v = m_data[m_pos++];
    return true;
}

bool CQrnByteStream::ReadUShort(uint16_t &v) {
    v = 0;
    if (!need(2)) return false;
    v = qrn_bs_get16(m_data + m_pos);
    m_pos += 2;
    return true;
}

bool CQrnByteStream::ReadULong(uint32_t &v) {
    v = 0;
    if (!need(4)) return false;
    v = qrn_bs_get32(m_data + m_pos);
    m_pos += 4;
    return true;
}

bool CQrnByteStream::ReadBytes(void *out, int len) {
    if (len > 0 && !out) {
        m_failed = true;
        return false;
    }
    if (!need(len)) return false;
    if (len > 0) memmove(out, m_data + m_pos, static_cast<size_t>(len));
    m_pos += len;
    return true;
}

bool CQrnByteStream::skip(int len) {
    if (!need(len)) return false;
    m_pos += len;
    return true;
}

bool CQrnByteStream::WriteUShort(void *buf, int size, int offset, uint16_t v) {
    if (!qrn_bs_fits(buf, size, offset, 2)) return false;
    qrn_bs_put16(static_cast<uint8_t *>(buf) + offset, v);
    return true;
}

bool CQrnByteStream::WriteULong(void *buf, int size, int offset, uint32_t v) {
    if (!qrn_bs_fits(buf, size, offset, 4)) return false;
    qrn_bs_put32(static_cast<uint8_t *>(buf) + offset, v);
    return true;
}

bool CQrnByteStream::ReadUShort(const void *buf, int size, int offset, uint16_t &v) {
    if (!qrn_bs_fits(buf, size, offset, 2)) return false;
    v = qrn_bs_get16(static_cast<const uint8_t *>(buf) + offset);
    return true;
}

bool CQrnByteStream::ReadULong(const void *buf, int size, int offset, uint32_t &v) {
    if (!qrn_bs_fits(buf, size, offset, 4)) return false;
    v = qrn_bs_get32(static_cast<const uint8_t *>(buf) + offset);
    return true;
}

extern "C" int qrn_util_bs_read_ushort(const void *buf, int buf_len, int offset, uint16_t *value) {
    uint16_t v = 0;
    if (!value || !CQrnByteStream::ReadUShort(buf, buf_len, offset, v)) return -1;
    *value = v;
    return 0;
}

extern "C" int qrn_util_bs_read_ulong(const void *buf, int buf_len, int offset, uint32_t *value) {
    uint32_t v = 0;
    if (!value || !CQrnByteStream::ReadULong(buf, buf_len, offset, v)) return -1;
    *value = v;
    return 0;
}

extern "C" int qrn_util_bs_write_ushort(void *buf, int buf_len, int offset, uint16_t value) {
    return CQrnByteStream::WriteUShort(buf, buf_len, offset, value) ? 0 : -1;
}

extern "C" int qrn_util_bs_write_ulong(void *buf, int buf_len, int offset, uint32_t value) {
    return CQrnByteStream::WriteULong(buf, buf_len, offset, value) ? 0 : -1;
}
