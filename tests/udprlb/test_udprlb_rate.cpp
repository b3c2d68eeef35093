// Rate control of the reliable-UDP layer: the statistics in header bytes 5 to 7 and the
// sending rate that the peer's reports move, driven from a hand-made peer.
// The peer brings the system's socket headers, which must come before the layer's own.
#include "udprlb_delivery_peer.h"

#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <functional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qrnlibl/qrn_time.h"
#include "test_support.h"
#include "udprlb/udprlb.h"
#include "udprlb/udprlb_connection.h"
#include "udprlb/udprlb_module.h"

namespace udprlbtest {
namespace {

using qrntest::ClockFactor;
using qrntest::TraceCapture;
using qrntest::WaitUntil;

constexpr const char *kBandwidthTrace =
    "CUdpRlbConnection::SetNewOutgoingBandwidth, (handle,new_bw,m_outgoing_bw,m_outgoing_max_chunk_size)=";

uint32_t Bandwidth(int handle) {
    uint32_t bw = 0;
    EXPECT_EQ(0, qrn_udprlb_option(handle, kOptBandwidth, reinterpret_cast<uintptr_t>(&bw)));
    return bw;
}

struct BandwidthLine {
    uint32_t new_bw, bw, budget;
};

// The bandwidth changes of one connection, in the order the trace wrote them.
std::vector<BandwidthLine> BandwidthLines(const TraceCapture &trace, int handle) {
    std::vector<BandwidthLine> out;
    for (const std::string &line : trace.Lines()) {
        const size_t at = line.find(kBandwidthTrace);
        if (at == std::string::npos) continue;
        std::istringstream values(line.substr(at + strlen(kBandwidthTrace)));
        int h = 0;
        BandwidthLine b{};
        values >> h >> b.new_bw >> b.bw >> b.budget;
        if (h == handle) out.push_back(b);
    }
    return out;
}

TEST(UdpRlbRate, BandwidthStaysBetween25600And2048000InStepsOf20) {
    Connected c;
    ASSERT_GT(c.handle, 0);
    EXPECT_EQ(kInitialBandwidth, Bandwidth(c.handle));
    TraceCapture trace;
    CQrnRefHolder<CUdpRlbConnection> conn(GetUdpRlbConnection(c.handle));
    ASSERT_TRUE(conn);
    const struct {
        uint32_t asked, rate;
    } cases[] = {{0, 25600}, {10000000, 2048000}, {1000019, 1000000}, {25619, 25600}, {2048019, 2048000},
                 {UINT32_MAX, 2048000}};
    for (const auto &each : cases) {
        conn->SetNewOutgoingBandwidth(each.asked);
        EXPECT_EQ(each.rate, conn->OutgoingBandwidth()) << each.asked;
        EXPECT_EQ(each.rate, Bandwidth(c.handle)) << each.asked;
    }
    const std::vector<BandwidthLine> lines = BandwidthLines(trace, c.handle);
    ASSERT_EQ(6u, lines.size());
    EXPECT_EQ(0u, lines[0].new_bw);
    EXPECT_EQ(25600u, lines[0].bw);
    EXPECT_EQ(1280u, lines[0].budget);
    EXPECT_EQ(102400u, lines[1].budget);
}

// Reads the layer's data PDUs, acknowledges them and reports on each of the layer's periods
// what arrived in it, or, once asked, that nothing arrived.
class ReportingPeer {
public:
    explicit ReportingPeer(ConnectedPeer *peer) : m_peer(peer), m_thread([this] { Run(); }) {}
    ~ReportingPeer() {
        m_stop = true;
        m_thread.join();
    }
    // While set, every report says that nothing arrived.
    void SetLoss(bool loss) { m_loss = loss; }
    uint64_t received() const { return m_received; }

private:
    void Run() {
        uint32_t ack = 0;
        uint32_t bytes[kSecondsTracked] = {};
        int last_period = -1;
        uint8_t report = kInitialReportedSecond;
        uint16_t volume = 0;
        while (!m_stop) {
            DataPdu pdu;
            if (!m_peer->ReceiveData(&pdu, false, 20)) continue;
            const int period = pdu.header.stats_index >> kStatsIndexShift;
            bytes[period] += static_cast<uint32_t>(pdu.header.len + kHeaderSize);
            if (pdu.pdu.seq == ack) ack += static_cast<uint32_t>(pdu.data.size());
            m_received = ack;
            if (last_period >= 0 && period != last_period) {
                report = static_cast<uint8_t>(last_period);
                volume = static_cast<uint16_t>(bytes[last_period] >> kStatsVolumeShift);
                bytes[last_period] = 0;
                if (m_loss) volume = 0;
            }
            last_period = period;
            m_peer->SendData(0, ack, "", {}, report, volume);
        }
    }

