// The system's random source over getrandom.
#include "platform/random.h"

#include <errno.h>
#include <sys/random.h>

namespace ws {

bool GenRandom(void *buffer, size_t len) {
    auto *out = static_cast<unsigned char *>(buffer);
    while (len > 0) {
        const ssize_t got = ::getrandom(out, len, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        out += got;
        len -= static_cast<size_t>(got);
    }
    return true;
}

}  // namespace ws
