// The KERNEL32 calls over the POSIX clock, process and sleep calls.
#include <errno.h>
#include <sched.h>
#include <time.h>
#include <unistd.h>

#include "platform/kernel.h"

namespace ws {

namespace {

constexpr uint64_t kMillisPerSecond = 1000;
constexpr uint64_t kNanosPerMilli = 1000000;

}  // namespace

uint32_t GetTickCount() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    uint64_t ms = static_cast<uint64_t>(now.tv_sec) * kMillisPerSecond +
                  static_cast<uint64_t>(now.tv_nsec) / kNanosPerMilli;
    return static_cast<uint32_t>(ms);  // wraps every 49.7 days, as the Windows tick does
}

uint32_t GetCurrentProcessId() { return static_cast<uint32_t>(::getpid()); }

// Sleep(0) gives up the rest of the time slice, as under Windows; a signal does not cut a
// sleep short.
void Sleep(uint32_t ms) {
    if (ms == 0) {
        sched_yield();
        return;
    }
    timespec left{static_cast<time_t>(ms / kMillisPerSecond),
                  static_cast<long>((ms % kMillisPerSecond) * kNanosPerMilli)};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

}  // namespace ws
