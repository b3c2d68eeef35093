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

#include "tunnel_session.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace qrntunnel {

struct CServerConfig {
    uint32_t listen_ip = 0x7f000001;  // host order
    uint16_t listen_port = 0;
    CTargetConfig target;
    int max_sessions = 64;
    int idle_timeout_ms = 60000;
    // How long a single-post poll may wait for data before it gets an empty reply.
    int hold_ms = 0;
};

struct CRequest;

class CTunnelServer {
public:
    explicit CTunnelServer(const CServerConfig &config);
    ~CTunnelServer();
    CTunnelServer(const CTunnelServer &) = delete;
    CTunnelServer &operator=(const CTunnelServer &) = delete;

    bool Start();
    void Stop();

    // Entry points of the HTTP library, public for its C callbacks.
    int OnRequest(MHD_Connection *conn, CRequest *req, const char *method,
                  const char *upload_data, size_t *upload_size);
    void OnCompleted(CRequest *req);

private:
    std::shared_ptr<CTunnelSession> NewSession(ESessionKind kind);
    std::shared_ptr<CTunnelSession> FindSession(uint32_t id, ESessionKind kind);
    void Housekeeping();
    // Resumes conn, suspended on session, at deadline unless something did first.
    void ResumeAt(Clock::time_point deadline, const std::shared_ptr<CTunnelSession> &session,
                  MHD_Connection *conn);
    void HoldTimer();

    int Route(MHD_Connection *conn, CRequest *req, const char *method);
    int RouteDetector(MHD_Connection *conn, CRequest *req, bool get, const std::string &query);
    int RouteTunnel(MHD_Connection *conn, CRequest *req, bool get, const std::string &query);
    int OnDetectorGet(MHD_Connection *conn, CRequest *req);
    int OnDetectorPostStart(MHD_Connection *conn, CRequest *req);
    int OnBigPostUplinkStart(MHD_Connection *conn, CRequest *req);
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
    // Guards m_sessions. It may be held while a session's lock is taken, never the reverse.
    std::mutex m_mutex;
    std::map<uint32_t, std::shared_ptr<CTunnelSession>> m_sessions;
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
