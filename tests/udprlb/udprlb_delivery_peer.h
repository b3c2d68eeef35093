// A hand-driven reliable-UDP peer for the delivery and rate tests: a plain UDP socket on the
// loopback address that answers the layer's connect request and then sends and reads PDUs
// built with the layer's own encoders, so that a test controls every byte the layer sees.
#ifndef QRN_TESTS_UDPRLB_UDPRLB_DELIVERY_PEER_H
#define QRN_TESTS_UDPRLB_UDPRLB_DELIVERY_PEER_H

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "raw_peer.h"
#include "test_support.h"
#include "udprlb/udprlb.h"
#include "udprlb/udprlb_pdu.h"

namespace udprlbtest {

using namespace urlb;

struct Datagram {
    CUdpRlbHeader header;
    std::vector<uint8_t> bytes;  // the whole datagram
    const uint8_t *payload() const { return bytes.data() + kOffPayload; }
    int payload_len() const { return static_cast<int>(bytes.size()) - kOffPayload; }
};

// A data reliable PDU as read back, with its data copied out.
struct DataPdu {
    CUdpRlbHeader header;
    CUdpRlbDataReliable pdu;
    std::string data;
};

// Real milliseconds left until a deadline, never negative.
class Deadline {
public:
    explicit Deadline(int ms) : m_end(std::chrono::steady_clock::now() + std::chrono::milliseconds(ms)) {}
    int left() const {
        const auto ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(m_end - std::chrono::steady_clock::now());
        return ms.count() > 0 ? static_cast<int>(ms.count()) : 0;
    }

private:
    std::chrono::steady_clock::time_point m_end;
};

class RawUdpPeer {
public:
    static constexpr uint16_t kPeerId = 0x4242;
    static constexpr uint16_t kPeerTag = 0x1357;

