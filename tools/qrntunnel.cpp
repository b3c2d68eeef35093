// qrntunnel: the tunnel server for the library's HTTP tunnel. It answers the capability
// detector and both tunnel forms, and joins each tunnel session to a TCP connection to the
// multi-mode server's TCP port.
//   qrntunnel --target HOST:PORT [--listen IP:PORT] [--max-sessions N] [--idle-timeout MS]
//             [--hold MS] [--max-per-source N] [--max-conns-per-source N] [--any-source]
//             [--detector-lifetime MS] [--quiet] [--verbose] [--trace FILE]
// Exit codes as qrncat's: 0 stopped by SIGINT or SIGTERM, 1 failure, 2 bad usage.
#include <signal.h>
#include <sys/resource.h>
#include <stdio.h>
#include <stdlib.h>

#include <algorithm>
#include <string>

#include "qrnlibl/qrn_trace.h"
#include "qrntunnel/tunnel_report.h"
#include "qrntunnel/tunnel_server.h"
#include "qrntunnel/tunnel_target.h"

#ifndef QRN_VERSION
#define QRN_VERSION "unknown"
#endif

namespace {

constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// ParseOptions' answer when the server is to start.
constexpr int kRun = -1;

// Descriptors kept for everything but sessions and their HTTP connections.
constexpr long kReservedFds = 64;
// Descriptors one session may take: its target connection and a large-post pair of requests.
constexpr long kFdsPerSession = 3;

const char kDefaultListen[] = "0.0.0.0:8080";

const char kUsage[] =
    "usage: qrntunnel --target HOST:PORT [--listen IP:PORT] [--max-sessions N]\n"
    "                 [--idle-timeout MS] [--hold MS] [--max-per-source N]\n"
    "                 [--max-conns-per-source N] [--any-source] [--detector-lifetime MS]\n"
    "                 [--quiet] [--verbose] [--trace FILE]\n"
    "       qrntunnel --help | --version\n"
    "  --target        the multi-mode server's TCP port that every tunnel session is joined to\n"
    "                  (its host is resolved once, at start)\n"
    "  --listen        the address and port to answer HTTP on (default 0.0.0.0:8080; port 0:\n"
    "                  one the system chooses, named in the \"listening on\" line)\n"
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
    "  -q, --quiet     no line per session opened and ended\n"
    "  -v, --verbose   the HTTP library's own messages as well\n"
    "  --trace FILE    write the trace file\n"
    "Standard error gets the address listened on and a line per session opened and ended.\n"
    "SIGINT or SIGTERM stops the server (exit 0); 1 is a failure, 2 bad usage.\n"
    "example: qrntunnel --listen 127.0.0.1:8080 --target 127.0.0.1:5000\n";

struct COptions {
    qrntunnel::CServerConfig config;
    std::string listen_host;
    std::string target_host;
    std::string trace_file;
    bool quiet = false;
    bool verbose = false;
};

struct CNumberOption {
    const char *name;
    long low;
    long high;
    int qrntunnel::CServerConfig::*field;
};

const CNumberOption kNumberOptions[] = {
    {"--max-sessions", 1, 100000, &qrntunnel::CServerConfig::max_sessions},
    {"--idle-timeout", 1, 24 * 3600 * 1000, &qrntunnel::CServerConfig::idle_timeout_ms},
    {"--hold", 0, 60 * 1000, &qrntunnel::CServerConfig::hold_ms},
    {"--max-per-source", 1, 100000, &qrntunnel::CServerConfig::max_per_source},
    {"--max-conns-per-source", 1, 1000000, &qrntunnel::CServerConfig::max_conns_per_source},
    {"--detector-lifetime", 1, 3600 * 1000, &qrntunnel::CServerConfig::detector_lifetime_ms},
};

int Usage(const std::string &problem) {
    fprintf(stderr, "qrntunnel: %s\n%s", problem.c_str(), kUsage);
    return kExitUsage;
}

bool ParseNumber(const std::string &text, long low, long high, long *out) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    if (text.size() > 9) return false;
    long v = strtol(text.c_str(), nullptr, 10);
    if (v < low || v > high) return false;
    *out = v;
    return true;
}

