// tp_bench: libqrntp against plain TCP sockets on loopback, measured in the same run.
//
//   (a) bulk throughput of one connection in one direction: the same bytes in the same chunks,
//       through qrn_tp_send over the TCP path and through send(2) on a plain TCP socket; for
//       reference also on a plain socket with the capped buffer sizes that the library keeps
//       towards a peer without stream acknowledgement (two ends of the library leave them to
//       the kernel);
//   (b) round trip of a 64-byte ping-pong: median and 99th percentile.
//
// Each server runs in a child process of its own, as a real peer would; the parent is the
// client. The library's round trip is measured twice: with the client answering each pong
// inside its callback, and with an application thread that waits for the callback's signal.
//
//   tp_bench [--mb MiB] [--chunk BYTES] [--pings N] [--rounds N] [--only plain|tp]
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "../tools/qrn_tp_writer.h"
#include "bench_stats.h"
#include "qrn/qrn_tp.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kPingSize = 64;
constexpr size_t kHeaderSize = 8;  // the bulk byte count, sent first on the plain socket
constexpr uint8_t kAck = 'A';      // the server's word that the whole bulk arrived
constexpr unsigned kBufferSize = 256 * 1024;
constexpr size_t kReadBuffer = 64 * 1024;
constexpr double kThroughputTarget = 0.8;  // at least 0.8 of plain TCP
constexpr double kRoundTripTarget = 1.1;   // at most 1.1 times plain TCP, median and p99
// The library's stream socket buffers (sock::kTcpSendBuffer, sock::kTcpRecvBuffer).
constexpr int kCappedSendBuffer = 49152;
constexpr int kCappedRecvBuffer = 32768;
constexpr auto kWaitLimit = std::chrono::seconds(120);
constexpr double kMiB = 1024.0 * 1024.0;

struct SConfig {
    uint64_t bulk_bytes = 256ull << 20;
    size_t chunk = 32768;
    int pings = 20000;
    int rounds = 3;
    std::string only;  // "plain" or "tp" to measure one side alone (for profiling)
};

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}

double MicrosSince(Clock::time_point start) {
    return std::chrono::duration<double, std::micro>(Clock::now() - start).count();
}

[[noreturn]] void Die(const char *what) {
    fprintf(stderr, "tp_bench: %s: %s\n", what, strerror(errno));
    exit(1);
}

// ---- plain TCP ---------------------------------------------------------------------------

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int ListenLoopback(uint16_t *port, int recv_buffer = 0) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    // Set before listen, so that accepted sockets inherit it and their window follows.
    if (fd >= 0 && recv_buffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &recv_buffer, sizeof(recv_buffer));
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof(a);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 ||
        listen(fd, 4) != 0 || getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        Die("listen");
    *port = ntohs(a.sin_port);
    return fd;
}

