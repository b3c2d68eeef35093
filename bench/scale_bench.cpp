// scale_bench: the server's cost per message through the library, beside plain-socket echo
// servers measured in the same run. Each run forks a fresh server process and fresh client
// processes; every client connection sends a 64-byte message at its rate, which the server
// echoes. The runs, in order:
//   a) plain UDP echo (one thread, recvfrom/sendto)     b) the library's reliable UDP
//   c) plain TCP echo (one thread, epoll)                d) the library's TCP path
//   e) the library with both together, once per event-loop count of --loops
// Each reports connections made, messages lost (sent and never echoed), the echo round trip
// (median, 99th percentile), the server's CPU time per echoed message and the host's UDP
// receive errors, then the targets, met or missed. Exit status 0 when all are met; a target
// whose runs were left out (--only, or no connections of a kind) counts as missed.
//
//   scale_bench [--udp N] [--udp-rate R] [--tcp N] [--tcp-rate R] [--procs N] [--seconds N]
//               [--loops LIST] [--only plain|qrn]
#include <stdarg.h>
#include <sys/wait.h>

#include <algorithm>
#include <functional>
#include <memory>
#include <sstream>
#include <string>

#include "qrn/qrn_tp.h"
#include "scale_common.h"
#include "scale_plain.h"

namespace {

using namespace scale;

constexpr int kConnectBatch = 100;  // TCP connects in flight per client process
// Reliable-UDP connects in flight per client process: its connections share one socket, and a
// server admits only so many half-open ones from one source.
constexpr int kUdpConnectBatch = 8;
constexpr unsigned kBufferSize = 65536;
constexpr double kCpuRatioTarget = 2.0;
constexpr double kRoundTripTargetMs = 20.0;
constexpr size_t kMaxLoopCounts = 8;
constexpr int kColumnWidth = 20;  // of the loop counts' table

// What a server process writes once it listens.
constexpr char kServerFailed = 0;
constexpr char kServerReady = 1;
constexpr char kServerOneLoop = 2;  // listening, but the library kept its one event loop

struct SConfig {
    int udp = 5000;
    int udp_rate = 10;
    int tcp = 10000;
    int tcp_rate = 1;
    int procs = 4;
    int seconds = 20;
    std::vector<int> loops{1, 2};
    bool plain = true;
    bool qrn = true;
};

enum class EKind { kPlainUdp, kQrnUdp, kPlainTcp, kQrnTcp, kQrnCombined };

struct SRunPlan {
    const char *name = "";
    EKind kind = EKind::kPlainUdp;
    int udp = 0;  // connections
    int tcp = 0;
    int loops = 1;
};

struct SUdpErrors {
    long long in_errors = 0;
    long long rcvbuf_errors = 0;
};

struct SRunResult {
    SRunPlan plan;
    bool loops_set = true;  // false: the library would not take the loop count and kept one
    int connected = 0;
    double connect_s = 0;
    SSendCounts counts;
    uint64_t echoed = 0;
    double p50_ms = 0;
    double p99_ms = 0;
    double cpu_s = 0;
    SUdpErrors udp_errors;
    long long server_drops = -1;  // by the server's own UDP socket; -1 when it has none

    int Wanted() const { return plan.udp + plan.tcp; }
    uint64_t Lost() const { return counts.sent - std::min(counts.sent, echoed); }
    double CpuPerEchoUs() const { return echoed > 0 ? cpu_s * 1e6 / static_cast<double>(echoed) : 0; }
    int LoopsRun() const { return loops_set ? plan.loops : 1; }
    bool UdpErrorFree() const { return udp_errors.in_errors == 0 && udp_errors.rcvbuf_errors == 0; }
};

// ---- the library's server and clients ------------------------------------------------------

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

// `set_loops`: ask for `loops` event loops, or leave the library's default.
[[noreturn]] void QrnServer(uint16_t udp_port, uint16_t tcp_port, bool set_loops, int loops, int ready_fd) {
    char ready = kServerFailed;
    if (qrn_tp_init() == QRN_TP_OK) {
        const bool loops_set =
            !set_loops || qrn_tp_option(0, QRN_TP_OPT_EVENT_LOOPS, static_cast<uintptr_t>(loops)) == QRN_TP_OK;
        if (qrn_tp_listen("127.0.0.1", udp_port, tcp_port, 0, &ServerCallback, 0) == QRN_TP_OK)
            ready = loops_set ? kServerReady : kServerOneLoop;
    }
    if (!WriteFull(ready_fd, &ready, 1) || ready == kServerFailed) _exit(1);
    for (;;) pause();  // the parent ends this process
}

// Connections [0, tcp) over the TCP path, the rest over reliable UDP, connected a batch at a time.
class CQrnClient : public CBenchClient {
public:
    CQrnClient(int tcp, int udp, uint16_t udp_port, uint16_t tcp_port)
        : m_conns(static_cast<size_t>(tcp + udp)), m_tcp(static_cast<size_t>(tcp)), m_udp_port(udp_port),
          m_tcp_port(tcp_port) {}

