// What the tunnel server reads from the network before it touches a session: the request line
// and declared length turned into a route, the detector's POST body read PDU by PDU, and a
// request body gathered within its bound. Pure functions, with no HTTP library and no lock.
#ifndef QRN_TOOLS_QRNTUNNEL_TUNNEL_ROUTE_H
#define QRN_TOOLS_QRNTUNNEL_TUNNEL_ROUTE_H

#include <stddef.h>
#include <stdint.h>

#include <string>

#include "rdhttp/rdhttp_pdu.h"

namespace qrntunnel {

constexpr size_t kMaxUriLength = 256;

// HTTP statuses the router answers with.
constexpr unsigned kStatusBadRequest = 400;
constexpr unsigned kStatusNotFound = 404;
constexpr unsigned kStatusMethodNotAllowed = 405;
constexpr unsigned kStatusContentTooLarge = 413;
constexpr unsigned kStatusUriTooLong = 414;

enum class ERouteKind {
    kRefused,          // status and why say how
    kDetectorOpen,     // GET of the detector's bare path
    kDetectorGet,      // GET on a detector session: its downlink
    kDetectorPost,     // POST on a detector session
    kBigPostOpen,      // GET opening a large-post session
    kSinglePostOpen,   // POST opening a single-post session
    kSessionPost,      // POST naming a tunnel session: an uplink or an exchange, by its kind
};

struct CRoute {
    ERouteKind kind = ERouteKind::kRefused;
    uint32_t id = 0;
    unsigned status = 0;
    const char *why = "";
    bool small_post = false;  // detector POST: the small-post test, answered in its own reply
};

// The route of a request. declared_length is the Content-Length header's text, or null.
CRoute RouteRequest(const std::string &method, std::string uri, const char *declared_length);

// True when declared (null: none given) is not a plain decimal length of at most limit.
bool DeclaresMore(const char *declared, size_t limit);

// Appends data to body unless it would grow past limit; false then (body unchanged).
bool GatherBody(std::string *body, const char *data, size_t size, size_t limit);

enum class EDetectorStep { kNeedMore, kEcho, kClose, kBad, kUnexpected };

// The next whole PDU of a detector POST body from *parsed on, which it steps past.
EDetectorStep NextDetectorPdu(const std::string &body, size_t *parsed);

// The exchange request in a gathered body; false when it is not one.
bool ReadExchangeBody(const std::string &body, CRdhttpExchange *ex);

}  // namespace qrntunnel

#endif
