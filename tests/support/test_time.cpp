#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "qrnlibl/qrn_time.h"
#include "test_support.h"

namespace {

using qrntest::ClockFactor;
using qrntest::WaitUntil;
using Clock = std::chrono::steady_clock;

long long MillisSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

TEST(QrnTime, TickDiffCountsAcrossWrapAround) {
    EXPECT_EQ(calc_tick_diff(100, 250), 150u);
    EXPECT_EQ(calc_tick_diff(0xFFFFFFF0u, 0x10u), 0x20u);
    EXPECT_EQ(calc_tick_diff(0xFFFFFFFFu, 0u), 1u);
    EXPECT_EQ(calc_tick_diff(7, 7), 0u);
}

TEST(QrnTime, WordDistanceIsSignedAcrossWrapAround) {
    EXPECT_EQ(calc_word_distance(1, 5), 4);
    EXPECT_EQ(calc_word_distance(5, 1), -4);
    EXPECT_EQ(calc_word_distance(0xFFFF, 0), 1);
    EXPECT_EQ(calc_word_distance(0, 0xFFFF), -1);
    EXPECT_EQ(calc_word_distance(0, 0x7FFF), 0x7FFF);
    EXPECT_EQ(calc_word_distance(0, 0x8001), -0x7FFF);
    EXPECT_EQ(calc_word_distance(0x8001, 0), 0x7FFF);
    // Half the range apart is behind, either way round.
    EXPECT_EQ(calc_word_distance(0, 0x8000), -0x8000);
    EXPECT_EQ(calc_word_distance(0x8000, 0), -0x8000);
    EXPECT_EQ(calc_word_distance(0x1234, 0x1234), 0);
}

TEST(QrnTime, DwordDistanceIsSignedAcrossWrapAround) {
    EXPECT_EQ(calc_dword_distance(1, 5), 4);
    EXPECT_EQ(calc_dword_distance(5, 1), -4);
    EXPECT_EQ(calc_dword_distance(0xFFFFFFFFu, 0), 1);
    EXPECT_EQ(calc_dword_distance(0, 0xFFFFFFFFu), -1);
    EXPECT_EQ(calc_dword_distance(0, 0x7FFFFFFFu), INT32_MAX);
    EXPECT_EQ(calc_dword_distance(0, 0x80000001u), -INT32_MAX);
    EXPECT_EQ(calc_dword_distance(0x80000001u, 0), INT32_MAX);
    EXPECT_EQ(calc_dword_distance(0, 0x80000000u), INT32_MIN);
    EXPECT_EQ(calc_dword_distance(0x80000000u, 0), INT32_MIN);
    EXPECT_EQ(calc_dword_distance(0xFFFFFF00u, 0x100u), 0x200);
}

TEST(QrnClock, FactorIsClampedToOneThroughAThousand) {
    ClockFactor restore(1);
    qrn_clock_set_factor(0);
    EXPECT_EQ(qrn_clock_get_factor(), 1u);
    qrn_clock_set_factor(5000);
    EXPECT_EQ(qrn_clock_get_factor(), 1000u);
    qrn_clock_set_factor(7);
    EXPECT_EQ(qrn_clock_get_factor(), 7u);
}

TEST(QrnClock, RealMillisecondsShrinkByTheFactorButStayPositive) {
    ClockFactor fast(10);
    EXPECT_EQ(qrn_clock_real_ms(0), 0u);
    EXPECT_EQ(qrn_clock_real_ms(1000), 100u);
    EXPECT_EQ(qrn_clock_real_ms(5), 1u);
    EXPECT_EQ(qrn_clock_real_ms(0xFFFFFFFFu), 429496730u);
    qrn_clock_set_factor(1);
    EXPECT_EQ(qrn_clock_real_ms(1234), 1234u);
}

TEST(QrnClock, FactorSpeedsUpTheTickCount) {
    ClockFactor fast(100);
    const uint32_t start_tick = get_tick_count();
    const auto start = Clock::now();
    ASSERT_TRUE(WaitUntil([&] { return calc_tick_diff(start_tick, get_tick_count()) >= 3000; }));
    // 3000 ticks take 30 ms at this factor; real time would need 3 s.
    EXPECT_LT(MillisSince(start), 2000);
}

TEST(QrnClock, FactorSpeedsUpSleep) {
    ClockFactor fast(50);
    const uint32_t start_tick = get_tick_count();
    const auto start = Clock::now();
    qrn_sleep(2000);
    EXPECT_GE(calc_tick_diff(start_tick, get_tick_count()), 2000u);
    EXPECT_GE(MillisSince(start), 40);
    EXPECT_LT(MillisSince(start), 1500);
}

TEST(QrnClock, TickGoesOnFromWhereItStandsWhenTheFactorChanges) {
    ClockFactor restore(1);
    qrn_clock_set_factor(1000);
    const uint32_t fast = get_tick_count();
    qrn_clock_set_factor(1);
    const uint32_t slow = get_tick_count();
    EXPECT_GE(calc_dword_distance(fast, slow), 0);
    EXPECT_LT(calc_dword_distance(fast, slow), 2000);
    qrn_clock_set_factor(1000);
    const uint32_t fast_again = get_tick_count();
    EXPECT_GE(calc_dword_distance(slow, fast_again), 0);
    EXPECT_LT(calc_dword_distance(slow, fast_again), 2000);
}

TEST(QrnClock, TickNeverRunsBackwardsWhileTheFactorRises) {
    ClockFactor restore(1);
    std::atomic<bool> done{false};
    std::atomic<int> backwards{0};
    std::vector<std::thread> readers;
    for (int i = 0; i < 2; ++i) {
        readers.emplace_back([&] {
            uint32_t last = get_tick_count();
            while (!done) {
                const uint32_t now = get_tick_count();
                if (calc_dword_distance(last, now) < 0) backwards.fetch_add(1);
                last = now;
            }
        });
    }
    for (uint32_t f = 1; f <= 1000; ++f) qrn_clock_set_factor(f);
    done = true;
    for (auto &t : readers) t.join();
    EXPECT_EQ(backwards.load(), 0);
}

TEST(QrnClock, SetTickMovesTheCountWhichThenWrapsAround) {
    ClockFactor fast(100);
    qrn_clock_set_tick(0xFFFFFF00u);
    const uint32_t moved = get_tick_count();
    EXPECT_LT(calc_tick_diff(0xFFFFFF00u, moved), 0x100u);
    ASSERT_TRUE(WaitUntil([] { return calc_tick_diff(0xFFFFFF00u, get_tick_count()) >= 0x200u; }));
    const uint32_t wrapped = get_tick_count();
    EXPECT_LT(wrapped, 0x10000u);
    EXPECT_GT(calc_dword_distance(moved, wrapped), 0);
}

}  // namespace
