#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "qrnlibl/qrn_lock.h"
#include "qrnlibl/qrn_thread.h"
#include "test_support.h"

namespace {

using qrntest::WaitUntil;

bool TryLockOnOtherThread(CQrnLock &lock) {
    bool got = false;
    std::thread([&] {
        got = lock.TryLock();
        if (got) lock.Unlock();
    }).join();
    return got;
}

TEST(QrnLock, OwnerTakesItAgainAndOthersWaitUntilLastUnlock) {
    CQrnLock lock;
    lock.Lock();
    lock.Lock();
    EXPECT_TRUE(lock.TryLock());
    EXPECT_TRUE(lock.IsHeldByCurrentThread());
    EXPECT_FALSE(TryLockOnOtherThread(lock));

    lock.Unlock();
    lock.Unlock();
    EXPECT_TRUE(lock.IsHeldByCurrentThread());
    EXPECT_FALSE(TryLockOnOtherThread(lock));

    std::atomic<bool> acquired{false};
    std::thread waiter([&] {
        CQrnFuncLock hold(lock);
        acquired = true;
        EXPECT_TRUE(lock.IsHeldByCurrentThread());
    });
    lock.Unlock();
    EXPECT_FALSE(lock.IsHeldByCurrentThread());
    waiter.join();
    EXPECT_TRUE(acquired);
    EXPECT_TRUE(TryLockOnOtherThread(lock));
}

TEST(QrnLock, UnlockByAThreadThatDoesNotHoldItAbortsInDebugBuilds) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CQrnLock lock;
    lock.Lock();
    EXPECT_DEBUG_DEATH(std::thread([&] { lock.Unlock(); }).join(), "IsHeldByCurrentThread");
    // A release build keeps the lock with its holder.
    EXPECT_TRUE(lock.IsHeldByCurrentThread());
    EXPECT_FALSE(TryLockOnOtherThread(lock));
    lock.Unlock();
}

TEST(QrnLock, NestedHoldersExcludeEachOtherUnderContention) {
    CQrnLock lock;
    long counter = 0;  // deliberately not atomic: the lock alone must protect it
    constexpr int kThreads = 4;
    constexpr int kRounds = 20000;
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i) {
        threads.emplace_back([&] {
            for (int r = 0; r < kRounds; ++r) {
                CQrnFuncLock outer(lock);
                CQrnFuncLock inner(&lock);
                ++counter;
            }
        });
    }
    for (auto &t : threads) t.join();
    EXPECT_EQ(counter, static_cast<long>(kThreads) * kRounds);
}

class CountedObject : public CQrnObject {
public:
    explicit CountedObject(std::atomic<int> &destroyed) : m_destroyed(destroyed) {}
    ~CountedObject() override { m_destroyed.fetch_add(1); }

private:
    std::atomic<int> &m_destroyed;
};

TEST(QrnObject, ConcurrentLastReleasesDestroyExactlyOnce) {
    constexpr int kThreads = 8;
    for (int round = 0; round < 200; ++round) {
        std::atomic<int> destroyed{0};
        std::atomic<int> zero_results{0};
        auto *obj = new CountedObject(destroyed);
        for (int i = 1; i < kThreads; ++i) ASSERT_EQ(obj->AddRef(), i + 1);
        std::atomic<bool> go{false};
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&] {
                while (!go) std::this_thread::yield();
                if (obj->ReleaseRef() == 0) zero_results.fetch_add(1);
            });
        }
        go = true;
        for (auto &t : threads) t.join();
        ASSERT_EQ(destroyed.load(), 1);
        ASSERT_EQ(zero_results.load(), 1);
    }
}

TEST(QrnObject, RefHolderReleasesItsReference) {
    std::atomic<int> destroyed{0};
    auto *obj = new CountedObject(destroyed);
    obj->AddRef();
    {
        CQrnRefHolder<CountedObject> holder(obj);
        EXPECT_EQ(holder->GetRefCount(), 2);
    }
    EXPECT_EQ(destroyed.load(), 0);
    EXPECT_EQ(obj->GetRefCount(), 1);
    EXPECT_EQ(obj->ReleaseRef(), 0);
    EXPECT_EQ(destroyed.load(), 1);
}

// Counts ticks; stops by itself after stop_after ticks, from inside, when that is non-zero.
class TickThread : public CQrnEventThread {
public:
    ~TickThread() override { ThreadStop(); }
    int OnThreadTick() override {
        const int n = ++m_ticks;
        if (n == m_end_after) return 0;
        if (n == m_stop_after) ThreadStop();
        std::this_thread::yield();
        return 1;
    }
    std::atomic<int> m_ticks{0};
    int m_end_after = 0;
    int m_stop_after = 0;
};

TEST(QrnEventThread, TicksUntilStoppedAndRunsAgainAfterRestart) {
    TickThread thread;
    ASSERT_EQ(thread.ThreadStart(), 0);
    EXPECT_EQ(thread.ThreadStart(), 0);  // already running
    ASSERT_TRUE(WaitUntil([&] { return thread.m_ticks >= 10; }));
    thread.ThreadStop();
    EXPECT_FALSE(thread.IsRunning());
    const int after_stop = thread.m_ticks;
    EXPECT_EQ(thread.m_ticks.load(), after_stop);  // joined: nothing ticks any more

    ASSERT_EQ(thread.ThreadStart(), 0);
    EXPECT_TRUE(thread.IsRunning());
    ASSERT_TRUE(WaitUntil([&] { return thread.m_ticks >= after_stop + 10; }));
    thread.ThreadStop();
    EXPECT_FALSE(thread.IsRunning());
}

TEST(QrnEventThread, TickReturningZeroEndsTheThread) {
    TickThread thread;
    thread.m_end_after = 5;
    ASSERT_EQ(thread.ThreadStart(), 0);
    ASSERT_TRUE(WaitUntil([&] { return !thread.IsRunning(); }));
    EXPECT_EQ(thread.m_ticks.load(), 5);

    thread.m_end_after = 0;
    ASSERT_EQ(thread.ThreadStart(), 0);
    ASSERT_TRUE(WaitUntil([&] { return thread.m_ticks >= 15; }));
    thread.ThreadStop();
}

TEST(QrnEventThread, StopFromInsideOnlyAsksAndTheLoopEnds) {
    TickThread thread;
    thread.m_stop_after = 3;
    ASSERT_EQ(thread.ThreadStart(), 0);
    ASSERT_TRUE(WaitUntil([&] { return !thread.IsRunning(); }));
    EXPECT_EQ(thread.m_ticks.load(), 3);
    EXPECT_TRUE(thread.IsStopping());
    thread.ThreadStop();  // joins the finished thread
}

TEST(QrnWait, SignalIsKeptForOneWaitOnly) {
    CQrnWait wait;
    wait.Signal();
    wait.Signal();
    EXPECT_EQ(wait.Wait(0), 1);
    EXPECT_EQ(wait.Wait(0), 0);
}

TEST(QrnWait, TimesOutAfterTheTimeGiven) {
    CQrnWait wait;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wait.Wait(50), 0);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
}

TEST(QrnWait, SignalWakesAnEndlessWaitOnAnotherThread) {
    CQrnWait wait;
    std::atomic<int> result{-2};
    std::thread waiter([&] { result = wait.Wait(-1); });
    wait.Signal();
    waiter.join();
    EXPECT_EQ(result.load(), 1);
}

}  // namespace
