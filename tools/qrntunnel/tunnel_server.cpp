#include "tunnel_server.h"

#include <microhttpd.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include "http/dtctrpdu.h"
#include "platform/random.h"
#include "qrnlibl/qrn_trace.h"
#include "rdhttp/rdhttp_pdu.h"

namespace qrntunnel {

namespace {

constexpr size_t kMaxUriLength = 256;
constexpr int kHousekeepingStepMs = 200;
constexpr int kMsPerSecond = 1000;

enum class ERoute {
    kNew,
    kRefused,
    kDetectorGet,
    kDetectorPost,
    kBigPostGet,
    kBigPostUplink,
    kSinglePostOpen,
    kExchange,
};

}  // namespace

// One HTTP request: created by the library's URI callback, freed when the request completes.
struct CRequest {
    MHD_Connection *conn = nullptr;
    std::string uri;
    ERoute route = ERoute::kNew;
    std::shared_ptr<CTunnelSession> session;
    std::string body;
    size_t parsed = 0;             // detector post: bytes of body read as PDUs
    bool small_post = false;       // detector post answered in its own reply
    bool have_answer = false;
    bool uplink_done = false;      // exchange: its data is queued for the target
    bool held = false;             // exchange: a poll waiting for data, until hold_until
    Clock::time_point hold_until;
    std::string pending;           // large-post downlink: header bytes not yet sent
    bool header_done = false;
    bool end_after_pending = false;
    // A refusal found in the body waits for the body's end: the library takes a reply only
    // before the body or after it.
    unsigned refuse_status = 0;
    const char *refuse_why = nullptr;
};

namespace {

MHD_Result Queue(MHD_Connection *conn, unsigned status, const void *data, size_t len) {
    MHD_Response *resp =
        MHD_create_response_from_buffer(len, const_cast<void *>(data), MHD_RESPMEM_MUST_COPY);
    if (resp == nullptr) return MHD_NO;
    MHD_add_response_header(resp, MHD_HTTP_HEADER_CONTENT_TYPE, "application/octet-stream");
    MHD_add_response_header(resp, MHD_HTTP_HEADER_CACHE_CONTROL, "no-cache");
    MHD_Result r = MHD_queue_response(conn, status, resp);
    MHD_destroy_response(resp);
    return r;
}

MHD_Result Refuse(MHD_Connection *conn, CRequest *req, unsigned status, const char *why) {
    qrn_trace_text("qrntunnel: request refused, uri=", req->uri.c_str(), ", status=", status,
                   ", reason=", why);
    req->route = ERoute::kRefused;
    req->session.reset();
    return Queue(conn, status, why, strlen(why));
}

MHD_Result RefuseAfterBody(CRequest *req, size_t *upload_size, unsigned status,
                           const char *why) {
    qrn_trace_text("qrntunnel: request refused, uri=", req->uri.c_str(), ", status=", status,
                   ", reason=", why);
    req->route = ERoute::kRefused;
    req->refuse_status = status;
    req->refuse_why = why;
    *upload_size = 0;
    return MHD_YES;
}

// True when the request declares a body longer than limit.
bool DeclaresMore(MHD_Connection *conn, size_t limit) {
    const char *declared =
        MHD_lookup_connection_value(conn, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    if (declared == nullptr) return false;
    char *end = nullptr;
    unsigned long long n = strtoull(declared, &end, 10);
    return end == declared || *end != '\0' || n > limit;
}

// Gathers a request body up to limit bytes; false when it would grow past it.
bool Gather(CRequest *req, const char *data, size_t *size, size_t limit) {
    if (*size > limit - std::min(limit, req->body.size())) return false;
    req->body.append(data, *size);
    *size = 0;
    return true;
}

ssize_t CopyOut(std::string *pending, char *buf, size_t max) {
    size_t n = std::min(max, pending->size());
    memcpy(buf, pending->data(), n);
    pending->erase(0, n);
    return static_cast<ssize_t>(n);
}

MHD_Result StreamReply(MHD_Connection *conn, CRequest *req, MHD_ContentReaderCallback reader) {
    MHD_Response *resp =
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, CTunnelSession::kCopyChunk, reader,
                                          req, nullptr);
    if (resp == nullptr) return MHD_NO;
    MHD_add_response_header(resp, MHD_HTTP_HEADER_CONTENT_TYPE, "application/octet-stream");
    MHD_add_response_header(resp, MHD_HTTP_HEADER_CACHE_CONTROL, "no-cache");
    // A reverse proxy that holds replies back until they are complete would stall the stream.
    MHD_add_response_header(resp, "X-Accel-Buffering", "no");
    MHD_Result r = MHD_queue_response(conn, MHD_HTTP_OK, resp);
    MHD_destroy_response(resp);
    return r;
}

// The large-post test's downlink: the detector's answers, until the session ends.
ssize_t DetectorDownlink(void *cls, uint64_t, char *buf, size_t max) {
    auto *req = static_cast<CRequest *>(cls);
    CTunnelSession &s = *req->session;
    std::lock_guard<std::mutex> lock(s.m_mutex);
    if (!s.m_down.Empty()) return static_cast<ssize_t>(s.m_down.Take(buf, max));
    if (s.m_closed) return MHD_CONTENT_READER_END_OF_STREAM;
    s.SuspendLocked(req->conn);
    return 0;
}

// The large-post downlink: the header once the target is connected (id 0 when it is not),
// "OK" once the uplink has come, then the target's stream until it ends or the session does.
ssize_t BigPostDownlink(void *cls, uint64_t, char *buf, size_t max) {
    auto *req = static_cast<CRequest *>(cls);
    CTunnelSession &s = *req->session;
    ssize_t n = 0;
    bool end = false;
    {
        std::lock_guard<std::mutex> lock(s.m_mutex);
        if (!req->header_done) {
            if (s.m_target_state == ETargetState::kConnecting && !s.m_closed) {
                s.SuspendLocked(req->conn);
                return 0;
            }
            bool up = s.m_target_state == ETargetState::kConnected && !s.m_closed;
            uint8_t header[rdhttp::kBigPostHeaderSize];
            rdhttp_pdu_write_bigpost_header(up ? s.Id() : rdhttp::kNoSession, header,
                                            sizeof(header));
            req->pending.assign(reinterpret_cast<char *>(header), sizeof(header));
            req->header_done = true;
            req->end_after_pending = !up;
            s.m_header_sent = up;
        }
        if (!req->end_after_pending && s.m_has_uplink && !s.m_ok_sent) {
            req->pending.append(rdhttp::kOk, rdhttp::kOkSize);
            s.m_ok_sent = true;
        }
        if (!req->pending.empty()) return CopyOut(&req->pending, buf, max);
        if (req->end_after_pending) return MHD_CONTENT_READER_END_OF_STREAM;
        if (s.m_ok_sent && !s.m_down.Empty()) {
            n = static_cast<ssize_t>(s.m_down.Take(buf, max));
        } else if (s.m_closed || s.m_target_eof) {
            end = true;
        } else {
            s.SuspendLocked(req->conn);
            return 0;
        }
    }
    if (end) {
        s.Close("downlink ended");
        return MHD_CONTENT_READER_END_OF_STREAM;
    }
    s.m_cv.notify_all();  // room for the reader thread
    return n;
}

void *OnUri(void *, const char *uri, MHD_Connection *conn) {
    auto *req = new CRequest;
    req->conn = conn;
    req->uri.assign(uri, strnlen(uri, kMaxUriLength + 1));
    return req;
}

MHD_Result OnAccess(void *cls, MHD_Connection *conn, const char *, const char *method,
                    const char *, const char *upload_data, size_t *upload_size, void **con_cls) {
    auto *server = static_cast<CTunnelServer *>(cls);
    auto *req = static_cast<CRequest *>(*con_cls);
    if (req == nullptr) return MHD_NO;
    return server->OnRequest(conn, req, method, upload_data, upload_size) ? MHD_YES : MHD_NO;
}

void OnDone(void *cls, MHD_Connection *, void **con_cls, MHD_RequestTerminationCode) {
    auto *req = static_cast<CRequest *>(*con_cls);
    *con_cls = nullptr;
    if (req != nullptr) static_cast<CTunnelServer *>(cls)->OnCompleted(req);
}

}  // namespace

CTunnelServer::CTunnelServer(const CServerConfig &config) : m_config(config) {}

CTunnelServer::~CTunnelServer() { Stop(); }

bool CTunnelServer::Start() {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(m_config.listen_port);
    addr.sin_addr.s_addr = htonl(m_config.listen_ip);
    unsigned idle_s = static_cast<unsigned>(m_config.idle_timeout_ms / kMsPerSecond + 1);
    unsigned conn_limit = static_cast<unsigned>(m_config.max_sessions) * 4 + 16;
    m_daemon = MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO | MHD_ALLOW_SUSPEND_RESUME |
            MHD_USE_ERROR_LOG,
        m_config.listen_port, nullptr, nullptr, &OnAccess, this, MHD_OPTION_SOCK_ADDR, &addr,
        MHD_OPTION_URI_LOG_CALLBACK, &OnUri, this, MHD_OPTION_NOTIFY_COMPLETED, &OnDone, this,
        MHD_OPTION_CONNECTION_TIMEOUT, idle_s, MHD_OPTION_CONNECTION_LIMIT, conn_limit,
        MHD_OPTION_END);
    if (m_daemon == nullptr) return false;
    m_housekeeper = std::thread(&CTunnelServer::Housekeeping, this);
    if (m_config.hold_ms > 0) m_hold_timer = std::thread(&CTunnelServer::HoldTimer, this);
    return true;
}