bool WriteAll(int fd, const void *data, size_t len) {
    const char *p = static_cast<const char *>(data);
    while (len > 0) {
        ssize_t n = send(fd, p, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool ReadAll(int fd, void *data, size_t len) {
    char *p = static_cast<char *>(data);
    while (len > 0) {
        ssize_t n = recv(fd, p, len, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// The plain server: per connection, a header, the bulk (acknowledged), then echoes.
[[noreturn]] void PlainServer(int listen_fd) {
    std::vector<char> buf(kReadBuffer);
    for (;;) {
        int fd = accept(listen_fd, nullptr, nullptr);
        if (fd < 0) _exit(0);
        uint64_t remain = 0;
        bool ok = ReadAll(fd, &remain, sizeof(remain));
        while (ok && remain > 0) {
            ssize_t n = recv(fd, buf.data(), std::min<uint64_t>(buf.size(), remain), 0);
            if (n <= 0) ok = false;
            else remain -= static_cast<uint64_t>(n);
        }
        ok = ok && WriteAll(fd, &kAck, 1);
        char ping[kPingSize];
        while (ok && ReadAll(fd, ping, sizeof(ping))) ok = WriteAll(fd, ping, sizeof(ping));
        close(fd);
    }
}

int PlainConnect(uint16_t port, int send_buffer = 0) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd >= 0 && send_buffer > 0) setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof(send_buffer));
    sockaddr_in a = Loopback(port);
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0) Die("connect");
    return fd;
}

// Seconds to hand over the bulk and hear that all of it arrived.
double PlainBulk(uint16_t port, const SConfig &cfg, int send_buffer = 0) {
    int fd = PlainConnect(port, send_buffer);
    std::vector<char> chunk(cfg.chunk, 'x');
    uint64_t total = cfg.bulk_bytes;
    auto start = Clock::now();
    if (!WriteAll(fd, &total, sizeof(total))) Die("plain header");
    for (uint64_t off = 0; off < total; off += cfg.chunk) {
        size_t len = static_cast<size_t>(std::min<uint64_t>(cfg.chunk, total - off));
        if (!WriteAll(fd, chunk.data(), len)) Die("plain send");
    }
    char ack = 0;
    if (!ReadAll(fd, &ack, 1) || ack != kAck) Die("plain ack");
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    close(fd);
    return seconds;
}

SLatency PlainPing(uint16_t port, const SConfig &cfg) {
    int fd = PlainConnect(port);
    uint64_t none = 0;
    char ack = 0;
    if (!WriteAll(fd, &none, sizeof(none)) || !ReadAll(fd, &ack, 1)) Die("plain ping start");
    std::vector<double> samples;
    samples.reserve(static_cast<size_t>(cfg.pings));
    char ping[kPingSize] = {};
    for (int i = 0; i < cfg.pings; ++i) {
        auto start = Clock::now();
        if (!WriteAll(fd, ping, sizeof(ping)) || !ReadAll(fd, ping, sizeof(ping)))
            Die("plain ping");
        samples.push_back(MicrosSince(start));
    }
    close(fd);
    return Summarise(std::move(samples));
}

// ---- the library -------------------------------------------------------------------------

// The library's server: the connect data carries the bulk byte count; the bulk is
// acknowledged with one byte, and every 64 bytes after it are echoed, all from the callback.
class CTpServer {
public:
    static int Callback(uintptr_t user, int msg, uintptr_t handle, uintptr_t p1, uintptr_t p2,
                        uintptr_t p3) {
        auto *self = reinterpret_cast<CTpServer *>(user);
        int h = static_cast<int>(handle);
        if (msg == QRN_TP_MSG_CONNECT_REQUEST) self->OnConnectRequest(h, p2, p3);
        else if (msg == QRN_TP_MSG_DATA && p1 == QRN_TP_DATA_STREAM)
            self->OnData(h, reinterpret_cast<const char *>(p3), p2);
        return 0;
    }

private:
    void OnConnectRequest(int h, size_t len, uintptr_t data) {
        m_remain = 0;
        m_fill = 0;
        if (len == sizeof(m_remain)) memcpy(&m_remain, reinterpret_cast<void *>(data), len);
        qrn_tp_accept(h, QRN_TP_ACCEPT, kBufferSize, 0, nullptr);
        if (m_remain == 0) qrn_tp_send(h, &kAck, 1, QRN_TP_SEND_STREAM);
    }

    void OnData(int h, const char *data, size_t len) {
        if (m_remain > 0) {
            size_t n = static_cast<size_t>(std::min<uint64_t>(len, m_remain));
            m_remain -= n;
            data += n;
            len -= n;
            if (m_remain == 0) qrn_tp_send(h, &kAck, 1, QRN_TP_SEND_STREAM);
        }
        while (len > 0) {
            size_t n = std::min(len, kPingSize - m_fill);
            memcpy(m_ping + m_fill, data, n);
            m_fill += n;
            data += n;
            len -= n;
            if (m_fill == kPingSize) {
                m_fill = 0;
                qrn_tp_send(h, m_ping, kPingSize, QRN_TP_SEND_STREAM);
            }
        }
    }

    uint64_t m_remain = 0;
    char m_ping[kPingSize] = {};
    size_t m_fill = 0;
};

[[noreturn]] void TpServer(uint16_t port, int ready_fd) {
    static CTpServer server;
    char ok = qrn_tp_init() == QRN_TP_OK &&
              qrn_tp_listen("127.0.0.1", 0, port, 0, &CTpServer::Callback,
                            reinterpret_cast<uintptr_t>(&server)) == QRN_TP_OK;
    if (write(ready_fd, &ok, 1) != 1 || !ok) _exit(1);
    for (;;) pause();  // the parent ends this process
}

// The library's client side of one connection.
class CTpClient {
public:
    enum class EPong { kSignal, kAnswerInCallback };

    static int Callback(uintptr_t user, int msg, uintptr_t handle, uintptr_t p1, uintptr_t p2,
                        uintptr_t p3) {
        auto *self = reinterpret_cast<CTpClient *>(user);
        if (msg == QRN_TP_MSG_WRITABLE) self->m_writer.OnWritable();
        else if (msg == QRN_TP_MSG_CONNECT_RESULT) self->OnResult(p1, p1 != 0);
        else if (msg == QRN_TP_MSG_DATA && p1 == QRN_TP_DATA_STREAM) self->OnData(p2);
        else if (msg == QRN_TP_MSG_CLOSED) self->OnResult(p1, true);
        return 0;
    }

    void Connect(uint16_t port, uint64_t bulk) {
        int h = qrn_tp_connect("127.0.0.1", 0, port, 0, nullptr, 0, &Callback,
                               reinterpret_cast<uintptr_t>(this), kBufferSize, sizeof(bulk),
                               &bulk);
        if (h == 0) Die("qrn_tp_connect");
        m_writer.SetHandle(h);
        if (!WaitFor([&] { return m_result >= 0; }) || m_result != QRN_TP_CONNECT_ACCEPTED)
            Die("library connect");
    }

    void Close() { qrn_tp_close(m_writer.Handle(), QRN_TP_CLOSE_NORMAL); }

    double Bulk(const SConfig &cfg) {
        std::vector<char> chunk(cfg.chunk, 'x');
        auto start = Clock::now();
        for (uint64_t off = 0; off < cfg.bulk_bytes; off += cfg.chunk) {
            size_t len = static_cast<size_t>(std::min<uint64_t>(cfg.chunk, cfg.bulk_bytes - off));
            if (!m_writer.SendAll(chunk.data(), len)) Die("library send");
        }
        if (!WaitFor([&] { return m_received >= 1; })) Die("library ack");
        return std::chrono::duration<double>(Clock::now() - start).count();
    }

    SLatency Ping(const SConfig &cfg, EPong mode) {
        if (!WaitFor([&] { return m_received >= 1; })) Die("library ack");  // the server's
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_samples.clear();
            m_samples.reserve(static_cast<size_t>(cfg.pings));
            m_pings = cfg.pings;
            m_mode = mode;
            m_base = m_received;
        }
        if (mode == EPong::kAnswerInCallback) {
            SendPing();
            if (!WaitFor([&] { return static_cast<int>(m_samples.size()) == m_pings; }))
                Die("library ping");
        } else {
            for (int i = 0; i < cfg.pings; ++i) {
                SendPing();
                if (!WaitFor([&] { return static_cast<int>(m_samples.size()) > i; }))
                    Die("library ping");
            }
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        return Summarise(m_samples);
    }

private:
    template <class Pred>
    bool WaitFor(Pred pred) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_for(lock, kWaitLimit, pred);
    }

    void SendPing() {
        m_ping_start = Clock::now();
        qrn_tp_send(m_writer.Handle(), m_ping, kPingSize, QRN_TP_SEND_STREAM);
    }

    void OnResult(uintptr_t code, bool ended) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_result = static_cast<int>(code);
        if (ended) m_writer.End();
        m_cond.notify_all();
    }

    void OnData(size_t len) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_received += len;
        // A pong is complete at every multiple of its size after the acknowledgement.
        if (m_pings == 0 || (m_received - m_base) / kPingSize <= m_samples.size()) {
            m_cond.notify_all();
            return;
        }
        m_samples.push_back(MicrosSince(m_ping_start));
        bool more = static_cast<int>(m_samples.size()) < m_pings;
        if (m_mode == EPong::kAnswerInCallback && more) {
            lock.unlock();
            SendPing();
            return;
        }
        m_cond.notify_all();
    }

    CTpWriter m_writer;
    std::mutex m_mutex;
    std::condition_variable m_cond;
    int m_result = -1;
    uint64_t m_received = 0;
    uint64_t m_base = 0;
    int m_pings = 0;
    EPong m_mode = EPong::kSignal;
    Clock::time_point m_ping_start;
    std::vector<double> m_samples;
    char m_ping[kPingSize] = {};
};

