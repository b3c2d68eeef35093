// tunnel_bench: the HTTP tunnel's goodput and 64-byte round trip, in the large-post and the
// single-post form, directly to the tunnel server and through a forward proxy (tinyproxy), beside
// GNU httptunnel (hts/htc) carrying a plain TCP stream on the same path and a plain TCP
// connection (directly, and through the same proxy by CONNECT), all in the same run.
//
// Every row runs the same script on one connection: ping-pongs of 64 bytes on the idle
// connection (median and 99th percentile); the same pings while a steady flow of filler runs
// both ways at once, for each rate of --flow (KiB/s each way; the default is about a video
// call's, then a heavier one); N MiB client to server (timed until the server's one-byte
// acknowledgement), then N MiB server to client (timed until the last byte). The library's rows run the client and
// the server in this process, the server on a TCP port behind qrntunnel; the others talk to a
// plain TCP server of this process. The large-post rows let the detector choose (through the
// proxy too); the single-post rows prime it with a stand-in that passes only small posts.
//
//   tunnel_bench --tunnel PATH [--mb MiB] [--pings N] [--loaded-pings N] [--flow KIB/S[,KIB/S...]]
//                [--hold MS] [--httptunnel-long 0|1] [--only NAME]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bench_stats.h"
#include "child_process.h"
#include "http/detectr.h"
#include "proxy_support.h"
#include "qrn/qrn_tp.h"
#include "tunnel_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kPingSize = 64;
constexpr size_t kChunk = 32768;
constexpr size_t kHeaderSize = 9;  // command byte and a 64-bit count
constexpr char kUp = 'U', kDown = 'D', kEcho = 'E';
constexpr char kAck = 'A';
// The loaded phase ('L', its count the flow in KiB/s each way) runs in frames: a type byte and
// a payload whose size the type fixes, so pings and filler share the stream in both directions.
constexpr char kLoaded = 'L';
constexpr char kFramePing = 'P', kFrameFill = 'F', kFrameEnd = 'X';
constexpr size_t kFillSize = 1024;
constexpr auto kLoadedPingEvery = std::chrono::milliseconds(20);
constexpr auto kEchoWait = std::chrono::seconds(10);
constexpr unsigned kBufferSize = 256 * 1024;
constexpr auto kWaitLimit = std::chrono::seconds(60);
constexpr time_t kSocketLimitSeconds = 60;
constexpr double kMiB = 1024.0 * 1024.0;
constexpr double kGoodputTarget = 0.5;     // large posts against plain TCP on the same path
constexpr double kRoundTripTargetMs = 100;  // single posts
// httptunnel's own default is 100 KiB requests: whenever one ends while data flows both ways,
// it drops the connection. --httptunnel-long gives it requests long enough for the whole run.
constexpr char kHttptunnelLongRequest[] = "1G";

struct SConfig {
    std::string tunnel;
    uint64_t bulk = 16ull << 20;
    int pings = 200;
    int loaded_pings = 100;
    std::vector<int> flows{200, 1024};  // KiB/s each way
    int hold_ms = 0;
    bool httptunnel_long = false;
    std::string only;
};

// The round trip of pings, and each direction apart: both ends of every row are in this
// process, so the server's receive time stamped into the echo reads on the client's clock.
struct SPings {
    SLatency rtt, up, down;
};

struct SRow {
    std::string name;
    bool ok = false;
    double up_mibs = 0, down_mibs = 0;
    SPings idle;
    std::vector<SPings> loaded;  // one for each flow measured
    size_t flows = 0;
    std::string note;
};

void Header(char cmd, uint64_t n, uint8_t *out) {
    out[0] = static_cast<uint8_t>(cmd);
    for (int i = 0; i < 8; ++i) out[1 + i] = static_cast<uint8_t>(n >> (8 * i));
}
uint64_t Count(const uint8_t *h) {
    uint64_t n = 0;
    for (int i = 0; i < 8; ++i) n |= static_cast<uint64_t>(h[1 + i]) << (8 * i);
    return n;
}

// A ping's payload carries its send time and the server's receive time.
constexpr size_t kPingSentAt = 0, kPingServedAt = 8;

void Stamp(uint8_t *ping, size_t at) {
    const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
    memcpy(ping + at, &ns, sizeof(ns));
}

Clock::time_point StampOf(const uint8_t *ping, size_t at) {
    int64_t ns = 0;
    memcpy(&ns, ping + at, sizeof(ns));
    return Clock::time_point(std::chrono::nanoseconds(ns));
}

