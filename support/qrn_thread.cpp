#include "qrnlibl/qrn_thread.h"

#include <chrono>
#include <system_error>

namespace {
// The CQrnThread whose OnThreadRun runs on this thread, if any. Set by the thread itself, so
// IsCurrentThread never reads m_thread while another thread may be assigning it.
thread_local const CQrnThread *t_current_thread = nullptr;
}  // namespace

CQrnThread::~CQrnThread() {
    if (IsCurrentThread()) {
        // The thread is destroying its own object: it cannot join itself, and must not touch
        // the object once OnThreadRun returns.
        t_current_thread = nullptr;
        if (m_thread.joinable()) m_thread.detach();
        return;
    }
    ThreadStop();
}

bool CQrnThread::IsCurrentThread() const { return t_current_thread == this; }

int CQrnThread::ThreadStart() {
    // A running thread cannot restart itself; and it must not take m_start_mutex, which a
    // ThreadStop on another thread may hold while it joins this one.
    if (IsCurrentThread()) return 0;
    std::lock_guard<std::mutex> guard(m_start_mutex);
    if (IsRunning() && !IsStopping()) return 0;
    // A previous run that ended by itself, or was asked to stop from inside, is joined first.
    if (m_thread.joinable()) m_thread.join();
    m_stop.store(false, std::memory_order_release);
    m_running.store(true, std::memory_order_release);
    try {
        m_thread = std::thread([this] {
            t_current_thread = this;
            OnThreadRun();
            if (t_current_thread == this) m_running.store(false, std::memory_order_release);
        });
    } catch (const std::system_error &) {
        m_running.store(false, std::memory_order_release);
        return -1;
    }
    return 0;
}

void CQrnThread::ThreadStop() {
    m_stop.store(true, std::memory_order_release);
    if (IsCurrentThread()) return;
    std::lock_guard<std::mutex> guard(m_start_mutex);
    if (m_thread.joinable()) m_thread.join();
}

int CQrnEventThread::OnThreadRun() {
    while (!IsStopping()) {
        if (OnThreadTick() == 0) break;
    }
    return 0;
}

int CQrnWait::Wait(int timeout_ms) {
    std::unique_lock<std::mutex> lock(m_mutex);
    auto signalled = [this] { return m_signalled; };
    if (timeout_ms < 0) {
        m_cond.wait(lock, signalled);
    } else if (!m_cond.wait_for(lock, std::chrono::milliseconds(timeout_ms), signalled)) {
        return 0;
    }
    m_signalled = false;
    return 1;
}

void CQrnWait::Signal() {
    std::lock_guard<std::mutex> guard(m_mutex);
    m_signalled = true;
    m_cond.notify_one();
}