// ---- the run -----------------------------------------------------------------------------

pid_t Spawn(void (*serve)(uint16_t, int), uint16_t port, int fd) {
    pid_t pid = fork();
    if (pid < 0) Die("fork");
    if (pid == 0) serve(port, fd);
    return pid;
}

uint16_t FreePort() {
    uint16_t port = 0;
    int fd = ListenLoopback(&port);
    close(fd);
    return port;
}

bool ParseArgs(int argc, char **argv, SConfig *cfg) {
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string arg = argv[i], value = argv[i + 1];
        long long v = atoll(value.c_str());
        if (arg == "--mb" && v >= 1 && v <= 65536) cfg->bulk_bytes = static_cast<uint64_t>(v) << 20;
        else if (arg == "--chunk" && v >= 1 && v <= 65535) cfg->chunk = static_cast<size_t>(v);
        else if (arg == "--pings" && v >= 1 && v <= 10000000) cfg->pings = static_cast<int>(v);
        else if (arg == "--rounds" && v >= 1 && v <= 100) cfg->rounds = static_cast<int>(v);
        else if (arg == "--only" && (value == "plain" || value == "tp")) cfg->only = value;
        else return false;
    }
    return argc % 2 == 1;
}

const char *Verdict(bool met) { return met ? "target met" : "TARGET MISSED"; }

