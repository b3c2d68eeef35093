// Shared by the reliable-UDP lifecycle and API tests: a raw UDP peer on the loopback range that
// speaks the layer's PDUs by hand, PDU builders, and a library pair connected through the API.
//
// The layer lives for the whole process, so everything its callbacks may reach comes from
// NewRecorder(), which is never freed, and every test closes the connections it made.
#ifndef QRN_TESTS_UDPRLB_UDPRLB_TEST_PEER_H
#define QRN_TESTS_UDPRLB_UDPRLB_TEST_PEER_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>

#include "qrnlibl/qrn_time.h"
#include "test_support.h"
#include "udprlb/udprlb.h"
#include "udprlb/udprlb_defs.h"
#include "udprlb/udprlb_pdu.h"

namespace urlbtest {

using namespace urlb;
using qrntest::Event;
using qrntest::EventRecorder;
using qrntest::WaitUntil;

constexpr const char *kLoopback = "127.0.0.1";
constexpr uint32_t kLoopbackIp = 0x7f000001;
// How long a test listens before it takes an absent datagram as absent.
constexpr int kQuietMs = 300;

// A recorder that outlives every event the layer may still deliver.
inline EventRecorder &NewRecorder() {
    static std::mutex mutex;
    static auto *kept = new std::vector<std::unique_ptr<EventRecorder>>();
    std::lock_guard<std::mutex> guard(mutex);
    kept->push_back(std::make_unique<EventRecorder>());
    return *kept->back();
}

inline sockaddr_in Address(const char *ip, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

// A UDP port on ip that was free a moment ago.
inline uint16_t FreeUdpPort(const char *ip = kLoopback) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = Address(ip, 0);
    ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a));
    socklen_t len = sizeof(a);
    ::getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

// --- PDU builders -----------------------------------------------------------------------------

template <class W>
std::vector<uint8_t> Datagram(uint8_t type, W write) {
    std::vector<uint8_t> buf(kMaxDatagram, 0);
    const int len = write(buf.data() + kOffPayload, kMaxPayload);
    EXPECT_GE(len, 0);
    buf.resize(static_cast<size_t>(udprlb_pdu_finish(buf.data(), kMaxDatagram, type, len)));
    return buf;
}

inline std::vector<uint8_t> ConnectRequest(uint16_t src, uint16_t tag, uint32_t window = kConnectWindow,
                                           bool has_tag = true) {
    CUdpRlbConnectRequest pdu;
    pdu.src = src;
    pdu.window = window;
    pdu.src_tag = tag;
    pdu.has_tag = has_tag;
    return Datagram(kPduConnectRequest,
                    [&](uint8_t *out, int n) { return udprlb_pdu_write_connect_request(pdu, out, n); });
}

inline std::vector<uint8_t> ConnectResponse(const CUdpRlbConnectResponse &pdu) {
    return Datagram(kPduConnectResponse,
                    [&](uint8_t *out, int n) { return udprlb_pdu_write_connect_response(pdu, out, n); });
}

inline std::vector<uint8_t> CloseRequest(const CUdpRlbIds &ids) {
    return Datagram(kPduCloseRequest, [&](uint8_t *out, int n) { return udprlb_pdu_write_close_request(ids, out, n); });
}

inline std::vector<uint8_t> DigHole(uint8_t type, const CUdpRlbDigHole &pdu) {
    return Datagram(type, [&](uint8_t *out, int n) { return udprlb_pdu_write_dig_hole(pdu, out, n); });
}

inline std::vector<uint8_t> DataReliable(const CUdpRlbIds &ids, uint32_t seq, uint32_t ack,
                                         const std::vector<uint8_t> &data = {}) {
    CUdpRlbDataReliable pdu;
    pdu.ids = ids;
    pdu.seq = seq;
    pdu.ack = ack;
    pdu.data = data.data();
    pdu.data_len = static_cast<int>(data.size());
    return Datagram(kPduDataReliable,
                    [&](uint8_t *out, int n) { return udprlb_pdu_write_data_reliable(pdu, out, n); });
}

