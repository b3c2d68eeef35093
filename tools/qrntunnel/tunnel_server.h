// The tunnel server: an HTTP server (libmicrohttpd, one internal polling thread) that answers
// the detector and both tunnel forms, and joins each tunnel session to a TCP connection to the
// target, so that the multi-mode server sees an ordinary TCP path.
#ifndef QRN_TOOLS_QRNTUNNEL_TUNNEL_SERVER_H
#define QRN_TOOLS_QRNTUNNEL_TUNNEL_SERVER_H

#include <stdint.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "rdhttp/rdhttp_pdu.h"

#include "tunnel_guard.h"
#include "tunnel_report.h"
#include "tunnel_route.h"
#include "tunnel_session.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace qrntunnel {

struct CServerConfig {
    uint32_t listen_ip = 0x7f000001;  // host order
    uint16_t listen_port = 0;
    CTargetConfig target;
    int max_sessions = 4096;
    int idle_timeout_ms = 60000;
    // How long a single-post poll may wait for data before it gets an empty reply.
    int hold_ms = 0;
    // A detection takes three tests of a few seconds each: its session needs no longer.
    int detector_lifetime_ms = 20000;
    // 0: derived from max_sessions (see EffectiveLimits).
    int max_detectors = 0;
    int max_per_source = 0;
    int max_conns_per_source = 0;
    // HTTP connections open at once; 0: derived from max_sessions.
    int max_connections = 0;
    // A session answers any address, not only the one that opened it (for proxies that
    // spread one client over several addresses).
    bool any_source = false;
    // Where the operator's lines go (it outlives the server); none when null.
    CTunnelReport *report = nullptr;
};

// The config with every derived limit filled in.
CServerConfig EffectiveLimits(CServerConfig config);

struct CRequest;

class CTunnelServer {
public:
    explicit CTunnelServer(const CServerConfig &config);
    ~CTunnelServer();
    CTunnelServer(const CTunnelServer &) = delete;
    CTunnelServer &operator=(const CTunnelServer &) = delete;

    bool Start();
    void Stop();
    // The port the server answers on (the one the system chose for port 0); after Start.
    uint16_t BoundPort() const { return m_bound_port; }

    // Entry points of the HTTP library, public for its C callbacks.
    int OnRequest(MHD_Connection *conn, CRequest *req, const char *method,
                  const char *upload_data, size_t *upload_size);
    void OnCompleted(CRequest *req);

private:
    std::shared_ptr<CTunnelSession> NewSession(ESessionKind kind, MHD_Connection *conn);
    void ReportEnded(CTunnelSession &s);
    // The open session id names for a request from source, or null; a request that names
    // nothing of its own is answered alike whatever the reason (see NoSuchSession).
    std::shared_ptr<CTunnelSession> FindSession(uint32_t id, ESessionKind kind, uint32_t source);
    int NoSuchSession(MHD_Connection *conn, CRequest *req, uint32_t source);
    bool Expired(const CTunnelSession &s, Clock::time_point now) const;
    void Housekeeping();
    // Resumes conn, suspended on session, at deadline unless something did first.
    void ResumeAt(Clock::time_point deadline, const std::shared_ptr<CTunnelSession> &session,
                  MHD_Connection *conn);
    void HoldTimer();

    int Route(MHD_Connection *conn, CRequest *req, const char *method);
    int OnDetectorOpen(MHD_Connection *conn, CRequest *req);
    int OnSessionPost(MHD_Connection *conn, CRequest *req, uint32_t id, uint32_t source);
    int OnDetectorGet(MHD_Connection *conn, CRequest *req, uint32_t source);
    int OnBigPostUplinkStart(MHD_Connection *conn, CRequest *req, uint32_t source);
    int OnDetectorPost(MHD_Connection *conn, CRequest *req, const char *upload_data,
                       size_t *upload_size);
    int OnBigPostGet(MHD_Connection *conn, CRequest *req);
    int OnBigPostUplink(MHD_Connection *conn, CRequest *req, const char *upload_data,
                        size_t *upload_size);
    int OnSinglePostOpen(MHD_Connection *conn, CRequest *req, const char *upload_data,
                         size_t *upload_size);
    bool HoldPoll(CRequest *req, const CRdhttpExchange &ex, CTunnelSession &s, bool ended);
    int OnExchange(MHD_Connection *conn, CRequest *req, const char *upload_data,
                   size_t *upload_size);

    const CServerConfig m_config;
    MHD_Daemon *m_daemon = nullptr;
    uint16_t m_bound_port = 0;
    CTunnelGuard m_guard;
    // Guards m_sessions and m_detectors. It may be held while a session's lock is taken,
    // never the reverse.
    std::mutex m_mutex;
    std::map<uint32_t, std::shared_ptr<CTunnelSession>> m_sessions;
    int m_detectors = 0;
    uint64_t m_opened_count = 0;
    std::condition_variable m_stop_cv;
    bool m_stopping = false;
    std::thread m_housekeeper;

    struct CHeld {
        std::weak_ptr<CTunnelSession> session;
        MHD_Connection *conn;
    };
    // Guards m_held and m_hold_stop. It may be taken under a session's lock; no other lock is
    // taken under it.
    std::mutex m_hold_mutex;
    std::condition_variable m_hold_cv;
    bool m_hold_stop = false;
    std::multimap<Clock::time_point, CHeld> m_held;
    std::thread m_hold_timer;
};

}  // namespace qrntunnel

#endif