void CTunnelServer::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping) return;
        m_stopping = true;
    }
    m_stop_cv.notify_all();
    if (m_housekeeper.joinable()) m_housekeeper.join();
    {
        std::lock_guard<std::mutex> lock(m_hold_mutex);
        m_hold_stop = true;
        m_held.clear();
    }
    m_hold_cv.notify_all();
    if (m_hold_timer.joinable()) m_hold_timer.join();
    std::map<uint32_t, std::shared_ptr<CTunnelSession>> sessions;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        sessions.swap(m_sessions);
    }
    for (auto &entry : sessions) entry.second->Close("server stopping");
    for (auto &entry : sessions) entry.second->Join();
    if (m_daemon != nullptr) MHD_stop_daemon(m_daemon);
    m_daemon = nullptr;
}

std::shared_ptr<CTunnelSession> CTunnelServer::NewSession(ESessionKind kind) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stopping || m_sessions.size() >= static_cast<size_t>(m_config.max_sessions)) {
        qrn_trace_text("qrntunnel: session refused, sessions=",
                       static_cast<uint32_t>(m_sessions.size()));
        return nullptr;
    }
    // The id is all that names a session: unguessable, never 0 (the refusal), never in use.
    uint32_t id = 0;
    while (id == 0 || m_sessions.count(id) != 0) {
        if (!ws::GenRandom(&id, sizeof(id))) {
            QRN_TRACE_ERROR("qrntunnel: no random session id");
            return nullptr;
        }
    }
    auto session = std::make_shared<CTunnelSession>(id, kind);
    m_sessions[id] = session;
    qrn_trace_text("qrntunnel: session opened, id=", id, ", kind=", static_cast<uint32_t>(kind));
    return session;
}