// Samples of echoed pings, one each way and the round trip.
class CPingSamples {
public:
    void Add(const uint8_t *echo) {
        const auto now = Clock::now(), sent = StampOf(echo, kPingSentAt), served = StampOf(echo, kPingServedAt);
        m_rtt.push_back(Us(now - sent));
        m_up.push_back(Us(served - sent));
        m_down.push_back(Us(now - served));
    }
    size_t Count() const { return m_rtt.size(); }
    SPings Summary() const { return {Summarise(m_rtt), Summarise(m_up), Summarise(m_down)}; }

private:
    static double Us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }
    std::vector<double> m_rtt, m_up, m_down;
};

// The client's side of one connection, whatever carries it.
class IStream {
public:
    virtual ~IStream() = default;
    virtual bool Send(const uint8_t *data, size_t n) = 0;
    // Exactly n bytes (nullptr: discard them).
    virtual bool Recv(uint8_t *data, size_t n) = 0;
    // Gives up on the connection: whoever waits in Send or Recv returns false.
    virtual void Abort() = 0;
};

// --- plain sockets --------------------------------------------------------------------------

int Connect(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    // A path that stalls (a tool's tunnel that stops moving) fails its row instead of the run.
    timeval limit{kSocketLimitSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool SendAll(int fd, const uint8_t *p, size_t n) {
    while (n > 0) {
        ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
        if (k <= 0) return false;
        p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

bool RecvAll(int fd, uint8_t *p, size_t n) {
    static thread_local std::vector<uint8_t> sink(1 << 16);
    while (n > 0) {
        uint8_t *to = p ? p : sink.data();
        ssize_t k = recv(fd, to, p ? n : std::min(n, sink.size()), 0);
        if (k <= 0) return false;
        if (p) p += k;
        n -= static_cast<size_t>(k);
    }
    return true;
}

class CSocketStream : public IStream {
public:
    explicit CSocketStream(int fd) : m_fd(fd) {}
    ~CSocketStream() override {
        if (m_fd >= 0) close(m_fd);
    }
    bool Send(const uint8_t *data, size_t n) override { return SendAll(m_fd, data, n); }
    bool Recv(uint8_t *data, size_t n) override { return RecvAll(m_fd, data, n); }
    void Abort() override { shutdown(m_fd, SHUT_RDWR); }

private:
    int m_fd;
};

// --- the script's server side, whatever carries the connection ------------------------------

size_t FrameSize(uint8_t type) { return type == kFramePing ? kPingSize : type == kFrameFill ? kFillSize : 0; }

// Whole frames from more than one thread: a frame is never cut by another.
class CFrameSender {
public:
    explicit CFrameSender(IStream &s) : m_s(s) {}
    bool Send(char type, const uint8_t *payload) {
        uint8_t frame[1 + kFillSize];
        frame[0] = static_cast<uint8_t>(type);
        const size_t size = FrameSize(frame[0]);
        if (size > 0) memcpy(frame + 1, payload, size);
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_s.Send(frame, 1 + size);
    }

private:
    IStream &m_s;
    std::mutex m_mutex;
};

// A steady flow of filler frames, one every kFillSize / rate, on a thread of its own. A path
// that falls behind is not made up for in a burst afterwards.
class CFiller {
public:
    CFiller(CFrameSender &out, int kib_per_second)
        : m_out(out), m_every(std::chrono::microseconds(1000000 * kFillSize / 1024 / std::max(kib_per_second, 1))) {}
    ~CFiller() { Stop(); }
    void Start() { m_thread = std::thread(&CFiller::Run, this); }
    // False when a send failed.
    bool Stop() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_cond.notify_all();
        if (m_thread.joinable()) m_thread.join();
        return !m_failed;
    }

private:
    void Run() {
        const std::vector<uint8_t> fill(kFillSize, 0x3c);
        auto next = Clock::now();
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_cond.wait_until(lock, next, [&] { return m_stop; })) {
            lock.unlock();
            const bool ok = m_out.Send(kFrameFill, fill.data());
            lock.lock();
            if (!ok) {
                m_failed = true;
                return;
            }
            next = std::max(next + m_every, Clock::now());
        }
    }

    CFrameSender &m_out;
    const std::chrono::microseconds m_every;
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_stop = false;
    bool m_failed = false;
    std::thread m_thread;
};

// The loaded phase: echoes each ping at once and sends filler down at the client's rate until
// the client's end frame, which it answers once its filler has stopped.
bool ServeLoaded(IStream &s, int kib_per_second) {
    CFrameSender out(s);
    CFiller filler(out, kib_per_second);
    filler.Start();
    std::vector<uint8_t> payload(kFillSize);
    uint8_t type = 0;
    bool ok = true;
    while (ok && (ok = s.Recv(&type, 1)) && type != kFrameEnd) {
        const size_t size = FrameSize(type);
        ok = size > 0 && s.Recv(payload.data(), size);
        if (ok && type == kFramePing) {
            Stamp(payload.data(), kPingServedAt);
            ok = out.Send(kFramePing, payload.data());
        }
    }
    return filler.Stop() && ok && out.Send(kFrameEnd, nullptr);
}

// Serves the script until the client goes or a step fails.
void ServeScript(IStream &s) {
    std::vector<uint8_t> buf(kChunk, 0x5a);
    uint8_t h[kHeaderSize];
    bool ok = true;
    while (ok && s.Recv(h, kHeaderSize)) {
        const uint64_t n = Count(h);
        if (h[0] == kUp) {
            ok = s.Recv(nullptr, n) && s.Send(reinterpret_cast<const uint8_t *>(&kAck), 1);
        } else if (h[0] == kDown) {
            for (uint64_t done = 0; ok && done < n; done += std::min<uint64_t>(kChunk, n - done)) {
                ok = s.Send(buf.data(), std::min<uint64_t>(kChunk, n - done));
            }
        } else if (h[0] == kEcho) {
            for (uint64_t i = 0; ok && i < n; ++i) {
                ok = s.Recv(buf.data(), kPingSize);
                Stamp(buf.data(), kPingServedAt);
                ok = ok && s.Send(buf.data(), kPingSize);
            }
        } else if (h[0] == kLoaded) {
            ok = ServeLoaded(s, static_cast<int>(n));
        } else {
            ok = false;
        }
    }
}

// Serves the script on every connection it accepts, one thread each.
class CPlainServer {
public:
    bool Start() {
        m_fd = qrntest::RawListen(&m_port);
        if (m_fd < 0) return false;
        m_acceptor = std::thread([this] {
            for (;;) {
                int c = accept(m_fd, nullptr, nullptr);
                if (c < 0) return;
                int one = 1;
                setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
                std::thread(&CPlainServer::Serve, c).detach();
            }
        });
        return true;
    }
    ~CPlainServer() {
        shutdown(m_fd, SHUT_RDWR);
        if (m_acceptor.joinable()) m_acceptor.join();
        close(m_fd);
    }
    uint16_t Port() const { return m_port; }

private:
    static void Serve(int fd) {
        CSocketStream s(fd);
        ServeScript(s);
    }

    int m_fd = -1;
    uint16_t m_port = 0;
    std::thread m_acceptor;
};

// A plain TCP connection through an HTTP proxy's CONNECT.
int ConnectThroughProxy(uint16_t proxy, uint16_t target) {
    int fd = Connect(proxy);
    if (fd < 0) return -1;
    const std::string req = "CONNECT 127.0.0.1:" + std::to_string(target) + " HTTP/1.1\r\nHost: 127.0.0.1:" +
                            std::to_string(target) + "\r\n\r\n";
    std::string reply;
    char c;
    bool ok = SendAll(fd, reinterpret_cast<const uint8_t *>(req.data()), req.size());
    while (ok && reply.find("\r\n\r\n") == std::string::npos && recv(fd, &c, 1, 0) == 1) reply += c;
    if (!ok || reply.compare(0, 12, "HTTP/1.0 200") != 0) {
        if (reply.compare(0, 12, "HTTP/1.1 200") != 0) {
            close(fd);
            return -1;
        }
    }
    return fd;
}

// --- the library ----------------------------------------------------------------------------

// One end of a library connection: received stream bytes queue up for Recv; Send waits for
// room (message 4) whenever the library takes less than offered.
class CTpEnd {
public:
    static int Callback(uintptr_t user, int msg, uintptr_t handle, uintptr_t p1, uintptr_t p2, uintptr_t p3) {
        reinterpret_cast<CTpEnd *>(user)->OnEvent(msg, static_cast<int>(handle), p1, p2, p3);
        return 0;
    }
    uintptr_t Context() { return reinterpret_cast<uintptr_t>(this); }

    bool WaitOpen() {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_until(lock, Clock::now() + kWaitLimit, [&] { return m_handle != 0 || m_ended; }) &&
               !m_ended;
    }
    bool Send(const uint8_t *p, size_t n) {
        while (n > 0) {
            uint64_t writable;
            int handle;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                writable = m_writable;
                handle = m_handle;
            }
            const int k = qrn_tp_send(handle, p, static_cast<int>(std::min(n, kChunk)), QRN_TP_SEND_STREAM);
            if (k < 0) return false;
            p += k;
            n -= static_cast<size_t>(k);
            if (k == 0) {
                std::unique_lock<std::mutex> lock(m_mutex);
                if (!m_cond.wait_until(lock, Clock::now() + kWaitLimit,
                                       [&] { return m_writable != writable || m_ended; }) ||
                    m_ended)
                    return false;
            }
        }
        return true;
    }
    bool Recv(uint8_t *p, size_t n) {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (n > 0) {
            if (!m_cond.wait_until(lock, Clock::now() + kWaitLimit, [&] { return !m_in.empty() || m_ended; }) ||
                m_in.empty())
                return false;
            std::vector<uint8_t> &front = m_in.front();
            const size_t k = std::min(n, front.size() - m_in_off);
            if (p) {
                memcpy(p, front.data() + m_in_off, k);
                p += k;
            }
            m_in_off += k;
            n -= k;
            if (m_in_off == front.size()) {
                m_in.pop_front();
                m_in_off = 0;
            }
        }
        return true;
    }
    int Handle() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_handle;
    }
    // After our own close no event comes: whoever waits gives up.
    void End() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_ended = true;
        m_cond.notify_all();
    }
    void SetHandle(int handle) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_handle = handle;
    }

