// The system's random source, for every value that names a connection or a session on the wire.
#ifndef QRN_PLATFORM_RANDOM_H
#define QRN_PLATFORM_RANDOM_H

#include <stddef.h>

namespace ws {

// Fills len bytes from the kernel's random source; false (buffer unspecified) when it fails,
// which a caller must not paper over with a guessable value.
bool GenRandom(void *buffer, size_t len);

}  // namespace ws

#endif
