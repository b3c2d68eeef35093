// What the tunnel clients' tests talk to: the built tunnel server in a child process, and a
// scripted HTTP server on raw sockets that answers each request as a test tells it, for the
// servers that break the protocol.
#ifndef QRN_TESTS_TUNNEL_FIXTURE_H
#define QRN_TESTS_TUNNEL_FIXTURE_H

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "http/detectr.h"
#include "http/dtctrpdu.h"
#include "http/http_defs.h"
#include "raw_peer.h"
#include "test_support.h"

namespace qrntest {

inline std::string TunnelServerPath() {
#ifdef QRNTUNNEL_PATH
    return QRNTUNNEL_PATH;
#else
    return "";
#endif
}

// qrntunnel on a free loopback port, joined to target_port.
class TunnelServer {
public:
    bool Start(uint16_t target_port) {
        m_port = FreePort();
        std::vector<std::string> argv = {TunnelServerPath(), "--listen",
                                         "127.0.0.1:" + std::to_string(m_port), "--target",
                                         "127.0.0.1:" + std::to_string(target_port)};
        return m_child.Start(argv) && m_child.WaitForTcpPort(m_port);
    }
    uint16_t Port() const { return m_port; }

private:
    ChildProcess m_child;
    uint16_t m_port = 0;
};

// One request as the scripted server saw it.
struct ScriptedRequest {
    std::string method;
    std::string target;
    std::string body;  // the first body bytes, as many as the script asked to read
};

// Answers every request on a thread of its own: the script names how many body bytes to read
// before answering (0 for none) and the raw bytes to answer with (empty: stay silent until the
// client or the server closes). The answer may be cut at will to play a broken server.
class ScriptedHttpServer {
public:
    using Script = std::function<std::string(const ScriptedRequest &)>;
    using BodyLength = std::function<size_t(const ScriptedRequest &)>;

    ScriptedHttpServer(Script script, BodyLength body_length = nullptr)
        : m_script(std::move(script)), m_body_length(std::move(body_length)) {
        m_listen = RawListen(&m_port);
        if (m_listen >= 0) m_acceptor = std::thread([this] { Accept(); });
    }
    ~ScriptedHttpServer() {
        m_stop = true;
        ::shutdown(m_listen, SHUT_RDWR);
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            for (int fd : m_fds) ::shutdown(fd, SHUT_RDWR);
        }
        if (m_acceptor.joinable()) m_acceptor.join();
        for (std::thread &t : m_threads) t.join();
        for (int fd : m_fds) ::close(fd);
        ::close(m_listen);
    }
    uint16_t Port() const { return m_port; }
    int Requests() const { return m_requests; }
    int Connections() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return static_cast<int>(m_fds.size());
    }

    static std::string Reply(const std::string &body) {
        return "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: " + std::to_string(body.size()) +
               "\r\n\r\n" + body;
    }
    // A head that promises a long body, and then only the bytes given.
    static std::string Stream(const std::string &first_bytes) {
        return "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + first_bytes;
    }

private:
    void Accept() {
        while (!m_stop) {
            int fd = ::accept(m_listen, nullptr, nullptr);
            if (fd < 0) return;
            std::lock_guard<std::mutex> guard(m_mutex);
            m_fds.push_back(fd);
            m_threads.emplace_back([this, fd] { Serve(fd); });
        }
    }
    void Serve(int fd) {
        std::string in;
        char buf[4096];
        size_t end;
        while ((end = in.find("\r\n\r\n")) == std::string::npos) {
            ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
            if (n <= 0) return;
            in.append(buf, n);
        }
        ScriptedRequest req;
        const size_t sp1 = in.find(' ');
        const size_t sp2 = in.find(' ', sp1 + 1);
        req.method = in.substr(0, sp1);
        req.target = in.substr(sp1 + 1, sp2 - sp1 - 1);
        req.body = in.substr(end + 4);
        const size_t want = m_body_length ? m_body_length(req) : 0;
        while (req.body.size() < want) {
            ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
            if (n <= 0) return;
            req.body.append(buf, n);
        }
        ++m_requests;
        const std::string out = m_script(req);
        if (out.empty()) {
            while (::recv(fd, buf, sizeof(buf), 0) > 0) {
            }
            return;
        }
        RawSend(fd, out);
        if (out.find("Connection: close\r\n") != std::string::npos) ::shutdown(fd, SHUT_WR);
        // Hold the connection until the client lets go, so a cut answer stays cut.
        while (::recv(fd, buf, sizeof(buf), 0) > 0) {
        }
    }

    Script m_script;
    BodyLength m_body_length;
    int m_listen = -1;
    uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_requests{0};
    std::mutex m_mutex;
    std::vector<int> m_fds;
    std::vector<std::thread> m_threads;
    std::thread m_acceptor;
};

inline std::string DetectorPdu(const CDetectorPdu &pdu) {
    return std::string(reinterpret_cast<const char *>(pdu.GetBytes()), pdu.GetSize());
}

// Leaves the process's detector holding the given mode, learnt from a scripted server.
inline void PrimeDetector(uint32_t mode) {
    const uint32_t session = 99;
    const std::string path = std::string(dtctr::kPathPrefix) + std::to_string(session);
    ScriptedHttpServer server(
        [&](const ScriptedRequest &req) -> std::string {
            if (req.target == dtctr::kPathPrefix) return ScriptedHttpServer::Reply(DetectorPdu(CDetectorPduSessionCreated(session)));
            if (req.target != path) return std::string();
            if (req.method == "GET") {
                return mode == http::kModeBigPost ? ScriptedHttpServer::Stream(DetectorPdu(CDetectorPduEcho(dtctr::kEchoAnswer)))
                                                  : "HTTP/1.1 403 Forbidden\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
            }
            if (req.body == DetectorPdu(CDetectorPduEcho(dtctr::kBigPostEcho))) return std::string();
            return ScriptedHttpServer::Reply(DetectorPdu(CDetectorPduEcho(dtctr::kEchoAnswer)));
        },
        [](const ScriptedRequest &req) -> size_t { return req.method == "POST" ? 5 : 0; });
    qrn_http_detector_reset();
    EventRecorder rec;
    EXPECT_EQ(qrn_http_detector_start("127.0.0.1", server.Port(), EventRecorder::Callback, rec.Context()), 0);
    Event e = rec.WaitFor(http::kMsgDetectFinished);
    EXPECT_EQ(e.p1, http::kDetectOk);
    EXPECT_EQ(e.p2, mode);
}

}  // namespace qrntest

#endif
