// libFuzzer target for what the tunnel server reads from a request before a session is touched:
// the method, the request target and the declared length turned into a route, and the body
// gathered in pieces within its bound, read as detector PDUs and as an exchange.
// Input: a steering byte (method, whether a length is declared, piece size), then the request
// target up to the first newline, then the declared length up to the next, then the body.
#include <stdint.h>
#include <stdlib.h>

#include <string>

#include "http/dtctrpdu.h"
#include "qrntunnel/tunnel_route.h"

namespace {

void Check(bool ok) {
    if (!ok) abort();
}

std::string NextLine(const uint8_t **p, const uint8_t *end) {
    const uint8_t *start = *p;
    while (*p < end && **p != '\n') ++*p;
    std::string line(reinterpret_cast<const char *>(start), static_cast<size_t>(*p - start));
    if (*p < end) ++*p;
    return line;
}

const char *MethodOf(uint8_t steer) {
    static const char *const kMethods[] = {"GET", "POST", "PUT", "get"};
    return kMethods[steer & 3];
}

void ReadBody(const qrntunnel::CRoute &route, const std::string &input, size_t piece) {
    using namespace qrntunnel;
    size_t limit = route.kind == ERouteKind::kDetectorPost
                       ? static_cast<size_t>(route.small_post ? dtctr::kSmallPostBodyLength
                                                              : dtctr::kBigPostBodyLength)
                       : static_cast<size_t>(rdhttp::kMaxExchangeBody);
    std::string body;
    size_t parsed = 0;
    for (size_t off = 0; off < input.size(); off += piece) {
        std::string chunk = input.substr(off, piece);
        size_t before = body.size();
        bool took = GatherBody(&body, chunk.data(), chunk.size(), limit);
        Check(body.size() <= limit);
        Check(took ? body.size() == before + chunk.size() : body.size() == before);
        if (!took) return;
        for (;;) {
            size_t was = parsed;
            EDetectorStep step = NextDetectorPdu(body, &parsed);
            Check(parsed <= body.size());
            if (step == EDetectorStep::kNeedMore) {
                Check(parsed == was);
                break;
            }
            Check(parsed == was + static_cast<size_t>(dtctr::kPduSize));
        }
    }
    CRdhttpExchange ex;
    if (ReadExchangeBody(body, &ex)) {
        Check(ex.data_len >= 0 && ex.data_len <= rdhttp::kMaxExchangeData);
        Check(static_cast<size_t>(ex.data_len) + 1 == body.size());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    using namespace qrntunnel;
    if (size == 0) return 0;
    const uint8_t steer = data[0];
    const uint8_t *p = data + 1;
    const uint8_t *end = data + size;
    std::string uri = NextLine(&p, end);
    std::string declared = NextLine(&p, end);
    std::string body(reinterpret_cast<const char *>(p), static_cast<size_t>(end - p));
    const bool has_length = (steer & 4) != 0;
    CRoute route = RouteRequest(MethodOf(steer), uri, has_length ? declared.c_str() : nullptr);
    if (route.kind == ERouteKind::kRefused) {
        Check(route.status >= kStatusBadRequest && route.status <= kStatusUriTooLong);
        return 0;
    }
    Check(uri.size() <= kMaxUriLength);
    if (route.kind == ERouteKind::kDetectorPost || route.kind == ERouteKind::kSinglePostOpen) {
        size_t bound = route.kind == ERouteKind::kSinglePostOpen
                           ? static_cast<size_t>(rdhttp::kOpenBodySize)
                           : static_cast<size_t>(dtctr::kBigPostBodyLength);
        Check(!DeclaresMore(has_length ? declared.c_str() : nullptr, bound));
    }
    DeclaresMore(has_length ? declared.c_str() : nullptr, rdhttp::kMaxExchangeBody);
    ReadBody(route, body, static_cast<size_t>(steer >> 3) + 1);
    return 0;
}