struct SResults {
    double plain_mibps = 0;
    double capped_mibps = 0;
    double tp_mibps = 0;
    SLatency plain_rtt;
    SLatency tp_callback_rtt;
    SLatency tp_thread_rtt;
};

// Both sides of (a) in alternating rounds, so that a passing disturbance hits both alike.
void MeasureBulk(const SConfig &cfg, uint16_t plain_port, uint16_t capped_port, uint16_t tp_port,
                 SResults *out) {
    std::vector<double> plain_s, capped_s, tp_s;
    for (int r = 0; r < cfg.rounds; ++r) {
        if (cfg.only != "tp") plain_s.push_back(PlainBulk(plain_port, cfg));
        if (cfg.only != "tp") capped_s.push_back(PlainBulk(capped_port, cfg, kCappedSendBuffer));
        if (cfg.only == "plain") continue;
        // Never freed: after qrn_tp_close, a callback that had already begun on a library
        // thread may still be running on it.
        auto *client = new CTpClient;
        client->Connect(tp_port, cfg.bulk_bytes);
        tp_s.push_back(client->Bulk(cfg));
        client->Close();
    }
    double mib = static_cast<double>(cfg.bulk_bytes) / kMiB;
    if (!plain_s.empty()) out->plain_mibps = mib / Median(plain_s);
    if (!capped_s.empty()) out->capped_mibps = mib / Median(capped_s);
    if (!tp_s.empty()) out->tp_mibps = mib / Median(tp_s);
}

void MeasureRoundTrip(const SConfig &cfg, uint16_t plain_port, uint16_t tp_port, SResults *out) {
    if (cfg.only != "tp") out->plain_rtt = PlainPing(plain_port, cfg);
    if (cfg.only == "plain") return;
    auto *pinger = new CTpClient;  // never freed, as above
    pinger->Connect(tp_port, 0);
    out->tp_callback_rtt = pinger->Ping(cfg, CTpClient::EPong::kAnswerInCallback);
    out->tp_thread_rtt = pinger->Ping(cfg, CTpClient::EPong::kSignal);
    pinger->Close();
}

void PrintRoundTrip(const char *label, const SLatency &tp, const SLatency &plain) {
    printf("  %-27s %7.1f us  %7.1f us", label, tp.median_us, tp.p99_us);
    if (plain.median_us > 0 && plain.p99_us > 0) {
        double ratio = tp.median_us / plain.median_us;
        double ratio99 = tp.p99_us / plain.p99_us;
        printf("   ratio %.2f, p99 %.2f   (%s: <= %.2f)", ratio, ratio99,
               Verdict(ratio <= kRoundTripTarget && ratio99 <= kRoundTripTarget), kRoundTripTarget);
    }
    printf("\n");
}

