// CUdpRlbThread: the reliable-UDP worker. Each pass gives a turn (OnThreadTick) to every
// connection whose next timed work (a resend, a delayed acknowledgement, a slot that frees
// budget, an unreliable packet's expiry) is due, so that no connection waits for the others;
// between passes it sleeps until the earliest due time, or until Wake says a connection has
// new work. A connection with nothing timed sleeps until woken.
//
// Due times are kept on a 64-bit count of library milliseconds that the worker advances from
// the wrapping tick count, so that the order holds across wrap-around.
//
// m_lock guards the records and the heap; a tick runs outside it on a reference of its own,
// so a connection removed meanwhile lives until its tick returns. The records hold one
// reference per connection. Wake may be called with a connection's lock held (the worker
// list comes after the connection in the lock order).
#ifndef QRN_UDPRLB_UDPRLB_THREAD_H
#define QRN_UDPRLB_UDPRLB_THREAD_H

#include <stddef.h>
#include <stdint.h>

#include <queue>
#include <unordered_map>
#include <vector>

#include "qrnlibl/qrn_lock.h"
#include "qrnlibl/qrn_thread.h"

class CUdpRlbConnection;

class CUdpRlbThread : public CQrnThread {
public:
    CUdpRlbThread() = default;
    ~CUdpRlbThread() override;

    int OnThreadRun() override;

    // Lists the connection, due at once, and takes a reference (a connection already listed
    // stays once).
    void AddConnection(CUdpRlbConnection *conn);
    // Removes the connection and drops the list's reference; harmless when it is absent.
    void RemoveConnection(CUdpRlbConnection *conn);
    // The connection may have new work: it gets a turn when its duties next need one, at once
    // if they need it now. Harmless for a connection that is not listed. Not to be called
    // with the worker's list locked.
    void Wake(CUdpRlbConnection *conn);
    int ConnectionCount();

private:
    static constexpr uint64_t kNever = UINT64_MAX;
    struct Record {
        uint64_t due = kNever;
        uint64_t generation = 0;  // heap entries of another generation are stale
    };
    struct Entry {
        uint64_t due;
        uint64_t generation;
        CUdpRlbConnection *conn;
        bool operator>(const Entry &o) const { return due > o.due; }
    };

    // Called with m_lock held.
    uint64_t NowLocked();
    void ScheduleLocked(CUdpRlbConnection *conn, uint64_t due);
    // Moves the due connections into batch (each with a reference); returns the library
    // milliseconds until the next due time, kNever when none is timed.
    uint64_t TakeDue(std::vector<CUdpRlbConnection *> *batch);
    void Reschedule(CUdpRlbConnection *conn, bool timed, uint32_t due_tick);

    CQrnLock m_lock;
    CQrnWait m_wait;
    std::unordered_map<CUdpRlbConnection *, Record> m_records;
    std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> m_heap;
    uint64_t m_clock = 0;     // library milliseconds since the worker's first reading
    uint32_t m_last_tick = 0;
    bool m_clock_started = false;
    uint64_t m_sleep_until = 0;  // the worker sleeps until then; an earlier due time wakes it
    uint64_t m_generation = 0;  // across records, so that a reused address meets no old entry
};

#endif