private:
    void OnEvent(int msg, int handle, uintptr_t p1, uintptr_t p2, uintptr_t p3) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (msg == QRN_TP_MSG_CONNECT_REQUEST) {
            qrn_tp_accept(handle, QRN_TP_ACCEPT, kBufferSize, 0, nullptr);
            m_handle = handle;
        } else if (msg == QRN_TP_MSG_CONNECT_RESULT) {
            if (p1 == QRN_TP_CONNECT_ACCEPTED) m_handle = handle;
            else m_ended = true;
        } else if (msg == QRN_TP_MSG_DATA && p1 == QRN_TP_DATA_STREAM) {
            const auto *d = reinterpret_cast<const uint8_t *>(p3);
            m_in.emplace_back(d, d + p2);
        } else if (msg == QRN_TP_MSG_WRITABLE) {
            ++m_writable;
        } else if (msg == QRN_TP_MSG_CLOSED) {
            m_ended = true;
        }
        m_cond.notify_all();
    }

    std::mutex m_mutex;
    std::condition_variable m_cond;
    int m_handle = 0;
    bool m_ended = false;
    uint64_t m_writable = 0;
    std::deque<std::vector<uint8_t>> m_in;
    size_t m_in_off = 0;
};

class CTpStream : public IStream {
public:
    explicit CTpStream(CTpEnd *end) : m_end(end) {}
    bool Send(const uint8_t *data, size_t n) override { return m_end->Send(data, n); }
    bool Recv(uint8_t *data, size_t n) override { return m_end->Recv(data, n); }
    void Abort() override { m_end->End(); }

private:
    CTpEnd *m_end;
};

