// qrncat: netcat over libqrntp.
//
//   qrncat -l [--bind IP] [--udp P] [--tcp P] [options]              listen, serve one client
//   qrncat HOST [--udp P] [--tcp P] [--http P] [--relay HOST:PORT]   connect
//          [--race-stagger MS]                                         (--http with --udp/--tcp: a race)
//   options: --trace FILE   -d (do not read standard input)   -q (no progress lines)
//            --udp-rate MBIT (reliable UDP finds the path's rate, up to MBIT Mbit/s)
//
// Standard input goes out on the stream; the stream comes out on standard output; events and
// progress go to standard error, a line for each path lost, resumed or changed among them.
// Between two qrncats the stream is framed (qrncat_frames.h),
// so that the end of one side's input is a half-close; with any other peer the end of
// standard input closes the connection once the library has taken every byte. Exit status: 0
// when everything taken was delivered and the peer's stream ended whole, 1 when the
// connection fails, ends early or is interrupted, 2 for bad arguments.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
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
#include "qrncat_frames.h"
#include "qrncat_options.h"

namespace {

using namespace qrncat;

constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

constexpr size_t kChunk = 32768;                 // one read of standard input, one frame
constexpr unsigned kBufferSize = 256 * 1024;     // announced to the peer
constexpr size_t kQueueHighWater = 8u << 20;     // received bytes waiting for standard output
constexpr int kRefuseBusy = 1000;                // refusal code for a second client
constexpr std::chrono::milliseconds kProgressPeriod{2000};
// The library gives up on an unanswered close after 30 s; its word comes a little later.
constexpr auto kLingerLimit = std::chrono::seconds(40);
// After Ctrl-C the close is made at once; the process waits this long for it to go out.
constexpr auto kInterruptLinger = std::chrono::seconds(3);
constexpr int kNoCloseResult = -1;
constexpr double kBitsPerMegabit = 1e6;

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

// Why a listening port could not be taken: the system's answer to a bind of our own.
std::string WhyNotListening(const std::string &bind_ip, int port, bool udp) {
    const int fd = ::socket(AF_INET, udp ? SOCK_DGRAM : SOCK_STREAM, 0);
    if (fd < 0) return strerror(errno);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (bind_ip.empty() || inet_pton(AF_INET, bind_ip.c_str(), &a.sin_addr) != 1) a.sin_addr.s_addr = htonl(INADDR_ANY);
    const int r = ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a));
    const int error = errno;
    ::close(fd);
    return r == 0 ? "the library could not use it" : strerror(error);
}

enum class EEvent { kOpened, kConnectFailed, kData, kDatagram, kClosed, kPath, kInputDone, kFinished, kInterrupted };

// kOpened's value: whether the line is a connect of ours, to be completed with its time.
constexpr uintptr_t kOpenedByConnect = 1;
// kInputDone's value beside kExitOk and kExitFailed: the connection ended before the library
// took all of standard input.
constexpr uintptr_t kInputCut = 3;

struct SEvent {
    EEvent kind;
    uintptr_t value = 0;     // kPath: QRN_TP_PATH_...
    std::vector<char> data;  // the bytes, or for kOpened and kConnectFailed a line of text
    uintptr_t kind_now = 0;  // kPath: the kinds of path (QRN_TP_CONN_MODE_...)
    uintptr_t kind_before = 0;
    // When the library told us: the main thread may see it much later.
    std::chrono::steady_clock::time_point at = std::chrono::steady_clock::now();
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

std::vector<char> Text(const std::string &s) { return std::vector<char>(s.begin(), s.end()); }

std::string Address(uintptr_t ip, uintptr_t port) {
    char text[32];
    snprintf(text, sizeof(text), "%u.%u.%u.%u:%u", static_cast<unsigned>((ip >> 24) & 0xff),
             static_cast<unsigned>((ip >> 16) & 0xff), static_cast<unsigned>((ip >> 8) & 0xff),
             static_cast<unsigned>(ip & 0xff), static_cast<unsigned>(port & 0xffff));
    return text;
}

class CCatSession {
public:
    explicit CCatSession(const SOptions &opt) : m_opt(opt), m_start(std::chrono::steady_clock::now()) {}

    int Run() {
        if (!Start()) return kExitFailed;
        auto last_progress = std::chrono::steady_clock::now();
        for (;;) {
            SEvent ev;
            bool got = m_queue.Pop(&ev, kProgressPeriod);
            auto now = std::chrono::steady_clock::now();
            if (now - last_progress >= kProgressPeriod) {
                ReportProgress(now - last_progress);
                last_progress = now;
            }
            if (!got) continue;
            int exit_code = Handle(ev);
            if (exit_code >= 0) return exit_code;
        }
    }