std::shared_ptr<CTunnelSession> CTunnelServer::FindSession(uint32_t id, ESessionKind kind) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_sessions.find(id);
    if (it == m_sessions.end()) return nullptr;
    {
        // An ended session waits for the housekeeper, but names nothing any more.
        std::lock_guard<std::mutex> session_lock(it->second->m_mutex);
        if (it->second->m_closed) return nullptr;
    }
    if (kind == ESessionKind::kDetector && it->second->Kind() != ESessionKind::kDetector) {
        return nullptr;
    }
    if (kind != ESessionKind::kDetector && it->second->Kind() == ESessionKind::kDetector) {
        return nullptr;
    }
    return it->second;
}

void CTunnelServer::ResumeAt(Clock::time_point deadline,
                             const std::shared_ptr<CTunnelSession> &session,
                             MHD_Connection *conn) {
    {
        std::lock_guard<std::mutex> lock(m_hold_mutex);
        m_held.emplace(deadline, CHeld{session, conn});
    }
    m_hold_cv.notify_all();
}

void CTunnelServer::HoldTimer() {
    std::unique_lock<std::mutex> lock(m_hold_mutex);
    for (;;) {
        if (m_hold_stop) return;
        if (m_held.empty()) {
            m_hold_cv.wait_for(lock, std::chrono::milliseconds(kHousekeepingStepMs));
            continue;
        }
        auto first = m_held.begin();
        if (Clock::now() < first->first) {
            m_hold_cv.wait_until(lock, first->first);
            continue;
        }
        CHeld held = first->second;
        m_held.erase(first);
        lock.unlock();
        // Only a request still suspended on its session is resumed: one that data woke
        // first may be gone already.
        if (auto session = held.session.lock()) session->Wake(held.conn);
        lock.lock();
    }
}

