#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "qrnlibl/qrn_thread.h"
#include "qrnlibl/qrn_time.h"
#include "test_support.h"

namespace {

using qrntest::ClockFactor;
using qrntest::WaitUntil;
using Clock = std::chrono::steady_clock;

// One timer's calls: the tick each call got, and an optional action run inside the call.
struct TimerLog {
    std::mutex mutex;
    std::vector<uint32_t> ticks;
    std::atomic<int> calls{0};
    std::atomic<bool> bad_arguments{false};
    std::function<void(TimerLog &)> action;

    static int Callback(uintptr_t user, int msg, uintptr_t handle, uintptr_t p1, uintptr_t p2,
                        uintptr_t p3) {
        auto *log = reinterpret_cast<TimerLog *>(user);
        if (msg != QRN_MSG_TIMER || handle != 0 || p2 != 0 || p3 != 0) log->bad_arguments = true;
        {
            std::lock_guard<std::mutex> guard(log->mutex);
            log->ticks.push_back(static_cast<uint32_t>(p1));
        }
        if (log->action) log->action(*log);
        log->calls.fetch_add(1);
        return 0;
    }
    uintptr_t User() { return reinterpret_cast<uintptr_t>(this); }
    std::vector<uint32_t> Ticks() {
        std::lock_guard<std::mutex> guard(mutex);
        return ticks;
    }
};

int Set(TimerLog &log, uint32_t period) { return qrn_timer_set(&TimerLog::Callback, log.User(), period); }
int Kill(TimerLog &log) { return qrn_timer_kill(&TimerLog::Callback, log.User()); }

TEST(QrnTimer, RefusesBadArgumentsAndUnknownTimers) {
    TimerLog log;
    EXPECT_EQ(qrn_timer_set(nullptr, 1, 10), -1);
    EXPECT_EQ(Set(log, 0), -1);
    EXPECT_EQ(Kill(log), -1);
    EXPECT_EQ(qrn_timer_kill(nullptr, 1), -1);
}

TEST(QrnTimer, CallsAtItsPeriodWithTheCurrentTick) {
    TimerLog log;
    const auto start = Clock::now();
    ASSERT_EQ(Set(log, 20), 0);
    ASSERT_TRUE(WaitUntil([&] { return log.calls >= 10; }));
    const auto elapsed = Clock::now() - start;
    const uint32_t now = get_tick_count();
    ASSERT_EQ(Kill(log), 0);
    EXPECT_EQ(Kill(log), -1);

    // Never early: the tenth call is due ten periods after the set (less the part of a
    // millisecond that the tick had already run when the timer was set).
    EXPECT_GE(elapsed, std::chrono::milliseconds(199));
    EXPECT_LT(elapsed, std::chrono::milliseconds(5000));
    EXPECT_FALSE(log.bad_arguments);
    const auto ticks = log.Ticks();
    for (size_t i = 1; i < ticks.size(); ++i) EXPECT_GE(calc_dword_distance(ticks[i - 1], ticks[i]), 1);
    EXPECT_GE(calc_dword_distance(ticks.back(), now), 0);
}

TEST(QrnTimer, ClockFactorSpeedsTimersUp) {
    ClockFactor fast(100);
    TimerLog log;
    const auto start = Clock::now();
    ASSERT_EQ(Set(log, 1000), 0);
    ASSERT_TRUE(WaitUntil([&] { return log.calls >= 5; }));
    Kill(log);
    // Five seconds of library time in well under that of real time.
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500));
    const auto ticks = log.Ticks();
    // Calls keep to their schedule, so a first call that came late (a millisecond of real
    // time is a tenth of a period here) brings the next one closer: allow one period of that.
    EXPECT_GE(calc_tick_diff(ticks.front(), ticks.back()), 3u * 1000u);
}

TEST(QrnTimer, KillWaitsForTheRunningCallback) {
    TimerLog log;
    CQrnWait entered, release;
    std::atomic<bool> killed{false};
    std::atomic<bool> ran_after_kill{false};
    std::atomic<bool> kill_returned_early{false};
    log.action = [&](TimerLog &l) {
        if (killed) ran_after_kill = true;
        if (l.calls == 0) {
            entered.Signal();
            release.Wait(-1);
            if (killed) kill_returned_early = true;
        }
    };
    ASSERT_EQ(Set(log, 1), 0);
    ASSERT_EQ(entered.Wait(qrntest::kWaitMs), 1);

    std::atomic<bool> calling{false};
    std::thread killer([&] {
        calling = true;
        EXPECT_EQ(Kill(log), 0);
        killed = true;
    });
    ASSERT_TRUE(WaitUntil([&] { return calling.load(); }));
    EXPECT_FALSE(WaitUntil([&] { return killed.load(); }, 100));
    release.Signal();
    killer.join();
    EXPECT_FALSE(kill_returned_early);
    EXPECT_FALSE(ran_after_kill);
    EXPECT_EQ(log.calls.load(), 1);
}

TEST(QrnTimer, CallbackMayKillItselfWithoutDeadlock) {
    TimerLog log, sentinel;
    std::atomic<int> kill_result{1};
    log.action = [&](TimerLog &l) { kill_result = Kill(l); };
    ASSERT_EQ(Set(log, 5), 0);
    ASSERT_TRUE(WaitUntil([&] { return log.calls >= 1; }));
    EXPECT_EQ(kill_result.load(), 0);

    // Had the kill not taken, the timer would fire again while the sentinel runs.
    ASSERT_EQ(Set(sentinel, 5), 0);
    ASSERT_TRUE(WaitUntil([&] { return sentinel.calls >= 5; }));
    Kill(sentinel);
    EXPECT_EQ(log.calls.load(), 1);
    EXPECT_EQ(Kill(log), -1);
}

