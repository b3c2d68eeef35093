// libFuzzer target for the internet layer's reading of a response head: the input is cut into
// lines at each line feed, as libcurl hands them over, and every line goes through the
// readers. What they keep must be what the line held: a length only from digits, a transfer
// encoding only from its own header.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <string>
#include <vector>

#include "platform/inet_header.h"

namespace {

void Check(bool ok) {
    if (!ok) abort();
}

void Line(const char *line, size_t len, ws::InetHeadFields *fields) {
    const ws::InetHeadFields before = *fields;
    if (ws::inet_header_ends_block(line, len)) {
        Check(len <= 2);
        return;
    }
    ws::inet_header_read(line, len, fields);
    if (fields->content_length != before.content_length) Check(strncasecmp(line, "content-length:", 15) == 0);
    if (fields->transfer_encoding != before.transfer_encoding) {
        Check(strncasecmp(line, "transfer-encoding:", 18) == 0 && fields->transfer_encoding.size() <= len);
    }
    Check(fields->content_length >= -1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    ws::InetHeadFields fields;
    size_t begin = 0;
    while (begin < text.size()) {
        size_t end = text.find('\n', begin);
        end = end == std::string::npos ? text.size() : end + 1;
        // Exact-sized copies, so that a read past the line lands outside the allocation.
        std::vector<char> line(text.begin() + static_cast<std::ptrdiff_t>(begin),
                               text.begin() + static_cast<std::ptrdiff_t>(end));
        Line(line.data(), line.size(), &fields);
        begin = end;
    }
    const int64_t n = ws::inet_parse_length(text);
    if (n >= 0) {
        Check(!text.empty() && text.size() <= 18 && text.find_first_not_of("0123456789") == std::string::npos);
        Check(std::to_string(n) == text.substr(text.find_first_not_of('0') == std::string::npos
                                                   ? text.size() - 1
                                                   : text.find_first_not_of('0')));
    }
    return 0;
}
