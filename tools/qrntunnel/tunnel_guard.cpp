#include "tunnel_guard.h"

#include <algorithm>

namespace qrntunnel {

CTokenBucket::CTokenBucket(double per_second, double burst, Clock::time_point now)
    : m_per_second(per_second), m_burst(burst), m_tokens(burst), m_last(now) {}

void CTokenBucket::Refill(Clock::time_point now) {
    if (now <= m_last) return;
    std::chrono::duration<double> elapsed = now - m_last;
    m_tokens = std::min(m_burst, m_tokens + elapsed.count() * m_per_second);
    m_last = now;
}

bool CTokenBucket::HasToken(Clock::time_point now) {
    Refill(now);
    return m_tokens >= 1;
}

void CTokenBucket::Take(Clock::time_point now) {
    Refill(now);
    m_tokens = std::max(0.0, m_tokens - 1);
}

bool CTokenBucket::Full(Clock::time_point now) {
    Refill(now);
    return m_tokens >= m_burst;
}

CTunnelGuard::CTunnelGuard(int max_sessions_per_source, int max_detectors_per_source,
                           Clock::time_point now)
    : m_max_per_source(max_sessions_per_source),
      m_max_detectors_per_source(max_detectors_per_source),
      m_overall(kMissesPerSecondOverall, kMissBurstOverall, now) {}

bool CTunnelGuard::MayLookUp(uint32_t source, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_misses.find(source);
    return it == m_misses.end() || it->second.HasToken(now);
}

bool CTunnelGuard::OverallBudgetLeft(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_overall.HasToken(now);
}

void CTunnelGuard::Missed(uint32_t source, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_overall.Take(now);
    auto it = m_misses.find(source);
    if (it == m_misses.end()) {
        if (m_misses.size() >= kMaxTrackedSources) return;
        it = m_misses
                 .emplace(source, CTokenBucket(kMissesPerSecondPerSource, kMissBurstPerSource, now))
                 .first;
    }
    it->second.Take(now);
}

void CTunnelGuard::Prune(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (auto it = m_misses.begin(); it != m_misses.end();) {
        it = it->second.Full(now) ? m_misses.erase(it) : std::next(it);
    }
}

bool CTunnelGuard::TakeSlot(uint32_t source, bool detector) {
    std::lock_guard<std::mutex> lock(m_mutex);
    CSlots &held = m_slots[source];
    if (held.sessions >= m_max_per_source ||
        (detector && held.detectors >= m_max_detectors_per_source)) {
        if (held.sessions == 0) m_slots.erase(source);
        return false;
    }
    ++held.sessions;
    if (detector) ++held.detectors;
    return true;
}

void CTunnelGuard::ReleaseSlot(uint32_t source, bool detector) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_slots.find(source);
    if (it == m_slots.end()) return;
    if (detector) --it->second.detectors;
    if (--it->second.sessions <= 0) m_slots.erase(it);
}

}  // namespace qrntunnel
