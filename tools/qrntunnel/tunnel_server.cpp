#include "tunnel_server.h"

#include <microhttpd.h>
#include <netinet/in.h>
#include <stdarg.h>
#include <stdio.h>
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

constexpr int kHousekeepingStepMs = 200;
constexpr int kMsPerSecond = 1000;
// A request head must be in within this; a routed request then gets the idle time-out.
constexpr unsigned kHeadTimeoutS = 10;
// Shares of max_sessions: detector sessions at most a quarter, one address at most an eighth.
constexpr int kDetectorShare = 4;
constexpr int kSourceShare = 8;
// One address holds at most a quarter of the detector sessions, and always a few: a proxy
// may carry several clients that detect at the same time.
constexpr int kSourceDetectorShare = 4;
constexpr int kMinDetectorsPerSource = 2;
// A small server still lets one address (a proxy, a NAT) hold a few sessions.
constexpr int kMinPerSource = 16;
// HTTP connections: two per session (a large-post session's pair) and some to spare, for
// the requests that are refused; one address gets as many as its sessions need.
constexpr int kConnectionsPerSession = 2;
constexpr int kSpareConnections = 64;
constexpr int kSpareConnectionsPerSource = 16;
// A detection sends one echo on the large-post test; a few more are a margin, not a service.
constexpr int kDetectorMaxEchoes = 4;
constexpr size_t kDetectorDownLimit = kDetectorMaxEchoes * dtctr::kPduSize;

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

