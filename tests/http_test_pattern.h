// The body pattern and hash that the HTTP test server and the HTTP tests share.
#ifndef QRN_TESTS_HTTP_TEST_PATTERN_H
#define QRN_TESTS_HTTP_TEST_PATTERN_H

#include <stddef.h>
#include <stdint.h>

constexpr uint64_t kFnvBasis = 1469598103934665603ULL;

inline uint8_t http_test_pattern(uint64_t i) { return static_cast<uint8_t>((i % 251) ^ 0x5a); }

inline uint64_t http_test_fnv(uint64_t h, const void *data, size_t len) {
    const uint8_t *p = static_cast<const uint8_t *>(data);
    for (size_t i = 0; i < len; ++i) {
        h ^= p[i];
        h *= 1099511628211ULL;
    }
    return h;
}

#endif
