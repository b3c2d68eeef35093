// qrncat: netcat over libqrntp.
//
//   qrncat -l [--bind IP] [--udp P] [--tcp P] [--http P] [options]   listen, serve one client
//   qrncat HOST [--udp P] [--tcp P] [--http P] [--relay HOST:PORT]   connect
//   options: --trace FILE   -d (do not read standard input)   -q (no progress lines)
//            --udp-rate MBIT (reliable UDP finds the path's rate, up to MBIT Mbit/s)
//
// Standard input goes out on the stream; the stream comes out on standard output; events and
// progress go to standard error. The end of standard input closes the connection once the
// library has taken every byte. Exit status: 0 after a normal close (ours or the peer's),
// 1 when the connection fails or ends abnormally, 2 for bad arguments.
#include <errno.h>
#include <signal.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qrn/qrn_tp.h"
#include "qrnlibl/qrn_trace.h"
#include "qrn_tp_names.h"
#include "qrn_tp_writer.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr int kMaxPort = 65535;
constexpr int kMaxUdpRateMbit = 10000;
constexpr size_t kChunk = 32768;                 // one qrn_tp_send (its length is 16-bit)
constexpr unsigned kBufferSize = 256 * 1024;     // announced to the peer
constexpr size_t kQueueHighWater = 8u << 20;     // received bytes waiting for standard output
constexpr int kRefuseBusy = 1000;                // refusal code for a second client
constexpr std::chrono::milliseconds kProgressPeriod{2000};
// The library gives up on an unanswered close after 30 s; its word comes a little later.
constexpr auto kLingerLimit = std::chrono::seconds(40);
constexpr int kNoCloseResult = -1;

const char kUsage[] =
    "usage: qrncat -l [--bind IP] [--udp P] [--tcp P] [--http P] [--udp-rate MBIT] [--trace FILE]"
    " [-d] [-q]\n"
    "       qrncat HOST [--udp P] [--tcp P] [--http P] [--relay HOST:PORT] [--udp-rate MBIT]"
    " [--trace FILE] [-d] [-q]\n";

struct SOptions {
    bool listen = false;
    bool no_stdin = false;
    bool quiet = false;
    std::string host;
    std::string bind_ip;
    std::string relay_host;
    int relay_port = 0;
    std::string trace_file;
    int udp_port = 0;
    int tcp_port = 0;
    int http_port = 0;
    int udp_rate_mbit = 0;  // 0: the original reliable-UDP rate rules
};

bool ParsePort(const std::string &text, int *port) {
    bool digits = text.find_first_not_of("0123456789") == std::string::npos;
    if (text.empty() || text.size() > 5 || !digits) return false;
    int value = std::atoi(text.c_str());
    if (value < 1 || value > kMaxPort) return false;
    *port = value;
    return true;
}

bool ParseRate(const std::string &text, int *mbit) {
    bool digits = text.find_first_not_of("0123456789") == std::string::npos;
    if (text.empty() || text.size() > 5 || !digits) return false;
    int value = std::atoi(text.c_str());
    if (value < 1 || value > kMaxUdpRateMbit) return false;
    *mbit = value;
    return true;
}

bool ParseRelay(const std::string &text, SOptions *opt) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    opt->relay_host = text.substr(0, colon);
    return ParsePort(text.substr(colon + 1), &opt->relay_port);
}

// Fills opt from the command line; on failure returns false with a one-line reason.
bool ParseArgs(int argc, char **argv, SOptions *opt, std::string *error) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool has_value = i + 1 < argc;
        auto value = [&]() { return std::string(argv[++i]); };
        if (arg == "-l") {
            opt->listen = true;
        } else if (arg == "-d") {
            opt->no_stdin = true;
        } else if (arg == "-q") {
            opt->quiet = true;
        } else if (arg == "--bind" || arg == "--trace" || arg == "--relay" || arg == "--udp" ||
                   arg == "--tcp" || arg == "--http" || arg == "--udp-rate") {
            if (!has_value) {
                *error = arg + " needs a value";
                return false;
            }
            std::string v = value();
            bool ok = true;
            if (arg == "--bind") opt->bind_ip = v;
            else if (arg == "--trace") opt->trace_file = v;
            else if (arg == "--relay") ok = ParseRelay(v, opt);
            else if (arg == "--udp") ok = ParsePort(v, &opt->udp_port);
            else if (arg == "--tcp") ok = ParsePort(v, &opt->tcp_port);
            else if (arg == "--udp-rate") ok = ParseRate(v, &opt->udp_rate_mbit);
            else ok = ParsePort(v, &opt->http_port);
            if (!ok) {
                *error = "bad value for " + arg + ": '" + v + "'";
                return false;
            }
        } else if (!arg.empty() && arg[0] == '-') {
            *error = "unknown option " + arg;
            return false;
        } else if (opt->host.empty()) {
            opt->host = arg;
        } else {
            *error = "unexpected argument '" + arg + "'";
            return false;
        }
    }
    if (opt->udp_port == 0 && opt->tcp_port == 0 && opt->http_port == 0) {
        *error = "give at least one of --udp, --tcp, --http";
        return false;
    }
    if (opt->listen && !opt->host.empty()) {
        *error = "-l takes no host (use --bind)";
        return false;
    }
    if (opt->listen && !opt->relay_host.empty()) {
        *error = "--relay is for connecting";
        return false;
    }
    if (!opt->listen && opt->host.empty()) {
        *error = "no host to connect to";
        return false;
    }
    if (!opt->listen && !opt->bind_ip.empty()) {
        *error = "--bind is for listening";
        return false;
    }
    return true;
}