const CNumberOption *FindNumberOption(const std::string &name) {
    for (const CNumberOption &o : kNumberOptions) {
        if (name == o.name) return &o;
    }
    return nullptr;
}

// An option without a value; false when arg is none of them.
bool TakeFlag(const std::string &arg, COptions *opt) {
    if (arg == "--any-source") {
        opt->config.any_source = true;
    } else if (arg == "-q" || arg == "--quiet") {
        opt->quiet = true;
    } else if (arg == "-v" || arg == "--verbose") {
        opt->verbose = true;
    } else {
        return false;
    }
    return true;
}

// An option with a value: kRun, or the exit code of bad usage.
int TakeValue(const std::string &arg, const std::string &v, COptions *opt) {
    bool ok = true;
    if (arg == "--target") {
        ok = qrntunnel::SplitHostPort(v, &opt->target_host, &opt->config.target.port);
    } else if (arg == "--listen") {
        ok = qrntunnel::SplitHostPort(v, &opt->listen_host, &opt->config.listen_port, 0);
    } else if (arg == "--trace") {
        opt->trace_file = v;
    } else if (const CNumberOption *number = FindNumberOption(arg)) {
        long n = 0;
        ok = ParseNumber(v, number->low, number->high, &n);
        opt->config.*(number->field) = static_cast<int>(n);
    } else {
        return Usage("unknown option " + arg);
    }
    if (!ok) return Usage("bad value for " + arg + ": '" + v + "'");
    return kRun;
}

bool TakesValue(const std::string &arg) {
    return arg == "--target" || arg == "--listen" || arg == "--trace" ||
           FindNumberOption(arg) != nullptr;
}

// kRun when the server is to start, else the exit code (usage or version printed).
int ParseOptions(int argc, char **argv, COptions *opt) {
    qrntunnel::SplitHostPort(kDefaultListen, &opt->listen_host, &opt->config.listen_port, 0);
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            fputs(kUsage, stdout);
            return kExitOk;
        }
        if (arg == "--version") {
            printf("qrntunnel %s\n", QRN_VERSION);
            return kExitOk;
        }
        if (TakeFlag(arg, opt)) continue;
        if (!TakesValue(arg)) {
            return Usage(arg.compare(0, 1, "-") == 0 ? "unknown option " + arg
                                                     : "unexpected argument " + arg);
        }
        if (i + 1 >= argc) return Usage(arg + " needs a value");
        const int rc = TakeValue(arg, argv[++i], opt);
        if (rc != kRun) return rc;
    }
    if (opt->target_host.empty()) return Usage("--target is required");
    return kRun;
}

// The hosts named on the command line, resolved once: false (said why) when one is not.
bool ResolveHosts(COptions *opt) {
    if (!qrntunnel::ResolveHost(opt->target_host, &opt->config.target.ip)) {
        fprintf(stderr, "qrntunnel: cannot resolve target host '%s'\n", opt->target_host.c_str());
        return false;
    }
    if (!qrntunnel::ResolveHost(opt->listen_host, &opt->config.listen_ip)) {
        fprintf(stderr, "qrntunnel: cannot resolve listen host '%s'\n", opt->listen_host.c_str());
        return false;
    }
    return true;
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
    if (rc != kRun) return rc;
    if (!ResolveHosts(&opt)) return kExitFailure;
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
    qrntunnel::CTunnelReport report(!opt.quiet, opt.verbose);
    opt.config.report = &report;
    qrntunnel::CTunnelServer server(opt.config);
    const std::string wanted =
        qrntunnel::FormatAddress(opt.config.listen_ip, opt.config.listen_port);
    if (!server.Start()) {
        const std::string why = report.LastLibraryMessage();
        report.Line("cannot listen on " + wanted + (why.empty() ? "" : ": " + why));
        return kExitFailure;
    }
    report.Line("listening on " +
                qrntunnel::FormatAddress(opt.config.listen_ip, server.BoundPort()) +
                ", sessions to " +
                qrntunnel::FormatAddress(opt.config.target.ip, opt.config.target.port));
    int sig = 0;
    sigwait(&signals, &sig);
    server.Stop();
    qrn_trace_close();
    return kExitOk;
}
