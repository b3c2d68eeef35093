// CUdpRlbRateFinder: a sending rate and a window that find the path's bottleneck from what the
// peer acknowledges, for a connection that was given a ceiling (QRN_TP_OPT_UDP_RATE). It is
// handed the time and the sender's events and decides nothing else, so that it runs on a
// virtual clock as well as on the library's.
//
// The model is the path's bottleneck rate (the highest delivery rate of the last few round
// trips) and its round trip without queue (the lowest of the last seconds). It starts with what
// a TCP initial window sends in a round trip, grows that per round trip until the delivery rate
// stops growing (or heavy loss shows the queue overflowing), drains the queue it built, then
// paces at the bottleneck rate, probing now and then above and below it. A lost chunk is
// resent but does not move the rate: on a path that loses at random that would throttle the
// sender for nothing, and a queue that overflows shows in the delivery rate anyway.
//
// Times are library milliseconds (wrapping tick counts); byte counts are the datagrams' sizes.
// Not thread-safe: the connection calls it under its own lock.
#ifndef QRN_UDPRLB_UDPRLB_RATE_FINDER_H
#define QRN_UDPRLB_UDPRLB_RATE_FINDER_H

#include <stdint.h>

#include "udprlb/udprlb_defs.h"

class CUdpRlbRateFinder {
public:
    // What a chunk carries from its transmission to its acknowledgement.
    struct CStamp {
        uint32_t sent_tick = 0;
        uint64_t delivered = 0;         // bytes delivered when it was sent
        uint32_t delivered_tick = 0;    // when the last of those was acknowledged
        uint32_t first_sent_tick = 0;   // when that one was sent
        bool app_limited = false;       // sent while the sender had no more to send
    };

    // ceiling: bytes per second that the rate never exceeds (above 0).
    CUdpRlbRateFinder(uint32_t ceiling, uint32_t now);

    void SetCeiling(uint32_t ceiling);
    // A chunk of bytes goes out (a first transmission or a repeat); its stamp is kept with it.
    CStamp OnSent(uint32_t now, uint32_t bytes);
    // The peer has a chunk. stamp: of its latest transmission; in_flight: it was still counted
    // as in flight (not declared lost since); repeated: it was sent more than once, which makes
    // its round trip ambiguous.
    void OnDelivered(uint32_t now, uint32_t bytes, const CStamp &stamp, bool in_flight, bool repeated);
    // A chunk counted in flight is declared lost (evidence: the peer has later ones), or its
    // resend time came (timeout: not evidence of loss rate, only of the chunk being gone).
    void OnLost(uint32_t bytes, bool evidence);
    // The sender has room to send but nothing to send: what it measures until the chunks in
    // flight are delivered says nothing about the path.
    void OnAppLimited();

    // Bytes per second to pace at; never above the ceiling.
    uint32_t PacingRate() const;
    // Bytes that may be in flight.
    uint32_t Window() const;
    uint32_t InFlight() const { return m_in_flight; }
    // Milliseconds: the lowest round trip seen lately (0 before the first sample), and the
    // latest sample.
    uint32_t MinRtt() const { return m_min_rtt; }
    uint32_t LatestRtt() const { return m_latest_rtt; }
    // The bottleneck rate (bytes per second) as estimated; 0 before the first sample.
    uint32_t BottleneckRate() const;
    bool InStartup() const { return m_mode == EMode::kStartup; }

private:
    enum class EMode { kStartup, kDrain, kProbe };

    void StartRound();
    void TakeRateSample(uint32_t now, const CStamp &stamp);
    void TakeRttSample(uint32_t now, uint32_t rtt);
    void CheckStartupDone();
    void AdvanceMode(uint32_t now);
    void GrowWindow(uint32_t bytes);
    // Bytes the path holds at the bottleneck rate over the lowest round trip and slack ms more
    // (for the window: the sender's turns and the receiver's acknowledgements come apart).
    uint64_t PathBytes(double gain, uint32_t slack) const;
    double PacingGain() const;

    uint32_t m_ceiling;
    EMode m_mode = EMode::kStartup;

    // Delivery accounting.
    uint64_t m_delivered = 0;
    uint32_t m_delivered_tick;
    uint32_t m_first_sent_tick;
    uint32_t m_in_flight = 0;
    uint64_t m_app_limited_until = 0;  // delivered count that ends the app-limited spell

    // Rounds: one ends when a chunk sent after its start is delivered.
    uint64_t m_round = 0;
    uint64_t m_next_round_delivered = 0;
    uint64_t m_round_lost = 0;         // bytes declared lost on evidence in this round
    uint64_t m_round_delivered = 0;

    // Bottleneck rate: the highest sample of each of the last rounds.
    uint32_t m_rate_max[urlb::kRateRounds] = {};

    // Round trips.
    uint32_t m_min_rtt = 0;
    uint32_t m_min_rtt_tick = 0;
    uint32_t m_latest_rtt = 0;

    // Startup ends when the rate stopped growing for a few rounds.
    uint32_t m_full_rate = 0;
    int m_full_rounds = 0;

    // Probing cycle.
    int m_cycle_index = 0;
    uint32_t m_cycle_tick = 0;

    uint32_t m_window;
};

#endif
