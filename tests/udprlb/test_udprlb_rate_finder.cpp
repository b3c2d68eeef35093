// The path-finding rate on a virtual clock: a sender that always has data drives
// CUdpRlbRateFinder through a simulated bottleneck (a rate, a fixed delay, a drop-tail queue and
// random loss), so that many seconds of a wide path take milliseconds and every run is the same.
#include <gtest/gtest.h>

#include <stdint.h>

#include <deque>
#include <random>
#include <utility>

#include "udprlb/udprlb_defs.h"
#include "udprlb/udprlb_rate_finder.h"

namespace {

constexpr uint32_t kPacket = urlb::kMaxDatagram;
constexpr int64_t kUsPerMs = 1000;
constexpr int64_t kUsPerSecond = 1000000;

struct PathConfig {
    uint32_t mbit = 100;
    uint32_t rtt_ms = 50;
    double loss = 0;
    uint32_t ceiling_mbit = 100;
    uint64_t queue_bytes = 0;  // 0: one bandwidth-delay product
};

// What the run measured between from_s and its end.
struct PathResult {
    double mbit = 0;             // delivered
    double mean_queue_ms = 0;    // queueing delay of the delivered packets
    double max_queue_ms = 0;
    double first_near_s = -1;    // when a 100 ms span first delivered 80 % of the bottleneck
    uint64_t lost_in_queue = 0;
};

struct InFlight {
    uint64_t seq;
    CUdpRlbRateFinder::CStamp stamp;
    int64_t ack_at_us;  // -1: lost on the way
    double queue_ms;
};

// One sender, pacing with short slots as the connection does, one packet per datagram.
PathResult RunPath(const PathConfig &c, double seconds, double from_s) {
    const double link_bytes_per_us = c.mbit * 1e6 / 8 / kUsPerSecond;
    const uint64_t queue_limit =
        c.queue_bytes != 0 ? c.queue_bytes : static_cast<uint64_t>(link_bytes_per_us * c.rtt_ms * kUsPerMs);
    const int64_t half_rtt_us = c.rtt_ms * kUsPerMs / 2;
    std::mt19937 random(7);
    std::bernoulli_distribution lose(c.loss);

    CUdpRlbRateFinder finder(c.ceiling_mbit * urlb::kBytesPerMbit, 0);
    std::deque<InFlight> flight;
    std::deque<std::pair<int64_t, uint32_t>> queue;  // departure times and sizes at the bottleneck
    uint64_t queued = 0;
    int64_t link_free_us = 0;
    uint64_t next_seq = 0;
    double slot_budget = 0;
    int64_t slot_end_ms = 0;

    PathResult r;
    uint64_t delivered_bytes = 0;
    double queue_sum = 0;
    uint64_t queue_samples = 0;
    uint64_t span_bytes = 0;
    int64_t span_start_ms = 0;

    const int64_t end_ms = static_cast<int64_t>(seconds * 1000);
    for (int64_t ms = 0; ms < end_ms; ++ms) {
        const uint32_t now = static_cast<uint32_t>(ms);
        const int64_t now_us = ms * kUsPerMs;
        while (!queue.empty() && queue.front().first <= now_us) {
            queued -= queue.front().second;
            queue.pop_front();
        }
        // Acknowledgements that arrived by now, in order; a packet lost on the way shows as a
        // later one arriving.
        while (!flight.empty() && (flight.front().ack_at_us < 0 || flight.front().ack_at_us <= now_us)) {
            bool later_arrived = false;
            if (flight.front().ack_at_us < 0) {
                for (const InFlight &f : flight) {
                    if (f.ack_at_us >= 0 && f.ack_at_us <= now_us) later_arrived = true;
                    if (later_arrived) break;
                }
                if (!later_arrived) break;
                finder.OnLost(kPacket, true);
                flight.pop_front();
                continue;
            }
            const InFlight f = flight.front();
            flight.pop_front();
            finder.OnDelivered(now, kPacket, f.stamp, true, false);
            if (ms >= from_s * 1000) {
                delivered_bytes += kPacket;
                queue_sum += f.queue_ms;
                ++queue_samples;
                if (f.queue_ms > r.max_queue_ms) r.max_queue_ms = f.queue_ms;
            }
            span_bytes += kPacket;
        }
        if (ms - span_start_ms >= 100) {
            if (r.first_near_s < 0 && span_bytes * 8.0 / 0.1 >= 0.8 * c.mbit * 1e6) r.first_near_s = ms / 1000.0;
            span_bytes = 0;
            span_start_ms = ms;
        }
        if (ms >= slot_end_ms) {
            slot_end_ms = ms + urlb::kRateSlotLength;
            // What the last datagram of a slot took beyond its budget counts against the next.
            slot_budget = (slot_budget < 0 ? slot_budget : 0) +
                          static_cast<double>(finder.PacingRate()) * urlb::kRateSlotLength / 1000;
        }
        while (slot_budget > 0 && finder.InFlight() + kPacket <= finder.Window()) {
            slot_budget -= kPacket;
            InFlight f{next_seq++, finder.OnSent(now, kPacket), -1, 0};
            if (!lose(random)) {
                if (queued + kPacket > queue_limit) {
                    ++r.lost_in_queue;
                } else {
                    const int64_t start = link_free_us > now_us ? link_free_us : now_us;
                    link_free_us = start + static_cast<int64_t>(kPacket / link_bytes_per_us);
                    queue.emplace_back(link_free_us, kPacket);
                    queued += kPacket;
                    f.queue_ms = static_cast<double>(start - now_us) / kUsPerMs;
                    f.ack_at_us = link_free_us + 2 * half_rtt_us;
                }
            }
            flight.push_back(f);
        }
    }
    r.mbit = delivered_bytes * 8.0 / (seconds - from_s) / 1e6;
    r.mean_queue_ms = queue_samples > 0 ? queue_sum / queue_samples : 0;
    return r;
}

// On a clean 100 Mbit/s path of 50 or 100 ms, the rate finds the bottleneck within a couple
// of seconds, then fills it while keeping the queue short; 1 % random loss costs little, since
// loss does not move the rate; and a ceiling below the path holds.
TEST(UdpRlbRateFinderTest, FindsTheBottleneckKeepsTheQueueShortIgnoresRandomLossAndHoldsTheCeiling) {
    constexpr double kSeconds = 20;
    constexpr double kSteadyFrom = 5;
    for (uint32_t rtt : {50u, 100u}) {
        SCOPED_TRACE(testing::Message() << "round trip " << rtt << " ms");
        PathConfig clean;
        clean.rtt_ms = rtt;
        const PathResult r = RunPath(clean, kSeconds, kSteadyFrom);
        RecordProperty("clean_mbit_x100", static_cast<int>(r.mbit * 100));
        EXPECT_GT(r.mbit, 90.0);
        EXPECT_LE(r.mbit, 100.01);
        EXPECT_GE(r.first_near_s, 0.0);
        EXPECT_LT(r.first_near_s, 2.5);
        // The queue stays well below what it can hold (one round trip's worth).
        EXPECT_LT(r.mean_queue_ms, rtt / 4.0);
        EXPECT_LT(r.max_queue_ms, static_cast<double>(rtt));

        PathConfig lossy = clean;
        lossy.loss = 0.01;
        const PathResult l = RunPath(lossy, kSeconds, kSteadyFrom);
        RecordProperty("lossy_mbit_x100", static_cast<int>(l.mbit * 100));
        // Only the lost packets themselves are missing.
        EXPECT_GT(l.mbit, 0.9 * r.mbit);
        EXPECT_LT(l.mean_queue_ms, rtt / 4.0);

        PathConfig capped = clean;
        capped.ceiling_mbit = 20;
        const PathResult c = RunPath(capped, kSeconds, kSteadyFrom);
        EXPECT_LE(c.mbit, 20.05);
        EXPECT_GT(c.mbit, 18.0);
        EXPECT_EQ(0u, c.lost_in_queue);
        EXPECT_LT(c.max_queue_ms, 1.0);
    }
}

// A small queue (a tenth of the bandwidth-delay product) overflows during the start, and the
// sender must still settle near the bottleneck rather than keep overflowing it.
TEST(UdpRlbRateFinderTest, SettlesBehindAShallowQueue) {
    PathConfig shallow;
    shallow.queue_bytes = 62500;
    const PathResult r = RunPath(shallow, 20, 5);
    EXPECT_GT(r.mbit, 80.0);
    EXPECT_LT(r.max_queue_ms, 6.0);
}

}  // namespace
