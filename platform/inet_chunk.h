// Undoes the chunk framing that a caller writes into a chunked request body: libcurl frames
// the body itself, so only the payload may reach it. The input is the caller's, not the
// network's, but a malformed frame is still refused rather than guessed at.
#ifndef QRN_PLATFORM_INET_CHUNK_H
#define QRN_PLATFORM_INET_CHUNK_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

namespace ws {

class CChunkDecoder {
public:
    enum Result { kMore, kEnd, kError };

    // Appends the payload of data to out. kEnd once the last chunk ("0" CR LF CR LF) is
    // complete (bytes after it are an error); kError for a malformed frame, after which every
    // call fails.
    Result Feed(const char *data, size_t len, std::vector<char> &out);

private:
    enum State { kSize, kExtension, kSizeLf, kData, kDataCr, kDataLf, kLastCr, kLastLf, kDone, kFailed };

    Result Fail() { m_state = kFailed; return kError; }
    Result Step(char c);

    State m_state = kSize;
    uint64_t m_left = 0;
    int m_digits = 0;
};

}  // namespace ws

#endif
