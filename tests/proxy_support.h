// Proxies for the tests: the environment that names one, and real proxy programs (tinyproxy
// for HTTP CONNECT, microsocks and dante for SOCKS5) started on free loopback ports with their
// configuration in a temporary directory. The environment is process-wide: a test changes it
// only while no other thread of the test may connect, and puts it back when done.
#ifndef QRN_TESTS_PROXY_SUPPORT_H
#define QRN_TESTS_PROXY_SUPPORT_H

#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "child_process.h"
#include "raw_peer.h"

namespace qrntest {

// Sets or clears every proxy variable (both cases) for the life of the object.
class ScopedProxyEnv {
public:
    ScopedProxyEnv() {
        for (const char *name : kNames) {
            const char *v = getenv(name);
            if (v != nullptr) m_saved[name] = v;
            unsetenv(name);
        }
    }
    ~ScopedProxyEnv() {
        for (const char *name : kNames) unsetenv(name);
        for (const auto &entry : m_saved) setenv(entry.first.c_str(), entry.second.c_str(), 1);
    }
    ScopedProxyEnv(const ScopedProxyEnv &) = delete;
    ScopedProxyEnv &operator=(const ScopedProxyEnv &) = delete;

    void Set(const char *name, const std::string &value) { setenv(name, value.c_str(), 1); }
    void Clear(const char *name) { unsetenv(name); }

private:
    static constexpr const char *kNames[] = {"https_proxy", "HTTPS_PROXY", "http_proxy", "HTTP_PROXY",
                                             "all_proxy",   "ALL_PROXY",   "no_proxy",   "NO_PROXY"};
    std::map<std::string, std::string> m_saved;
};

// Binding port 443 needs root; the tests that need it skip themselves otherwise.
inline bool CanBindPrivilegedPorts() { return geteuid() == 0; }

constexpr uint16_t kProxiedPort = 443;

// One real proxy program on 127.0.0.1:port, restartable on the same port.
class CProxyProgram {
public:
    enum Kind { kTinyproxy, kMicrosocks, kDante };

    // deny_port (tinyproxy): CONNECT is allowed only to that port, so 443 gets 403.
    // blocked_ip (dante): CONNECT to this address is refused by a rule (reply 2).
    CProxyProgram(Kind kind, std::string deny_hint = "") : m_kind(kind), m_hint(std::move(deny_hint)) {}

    // tinyproxy (BasicAuth) and microsocks (-u, -P): the proxy asks for this user and password
    // from the next Start on.
    void RequireCredentials(const std::string &user, const std::string &password) {
        m_user = user;
        m_password = password;
    }

    static const char *ProgramName(Kind kind) {
        switch (kind) {
        case kTinyproxy:
            return "tinyproxy";
        case kMicrosocks:
            return "microsocks";
        default:
            return "danted";
        }
    }
    // Empty when the program is there; otherwise why the test skips.
    std::string Missing() const {
        if (FindProgram(ProgramName(m_kind)).empty()) {
            return std::string(ProgramName(m_kind)) + " is not installed (scripts/setup.sh installs it)";
        }
        return "";
    }

    bool Start() {
        if (m_port == 0) m_port = FreePort();
        m_child = std::make_unique<ChildProcess>();
        if (!m_child->Start(Argv())) return false;
        return m_child->WaitForTcpPort(m_port);
    }
    // A crash as the peers see it: every connection it carries breaks at once.
    void Kill() {
        if (m_child) m_child->Kill();
    }
    void Stop() {
        if (m_child) m_child->Stop();
    }
    uint16_t Port() const { return m_port; }
    std::string Output() { return m_child ? m_child->Output() : ""; }
    ChildProcess &Child() { return *m_child; }
    // The environment's form of this proxy.
    std::string Url() const {
        return std::string(m_kind == kTinyproxy ? "http://" : "socks5://") + "127.0.0.1:" + std::to_string(m_port);
    }

private:
    std::vector<std::string> Argv() {
        const std::string port = std::to_string(m_port);
        switch (m_kind) {
        case kTinyproxy: {
            const std::string allowed = m_hint.empty() ? std::to_string(kProxiedPort) : m_hint;
            const std::string conf = m_dir.Write("tinyproxy.conf", "Port " + port +
                                                                       "\nListen 127.0.0.1\nTimeout 60\n"
                                                                       "Allow 127.0.0.0/8\nConnectPort " +
                                                                       allowed + "\nLogLevel Connect\n" +
                                                                       (m_user.empty() ? std::string()
                                                                                       : "BasicAuth " + m_user + " " +
                                                                                             m_password + "\n"));
            return {FindProgram("tinyproxy"), "-d", "-c", conf};
        }
        case kMicrosocks:
            if (!m_user.empty()) {
                return {FindProgram("microsocks"), "-i", "127.0.0.1", "-p", port, "-u", m_user, "-P", m_password};
            }
            return {FindProgram("microsocks"), "-i", "127.0.0.1", "-p", port};
        default: {
            std::string rules = "client pass { from: 127.0.0.0/8 to: 0.0.0.0/0 }\n";
            if (!m_hint.empty()) rules += "socks block { from: 0.0.0.0/0 to: " + m_hint + "/32 }\n";
            rules += "socks pass { from: 127.0.0.0/8 to: 0.0.0.0/0 command: connect }\n";
            const std::string conf = m_dir.Write("danted.conf", "logoutput: stderr\ninternal: 127.0.0.1 port = " +
                                                                    port +
                                                                    "\nexternal: 127.0.0.1\n"
                                                                    "clientmethod: none\nsocksmethod: none\n"
                                                                    "user.privileged: root\n"
                                                                    "user.unprivileged: nobody\n" +
                                                                    rules);
            return {FindProgram("danted"), "-f", conf, "-N", "1"};
        }
        }
    }

    Kind m_kind;
    std::string m_hint;
    std::string m_user;
    std::string m_password;
    TempDir m_dir;
    uint16_t m_port = 0;
    std::unique_ptr<ChildProcess> m_child;
};

}  // namespace qrntest

#endif
