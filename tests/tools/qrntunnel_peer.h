// The tunnel server as its tests meet it: HTTP/1.1 requests written by hand on raw sockets
// (from any loopback address), and qrntunnel itself in a child process on a free port.
#ifndef QRN_TESTS_TOOLS_QRNTUNNEL_PEER_H
#define QRN_TESTS_TOOLS_QRNTUNNEL_PEER_H

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "child_process.h"
#include "http/dtctrpdu.h"
#include "raw_peer.h"
#include "rdhttp/rdhttp_pdu.h"
#include "test_support.h"

namespace qrntest {


inline std::string Pattern(size_t len, uint32_t seed) {
    std::string out(len, '\0');
    for (size_t i = 0; i < len; ++i) {
        seed = seed * 1103515245 + 12345;
        out[i] = static_cast<char>(seed >> 16);
    }
    return out;
}

inline std::string Pdu(const CDetectorPdu &pdu) {
    return std::string(reinterpret_cast<const char *>(pdu.GetBytes()), 5);
}

inline uint32_t ReadId(const std::string &bytes, int offset) {
    return (uint32_t(uint8_t(bytes[offset])) << 24) | (uint32_t(uint8_t(bytes[offset + 1])) << 16) |
           (uint32_t(uint8_t(bytes[offset + 2])) << 8) | uint32_t(uint8_t(bytes[offset + 3]));
}

// One HTTP/1.1 request on its own connection, and its reply read as it comes: a body of a
// declared length, or a chunked stream decoded piece by piece.
class CHttpPeer {
public:
    CHttpPeer(uint16_t port, const std::string &method, const std::string &target,
              long content_length, const std::string &body = "", uint32_t source_ip = 0)
        : m_fd(RawConnect(port, kRawLoopbackIp, source_ip)) {
        std::string req = method + " " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
        if (content_length >= 0) {
            req += "Content-Length: " + std::to_string(content_length) + "\r\n";
        }
        req += "\r\n" + body;
        if (m_fd >= 0) ::send(m_fd, req.data(), req.size(), MSG_NOSIGNAL);
    }
    ~CHttpPeer() {
        if (m_fd >= 0) ::close(m_fd);
    }
    void Send(const std::string &data) { RawSend(m_fd, data); }
    int Fd() const { return m_fd; }

    // The status of the reply head, or 0 when none came in time.
    int Status() {
        while (m_status == 0) {
            size_t end = m_buf.find("\r\n\r\n");
            if (end != std::string::npos) {
                ParseHead(m_buf.substr(0, end));
                m_buf.erase(0, end + 4);
                break;
            }
            if (!Fill()) return 0;
        }
        return m_status;
    }
    std::string Header(const std::string &name) { return m_headers[name]; }

    // The whole body of a reply of declared length.
    std::string Body() {
        if (Status() == 0) return "<no reply>";
        const std::string &declared = m_headers["content-length"];
        size_t len = std::stoul(declared.empty() ? "0" : declared);
        while (m_buf.size() < len && Fill()) {
        }
        return m_buf.substr(0, len);
    }

