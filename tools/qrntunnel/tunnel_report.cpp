#include "tunnel_report.h"

#include <stdio.h>

#include "qrnlibl/qrn_trace.h"
#include "tunnel_session.h"

namespace qrntunnel {

namespace {

constexpr double kUnitStep = 1000.0;
const char *const kByteUnits[] = {"kB", "MB", "GB", "TB"};
constexpr size_t kMaxLibraryMessage = 512;
const char kProgram[] = "qrntunnel: ";

}  // namespace

std::string FormatAddress(uint32_t ip, uint16_t port) {
    char text[sizeof("255.255.255.255:65535")];
    snprintf(text, sizeof(text), "%u.%u.%u.%u:%u", (ip >> 24) & 0xFFu, (ip >> 16) & 0xFFu,
             (ip >> 8) & 0xFFu, ip & 0xFFu, static_cast<unsigned>(port));
    return text;
}

std::string FormatBytes(uint64_t bytes) {
    char text[32];
    if (bytes < kUnitStep) {
        snprintf(text, sizeof(text), "%llu B", static_cast<unsigned long long>(bytes));
        return text;
    }
    double value = static_cast<double>(bytes) / kUnitStep;
    size_t unit = 0;
    while (value >= kUnitStep && unit + 1 < sizeof(kByteUnits) / sizeof(kByteUnits[0])) {
        value /= kUnitStep;
        ++unit;
    }
    snprintf(text, sizeof(text), "%.1f %s", value, kByteUnits[unit]);
    return text;
}

const char *SessionKindName(ESessionKind kind) {
    switch (kind) {
    case ESessionKind::kDetector: return "detector";
    case ESessionKind::kBigPost: return "large post";
    case ESessionKind::kSinglePost: return "single post";
    }
    return "unknown";
}

void CTunnelReport::Line(const std::string &text) {
    const std::string line = kProgram + text + "\n";
    fputs(line.c_str(), stderr);
    fflush(stderr);
}

void CTunnelReport::SessionOpened(uint64_t label, uint32_t source, uint16_t source_port,
                                  ESessionKind kind) {
    if (!m_sessions) return;
    Line("session " + std::to_string(label) + " opened from " +
         FormatAddress(source, source_port) + " (" + SessionKindName(kind) + ")");
}

void CTunnelReport::SessionEnded(const CSessionSummary &s) {
    if (!m_sessions) return;
    const double seconds = std::chrono::duration<double>(s.lasted).count();
    char lasted[32];
    snprintf(lasted, sizeof(lasted), "%.1f s", seconds);
    Line("session " + std::to_string(s.label) + " ended after " + lasted + ", " +
         FormatBytes(s.bytes_up) + " up, " + FormatBytes(s.bytes_down) + " down (" + s.why + ")");
}

void CTunnelReport::LibraryMessage(const char *format, va_list args) {
    char text[kMaxLibraryMessage];
    vsnprintf(text, sizeof(text), format, args);
    std::string message(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
        message.pop_back();
    }
    qrn_trace_text("qrntunnel: libmicrohttpd: ", message.c_str());
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_last_library_message = message;
    }
    if (m_library) Line("libmicrohttpd: " + message);
}

std::string CTunnelReport::LastLibraryMessage() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_last_library_message;
}

}  // namespace qrntunnel