    // From the signal thread.
    void Interrupt(int sig) { m_queue.Push({EEvent::kInterrupted, static_cast<uintptr_t>(sig), {}}); }

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
        if (m_opt.race_stagger_ms >= 0 &&
            qrn_tp_option(0, QRN_TP_OPT_RACE_STAGGER, static_cast<uintptr_t>(m_opt.race_stagger_ms)) != QRN_TP_OK) {
            Note("cannot set the race stagger");
            return false;
        }
        if (m_opt.listen) {
            const char *bind_ip = m_opt.bind_ip.empty() ? nullptr : m_opt.bind_ip.c_str();
            int r = qrn_tp_listen(bind_ip, m_opt.udp_port, m_opt.tcp_port, 0, &Callback, user);
            if (r != QRN_TP_OK) {
                const bool udp = r == QRN_TP_LISTEN_UDP_FAILED;
                const int port = udp ? m_opt.udp_port : m_opt.tcp_port;
                Note("cannot listen on %s port %d: %s", udp ? "UDP" : "TCP", port,
                     WhyNotListening(m_opt.bind_ip, port, udp).c_str());
                return false;
            }
            Note("listening on %s udp %d tcp %d", bind_ip ? bind_ip : "any address", m_opt.udp_port,
                 m_opt.tcp_port);
            return true;
        }
        const char *relay = m_opt.relay_host.empty() ? nullptr : m_opt.relay_host.c_str();
        m_connect_start = std::chrono::steady_clock::now();
        int h = qrn_tp_connect(m_opt.host.c_str(), m_opt.udp_port, m_opt.tcp_port, m_opt.http_port, relay,
                               m_opt.relay_port, &Callback, user, kBufferSize, static_cast<int>(kFramesHelloLen),
                               kFramesHello);
        if (h == 0) {
            Note("cannot start a connection to %s (unknown host or unusable ports)", m_opt.host.c_str());
            return false;
        }
        AdoptHandle(h);
        qrn_tp_option(h, QRN_TP_OPT_PATH_EVENTS, 1);
        return true;
    }