// The script's server side on the library's accepted connection, on a thread of its own.
void ServeTp(CTpEnd *end) {
    CTpStream s(end);
    ServeScript(s);
}

// --- the script -----------------------------------------------------------------------------

// Pings every kLoadedPingEvery on the same connection while filler flows both ways at
// kib_per_second: a reader thread times the echoes and drops the filler, counting it. Empty
// when the phase ran through; otherwise the step that broke off.
std::string RunLoaded(IStream &s, int kib_per_second, int pings, SPings *result, double *down_kibs) {
    uint8_t h[kHeaderSize];
    Header(kLoaded, static_cast<uint64_t>(kib_per_second), h);
    if (!s.Send(h, kHeaderSize)) return "loaded header";
    const size_t count = static_cast<size_t>(pings);
    CPingSamples samples;
    std::mutex mutex;
    std::condition_variable cond;
    bool reader_done = false;
    std::string reader_broke;
    uint64_t fill_bytes = 0;
    const auto begin = Clock::now();
    std::thread reader([&] {
        std::vector<uint8_t> payload(kFillSize);
        uint8_t type = 0;
        bool ok = true;
        std::string broke;
        while (ok && (ok = s.Recv(&type, 1)) && type != kFrameEnd) {
            const size_t size = FrameSize(type);
            ok = size > 0 && s.Recv(payload.data(), size);
            if (!ok) broke = size > 0 ? "a frame's payload" : "a frame of unknown type " + std::to_string(type);
            std::lock_guard<std::mutex> lock(mutex);
            if (ok && type == kFramePing) {
                samples.Add(payload.data());
                cond.notify_all();
            } else if (ok) {
                fill_bytes += size;
            }
        }
        std::lock_guard<std::mutex> lock(mutex);
        reader_done = true;
        reader_broke = ok ? "" : broke.empty() ? "a frame's type" : broke;
        cond.notify_all();
    });
    CFrameSender out(s);
    CFiller filler(out, kib_per_second);
    filler.Start();
    std::vector<uint8_t> ping(kPingSize, 0x77);
    bool ok = true;
    auto next = Clock::now();
    for (size_t i = 0; ok && i < count; ++i) {
        std::this_thread::sleep_until(next);
        Stamp(ping.data(), kPingSentAt);
        ok = out.Send(kFramePing, ping.data());
        next = std::max(next + kLoadedPingEvery, Clock::now());
    }
    bool echoed;
    {
        std::unique_lock<std::mutex> lock(mutex);
        cond.wait_until(lock, Clock::now() + kEchoWait, [&] { return samples.Count() == count || reader_done; });
        echoed = samples.Count() == count;
        *down_kibs = fill_bytes / 1024.0 / std::chrono::duration<double>(Clock::now() - begin).count();
    }
    // A path that lost the echoes will not carry the rest of the script either.
    if (!echoed) s.Abort();
    const bool filled = filler.Stop();
    ok = ok && filled && out.Send(kFrameEnd, nullptr);
    reader.join();
    const std::string at = " at " + std::to_string(kib_per_second) + " KiB/s";
    std::lock_guard<std::mutex> lock(mutex);
    if (!reader_broke.empty()) return "receiving " + reader_broke + at;
    if (!ok) return std::string(filled ? "sending a ping" : "sending filler") + at;
    if (samples.Count() != count) return "loaded pings" + at;
    *result = samples.Summary();
    return "";
}