    RawUdpPeer() {
        m_fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a = qrntest::RawAddress(0);
        EXPECT_EQ(0, ::bind(m_fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)));
        int size = 4 * 1024 * 1024;
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof(size));
        m_port = qrntest::RawPort(m_fd);
    }
    ~RawUdpPeer() { ::close(m_fd); }
    RawUdpPeer(const RawUdpPeer &) = delete;
    RawUdpPeer &operator=(const RawUdpPeer &) = delete;

    uint16_t port() const { return m_port; }
    int handle() const { return m_handle; }

    // Plays the server for a qrn_udprlb_connect of the layer: answers the connect request and
    // waits for the layer's event 2. The layer's handle, 0 on failure.
    int Connect(qrntest::EventRecorder *recorder) {
        m_handle = qrn_udprlb_connect("127.0.0.1", m_port, "", 0, &qrntest::EventRecorder::Callback,
                                      recorder->Context());
        if (m_handle == 0) return 0;
        Datagram d;
        CUdpRlbConnectRequest request;
        if (!ReceiveType(kPduConnectRequest, &d) ||
            !udprlb_pdu_read_connect_request(d.payload(), d.payload_len(), &request)) {
            return 0;
        }
        m_lib_id = request.src;
        m_lib_tag = request.src_tag;
        CUdpRlbConnectResponse response;
        response.dst = m_lib_id;
        response.src = kPeerId;
        response.src_tag = kPeerTag;
        Send(kPduConnectResponse, [&](uint8_t *out, int room) {
            return udprlb_pdu_write_connect_response(response, out, room);
        });
        qrntest::Event e = recorder->WaitFor(kEventConnectDone);
        if (e.msg != kEventConnectDone || e.p1 != static_cast<uintptr_t>(kConnectOk)) return 0;
        // The layer carries this peer's tag back at once, in a pure acknowledgement.
        CUdpRlbDataReliable first;
        if (!ReceiveType(kPduDataReliable, &d) ||
            !udprlb_pdu_read_data_reliable(d.payload(), d.payload_len(), &first) || first.data_len != 0 ||
            first.ids.dst_tag != kPeerTag) {
            return 0;
        }
        return m_handle;
    }

    // The identifying fields as this peer sends them.
    CUdpRlbIds Ids() const { return CUdpRlbIds{m_lib_id, kPeerId, m_lib_tag, kPeerTag}; }

    // Builds a datagram with write(out, room) and sends it to the layer.
    template <class W>
    void Send(uint8_t type, W write, uint8_t stats_index = 0, uint16_t volume = 0) {
        uint8_t buf[kMaxDatagram] = {};
        const int len = write(buf + kOffPayload, kMaxPayload);
        ASSERT_GE(len, 0);
        udprlb_pdu_write_stats(buf, kMaxDatagram, stats_index >> kStatsIndexShift,
                               stats_index & kStatsIndexMask, volume);
        const int size = udprlb_pdu_finish(buf, kMaxDatagram, type, len);
        ASSERT_GT(size, 0);
        ASSERT_EQ(size, ::sendto(m_fd, buf, static_cast<size_t>(size), 0,
                                 reinterpret_cast<const sockaddr *>(&m_lib_addr), sizeof(m_lib_addr)));
    }

    void SendData(uint32_t seq, uint32_t ack, const std::string &data,
                  const std::vector<CUdpRlbSackEntry> &sacks = {}, uint8_t stats_index = 0,
                  uint16_t volume = 0) {
        CUdpRlbDataReliable pdu;
        pdu.ids = Ids();
        pdu.seq = seq;
        pdu.ack = ack;
        for (const CUdpRlbSackEntry &entry : sacks) pdu.sack[pdu.sack_count++] = entry;
        pdu.data = reinterpret_cast<const uint8_t *>(data.data());
        pdu.data_len = static_cast<int>(data.size());
        Send(kPduDataReliable, [&](uint8_t *out, int room) {
            return udprlb_pdu_write_data_reliable(pdu, out, room);
        }, stats_index, volume);
    }

    void SendUnreliable(uint16_t seq, uint8_t attempt, const std::string &data, uint8_t stats_index = 0) {
        CUdpRlbDataUnreliable pdu;
        pdu.ids = Ids();
        pdu.seq = seq;
        pdu.attempt = attempt;
        pdu.data = reinterpret_cast<const uint8_t *>(data.data());
        pdu.data_len = static_cast<int>(data.size());
        Send(kPduDataUnreliable, [&](uint8_t *out, int room) {
            return udprlb_pdu_write_data_unreliable(pdu, out, room);
        }, stats_index);
    }

    void SendUnreliableAck(uint16_t seq) {
        CUdpRlbUnreliableAck pdu;
        pdu.ids = Ids();
        pdu.seq = seq;
        Send(kPduUnreliableAck, [&](uint8_t *out, int room) {
            return udprlb_pdu_write_unreliable_ack(pdu, out, room);
        });
    }

    // The next valid datagram within timeout_ms real milliseconds.
    bool Receive(Datagram *d, int timeout_ms = qrntest::kWaitMs) {
        const Deadline deadline(timeout_ms);
        pollfd p{m_fd, POLLIN, 0};
        while (::poll(&p, 1, deadline.left()) > 0) {
            uint8_t buf[kMaxDatagram + 1];
            sockaddr_in from{};
            socklen_t from_len = sizeof(from);
            const ssize_t n = ::recvfrom(m_fd, buf, sizeof(buf), 0, reinterpret_cast<sockaddr *>(&from), &from_len);
            if (n < kHeaderSize) continue;
            if (udprlb_pdu_check(buf, static_cast<int>(n), &d->header) != EUdpRlbCheck::kValid) {
                ADD_FAILURE() << "the layer sent an invalid datagram of " << n << " bytes";
                continue;
            }
            m_lib_addr = from;
            d->bytes.assign(buf, buf + n);
            return true;
        }
        return false;
    }

    // The next datagram of this type; others are passed over.
    bool ReceiveType(uint8_t type, Datagram *d, int timeout_ms = qrntest::kWaitMs) {
        const Deadline deadline(timeout_ms);
        while (Receive(d, deadline.left())) {
            if (d->header.pdu_type == type) return true;
        }
        return false;
    }

    // The next data reliable PDU; with_data passes over pure acknowledgements.
    bool ReceiveData(DataPdu *out, bool with_data = true, int timeout_ms = qrntest::kWaitMs) {
        const Deadline deadline(timeout_ms);
        Datagram d;
        while (ReceiveType(kPduDataReliable, &d, deadline.left())) {
            EXPECT_TRUE(udprlb_pdu_read_data_reliable(d.payload(), d.payload_len(), &out->pdu));
            if (with_data && out->pdu.data_len == 0) continue;
            out->header = d.header;
            out->data.assign(reinterpret_cast<const char *>(out->pdu.data), static_cast<size_t>(out->pdu.data_len));
            out->pdu.data = nullptr;
            return true;
        }
        return false;
    }

    // The next data reliable PDU whose ack has reached ack.
    bool WaitForAck(uint32_t ack, DataPdu *out, int timeout_ms = qrntest::kWaitMs) {
        const Deadline deadline(timeout_ms);
        while (ReceiveData(out, false, deadline.left())) {
            if (out->pdu.ack == ack) return true;
        }
        return false;
    }

private:
    int m_fd = -1;
    uint16_t m_port = 0;
    int m_handle = 0;
    uint16_t m_lib_id = 0;
    uint16_t m_lib_tag = 0;
    sockaddr_in m_lib_addr{};
};

// A recorder that outlives every connection that may still call it (never destroyed).
inline qrntest::EventRecorder &NewRecorder() {
    static auto *all = new std::vector<std::unique_ptr<qrntest::EventRecorder>>();
    all->push_back(std::make_unique<qrntest::EventRecorder>());
    return *all->back();
}

// A connection of the layer to a raw peer, closed when the object goes.
struct Connected {
    qrntest::EventRecorder &rec = NewRecorder();
    RawUdpPeer peer;
    int handle = peer.Connect(&rec);
    ~Connected() {
        if (handle > 0) qrn_udprlb_close(handle);
    }
};

inline std::string Pattern(size_t len, uint32_t seed) {
    std::string s(len, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < len; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 24);
    }
    return s;
}

inline int SendBytes(int handle, const std::string &data, int flags = 0) {
    return qrn_udprlb_send(handle, data.data(), static_cast<int>(data.size()), flags);
}

inline std::string RecvAll(int handle, size_t max) {
    std::string out(max, '\0');
    const int n = qrn_udprlb_recv(handle, &out[0], static_cast<int>(max), 0);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

}  // namespace udprlbtest

#endif
