#include "qrnlibl/qrn_util.h"

#include <stdio.h>
#include <string.h>

namespace {

// The stream transform is a fixed xor of every byte: it has no position state, so any
// cutting of the stream on either side gives the same bytes, and it is its own inverse.
constexpr uint8_t kXorKey = 0xA5;
constexpr uint64_t kXorWord = 0x0101010101010101ull * kXorKey;

void qrn_xor_transform(const void *in, void *out, int len) {
    if (!in || !out || len <= 0) return;
    const uint8_t *src = static_cast<const uint8_t *>(in);
    uint8_t *dst = static_cast<uint8_t *>(out);
    size_t n = static_cast<size_t>(len);
    size_t i = 0;
    // memcpy keeps the word loads and stores free of alignment and aliasing assumptions
    // (in may equal out); the compiler turns them into plain moves.
    for (; i + sizeof(uint64_t) <= n; i += sizeof(uint64_t)) {
        uint64_t w;
        memcpy(&w, src + i, sizeof(w));
        w ^= kXorWord;
        memcpy(dst + i, &w, sizeof(w));
    }
    for (; i < n; ++i) dst[i] = static_cast<uint8_t>(src[i] ^ kXorKey);
}

}  // namespace

extern "C" char *ip_2_string(uint32_t ip, char *out, int out_len) {
    if (!out || out_len <= 0) return out;
    snprintf(out, static_cast<size_t>(out_len), "%u.%u.%u.%u", (ip >> 24) & 0xffu,
             (ip >> 16) & 0xffu, (ip >> 8) & 0xffu, ip & 0xffu);
    return out;
}

extern "C" void encrypt_xor(const void *in, void *out, int len) { qrn_xor_transform(in, out, len); }

extern "C" void decrypt_xor(const void *in, void *out, int len) { qrn_xor_transform(in, out, len); }

std::vector<CQrnString> str_explode(const char *s, char sep) {
    std::vector<CQrnString> pieces;
    if (!s) return pieces;
    const char *start = s;
    for (const char *p = s;; ++p) {
        if (*p == sep || *p == '\0') {
            if (p > start) pieces.emplace_back(start, static_cast<int>(p - start));
            if (*p == '\0') break;
            start = p + 1;
        }
    }
    return pieces;
}