// Empty when the script ran through; otherwise the step that broke off.
std::string RunScript(IStream &s, const SConfig &cfg, SRow *row) {
    row->flows = cfg.flows.size();
    std::vector<uint8_t> buf(kChunk, 0xa5);
    uint8_t h[kHeaderSize];
    uint8_t ack = 0;
    Header(kEcho, static_cast<uint64_t>(cfg.pings), h);
    if (!s.Send(h, kHeaderSize)) return "echo header";
    CPingSamples samples;
    for (int i = 0; i < cfg.pings; ++i) {
        Stamp(buf.data(), kPingSentAt);
        if (!s.Send(buf.data(), kPingSize) || !s.Recv(buf.data(), kPingSize)) return "ping " + std::to_string(i);
        samples.Add(buf.data());
    }
    row->idle = samples.Summary();

    Header(kUp, cfg.bulk, h);
    auto start = Clock::now();
    if (!s.Send(h, kHeaderSize)) return "upload header";
    for (uint64_t done = 0; done < cfg.bulk; done += std::min<uint64_t>(kChunk, cfg.bulk - done)) {
        if (!s.Send(buf.data(), std::min<uint64_t>(kChunk, cfg.bulk - done))) return "upload";
    }
    if (!s.Recv(&ack, 1) || ack != kAck) return "upload acknowledgement";
    row->up_mibs = cfg.bulk / kMiB / std::chrono::duration<double>(Clock::now() - start).count();

    Header(kDown, cfg.bulk, h);
    start = Clock::now();
    if (!s.Send(h, kHeaderSize)) return "download header";
    if (!s.Recv(nullptr, cfg.bulk)) return "download";
    row->down_mibs = cfg.bulk / kMiB / std::chrono::duration<double>(Clock::now() - start).count();

    // Last, so that a path which breaks under it still has its other figures.
    for (int flow : cfg.flows) {
        SPings pings;
        double down_kibs = 0;
        const std::string broke = RunLoaded(s, flow, cfg.loaded_pings, &pings, &down_kibs);
        if (!broke.empty()) return broke;
        row->loaded.push_back(pings);
        // A path that could not carry the flow shows how much it did carry.
        if (down_kibs < 0.9 * flow) {
            row->note += " [" + std::to_string(flow) + " KiB/s: " + std::to_string(static_cast<int>(down_kibs)) +
                         " KiB/s down]";
        }
    }
    return "";
}

SRow Fail(SRow row, const std::string &why) {
    row.note = "FAILED: " + why;
    return row;
}