    // Exactly n bytes of a chunked body; fewer when the stream ends or stalls.
    std::string Stream(size_t n) {
        std::string out;
        if (Status() == 0) return out;
        while (out.size() < n) {
            if (m_chunk_left == 0) {
                // Every chunk after the first is preceded by the CRLF that closes the last.
                const size_t from = m_chunks > 0 ? 2 : 0;
                size_t eol;
                while ((eol = m_buf.find("\r\n", from)) == std::string::npos) {
                    if (!Fill()) return out;
                }
                m_chunk_left = std::stoul(m_buf.substr(from, eol - from), nullptr, 16);
                m_buf.erase(0, eol + 2);
                ++m_chunks;
                if (m_chunk_left == 0) {
                    m_ended = true;
                    return out;
                }
            }
            while (m_buf.empty()) {
                if (!Fill()) return out;
            }
            size_t take = std::min({m_chunk_left, m_buf.size(), n - out.size()});
            out += m_buf.substr(0, take);
            m_buf.erase(0, take);
            m_chunk_left -= take;
        }
        return out;
    }
    // True once the stream has ended: its last chunk, or the connection's close.
    bool StreamEnds() {
        while (!m_ended && !m_closed) {
            if (Stream(1 << 20).empty() && !m_ended && !m_closed) return false;
        }
        return true;
    }
    bool Closed() {
        while (!m_closed) {
            if (!Fill()) return m_closed;
        }
        return true;
    }

private:
    bool Fill() {
        if (m_fd < 0 || m_closed) return false;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kWaitMs);
        if (!RawWaitReadable(m_fd, deadline)) return false;
        char chunk[65536];
        ssize_t n = ::recv(m_fd, chunk, sizeof(chunk), 0);
        if (n <= 0) {
            m_closed = true;
            return false;
        }
        m_buf.append(chunk, static_cast<size_t>(n));
        return true;
    }
    void ParseHead(const std::string &head) {
        m_status = std::stoi(head.substr(9, 3));
        size_t pos = head.find("\r\n");
        while (pos != std::string::npos) {
            size_t next = head.find("\r\n", pos + 2);
            size_t len = next == std::string::npos ? std::string::npos : next - pos - 2;
            std::string line = head.substr(pos + 2, len);
            size_t colon = line.find(':');
            if (colon != std::string::npos) {
                std::string name = line.substr(0, colon);
                for (char &c : name) c = static_cast<char>(tolower(c));
                m_headers[name] = line.substr(line.find_first_not_of(' ', colon + 1));
            }
            pos = next;
        }
    }

    int m_fd;
    std::string m_buf;
    int m_status = 0;
    std::map<std::string, std::string> m_headers;
    size_t m_chunk_left = 0;
    size_t m_chunks = 0;
    bool m_ended = false;
    bool m_closed = false;
};

inline std::string TunnelPath() {
#ifdef QRNTUNNEL_PATH
    return QRNTUNNEL_PATH;
#else
    return "";
#endif
}

// A tunnel server on a free loopback port, joined to target_port.
class CTunnel {
public:
    explicit CTunnel(uint16_t target_port, const std::vector<std::string> &extra = {}) {
        m_port = FreePort();
        std::vector<std::string> argv = {TunnelPath(), "--listen",
                                         "127.0.0.1:" + std::to_string(m_port), "--target",
                                         "127.0.0.1:" + std::to_string(target_port), "--trace",
                                         m_dir.Path() + "/trace"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        m_started = m_child.Start(argv) && m_child.WaitForTcpPort(m_port);
    }
    bool Started() const { return m_started; }
    uint16_t Port() const { return m_port; }
    ChildProcess &Child() { return m_child; }

    // A single-post session: its id (0 when the server refused it).
    uint32_t OpenSinglePost(uint32_t source_ip = 0) {
        CHttpPeer open(m_port, "POST", "/s_rdhttp?SinglePost", 4, std::string("xV4\x12", 4),
                       source_ip);
        std::string body = open.Body();
        return open.Status() == 200 && body.size() == 4 ? ReadId(body, 0) : 0xFFFFFFFF;
    }
    // One exchange: the reply's status and its data after the leading byte.
    int Exchange(uint32_t id, const std::string &data, std::string *reply,
                 uint32_t source_ip = 0) {
        std::string body = std::string(1, 'x') + data;
        CHttpPeer ex(m_port, "POST", "/s_rdhttp?" + std::to_string(id), long(body.size()), body,
                     source_ip);
        std::string got = ex.Body();
        if (ex.Status() == 200 && !got.empty()) *reply = got.substr(1);
        return ex.Status();
    }

private:
    TempDir m_dir;
    ChildProcess m_child;
    uint16_t m_port = 0;
    bool m_started = false;
};

// A test beside a raw TCP listener that stands for the multi-mode server behind the tunnel.
class TunnelTargetTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (TunnelPath().empty()) GTEST_SKIP() << "qrntunnel was not built";
        m_listen = RawListen(&m_target_port);
        ASSERT_GE(m_listen, 0);
    }
    void TearDown() override {
        if (m_listen >= 0) ::close(m_listen);
    }
    int m_listen = -1;
    uint16_t m_target_port = 0;
};

}  // namespace qrntest

#endif
