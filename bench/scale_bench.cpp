// scale_bench: one server process holding many connections over the TCP path and over
// reliable UDP, each client connection sending a 64-byte message a second that the server
// echoes from its callback. The clients are spread over several processes.
//
// Reports: connections made, messages lost (sent and never echoed), the echo round trip
// (median, 99th percentile) and the server's CPU time per echoed message.
//
//   scale_bench [--tcp N] [--udp N] [--procs N] [--seconds N]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qrn/qrn_tp.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMessageSize = 64;
constexpr int kConnectBatch = 100;  // TCP connects in flight per client process
// Reliable-UDP connects in flight per client process: its connections share one socket, and a
// server admits only so many half-open ones from one source.
constexpr int kUdpConnectBatch = 8;
constexpr auto kConnectLimit = std::chrono::seconds(180);
constexpr auto kGrace = std::chrono::seconds(3);  // for the last echoes
constexpr double kRoundTripTargetMs = 5.0;
constexpr unsigned kBufferSize = 65536;

struct SConfig {
    int tcp = 10000;
    int udp = 5000;
    int procs = 4;
    int seconds = 20;
};

[[noreturn]] void Die(const char *what) {
    fprintf(stderr, "scale_bench: %s\n", what);
    _exit(1);
}

void RaiseFileLimit() {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0) return;
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
}

uint16_t FreePort(int type) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        Die("free port");
    close(fd);
    return ntohs(a.sin_port);
}