SRow RunPlain(const std::string &name, int fd, const SConfig &cfg) {
    SRow row;
    row.name = name;
    if (fd < 0) return Fail(row, "no connection");
    CSocketStream s(fd);
    const std::string broke = RunScript(s, cfg, &row);
    row.ok = broke.empty();
    if (!row.ok) row.note = "FAILED: broke off at " + broke;
    return row;
}

// The library in HTTP mode through the tunnel server (and the proxy, when given).
SRow RunTunnel(const std::string &name, uint32_t form, uint16_t proxy, const SConfig &cfg) {
    SRow row;
    row.name = name;
    qrntest::ScopedProxyEnv env;
    qrn_http_detector_reset();
    if (form == http::kModeSmallPost) qrntest::PrimeDetector(form);
    if (proxy != 0) env.Set("http_proxy", "http://127.0.0.1:" + std::to_string(proxy));

    auto server = std::make_unique<CTpEnd>();
    auto client = std::make_unique<CTpEnd>();
    uint16_t tcp = qrntest::FreePort();
    if (qrn_tp_listen("127.0.0.1", 0, tcp, 0, &CTpEnd::Callback, server->Context()) != QRN_TP_OK) {
        return Fail(row, "cannot listen");
    }
    qrntest::ChildProcess tunnel;
    const uint16_t http = qrntest::FreePort();
    if (!tunnel.Start({cfg.tunnel, "--listen", "127.0.0.1:" + std::to_string(http), "--target",
                       "127.0.0.1:" + std::to_string(tcp), "--hold", std::to_string(cfg.hold_ms)}) ||
        !tunnel.WaitForTcpPort(http)) {
        return Fail(row, "cannot start " + cfg.tunnel);
    }
    const int h = qrn_tp_connect("127.0.0.1", 0, 0, http, nullptr, 0, &CTpEnd::Callback, client->Context(),
                                 kBufferSize, 0, nullptr);
    if (h == 0 || !client->WaitOpen() || !server->WaitOpen()) return Fail(row, "no connection");
    // The form the detector settled on.
    qrntest::EventRecorder kept;
    if (qrn_http_detector_start("127.0.0.1", http, qrntest::EventRecorder::Callback, kept.Context()) == 1 &&
        kept.Count(http::kMsgDetectFinished) == 1) {
        row.note = kept.Events()[0].p2 == http::kModeBigPost ? "large post" : "single post";
    }
    std::thread serving(ServeTp, server.get());
    CTpStream s(client.get());
    const std::string broke = RunScript(s, cfg, &row);
    row.ok = broke.empty();
    if (!row.ok) row.note += " FAILED: broke off at " + broke;
    qrn_tp_close(client->Handle(), QRN_TP_CLOSE_NORMAL);
    qrn_tp_close(server->Handle(), QRN_TP_CLOSE_NORMAL);
    client->End();
    server->End();
    serving.join();
    tunnel.Stop();
    qrn_http_detector_reset();
    // The ends stay: a late event may still come for a closed connection.
    client.release();
    server.release();
    return row;
}

