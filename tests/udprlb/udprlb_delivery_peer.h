// A hand-driven reliable-UDP peer for the delivery and rate tests: the shared raw peer as the
// server of one connection of the layer, sending and reading PDUs built with the layer's own
// encoders, so that a test controls every byte the layer sees.
#ifndef QRN_TESTS_UDPRLB_UDPRLB_DELIVERY_PEER_H
#define QRN_TESTS_UDPRLB_UDPRLB_DELIVERY_PEER_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "udprlb_test_peer.h"

namespace udprlbtest {

using namespace urlb;
using urlbtest::NewRecorder;
using urlbtest::Pdu;

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

// The raw peer as the other end of one connection of the layer.
class ConnectedPeer {
public:
    static constexpr uint16_t kPeerId = 0x4242;
    static constexpr uint16_t kPeerTag = 0x1357;

    ConnectedPeer() = default;
    ~ConnectedPeer() { EXPECT_EQ(0, m_udp.invalid()) << "the layer sent invalid datagrams"; }
    ConnectedPeer(const ConnectedPeer &) = delete;
    ConnectedPeer &operator=(const ConnectedPeer &) = delete;

    uint16_t port() const { return m_udp.port(); }
    int handle() const { return m_handle; }

    // Plays the server for a qrn_udprlb_connect of the layer: answers the connect request and
    // waits for the layer's event 2. The layer's handle, 0 on failure.
    int Connect(qrntest::EventRecorder *recorder) {
        m_handle = qrn_udprlb_connect("127.0.0.1", port(), "", 0, &qrntest::EventRecorder::Callback,
                                      recorder->Context());
        if (m_handle == 0) return 0;
        Pdu d;
        CUdpRlbConnectRequest request;
        if (!ReceiveType(kPduConnectRequest, &d) ||
            !udprlb_pdu_read_connect_request(d.payload.data(), d.size(), &request)) {
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
            !udprlb_pdu_read_data_reliable(d.payload.data(), d.size(), &first) || first.data_len != 0 ||
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
        m_udp.SendTo(buf, static_cast<size_t>(size), m_lib_addr);
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

    // The next datagram within timeout_ms real milliseconds.
    bool Receive(Pdu *d, int timeout_ms = qrntest::kWaitMs) {
        if (!m_udp.Take([](const Pdu &) { return true; }, d, timeout_ms)) return false;
        m_lib_addr = d->from;
        return true;
    }

    // The next datagram of this type; others are passed over.
    bool ReceiveType(uint8_t type, Pdu *d, int timeout_ms = qrntest::kWaitMs) {
        const Deadline deadline(timeout_ms);
        while (Receive(d, deadline.left())) {
            if (d->header.pdu_type == type) return true;
        }
        return false;
    }

    // The next data reliable PDU; with_data passes over pure acknowledgements.
    bool ReceiveData(DataPdu *out, bool with_data = true, int timeout_ms = qrntest::kWaitMs) {
        const Deadline deadline(timeout_ms);
        Pdu d;
        while (ReceiveType(kPduDataReliable, &d, deadline.left())) {
            EXPECT_TRUE(udprlb_pdu_read_data_reliable(d.payload.data(), d.size(), &out->pdu));
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
    urlbtest::RawUdpPeer m_udp;
    int m_handle = 0;
    uint16_t m_lib_id = 0;
    uint16_t m_lib_tag = 0;
    sockaddr_in m_lib_addr{};
};

// A connection of the layer to a raw peer, closed when the object goes.
struct Connected {
    qrntest::EventRecorder &rec = NewRecorder();
    ConnectedPeer peer;
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