void Note(const char *format, ...) __attribute__((format(printf, 1, 2)));
void Note(const char *format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof(line), format, args);
    va_end(args);
    fprintf(stderr, "qrncat: %s\n", line);
}

bool WriteAll(int fd, const char *data, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

enum class EEvent { kOpened, kConnectFailed, kData, kDatagram, kClosed, kFinished };

struct SEvent {
    EEvent kind;
    uintptr_t value = 0;
    std::vector<char> data;
};

// Hands events from the library's threads to the main thread in order. Stream data beyond the
// high-water mark holds the delivering thread back until standard output catches up: the
// stream has no other back-pressure towards the peer, and dropping bytes is not an option.
class CEventQueue {
public:
    void Push(SEvent ev) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (ev.kind == EEvent::kData) {
            m_room.wait(lock, [&] { return m_bytes < kQueueHighWater; });
            m_bytes += ev.data.size();
        }
        m_events.push_back(std::move(ev));
        m_ready.notify_one();
    }

    // False when nothing arrived within the period.
    bool Pop(SEvent *ev, std::chrono::milliseconds period) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_ready.wait_for(lock, period, [&] { return !m_events.empty(); })) return false;
        *ev = std::move(m_events.front());
        m_events.pop_front();
        if (ev->kind == EEvent::kData) {
            m_bytes -= ev->data.size();
            m_room.notify_all();
        }
        return true;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::condition_variable m_room;
    std::deque<SEvent> m_events;
    size_t m_bytes = 0;
};

class CCatSession {
public:
    explicit CCatSession(const SOptions &opt) : m_opt(opt) {}

    int Run() {
        if (!Start()) return kExitFailed;
        auto last_progress = std::chrono::steady_clock::now();
        for (;;) {
            SEvent ev;
            bool got = m_queue.Pop(&ev, kProgressPeriod);
            auto now = std::chrono::steady_clock::now();
            if (now - last_progress >= kProgressPeriod) {
                ReportProgress();
                last_progress = now;
            }
            if (!got) continue;
            int exit_code = Handle(ev);
            if (exit_code >= 0) return exit_code;
        }
    }

private:
    static int Callback(uintptr_t user, int msg, uintptr_t handle, uintptr_t p1, uintptr_t p2,
                        uintptr_t p3) {
        reinterpret_cast<CCatSession *>(user)->OnEvent(msg, static_cast<int>(handle), p1, p2, p3);
        return 0;
    }

    bool Start() {
        auto user = reinterpret_cast<uintptr_t>(this);
        if (m_opt.udp_rate_mbit != 0 &&
            qrn_tp_option(0, QRN_TP_OPT_UDP_RATE, static_cast<uintptr_t>(m_opt.udp_rate_mbit)) != QRN_TP_OK) {
            Note("cannot set the UDP rate");
            return false;
        }
        if (m_opt.listen) {
            const char *bind_ip = m_opt.bind_ip.empty() ? nullptr : m_opt.bind_ip.c_str();
            int r = qrn_tp_listen(bind_ip, m_opt.udp_port, m_opt.tcp_port, m_opt.http_port,
                                  &Callback, user);
            if (r != QRN_TP_OK) {
                const char *path = r == QRN_TP_LISTEN_UDP_FAILED   ? "UDP"
                                   : r == QRN_TP_LISTEN_TCP_FAILED ? "TCP"
                                                                   : "HTTP";
                Note("cannot listen on the %s port (error %d)", path, r);
                return false;
            }
            Note("listening on %s udp %d tcp %d http %d",
                 bind_ip ? bind_ip : "any address", m_opt.udp_port, m_opt.tcp_port,
                 m_opt.http_port);
            return true;
        }
        const char *relay = m_opt.relay_host.empty() ? nullptr : m_opt.relay_host.c_str();
        int h = qrn_tp_connect(m_opt.host.c_str(), m_opt.udp_port, m_opt.tcp_port,
                               m_opt.http_port, relay, m_opt.relay_port, &Callback, user,
                               kBufferSize, 0, nullptr);
        if (h == 0) {
            Note("cannot start a connection to %s (unknown host or unusable ports)",
                 m_opt.host.c_str());
            return false;
        }
        AdoptHandle(h);
        return true;
    }