// GNU httptunnel: htc on a local port, through the proxy when given, to hts joined to target.
SRow RunHttptunnel(const std::string &name, uint16_t target, uint16_t proxy, const SConfig &cfg) {
    SRow row;
    row.name = name;
    const std::string hts = qrntest::FindProgram("hts"), htc = qrntest::FindProgram("htc");
    if (hts.empty() || htc.empty()) return Fail(row, "httptunnel is not installed (scripts/setup.sh)");
    qrntest::ChildProcess server, client;
    const uint16_t hts_port = qrntest::FreePort(), local = qrntest::FreePort();
    std::vector<std::string> hts_argv{hts, "-w"}, argv{htc, "-w"};
    if (cfg.httptunnel_long) {
        for (auto *v : {&hts_argv, &argv}) v->insert(v->end(), {"-c", kHttptunnelLongRequest});
    }
    hts_argv.insert(hts_argv.end(), {"-F", "127.0.0.1:" + std::to_string(target), "127.0.0.1:" + std::to_string(hts_port)});
    if (!server.Start(hts_argv) || !server.WaitForTcpPort(hts_port)) {
        return Fail(row, "cannot start hts");
    }
    argv.insert(argv.end(), {"-F", std::to_string(local)});
    if (proxy != 0) {
        argv.push_back("-P");
        argv.push_back("127.0.0.1:" + std::to_string(proxy));
    }
    argv.push_back("127.0.0.1:" + std::to_string(hts_port));
    if (!client.Start(argv)) return Fail(row, "cannot start htc");
    // htc takes one connection on its port; it listens once its tunnel is up.
    int fd = -1;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (fd < 0 && Clock::now() < deadline && client.Running()) {
        fd = Connect(local);
        if (fd < 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return RunPlain(name, fd, cfg);
}

void PrintHeader(const SConfig &cfg) {
    printf("%-34s %9s %9s %11s %11s", "path", "up MiB/s", "down MiB/s", "rtt med ms", "rtt p99 ms");
    for (int flow : cfg.flows) {
        const std::string at = "@" + std::to_string(flow) + "K";
        printf(" %11s %11s", (at + " med").c_str(), (at + " p99").c_str());
    }
    printf("\n");
}

void Print(const SRow &r) {
    if (!r.ok && r.idle.rtt.median_us == 0) {
        printf("%-34s %s\n", r.name.c_str(), r.note.c_str());
        return;
    }
    printf("%-34s %9.1f %9.1f %11.2f %11.2f", r.name.c_str(), r.up_mibs, r.down_mibs, r.idle.rtt.median_us / 1000,
           r.idle.rtt.p99_us / 1000);
    for (const SPings &l : r.loaded) printf(" %11.2f %11.2f", l.rtt.median_us / 1000, l.rtt.p99_us / 1000);
    for (size_t i = r.loaded.size(); i < r.flows; ++i) printf(" %11s %11s", "-", "-");
    printf("  %s\n", r.note.c_str());
}

void PrintDirections(const char *path, const char *when, const SPings &p) {
    printf("%s: single post %s: round trip %.2f / %.2f ms, up %.2f / %.2f ms, down %.2f / %.2f ms (median / p99)\n",
           path, when, p.rtt.median_us / 1000, p.rtt.p99_us / 1000, p.up.median_us / 1000, p.up.p99_us / 1000,
           p.down.median_us / 1000, p.down.p99_us / 1000);
}

double Ratio(double a, double b) { return b > 0 ? a / b : 0; }

void Judge(const SConfig &cfg, const char *path, bool proxied, const SRow &plain, const SRow &big, const SRow &single,
           const SRow &ht) {
    const double up = Ratio(big.up_mibs, plain.up_mibs), down = Ratio(big.down_mibs, plain.down_mibs);
    // Directly, plain TCP is a loopback copy with no HTTP and no second hop: the target is
    // set for the path through the proxy.
    printf("%s: large post / plain TCP goodput: up %.3f, down %.3f (target >= %.1f through the proxy: %s)\n", path,
           up, down, kGoodputTarget,
           !proxied ? "not set" : up >= kGoodputTarget && down >= kGoodputTarget ? "met" : "MISSED");
    printf("%s: large post / httptunnel goodput: up %.2f, down %.2f (target > 1: %s)\n", path,
           Ratio(big.up_mibs, ht.up_mibs), Ratio(big.down_mibs, ht.down_mibs),
           ht.up_mibs <= 0 || ht.down_mibs <= 0              ? "no httptunnel figure"
           : big.up_mibs > ht.up_mibs && big.down_mibs > ht.down_mibs ? "met"
                                                                      : "MISSED");
    // The target is the round trip while data flows both ways: judged at the first flow.
    if (single.loaded.empty()) {
        printf("%s: single post round trip: no loaded figure (target < %.0f ms: MISSED)\n", path, kRoundTripTargetMs);
    } else {
        const SLatency &l = single.loaded[0].rtt;
        printf("%s: single post round trip at %d KiB/s each way: median %.2f ms, p99 %.2f ms (target < %.0f ms: %s)\n",
               path, cfg.flows[0], l.median_us / 1000, l.p99_us / 1000, kRoundTripTargetMs,
               l.median_us > 0 && l.median_us / 1000 < kRoundTripTargetMs ? "met" : "MISSED");
    }
    PrintDirections(path, "idle", single.idle);
    for (size_t i = 0; i < single.loaded.size(); ++i) {
        PrintDirections(path, ("at " + std::to_string(cfg.flows[i]) + " KiB/s").c_str(), single.loaded[i]);
    }
}

// "200,1024": each flow in KiB/s; "0" for none.
bool ParseFlows(const std::string &text, std::vector<int> *flows) {
    flows->clear();
    std::istringstream in(text);
    for (std::string item; std::getline(in, item, ',');) {
        const int v = atoi(item.c_str());
        if (v < 0 || (v == 0 && text != "0")) return false;
        if (v > 0) flows->push_back(v);
    }
    return true;
}

bool ParseArgs(int argc, char **argv, SConfig *cfg) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i], v = argv[i + 1];
        if (arg == "--tunnel") cfg->tunnel = v;
        else if (arg == "--mb") cfg->bulk = static_cast<uint64_t>(atoi(v.c_str())) << 20;
        else if (arg == "--pings") cfg->pings = atoi(v.c_str());
        else if (arg == "--loaded-pings") cfg->loaded_pings = atoi(v.c_str());
        else if (arg == "--flow") {
            if (!ParseFlows(v, &cfg->flows)) return false;
        }
        else if (arg == "--hold") cfg->hold_ms = atoi(v.c_str());
        else if (arg == "--only") cfg->only = v;
        else if (arg == "--httptunnel-long") cfg->httptunnel_long = v == "1";
        else return false;
    }
    return (argc % 2) == 1 && !cfg->tunnel.empty() && cfg->bulk > 0 && cfg->pings > 0 && cfg->loaded_pings > 0;
}

}  // namespace

