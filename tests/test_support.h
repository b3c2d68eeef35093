// Shared helpers of the test programs: deadline waits, trace capture, event recording.
#ifndef QRN_TESTS_TEST_SUPPORT_H
#define QRN_TESTS_TEST_SUPPORT_H

#include <stdint.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qrntest {

// Real milliseconds that generous waits may take: long enough for a loaded machine under a
// sanitizer, never used as a sleep.
constexpr int kWaitMs = 10000;

// Polls pred every period_ms until it holds or timeout_ms real milliseconds pass; returns its
// last value.
bool WaitUntil(const std::function<bool()> &pred, int timeout_ms = kWaitMs, int period_ms = 1);

// Runs the library clock factor times faster for the life of the object.
class ClockFactor {
public:
    explicit ClockFactor(uint32_t factor);
    ~ClockFactor();

private:
    uint32_t m_previous;
};

// Collects every trace line while alive.
class TraceCapture {
public:
    TraceCapture();
    ~TraceCapture();
    std::vector<std::string> Lines() const;
    // Lines that contain every one of the given pieces.
    int Count(const std::vector<std::string> &pieces) const;
    bool WaitForLine(const std::vector<std::string> &pieces, int timeout_ms = kWaitMs) const;

private:
    static void Sink(void *ctx, const char *line);
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

// The p1, p2 and p3 of what WaitFor returns when no such event came.
constexpr uintptr_t kNoEvent = ~uintptr_t{0};

// One callback call as the layers make it.
struct Event {
    uintptr_t user;
    int msg;
    uintptr_t handle;
    uintptr_t p1, p2, p3;
};

// Records events from any thread; tests wait on it with deadlines. Use Callback as the
// layer's callback and the recorder's address as its user data.
class EventRecorder {
public:
    static int Callback(uintptr_t user, int msg, uintptr_t handle, uintptr_t p1, uintptr_t p2,
                        uintptr_t p3);
    uintptr_t Context() const { return reinterpret_cast<uintptr_t>(this); }

    // Called on the delivering thread, before the event is recorded (for tests that must act
    // inside the callback, such as reading the data of a readable event).
    void SetHook(std::function<void(const Event &)> hook);

    std::vector<Event> Events() const;
    int Count(int msg) const;
    int Count(int msg, uintptr_t handle) const;
    bool WaitForCount(int msg, int count, int timeout_ms = kWaitMs) const;
    // Waits for the first event with this message and returns it (msg -1 on time-out).
    Event WaitFor(int msg, int timeout_ms = kWaitMs) const;
    void Clear();

private:
    void Record(const Event &e);
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_cond;
    std::vector<Event> m_events;
    std::function<void(const Event &)> m_hook;
};

}  // namespace qrntest

#endif
