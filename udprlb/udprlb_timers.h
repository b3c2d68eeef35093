// CUdpRlbTimers: the timed work of the reliable-UDP connections of one event loop. After each
// pass of the loop (through the socket layer's loop hook, on the loop's own thread) RunDue
// gives a turn (OnThreadTick) to every connection whose next timed work (a resend, a delayed
// acknowledgement, a slot that frees budget, an unreliable packet's expiry) is due, and tells
// the loop how long it may wait for sockets before the next one is. A connection with nothing
// timed gets no turn until Wake says it has new work. The datagrams of a connection arrive on
// the same loop (that of its socket), so its messages never cross to another thread.
//
// Due times are kept on a 64-bit count of library milliseconds advanced from the wrapping
// tick count, so that the order holds across wrap-around.
//
// m_lock guards the records and the heap; a turn runs outside it on a reference of its own,
// so a connection removed meanwhile lives until its turn returns. The records hold one
// reference per connection. Wake may be called with a connection's lock held (the timers come
// after the connection in the lock order), and from any thread: a due time earlier than the
// loop's wait, set off the loop's thread, cuts the wait short.
#ifndef QRN_UDPRLB_UDPRLB_TIMERS_H
#define QRN_UDPRLB_UDPRLB_TIMERS_H

#include <stddef.h>
#include <stdint.h>

#include <queue>
#include <unordered_map>
#include <vector>

#include "qrnlibl/qrn_lock.h"

class CUdpRlbConnection;

class CUdpRlbTimers {
public:
    CUdpRlbTimers() = default;
    ~CUdpRlbTimers();
    CUdpRlbTimers(const CUdpRlbTimers &) = delete;
    CUdpRlbTimers &operator=(const CUdpRlbTimers &) = delete;

    void SetLoop(int loop) { m_loop = loop; }
    // On the loop's thread: the turns that are due; returns the library milliseconds until
    // the next due time, -1 when nothing is timed.
    int RunDue();
    // Lists the connection, due at once, and takes a reference (a connection already listed
    // stays once).
    void AddConnection(CUdpRlbConnection *conn);
    // Removes the connection and drops the list's reference; harmless when it is absent.
    void RemoveConnection(CUdpRlbConnection *conn);
    // The connection may have new work: it gets a turn when its duties next need one, at once
    // if they need it now. Harmless for a connection that is not listed. Not to be called
    // with the list locked.
    void Wake(CUdpRlbConnection *conn);
    // Drops every connection (at the layer's stop, with the loop hook gone).
    void Clear();

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

    int m_loop = 0;
    CQrnLock m_lock;
    std::unordered_map<CUdpRlbConnection *, Record> m_records;
    std::priority_queue<Entry, std::vector<Entry>, std::greater<Entry>> m_heap;
    std::vector<CUdpRlbConnection *> m_batch;  // the loop thread's alone
    uint64_t m_clock = 0;  // library milliseconds since the first reading
    uint32_t m_last_tick = 0;
    bool m_clock_started = false;
    // The loop waits until then; an earlier due time set off its thread wakes it.
    uint64_t m_sleep_until = kNever;
    uint64_t m_generation = 0;  // across records, so that a reused address meets no old entry
};

#endif
