#include "platform/random.h"

#include <errno.h>
#include <sys/random.h>

bool qrn_random_fill(void *out, size_t len) {
    auto *p = static_cast<uint8_t *>(out);
    while (len > 0) {
        ssize_t n = getrandom(p, len, 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

uint32_t qrn_random_nonzero32() {
    uint32_t v = 0;
    while (v == 0) {
        if (!qrn_random_fill(&v, sizeof(v))) v = 0;
    }
    return v;
}
