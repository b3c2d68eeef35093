#include "udprlb/udprlb_rate_finder.h"

using namespace urlb;

namespace {

int32_t Since(uint32_t from, uint32_t now) { return static_cast<int32_t>(now - from); }

uint32_t Clamp32(uint64_t v) { return v > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(v); }

}  // namespace

CUdpRlbRateFinder::CUdpRlbRateFinder(uint32_t ceiling, uint32_t now)
    : m_ceiling(ceiling > 0 ? ceiling : kRateMinPacing),
      m_delivered_tick(now),
      m_first_sent_tick(now),
      m_window(kRateInitialWindow) {}

void CUdpRlbRateFinder::SetCeiling(uint32_t ceiling) { m_ceiling = ceiling > 0 ? ceiling : kRateMinPacing; }

CUdpRlbRateFinder::CStamp CUdpRlbRateFinder::OnSent(uint32_t now, uint32_t bytes) {
    // After an idle spell the delivery rate is measured from the restart, not across the gap.
    if (m_in_flight == 0) {
        m_delivered_tick = now;
        m_first_sent_tick = now;
    }
    m_in_flight += bytes;
    CStamp stamp;
    stamp.sent_tick = now;
    stamp.delivered = m_delivered;
    stamp.delivered_tick = m_delivered_tick;
    stamp.first_sent_tick = m_first_sent_tick;
    stamp.app_limited = m_app_limited_until != 0;
    return stamp;
}

void CUdpRlbRateFinder::OnDelivered(uint32_t now, uint32_t bytes, const CStamp &stamp, bool in_flight,
                                    bool repeated) {
    if (in_flight) m_in_flight = m_in_flight > bytes ? m_in_flight - bytes : 0;
    m_delivered += bytes;
    m_round_delivered += bytes;
    m_delivered_tick = now;
    if (m_app_limited_until != 0 && m_delivered > m_app_limited_until) m_app_limited_until = 0;
    if (stamp.delivered >= m_next_round_delivered) StartRound();
    // A repeated chunk's acknowledgement may answer any of its copies.
    if (!repeated) {
        TakeRttSample(now, static_cast<uint32_t>(Since(stamp.sent_tick, now) > 0 ? Since(stamp.sent_tick, now) : 0));
        TakeRateSample(now, stamp);
    }
    GrowWindow(bytes);
    AdvanceMode(now);
}

void CUdpRlbRateFinder::OnLost(uint32_t bytes, bool evidence) {
    m_in_flight = m_in_flight > bytes ? m_in_flight - bytes : 0;
    if (evidence) m_round_lost += bytes;
}

void CUdpRlbRateFinder::OnAppLimited() {
    m_app_limited_until = m_delivered + m_in_flight;
    if (m_app_limited_until == 0) m_app_limited_until = 1;
}

void CUdpRlbRateFinder::StartRound() {
    m_next_round_delivered = m_delivered;
    ++m_round;
    m_rate_max[m_round % kRateRounds] = 0;
    if (m_mode == EMode::kStartup) CheckStartupDone();
    m_round_lost = 0;
    m_round_delivered = 0;
}

void CUdpRlbRateFinder::TakeRateSample(uint32_t now, const CStamp &stamp) {
    m_first_sent_tick = stamp.sent_tick;
    const int32_t send_interval = Since(stamp.first_sent_tick, stamp.sent_tick);
    const int32_t ack_interval = Since(stamp.delivered_tick, now);
    const int32_t interval = send_interval > ack_interval ? send_interval : ack_interval;
    if (interval < static_cast<int32_t>(kRateMinSampleInterval)) return;
    const uint32_t rate = Clamp32((m_delivered - stamp.delivered) * kSecondLength / static_cast<uint32_t>(interval));
    // A sender that had nothing to send measured itself, not the path, unless it saw more.
    if (stamp.app_limited && rate <= BottleneckRate()) return;
    uint32_t &slot = m_rate_max[m_round % kRateRounds];
    if (rate > slot) slot = rate;
}

