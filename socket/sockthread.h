// VSockThread: the thread of one event loop. Each pass waits on the loop's poller and hands
// what it reports to VBaseSocket::check_event of each ready socket, in handle order, so that
// every event of the loop's sockets, and so every owner's callback, runs on this thread. The
// pass then hands on the sockets given to other loops and runs the loop hook of the layer
// above, whose answer bounds the next wait.
#ifndef QRN_SOCKET_SOCKTHREAD_H
#define QRN_SOCKET_SOCKTHREAD_H

#include <stdint.h>

#include <atomic>

#include "platform/poller.h"
#include "qrnlibl/qrn_thread.h"

class VSockThread : public CQrnEventThread {
public:
    VSockThread() = default;
    ~VSockThread() override;

    // Starts the thread as the thread of loop.
    int ThreadStart(int loop);
    // Wakes the thread out of its wait, then stops and joins it.
    void ThreadStop() override;
    // One pass; 0 once the thread is asked to stop.
    int OnThreadTick() override;

    // Passes that delivered events so far (for tests).
    uint64_t passes() const { return m_passes.load(std::memory_order_acquire); }

private:
    using CQrnEventThread::ThreadStart;
    void deliver_events(int count);
    // Fails the proxied connects whose handshake deadline has come.
    void end_late_handshakes();
    // The next wait, in real milliseconds: the hook's, bounded by the longest wait.
    int next_wait();

    static constexpr int kReportsPerPass = 256;
    ws::poll_report m_reports[kReportsPerPass];
    int m_loop = 0;
    int m_wait_ms = 0;
    std::atomic<bool> m_stopping{false};
    std::atomic<uint64_t> m_passes{0};
};

#endif
