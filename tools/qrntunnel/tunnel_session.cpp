#include "tunnel_session.h"

#include <microhttpd.h>
#include <string.h>

#include <algorithm>
#include <memory>
#include <system_error>

#include "qrnlibl/qrn_trace.h"

namespace qrntunnel {

CTunnelSession::CTunnelSession(uint32_t id, ESessionKind kind, uint32_t source, uint64_t label)
    : m_last_active(Clock::now()), m_id(id), m_kind(kind), m_source(source),
      m_opened(m_last_active), m_label(label), m_closed_at(m_opened) {}

CTunnelSession::~CTunnelSession() {
    Close("session destroyed");
    Join();
}

bool CTunnelSession::StartTarget(const CTargetConfig &target) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_target_state = ETargetState::kConnecting;
        try {
            m_writer = std::thread(&CTunnelSession::WriterThread, this);
            m_reader = std::thread(&CTunnelSession::ReaderThread, this, target);
            return true;
        } catch (const std::system_error &) {
            // Out of threads: the writer, if it started, ends with the session.
            m_target_state = ETargetState::kFailed;
        }
    }
    QRN_TRACE_ERROR("qrntunnel: no thread for a session, id=", m_id);
    Close("no thread for the target");
    return false;
}

void CTunnelSession::Close(const char *why) {
    bool drain;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed) return;
        m_closed = true;
        m_closed_at = Clock::now();
        m_why = why;
        // A client's last bytes (its closing record among them) are the target's: a client
        // that closes its requests right after them must not lose them here.
        drain = m_target_state == ETargetState::kConnected && (!m_up.Empty() || m_writing);
    }
    qrn_trace_text("qrntunnel: session closed, id=", m_id, ", reason=", why, ", draining=", drain ? 1u : 0u);
    if (!drain) m_target.Shutdown();
    m_cv.notify_all();
    WakeAll();
}

void CTunnelSession::Join() {
    if (m_writer.joinable()) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_cv.wait_for(lock, kDrainLimit, [this] { return m_writer_done; });
    }
    m_target.Shutdown();
    if (m_reader.joinable()) m_reader.join();
    if (m_writer.joinable()) m_writer.join();
}

CSessionSummary CTunnelSession::Summary() {
    CSessionSummary summary;
    summary.label = m_label;
    summary.bytes_up = m_bytes_up;
    summary.bytes_down = m_bytes_down;
    std::lock_guard<std::mutex> lock(m_mutex);
    summary.lasted = (m_closed ? m_closed_at : Clock::now()) - m_opened;
    summary.why = m_why;
    return summary;
}

void CTunnelSession::SuspendLocked(MHD_Connection *conn) {
    m_waiters.push_back(conn);
    MHD_suspend_connection(conn);
}

std::vector<MHD_Connection *> CTunnelSession::TakeWaitersLocked() {
    std::vector<MHD_Connection *> waiters;
    waiters.swap(m_waiters);
    return waiters;
}

void CTunnelSession::WakeAll() {
    std::vector<MHD_Connection *> waiters;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        waiters = TakeWaitersLocked();
    }
    for (MHD_Connection *conn : waiters) MHD_resume_connection(conn);
}

void CTunnelSession::Wake(MHD_Connection *conn) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = std::find(m_waiters.begin(), m_waiters.end(), conn);
        if (it == m_waiters.end()) return;
        m_waiters.erase(it);
    }
    MHD_resume_connection(conn);
}

void CTunnelSession::ReaderThread(CTargetConfig target) {
    bool up = m_target.Connect(target.ip, target.port, target.connect_timeout_ms);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_target_state = up ? ETargetState::kConnected : ETargetState::kFailed;
    }
    qrn_trace_text("qrntunnel: target connect, id=", m_id, ", connected=", up ? 1u : 0u);
    m_cv.notify_all();
    WakeAll();
    if (!up) {
        Close("target connect failed");
        return;
    }
    // Left uninitialised: an idle session's buffer pages are never touched, so never resident.
    std::unique_ptr<uint8_t[]> buf(new uint8_t[kCopyChunk]);
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cv.wait(lock, [this] { return m_closed || m_down.Size() < kQueueLimit; });
            if (m_closed) return;
        }
        int n = m_target.Recv(buf.get(), static_cast<int>(kCopyChunk));
        if (n <= 0) break;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_down.Append(buf.get(), static_cast<size_t>(n));
        }
        m_bytes_down += static_cast<uint64_t>(n);
        WakeAll();
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_target_eof = true;
    }
    qrn_trace_text("qrntunnel: target ended its stream, id=", m_id);
    // The client still gets what is queued; the downlink ends once it is drained.
    WakeAll();
}

void CTunnelSession::WriterThread() {
    std::unique_ptr<uint8_t[]> buf(new uint8_t[kCopyChunk]);
    for (;;) {
        size_t n = 0;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cv.wait(lock, [this] {
                return m_closed || (m_target_state == ETargetState::kConnected && !m_up.Empty());
            });
            if (m_target_state != ETargetState::kConnected || m_up.Empty()) break;  // closed
            n = m_up.Take(buf.get(), kCopyChunk);
            m_writing = true;
        }
        // Room in the uplink queue: a held-back upload may go on.
        WakeAll();
        const bool sent = m_target.SendAll(buf.get(), static_cast<int>(n));
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_writing = false;
        }
        if (!sent) {
            Close("target send failed");
            break;
        }
        m_bytes_up += n;
    }
    m_target.Shutdown();
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_writer_done = true;
    }
    m_cv.notify_all();
}

}  // namespace qrntunnel
