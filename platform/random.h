// Numbers from the system's random source, for values that name a connection or session on the
// wire and so must not be guessable.
#ifndef QRN_PLATFORM_RANDOM_H
#define QRN_PLATFORM_RANDOM_H

#include <stddef.h>
#include <stdint.h>

// Fills len bytes of out; false when the source fails (out is then unspecified).
bool qrn_random_fill(void *out, size_t len);
// A random non-zero 32-bit number; never fails (the source is asked again until it answers).
uint32_t qrn_random_nonzero32();

#endif
