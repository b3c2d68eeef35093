// Shared by the transport tests: an application that records its messages and keeps what
// arrives, raw POSIX peers that speak the multi-mode connect PDU and the transport handshake
// by hand, and a fixture that checks that every connection is gone at the end of a test.
#ifndef QRN_TESTS_TRANSPORT_TP_FIXTURE_H
#define QRN_TESTS_TRANSPORT_TP_FIXTURE_H

#include <arpa/inet.h>
#include <errno.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "http/httpie.h"
#include "qrn/qrn_tp.h"
#include "qrnlibl/qrn_cirwin.h"
#include "qrnlibl/qrn_util.h"
#include "raw_peer.h"
#include "rdhttp/rdhttp_socket.h"
#include "rdtp/rdtp_defs.h"
#include "rdtp/rdtp_pdu.h"
#include "test_support.h"
#include "transport/tp_debug.h"
#include "transport/tp_defs.h"
#include "transport/tp_pdu.h"

namespace tptest {

using Bytes = std::vector<uint8_t>;
using qrntest::Event;
using qrntest::WaitUntil;

constexpr const char *kLoopback = "127.0.0.1";
constexpr uint32_t kLoopbackIp = 0x7f000001;
constexpr uint32_t kBufferSize = 65536;
constexpr uint32_t kRawServTag = 0x5eed;

inline Bytes Pattern(size_t n, uint8_t seed = 1) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 8));
    return b;
}

// Application bytes as they travel in the stream, and back.
// Bytes without a pattern the stream could line up by chance.
inline Bytes RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    Bytes b(n);
    for (auto &x : b) x = static_cast<uint8_t>(gen());
    return b;
}

inline Bytes Encrypted(const Bytes &plain) {
    Bytes b(plain.size());
    encrypt_xor(plain.data(), b.data(), static_cast<int>(b.size()));
    return b;
}
inline Bytes Decrypted(const Bytes &wire) {
    Bytes b(wire.size());
    decrypt_xor(wire.data(), b.data(), static_cast<int>(b.size()));
    return b;
}

// --- the application ----------------------------------------------------------------------

// Records every message, keeps the stream bytes of each handle and the connect data of the
// first messages 1 and 2, and answers message 1 from inside the callback as told.
class CApp {
public:
    CApp() {
        m_rec.SetHook([this](const Event &e) { OnEvent(e); });
    }
    qrn_callback Callback() const { return &qrntest::EventRecorder::Callback; }
    uintptr_t Context() const { return m_rec.Context(); }
    qrntest::EventRecorder &rec() { return m_rec; }

    // Answer to message 1: QRN_TP_ACCEPT with data, or a refusal code.
    void AnswerWith(int result, Bytes data = Bytes()) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_answer = result;
        m_accept_data = std::move(data);
    }
    // Runs on the delivering thread after the built-in handling, before recording.
    void SetExtra(std::function<void(const Event &)> extra) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_extra = std::move(extra);
    }
    Bytes Stream(int handle) {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_stream[handle];
    }
    size_t StreamSize(int handle) {
        std::lock_guard<std::mutex> guard(m_mutex);
        auto it = m_stream.find(handle);
        return it == m_stream.end() ? 0 : it->second.size();
    }
    bool WaitStream(int handle, size_t n) {
        return WaitUntil([&] { return Stream(handle).size() >= n; });
    }
    Bytes ConnectData(int msg) {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_connect_data[msg];
    }
    Event WaitFor(int msg) { return m_rec.WaitFor(msg); }
    int Count(int msg) const { return m_rec.Count(msg); }
    std::vector<int> Messages() const {
        std::vector<int> out;
        for (const Event &e : m_rec.Events()) out.push_back(e.msg);
        return out;
    }

private:
    static constexpr int kNoAnswer = -1;

    void OnEvent(const Event &e) {
        const auto *data = reinterpret_cast<const uint8_t *>(e.p3);
        std::function<void(const Event &)> extra;
        int answer;
        Bytes accept_data;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            if (e.msg <= QRN_TP_MSG_CONNECT_RESULT && data && m_connect_data.count(e.msg) == 0) {
                m_connect_data[e.msg] = Bytes(data, data + e.p2);
            }
            if (e.msg == QRN_TP_MSG_DATA && e.p1 == QRN_TP_DATA_STREAM) {
                Bytes &s = m_stream[static_cast<int>(e.handle)];
                s.insert(s.end(), data, data + e.p2);
            }
            extra = m_extra;
            answer = m_answer;
            accept_data = m_accept_data;
        }
        if (e.msg == QRN_TP_MSG_CONNECT_REQUEST && answer != kNoAnswer) {
            EXPECT_EQ(QRN_TP_OK, qrn_tp_accept(static_cast<int>(e.handle), answer, kBufferSize,
                                               static_cast<int>(accept_data.size()), accept_data.data()));
        }
        if (extra) extra(e);
    }

    qrntest::EventRecorder m_rec;
    std::mutex m_mutex;
    int m_answer = kNoAnswer;
    Bytes m_accept_data;
    std::map<int, Bytes> m_stream;
    std::map<int, Bytes> m_connect_data;
    std::function<void(const Event &)> m_extra;
};