void CTunnelServer::Housekeeping() {
    auto step = std::chrono::milliseconds(
        std::min(kHousekeepingStepMs, std::max(1, m_config.idle_timeout_ms / 4)));
    auto idle = std::chrono::milliseconds(m_config.idle_timeout_ms);
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stopping) {
        m_stop_cv.wait_for(lock, step, [this] { return m_stopping; });
        if (m_stopping) break;
        std::vector<std::shared_ptr<CTunnelSession>> silent;
        std::vector<std::shared_ptr<CTunnelSession>> ended;
        auto now = Clock::now();
        for (auto it = m_sessions.begin(); it != m_sessions.end();) {
            CTunnelSession &s = *it->second;
            std::lock_guard<std::mutex> session_lock(s.m_mutex);
            if (s.m_closed) {
                ended.push_back(it->second);
                it = m_sessions.erase(it);
                continue;
            }
            if (now - s.m_last_active > idle) silent.push_back(it->second);
            ++it;
        }
        lock.unlock();
        for (auto &s : silent) s->Close("client silent too long");
        for (auto &s : ended) s->Join();
        lock.lock();
    }
}

int CTunnelServer::OnRequest(MHD_Connection *conn, CRequest *req, const char *method,
                             const char *upload_data, size_t *upload_size) {
    switch (req->route) {
    case ERoute::kRefused:
        if (*upload_size != 0) {
            *upload_size = 0;  // the body of a refused request is dropped unread
            return MHD_YES;
        }
        if (req->refuse_status == 0) return MHD_YES;
        {
            unsigned status = req->refuse_status;
            req->refuse_status = 0;
            return Queue(conn, status, req->refuse_why, strlen(req->refuse_why));
        }
    case ERoute::kDetectorPost: return OnDetectorPost(conn, req, upload_data, upload_size);
    case ERoute::kBigPostUplink: return OnBigPostUplink(conn, req, upload_data, upload_size);
    case ERoute::kSinglePostOpen: return OnSinglePostOpen(conn, req, upload_data, upload_size);
    case ERoute::kExchange: return OnExchange(conn, req, upload_data, upload_size);
    case ERoute::kDetectorGet:
    case ERoute::kBigPostGet:
        *upload_size = 0;
        return MHD_YES;
    case ERoute::kNew: break;
    }
    return Route(conn, req, method);
}

