// qrncat's command line: the options, their checks, and the help a user can learn it from.
#ifndef QRN_TOOLS_QRNCAT_OPTIONS_H
#define QRN_TOOLS_QRNCAT_OPTIONS_H

#include <stdlib.h>

#include <string>

#include "qrn/qrn_tp.h"

namespace qrncat {

constexpr int kMaxPort = 65535;
constexpr int kMaxUdpRateMbit = 10000;

const char kUsage[] =
    "usage: qrncat -l [--bind IP] [--udp P] [--tcp P] [--udp-rate MBIT] [--trace FILE] [-d] [-q]\n"
    "       qrncat HOST [--udp P] [--tcp P] [--http P] [--relay HOST:PORT] [--udp-rate MBIT]\n"
    "              [--race-stagger MS] [--trace FILE] [-d] [-q]\n"
    "       qrncat --help | --version\n";

const char kHelp[] =
    "qrncat: netcat over libqrntp. Standard input goes out on the connection's stream, the\n"
    "stream comes out on standard output, events and progress go to standard error.\n"
    "\n"
    "  -l                listen and serve one client (a second one is refused, code 1000)\n"
    "  --bind IP         listen on this address only (default: every address)\n"
    "  --udp P           reliable UDP on port P\n"
    "  --tcp P           TCP on port P (port 443 of a remote host goes through the proxy that\n"
    "                    https_proxy, all_proxy or http_proxy names)\n"
    "  --http P          connect through the HTTP tunnel: qrntunnel listening on port P of\n"
    "                    HOST, in front of the server's --tcp port (a listener has no HTTP\n"
    "                    port of its own). Given with --udp or --tcp, the kinds race:\n"
    "                    reliable UDP first, then TCP, then the tunnel; the first through\n"
    "                    carries the stream, and when its path breaks (or stays silent for\n"
    "                    10 s) the stream resumes over whichever kind still gets through\n"
    "  --race-stagger MS in a race, start each kind MS milliseconds after the one before\n"
    "                    (default 250; 0 starts them all at once; at most 10000)\n"
    "  --relay HOST:PORT reliable UDP: a relay that helps to punch through translators\n"
    "  --udp-rate MBIT   reliable UDP finds the path's rate, up to MBIT Mbit/s, instead of\n"
    "                    starting at 200 KB/s and stopping at 2 MB/s (give it on both ends)\n"
    "  --trace FILE      write the library's trace to FILE\n"
    "  -d                do not read standard input (send nothing; only receive)\n"
    "  -q                no progress lines (the lines about the connection and its paths stay)\n"
    "  -h, --help        this help;  --version  the version\n"
    "\n"
    "Between two qrncats the end of one side's input is a half-close: the other side's bytes\n"
    "keep flowing until its input ends too; then the connecting side closes. Exit status: 0\n"
    "when every byte taken from standard input reached the peer and the peer's stream ended\n"
    "whole, 1 when the connection failed or ended early or bytes were not delivered (also\n"
    "after Ctrl-C or SIGTERM, which close the connection at once), 2 for a bad command line.\n"
    "\n"
    "Examples:\n"
    "  qrncat -l --tcp 5000 > received              # serve on TCP port 5000\n"
    "  qrncat server.example --tcp 5000 < file      # send a file to it\n"
    "  qrncat -l --udp 5001 -d > received           # reliable UDP, receive only\n"
    "  qrncat server.example --udp 5001 --relay relay.example:3478 < file\n"
    "  qrncat -l --udp 5001 --udp-rate 100 > received   # a long fast path: both ends\n"
    "  qrncat -l --udp 5001 --tcp 5000              # offer both; a client may use both\n"
    "  qrncat server.example --udp 5001 --tcp 5000  # TCP for the stream, UDP beside it\n"
    "  qrntunnel --listen 0.0.0.0:8080 --target 127.0.0.1:5000 &   # the tunnel, in front of\n"
    "  qrncat server.example --http 8080 < file     # the listener's TCP port\n"
    "  qrncat server.example --udp 5001 --tcp 5000 --http 8080 < file   # whichever gets through\n";

struct SOptions {
    bool listen = false;
    bool no_stdin = false;
    bool quiet = false;
    bool help = false;
    bool version = false;
    std::string host;
    std::string bind_ip;
    std::string relay_host;
    int relay_port = 0;
    std::string trace_file;
    int udp_port = 0;
    int tcp_port = 0;
    int http_port = 0;
    int udp_rate_mbit = 0;  // 0: the original reliable-UDP rate rules
    int race_stagger_ms = -1;  // -1: the library's default
};

inline bool ParsePort(const std::string &text, int *port) {
    bool digits = text.find_first_not_of("0123456789") == std::string::npos;
    if (text.empty() || text.size() > 5 || !digits) return false;
    int value = std::atoi(text.c_str());
    if (value < 1 || value > kMaxPort) return false;
    *port = value;
    return true;
}

inline bool ParseRate(const std::string &text, int *mbit) {
    bool digits = text.find_first_not_of("0123456789") == std::string::npos;
    if (text.empty() || text.size() > 5 || !digits) return false;
    int value = std::atoi(text.c_str());
    if (value < 1 || value > kMaxUdpRateMbit) return false;
    *mbit = value;
    return true;
}

inline bool ParseStagger(const std::string &text, int *ms) {
    bool digits = text.find_first_not_of("0123456789") == std::string::npos;
    if (text.empty() || text.size() > 5 || !digits) return false;
    int value = std::atoi(text.c_str());
    if (value > QRN_TP_RACE_STAGGER_MAX) return false;
    *ms = value;
    return true;
}

inline bool ParseRelay(const std::string &text, SOptions *opt) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0) return false;
    opt->relay_host = text.substr(0, colon);
    return ParsePort(text.substr(colon + 1), &opt->relay_port);
}

