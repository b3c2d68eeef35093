// What keeps one client address from taking the tunnel server for itself: the lookups of a
// session id that named nothing of the asker's, limited per address and overall (token
// buckets), and the sessions each address holds.
//
// Lock rule: m_mutex guards everything here; no other lock is taken under it, and it may be
// taken under the server's and a session's locks.
#ifndef QRN_TOOLS_QRNTUNNEL_TUNNEL_GUARD_H
#define QRN_TOOLS_QRNTUNNEL_TUNNEL_GUARD_H

#include <stddef.h>
#include <stdint.h>

#include <chrono>
#include <mutex>
#include <unordered_map>

namespace qrntunnel {

using Clock = std::chrono::steady_clock;

// Wrong session ids a single address may try: a second's worth, and a burst.
constexpr double kMissesPerSecondPerSource = 10;
constexpr double kMissBurstPerSource = 20;
// Wrong session ids all addresses together may try before only the opener is believed.
constexpr double kMissesPerSecondOverall = 100;
constexpr double kMissBurstOverall = 200;
// Addresses with a guess budget tracked at once; past it the overall budget alone counts.
constexpr size_t kMaxTrackedSources = 65536;

class CTokenBucket {
public:
    CTokenBucket(double per_second, double burst, Clock::time_point now);
    bool HasToken(Clock::time_point now);
    void Take(Clock::time_point now);
    bool Full(Clock::time_point now);

private:
    void Refill(Clock::time_point now);

    double m_per_second;
    double m_burst;
    double m_tokens;
    Clock::time_point m_last;
};

class CTunnelGuard {
public:
    CTunnelGuard(int max_sessions_per_source, int max_detectors_per_source,
                 Clock::time_point now);

    // False when source has used up its wrong guesses: its id is then not even looked up.
    bool MayLookUp(uint32_t source, Clock::time_point now);
    // True while the overall budget of wrong guesses lasts.
    bool OverallBudgetLeft(Clock::time_point now);
    // A lookup from source named nothing of its own.
    void Missed(uint32_t source, Clock::time_point now);
    // Forgets addresses whose budget is whole again.
    void Prune(Clock::time_point now);

    // A session slot for source; false when it holds its share (of sessions, or of detector
    // sessions) already.
    bool TakeSlot(uint32_t source, bool detector);
    void ReleaseSlot(uint32_t source, bool detector);

private:
    struct CSlots {
        int sessions = 0;
        int detectors = 0;
    };

    const int m_max_per_source;
    const int m_max_detectors_per_source;
    std::mutex m_mutex;
    CTokenBucket m_overall;
    std::unordered_map<uint32_t, CTokenBucket> m_misses;
    std::unordered_map<uint32_t, CSlots> m_slots;
};

}  // namespace qrntunnel

#endif