TEST(QrnTimer, CallbackMaySetAndKillOtherTimers) {
    TimerLog first, second;
    first.action = [&](TimerLog &l) {
        if (l.calls == 0) {
            EXPECT_EQ(Set(second, 2), 0);
        }
    };
    second.action = [&](TimerLog &l) {
        if (l.calls == 2) {
            EXPECT_EQ(Kill(first), 0);
        }
    };
    ASSERT_EQ(Set(first, 2), 0);
    ASSERT_TRUE(WaitUntil([&] { return second.calls >= 3; }));
    EXPECT_EQ(Kill(first), -1);
    EXPECT_EQ(Kill(second), 0);
}

TEST(QrnTimer, SeveralTimersEachGetTheirOwnCalls) {
    TimerLog logs[3];
    const uint32_t periods[3] = {3, 7, 11};
    for (int i = 0; i < 3; ++i) ASSERT_EQ(Set(logs[i], periods[i]), 0);
    ASSERT_TRUE(WaitUntil([&] { return logs[2].calls >= 5; }));
    for (auto &log : logs) EXPECT_EQ(Kill(log), 0);
    for (auto &log : logs) EXPECT_FALSE(log.bad_arguments);
    EXPECT_GE(logs[0].calls.load(), logs[2].calls.load());
    EXPECT_GE(logs[1].calls.load(), 3);
}

TEST(QrnTimer, SettingAgainChangesThePeriod) {
    TimerLog log;
    ASSERT_EQ(Set(log, 600000), 0);
    ASSERT_EQ(Set(log, 5), 0);
    ASSERT_TRUE(WaitUntil([&] { return log.calls >= 3; }, 5000));
    EXPECT_EQ(Kill(log), 0);
    EXPECT_EQ(Kill(log), -1);  // one timer, not two
}

TEST(QrnTimer, MissedPeriodsAreNotReplayedInABurst) {
    constexpr uint32_t kPeriod = 10;
    TimerLog log;
    CQrnWait release;
    std::atomic<uint32_t> returned_at{0};
    log.action = [&](TimerLog &l) {
        if (l.calls != 0) return;
        release.Wait(-1);
        returned_at = get_tick_count();
    };
    ASSERT_EQ(Set(log, kPeriod), 0);
    ASSERT_TRUE(WaitUntil([&] { return !log.Ticks().empty(); }));
    const uint32_t blocked_at = log.Ticks().front();
    ASSERT_TRUE(WaitUntil([&] { return calc_tick_diff(blocked_at, get_tick_count()) > 20 * kPeriod; }));
    release.Signal();
    ASSERT_TRUE(WaitUntil([&] { return log.calls >= 3; }));
    Kill(log);
    const auto ticks = log.Ticks();
    EXPECT_GE(calc_dword_distance(returned_at, ticks[1]), static_cast<int32_t>(kPeriod));
    EXPECT_GE(calc_dword_distance(returned_at, ticks[2]), static_cast<int32_t>(2 * kPeriod));
}

TEST(QrnTimer, SurvivesAClockMovedFarAhead) {
    ClockFactor restore(1);
    TimerLog log;
    ASSERT_EQ(Set(log, 5), 0);
    ASSERT_TRUE(WaitUntil([&] { return log.calls >= 1; }));
    qrn_clock_set_tick(get_tick_count() + 0x90000000u);
    const int before = log.calls;
    ASSERT_TRUE(WaitUntil([&] { return log.calls >= before + 3; }, 5000));
    Kill(log);
}

// Stands for a layer's static object that its timer callback uses. It is destroyed with the
// test program's static objects, after exit() began: a timer still firing then would run
// into a dead object, which the callback turns into an abnormal exit.
struct ExitGuard {
    std::atomic<bool> armed{false};
    std::atomic<bool> dead{false};
    std::atomic<int> calls{0};
    ~ExitGuard() {
        if (!armed) return;
        dead = true;
        const int before = calls;
        WaitUntil([&] { return calls != before; }, 200);
    }
} g_exit_guard;

int TouchExitGuard(uintptr_t, int, uintptr_t, uintptr_t, uintptr_t, uintptr_t) {
    if (g_exit_guard.dead) _exit(9);
    g_exit_guard.calls.fetch_add(1);
    return 0;
}

int ExitFromCallback(uintptr_t, int, uintptr_t, uintptr_t, uintptr_t, uintptr_t) {
    exit(3);
}

TEST(QrnTimerDeathTest, ExitWithTimersSetStopsTheThreadCleanly) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            g_exit_guard.armed = true;
            for (uintptr_t i = 0; i < 4; ++i) qrn_timer_set(&TouchExitGuard, i, 1);
            WaitUntil([] { return g_exit_guard.calls >= 20; });
            exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(QrnTimerDeathTest, ExitFromInsideACallbackDoesNotHang) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            qrn_timer_set(&ExitFromCallback, 0, 1);
            WaitUntil([] { return false; });
        },
        ::testing::ExitedWithCode(3), "");
}

// A child forked while the timer thread runs has no such thread; its exit must not wait for it.
TEST(QrnTimerDeathTest, ForkedChildExitsWithoutTheParentsThread) {
    TimerLog log;
    ASSERT_EQ(Set(log, 1), 0);
    ASSERT_TRUE(WaitUntil([&] { return log.calls >= 1; }));
    GTEST_FLAG_SET(death_test_style, "fast");
    EXPECT_EXIT(exit(4), ::testing::ExitedWithCode(4), "");
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EQ(Kill(log), 0);
}

}  // namespace