// Hands all of data to qrn_tp_send, waiting for message 4 whenever the connection takes less
// than offered. Returns the bytes taken; *takes receives every non-zero result.
inline size_t WriteAll(CApp &app, int handle, const Bytes &data, std::vector<int> *takes = nullptr) {
    size_t done = 0;
    const auto h = static_cast<uintptr_t>(handle);
    while (done < data.size()) {
        const int writable = app.rec().Count(QRN_TP_MSG_WRITABLE, h);
        const int r = qrn_tp_send(handle, data.data() + done, static_cast<int>(data.size() - done), 0);
        if (r < 0) break;
        if (r > 0 && takes) takes->push_back(r);
        done += static_cast<size_t>(r);
        if (done < data.size() && !WaitUntil([&] { return app.rec().Count(QRN_TP_MSG_WRITABLE, h) > writable; })) break;
    }
    return done;
}

// --- raw peers ----------------------------------------------------------------------------

using qrntest::FreePort;

// A UDP port of 127.0.0.1 that was free a moment ago.
inline uint16_t FreeUdpPort() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = qrntest::RawAddress(0);
    socklen_t len = sizeof(a);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0) {
        if (fd >= 0) ::close(fd);
        return 0;
    }
    ::close(fd);
    return ntohs(a.sin_port);
}


// The mode a connection settled on (option QRN_TP_OPT_CONN_MODE).
inline uint32_t ConnMode(int handle) {
    uint32_t mode = 0xff;
    EXPECT_EQ(QRN_TP_OK, qrn_tp_option(handle, QRN_TP_OPT_CONN_MODE, reinterpret_cast<uintptr_t>(&mode)));
    return mode;
}

inline Bytes RdtpPdu(uint32_t serv_tag, uint32_t cli_tag, uint16_t conn_id, uint16_t ordinal) {
    CRdtpConnectPdu pdu{serv_tag, cli_tag, conn_id, ordinal, rdtp::kModeTcp};
    Bytes b(rdtp::kPduBufferSize);
    b.resize(static_cast<size_t>(rdtp_pdu_write(pdu, b.data(), static_cast<int>(b.size()))));
    return b;
}

// One blocking TCP socket that speaks the wire formats by hand; closed with the object.
class CRawPeer {
public:
    explicit CRawPeer(int fd) : m_fd(fd) {}
    ~CRawPeer() { Close(); }
    CRawPeer(const CRawPeer &) = delete;
    CRawPeer &operator=(const CRawPeer &) = delete;

