#include "tunnel_route.h"

#include <stdlib.h>
#include <string.h>

#include "http/dtctrpdu.h"

namespace qrntunnel {

namespace {

const char kGet[] = "GET";
const char kPost[] = "POST";

CRoute Refused(unsigned status, const char *why) {
    CRoute r;
    r.status = status;
    r.why = why;
    return r;
}

CRoute Routed(ERouteKind kind, uint32_t id = 0) {
    CRoute r;
    r.kind = kind;
    r.id = id;
    return r;
}

// A request in absolute form (as a client sends it to a proxy) names the same path.
void DropSchemeAndHost(std::string *uri) {
    size_t scheme = uri->find("://");
    if (scheme == std::string::npos || scheme >= uri->find('/')) return;
    size_t path_start = uri->find('/', scheme + 3);
    uri->erase(0, path_start == std::string::npos ? uri->size() : path_start);
}

CRoute RouteDetector(bool get, const std::string &query, const char *declared) {
    if (query.empty()) {
        if (!get) return Refused(kStatusMethodNotAllowed, "method not allowed");
        return Routed(ERouteKind::kDetectorOpen);
    }
    uint32_t id = 0;
    if (!rdhttp_pdu_parse_session_id(query.c_str(), &id)) {
        return Refused(kStatusBadRequest, "bad session id");
    }
    if (get) return Routed(ERouteKind::kDetectorGet, id);
    if (DeclaresMore(declared, dtctr::kBigPostBodyLength)) {
        return Refused(kStatusContentTooLarge, "detector body too long");
    }
    // The small-post test declares one PDU; the large-post test's POST carries two and gets
    // its answer on the GET.
    CRoute r = Routed(ERouteKind::kDetectorPost, id);
    r.small_post = declared != nullptr && strtoul(declared, nullptr, 10) ==
                                              static_cast<unsigned long>(dtctr::kSmallPostBodyLength);
    return r;
}

CRoute RouteTunnel(bool get, const std::string &query, const char *declared) {
    uint32_t id = 0;
    switch (rdhttp_pdu_parse_query(query.c_str(), &id)) {
    case ERdhttpQuery::kBigPost:
        if (!get) return Refused(kStatusMethodNotAllowed, "method not allowed");
        return Routed(ERouteKind::kBigPostOpen);
    case ERdhttpQuery::kSinglePost:
        if (get) return Refused(kStatusMethodNotAllowed, "method not allowed");
        if (DeclaresMore(declared, rdhttp::kOpenBodySize)) {
            return Refused(kStatusContentTooLarge, "opening body too long");
        }
        return Routed(ERouteKind::kSinglePostOpen);
    case ERdhttpQuery::kSession:
        if (get) return Refused(kStatusMethodNotAllowed, "method not allowed");
        return Routed(ERouteKind::kSessionPost, id);
    case ERdhttpQuery::kInvalid: break;
    }
    return Refused(kStatusBadRequest, "bad query");
}

}  // namespace

CRoute RouteRequest(const std::string &method, std::string uri, const char *declared_length) {
    bool get = method == kGet;
    bool post = method == kPost;
    if (!get && !post) return Refused(kStatusMethodNotAllowed, "method not allowed");
    if (uri.size() > kMaxUriLength) return Refused(kStatusUriTooLong, "uri too long");
    DropSchemeAndHost(&uri);
    // Proxies may drop an empty query's mark (tinyproxy does): the first detector request
    // then comes as the bare path.
    const std::string bare_detector(dtctr::kPathPrefix, strlen(dtctr::kPathPrefix) - 1);
    if (uri == bare_detector) uri += '?';
    size_t mark = uri.find('?');
    if (mark == std::string::npos) return Refused(kStatusNotFound, "not found");
    std::string path = uri.substr(0, mark + 1);
    std::string query = uri.substr(mark + 1);
    if (path == dtctr::kPathPrefix) return RouteDetector(get, query, declared_length);
    if (path == rdhttp::kPathPrefix) return RouteTunnel(get, query, declared_length);
    return Refused(kStatusNotFound, "not found");
}

bool DeclaresMore(const char *declared, size_t limit) {
    if (declared == nullptr) return false;
    if (*declared < '0' || *declared > '9') return true;
    char *end = nullptr;
    unsigned long long n = strtoull(declared, &end, 10);
    return *end != '\0' || n > limit;
}

bool GatherBody(std::string *body, const char *data, size_t size, size_t limit) {
    if (body->size() > limit || size > limit - body->size()) return false;
    body->append(data, size);
    return true;
}

EDetectorStep NextDetectorPdu(const std::string &body, size_t *parsed) {
    const size_t pdu_size = static_cast<size_t>(dtctr::kPduSize);
    if (*parsed > body.size() || body.size() - *parsed < pdu_size) return EDetectorStep::kNeedMore;
    EDetectorPduRead result;
    auto pdu = CDetectorPdu::Read(body.data() + *parsed, dtctr::kPduSize, &result);
    *parsed += pdu_size;
    if (!pdu) return EDetectorStep::kBad;
    if (pdu->GetType() == dtctr::kTypeClose) return EDetectorStep::kClose;
    if (pdu->GetType() == dtctr::kTypeEcho) return EDetectorStep::kEcho;
    return EDetectorStep::kUnexpected;
}

bool ReadExchangeBody(const std::string &body, CRdhttpExchange *ex) {
    return rdhttp_pdu_read_exchange_request(body.data(), static_cast<int>(body.size()), ex) ==
           ERdhttpReply::kOk;
}

}  // namespace qrntunnel
