// The HTTP client's tests: the libmicrohttpd test server as a child, with a certificate made
// for it at test time; a recorder of the HTTP socket messages that reads and sends as a user
// does inside its callback; and a sink for CWCSHttpIE itself.
#ifndef QRN_TESTS_HTTP_HTTP_FIXTURE_H
#define QRN_TESTS_HTTP_HTTP_FIXTURE_H

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "child_process.h"
#include "http/httpie.h"
#include "http/whttpie.h"
#include "http_test_pattern.h"
#include "test_support.h"

namespace qrntest {

inline std::string Pattern(size_t n, size_t from = 0) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>(http_test_pattern(from + i));
    return s;
}

// The test server with a plain and a TLS listener; the certificate names 127.0.0.1 and is
// trusted through CURL_CA_BUNDLE.
class HttpServer {
public:
    bool Start() {
        std::string cert = m_dir.Path() + "/cert.pem";
        std::string key = m_dir.Path() + "/key.pem";
        std::string cmd = "openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj /CN=127.0.0.1 "
                          "-addext subjectAltName=IP:127.0.0.1 -keyout " + key + " -out " + cert + " 2>/dev/null";
        if (system(cmd.c_str()) != 0) return false;
        m_cert = cert;
        if (!m_child.Start({QRN_HTTP_TEST_SERVER, "--tls-cert", cert, "--tls-key", key})) return false;
        if (!m_child.WaitForOutput("tls_port=")) return false;
        std::string out = m_child.Output();
        m_port = Field(out, "\nport=", "port=");
        m_tls_port = Field(out, "tls_port=", nullptr);
        return m_port != 0 && m_tls_port != 0;
    }
    uint16_t Port() const { return m_port; }
    uint16_t TlsPort() const { return m_tls_port; }
    const std::string &CertFile() const { return m_cert; }

private:
    static uint16_t Field(const std::string &out, const char *name, const char *at_start) {
        size_t pos;
        if (at_start && out.compare(0, strlen(at_start), at_start) == 0) pos = strlen(at_start);
        else if ((pos = out.find(name)) != std::string::npos) pos += strlen(name);
        else return 0;
        return static_cast<uint16_t>(atoi(out.c_str() + pos));
    }

    TempDir m_dir;
    ChildProcess m_child;
    std::string m_cert;
    uint16_t m_port = 0;
    uint16_t m_tls_port = 0;
};

// One HTTP socket request driven as its users drive it: the body goes out at message 2 and 4,
// the answer is read at message 3.
class HttpExchange {
public:
    explicit HttpExchange(std::string body = std::string()) : m_body(std::move(body)) {
        m_rec.SetHook([this](const Event &e) { OnEvent(e); });
    }
    uintptr_t Connect(uint16_t port, int get, const char *url, unsigned content_length,
                      const char *host = "127.0.0.1") {
        m_handle = qrn_http_sock_connect(EventRecorder::Callback, m_rec.Context(), host, port, get, url,
                                         content_length);
        return m_handle;
    }
    EventRecorder &Rec() { return m_rec; }
    uintptr_t Handle() const { return m_handle; }
    std::string Received() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_received;
    }
    size_t Sent() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_sent;
    }
    // What each send of the body took.
    std::vector<int> Pieces() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_pieces;
    }
    // Waits for message 5 (or a failing 2) and returns its code; -1 on time-out.
    int WaitEnd(int timeout_ms = kWaitMs) {
        int code = -1;
        WaitUntil([&] {
            for (const Event &e : m_rec.Events()) {
                if (e.msg == 5 || (e.msg == 2 && e.p1 != 0)) {
                    code = static_cast<int>(e.p1);
                    return true;
                }
            }
            return false;
        }, timeout_ms);
        return code;
    }
    uint32_t Option(int option) {
        uint32_t v = 0xdeadbeef;
        qrn_http_sock_option(m_handle, option, reinterpret_cast<uintptr_t>(&v));
        return v;
    }
    void SetResend(bool on) { m_resend = on; }
    std::vector<uint32_t> Options3() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_lengths;
    }

private:
    void OnEvent(const Event &e) {
        if ((e.msg == 2 && e.p1 == 0) || e.msg == 4) {
            std::lock_guard<std::mutex> guard(m_mutex);
            if (e.msg == 2 && m_resend) m_sent = 0;  // a repeated request takes the body again
            while (m_sent < m_body.size()) {
                int n = qrn_http_sock_send(e.handle, m_body.data() + m_sent, static_cast<int>(m_body.size() - m_sent));
                if (n <= 0) break;
                m_sent += static_cast<size_t>(n);
                m_pieces.push_back(n);
            }
        }
        if (e.msg == 3) {
            uint32_t length = 0;
            qrn_http_sock_option(e.handle, 2, reinterpret_cast<uintptr_t>(&length));
            char buf[65536];
            int n;
            std::lock_guard<std::mutex> guard(m_mutex);
            m_lengths.push_back(length);
            while ((n = qrn_http_sock_recv(e.handle, buf, sizeof(buf))) > 0) m_received.append(buf, n);
        }
    }

    EventRecorder m_rec;
    std::mutex m_mutex;
    std::string m_body;
    size_t m_sent = 0;
    std::vector<int> m_pieces;
    bool m_resend = true;
    std::string m_received;
    std::vector<uint32_t> m_lengths;
    uintptr_t m_handle = 0;
};

// Records what CWCSHttpIE tells its owner.
class IeSink : public IQrnClientSocketSink {
public:
    struct Call {
        char kind;  // C connect, R receive, S send, X close, T status
        int code;
    };
    int OnConnect(int code) override { return Add('C', code); }
    int OnReceive(int code) override { return Add('R', code); }
    int OnSend(int code) override { return Add('S', code); }
    int OnClose(int code) override { return Add('X', code); }
    int OnStatus(int status, int) override { return Add('T', status); }

    // The code of the first call of that kind, waiting for it; -1 on time-out.
    int WaitFor(char kind, int timeout_ms = kWaitMs) {
        std::unique_lock<std::mutex> lock(m_mutex);
        int code = -1;
        m_cond.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
            for (const Call &c : m_calls) {
                if (c.kind == kind) {
                    code = c.code;
                    return true;
                }
            }
            return false;
        });
        return code;
    }
    int Count(char kind) {
        std::lock_guard<std::mutex> guard(m_mutex);
        int n = 0;
        for (const Call &c : m_calls) n += c.kind == kind;
        return n;
    }
    std::string Kinds() {
        std::lock_guard<std::mutex> guard(m_mutex);
        std::string s;
        for (const Call &c : m_calls) s += c.kind;
        return s;
    }

private:
    int Add(char kind, int code) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_calls.push_back({kind, code});
        m_cond.notify_all();
        return 0;
    }
    std::mutex m_mutex;
    std::condition_variable m_cond;
    std::vector<Call> m_calls;
};

// Reads everything CWCSHttpIE holds, calling Crack as the poll would, until it reports the end.
inline std::string DrainIe(IQrnClientSocket *ie, IeSink &sink) {
    std::string body;
    WaitUntil([&] {
        char buf[8192];
        int n;
        while ((n = ie->Receive(buf, sizeof(buf))) > 0) body.append(buf, n);
        ie->Crack();
        return sink.Count('X') > 0;
    });
    return body;
}

}  // namespace qrntest

#endif