void PrintResults(const SResults &r) {
    printf("\n(a) bulk throughput\n");
    if (r.plain_mibps > 0) printf("  plain TCP            %9.1f MiB/s\n", r.plain_mibps);
    if (r.capped_mibps > 0 && r.plain_mibps > 0)
        printf("  plain TCP, capped    %9.1f MiB/s   ratio %.2f of plain TCP   (buffers %d/%d, as the library's towards a peer without acknowledgement)\n",
               r.capped_mibps, r.capped_mibps / r.plain_mibps, kCappedSendBuffer, kCappedRecvBuffer);
    if (r.tp_mibps > 0) {
        printf("  libqrntp (TCP path)  %9.1f MiB/s", r.tp_mibps);
        if (r.plain_mibps > 0) {
            double ratio = r.tp_mibps / r.plain_mibps;
            printf("   ratio %.2f of plain TCP   (%s: >= %.2f)", ratio,
                   Verdict(ratio >= kThroughputTarget), kThroughputTarget);
        }
        if (r.capped_mibps > 0) printf(", %.2f of capped", r.tp_mibps / r.capped_mibps);
        printf("\n");
    }
    printf("\n(b) round trip, %zu bytes          median        p99\n", kPingSize);
    if (r.plain_rtt.median_us > 0)
        printf("  %-27s %7.1f us  %7.1f us\n", "plain TCP", r.plain_rtt.median_us,
               r.plain_rtt.p99_us);
    if (r.tp_callback_rtt.median_us > 0) {
        PrintRoundTrip("libqrntp, pong in callback", r.tp_callback_rtt, r.plain_rtt);
        PrintRoundTrip("libqrntp, app thread waits", r.tp_thread_rtt, r.plain_rtt);
    }
}

}  // namespace

int main(int argc, char **argv) {
    SConfig cfg;
    if (!ParseArgs(argc, argv, &cfg)) {
        fprintf(stderr, "usage: tp_bench [--mb MiB] [--chunk BYTES (<= 65535)] [--pings N]"
                        " [--rounds N] [--only plain|tp]\n");
        return 2;
    }
    // The servers are forked before the library starts any thread in this process.
    uint16_t plain_port = 0;
    int plain_listen = ListenLoopback(&plain_port);
    pid_t plain_pid = Spawn([](uint16_t, int fd) { PlainServer(fd); }, 0, plain_listen);
    close(plain_listen);
    uint16_t capped_port = 0;
    int capped_listen = ListenLoopback(&capped_port, kCappedRecvBuffer);
    pid_t capped_pid = Spawn([](uint16_t, int fd) { PlainServer(fd); }, 0, capped_listen);
    close(capped_listen);
    int ready[2];
    if (pipe(ready) != 0) Die("pipe");
    uint16_t tp_port = FreePort();
    pid_t tp_pid = Spawn(&TpServer, tp_port, ready[1]);
    char ok = 0;
    if (read(ready[0], &ok, 1) != 1 || !ok) Die("library server");
    if (qrn_tp_init() != QRN_TP_OK) Die("qrn_tp_init");

    printf("tp_bench: loopback, %llu MiB in %zu-byte chunks, one direction, median of %d"
           " rounds; %d round trips of %zu bytes\n",
           static_cast<unsigned long long>(cfg.bulk_bytes >> 20), cfg.chunk, cfg.rounds,
           cfg.pings, kPingSize);
    SResults results;
    MeasureBulk(cfg, plain_port, capped_port, tp_port, &results);
    MeasureRoundTrip(cfg, plain_port, tp_port, &results);
    PrintResults(results);
    fflush(stdout);

    kill(plain_pid, SIGTERM);
    kill(capped_pid, SIGTERM);
    kill(tp_pid, SIGTERM);
    waitpid(plain_pid, nullptr, 0);
    waitpid(capped_pid, nullptr, 0);
    waitpid(tp_pid, nullptr, 0);
    // The library's threads run until the process ends.
    std::_Exit(0);
}