    void OnEvent(int msg, int handle, uintptr_t p1, uintptr_t p2, uintptr_t p3) {
        if (msg == QRN_TP_MSG_CONNECT_REQUEST) {
            OnConnectRequest(handle);
            return;
        }
        // The connect result may arrive on a library thread before qrn_tp_connect returns.
        if (!m_opt.listen) AdoptHandle(handle);
        if (handle != m_handle) return;
        switch (msg) {
            case QRN_TP_MSG_CONNECT_RESULT:
                if (p1 == QRN_TP_CONNECT_ACCEPTED) {
                    m_queue.Push({EEvent::kOpened, 0, {}});
                } else {
                    m_writer.End();
                    m_queue.Push({EEvent::kConnectFailed, p1, {}});
                }
                break;
            case QRN_TP_MSG_DATA: {
                const char *data = reinterpret_cast<const char *>(p3);
                EEvent kind = p1 == QRN_TP_DATA_DATAGRAM ? EEvent::kDatagram : EEvent::kData;
                if (kind == EEvent::kData) m_received += p2;
                m_queue.Push({kind, p2, std::vector<char>(data, data + p2)});
                break;
            }
            case QRN_TP_MSG_WRITABLE:
                m_writer.OnWritable();
                break;
            case QRN_TP_MSG_CLOSED:
                m_writer.End();
                m_queue.Push({EEvent::kClosed, p1, {}});
                break;
            case QRN_TP_MSG_CLOSE_DONE: {
                std::lock_guard<std::mutex> lock(m_close_mutex);
                m_close_result = static_cast<int>(p1);
                m_close_cv.notify_all();
                break;
            }
            default:
                break;
        }
    }

    void AdoptHandle(int handle) {
        int expected = 0;
        if (m_handle.compare_exchange_strong(expected, handle)) m_writer.SetHandle(handle);
    }

    // Serves the first client; later ones are refused while it lasts.
    void OnConnectRequest(int handle) {
        int expected = 0;
        if (!m_opt.listen || !m_handle.compare_exchange_strong(expected, handle)) {
            qrn_tp_accept(handle, kRefuseBusy, 0, 0, nullptr);
            return;
        }
        m_writer.SetHandle(handle);
        int r = qrn_tp_accept(handle, QRN_TP_ACCEPT, kBufferSize, 0, nullptr);
        if (r != QRN_TP_OK) {
            Note("cannot accept the connection (error %d)", r);
            m_queue.Push({EEvent::kFinished, kExitFailed, {}});
            return;
        }
        m_queue.Push({EEvent::kOpened, 0, {}});
    }

    // Returns the exit code when the event ends the program, else -1.
    int Handle(const SEvent &ev) {
        switch (ev.kind) {
            case EEvent::kOpened:
                ReportOpened();
                if (!m_opt.no_stdin) std::thread(&CCatSession::SendInput, this).detach();
                return -1;
            case EEvent::kConnectFailed:
                ReportConnectFailure(ev.value);
                return kExitFailed;
            case EEvent::kData:
                if (!WriteAll(STDOUT_FILENO, ev.data.data(), ev.data.size())) {
                    Note("cannot write standard output: %s", strerror(errno));
                    qrn_tp_close(m_handle, QRN_TP_CLOSE_NORMAL);
                    return kExitFailed;
                }
                return -1;
            case EEvent::kDatagram:
                Note("datagram of %zu bytes (not part of the stream)", ev.data.size());
                return -1;
            case EEvent::kClosed:
                Note("connection ended: reason %d (%s); sent %llu, received %llu bytes",
                     static_cast<int>(ev.value), qrntool::ReasonName(ev.value), Sent(), Received());
                return ev.value == QRN_TP_REASON_PEER_CLOSED ? kExitOk : kExitFailed;
            case EEvent::kFinished:
                return static_cast<int>(ev.value);
        }
        return -1;
    }

    void ReportOpened() {
        uintptr_t mode = 0;
        qrn_tp_option(m_handle, QRN_TP_OPT_CONN_MODE, reinterpret_cast<uintptr_t>(&mode));
        mode &= 0xff;  // the option writes 8 bits or more into the zeroed word
        if (!m_opt.listen) {
            Note("connected to %s over %s", m_opt.host.c_str(), qrntool::ModeName(mode));
            return;
        }
        uintptr_t ip = 0, port = 0;
        qrn_tp_option(m_handle, QRN_TP_OPT_PEER_IP, reinterpret_cast<uintptr_t>(&ip));
        qrn_tp_option(m_handle, QRN_TP_OPT_PEER_PORT, reinterpret_cast<uintptr_t>(&port));
        ip &= 0xffffffffu;
        port &= 0xffff;
        Note("accepted %u.%u.%u.%u:%u over %s", static_cast<unsigned>(ip >> 24),
             static_cast<unsigned>((ip >> 16) & 0xff), static_cast<unsigned>((ip >> 8) & 0xff),
             static_cast<unsigned>(ip & 0xff), static_cast<unsigned>(port), qrntool::ModeName(mode));
    }