int main(int argc, char **argv) {
    SConfig cfg;
    if (!ParseArgs(argc, argv, &cfg)) {
        fprintf(stderr,
                "usage: tunnel_bench --tunnel PATH [--mb MiB] [--pings N] [--loaded-pings N]\n"
                "                    [--flow KIB/S[,KIB/S...]] [--hold MS] [--httptunnel-long 0|1] [--only NAME]\n");
        return 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    if (qrn_tp_init() != QRN_TP_OK) return 1;
    CPlainServer plain;
    if (!plain.Start()) return 1;
    qrntest::CProxyProgram proxy(qrntest::CProxyProgram::kTinyproxy, std::to_string(plain.Port()));
    const bool have_proxy = proxy.Missing().empty() && proxy.Start();

    printf("tunnel_bench: %.0f MiB each way, %d pings of %zu bytes, single-post hold %d ms\n", cfg.bulk / kMiB,
           cfg.pings, kPingSize, cfg.hold_ms);
    if (!cfg.flows.empty()) {
        printf("loaded: %d pings, one each %lld ms, while 1 KiB filler frames flow both ways at", cfg.loaded_pings,
               static_cast<long long>(kLoadedPingEvery.count()));
        for (size_t i = 0; i < cfg.flows.size(); ++i) printf("%s @%dK = %d KiB/s", i ? "," : "", cfg.flows[i], cfg.flows[i]);
        printf("\n");
    }
    PrintHeader(cfg);
    auto want = [&](const std::string &name) { return cfg.only.empty() || name.find(cfg.only) != std::string::npos; };
    std::vector<std::vector<SRow>> paths;
    for (int via = 0; via < (have_proxy ? 2 : 1); ++via) {
        const uint16_t p = via ? proxy.Port() : 0;
        const std::string suffix = via ? " via tinyproxy" : " direct";
        std::vector<SRow> rows(4);
        if (want("plain TCP" + suffix)) {
            rows[0] = RunPlain("plain TCP" + suffix, via ? ConnectThroughProxy(p, plain.Port()) : Connect(plain.Port()), cfg);
            Print(rows[0]);
        }
        if (want("qrn tunnel, large post" + suffix)) {
            rows[1] = RunTunnel("qrn tunnel, large post" + suffix, http::kModeBigPost, p, cfg);
            Print(rows[1]);
        }
        if (want("qrn tunnel, single post" + suffix)) {
            rows[2] = RunTunnel("qrn tunnel, single post" + suffix, http::kModeSmallPost, p, cfg);
            Print(rows[2]);
        }
        if (want("httptunnel (hts/htc)" + suffix)) {
            rows[3] = RunHttptunnel("httptunnel (hts/htc)" + suffix, plain.Port(), p, cfg);
            Print(rows[3]);
        }
        paths.push_back(rows);
        if (via && std::any_of(rows.begin(), rows.end(), [](const SRow &r) { return !r.ok && !r.note.empty(); })) {
            std::istringstream log(proxy.Output());
            printf("tinyproxy's errors and warnings:\n");
            for (std::string line; std::getline(log, line);) {
                if (line.compare(0, 5, "ERROR") == 0 || line.compare(0, 4, "WARN") == 0) printf("  %s\n", line.c_str());
            }
        }
    }
    if (!have_proxy) printf("tinyproxy is not installed or did not start: no proxied rows\n");
    printf("\n");
    for (size_t i = 0; i < paths.size(); ++i) {
        Judge(cfg, i ? "via tinyproxy" : "direct", i != 0, paths[i][0], paths[i][1], paths[i][2], paths[i][3]);
    }
    fflush(stdout);
    // The quick exit runs no destructor: the proxy would outlive the run.
    proxy.Stop();
    std::_Exit(0);
}