void CUdpRlbRateFinder::TakeRttSample(uint32_t now, uint32_t rtt) {
    m_latest_rtt = rtt;
    const bool expired = Since(m_min_rtt_tick, now) > static_cast<int32_t>(kRateMinRttLifetime);
    if (m_min_rtt_tick == 0 || expired || rtt <= m_min_rtt) {
        m_min_rtt = rtt;
        m_min_rtt_tick = now != 0 ? now : 1;
    }
}

void CUdpRlbRateFinder::CheckStartupDone() {
    const uint64_t round_bytes = m_round_delivered + m_round_lost;
    const bool overflow = m_round_lost >= kRateStartupLossMinBytes &&
                          static_cast<double>(m_round_lost) > kRateStartupLossShare * static_cast<double>(round_bytes);
    const uint32_t rate = BottleneckRate();
    if (!overflow && rate > 0) {
        if (rate >= kRateFullGrowth * m_full_rate) {
            m_full_rate = rate;
            m_full_rounds = 0;
        } else {
            ++m_full_rounds;
        }
    }
    if (overflow || m_full_rounds >= kRateFullRounds) m_mode = EMode::kDrain;
}

void CUdpRlbRateFinder::AdvanceMode(uint32_t now) {
    if (m_mode == EMode::kDrain && m_in_flight <= PathBytes(1.0, 0)) {
        m_mode = EMode::kProbe;
        m_cycle_index = kRateProbeFirstIndex;
        m_cycle_tick = now;
        return;
    }
    if (m_mode != EMode::kProbe) return;
    const bool phase_over = Since(m_cycle_tick, now) > static_cast<int32_t>(m_min_rtt);
    // The phase below the rate ends as soon as the queue it drains is gone.
    const bool drained = m_cycle_index == kRateProbeDrainIndex && m_in_flight <= PathBytes(1.0, 0);
    if (!phase_over && !drained) return;
    m_cycle_index = (m_cycle_index + 1) % kRateProbeCycle;
    m_cycle_tick = now;
}

void CUdpRlbRateFinder::GrowWindow(uint32_t bytes) {
    const uint32_t rate = BottleneckRate();
    const uint64_t grown = static_cast<uint64_t>(m_window) + bytes;
    if (m_mode == EMode::kStartup || rate == 0) {
        m_window = Clamp32(grown);
        return;
    }
    const uint64_t target = PathBytes(kRateWindowGain, kRateTimerSlack);
    m_window = Clamp32(grown < target ? grown : target);
    if (m_window < kRateMinWindow) m_window = kRateMinWindow;
}

uint64_t CUdpRlbRateFinder::PathBytes(double gain, uint32_t slack) const {
    const uint64_t rtt = static_cast<uint64_t>(m_min_rtt) + slack;
    return static_cast<uint64_t>(gain * static_cast<double>(BottleneckRate()) * static_cast<double>(rtt) /
                                 kSecondLength);
}

double CUdpRlbRateFinder::PacingGain() const {
    switch (m_mode) {
    case EMode::kStartup: return kRateStartupGain;
    case EMode::kDrain: return 1.0 / kRateStartupGain;
    case EMode::kProbe: return kRateProbeGains[m_cycle_index];
    }
    return 1.0;
}

uint32_t CUdpRlbRateFinder::PacingRate() const {
    const uint32_t rate = BottleneckRate();
    // Before the first sample only the window holds the sender back.
    const double paced = rate == 0 ? static_cast<double>(m_ceiling) : PacingGain() * rate;
    if (paced >= m_ceiling) return m_ceiling;
    return paced < kRateMinPacing ? kRateMinPacing : static_cast<uint32_t>(paced);
}

uint32_t CUdpRlbRateFinder::Window() const { return m_window; }

uint32_t CUdpRlbRateFinder::BottleneckRate() const {
    uint32_t best = 0;
    for (uint32_t r : m_rate_max) best = r > best ? r : best;
    return best;
}