int CTunnelServer::Route(MHD_Connection *conn, CRequest *req, const char *method) {
    bool get = strcmp(method, MHD_HTTP_METHOD_GET) == 0;
    bool post = strcmp(method, MHD_HTTP_METHOD_POST) == 0;
    if (!get && !post) return Refuse(conn, req, MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed");
    if (req->uri.size() > kMaxUriLength) {
        return Refuse(conn, req, MHD_HTTP_URI_TOO_LONG, "uri too long");
    }
    // A request in absolute form (as a client sends it to a proxy) names the same path.
    size_t scheme = req->uri.find("://");
    if (scheme != std::string::npos && scheme < req->uri.find('/')) {
        size_t path_start = req->uri.find('/', scheme + 3);
        req->uri.erase(0, path_start == std::string::npos ? req->uri.size() : path_start);
    }
    // Proxies may drop an empty query's mark (tinyproxy does): the first detector request
    // then comes as the bare path.
    const std::string bare_detector(dtctr::kPathPrefix, strlen(dtctr::kPathPrefix) - 1);
    if (req->uri == bare_detector) req->uri += '?';
    size_t mark = req->uri.find('?');
    if (mark == std::string::npos) return Refuse(conn, req, MHD_HTTP_NOT_FOUND, "not found");
    std::string path = req->uri.substr(0, mark + 1);
    std::string query = req->uri.substr(mark + 1);
    if (path == dtctr::kPathPrefix) return RouteDetector(conn, req, get, query);
    if (path == rdhttp::kPathPrefix) return RouteTunnel(conn, req, get, query);
    return Refuse(conn, req, MHD_HTTP_NOT_FOUND, "not found");
}

int CTunnelServer::RouteDetector(MHD_Connection *conn, CRequest *req, bool get,
                                 const std::string &query) {
    if (query.empty()) {
        if (!get) return Refuse(conn, req, MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed");
        auto session = NewSession(ESessionKind::kDetector);
        if (!session) {
            return Refuse(conn, req, MHD_HTTP_SERVICE_UNAVAILABLE, "too many sessions");
        }
        CDetectorPduSessionCreated pdu(session->Id());
        return Queue(conn, MHD_HTTP_OK, pdu.GetBytes(), static_cast<size_t>(pdu.GetSize()));
    }
    uint32_t id = 0;
    if (!rdhttp_pdu_parse_session_id(query.c_str(), &id)) {
        return Refuse(conn, req, MHD_HTTP_BAD_REQUEST, "bad session id");
    }
    req->session = FindSession(id, ESessionKind::kDetector);
    if (!req->session) return Refuse(conn, req, MHD_HTTP_NOT_FOUND, "unknown session");
    return get ? OnDetectorGet(conn, req) : OnDetectorPostStart(conn, req);
}

int CTunnelServer::RouteTunnel(MHD_Connection *conn, CRequest *req, bool get,
                               const std::string &query) {
    uint32_t id = 0;
    switch (rdhttp_pdu_parse_query(query.c_str(), &id)) {
    case ERdhttpQuery::kBigPost:
        if (!get) return Refuse(conn, req, MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed");
        return OnBigPostGet(conn, req);
    case ERdhttpQuery::kSinglePost:
        if (get) return Refuse(conn, req, MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed");
        if (DeclaresMore(conn, rdhttp::kOpenBodySize)) {
            return Refuse(conn, req, MHD_HTTP_CONTENT_TOO_LARGE, "opening body too long");
        }
        req->route = ERoute::kSinglePostOpen;
        return MHD_YES;
    case ERdhttpQuery::kSession:
        if (get) return Refuse(conn, req, MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed");
        req->session = FindSession(id, ESessionKind::kBigPost);
        if (!req->session) return Refuse(conn, req, MHD_HTTP_NOT_FOUND, "unknown session");
        if (req->session->Kind() == ESessionKind::kSinglePost) {
            if (DeclaresMore(conn, rdhttp::kMaxExchangeBody)) {
                return Refuse(conn, req, MHD_HTTP_CONTENT_TOO_LARGE, "exchange body too long");
            }
            req->route = ERoute::kExchange;
            return MHD_YES;
        }
        return OnBigPostUplinkStart(conn, req);
    case ERdhttpQuery::kInvalid: break;
    }
    return Refuse(conn, req, MHD_HTTP_BAD_REQUEST, "bad query");
}

int CTunnelServer::OnBigPostUplinkStart(MHD_Connection *conn, CRequest *req) {
    CTunnelSession &s = *req->session;
    bool taken = false;
    {
        std::lock_guard<std::mutex> lock(s.m_mutex);
        if (!s.m_closed && !s.m_has_uplink && s.m_header_sent) {
            s.m_has_uplink = true;
            s.TouchLocked();
            taken = true;
        }
    }
    if (!taken) return Refuse(conn, req, MHD_HTTP_CONFLICT, "session has no room for an uplink");
    req->route = ERoute::kBigPostUplink;
    s.WakeAll();  // the downlink says "OK" now
    return MHD_YES;
}

int CTunnelServer::OnDetectorGet(MHD_Connection *conn, CRequest *req) {
    CTunnelSession &s = *req->session;
    bool taken = false;
    {
        std::lock_guard<std::mutex> lock(s.m_mutex);
        if (!s.m_has_downlink && !s.m_closed) {
            s.m_has_downlink = true;
            s.TouchLocked();
            taken = true;
        }
    }
    if (!taken) return Refuse(conn, req, MHD_HTTP_CONFLICT, "session has a downlink");
    req->route = ERoute::kDetectorGet;
    return StreamReply(conn, req, &DetectorDownlink);
}

int CTunnelServer::OnDetectorPostStart(MHD_Connection *conn, CRequest *req) {
    // The small-post test declares one PDU; the large-post test's POST carries two and gets
    // its answer on the GET.
    const char *declared =
        MHD_lookup_connection_value(conn, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    req->small_post = declared != nullptr && strcmp(declared, "5") == 0;
    if (DeclaresMore(conn, dtctr::kBigPostBodyLength)) {
        return Refuse(conn, req, MHD_HTTP_CONTENT_TOO_LARGE, "detector body too long");
    }
    req->route = ERoute::kDetectorPost;
    return MHD_YES;
}

int CTunnelServer::OnDetectorPost(MHD_Connection *conn, CRequest *req, const char *upload_data,
                                  size_t *upload_size) {
    CTunnelSession &s = *req->session;
    if (*upload_size == 0) {
        if (!req->small_post) return Queue(conn, MHD_HTTP_OK, "", 0);
        // The small-post test is a detection's last request: its session, and a large-post
        // test's GET that a buffering proxy may still hold open, end with it.
        s.Close("small post test answered");
        if (!req->have_answer) return Refuse(conn, req, MHD_HTTP_BAD_REQUEST, "no echo");
        CDetectorPduEcho answer(dtctr::kEchoAnswer);
        return Queue(conn, MHD_HTTP_OK, answer.GetBytes(), static_cast<size_t>(answer.GetSize()));
    }
    size_t limit = req->small_post ? dtctr::kSmallPostBodyLength : dtctr::kBigPostBodyLength;
    if (!Gather(req, upload_data, upload_size, limit)) {
        return RefuseAfterBody(req, upload_size, MHD_HTTP_CONTENT_TOO_LARGE,
                               "detector body too long");
    }
    while (req->body.size() - req->parsed >= static_cast<size_t>(dtctr::kPduSize)) {
        EDetectorPduRead result;
        auto pdu = CDetectorPdu::Read(req->body.data() + req->parsed, dtctr::kPduSize, &result);
        req->parsed += dtctr::kPduSize;
        if (!pdu) {
            return RefuseAfterBody(req, upload_size, MHD_HTTP_BAD_REQUEST, "pdu not recognized");
        }
        if (pdu->GetType() == dtctr::kTypeClose) {
            s.Close("detection finished");
            continue;
        }
        if (pdu->GetType() != dtctr::kTypeEcho) {
            return RefuseAfterBody(req, upload_size, MHD_HTTP_BAD_REQUEST, "pdu not expected");
        }
        req->have_answer = true;
        if (req->small_post) continue;
        CDetectorPduEcho answer(dtctr::kEchoAnswer);
        {
            std::lock_guard<std::mutex> lock(s.m_mutex);
            s.m_down.Append(answer.GetBytes(), static_cast<size_t>(answer.GetSize()));
            s.TouchLocked();
        }
        s.WakeAll();
    }
    return MHD_YES;
}

int CTunnelServer::OnBigPostGet(MHD_Connection *conn, CRequest *req) {
    req->session = NewSession(ESessionKind::kBigPost);
    if (!req->session) {
        uint8_t header[rdhttp::kBigPostHeaderSize];
        rdhttp_pdu_write_bigpost_header(rdhttp::kNoSession, header, sizeof(header));
        req->route = ERoute::kRefused;
        return Queue(conn, MHD_HTTP_OK, header, sizeof(header));
    }
    {
        std::lock_guard<std::mutex> lock(req->session->m_mutex);
        req->session->m_has_downlink = true;
    }
    req->session->StartTarget(m_config.target);
    req->route = ERoute::kBigPostGet;
    return StreamReply(conn, req, &BigPostDownlink);
}

int CTunnelServer::OnBigPostUplink(MHD_Connection *conn, CRequest *req, const char *upload_data,
                                   size_t *upload_size) {
    CTunnelSession &s = *req->session;
    // The declared length is never meant to be reached; a client that does gets a plain end.
    if (*upload_size == 0) return Queue(conn, MHD_HTTP_OK, "", 0);
    {
        std::lock_guard<std::mutex> lock(s.m_mutex);
        if (s.m_closed) return MHD_NO;
        size_t room = CTunnelSession::kQueueLimit - std::min(CTunnelSession::kQueueLimit,
                                                             s.m_up.Size());
        if (room == 0) {
            s.SuspendLocked(req->conn);
            return MHD_YES;
        }
        size_t n = std::min(room, *upload_size);
        s.m_up.Append(upload_data, n);
        *upload_size -= n;
        s.TouchLocked();
        // The rest waits for room; the writer's wake-up resumes the upload.
        if (*upload_size > 0) s.SuspendLocked(req->conn);
    }
    s.m_cv.notify_all();
    return MHD_YES;
}

int CTunnelServer::OnSinglePostOpen(MHD_Connection *conn, CRequest *req, const char *upload_data,
                                    size_t *upload_size) {
    if (*upload_size != 0) {
        if (!Gather(req, upload_data, upload_size, rdhttp::kOpenBodySize)) {
            return RefuseAfterBody(req, upload_size, MHD_HTTP_CONTENT_TOO_LARGE,
                                   "opening body too long");
        }
        return MHD_YES;
    }
    if (!rdhttp_pdu_is_open_body(req->body.data(), static_cast<int>(req->body.size()))) {
        return Refuse(conn, req, MHD_HTTP_BAD_REQUEST, "bad opening body");
    }
    if (!req->session) {
        req->session = NewSession(ESessionKind::kSinglePost);
        if (req->session) req->session->StartTarget(m_config.target);
    }
    uint32_t id = rdhttp::kNoSession;
    if (req->session) {
        CTunnelSession &s = *req->session;
        std::lock_guard<std::mutex> lock(s.m_mutex);
        if (s.m_target_state == ETargetState::kConnecting && !s.m_closed) {
            s.SuspendLocked(conn);
            return MHD_YES;
        }
        if (s.m_target_state == ETargetState::kConnected && !s.m_closed) id = s.Id();
        s.TouchLocked();
    }
    uint8_t reply[rdhttp::kOpenReplySize];
    rdhttp_pdu_write_open_reply(id, reply, sizeof(reply));
    return Queue(conn, MHD_HTTP_OK, reply, sizeof(reply));
}

bool CTunnelServer::HoldPoll(CRequest *req, const CRdhttpExchange &ex, CTunnelSession &s,
                             bool ended) {
    if (m_config.hold_ms <= 0 || ex.data_len > 0 || ended || !s.m_down.Empty()) return false;
    auto now = Clock::now();
    if (!req->held) {
        req->held = true;
        req->hold_until = now + std::chrono::milliseconds(m_config.hold_ms);
    }
    return now < req->hold_until;
}

int CTunnelServer::OnExchange(MHD_Connection *conn, CRequest *req, const char *upload_data,
                              size_t *upload_size) {
    if (*upload_size != 0) {
        if (!Gather(req, upload_data, upload_size, rdhttp::kMaxExchangeBody)) {
            return RefuseAfterBody(req, upload_size, MHD_HTTP_CONTENT_TOO_LARGE,
                                   "exchange body too long");
        }
        return MHD_YES;
    }
    CRdhttpExchange ex;
    if (rdhttp_pdu_read_exchange_request(req->body.data(), static_cast<int>(req->body.size()),
                                         &ex) != ERdhttpReply::kOk) {
        return Refuse(conn, req, MHD_HTTP_BAD_REQUEST, "bad exchange body");
    }
    CTunnelSession &s = *req->session;
    uint8_t data[rdhttp::kMaxExchangeData];
    size_t n = 0;
    {
        std::lock_guard<std::mutex> lock(s.m_mutex);
        if (!req->uplink_done && !s.m_closed) {
            if (s.m_up.Size() + static_cast<size_t>(ex.data_len) > CTunnelSession::kQueueLimit) {
                s.SuspendLocked(conn);
                return MHD_YES;
            }
            s.m_up.Append(ex.data, static_cast<size_t>(ex.data_len));
            req->uplink_done = true;
            s.TouchLocked();
        }
        bool ended = s.m_closed || s.m_target_eof;
        if (HoldPoll(req, ex, s, ended)) {
            s.SuspendLocked(conn);
            ResumeAt(req->hold_until, req->session, conn);
            return MHD_YES;
        }
        n = s.m_down.Take(data, sizeof(data));
        if (n == 0 && ended) req->route = ERoute::kRefused;
    }
    s.m_cv.notify_all();
    if (req->route == ERoute::kRefused) {
        s.Close("exchange after the end of the stream");
        return Refuse(conn, req, MHD_HTTP_GONE, "session ended");
    }
    uint8_t reply[rdhttp::kMaxExchangeBody];
    int len = rdhttp_pdu_write_exchange(rdhttp::kReplyLead, data, static_cast<int>(n), reply,
                                        sizeof(reply));
    return Queue(conn, MHD_HTTP_OK, reply, static_cast<size_t>(len));
}

void CTunnelServer::OnCompleted(CRequest *req) {
    // The large-post session lives as long as both of its requests.
    if (req->session &&
        (req->route == ERoute::kBigPostGet || req->route == ERoute::kBigPostUplink)) {
        req->session->Close("client closed a request");
    }
    delete req;
}

}  // namespace qrntunnel
