// The one timer thread of the process.
//
// Due times are ticks of the library clock, so the clock factor speeds the timers up. The
// thread sleeps on a condition variable until the earliest due time and is woken early when a
// timer is set or the clock is changed. Callbacks run without m_mutex held; m_running names
// the one that runs, so that qrn_timer_kill can wait for it to finish.
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "qrn_timer_wake.h"
#include "qrnlibl/qrn_time.h"

namespace {

constexpr uint64_t kMicrosPerMilli = 1000;

struct TimerKey {
    qrn_callback cb = nullptr;
    uintptr_t user = 0;
    bool operator==(const TimerKey &o) const { return cb == o.cb && user == o.user; }
};

struct Timer {
    TimerKey key;
    uint32_t period = 0;
    uint32_t due = 0;
};

class CQrnTimerThread {
public:
    CQrnTimerThread() = default;
    CQrnTimerThread(const CQrnTimerThread &) = delete;
    CQrnTimerThread &operator=(const CQrnTimerThread &) = delete;

    int Set(const TimerKey &key, uint32_t period);
    int Kill(const TimerKey &key);
    void Wake();
    void Shutdown();

private:
    int StartLocked();
    void Run();
    // Fires the most overdue timer, if any is due; otherwise returns the library
    // milliseconds until the earliest one (0 when no timer is set).
    bool FireDue(std::unique_lock<std::mutex> &lock, uint32_t &wait_ms);
    Timer *Find(const TimerKey &key);
    bool OnTimerThread() const { return std::this_thread::get_id() == m_thread_id; }

    std::mutex m_mutex;
    std::condition_variable m_wake;   // the thread waits here for its next due time
    std::condition_variable m_idle;   // Kill waits here for a running callback
    std::vector<Timer> m_timers;
    TimerKey m_running;
    bool m_has_running = false;
    std::thread m_thread;
    std::thread::id m_thread_id;
    std::atomic<pid_t> m_thread_pid{0};  // the process that started the thread
    bool m_stop = false;
    bool m_shut_down = false;
};

// The object itself is never destroyed: calls from other static destructors after the
// shutdown find no timers rather than a dead object, and a child forked while the thread
// waited does not hang destroying a condition variable that still counts that waiter.
CQrnTimerThread &timer_thread() {
    alignas(CQrnTimerThread) static unsigned char storage[sizeof(CQrnTimerThread)];
    static CQrnTimerThread *const thread = new (storage) CQrnTimerThread();
    return *thread;
}

void shutdown_at_exit() { timer_thread().Shutdown(); }

// Stops the thread when the library is unloaded, if exit() has not already done it.
struct CQrnTimerStopper {
    ~CQrnTimerStopper() { shutdown_at_exit(); }
} g_timer_stopper;

int CQrnTimerThread::StartLocked() {
    if (m_thread.joinable()) return 0;
    try {
        m_thread = std::thread([this] { Run(); });
    } catch (const std::system_error &) {
        return -1;
    }
    m_thread_id = m_thread.get_id();
    m_thread_pid.store(getpid(), std::memory_order_relaxed);
    // Registered on first use, hence after the static objects of the layers that use the
    // timers: the thread stops before those are destroyed, so no tick reaches a dead object.
    atexit(shutdown_at_exit);
    return 0;
}

Timer *CQrnTimerThread::Find(const TimerKey &key) {
    for (Timer &t : m_timers) {
        if (t.key == key) return &t;
    }
    return nullptr;
}

int CQrnTimerThread::Set(const TimerKey &key, uint32_t period) {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_shut_down || StartLocked() != 0) return -1;
    const uint32_t due = get_tick_count() + period;
    if (Timer *t = Find(key)) {
        t->period = period;
        t->due = due;
    } else {
        m_timers.push_back(Timer{key, period, due});
    }
    m_wake.notify_one();
    return 0;
}

