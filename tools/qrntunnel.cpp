// qrntunnel: the tunnel server for the library's HTTP tunnel. It answers the capability
// detector and both tunnel forms, and joins each tunnel session to a TCP connection to the
// multi-mode server's TCP port.
//   qrntunnel --target HOST:PORT [--listen IP:PORT] [--max-sessions N] [--idle-timeout MS]
//             [--hold MS] [--max-per-source N] [--max-conns-per-source N] [--any-source]
//             [--detector-lifetime MS] [--trace FILE]
#include <signal.h>
#include <sys/resource.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>

#include "qrnlibl/qrn_trace.h"
#include "qrntunnel/tunnel_server.h"
#include "qrntunnel/tunnel_target.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitFailure = 1;

// Descriptors kept for everything but sessions and their HTTP connections.
constexpr long kReservedFds = 64;
// Descriptors one session may take: its target connection and a large-post pair of requests.
constexpr long kFdsPerSession = 3;

const char kUsage[] =
    "usage: qrntunnel --target HOST:PORT [--listen IP:PORT] [--max-sessions N]\n"
    "                 [--idle-timeout MS] [--hold MS] [--max-per-source N]\n"
    "                 [--max-conns-per-source N] [--any-source] [--detector-lifetime MS]\n"
    "                 [--trace FILE]\n"
    "  --target        the multi-mode server's TCP port that every tunnel session is joined to\n"
    "  --listen        the address and port to answer HTTP on (default 0.0.0.0:8080)\n"
    "  --max-sessions  sessions open at once, detector sessions included (default 4096;\n"
    "                  lowered to what the descriptor limit allows)\n"
    "  --idle-timeout  a session whose client sends nothing for this long ends (default 60000)\n"
    "  --hold          a single-post poll waits this long for data before its empty reply\n"
    "                  (default 0: replied at once)\n"
    "  --max-per-source        sessions one client address may hold (default max-sessions/8)\n"
    "  --max-conns-per-source  HTTP connections from one address (default 2 per session\n"
    "                          it may hold, and 16)\n"
    "  --any-source    a session answers requests from any address, not only from the one\n"
    "                  that opened it (for proxies that spread a client over addresses)\n"
    "  --detector-lifetime  a detector session ends this long after it opened (default 20000)\n"
    "  --trace FILE    write the trace file\n";

struct COptions {
    qrntunnel::CServerConfig config;
    std::string trace_file;
    bool have_target = false;
};

bool ParseNumber(const std::string &text, long low, long high, long *out) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    if (text.size() > 9) return false;
    long v = strtol(text.c_str(), nullptr, 10);
    if (v < low || v > high) return false;
    *out = v;
    return true;
}

// 0 on success, else the exit code (usage printed).
int ParseOptions(int argc, char **argv, COptions *opt) {
    opt->config.listen_ip = 0;
    opt->config.listen_port = 8080;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            fputs(kUsage, stdout);
            exit(0);
        }
        if (arg == "--any-source") {
            opt->config.any_source = true;
            continue;
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "qrntunnel: %s needs a value\n%s", arg.c_str(), kUsage);
            return kExitUsage;
        }
        std::string v = argv[++i];
        long n = 0;
        bool ok = true;
        if (arg == "--target") {
            ok = qrntunnel::ParseHostPort(v, &opt->config.target.ip, &opt->config.target.port);
            opt->have_target = ok;
        } else if (arg == "--listen") {
            ok = qrntunnel::ParseHostPort(v, &opt->config.listen_ip, &opt->config.listen_port);
        } else if (arg == "--max-sessions") {
            ok = ParseNumber(v, 1, 100000, &n);
            opt->config.max_sessions = static_cast<int>(n);
        } else if (arg == "--idle-timeout") {
            ok = ParseNumber(v, 1, 24 * 3600 * 1000, &n);
            opt->config.idle_timeout_ms = static_cast<int>(n);
        } else if (arg == "--hold") {
            ok = ParseNumber(v, 0, 60 * 1000, &n);
            opt->config.hold_ms = static_cast<int>(n);
        } else if (arg == "--max-per-source") {
            ok = ParseNumber(v, 1, 100000, &n);
            opt->config.max_per_source = static_cast<int>(n);
        } else if (arg == "--max-conns-per-source") {
            ok = ParseNumber(v, 1, 1000000, &n);
            opt->config.max_conns_per_source = static_cast<int>(n);
        } else if (arg == "--detector-lifetime") {
            ok = ParseNumber(v, 1, 3600 * 1000, &n);
            opt->config.detector_lifetime_ms = static_cast<int>(n);
        } else if (arg == "--trace") {
            opt->trace_file = v;
        } else {
            ok = false;
        }
        if (!ok) {
            fprintf(stderr, "qrntunnel: bad argument %s %s\n%s", arg.c_str(), v.c_str(), kUsage);
            return kExitUsage;
        }
    }
    if (!opt->have_target) {
        fprintf(stderr, "qrntunnel: --target is required\n%s", kUsage);
        return kExitUsage;
    }
    return 0;
}

// Thousands of sessions need thousands of descriptors: the soft limit goes up to the hard one,
// and the sessions and connections are sized to fit in it.
void FitDescriptorLimit(qrntunnel::CServerConfig *config) {
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return;
    if (lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &lim) != 0) getrlimit(RLIMIT_NOFILE, &lim);
    }
    if (lim.rlim_cur == RLIM_INFINITY) return;
    long fds = static_cast<long>(lim.rlim_cur);
    long sessions = std::max(1L, (fds - kReservedFds) / kFdsPerSession);
    if (config->max_sessions > sessions) {
        fprintf(stderr, "qrntunnel: %ld descriptors allow %ld sessions, not %d\n", fds, sessions,
                config->max_sessions);
        config->max_sessions = static_cast<int>(sessions);
    }
    // The HTTP connections get what the sessions' target connections leave, up to a pair per
    // session and some for the requests that are refused.
    long sessions_fds = static_cast<long>(config->max_sessions);
    long wanted = sessions_fds * (kFdsPerSession - 1) + kReservedFds;
    config->max_connections =
        static_cast<int>(std::max(1L, std::min(wanted, fds - kReservedFds - sessions_fds)));
}

}  // namespace

int main(int argc, char **argv) {
    COptions opt;
    int rc = ParseOptions(argc, argv, &opt);
    if (rc != 0) return rc;
    FitDescriptorLimit(&opt.config);
    // Every thread started from here on inherits the mask, so only sigwait sees these.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    if (!opt.trace_file.empty() && qrn_trace_open(opt.trace_file.c_str()) != 0) {
        fprintf(stderr, "qrntunnel: cannot open the trace file %s\n", opt.trace_file.c_str());
        return kExitFailure;
    }
    qrntunnel::CTunnelServer server(opt.config);
    if (!server.Start()) {
        fprintf(stderr, "qrntunnel: cannot listen on port %u\n", opt.config.listen_port);
        return kExitFailure;
    }
    printf("qrntunnel: listening on port %u\n", opt.config.listen_port);
    fflush(stdout);
    int sig = 0;
    sigwait(&signals, &sig);
    server.Stop();
    qrn_trace_close();
    return 0;
}