const char *DeclaredLength(MHD_Connection *conn) {
    return MHD_lookup_connection_value(conn, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
}

// Gathers a request body up to limit bytes; false when it would grow past it.
bool Gather(CRequest *req, const char *data, size_t *size, size_t limit) {
    if (!GatherBody(&req->body, data, *size, limit)) return false;
    *size = 0;
    return true;
}

// The client's IPv4 address in host order; 0 for any other family.
uint32_t SourceOf(MHD_Connection *conn, uint16_t *port = nullptr) {
    if (port != nullptr) *port = 0;
    const MHD_ConnectionInfo *info =
        MHD_get_connection_info(conn, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    if (info == nullptr || info->client_addr == nullptr) return 0;
    if (info->client_addr->sa_family != AF_INET) return 0;
    sockaddr_in in;
    memcpy(&in, info->client_addr, sizeof(in));
    if (port != nullptr) *port = ntohs(in.sin_port);
    return ntohl(in.sin_addr.s_addr);
}

// The library's messages are for the operator who asked for them, not for every user.
void OnLibraryMessage(void *cls, const char *format, va_list args) {
    auto *report = static_cast<CTunnelReport *>(cls);
    if (report != nullptr) {
        report->LibraryMessage(format, args);
        return;
    }
    char text[256];
    vsnprintf(text, sizeof(text), format, args);
    qrn_trace_text("qrntunnel: libmicrohttpd: ", text);
}

unsigned IdleTimeoutS(const CServerConfig &config) {
    return static_cast<unsigned>(config.idle_timeout_ms / kMsPerSecond + 1);
}

// A request that got past routing may stay as long as a session's requests do.
void Admit(MHD_Connection *conn, const CServerConfig &config) {
    MHD_set_connection_option(conn, MHD_CONNECTION_OPTION_TIMEOUT, IdleTimeoutS(config));
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

// Queues the answer to one echo of the large-post test; false when the session has answered
// all a detection needs, or its client does not read them.
bool QueueEcho(CTunnelSession &s) {
    std::lock_guard<std::mutex> lock(s.m_mutex);
    if (s.m_echoes >= kDetectorMaxEchoes || s.m_down.Size() >= kDetectorDownLimit) return false;
    ++s.m_echoes;
    CDetectorPduEcho answer(dtctr::kEchoAnswer);
    s.m_down.Append(answer.GetBytes(), static_cast<size_t>(answer.GetSize()));
    s.TouchLocked();
    return true;
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

CServerConfig EffectiveLimits(CServerConfig c) {
    if (c.max_detectors <= 0) c.max_detectors = std::max(1, c.max_sessions / kDetectorShare);
    if (c.max_per_source <= 0) {
        c.max_per_source =
            std::min(c.max_sessions, std::max(kMinPerSource, c.max_sessions / kSourceShare));
    }
    if (c.max_connections <= 0) {
        c.max_connections = c.max_sessions * kConnectionsPerSession + kSpareConnections;
    }
    if (c.max_conns_per_source <= 0) {
        c.max_conns_per_source = std::min(
            c.max_connections,
            c.max_per_source * kConnectionsPerSession + kSpareConnectionsPerSource);
    }
    return c;
}

CTunnelServer::CTunnelServer(const CServerConfig &config)
    : m_config(EffectiveLimits(config)),
      m_guard(m_config.max_per_source,
              std::max(kMinDetectorsPerSource, m_config.max_detectors / kSourceDetectorShare),
              Clock::now()) {}

CTunnelServer::~CTunnelServer() { Stop(); }

bool CTunnelServer::Start() {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(m_config.listen_port);
    addr.sin_addr.s_addr = htonl(m_config.listen_ip);
    // Until its head is in, a request gets the short time-out (MHD counts it from the last
    // byte, so a head that trickles in is bounded by the per-address limit as well).
    unsigned head_s = std::min(kHeadTimeoutS, IdleTimeoutS(m_config));
    m_daemon = MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_AUTO | MHD_ALLOW_SUSPEND_RESUME |
            MHD_USE_ERROR_LOG,
        m_config.listen_port, nullptr, nullptr, &OnAccess, this,
        // First, or the library writes what comes before it on standard error itself.
        MHD_OPTION_EXTERNAL_LOGGER, &OnLibraryMessage, static_cast<void *>(m_config.report),
        MHD_OPTION_SOCK_ADDR, &addr, MHD_OPTION_URI_LOG_CALLBACK, &OnUri, this,
        MHD_OPTION_NOTIFY_COMPLETED, &OnDone, this,
        MHD_OPTION_CONNECTION_TIMEOUT, head_s, MHD_OPTION_CONNECTION_LIMIT,
        static_cast<unsigned>(m_config.max_connections), MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        static_cast<unsigned>(m_config.max_conns_per_source), MHD_OPTION_END);
    if (m_daemon == nullptr) return false;
    const MHD_DaemonInfo *bound = MHD_get_daemon_info(m_daemon, MHD_DAEMON_INFO_BIND_PORT);
    m_bound_port = bound != nullptr ? bound->port : m_config.listen_port;
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
    for (auto &entry : sessions) {
        entry.second->Join();
        ReportEnded(*entry.second);
    }
    if (m_daemon != nullptr) MHD_stop_daemon(m_daemon);
    m_daemon = nullptr;
}

std::shared_ptr<CTunnelSession> CTunnelServer::NewSession(ESessionKind kind,
                                                          MHD_Connection *conn) {
    uint16_t source_port = 0;
    const uint32_t source = SourceOf(conn, &source_port);
    std::unique_lock<std::mutex> lock(m_mutex);
    const bool detector = kind == ESessionKind::kDetector;
    if (m_stopping || m_sessions.size() >= static_cast<size_t>(m_config.max_sessions) ||
        (detector && m_detectors >= m_config.max_detectors)) {
        qrn_trace_text("qrntunnel: session refused, sessions=",
                       static_cast<uint32_t>(m_sessions.size()), ", detectors=",
                       static_cast<uint32_t>(m_detectors));
        return nullptr;
    }
    if (!m_guard.TakeSlot(source, detector)) {
        qrn_trace_text("qrntunnel: session refused, the address holds its share, source=", source);
        return nullptr;
    }
    // The id names the session on the wire: unguessable, never 0 (the refusal), never in use.
    uint32_t id = 0;
    while (id == 0 || m_sessions.count(id) != 0) {
        if (!ws::GenRandom(&id, sizeof(id))) {
            QRN_TRACE_ERROR("qrntunnel: no random session id");
            m_guard.ReleaseSlot(source, detector);
            return nullptr;
        }
    }
    const uint64_t label = ++m_opened_count;
    auto session = std::make_shared<CTunnelSession>(id, kind, source, label);
    m_sessions[id] = session;
    if (detector) ++m_detectors;
    lock.unlock();
    qrn_trace_text("qrntunnel: session opened, id=", id, ", kind=", static_cast<uint32_t>(kind),
                   ", source=", source);
    // Written without the lock: a slow standard error holds up this request only.
    if (m_config.report != nullptr) m_config.report->SessionOpened(label, source, source_port, kind);
    return session;
}

void CTunnelServer::ReportEnded(CTunnelSession &s) {
    if (m_config.report != nullptr) m_config.report->SessionEnded(s.Summary());
}

std::shared_ptr<CTunnelSession> CTunnelServer::FindSession(uint32_t id, ESessionKind kind,
                                                           uint32_t source) {
    auto now = Clock::now();
    // An address that has used up its wrong guesses gets no lookup: a right guess is as lost
    // as a wrong one.
    if (!m_guard.MayLookUp(source, now)) return nullptr;
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_sessions.find(id);
    if (it == m_sessions.end()) return nullptr;
    CTunnelSession &s = *it->second;
    if ((s.Kind() == ESessionKind::kDetector) != (kind == ESessionKind::kDetector)) return nullptr;
    // Past the overall budget even --any-source believes only the opener.
    if (s.Source() != source && !(m_config.any_source && m_guard.OverallBudgetLeft(now))) {
        return nullptr;
    }
    // An ended session waits for the housekeeper, but names nothing any more.
    std::lock_guard<std::mutex> session_lock(s.m_mutex);
    if (s.m_closed) return nullptr;
    return it->second;
}

int CTunnelServer::NoSuchSession(MHD_Connection *conn, CRequest *req, uint32_t source) {
    // Unknown, another address's, of the other form, or its place taken: one answer for all,
    // so that an answer tells a guesser nothing.
    m_guard.Missed(source, Clock::now());
    return Refuse(conn, req, MHD_HTTP_NOT_FOUND, "unknown session");
}

bool CTunnelServer::Expired(const CTunnelSession &s, Clock::time_point now) const {
    if (now - s.m_last_active > std::chrono::milliseconds(m_config.idle_timeout_ms)) return true;
    return s.Kind() == ESessionKind::kDetector &&
           now - s.Opened() > std::chrono::milliseconds(m_config.detector_lifetime_ms);
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
                m_guard.ReleaseSlot(s.Source(), s.Kind() == ESessionKind::kDetector);
                if (s.Kind() == ESessionKind::kDetector) --m_detectors;
                ended.push_back(it->second);
                it = m_sessions.erase(it);
                continue;
            }
            if (Expired(s, now)) silent.push_back(it->second);
            ++it;
        }
        lock.unlock();
        m_guard.Prune(now);
        for (auto &s : silent) s->Close("client silent too long, or detection over");
        for (auto &s : ended) {
            s->Join();
            ReportEnded(*s);
        }
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
    case ERoute::kSinglePostOpen:
        return OnSinglePostOpen(conn, req, upload_data, upload_size);
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
    CRoute route = RouteRequest(method, req->uri, DeclaredLength(conn));
    if (route.kind == ERouteKind::kRefused) return Refuse(conn, req, route.status, route.why);
    const uint32_t source = SourceOf(conn);
    switch (route.kind) {
    case ERouteKind::kDetectorOpen: return OnDetectorOpen(conn, req);
    case ERouteKind::kDetectorGet:
        req->session = FindSession(route.id, ESessionKind::kDetector, source);
        if (!req->session) return NoSuchSession(conn, req, source);
        return OnDetectorGet(conn, req, source);
    case ERouteKind::kDetectorPost:
        req->session = FindSession(route.id, ESessionKind::kDetector, source);
        if (!req->session) return NoSuchSession(conn, req, source);
        Admit(conn, m_config);
        req->small_post = route.small_post;
        req->route = ERoute::kDetectorPost;
        return MHD_YES;
    case ERouteKind::kBigPostOpen: return OnBigPostGet(conn, req);
    case ERouteKind::kSinglePostOpen:
        Admit(conn, m_config);
        req->route = ERoute::kSinglePostOpen;
        return MHD_YES;
    case ERouteKind::kSessionPost: return OnSessionPost(conn, req, route.id, source);
    case ERouteKind::kRefused: break;
    }
    return Refuse(conn, req, MHD_HTTP_BAD_REQUEST, "bad request");
}

int CTunnelServer::OnDetectorOpen(MHD_Connection *conn, CRequest *req) {
    auto session = NewSession(ESessionKind::kDetector, conn);
    if (!session) return Refuse(conn, req, MHD_HTTP_SERVICE_UNAVAILABLE, "too many sessions");
    CDetectorPduSessionCreated pdu(session->Id());
    return Queue(conn, MHD_HTTP_OK, pdu.GetBytes(), static_cast<size_t>(pdu.GetSize()));
}

int CTunnelServer::OnSessionPost(MHD_Connection *conn, CRequest *req, uint32_t id,
                                 uint32_t source) {
    req->session = FindSession(id, ESessionKind::kBigPost, source);
    if (!req->session) return NoSuchSession(conn, req, source);
    if (req->session->Kind() != ESessionKind::kSinglePost) {
        return OnBigPostUplinkStart(conn, req, source);
    }
    if (DeclaresMore(DeclaredLength(conn), rdhttp::kMaxExchangeBody)) {
        return Refuse(conn, req, MHD_HTTP_CONTENT_TOO_LARGE, "exchange body too long");
    }
    Admit(conn, m_config);
    req->route = ERoute::kExchange;
    return MHD_YES;
}

int CTunnelServer::OnBigPostUplinkStart(MHD_Connection *conn, CRequest *req, uint32_t source) {
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
    if (!taken) return NoSuchSession(conn, req, source);
    Admit(conn, m_config);
    req->route = ERoute::kBigPostUplink;
    s.WakeAll();  // the downlink says "OK" now
    return MHD_YES;
}

int CTunnelServer::OnDetectorGet(MHD_Connection *conn, CRequest *req, uint32_t source) {
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
    if (!taken) return NoSuchSession(conn, req, source);
    Admit(conn, m_config);
    req->route = ERoute::kDetectorGet;
    return StreamReply(conn, req, &DetectorDownlink);
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
    for (;;) {
        switch (NextDetectorPdu(req->body, &req->parsed)) {
        case EDetectorStep::kNeedMore: return MHD_YES;
        case EDetectorStep::kBad:
            return RefuseAfterBody(req, upload_size, MHD_HTTP_BAD_REQUEST, "pdu not recognized");
        case EDetectorStep::kUnexpected:
            return RefuseAfterBody(req, upload_size, MHD_HTTP_BAD_REQUEST, "pdu not expected");
        case EDetectorStep::kClose: s.Close("detection finished"); break;
        case EDetectorStep::kEcho:
            req->have_answer = true;
            if (req->small_post) break;
            if (!QueueEcho(s)) {
                return RefuseAfterBody(req, upload_size, MHD_HTTP_TOO_MANY_REQUESTS,
                                       "detector session answered enough");
            }
            s.WakeAll();
            break;
        }
    }
}

int CTunnelServer::OnBigPostGet(MHD_Connection *conn, CRequest *req) {
    req->session = NewSession(ESessionKind::kBigPost, conn);
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
    Admit(conn, m_config);
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
        req->session = NewSession(ESessionKind::kSinglePost, conn);
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
    if (!ReadExchangeBody(req->body, &ex)) {
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