// --- the raw peer -----------------------------------------------------------------------------

struct Pdu {
    CUdpRlbHeader header;
    std::vector<uint8_t> payload;
    sockaddr_in from{};
    uint32_t tick = 0;  // library clock when it arrived
    uint16_t from_port() const { return ntohs(from.sin_port); }
    int size() const { return static_cast<int>(payload.size()); }
};

// A UDP socket bound to ip at a port of the system's choice. Received PDUs queue up until a
// test takes them; datagrams that fail the check are dropped and counted.
class RawUdpPeer {
public:
    explicit RawUdpPeer(const char *ip = kLoopback) {
        m_fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a = Address(ip, 0);
        EXPECT_EQ(0, ::bind(m_fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)));
        // Room for the bursts of a fast sender that a test reads only afterwards.
        const int rcvbuf = 4 * 1024 * 1024;
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
        socklen_t len = sizeof(a);
        ::getsockname(m_fd, reinterpret_cast<sockaddr *>(&a), &len);
        m_port = ntohs(a.sin_port);
    }
    ~RawUdpPeer() { ::close(m_fd); }
    RawUdpPeer(const RawUdpPeer &) = delete;
    RawUdpPeer &operator=(const RawUdpPeer &) = delete;

    uint16_t port() const { return m_port; }
    int invalid() const { return m_invalid; }

    void SendTo(const void *data, size_t len, const sockaddr_in &to) {
        ASSERT_EQ(static_cast<ssize_t>(len),
                  ::sendto(m_fd, data, len, 0, reinterpret_cast<const sockaddr *>(&to), sizeof(to)));
    }
    void SendBytes(const void *data, size_t len, uint16_t to_port, const char *to_ip = kLoopback) {
        SendTo(data, len, Address(to_ip, to_port));
    }
    void Send(const std::vector<uint8_t> &dgram, uint16_t to_port, const char *to_ip = kLoopback) {
        SendBytes(dgram.data(), dgram.size(), to_port, to_ip);
    }

    // The first queued or arriving PDU that match accepts, taken out of the queue; false when
    // none comes within timeout_ms real milliseconds.
    template <class Match>
    bool Take(Match match, Pdu *out, int timeout_ms = qrntest::kWaitMs) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        for (;;) {
            for (auto it = m_queue.begin(); it != m_queue.end(); ++it) {
                if (!match(*it)) continue;
                if (out != nullptr) *out = *it;
                m_queue.erase(it);
                return true;
            }
            if (!ReceiveOne(deadline)) return false;
        }
    }
    bool WaitFor(uint8_t type, Pdu *out, int timeout_ms = qrntest::kWaitMs) {
        return Take([type](const Pdu &p) { return p.header.pdu_type == type; }, out, timeout_ms);
    }
    // Receives for ms real milliseconds, then counts the PDUs of type queued.
    int CountAfter(uint8_t type, int ms) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (ReceiveOne(deadline)) {
        }
        int n = 0;
        for (const Pdu &p : m_queue) n += p.header.pdu_type == type ? 1 : 0;
        return n;
    }

    // Returns once the endpoint at to_port has dispatched every datagram this peer sent it
    // before: data for app_id 0, which no connection has, draws a close request back.
    bool Sync(uint16_t to_port, const char *to_ip = kLoopback) {
        const uint16_t nonce = ++m_sync;
        Send(DataReliable(CUdpRlbIds{0, kSyncSrc, 0, nonce}, 0, 0), to_port, to_ip);
        return Take(
            [nonce](const Pdu &p) {
                CUdpRlbIds ids;
                return p.header.pdu_type == kPduCloseRequest &&
                       udprlb_pdu_read_close_request(p.payload.data(), static_cast<int>(p.payload.size()), &ids) &&
                       ids.dst == kSyncSrc && ids.dst_tag == nonce;
            },
            nullptr);
    }

