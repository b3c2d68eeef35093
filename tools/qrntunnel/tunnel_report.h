// What the tunnel server tells its operator on standard error: where it listens, a line for
// each session opened and ended, and, only when asked, the HTTP library's own messages.
// Lines come from any thread; each is written whole.
#ifndef QRN_TOOLS_QRNTUNNEL_TUNNEL_REPORT_H
#define QRN_TOOLS_QRNTUNNEL_TUNNEL_REPORT_H

#include <stdarg.h>
#include <stdint.h>

#include <chrono>
#include <mutex>
#include <string>

namespace qrntunnel {

enum class ESessionKind;

// "127.0.0.1:8080" from a host-order address and port.
std::string FormatAddress(uint32_t ip_host_order, uint16_t port);
// "512 B", "12.3 kB", "5.2 MB", "1.4 GB".
std::string FormatBytes(uint64_t bytes);
const char *SessionKindName(ESessionKind kind);

struct CSessionSummary {
    uint64_t label = 0;  // a counter, never the session's id: that is the session's secret
    std::chrono::steady_clock::duration lasted{};
    uint64_t bytes_up = 0;    // from the client to the target
    uint64_t bytes_down = 0;  // from the target to the client
    const char *why = "";
};

class CTunnelReport {
public:
    // sessions: the lines for sessions; library: the HTTP library's messages as well.
    CTunnelReport(bool sessions, bool library) : m_sessions(sessions), m_library(library) {}

    void Line(const std::string &text);
    void SessionOpened(uint64_t label, uint32_t source, uint16_t source_port, ESessionKind kind);
    void SessionEnded(const CSessionSummary &summary);
    // One message of the HTTP library: always to the trace file, to standard error only when
    // asked; the last one is kept to explain a failed start.
    void LibraryMessage(const char *format, va_list args);
    std::string LastLibraryMessage();

private:
    const bool m_sessions;
    const bool m_library;
    std::mutex m_mutex;
    std::string m_last_library_message;
};

}  // namespace qrntunnel

#endif
