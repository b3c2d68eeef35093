// VSockThread: the one socket thread. Each pass waits on the socket sets (the poller) and hands
// what it reports to VBaseSocket::check_event of each ready socket, in handle order; every
// socket event, and so every owner's callback, runs on this thread.
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

    int ThreadStart() override;
    // Wakes the thread out of its wait, then stops and joins it.
    void ThreadStop() override;
    // One pass; 0 once the thread is asked to stop.
    int OnThreadTick() override;

    // The word whose address event 1 carries; receivers may write it, nobody reads it.
    uintptr_t *scratch_word() { return &m_scratch; }
    // Passes that delivered events so far (for tests).
    uint64_t passes() const { return m_passes.load(std::memory_order_acquire); }

private:
    void deliver_events(int count);
    // Fails the proxied connects whose handshake deadline has come.
    void end_late_handshakes();

    static constexpr int kReportsPerPass = 256;
    ws::poll_report m_reports[kReportsPerPass];
    uintptr_t m_scratch = 0;
    std::atomic<bool> m_stopping{false};
    std::atomic<uint64_t> m_passes{0};
};

#endif