    static std::unique_ptr<CRawPeer> Connect(uint16_t port, uint32_t source_ip = 0) {
        const int fd = qrntest::RawConnect(port, qrntest::kRawLoopbackIp, source_ip);
        if (fd < 0) return nullptr;
        qrntest::RawSetNonBlocking(fd);
        return std::make_unique<CRawPeer>(fd);
    }
    void Close() {
        if (m_fd >= 0) ::close(m_fd);
        m_fd = -1;
    }
    void Send(const Bytes &b) {
        size_t done = 0;
        while (done < b.size()) {
            const ssize_t n = ::send(m_fd, b.data() + done, b.size() - done, MSG_NOSIGNAL);
            if (n > 0) {
                done += static_cast<size_t>(n);
                continue;
            }
            pollfd p{m_fd, POLLOUT, 0};
            ASSERT_TRUE(n < 0 && errno == EAGAIN && ::poll(&p, 1, qrntest::kWaitMs) == 1) << "send failed";
        }
    }
    // Exactly n bytes; fewer when the peer closes or the time is up.
    Bytes Recv(size_t n, int timeout_ms = qrntest::kWaitMs) {
        Bytes out;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        uint8_t buf[65536];
        while (out.size() < n) {
            const ssize_t got = ::recv(m_fd, buf, std::min(n - out.size(), sizeof(buf)), 0);
            if (got > 0) {
                out.insert(out.end(), buf, buf + got);
                continue;
            }
            if (got == 0 || errno != EAGAIN || !WaitReadable(deadline)) break;
        }
        return out;
    }
    // True once the peer has closed (EOF or reset) in time; bytes before it are dropped.
    bool SeesClose() {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(qrntest::kWaitMs);
        uint8_t buf[4096];
        while (WaitReadable(deadline)) {
            const ssize_t n = ::recv(m_fd, buf, sizeof(buf), 0);
            if (n == 0 || (n < 0 && errno != EAGAIN)) return true;
        }
        return false;
    }
    // Bytes this peer sent that the other end (on this host) has not read yet: what the system
    // still holds in this socket's send queue and in the other end's receive queue.
    int UnreadByPeer() const {
        int unsent = 0;
        if (::ioctl(m_fd, SIOCOUTQ, &unsent) != 0) return -1;
        sockaddr_in mine{}, theirs{};
        socklen_t len = sizeof(mine);
        ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&mine), &len);
        len = sizeof(theirs);
        ::getpeername(m_fd, reinterpret_cast<sockaddr *>(&theirs), &len);
        char key[64];
        snprintf(key, sizeof(key), "%08X:%04X %08X:%04X ", theirs.sin_addr.s_addr, ntohs(theirs.sin_port),
                 mine.sin_addr.s_addr, ntohs(mine.sin_port));
        std::ifstream table("/proc/net/tcp");
        for (std::string line; std::getline(table, line);) {
            const size_t at = line.find(key);
            unsigned state = 0, tx = 0, rx = 0;
            if (at != std::string::npos &&
                sscanf(line.c_str() + at + strlen(key), "%x %x:%x", &state, &tx, &rx) == 3) {
                return unsent + static_cast<int>(rx);
            }
        }
        return -1;
    }
    void SendPdu(uint8_t type, const Bytes &body) {
        Bytes b{static_cast<uint8_t>(body.size() >> 8), static_cast<uint8_t>(body.size()), type};
        b.insert(b.end(), body.begin(), body.end());
        Send(b);
    }
    // One PDU; false when none came whole in time.
    bool RecvPdu(tp::CTpPduHeader *header, Bytes *body) {
        const Bytes h = Recv(tp::kPduHeaderSize);
        if (tp::ReadPduHeader(h.data(), static_cast<int>(h.size()), *header) != 0) return false;
        *body = Recv(static_cast<size_t>(header->body_len));
        return body->size() == static_cast<size_t>(header->body_len);
    }
    // The stream bodies of data PDUs (keep-alives skipped) until n bytes are in.
    Bytes RecvStream(size_t n, std::vector<int> *sizes = nullptr) {
        Bytes out;
        tp::CTpPduHeader header;
        Bytes body;
        while (out.size() < n && RecvPdu(&header, &body)) {
            if (body.empty()) continue;
            if (sizes) sizes->push_back(header.body_len);
            out.insert(out.end(), body.begin(), body.end());
        }
        return out;
    }
    void SendResumeReq(uint32_t recv_next, uint32_t send_base, uint32_t send_kept) {
        Bytes out(tp::kResumeReqSize);
        tp::WriteResumeReq(out.data(), static_cast<int>(out.size()), tp::CTpResumeReq{recv_next, send_base, send_kept});
        Send(out);
    }
    tp::CTpResumeResp RecvResumeResp() {
        tp::CTpResumeResp resp;
        resp.result = 0xffff;
        const Bytes in = Recv(tp::kResumeRespSize);
        tp::ReadResumeResp(in.data(), static_cast<int>(in.size()), resp);
        return resp;
    }
    // The server side of a library client's new path: the connect PDU exchange, then the
    // resume handshake answered with recv_next. Returns the client's resume request.
    tp::CTpResumeReq ServeNewPath(uint32_t recv_next = tp::kFirstSeq) {
        CRdtpConnectPdu pdu;
        const Bytes in = Recv(rdtp::kPduSize);
        EXPECT_TRUE(rdtp_pdu_read(in.data(), static_cast<int>(in.size()), &pdu));
        Send(RdtpPdu(kRawServTag, 1, 1, pdu.ordinal));
        tp::CTpResumeReq req;
        const Bytes r = Recv(tp::kResumeReqSize);
        EXPECT_EQ(0, tp::ReadResumeReq(r.data(), static_cast<int>(r.size()), req));
        Bytes out(tp::kResumeRespSize);
        const tp::CTpResumeResp resp{tp::kResumeAccepted, recv_next};
        tp::WriteResumeResp(out.data(), static_cast<int>(out.size()), resp);
        Send(out);
        return req;
    }