private:
    static constexpr uint16_t kSyncSrc = 0xfffe;

    bool ReceiveOne(std::chrono::steady_clock::time_point deadline) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0) <= 0) return false;
        uint8_t buf[kMaxDatagram + 1];
        Pdu pdu;
        socklen_t len = sizeof(pdu.from);
        const ssize_t got = ::recvfrom(m_fd, buf, sizeof(buf), 0, reinterpret_cast<sockaddr *>(&pdu.from), &len);
        if (got < 0) return true;
        if (udprlb_pdu_check(buf, static_cast<int>(got), &pdu.header) != EUdpRlbCheck::kValid) {
            ++m_invalid;
            return true;
        }
        pdu.payload.assign(buf + kOffPayload, buf + got);
        pdu.tick = get_tick_count();
        m_queue.push_back(pdu);
        return true;
    }

    int m_fd = -1;
    uint16_t m_port = 0;
    uint16_t m_sync = 0;
    int m_invalid = 0;
    std::deque<Pdu> m_queue;
};

// A received PDU's payload read with one of the layer's decoders.
template <class T>
T Decode(const Pdu &p, bool (*read)(const void *, int, T *)) {
    T fields;
    EXPECT_TRUE(read(p.payload.data(), static_cast<int>(p.payload.size()), &fields));
    return fields;
}

// --- set-ups ----------------------------------------------------------------------------------

// A listener of the layer on ip at a free port, its events to rec; the port.
inline uint16_t Listen(EventRecorder &rec, const char *ip = kLoopback) {
    const uint16_t port = FreeUdpPort(ip);
    EXPECT_EQ(0, qrn_udprlb_listen(ip, port, &EventRecorder::Callback, rec.Context()));
    return port;
}

// The raw peer as a client of the listener at port: the connect response it got. Unless told
// otherwise it then carries the listener's tag back in a pure acknowledgement, as the layer's
// own clients do, which turns the half-open connection into one the listener's user hears of.
inline CUdpRlbConnectResponse RawHandshake(RawUdpPeer &peer, uint16_t port, uint16_t app_id, uint16_t tag,
                                           bool establish = true, const char *ip = kLoopback) {
    peer.Send(ConnectRequest(app_id, tag), port, ip);
    Pdu pdu;
    EXPECT_TRUE(peer.WaitFor(kPduConnectResponse, &pdu));
    const CUdpRlbConnectResponse response = Decode(pdu, udprlb_pdu_read_connect_response);
    if (establish && response.result == kConnectAccepted) {
        peer.Send(DataReliable(CUdpRlbIds{response.src, app_id, response.src_tag, tag}, 0, 0), port, ip);
    }
    return response;
}

// Two ends of the layer: a connect from the shared socket to a listener on 127.0.0.1.
struct LibraryPair {
    EventRecorder *client_rec = nullptr;
    EventRecorder *server_rec = nullptr;
    uint16_t port = 0;
    int client = 0;
    int server = 0;
};

inline void ConnectLibraryPair(LibraryPair *pair) {
    pair->client_rec = &NewRecorder();
    pair->server_rec = &NewRecorder();
    pair->port = Listen(*pair->server_rec);
    pair->client = qrn_udprlb_connect(kLoopback, pair->port, "", 0, &EventRecorder::Callback,
                                      pair->client_rec->Context());
    ASSERT_GT(pair->client, 0);
    const Event connected = pair->client_rec->WaitFor(kEventConnectDone);
    ASSERT_EQ(kEventConnectDone, connected.msg);
    ASSERT_EQ(static_cast<uintptr_t>(kConnectOk), connected.p1);
    ASSERT_EQ(static_cast<uintptr_t>(pair->client), connected.handle);
    const Event accepted = pair->server_rec->WaitFor(kEventAccepted);
    ASSERT_EQ(kEventAccepted, accepted.msg);
    pair->server = static_cast<int>(accepted.handle);
}

}  // namespace urlbtest

#endif
