#include "platform/inet_header.h"

#include <strings.h>

namespace ws {

namespace {

constexpr char kTransferEncoding[] = "transfer-encoding:";
constexpr char kContentLength[] = "content-length:";
// 18 decimal digits always fit in 63 bits.
constexpr size_t kMaxLengthDigits = 18;

std::string HeaderValue(const char *line, size_t len, size_t name_len) {
    size_t b = name_len;
    while (b < len && (line[b] == ' ' || line[b] == '\t')) ++b;
    size_t e = len;
    while (e > b && (line[e - 1] == '\r' || line[e - 1] == '\n' || line[e - 1] == ' ')) --e;
    return std::string(line + b, e - b);
}

bool HeaderIs(const char *line, size_t len, const char *name, size_t name_len) {
    return len >= name_len && strncasecmp(line, name, name_len) == 0;
}

}  // namespace

bool inet_header_ends_block(const char *line, size_t len) {
    return (len == 2 && line[0] == '\r' && line[1] == '\n') || (len == 1 && line[0] == '\n');
}

void inet_header_read(const char *line, size_t len, InetHeadFields *fields) {
    if (HeaderIs(line, len, kTransferEncoding, sizeof(kTransferEncoding) - 1)) {
        fields->transfer_encoding = HeaderValue(line, len, sizeof(kTransferEncoding) - 1);
    } else if (HeaderIs(line, len, kContentLength, sizeof(kContentLength) - 1)) {
        fields->content_length = inet_parse_length(HeaderValue(line, len, sizeof(kContentLength) - 1));
    }
}

int64_t inet_parse_length(const std::string &value) {
    if (value.empty() || value.size() > kMaxLengthDigits) return -1;
    int64_t n = 0;
    for (char c : value) {
        if (c < '0' || c > '9') return -1;
        n = n * 10 + (c - '0');
    }
    return n;
}

}  // namespace ws