bool WriteFull(int fd, const void *data, size_t len) {
    const char *p = static_cast<const char *>(data);
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

bool ReadFull(int fd, void *data, size_t len) {
    char *p = static_cast<char *>(data);
    while (len > 0) {
        ssize_t n = read(fd, p, len);
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// ---- the server --------------------------------------------------------------------------

int ServerCallback(uintptr_t, int msg, uintptr_t handle, uintptr_t p1, uintptr_t p2, uintptr_t p3) {
    const int h = static_cast<int>(handle);
    if (msg == QRN_TP_MSG_CONNECT_REQUEST) {
        qrn_tp_accept(h, QRN_TP_ACCEPT, kBufferSize, 0, nullptr);
    } else if (msg == QRN_TP_MSG_DATA && p1 == QRN_TP_DATA_STREAM) {
        // Byte for byte: the client frames its messages.
        qrn_tp_send(h, reinterpret_cast<const void *>(p3), static_cast<int>(p2), QRN_TP_SEND_STREAM);
    }
    return 0;
}

[[noreturn]] void Server(uint16_t udp_port, uint16_t tcp_port, int ready_fd) {
    RaiseFileLimit();
    char ok = qrn_tp_init() == QRN_TP_OK &&
              qrn_tp_listen("127.0.0.1", udp_port, tcp_port, 0, &ServerCallback, 0) == QRN_TP_OK;
    if (!WriteFull(ready_fd, &ok, 1) || !ok) _exit(1);
    for (;;) pause();  // the parent ends this process
}

// ---- a client process ----------------------------------------------------------------------

struct SClientConn {
    int handle = 0;
    std::atomic<int> state{0};  // 0 connecting, 1 connected, -1 failed or closed
    uint8_t in[kMessageSize] = {};
    int fill = 0;
};

struct SClientResult {
    int connected = 0;
    int failed = 0;
    int failed_udp = 0;
    uint64_t sent = 0;
    uint64_t echoed = 0;
    uint64_t samples = 0;  // round trips that follow, in microseconds (float)
};

class CClient {
public:
    CClient(int count, int tcp) : m_conns(static_cast<size_t>(count)), m_tcp(tcp) {}

    static int Callback(uintptr_t user, int msg, uintptr_t, uintptr_t p1, uintptr_t p2, uintptr_t p3) {
        auto *conn = reinterpret_cast<SClientConn *>(user);
        if (msg == QRN_TP_MSG_CONNECT_RESULT) {
            conn->state.store(p1 == QRN_TP_CONNECT_ACCEPTED ? 1 : -1);
        } else if (msg == QRN_TP_MSG_CLOSED) {
            conn->state.store(-1);
        } else if (msg == QRN_TP_MSG_DATA && p1 == QRN_TP_DATA_STREAM) {
            s_self->OnData(conn, reinterpret_cast<const uint8_t *>(p3), p2);
        }
        return 0;
    }

    // Connects conns [0, tcp) over TCP and the rest over reliable UDP, a batch at a time.
    void ConnectAll(int tcp, uint16_t udp_port, uint16_t tcp_port) {
        const auto deadline = Clock::now() + kConnectLimit;
        const char hello[] = "scale";
        for (size_t i = 0; i < m_conns.size(); ++i) {
            SClientConn &c = m_conns[i];
            const bool over_tcp = static_cast<int>(i) < tcp;
            c.handle = qrn_tp_connect("127.0.0.1", over_tcp ? 0 : udp_port, over_tcp ? tcp_port : 0, 0,
                                      nullptr, 0, &Callback, reinterpret_cast<uintptr_t>(&c), kBufferSize,
                                      sizeof(hello), hello);
            if (c.handle == 0) c.state.store(-1);
            // No more than a batch waits for its answer at once.
            const size_t batch = over_tcp ? kConnectBatch : kUdpConnectBatch;
            while (Pending(i + 1) >= batch && Clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
        while (Pending(m_conns.size()) > 0 && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    // One message a second on every connected connection, spread over the second.
    void Run(int seconds) {
        const auto start = Clock::now();
        // In microseconds: a period in whole seconds would make period * i / n zero, and every
        // message of a second would leave in one burst.
        const auto period = std::chrono::microseconds(std::chrono::seconds(1));
        const size_t n = m_conns.size();
        for (int s = 0; s < seconds; ++s) {
            for (size_t i = 0; i < n; ++i) {
                const auto at = start + period * s + period * i / n;
                std::this_thread::sleep_until(at);
                SClientConn &c = m_conns[i];
                if (c.state.load() != 1) continue;
                uint8_t msg[kMessageSize] = {};
                const int64_t now = Clock::now().time_since_epoch().count();
                memcpy(msg, &now, sizeof(now));
                if (qrn_tp_send(c.handle, msg, kMessageSize, QRN_TP_SEND_STREAM) == kMessageSize) {
                    m_sent.fetch_add(1);
                } else {
                    m_unsent.fetch_add(1);
                }
            }
        }
        std::this_thread::sleep_for(kGrace);
    }

    SClientResult Result(std::vector<float> *samples) {
        SClientResult r;
        for (size_t i = 0; i < m_conns.size(); ++i) {
            if (m_conns[i].state.load() == 1) {
                ++r.connected;
            } else {
                ++r.failed;
                if (static_cast<int>(i) >= m_tcp) ++r.failed_udp;
            }
        }
        r.sent = m_sent.load() + m_unsent.load();
        std::lock_guard<std::mutex> lock(m_mutex);
        r.echoed = m_samples.size();
        *samples = m_samples;
        r.samples = samples->size();
        return r;
    }

    static CClient *s_self;

private:
    size_t Pending(size_t upto) const {
        size_t pending = 0;
        for (size_t i = 0; i < upto; ++i) pending += m_conns[i].state.load() == 0 ? 1 : 0;
        return pending;
    }

    void OnData(SClientConn *c, const uint8_t *data, size_t len) {
        while (len > 0) {
            const size_t take = std::min(len, static_cast<size_t>(kMessageSize - c->fill));
            memcpy(c->in + c->fill, data, take);
            c->fill += static_cast<int>(take);
            data += take;
            len -= take;
            if (c->fill < kMessageSize) break;
            c->fill = 0;
            int64_t sent_at = 0;
            memcpy(&sent_at, c->in, sizeof(sent_at));
            const int64_t now = Clock::now().time_since_epoch().count();
            const float us = static_cast<float>(
                std::chrono::duration<double, std::micro>(Clock::duration(now - sent_at)).count());
            std::lock_guard<std::mutex> lock(m_mutex);
            m_samples.push_back(us);
        }
    }

    std::vector<SClientConn> m_conns;
    const int m_tcp;  // the first m_tcp connections go over TCP
    std::atomic<uint64_t> m_sent{0};
    std::atomic<uint64_t> m_unsent{0};
    std::mutex m_mutex;
    std::vector<float> m_samples;
};

CClient *CClient::s_self = nullptr;

// Connects, tells the parent how many connected, waits for its word, runs and reports.
[[noreturn]] void ClientProcess(int tcp, int udp, uint16_t udp_port, uint16_t tcp_port, int seconds, int to_parent,
                                int from_parent) {
    RaiseFileLimit();
    if (qrn_tp_init() != QRN_TP_OK) Die("client init");
    static CClient client(tcp + udp, tcp);
    CClient::s_self = &client;
    client.ConnectAll(tcp, udp_port, tcp_port);
    std::vector<float> samples;
    SClientResult r = client.Result(&samples);
    if (!WriteFull(to_parent, &r, sizeof(r))) _exit(1);
    char go = 0;
    if (!ReadFull(from_parent, &go, 1)) _exit(1);
    client.Run(seconds);
    r = client.Result(&samples);
    if (!WriteFull(to_parent, &r, sizeof(r)) ||
        !WriteFull(to_parent, samples.data(), samples.size() * sizeof(float)))
        _exit(1);
    std::_Exit(0);
}

// ---- the run -----------------------------------------------------------------------------

// CPU seconds (user and system) of a process so far.
double CpuSeconds(pid_t pid) {
    char path[64];
    snprintf(path, sizeof(path), "/proc/%d/stat", static_cast<int>(pid));
    FILE *f = fopen(path, "r");
    if (f == nullptr) return 0;
    char buf[1024] = {};
    size_t n = fread(buf, 1, sizeof(buf) - 1, f);
    fclose(f);
    buf[n] = 0;
    const char *p = strrchr(buf, ')');
    if (p == nullptr) return 0;
    unsigned long utime = 0, stime = 0;
    // Fields after the command: state, then 10 more before utime (field 14) and stime (15).
    if (sscanf(p + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &utime, &stime) != 2) return 0;
    return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

bool ParseArgs(int argc, char **argv, SConfig *cfg) {
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string arg = argv[i];
        int v = atoi(argv[i + 1]);
        if (arg == "--tcp" && v >= 0 && v <= 15000) cfg->tcp = v;
        else if (arg == "--udp" && v >= 0 && v <= 8000) cfg->udp = v;
        else if (arg == "--procs" && v >= 1 && v <= 64) cfg->procs = v;
        else if (arg == "--seconds" && v >= 1 && v <= 600) cfg->seconds = v;
        else return false;
    }
    return argc % 2 == 1;
}

double Percentile(std::vector<float> &v, double q) {
    if (v.empty()) return 0;
    const size_t at = std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())));
    std::nth_element(v.begin(), v.begin() + static_cast<long>(at), v.end());
    return v[at];
}

}  // namespace

int main(int argc, char **argv) {
    SConfig cfg;
    if (!ParseArgs(argc, argv, &cfg)) {
        fprintf(stderr, "usage: scale_bench [--tcp N] [--udp N] [--procs N] [--seconds N]\n");
        return 2;
    }
    RaiseFileLimit();
    signal(SIGPIPE, SIG_IGN);
    const uint16_t tcp_port = FreePort(SOCK_STREAM);
    const uint16_t udp_port = FreePort(SOCK_DGRAM);
    int ready[2];
    if (pipe(ready) != 0) Die("pipe");
    const pid_t server = fork();
    if (server == 0) Server(udp_port, tcp_port, ready[1]);
    char ok = 0;
    if (!ReadFull(ready[0], &ok, 1) || !ok) Die("server did not start");

    struct SChild {
        pid_t pid;
        int from_child;
        int to_child;
    };
    std::vector<SChild> children;
    const auto connect_start = Clock::now();
    for (int p = 0; p < cfg.procs; ++p) {
        const int tcp = cfg.tcp / cfg.procs + (p < cfg.tcp % cfg.procs ? 1 : 0);
        const int udp = cfg.udp / cfg.procs + (p < cfg.udp % cfg.procs ? 1 : 0);
        int up[2], down[2];
        if (pipe(up) != 0 || pipe(down) != 0) Die("pipe");
        const pid_t pid = fork();
        if (pid == 0) {
            close(up[0]);
            close(down[1]);
            ClientProcess(tcp, udp, udp_port, tcp_port, cfg.seconds, up[1], down[0]);
        }
        close(up[1]);
        close(down[0]);
        children.push_back(SChild{pid, up[0], down[1]});
    }
    SClientResult total_connect{};
    for (SChild &c : children) {
        SClientResult r;
        if (!ReadFull(c.from_child, &r, sizeof(r))) Die("a client ended early");
        total_connect.connected += r.connected;
        total_connect.failed += r.failed;
        total_connect.failed_udp += r.failed_udp;
    }
    const double connect_s = std::chrono::duration<double>(Clock::now() - connect_start).count();

    const double cpu_start = CpuSeconds(server);
    for (SChild &c : children) {
        const char go = 1;
        WriteFull(c.to_child, &go, 1);
    }
    uint64_t sent = 0, echoed = 0;
    std::vector<float> samples;
    for (SChild &c : children) {
        SClientResult r;
        if (!ReadFull(c.from_child, &r, sizeof(r))) Die("a client ended early");
        sent += r.sent;
        echoed += r.echoed;
        std::vector<float> part(r.samples);
        if (!ReadFull(c.from_child, part.data(), part.size() * sizeof(float))) Die("samples");
        samples.insert(samples.end(), part.begin(), part.end());
    }
    const double cpu = CpuSeconds(server) - cpu_start;

    printf("scale_bench: one server, %d TCP-path and %d reliable-UDP connections from %d client processes,"
           " a %d-byte message a second each for %d s, echoed from the callback\n",
           cfg.tcp, cfg.udp, cfg.procs, kMessageSize, cfg.seconds);
    printf("  connected            %d of %d in %.1f s (%d failed, %d of them reliable UDP)\n",
           total_connect.connected, cfg.tcp + cfg.udp, connect_s, total_connect.failed, total_connect.failed_udp);
    printf("  messages             %llu sent, %llu echoed, %llu lost\n", static_cast<unsigned long long>(sent),
           static_cast<unsigned long long>(echoed), static_cast<unsigned long long>(sent - std::min(sent, echoed)));
    const double p50 = Percentile(samples, 0.5) / 1000.0;
    const double p99 = Percentile(samples, 0.99) / 1000.0;
    printf("  echo round trip      median %.2f ms, p99 %.2f ms   (%s: p99 < %.0f ms)\n", p50, p99,
           p99 < kRoundTripTargetMs ? "target met" : "TARGET MISSED", kRoundTripTargetMs);
    printf("  server CPU           %.2f s over the run, %.1f us per echoed message\n", cpu,
           echoed > 0 ? cpu * 1e6 / static_cast<double>(echoed) : 0.0);
    fflush(stdout);
    for (SChild &c : children) waitpid(c.pid, nullptr, 0);
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    return total_connect.connected == cfg.tcp + cfg.udp && sent == echoed ? 0 : 1;
}