private:
    bool WaitReadable(std::chrono::steady_clock::time_point deadline) const {
        return qrntest::RawWaitReadable(m_fd, deadline);
    }
    int m_fd;
};

// A TCP listener on 127.0.0.1 whose connections a test handles by hand.
class CRawListener {
public:
    CRawListener() : m_fd(qrntest::RawListen(&m_port)) {}
    ~CRawListener() { ::close(m_fd); }
    CRawListener(const CRawListener &) = delete;
    CRawListener &operator=(const CRawListener &) = delete;
    uint16_t port() const { return m_port; }
    std::unique_ptr<CRawPeer> Accept() {
        const int fd = qrntest::RawAccept(m_fd, SOCK_NONBLOCK);
        if (fd < 0) return nullptr;
        return std::make_unique<CRawPeer>(fd);
    }

private:
    uint16_t m_port = 0;
    int m_fd;
};

// The client's side of a multi-mode session, kept by a raw client across its paths.
struct CRawSession {
    uint32_t serv_tag = 0;
    uint32_t cli_tag = 0;
    uint16_t conn_id = 0;
    uint16_t ordinal = 0;
};

// A raw client's new path to a listener of the library: the connect PDU exchange, first or
// resuming (after the first: the session's tags and the next ordinal).
inline std::unique_ptr<CRawPeer> RawDial(uint16_t port, CRawSession *session, uint32_t source_ip = 0) {
    auto raw = CRawPeer::Connect(port, source_ip);
    if (!raw) return nullptr;
    raw->Send(RdtpPdu(session->serv_tag, session->cli_tag, session->conn_id, session->ordinal));
    const Bytes answer = raw->Recv(rdtp::kPduSize);
    CRdtpConnectPdu pdu;
    if (!rdtp_pdu_read(answer.data(), static_cast<int>(answer.size()), &pdu) || pdu.serv_tag == 0) return nullptr;
    session->serv_tag = pdu.serv_tag;
    session->cli_tag = pdu.cli_tag;
    session->conn_id = pdu.conn_id;
    return raw;
}

// The stream bytes of a connect record, as a connection writes them.
inline Bytes RecordBytes(const std::function<int(qrn_cirwin *)> &write) {
    qrn_cirwin *w = qrn_cirwin_create(tp::kMaxRecordSize * 2);
    write(w);
    Bytes b(static_cast<size_t>(qrn_cirwin_read_avail(w)));
    qrn_cirwin_read(w, b.data(), static_cast<int>(b.size()));
    qrn_cirwin_destroy(w);
    return b;
}
inline Bytes ConnReqBytes(uint8_t version2) {
    return RecordBytes([&](qrn_cirwin *w) {
        tp::CTpConnReq req = tp::MakeConnReq(kBufferSize, kLoopbackIp, 0, nullptr);
        req.version2 = version2;
        return tp::WritePduConnReq(w, req);
    });
}
inline Bytes ConnRespBytes(uint16_t result) {
    return RecordBytes([&](qrn_cirwin *w) {
        return tp::WritePduConnResp(w, result == 0 ? tp::MakeConnAccept(kBufferSize, 0, nullptr)
                                                   : tp::MakeConnRefusal(result));
    });
}

// --- the fixture --------------------------------------------------------------------------