    void ReportConnectFailure(uintptr_t code) {
        const char *target = m_opt.listen ? "the client" : m_opt.host.c_str();
        if (code == QRN_TP_REASON_PATH_FAILED)
            Note("cannot reach %s: no path to the server (reason 2)", target);
        else if (code == QRN_TP_REASON_VERSION_REFUSED || code <= QRN_TP_REASON_SESSION_LEFT)
            Note("connection to %s failed: %s (reason %d)", target, qrntool::ReasonName(code),
                 static_cast<int>(code));
        else
            Note("%s refused the connection (code %d)", target, static_cast<int>(code));
    }

    void ReportProgress() {
        if (m_opt.quiet) return;
        unsigned long long sent = Sent(), received = Received();
        if (sent == m_reported_sent && received == m_reported_received) return;
        m_reported_sent = sent;
        m_reported_received = received;
        Note("sent %llu, received %llu bytes", sent, received);
    }

    // Runs on its own thread: standard input to the stream, then the close.
    void SendInput() {
        std::vector<char> buf(kChunk);
        bool input_ok = true;
        for (;;) {
            ssize_t n = read(STDIN_FILENO, buf.data(), buf.size());
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                Note("cannot read standard input: %s", strerror(errno));
                input_ok = false;
            }
            if (n <= 0) break;
            // A refused send means the connection ended: its close event reports why.
            if (!m_writer.SendAll(buf.data(), static_cast<size_t>(n))) return;
        }
        // The library delivers the tail and the close in the background; the process must not
        // end before they are through, or they would go with it.
        qrn_tp_option(m_handle, QRN_TP_OPT_CLOSE_NOTICE, 1);
        // A connection that ended meanwhile has its close event on the way instead.
        if (qrn_tp_close(m_handle, QRN_TP_CLOSE_NORMAL) != QRN_TP_OK) return;
        const int result = WaitCloseDone();
        const bool delivered = result == QRN_TP_CLOSE_DELIVERED;
        if (delivered)
            Note("end of input: closed; sent %llu, received %llu bytes", Sent(), Received());
        else if (result == kNoCloseResult)
            Note("no word of the close %d s after it", static_cast<int>(kLingerLimit.count()));
        else
            Note("end of input: the peer did not confirm the close (reason %d); sent %llu bytes",
                 result, Sent());
        m_queue.Push({EEvent::kFinished,
                      static_cast<uintptr_t>(input_ok && delivered ? kExitOk : kExitFailed), {}});
    }

    int WaitCloseDone() {
        std::unique_lock<std::mutex> lock(m_close_mutex);
        m_close_cv.wait_for(lock, kLingerLimit, [&] { return m_close_result != kNoCloseResult; });
        return m_close_result;
    }

    unsigned long long Sent() const { return m_writer.Sent(); }
    unsigned long long Received() const { return m_received.load(); }

    const SOptions m_opt;
    std::atomic<int> m_handle{0};
    CEventQueue m_queue;
    CTpWriter m_writer;
    std::atomic<unsigned long long> m_received{0};
    std::mutex m_close_mutex;
    std::condition_variable m_close_cv;
    int m_close_result = kNoCloseResult;
    unsigned long long m_reported_sent = 0;
    unsigned long long m_reported_received = 0;
};

}  // namespace

int main(int argc, char **argv) {
    SOptions opt;
    std::string error;
    if (!ParseArgs(argc, argv, &opt, &error)) {
        fprintf(stderr, "qrncat: %s\n%s", error.c_str(), kUsage);
        return kExitUsage;
    }
    // A closed standard output shows as a write error, not as a silent death.
    signal(SIGPIPE, SIG_IGN);
    if (!opt.trace_file.empty() && qrn_trace_open(opt.trace_file.c_str()) != 0) {
        Note("cannot open the trace file %s", opt.trace_file.c_str());
        return kExitUsage;
    }
    int r = qrn_tp_init();
    if (r != QRN_TP_OK) {
        Note("cannot start the library (error %d)", r);
        return kExitFailed;
    }
    CCatSession session(opt);
    int code = session.Run();
    fflush(stdout);
    fflush(stderr);
    qrn_trace_close();
    // The library's threads run until the process ends and may still be inside a callback
    // that refers to the session: leave without running any destructor under them.
    std::_Exit(code);
}
