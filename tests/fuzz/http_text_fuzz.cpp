// libFuzzer target of the text our HTTP and SOAP clients read themselves: the first byte
// chooses the reader. 0: a caller's chunk-framed body, fed in pieces of the second byte's
// size; otherwise a SOAP answer, cut to its body and searched for elements, decoded and
// read as numbers. Nothing may read or write outside the input or crash.
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "platform/inet_chunk.h"
#include "soap/soap_text.h"

namespace {

void FeedChunks(const uint8_t *data, size_t size) {
    if (size < 1) return;
    size_t step = data[0] ? data[0] : 1;
    ws::CChunkDecoder d;
    std::vector<char> out;
    for (size_t i = 1; i < size; i += step) {
        size_t n = size - i < step ? size - i : step;
        if (d.Feed(reinterpret_cast<const char *>(data + i), n, out) != ws::CChunkDecoder::kMore) break;
    }
}

void ReadAnswer(const uint8_t *data, size_t size) {
    std::string answer(reinterpret_cast<const char *>(data), size);
    if (soap::CutBody(answer) != 0) return;
    for (const char *name : {"a", "value", "sum", "x:y"}) {
        std::string value;
        if (soap::FindProperty(answer, name, value) != 0) continue;
        std::string text = soap::Decode(value.data(), value.size());
        soap::LeadingNumber(text.c_str());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) return 0;
    if (data[0] == 0) FeedChunks(data + 1, size - 1);
    else ReadAnswer(data + 1, size - 1);
    return 0;
}
