// Chunk framing of a request body, undone.
#include "platform/inet_chunk.h"


namespace ws {

namespace {

constexpr int kMaxSizeDigits = 15;  // far beyond any body, well inside 64 bits

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

CChunkDecoder::Result CChunkDecoder::Feed(const char *data, size_t len, std::vector<char> &out) {
    size_t i = 0;
    while (i < len) {
        if (m_state == kFailed || m_state == kDone) return Fail();
        if (m_state == kData) {
            size_t take = len - i;
            if (take > m_left) take = static_cast<size_t>(m_left);
            out.insert(out.end(), data + i, data + i + take);
            i += take;
            m_left -= take;
            if (m_left == 0) m_state = kDataCr;
            continue;
        }
        if (Step(data[i++]) == kError) return kError;
    }
    if (m_state == kFailed) return kError;
    return m_state == kDone ? kEnd : kMore;
}

CChunkDecoder::Result CChunkDecoder::Step(char c) {
    switch (m_state) {
    case kSize: {
        int v = HexValue(c);
        if (v >= 0) {
            if (++m_digits > kMaxSizeDigits) return Fail();
            m_left = m_left * 16 + static_cast<uint64_t>(v);
            return kMore;
        }
        if (m_digits == 0) return Fail();
        if (c == ';') { m_state = kExtension; return kMore; }
        if (c == '\r') { m_state = kSizeLf; return kMore; }
        return Fail();
    }
    case kExtension:
        if (c == '\r') m_state = kSizeLf;
        else if (c == '\n') return Fail();
        return kMore;
    case kSizeLf:
        if (c != '\n') return Fail();
        m_digits = 0;
        m_state = m_left == 0 ? kLastCr : kData;
        return kMore;
    case kDataCr:
        if (c != '\r') return Fail();
        m_state = kDataLf;
        return kMore;
    case kDataLf:
        if (c != '\n') return Fail();
        m_state = kSize;
        return kMore;
    case kLastCr:
        if (c != '\r') return Fail();  // trailers are never written by our callers
        m_state = kLastLf;
        return kMore;
    case kLastLf:
        if (c != '\n') return Fail();
        m_state = kDone;
        return kMore;
    default:
        return Fail();
    }
}

}  // namespace ws