    size_t Count() const override { return m_conns.size(); }

    void ConnectAll() override {
        if (qrn_tp_init() != QRN_TP_OK) Die("client init");
        const auto deadline = Clock::now() + kConnectLimit;
        for (size_t i = 0; i < m_conns.size(); ++i) {
            Open(i);
            const int batch = i < m_tcp ? kConnectBatch : kUdpConnectBatch;
            while (m_in_flight.load() >= batch && Clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
        while (m_in_flight.load() > 0 && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }

    bool Connected(size_t conn) const override { return m_conns[conn].state.load() == 1; }

    ESend Send(size_t conn, const uint8_t *msg) override {
        const int sent = qrn_tp_send(m_conns[conn].handle, msg, kMessageSize, QRN_TP_SEND_STREAM);
        return sent == kMessageSize ? ESend::kSent : ESend::kFailed;
    }

private:
    struct SConn {
        CQrnClient *owner = nullptr;
        int handle = 0;
        std::atomic<int> state{0};  // 0 connecting, 1 connected, -1 failed or closed
        SFramer framer;
    };

    static int Callback(uintptr_t user, int msg, uintptr_t, uintptr_t p1, uintptr_t p2, uintptr_t p3) {
        auto *c = reinterpret_cast<SConn *>(user);
        if (msg == QRN_TP_MSG_CONNECT_RESULT) {
            c->owner->Settle(c, p1 == QRN_TP_CONNECT_ACCEPTED ? 1 : -1);
        } else if (msg == QRN_TP_MSG_CLOSED) {
            c->owner->Settle(c, -1);
        } else if (msg == QRN_TP_MSG_DATA && p1 == QRN_TP_DATA_STREAM) {
            c->framer.Feed(reinterpret_cast<const uint8_t *>(p3), p2, &c->owner->m_tally);
        }
        return 0;
    }

    void Open(size_t i) {
        SConn &c = m_conns[i];
        const bool over_tcp = i < m_tcp;
        const char hello[] = "scale";
        c.owner = this;
        m_in_flight.fetch_add(1);
        c.handle = qrn_tp_connect("127.0.0.1", over_tcp ? 0 : m_udp_port, over_tcp ? m_tcp_port : 0, 0, nullptr, 0,
                                  &Callback, reinterpret_cast<uintptr_t>(&c), kBufferSize, sizeof(hello), hello);
        if (c.handle == 0) Settle(&c, -1);
    }

    // Every connection leaves "connecting" once, by whichever way comes first.
    void Settle(SConn *c, int state) {
        int connecting = 0;
        if (c->state.compare_exchange_strong(connecting, state)) m_in_flight.fetch_sub(1);
        else if (state < 0) c->state.store(state);
    }

    std::vector<SConn> m_conns;
    const size_t m_tcp;
    const uint16_t m_udp_port;
    const uint16_t m_tcp_port;
    std::atomic<int> m_in_flight{0};
};

// ---- a run ---------------------------------------------------------------------------------

struct SPorts {
    uint16_t udp = 0;
    uint16_t tcp = 0;
};

[[noreturn]] void ServerProcess(const SRunPlan &plan, SPorts ports, int ready_fd) {
    switch (plan.kind) {
    case EKind::kPlainUdp: PlainUdpServer(ports.udp, ready_fd);
    case EKind::kPlainTcp: PlainTcpServer(ports.tcp, ready_fd);
    case EKind::kQrnUdp:
    case EKind::kQrnTcp: QrnServer(ports.udp, ports.tcp, false, 1, ready_fd);
    case EKind::kQrnCombined: QrnServer(ports.udp, ports.tcp, true, plan.loops, ready_fd);
    }
    _exit(1);
}

[[noreturn]] void ClientProcess(const SConfig &cfg, const SRunPlan &plan, int tcp, int udp, SPorts ports,
                                int to_parent, int from_parent) {
    std::unique_ptr<CBenchClient> client;
    if (plan.kind == EKind::kPlainUdp) client = std::make_unique<CPlainUdpClient>(udp, ports.udp);
    else if (plan.kind == EKind::kPlainTcp) client = std::make_unique<CPlainTcpClient>(tcp, ports.tcp);
    else client = std::make_unique<CQrnClient>(tcp, udp, ports.udp, ports.tcp);
    CPacer pacer;
    pacer.AddGroup(0, static_cast<size_t>(tcp), cfg.tcp_rate);
    pacer.AddGroup(static_cast<size_t>(tcp), static_cast<size_t>(udp), cfg.udp_rate);
    RunClientProcess(client.get(), pacer, cfg.seconds, to_parent, from_parent);
}

int Share(int total, int procs, int p) { return total / procs + (p < total % procs ? 1 : 0); }

std::vector<SChild> StartClients(const SConfig &cfg, const SRunPlan &plan, SPorts ports) {
    std::vector<SChild> children;
    for (int p = 0; p < cfg.procs; ++p) {
        const int tcp = Share(plan.tcp, cfg.procs, p);
        const int udp = Share(plan.udp, cfg.procs, p);
        children.push_back(ForkClient([&](int to_parent, int from_parent) {
            ClientProcess(cfg, plan, tcp, udp, ports, to_parent, from_parent);
        }));
    }
    return children;
}

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

std::vector<std::string> Words(const std::string &line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

// The host's UDP receive error counters: the "Udp:" header line of /proc/net/snmp names the
// columns of the "Udp:" line that follows it.
SUdpErrors ReadUdpErrors() {
    SUdpErrors e;
    FILE *f = fopen("/proc/net/snmp", "r");
    if (f == nullptr) return e;
    std::vector<std::string> header, values;
    char line[2048];
    while (fgets(line, sizeof(line), f) != nullptr) {
        if (strncmp(line, "Udp:", 4) != 0) continue;
        if (!header.empty()) {
            values = Words(line);
            break;
        }
        header = Words(line);
    }
    fclose(f);
    for (size_t i = 1; i < header.size() && i < values.size(); ++i) {
        if (header[i] == "InErrors") e.in_errors = atoll(values[i].c_str());
        if (header[i] == "RcvbufErrors") e.rcvbuf_errors = atoll(values[i].c_str());
    }
    return e;
}

// What the kernel dropped on the loopback UDP socket bound to `port` so far (the last column
// of /proc/net/udp), or -1 when there is none: of the host's errors, the ones that are ours.
long long SocketDrops(uint16_t port) {
    FILE *f = fopen("/proc/net/udp", "r");
    if (f == nullptr) return -1;
    char want[32];
    snprintf(want, sizeof(want), "0100007F:%04X", port);
    long long drops = -1;
    char line[512];
    while (drops < 0 && fgets(line, sizeof(line), f) != nullptr) {
        const std::vector<std::string> words = Words(line);
        if (words.size() > 2 && words[1] == want) drops = atoll(words.back().c_str());
    }
    fclose(f);
    return drops;
}

double PercentileMs(std::vector<float> &v, double q) {
    if (v.empty()) return 0;
    const size_t at = std::min(v.size() - 1, static_cast<size_t>(q * static_cast<double>(v.size())));
    std::nth_element(v.begin(), v.begin() + static_cast<long>(at), v.end());
    return v[at] / 1000.0;
}

// Reads each client's report after the run, and its round trips.
std::vector<float> CollectRun(const std::vector<SChild> &children, SRunResult *r) {
    std::vector<float> samples;
    for (const SChild &c : children) {
        SClientReport rep;
        if (!ReadFull(c.from_child, &rep, sizeof(rep))) Die("a client ended early");
        r->counts.sent += rep.counts.sent;
        r->counts.refused += rep.counts.refused;
        r->echoed += rep.echoed;
        const size_t have = samples.size();
        samples.resize(have + rep.echoed);
        if (!ReadFull(c.from_child, samples.data() + have, rep.echoed * sizeof(float))) Die("samples");
    }
    return samples;
}

SRunResult RunOnce(const SConfig &cfg, const SRunPlan &plan) {
    SRunResult r;
    r.plan = plan;
    const SPorts ports{FreePort(SOCK_DGRAM), FreePort(SOCK_STREAM)};
    char ready = kServerFailed;
    const pid_t server = ForkServer([&](int fd) { ServerProcess(plan, ports, fd); }, &ready);
    if (ready == kServerFailed) Die("the server did not start");
    r.loops_set = ready != kServerOneLoop;
    if (!r.loops_set) printf("event loops not supported, run with 1\n");
    fflush(stdout);

    const SUdpErrors udp_before = ReadUdpErrors();
    const auto connect_start = Clock::now();
    const std::vector<SChild> children = StartClients(cfg, plan, ports);
    for (const SChild &c : children) {
        SClientReport rep;
        if (!ReadFull(c.from_child, &rep, sizeof(rep))) Die("a client ended early");
        r.connected += rep.connected;
    }
    r.connect_s = std::chrono::duration<double>(Clock::now() - connect_start).count();

    const double cpu_start = CpuSeconds(server);
    const char go = 1;
    for (const SChild &c : children) WriteFull(c.to_child, &go, 1);
    std::vector<float> samples = CollectRun(children, &r);
    r.cpu_s = CpuSeconds(server) - cpu_start;
    const SUdpErrors udp_after = ReadUdpErrors();
    r.udp_errors = {udp_after.in_errors - udp_before.in_errors, udp_after.rcvbuf_errors - udp_before.rcvbuf_errors};
    r.server_drops = SocketDrops(ports.udp);

    for (const SChild &c : children) {
        close(c.from_child);
        close(c.to_child);
        waitpid(c.pid, nullptr, 0);
    }
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    r.p50_ms = PercentileMs(samples, 0.5);
    r.p99_ms = PercentileMs(samples, 0.99);
    return r;
}

// ---- reports -------------------------------------------------------------------------------

void Print(const SConfig &cfg, const SRunResult &r) {
    const SRunPlan &s = r.plan;
    printf("%s", s.name);
    if (s.kind == EKind::kQrnCombined) printf(", %d event loop%s", r.LoopsRun(), r.LoopsRun() == 1 ? "" : "s");
    printf(":");
    if (s.udp > 0) printf(" %d UDP at %d/s", s.udp, cfg.udp_rate);
    if (s.tcp > 0) printf("%s %d TCP at %d/s", s.udp > 0 ? " +" : "", s.tcp, cfg.tcp_rate);
    printf("\n");
    printf("  connected       %d of %d in %.1f s\n", r.connected, r.Wanted(), r.connect_s);
    printf("  messages        %llu sent, %llu echoed, %llu lost", static_cast<unsigned long long>(r.counts.sent),
           static_cast<unsigned long long>(r.echoed), static_cast<unsigned long long>(r.Lost()));
    if (r.counts.refused > 0) printf(" (%llu refused by send)", static_cast<unsigned long long>(r.counts.refused));
    printf("\n  echo            p50 %.2f ms, p99 %.2f ms\n", r.p50_ms, r.p99_ms);
    printf("  server CPU      %.2f s, %.1f us per echoed message\n", r.cpu_s, r.CpuPerEchoUs());
    printf("  UDP rcv errors  InErrors %+lld, RcvbufErrors %+lld (host)", r.udp_errors.in_errors,
           r.udp_errors.rcvbuf_errors);
    if (r.server_drops >= 0) printf("; %lld dropped at the server's socket", r.server_drops);
    printf("\n");
    fflush(stdout);
}

const char *Mark(bool met) { return met ? "met" : "MISSED"; }

const SRunResult *Find(const std::vector<SRunResult> &results, EKind kind) {
    for (const SRunResult &r : results) {
        if (r.plan.kind == kind) return &r;
    }
    return nullptr;
}

bool CpuTarget(const char *what, const SRunResult *qrn, const SRunResult *plain) {
    if (qrn == nullptr || plain == nullptr || qrn->echoed == 0 || plain->echoed == 0) {
        printf("  1. %s: CPU per message, qrn / plain: not run   MISSED\n", what);
        return false;
    }
    const double ratio = qrn->CpuPerEchoUs() / plain->CpuPerEchoUs();
    const bool met = ratio <= kCpuRatioTarget;
    printf("  1. %s: CPU per message, qrn / plain: %.1f / %.1f us = %.2fx (<= %.0fx)   %s\n", what,
           qrn->CpuPerEchoUs(), plain->CpuPerEchoUs(), ratio, kCpuRatioTarget, Mark(met));
    return met;
}

bool CombinedTarget(const SRunResult &r) {
    const bool met = r.connected == r.Wanted() && r.Lost() == 0 && r.echoed > 0 &&
                     r.p99_ms < kRoundTripTargetMs && r.UdpErrorFree();
    printf("  2. combined, %d loop%s: connected %d of %d, %llu lost, p99 %.2f ms (< %.0f), host UDP rcv errors %lld/%lld"
           "   %s\n",
           r.LoopsRun(), r.LoopsRun() == 1 ? "" : "s", r.connected, r.Wanted(),
           static_cast<unsigned long long>(r.Lost()), r.p99_ms, kRoundTripTargetMs, r.udp_errors.in_errors,
           r.udp_errors.rcvbuf_errors, Mark(met));
    return met;
}

std::string Format(const char *format, ...) __attribute__((format(printf, 1, 2)));

std::string Format(const char *format, ...) {
    char text[64];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    return text;
}

void Row(const char *label, const std::vector<const SRunResult *> &runs,
         const std::function<std::string(const SRunResult &)> &cell) {
    printf("     %-14s", label);
    for (const SRunResult *r : runs) printf("%*s", kColumnWidth, cell(*r).c_str());
    printf("\n");
}

// The combined runs side by side; met when each ran with the loop count it asked for.
bool LoopsTarget(const std::vector<const SRunResult *> &runs) {
    bool met = !runs.empty();
    for (const SRunResult *r : runs) met = met && r->LoopsRun() == r->plan.loops;
    printf("  3. loop counts, side by side\n");
    Row("asked for", runs, [](const SRunResult &r) { return Format("%d", r.plan.loops); });
    Row("ran with", runs, [](const SRunResult &r) { return Format("%d", r.LoopsRun()); });
    Row("connected", runs, [](const SRunResult &r) { return Format("%d", r.connected); });
    Row("lost", runs, [](const SRunResult &r) { return Format("%llu", static_cast<unsigned long long>(r.Lost())); });
    Row("p50 ms", runs, [](const SRunResult &r) { return Format("%.2f", r.p50_ms); });
    Row("p99 ms", runs, [](const SRunResult &r) { return Format("%.2f", r.p99_ms); });
    Row("CPU us/msg", runs, [](const SRunResult &r) { return Format("%.1f", r.CpuPerEchoUs()); });
    Row("UDP errs/buf", runs, [](const SRunResult &r) {
        return Format("%lld/%lld", r.udp_errors.in_errors, r.udp_errors.rcvbuf_errors);
    });
    Row("server drops", runs, [](const SRunResult &r) { return Format("%lld", r.server_drops); });
    printf("     %s\n", Mark(met));
    return met;
}

// Prints the targets; true when all are met.
bool Summary(const std::vector<SRunResult> &results) {
    printf("targets\n");
    bool met = CpuTarget("UDP", Find(results, EKind::kQrnUdp), Find(results, EKind::kPlainUdp));
    met = CpuTarget("TCP", Find(results, EKind::kQrnTcp), Find(results, EKind::kPlainTcp)) && met;
    std::vector<const SRunResult *> combined;
    for (const SRunResult &r : results) {
        if (r.plan.kind == EKind::kQrnCombined) combined.push_back(&r);
    }
    if (combined.empty()) printf("  2. combined: not run   MISSED\n");
    for (const SRunResult *r : combined) met = CombinedTarget(*r) && met;
    met = LoopsTarget(combined) && met;
    printf("%s\n", met ? "all targets met" : "targets MISSED");
    return met;
}

// ---- the command line ----------------------------------------------------------------------

bool ParseLoops(const char *text, std::vector<int> *loops) {
    loops->clear();
    std::istringstream in(text);
    for (std::string item; std::getline(in, item, ',');) {
        const int v = atoi(item.c_str());
        if (v < 1 || v > QRN_TP_EVENT_LOOPS_MAX || loops->size() == kMaxLoopCounts) return false;
        loops->push_back(v);
    }
    return !loops->empty();
}

bool ParseArgs(int argc, char **argv, SConfig *cfg) {
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        const char *text = argv[i + 1];
        const int v = atoi(text);
        if (arg == "--udp" && v >= 0 && v <= 8000) cfg->udp = v;
        else if (arg == "--udp-rate" && v >= 1 && v <= 1000) cfg->udp_rate = v;
        else if (arg == "--tcp" && v >= 0 && v <= 15000) cfg->tcp = v;
        else if (arg == "--tcp-rate" && v >= 1 && v <= 1000) cfg->tcp_rate = v;
        else if (arg == "--procs" && v >= 1 && v <= 64) cfg->procs = v;
        else if (arg == "--seconds" && v >= 1 && v <= 600) cfg->seconds = v;
        else if (arg == "--loops" && ParseLoops(text, &cfg->loops)) continue;
        else if (arg == "--only" && (strcmp(text, "plain") == 0 || strcmp(text, "qrn") == 0)) {
            cfg->plain = strcmp(text, "plain") == 0;
            cfg->qrn = !cfg->plain;
        } else return false;
    }
    return argc % 2 == 1;
}

std::vector<SRunPlan> Plan(const SConfig &cfg) {
    std::vector<SRunPlan> runs;
    if (cfg.plain && cfg.udp > 0) runs.push_back({"a) plain UDP echo", EKind::kPlainUdp, cfg.udp, 0, 1});
    if (cfg.qrn && cfg.udp > 0) runs.push_back({"b) qrn reliable UDP", EKind::kQrnUdp, cfg.udp, 0, 1});
    if (cfg.plain && cfg.tcp > 0) runs.push_back({"c) plain TCP echo", EKind::kPlainTcp, 0, cfg.tcp, 1});
    if (cfg.qrn && cfg.tcp > 0) runs.push_back({"d) qrn TCP path", EKind::kQrnTcp, 0, cfg.tcp, 1});
    if (cfg.qrn && cfg.udp + cfg.tcp > 0) {
        for (int loops : cfg.loops) runs.push_back({"e) qrn combined", EKind::kQrnCombined, cfg.udp, cfg.tcp, loops});
    }
    return runs;
}

}  // namespace

int main(int argc, char **argv) {
    SConfig cfg;
    if (!ParseArgs(argc, argv, &cfg)) {
        fprintf(stderr, "usage: scale_bench [--udp N] [--udp-rate R] [--tcp N] [--tcp-rate R] [--procs N]"
                        " [--seconds N] [--loops LIST] [--only plain|qrn]\n");
        return 2;
    }
    RaiseFileLimit();
    signal(SIGPIPE, SIG_IGN);
    printf("scale_bench: %d-byte messages echoed by one server process, from %d client processes, %d s per run\n",
           kMessageSize, cfg.procs, cfg.seconds);
    fflush(stdout);
    std::vector<SRunResult> results;
    for (const SRunPlan &plan : Plan(cfg)) {
        results.push_back(RunOnce(cfg, plan));
        Print(cfg, results.back());
    }
    return Summary(results) ? 0 : 1;
}
