// The stream between two qrncats that agreed on it in their connect data: frames of a 16-bit
// length (most significant byte first) and that many bytes of input, and a frame of length 0
// when the input has ended. So each side can end its input and still read the other's to the
// end, as a half-closed TCP connection would.
#ifndef QRN_TOOLS_QRNCAT_FRAMES_H
#define QRN_TOOLS_QRNCAT_FRAMES_H

#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <algorithm>

namespace qrncat {

// What each side sends as its connect data, and the listener answers, to agree on frames.
constexpr char kFramesHello[] = "qrncat/1 frames";
constexpr size_t kFramesHelloLen = sizeof(kFramesHello) - 1;
constexpr size_t kFrameHeader = 2;
constexpr size_t kFrameMax = 0xffff;

inline bool IsFramesHello(const void *data, size_t len) {
    return data != nullptr && len == kFramesHelloLen && memcmp(data, kFramesHello, len) == 0;
}

inline void WriteFrameHeader(size_t payload, char *out) {
    out[0] = static_cast<char>((payload >> 8) & 0xff);
    out[1] = static_cast<char>(payload & 0xff);
}

class CFrameReader {
public:
    // Hands the input bytes in data to payload(const char *, size_t) as they come; false when
    // bytes follow the end frame (the peer broke the agreement; they are dropped).
    template <class Payload>
    bool Feed(const char *data, size_t len, Payload payload) {
        while (len > 0) {
            if (m_ended) return false;
            if (m_need == 0) {
                m_header[m_header_len++] = static_cast<uint8_t>(*data++);
                --len;
                if (m_header_len < kFrameHeader) continue;
                m_header_len = 0;
                m_need = (size_t{m_header[0]} << 8) | m_header[1];
                m_ended = m_need == 0;
                continue;
            }
            const size_t n = std::min(len, m_need);
            payload(data, n);
            data += n;
            len -= n;
            m_need -= n;
        }
        return true;
    }
    bool ended() const { return m_ended; }

private:
    uint8_t m_header[kFrameHeader] = {};
    size_t m_header_len = 0;
    size_t m_need = 0;
    bool m_ended = false;
};

}  // namespace qrncat

#endif
