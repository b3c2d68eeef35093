// Threads and wake-up objects.
#ifndef QRNLIBL_QRN_THREAD_H
#define QRNLIBL_QRN_THREAD_H

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

// A thread that runs the subclass's OnThreadRun once. A subclass whose OnThreadRun uses its
// own members must call ThreadStop in its destructor: the base destructor runs too late.
class CQrnThread {
public:
    CQrnThread() = default;
    virtual ~CQrnThread();
    CQrnThread(const CQrnThread &) = delete;
    CQrnThread &operator=(const CQrnThread &) = delete;

    // Starts the thread; 0 on success or when already running, -1 when it cannot start.
    virtual int ThreadStart();
    virtual int OnThreadRun() = 0;
    // Asks the thread to stop and joins it. From the thread itself it only asks.
    virtual void ThreadStop();

    bool IsRunning() const { return m_running.load(std::memory_order_acquire); }
    bool IsStopping() const { return m_stop.load(std::memory_order_acquire); }
    bool IsCurrentThread() const;

private:
    std::mutex m_start_mutex;  // serialises ThreadStart and ThreadStop
    std::thread m_thread;
    std::atomic<bool> m_running{false};
    std::atomic<bool> m_stop{false};
};

// A thread that calls OnThreadTick over and over until ThreadStop, or until a tick
// returns 0.
class CQrnEventThread : public CQrnThread {
public:
    int OnThreadRun() override;
    virtual int OnThreadTick() = 0;
};

// An auto-reset event: Signal wakes one Wait (or the next one, if none is waiting).
class CQrnWait {
public:
    // Waits at most timeout_ms milliseconds (real time), -1 for no limit.
    // Returns 1 when signalled, 0 on time-out.
    int Wait(int timeout_ms);
    void Signal();

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_signalled = false;
};

#endif