inline bool CheckCombination(const SOptions &opt, std::string *error) {
    if (opt.udp_port == 0 && opt.tcp_port == 0 && opt.http_port == 0) {
        *error = "give at least one of --udp, --tcp, --http";
    } else if (opt.listen && !opt.host.empty()) {
        *error = "-l takes no host (use --bind)";
    } else if (opt.listen && opt.http_port != 0) {
        *error = "a listener has no HTTP port: run qrntunnel in front of its --tcp port";
    } else if (opt.listen && !opt.relay_host.empty()) {
        *error = "--relay is for connecting";
    } else if (!opt.listen && opt.host.empty()) {
        *error = "no host to connect to";
    } else if (!opt.listen && !opt.bind_ip.empty()) {
        *error = "--bind is for listening";
    } else if (opt.race_stagger_ms >= 0 && (opt.listen || opt.http_port == 0 ||
                                            (opt.udp_port == 0 && opt.tcp_port == 0))) {
        *error = "--race-stagger is for a race: connect with --http and --udp or --tcp";
    } else {
        return true;
    }
    return false;
}

// Fills opt from the command line; on failure returns false with a one-line reason. --help
// and --version stop the parsing: nothing else is checked.
inline bool ParseArgs(int argc, char **argv, SOptions *opt, std::string *error) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            opt->help = true;
            return true;
        }
        if (arg == "--version") {
            opt->version = true;
            return true;
        }
        if (arg == "-l") {
            opt->listen = true;
        } else if (arg == "-d") {
            opt->no_stdin = true;
        } else if (arg == "-q") {
            opt->quiet = true;
        } else if (arg == "--bind" || arg == "--trace" || arg == "--relay" || arg == "--udp" ||
                   arg == "--tcp" || arg == "--http" || arg == "--udp-rate" || arg == "--race-stagger") {
            if (i + 1 >= argc) {
                *error = arg + " needs a value";
                return false;
            }
            std::string v = argv[++i];
            bool ok = true;
            if (arg == "--bind") opt->bind_ip = v;
            else if (arg == "--trace") opt->trace_file = v;
            else if (arg == "--relay") ok = ParseRelay(v, opt);
            else if (arg == "--udp") ok = ParsePort(v, &opt->udp_port);
            else if (arg == "--tcp") ok = ParsePort(v, &opt->tcp_port);
            else if (arg == "--udp-rate") ok = ParseRate(v, &opt->udp_rate_mbit);
            else if (arg == "--race-stagger") ok = ParseStagger(v, &opt->race_stagger_ms);
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
    return CheckCombination(*opt, error);
}

}  // namespace qrncat

#endif
