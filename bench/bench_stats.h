// What the benchmarks share: round-trip samples summarised as a median and a 99th percentile.
#ifndef QRN_BENCH_BENCH_STATS_H
#define QRN_BENCH_BENCH_STATS_H

#include <algorithm>
#include <vector>

struct SLatency {
    double median_us = 0;
    double p99_us = 0;
};

inline SLatency Summarise(std::vector<double> samples_us) {
    SLatency s;
    if (samples_us.empty()) return s;
    std::sort(samples_us.begin(), samples_us.end());
    s.median_us = samples_us[samples_us.size() / 2];
    s.p99_us = samples_us[std::min(samples_us.size() - 1, samples_us.size() * 99 / 100)];
    return s;
}

#endif
