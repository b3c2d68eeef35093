// The fields of a response head that the internet layer reports, read line by line as libcurl
// hands the head over (each line with its line end). The lines are the server's or a proxy's:
// any bytes at all, of any length.
#ifndef QRN_PLATFORM_INET_HEADER_H
#define QRN_PLATFORM_INET_HEADER_H

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace ws {

struct InetHeadFields {
    std::string transfer_encoding;  // empty: none came
    int64_t content_length = -1;    // -1: none came, or not a number the layer takes
};

// True for the empty line that ends a head (an interim answer's or the response's).
bool inet_header_ends_block(const char *line, size_t len);

// Takes Transfer-Encoding or Content-Length (names in any case, the value without surrounding
// blanks and line end) from one line into fields; any other line changes nothing. A later
// line of the same name replaces the earlier one.
void inet_header_read(const char *line, size_t len, InetHeadFields *fields);

// A Content-Length that is all digits and fits in 63 bits; -1 otherwise.
int64_t inet_parse_length(const std::string &value);

}  // namespace ws

#endif
