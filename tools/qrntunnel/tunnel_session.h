// One tunnel or detector session of the tunnel server: the bytes waiting in each direction, the
// TCP connection to the target with a reader and a writer thread, and the HTTP connections
// suspended until the session has something for them.
//
// Lock rule: m_mutex guards every field; MHD connections are resumed only after it is released
// (MHD takes its own lock in resume, and calls our handlers while holding none of ours).
#ifndef QRN_TOOLS_QRNTUNNEL_TUNNEL_SESSION_H
#define QRN_TOOLS_QRNTUNNEL_TUNNEL_SESSION_H

#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qrnlibl/qrn_cirwin.h"
#include "tunnel_report.h"
#include "tunnel_target.h"

struct MHD_Connection;

namespace qrntunnel {

using Clock = std::chrono::steady_clock;

// Bytes queued in one direction, on the support library's ring: appended at the back, taken
// from the front, at most limit of them (storage grows only as far as they need).
class CByteQueue {
public:
    explicit CByteQueue(size_t limit) : m_ring(static_cast<int>(limit)) {}
    size_t Size() const { return static_cast<size_t>(m_ring.Used()); }
    bool Empty() const { return Size() == 0; }
    // Appends what fits under the limit; the count.
    size_t Append(const void *data, size_t len) {
        return static_cast<size_t>(m_ring.Write(data, static_cast<int>(len)));
    }
    // Copies up to len bytes from the front and drops them; the count.
    size_t Take(void *out, size_t len) {
        const int n = m_ring.Read(out, static_cast<int>(len));
        m_ring.Consume(n);
        return static_cast<size_t>(n);
    }

private:
    CQrnCirwin m_ring;
};

enum class ESessionKind { kDetector, kBigPost, kSinglePost };
enum class ETargetState { kNone, kConnecting, kConnected, kFailed };

struct CTargetConfig {
    uint32_t ip = 0;  // host order
    uint16_t port = 0;
    int connect_timeout_ms = 5000;
};

class CTunnelSession {
public:
    // Bytes held per direction before the sender is held back.
    static constexpr size_t kQueueLimit = 256 * 1024;
    static constexpr size_t kCopyChunk = 16 * 1024;
    static constexpr std::chrono::milliseconds kDrainLimit{5000};

    // source: the client address (host order) that opened it; label: the name it has in the
    // operator's lines.
    CTunnelSession(uint32_t id, ESessionKind kind, uint32_t source, uint64_t label = 0);
    ~CTunnelSession();
    CTunnelSession(const CTunnelSession &) = delete;
    CTunnelSession &operator=(const CTunnelSession &) = delete;

    uint32_t Id() const { return m_id; }
    ESessionKind Kind() const { return m_kind; }
    uint32_t Source() const { return m_source; }
    Clock::time_point Opened() const { return m_opened; }
    // How long it lasted, the bytes it carried and why it ended; final after Join.
    CSessionSummary Summary();

    // Starts the connect to the target and the two threads; false (the session closed) when
    // the threads cannot be had.
    bool StartTarget(const CTargetConfig &target);
    // Ends the session: every suspended request is resumed, and the target connection is shut
    // once the client's bytes already queued for it have gone out.
    void Close(const char *why);
    // Waits for the target threads (for the queued bytes at most kDrainLimit); only after
    // Close, never on an MHD thread.
    void Join();

    // Suspends conn until the session changes; the caller holds lock on m_mutex.
    void SuspendLocked(MHD_Connection *conn);
    void TouchLocked() { m_last_active = Clock::now(); }
    // Resumes every suspended request; call without m_mutex held.
    void WakeAll();
    // Resumes conn if it is still suspended here; call without m_mutex held.
    void Wake(MHD_Connection *conn);

    std::mutex m_mutex;
    std::condition_variable m_cv;  // the target threads wait on it
    bool m_closed = false;
    ETargetState m_target_state = ETargetState::kNone;
    bool m_target_eof = false;
    Clock::time_point m_last_active;
    // Each holds its limit and one more copy chunk: a reader that found room appends a chunk.
    CByteQueue m_down{kQueueLimit + kCopyChunk};  // from the target (or the detector's answers)
    CByteQueue m_up{kQueueLimit + kCopyChunk};    // from the client, for the target
    bool m_writing = false;      // the writer is sending bytes it took from m_up
    bool m_writer_done = false;  // the writer has shut the target after its last bytes

    // Large-post form: which requests the session has, and what the downlink has said.
    bool m_has_downlink = false;
    bool m_has_uplink = false;
    bool m_header_sent = false;
    bool m_ok_sent = false;

    // Detector form: echoes answered so far.
    int m_echoes = 0;

private:
    void ReaderThread(CTargetConfig target);
    void WriterThread();
    std::vector<MHD_Connection *> TakeWaitersLocked();

    const uint32_t m_id;
    const ESessionKind m_kind;
    const uint32_t m_source;
    const Clock::time_point m_opened;
    const uint64_t m_label;
    Clock::time_point m_closed_at;
    const char *m_why = "";
    std::atomic<uint64_t> m_bytes_up{0};
    std::atomic<uint64_t> m_bytes_down{0};
    CTargetStream m_target;
    std::thread m_reader;
    std::thread m_writer;
    std::vector<MHD_Connection *> m_waiters;
};

}  // namespace qrntunnel

#endif
