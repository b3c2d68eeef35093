/* Small helpers: address text, splitting, the stream transform. */
#ifndef QRNLIBL_QRN_UTIL_H
#define QRNLIBL_QRN_UTIL_H

#include <stdint.h>

#ifdef __cplusplus
#include <vector>
#include "qrn_string.h"
extern "C" {
#endif

/* Writes ip (host order, first octet most significant) as "a.b.c.d" into out (at least 16
   bytes for the whole text; shorter buffers get a cut, zero-terminated text). Returns out. */
char *ip_2_string(uint32_t ip, char *out, int out_len);

/* The stream transform of the application's bytes: each byte on its own, so the pair undo
   each other however the stream is cut into pieces. in and out may be the same buffer. */
void encrypt_xor(const void *in, void *out, int len);
void decrypt_xor(const void *in, void *out, int len);

#ifdef __cplusplus
}

/* Splits s at every sep; empty pieces are dropped ("a;;b;" gives "a", "b"). */
std::vector<CQrnString> str_explode(const char *s, char sep);
#endif

#endif