    ConnectedPeer *m_peer;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_loss{false};
    std::atomic<uint64_t> m_received{0};
    std::thread m_thread;
};

TEST(UdpRlbRate, RateGrowsWhileThePeerReportsEverythingAndFallsOnLoss) {
    ClockFactor fast(5);
    Connected c;
    ASSERT_GT(c.handle, 0);
    TraceCapture trace;
    const std::string block = Pattern(65536, 21);
    {
        ReportingPeer reporter(&c.peer);
        auto send_until = [&](const std::function<bool()> &done) {
            return WaitUntil([&] {
                SendBytes(c.handle, block);
                return done();
            }, 30000);
        };
        ASSERT_TRUE(send_until([&] { return Bandwidth(c.handle) > kInitialBandwidth * 1.06; }))
            << Bandwidth(c.handle);
        const uint32_t before_loss = Bandwidth(c.handle);
        reporter.SetLoss(true);
        ASSERT_TRUE(send_until([&] { return Bandwidth(c.handle) < before_loss; }));
        reporter.SetLoss(false);
        const uint32_t after_loss = Bandwidth(c.handle);
        ASSERT_TRUE(send_until([&] { return Bandwidth(c.handle) > after_loss; }));
        EXPECT_GT(reporter.received(), 0u);
    }

    const std::vector<BandwidthLine> lines = BandwidthLines(trace, c.handle);
    ASSERT_GE(lines.size(), 4u);
    uint32_t bw = kInitialBandwidth;
    bool fell = false;
    for (const BandwidthLine &line : lines) {
        if (line.bw < bw) {
            // Halfway toward what arrived, which was nothing.
            EXPECT_EQ(bw / 2, line.new_bw);
            fell = true;
        } else {
            // Below the rate where loss was seen (or before any loss): 5 % up.
            EXPECT_EQ(static_cast<uint32_t>(bw * kRateRecoveryFactor), line.new_bw);
        }
        EXPECT_EQ(line.bw, line.budget * kSlotsPerSecond);
        EXPECT_EQ(line.bw, line.new_bw / kSlotsPerSecond * kSlotsPerSecond);
        bw = line.bw;
    }
    EXPECT_TRUE(fell);
}

TEST(UdpRlbRate, StatsBytesReportTheLastCompletePeerPeriod) {
    Connected c;
    ASSERT_GT(c.handle, 0);
    const std::string packet = Pattern(1000, 22);
    const uint32_t datagram = kHeaderSize + kDataUnreliableFixedSize + 1000;
    uint16_t useq = 0;
    // One unreliable packet stamped with the peer's own period; its ACK shows it was handled.
    auto send_in = [&](int period) {
        c.peer.SendUnreliable(useq++, kAttemptFirst, packet,
                              static_cast<uint8_t>(period << kStatsIndexShift | kInitialReportedSecond));
        Pdu d;
        ASSERT_TRUE(c.peer.ReceiveType(kPduUnreliableAck, &d));
    };
    // The stats of the layer's next new data PDU (retransmissions of earlier ones passed over).
    uint32_t next_seq = 0;
    auto next_stats = [&](CUdpRlbHeader *header) {
        ASSERT_EQ(1, SendBytes(c.handle, "x"));
        DataPdu pdu;
        do {
            ASSERT_TRUE(c.peer.ReceiveData(&pdu));
        } while (pdu.pdu.seq != next_seq);
        ++next_seq;
        *header = pdu.header;
    };

    for (int i = 0; i < 5; ++i) send_in(0);
    send_in(1);  // the peer's period 1 begins, so period 0 is complete
    CUdpRlbHeader header;
    next_stats(&header);
    EXPECT_EQ(0, header.stats_index & kStatsIndexMask);
    EXPECT_EQ(5 * datagram >> kStatsVolumeShift, header.stats_volume);

    // A PDU without the session's tags moves nothing, however well it knows the handle.
    CUdpRlbDataUnreliable forged;
    forged.ids = c.peer.Ids();
    forged.ids.src_tag = static_cast<uint16_t>(forged.ids.src_tag + 1);
    c.peer.Send(kPduDataUnreliable, [&](uint8_t *out, int room) {
        return udprlb_pdu_write_data_unreliable(forged, out, room);
    }, static_cast<uint8_t>(3 << kStatsIndexShift | kInitialReportedSecond));
    // Eight ahead could as well be eight behind: no new period.
    send_in(9);
    next_stats(&header);
    EXPECT_EQ(0, header.stats_index & kStatsIndexMask);
    EXPECT_EQ(5 * datagram >> kStatsVolumeShift, header.stats_volume);

    send_in(2);
    next_stats(&header);
    EXPECT_EQ(1, header.stats_index & kStatsIndexMask);
    EXPECT_EQ(2 * datagram >> kStatsVolumeShift, header.stats_volume);
    // Nothing that this side sent was judged: reports on its periods say nothing arrived, but
    // it sent next to nothing in them.
    EXPECT_EQ(kInitialBandwidth, Bandwidth(c.handle));
}

}  // namespace
}  // namespace udprlbtest