int CQrnTimerThread::Kill(const TimerKey &key) {
    std::unique_lock<std::mutex> lock(m_mutex);
    int result = -1;
    for (auto it = m_timers.begin(); it != m_timers.end(); ++it) {
        if (it->key == key) {
            m_timers.erase(it);
            result = 0;
            break;
        }
    }
    // On the timer thread the running callback is the caller's own stack: waiting would
    // never end.
    if (!OnTimerThread()) {
        m_idle.wait(lock, [&] { return !(m_has_running && m_running == key); });
    }
    return result;
}

void CQrnTimerThread::Wake() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_wake.notify_one();
}

bool CQrnTimerThread::FireDue(std::unique_lock<std::mutex> &lock, uint32_t &wait_ms) {
    const uint32_t now = get_tick_count();
    Timer *next = nullptr;
    int32_t next_left = 0;
    for (Timer &t : m_timers) {
        int32_t left = calc_dword_distance(now, t.due);
        // A due time further off than one period means the clock was moved: start afresh.
        if (left > 0 && static_cast<uint32_t>(left) > t.period) {
            t.due = now + t.period;
            left = static_cast<int32_t>(t.period);
        }
        if (!next || left < next_left) {
            next = &t;
            next_left = left;
        }
    }
    if (!next) {
        wait_ms = 0;
        return false;
    }
    if (next_left > 0) {
        wait_ms = static_cast<uint32_t>(next_left);
        return false;
    }
    // Keep the cadence, but a timer that fell a whole period behind is not replayed in a burst.
    next->due += next->period;
    if (calc_dword_distance(now, next->due) <= 0) next->due = now + next->period;

    const TimerKey key = next->key;
    m_running = key;
    m_has_running = true;
    lock.unlock();
    key.cb(key.user, QRN_MSG_TIMER, 0, now, 0, 0);
    lock.lock();
    m_has_running = false;
    m_idle.notify_all();
    // A callback that ran longer than its period does not get the missed ticks at once.
    if (Timer *t = Find(key)) {
        const uint32_t after = get_tick_count();
        if (calc_dword_distance(after, t->due) <= 0) t->due = after + t->period;
    }
    return true;
}

void CQrnTimerThread::Run() {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stop) {
        uint32_t wait_ms = 0;
        if (FireDue(lock, wait_ms)) continue;
        if (wait_ms == 0) {
            m_wake.wait(lock);
            continue;
        }
        const uint32_t factor = qrn_clock_get_factor();
        const uint64_t micros = (wait_ms * kMicrosPerMilli + factor - 1) / factor;
        m_wake.wait_for(lock, std::chrono::microseconds(micros));
    }
}

void CQrnTimerThread::Shutdown() {
    // A child forked while the thread ran has no timer thread, and its copy of m_mutex may
    // be held for good: leave everything alone there.
    const pid_t pid = m_thread_pid.load(std::memory_order_relaxed);
    if (pid != 0 && pid != getpid()) return;
    std::thread thread;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_shut_down = true;
        m_stop = true;
        m_wake.notify_one();
        thread = std::move(m_thread);
    }
    if (thread.joinable()) {
        // exit() called from a timer callback: the thread cannot join itself.
        if (thread.get_id() == std::this_thread::get_id()) {
            thread.detach();
        } else {
            thread.join();
        }
    }
    std::lock_guard<std::mutex> guard(m_mutex);
    m_timers.clear();
    m_has_running = false;
    m_idle.notify_all();
}

}  // namespace

void qrn_timer_wake() {
    timer_thread().Wake();
}

extern "C" {

int qrn_timer_set(qrn_callback cb, uintptr_t user_data, uint32_t period_ms) {
    if (!cb || period_ms == 0) return -1;
    return timer_thread().Set(TimerKey{cb, user_data}, period_ms);
}

int qrn_timer_kill(qrn_callback cb, uintptr_t user_data) {
    if (!cb) return -1;
    return timer_thread().Kill(TimerKey{cb, user_data});
}

}  // extern "C"
