// The reliable-UDP worker at scale: with many connections on one listener, each connection's
// timed duties (a delayed acknowledgement, a resend) happen near their own due times rather
// than after a round through every other connection.
#include "udprlb_test_peer.h"

#include <algorithm>
#include <map>

namespace urlbtest {
namespace {

constexpr int kConnections = 600;
// Connections whose duty is started at once: their answers, arriving together, must fit in
// the raw peer's socket buffer (a pure acknowledgement lost there would never come again).
constexpr int kBatch = 100;
constexpr uint16_t kFirstAppId = 1;
constexpr int kPayload = 10;
// Far above a due time on a loaded machine, far below a worker round through kConnections
// connections at one per 5 ms (3 s).
constexpr uint32_t kMedianBoundMs = 1000;

struct RawConnection {
    CUdpRlbIds ids;           // as the raw peer sends them
    uint32_t sent_tick = 0;   // when the event that starts the duty happened
    uint32_t first_tick = 0;  // the library's first data of phase two
    int seen = 0;
    uint32_t latency = 0;
};

uint32_t Median(std::vector<uint32_t> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? UINT32_MAX : values[values.size() / 2];
}

// Takes the library's data PDUs until visit has said so for wanted of them.
template <class Visit>
bool Collect(RawUdpPeer &peer, std::map<uint16_t, RawConnection> &conns, int wanted, Visit visit) {
    int done = 0;
    while (done < wanted) {
        Pdu pdu;
        if (!peer.WaitFor(kPduDataReliable, &pdu, qrntest::kWaitMs)) return false;
        CUdpRlbDataReliable data;
        if (!udprlb_pdu_read_data_reliable(pdu.payload.data(), static_cast<int>(pdu.payload.size()), &data)) {
            return false;
        }
        auto it = conns.find(data.ids.dst);
        if (it == conns.end()) continue;
        if (visit(it->second, data, pdu.tick)) ++done;
    }
    return true;
}

TEST(UdpRlbWorker, EveryConnectionOfManyGetsItsAcknowledgementAndResendOnTime) {
    EventRecorder &rec = NewRecorder();
    const uint16_t port = Listen(rec);
    RawUdpPeer peer;
    std::map<uint16_t, RawConnection> conns;
    for (int i = 0; i < kConnections; ++i) {
        const uint16_t app_id = static_cast<uint16_t>(kFirstAppId + i);
        const uint16_t tag = static_cast<uint16_t>(0x4000 + i);
        const CUdpRlbConnectResponse response = RawHandshake(peer, port, app_id, tag);
        ASSERT_EQ(kConnectAccepted, response.result) << i;
        conns[app_id].ids = CUdpRlbIds{response.src, app_id, response.src_tag, tag};
    }
    ASSERT_TRUE(rec.WaitForCount(kEventAccepted, kConnections));

    // Phase one: data to every connection, each answered by a delayed acknowledgement.
    const std::vector<uint8_t> payload(kPayload, 0x5a);
    auto next = conns.begin();
    for (int sent = 0; sent < kConnections; sent += kBatch) {
        for (int i = 0; i < kBatch && next != conns.end(); ++i, ++next) {
            next->second.sent_tick = get_tick_count();
            peer.Send(DataReliable(next->second.ids, 0, 0, payload), port);
        }
        ASSERT_TRUE(Collect(peer, conns, kBatch, [](RawConnection &c, const CUdpRlbDataReliable &d, uint32_t tick) {
            if (d.data_len != 0 || d.ack != static_cast<uint32_t>(kPayload) || c.seen != 0) return false;
            c.seen = 1;
            c.latency = calc_tick_diff(c.sent_tick, tick);
            return true;
        })) << "after " << sent;
    }
    std::vector<uint32_t> ack_latency;
    for (auto &entry : conns) ack_latency.push_back(entry.second.latency);
    EXPECT_LT(Median(ack_latency), kMedianBoundMs);

    // Phase two: the library sends on every connection; the raw peer never acknowledges, so
    // each chunk comes again after its resend time-out (a first copy lost in the raw peer's
    // buffer only makes the measured gap one between two resends).
    for (auto &entry : conns) entry.second.seen = 0;
    std::vector<int> handles;
    for (const Event &e : rec.Events()) {
        if (e.msg == kEventAccepted) handles.push_back(static_cast<int>(e.handle));
    }
    ASSERT_EQ(static_cast<size_t>(kConnections), handles.size());
    for (size_t at = 0; at < handles.size(); at += kBatch) {
        for (size_t i = at; i < at + kBatch && i < handles.size(); ++i) {
            ASSERT_EQ(kPayload, qrn_udprlb_send(handles[i], payload.data(), kPayload, 0));
        }
        ASSERT_TRUE(Collect(peer, conns, kBatch, [](RawConnection &c, const CUdpRlbDataReliable &d, uint32_t tick) {
            if (d.data_len != kPayload || d.seq != 0) return false;
            if (++c.seen == 1) {
                c.first_tick = tick;
                return false;
            }
            if (c.seen != 2) return false;
            c.latency = calc_tick_diff(c.first_tick, tick);
            return true;
        })) << "after " << at;
    }
    std::vector<uint32_t> resend_gap;
    for (auto &entry : conns) resend_gap.push_back(entry.second.latency);
    // Each gap runs from when this thread read the first copy, which a loaded machine may
    // delay: the bound tells a resend that waited for its time-out from one that did not.
    EXPECT_GE(Median(resend_gap), kInitialResendTimeout * 4 / 5);
    EXPECT_LT(Median(resend_gap), kMedianBoundMs);

    for (int handle : handles) EXPECT_EQ(0, qrn_udprlb_close(handle));
}

}  // namespace
}  // namespace urlbtest
