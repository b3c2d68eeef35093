// The KERNEL32 calls: tick clock, process id, sleep.
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>

#include "platform/kernel.h"

namespace qrntest {
namespace {

TEST(Kernel, TickCountFollowsRealTimeAcrossASleep) {
    auto start = std::chrono::steady_clock::now();
    uint32_t before = ws::GetTickCount();
    ws::Sleep(60);
    uint32_t ticks = ws::GetTickCount() - before;  // unsigned: right across a wrap too
    auto real = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - start);
    EXPECT_GE(ticks, 59u);
    EXPECT_LE(ticks, static_cast<uint32_t>(real.count()) + 1);
}

TEST(Kernel, ProcessIdIsThePid) { EXPECT_EQ(static_cast<uint32_t>(getpid()), ws::GetCurrentProcessId()); }

TEST(Kernel, SleepZeroReturnsAtOnce) {
    auto start = std::chrono::steady_clock::now();
    ws::Sleep(0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
}

}  // namespace
}  // namespace qrntest
