// nginx as a reverse proxy for the tests: one process (no master, no daemon) on a free
// loopback port, passing every request to one upstream port, its configuration, pid file,
// logs and temporary bodies in a private directory, stopped by its own pid.
#ifndef QRN_TESTS_NGINX_PROXY_H
#define QRN_TESTS_NGINX_PROXY_H

#include <fstream>
#include <sstream>
#include <string>

#include "child_process.h"
#include "raw_peer.h"
#include "test_support.h"

namespace qrntest {

class NginxReverseProxy {
public:
    // Empty when nginx is there; otherwise why the test skips.
    static std::string Missing() {
        return FindProgram("nginx").empty() ? "nginx is not installed (scripts/setup.sh installs it)" : "";
    }

    // request_buffering: nginx reads each request body whole before passing it on, so a
    // body that never ends never reaches the upstream.
    bool Start(uint16_t upstream_port, bool request_buffering) {
        std::ostringstream location;
        location << "    location / {\n      proxy_pass http://127.0.0.1:" << upstream_port << ";\n"
                 << "      proxy_http_version 1.1;\n"
                 << "      proxy_request_buffering " << (request_buffering ? "on" : "off") << ";\n"
                 << "      client_max_body_size 0;\n    }\n";
        return StartWith(location.str());
    }

    // locations: the server block's location blocks, as an operator writes them.
    bool StartWith(const std::string &locations) {
        m_port = FreePort();
        const std::string &d = m_dir.Path();
        std::ostringstream conf;
        conf << "daemon off;\nmaster_process off;\nworker_processes 1;\n"
             << "pid " << d << "/nginx.pid;\nerror_log " << d << "/error.log info;\n"
             << "events { worker_connections 256; }\n"
             << "http {\n  access_log " << d << "/access.log;\n"
             << "  client_body_temp_path " << d << "/body;\n  proxy_temp_path " << d << "/proxy;\n"
             << "  fastcgi_temp_path " << d << "/fastcgi;\n  uwsgi_temp_path " << d << "/uwsgi;\n"
             << "  scgi_temp_path " << d << "/scgi;\n"
             << "  server {\n    listen 127.0.0.1:" << m_port << ";\n"
             << locations << "  }\n}\n";
        const std::string file = m_dir.Write("nginx.conf", conf.str());
        return m_child.Start({FindProgram("nginx"), "-p", d, "-e", d + "/error.log", "-c", file}) &&
               m_child.WaitForTcpPort(m_port);
    }
    uint16_t Port() const { return m_port; }
    // What nginx passed on, one line a request.
    std::string AccessLog() const { return ReadFile("access.log"); }
    std::string ErrorLog() const { return ReadFile("error.log"); }

private:
    std::string ReadFile(const std::string &name) const {
        std::ifstream in(m_dir.Path() + "/" + name);
        std::ostringstream all;
        all << in.rdbuf();
        return all.str();
    }

    TempDir m_dir;
    ChildProcess m_child;  // declared after the directory, so it stops before the files go
    uint16_t m_port = 0;
};

}  // namespace qrntest

#endif