    void OnEvent(int msg, int handle, uintptr_t p1, uintptr_t p2, uintptr_t p3) {
        if (msg == QRN_TP_MSG_CONNECT_REQUEST) {
            OnConnectRequest(handle, p2, p3);
            return;
        }
        // The connect result may arrive on a library thread before qrn_tp_connect returns.
        if (!m_opt.listen) AdoptHandle(handle);
        if (handle != m_handle) return;
        switch (msg) {
            case QRN_TP_MSG_CONNECT_RESULT:
                OnConnectResult(handle, p1, p2, p3);
                break;
            case QRN_TP_MSG_DATA: {
                const char *data = reinterpret_cast<const char *>(p3);
                EEvent kind = p1 == QRN_TP_DATA_DATAGRAM ? EEvent::kDatagram : EEvent::kData;
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
            case QRN_TP_MSG_PATH:
                m_queue.Push({EEvent::kPath, p1, {}, p2, p3});
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

    void OnConnectResult(int handle, uintptr_t result, uintptr_t len, uintptr_t data) {
        if (result != QRN_TP_CONNECT_ACCEPTED) {
            m_writer.End();
            m_queue.Push({EEvent::kConnectFailed, result, Text(TextOption(handle, QRN_TP_OPT_CONNECT_ERROR))});
            return;
        }
        m_framed = IsFramesHello(reinterpret_cast<const void *>(data), len);
        std::string line = "connected to " + m_opt.host + " over " + ModeOf(handle);
        const std::string proxy = TextOption(handle, QRN_TP_OPT_PROXY);
        if (!proxy.empty()) line += " through the proxy " + proxy;
        m_queue.Push({EEvent::kOpened, kOpenedByConnect, Text(line)});
    }

    // Serves the first client; later ones are refused while it lasts. What the line says is
    // read now: once the connection has ended the library no longer knows it.
    void OnConnectRequest(int handle, uintptr_t len, uintptr_t data) {
        int expected = 0;
        if (!m_opt.listen || !m_handle.compare_exchange_strong(expected, handle)) {
            qrn_tp_accept(handle, kRefuseBusy, 0, 0, nullptr);
            return;
        }
        m_writer.SetHandle(handle);
        m_framed = IsFramesHello(reinterpret_cast<const void *>(data), len);
        uintptr_t ip = 0, port = 0;
        std::string line = "accepted ";
        if (qrn_tp_option(handle, QRN_TP_OPT_PEER_IP, reinterpret_cast<uintptr_t>(&ip)) == QRN_TP_OK &&
            qrn_tp_option(handle, QRN_TP_OPT_PEER_PORT, reinterpret_cast<uintptr_t>(&port)) == QRN_TP_OK) {
            line += Address(ip & 0xffffffffu, port & 0xffff);
        } else {
            line += "a client";
        }
        line += " over " + ModeOf(handle);
        qrn_tp_option(handle, QRN_TP_OPT_PATH_EVENTS, 1);
        const int r = m_framed ? qrn_tp_accept(handle, QRN_TP_ACCEPT, kBufferSize, static_cast<int>(kFramesHelloLen),
                                               kFramesHello)
                               : qrn_tp_accept(handle, QRN_TP_ACCEPT, kBufferSize, 0, nullptr);
        if (r != QRN_TP_OK) {
            Note("cannot accept the connection (error %d)", r);
            m_queue.Push({EEvent::kFinished, kExitFailed, {}});
            return;
        }
        m_queue.Push({EEvent::kOpened, 0, Text(line)});
    }

    static std::string ModeOf(int handle) {
        uintptr_t mode = 0;
        if (qrn_tp_option(handle, QRN_TP_OPT_CONN_MODE, reinterpret_cast<uintptr_t>(&mode)) != QRN_TP_OK) {
            return "an unknown path";
        }
        return qrntool::ModeName(mode & 0xff);  // the option writes 8 bits into the zeroed word
    }

    // A text option of the library (a cause, a proxy); empty when it has none.
    static std::string TextOption(int handle, int option) {
        char text[QRN_TP_CONNECT_ERROR_MAX] = {};
        if (qrn_tp_option(handle, option, reinterpret_cast<uintptr_t>(text)) != QRN_TP_OK) return std::string();
        return text;
    }

    // Returns the exit code when the event ends the program, else -1.
    int Handle(const SEvent &ev) {
        switch (ev.kind) {
            case EEvent::kOpened:
                ReportOpened(ev);
                m_open = true;
                std::thread(&CCatSession::SendInput, this).detach();
                return -1;
            case EEvent::kConnectFailed:
                ReportConnectFailure(ev.value, std::string(ev.data.begin(), ev.data.end()));
                return kExitFailed;
            case EEvent::kData:
                return Output(ev.data);
            case EEvent::kDatagram:
                Note("datagram of %zu bytes (not part of the stream)", ev.data.size());
                return -1;
            case EEvent::kInputDone:
                if (ev.value == kInputCut) return m_peer_closed ? PeerClosedEarly() : -1;
                m_input_done = true;
                m_input_ok = ev.value == kExitOk;
                if (m_peer_closed) return m_input_ok ? kExitOk : kExitFailed;
                if (m_framed && !m_opt.no_stdin && !m_frames.ended()) {
                    Note("end of input; sent %llu bytes, still receiving", Sent());
                }
                return CloseWhenDone();
            case EEvent::kClosed:
                return Closed(ev.value);
            case EEvent::kPath:
                ReportPath(ev);
                return -1;
            case EEvent::kFinished:
                return static_cast<int>(ev.value);
            case EEvent::kInterrupted:
                return Interrupted(static_cast<int>(ev.value));
        }
        return -1;
    }

    int Output(const std::vector<char> &data) {
        bool ok = true;
        auto out = [&](const char *p, size_t n) {
            m_received += n;
            if (ok && !WriteAll(STDOUT_FILENO, p, n)) ok = false;
        };
        if (!m_framed) {
            out(data.data(), data.size());
        } else if (!m_frames.Feed(data.data(), data.size(), out)) {
            Note("bytes after the end of the peer's stream: dropped");
        }
        if (!ok) {
            Note("cannot write standard output: %s", strerror(errno));
            qrn_tp_close(m_handle, QRN_TP_CLOSE_NORMAL);
            return kExitFailed;
        }
        return m_framed && m_frames.ended() ? CloseWhenDone() : -1;
    }

    // The connecting side closes once both inputs have ended (between two qrncats) or its
    // own has (with any other peer); a listener waits for the close of a qrncat.
    int CloseWhenDone() {
        if (!m_input_done || m_closing) return -1;
        if (m_framed && (m_opt.listen || !m_frames.ended())) return -1;
        m_closing = true;
        std::thread(&CCatSession::CloseAndReport, this).detach();
        return -1;
    }

    int Closed(uintptr_t reason) {
        Note("connection ended: reason %d (%s); sent %llu, received %llu bytes", static_cast<int>(reason),
             qrntool::ReasonName(reason), Sent(), Received());
        if (reason != QRN_TP_REASON_PEER_CLOSED) return kExitFailed;
        if (m_framed && !m_frames.ended()) {
            Note("the peer closed before the end of its stream");
            return kExitFailed;
        }
        if (!m_opt.no_stdin && !m_input_done) {
            // A qrncat closes only once our end has reached it, and the input thread may not
            // yet be back from handing it over: it says how the input ended in a moment.
            if (m_framed && m_input_read) {
                m_peer_closed = true;
                return -1;
            }
            return PeerClosedEarly();
        }
        return m_input_ok ? kExitOk : kExitFailed;
    }

    int PeerClosedEarly() {
        Note("the peer closed before taking all of standard input");
        return kExitFailed;
    }

    int Interrupted(int sig) {
        Note("%s: closing the connection; sent %llu, received %llu bytes", strsignal(sig), Sent(), Received());
        if (m_open && !m_closing) {
            m_closing = true;
            qrn_tp_option(m_handle, QRN_TP_OPT_CLOSE_NOTICE, 1);
            if (qrn_tp_close(m_handle, QRN_TP_CLOSE_NORMAL) == QRN_TP_OK) WaitCloseDone(kInterruptLinger);
        }
        return kExitFailed;
    }

    void ReportOpened(const SEvent &ev) {
        const std::string line(ev.data.begin(), ev.data.end());
        if (ev.value != kOpenedByConnect) {
            Note("%s", line.c_str());
            return;
        }
        Note("%s in %lld ms", line.c_str(), Milliseconds(ev.at - m_connect_start));
    }

    void ReportPath(const SEvent &ev) {
        switch (ev.value) {
            case QRN_TP_PATH_LOST:
                m_lost_at = ev.at;
                m_lost = true;
                Note("path lost (%s), %s", qrntool::ModeName(ev.kind_now),
                     m_opt.listen ? "waiting for the client to come back" : "reconnecting");
                break;
            case QRN_TP_PATH_RESUMED:
                if (m_lost)
                    Note("stream resumed over %s, %lld ms after the path was lost", qrntool::ModeName(ev.kind_now),
                         Milliseconds(ev.at - m_lost_at));
                else
                    Note("stream resumed over %s", qrntool::ModeName(ev.kind_now));
                m_lost = false;
                break;
            case QRN_TP_PATH_KIND_CHANGED:
                Note("path changed from %s to %s", qrntool::ModeName(ev.kind_before), qrntool::ModeName(ev.kind_now));
                break;
            default:
                Note("unknown path event %llu", static_cast<unsigned long long>(ev.value));
                break;
        }
    }

    static long long Milliseconds(std::chrono::steady_clock::duration d) {
        return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
    }

    void ReportConnectFailure(uintptr_t code, const std::string &why) {
        const char *target = m_opt.listen ? "the client" : m_opt.host.c_str();
        if (code == QRN_TP_REASON_PATH_FAILED && !why.empty())
            Note("cannot reach %s: %s", target, why.c_str());
        else if (code == QRN_TP_REASON_PATH_FAILED)
            Note("cannot reach %s: no path to the server (reason 2)", target);
        else if (code == kRefuseBusy)
            Note("%s refused the connection (code 1000): it is serving another client", target);
        else if (code == QRN_TP_REASON_VERSION_REFUSED || code <= QRN_TP_REASON_SESSION_LEFT)
            Note("connection to %s failed: %s (reason %d)", target, qrntool::ReasonName(code), static_cast<int>(code));
        else
            Note("%s refused the connection (code %d)", target, static_cast<int>(code));
    }

    void ReportProgress(std::chrono::steady_clock::duration period) {
        if (m_opt.quiet) return;
        unsigned long long sent = Sent(), received = Received();
        if (sent == m_reported_sent && received == m_reported_received) return;
        const double secs = std::chrono::duration<double>(period).count();
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_start).count();
        Note("sent %llu, received %llu bytes; %.2f Mbit/s up, %.2f down; %.0f s", sent, received,
             static_cast<double>(sent - m_reported_sent) * 8 / secs / kBitsPerMegabit,
             static_cast<double>(received - m_reported_received) * 8 / secs / kBitsPerMegabit, elapsed);
        m_reported_sent = sent;
        m_reported_received = received;
    }

    // Runs on its own thread: standard input to the stream, then its end (a frame of length 0
    // between two qrncats).
    void SendInput() {
        const size_t header = m_framed ? kFrameHeader : 0;
        std::vector<char> buf(header + kChunk);
        bool input_ok = true;
        while (!m_opt.no_stdin) {
            ssize_t n = read(STDIN_FILENO, buf.data() + header, kChunk);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                Note("cannot read standard input: %s", strerror(errno));
                input_ok = false;
            }
            if (n <= 0) break;
            if (m_framed) WriteFrameHeader(static_cast<size_t>(n), buf.data());
            // A refused send means the connection ended: its close event reports why.
            if (!m_writer.SendAll(buf.data(), header + static_cast<size_t>(n))) return InputCut();
            m_sent += static_cast<unsigned long long>(n);
        }
        m_input_read = true;
        if (m_framed) {
            WriteFrameHeader(0, buf.data());
            if (!m_writer.SendAll(buf.data(), kFrameHeader)) return InputCut();
        }
        m_queue.Push({EEvent::kInputDone, static_cast<uintptr_t>(input_ok ? kExitOk : kExitFailed), {}});
    }

    void InputCut() { m_queue.Push({EEvent::kInputDone, kInputCut, {}}); }

    // Runs on its own thread: the library delivers the tail and the close in the background,
    // and the process must not end before they are through, or they would go with it.
    void CloseAndReport() {
        qrn_tp_option(m_handle, QRN_TP_OPT_CLOSE_NOTICE, 1);
        // A connection that ended meanwhile has its close event on the way instead.
        if (qrn_tp_close(m_handle, QRN_TP_CLOSE_NORMAL) != QRN_TP_OK) return;
        const int result = WaitCloseDone(kLingerLimit);
        const bool delivered = result == QRN_TP_CLOSE_DELIVERED;
        if (delivered)
            Note("end of input: closed; sent %llu, received %llu bytes", Sent(), Received());
        else if (result == kNoCloseResult)
            Note("no word of the close %d s after it", static_cast<int>(kLingerLimit.count()));
        else
            Note("end of input: the peer did not confirm the close (reason %d); sent %llu bytes", result, Sent());
        m_queue.Push({EEvent::kFinished, static_cast<uintptr_t>(m_input_ok && delivered ? kExitOk : kExitFailed), {}});
    }

    int WaitCloseDone(std::chrono::seconds limit) {
        std::unique_lock<std::mutex> lock(m_close_mutex);
        m_close_cv.wait_for(lock, limit, [&] { return m_close_result != kNoCloseResult; });
        return m_close_result;
    }

    unsigned long long Sent() const { return m_sent.load(); }
    unsigned long long Received() const { return m_received.load(); }

    const SOptions m_opt;
    const std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_connect_start;  // the main thread's, as are the two below
    std::chrono::steady_clock::time_point m_lost_at;
    bool m_lost = false;
    std::atomic<int> m_handle{0};
    CEventQueue m_queue;
    CTpWriter m_writer;
    // Set on a library thread before the open event is queued, read after it.
    bool m_framed = false;
    CFrameReader m_frames;  // the main thread's
    bool m_open = false;
    bool m_input_done = false;
    bool m_peer_closed = false;              // closed normally while our input was on its way
    std::atomic<bool> m_input_read{false};  // standard input has ended: only its end is left to send
    bool m_input_ok = true;
    bool m_closing = false;
    std::atomic<unsigned long long> m_sent{0};
    std::atomic<unsigned long long> m_received{0};
    std::mutex m_close_mutex;
    std::condition_variable m_close_cv;
    int m_close_result = kNoCloseResult;
    unsigned long long m_reported_sent = 0;
    unsigned long long m_reported_received = 0;
};

// Ctrl-C and SIGTERM reach one thread that asks the session to close; every other thread,
// the library's included, has them blocked.
sigset_t BlockStopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    return set;
}

}  // namespace

int main(int argc, char **argv) {
    SOptions opt;
    std::string error;
    if (!ParseArgs(argc, argv, &opt, &error)) {
        fprintf(stderr, "qrncat: %s\n%s", error.c_str(), kUsage);
        return kExitUsage;
    }
    if (opt.help) {
        fputs(kUsage, stdout);
        fputs("\n", stdout);
        fputs(kHelp, stdout);
        return kExitOk;
    }
    if (opt.version) {
        printf("qrncat %s\n", QRN_VERSION);
        return kExitOk;
    }
    // A closed standard output shows as a write error, not as a silent death.
    signal(SIGPIPE, SIG_IGN);
    const sigset_t stop_signals = BlockStopSignals();
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
    std::thread([&session, stop_signals] {
        int sig = 0;
        if (sigwait(&stop_signals, &sig) == 0) session.Interrupt(sig);
    }).detach();
    int code = session.Run();
    fflush(stdout);
    fflush(stderr);
    qrn_trace_close();
    // The library's threads run until the process ends and may still be inside a callback
    // that refers to the session: leave without running any destructor under them.
    std::_Exit(code);
}
