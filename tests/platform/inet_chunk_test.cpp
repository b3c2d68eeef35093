// The chunk framing that the internet layer takes off a caller's chunked body.
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "platform/inet_chunk.h"

namespace {

std::string Payload(const std::vector<char> &v) { return std::string(v.begin(), v.end()); }

TEST(InetChunk, PayloadSurvivesAnySplitOfTheFramingAndTheLastChunkEndsIt) {
    const std::string framed = "3\r\nabc\r\n1A;ext=1\r\n" + std::string(26, 'z') + "\r\n0\r\n\r\n";
    for (size_t step = 1; step <= framed.size(); ++step) {
        ws::CChunkDecoder d;
        std::vector<char> out;
        ws::CChunkDecoder::Result r = ws::CChunkDecoder::kMore;
        for (size_t i = 0; i < framed.size(); i += step) {
            size_t n = std::min(step, framed.size() - i);
            r = d.Feed(framed.data() + i, n, out);
            if (i + n < framed.size()) {
                ASSERT_EQ(r, ws::CChunkDecoder::kMore) << step;
            }
        }
        EXPECT_EQ(r, ws::CChunkDecoder::kEnd);
        EXPECT_EQ(Payload(out), "abc" + std::string(26, 'z'));
        EXPECT_EQ(d.Feed("x", 1, out), ws::CChunkDecoder::kError);  // nothing after the end
    }
}

TEST(InetChunk, MalformedFramesAreRefusedAndStayRefused) {
    const char *bad[] = {"x\r\n", "\r\n", "3\nabc", "3\r\nabcX\r\n", "3\r\nabc\rX",
                         "1234567890abcdef\r\n", "0\r\nTrailer: 1\r\n\r\n", "5;ext\n"};
    for (const char *b : bad) {
        ws::CChunkDecoder d;
        std::vector<char> out;
        EXPECT_EQ(d.Feed(b, strlen(b), out), ws::CChunkDecoder::kError) << b;
        EXPECT_EQ(d.Feed("1\r\na\r\n", 6, out), ws::CChunkDecoder::kError) << b;
        EXPECT_LE(out.size(), 3u);
    }
}

}  // namespace