// The library is started once and never stopped; listeners stay for the whole run, so the
// applications they report to are kept for the whole run too. Every test ends with no
// connection in the table and none alive.
class TpTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ASSERT_EQ(QRN_TP_OK, qrn_tp_init()); }

    static CApp &NewApp() {
        static auto *apps = new std::vector<std::unique_ptr<CApp>>();  // never destroyed
        apps->push_back(std::make_unique<CApp>());
        return *apps->back();
    }

    // A TCP listener of the library on 127.0.0.1 at a free port.
    uint16_t Listen(CApp &app) {
        const uint16_t port = FreePort();
        EXPECT_EQ(QRN_TP_OK, qrn_tp_listen(kLoopback, 0, port, 0, app.Callback(), app.Context()));
        return port;
    }

    int Connect(CApp &app, uint16_t port, const Bytes &data = Bytes(), uint32_t buffer_size = kBufferSize) {
        const int h = qrn_tp_connect(kLoopback, 0, port, 0, nullptr, 0, app.Callback(), app.Context(), buffer_size,
                                     static_cast<int>(data.size()), data.data());
        if (h != 0) Track(h);
        return h;
    }

    // An open connection between two applications of the library.
    void Establish(CApp &client_app, CApp &server_app, uint16_t port, int *client, int *server) {
        server_app.AnswerWith(QRN_TP_ACCEPT);
        *client = Connect(client_app, port);
        ASSERT_NE(0, *client);
        ASSERT_EQ(QRN_TP_CONNECT_ACCEPTED, client_app.WaitFor(QRN_TP_MSG_CONNECT_RESULT).p1);
        *server = static_cast<int>(server_app.WaitFor(QRN_TP_MSG_CONNECT_REQUEST).handle);
        Track(*server);
    }

    // Connects over the given ports of 127.0.0.1 (0: not offered) and waits until both ends
    // are open.
    void Open(CApp &client_app, CApp &server_app, uint16_t udp, uint16_t tcp, uint16_t http, int *client,
              int *server) {
        *client = qrn_tp_connect(kLoopback, udp, tcp, http, nullptr, 0, client_app.Callback(), client_app.Context(),
                                 kBufferSize, 0, nullptr);
        ASSERT_NE(0, *client);
        Track(*client);
        ASSERT_EQ(static_cast<uintptr_t>(QRN_TP_CONNECT_ACCEPTED), client_app.WaitFor(QRN_TP_MSG_CONNECT_RESULT).p1);
        *server = static_cast<int>(server_app.WaitFor(QRN_TP_MSG_CONNECT_REQUEST).handle);
        Track(*server);
    }

    // n random bytes both directions at once, each checked byte for byte.
    void ExchangeBothWays(CApp &client_app, CApp &server_app, int client, int server, size_t n,
                          uint32_t seed = 1) {
        const Bytes up = RandomBytes(n, seed), down = RandomBytes(n, seed + 1);
        std::thread writer([&] { EXPECT_EQ(n, WriteAll(server_app, server, down)); });
        EXPECT_EQ(n, WriteAll(client_app, client, up));
        writer.join();
        EXPECT_TRUE(server_app.WaitStream(server, n));
        EXPECT_TRUE(client_app.WaitStream(client, n));
        EXPECT_TRUE(server_app.Stream(server) == up) << "client to server differs";
        EXPECT_TRUE(client_app.Stream(client) == down) << "server to client differs";
    }

    // A library client opened against a raw server's first path; *record receives the
    // client's connect request record.
    std::unique_ptr<CRawPeer> OpenAgainstRaw(CRawListener &listener, CApp &client, int *handle,
                                             Bytes *record = nullptr) {
        *handle = Connect(client, listener.port());
        auto raw = listener.Accept();
        if (*handle == 0 || !raw) return nullptr;
        raw->ServeNewPath();
        // A server that does not speak stream acknowledgement takes the client's offer, an
        // empty PDU ahead of the record, for a keep-alive.
        tp::CTpPduHeader header;
        Bytes body;
        EXPECT_TRUE(raw->RecvPdu(&header, &body));
        EXPECT_EQ(tp::kPduAckOffer, header.type);
        EXPECT_TRUE(body.empty());
        EXPECT_TRUE(raw->RecvPdu(&header, &body));
        if (record) *record = body;
        raw->SendPdu(tp::kPduData, ConnRespBytes(tp::kConnAccepted));
        EXPECT_EQ(QRN_TP_CONNECT_ACCEPTED, client.WaitFor(QRN_TP_MSG_CONNECT_RESULT).p1);
        return raw;
    }

    void Track(int handle) {
        std::lock_guard<std::mutex> guard(m_handles_mutex);
        m_handles.push_back(handle);
    }

    void TearDown() override {
        for (int h : m_handles) qrn_tp_close(h, QRN_TP_CLOSE_NORMAL);
        // A closing connection whose peer went away lingers; let that time pass quickly.
        qrntest::ClockFactor linger(100);
        EXPECT_TRUE(WaitUntil([] { return tp_debug::table_count() == 0 && tp_debug::live_connections() == 0; }))
            << "table " << tp_debug::table_count() << ", live " << tp_debug::live_connections();
        // The tunnel closes its HTTP requests on the timer thread: done before the process ends.
        EXPECT_TRUE(WaitUntil([] { return !rdhttp_closer_busy() && !qrn_http_sock_timer_on(); }));
    }

    // Time-outs in tenths: a 30 s time-out is 3 s, a keep-alive every half second.
    qrntest::ClockFactor m_clock{10};

private:
    std::mutex m_handles_mutex;
    std::vector<int> m_handles;
};

// Tests of a library client talking to a raw server, on one listener per test.
class TpRawServerTest : public TpTest {
protected:
    std::unique_ptr<CRawPeer> OpenRaw(CApp &client, int *handle, Bytes *record = nullptr) {
        return OpenAgainstRaw(m_listener, client, handle, record);
    }

    CRawListener m_listener;
};

}  // namespace tptest

#endif
