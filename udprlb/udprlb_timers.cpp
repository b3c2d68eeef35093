#include "udprlb/udprlb_timers.h"

#include <limits.h>

#include <algorithm>

#include "qrnlibl/qrn_time.h"
#include "qrnlibl/qrn_trace.h"
#include "socket/sockcli.h"
#include "udprlb/udprlb_connection.h"
#include "udprlb/udprlb_defs.h"

CUdpRlbTimers::~CUdpRlbTimers() { Clear(); }

void CUdpRlbTimers::Clear() {
    std::vector<CUdpRlbConnection *> left;
    {
        CQrnFuncLock guard(m_lock);
        for (auto &record : m_records) left.push_back(record.first);
        m_records.clear();
        m_heap = decltype(m_heap)();
    }
    for (CUdpRlbConnection *conn : left) conn->ReleaseRef();
}

int CUdpRlbTimers::RunDue() {
    const uint64_t wait = TakeDue(&m_batch);
    if (m_batch.empty()) return wait == kNever ? -1 : static_cast<int>(wait < INT_MAX ? wait : INT_MAX);
    for (CUdpRlbConnection *conn : m_batch) {
        conn->OnThreadTick();
        uint32_t due = 0;
        const bool timed = conn->NextTickDue(&due, false);
        Reschedule(conn, timed, due);
        conn->ReleaseRef();
    }
    m_batch.clear();
    // Turns that came due meanwhile are taken on the next pass, after the sockets' news.
    CQrnFuncLock guard(m_lock);
    const uint64_t now = NowLocked();
    m_sleep_until = m_heap.empty() ? kNever : m_heap.top().due;
    if (m_sleep_until == kNever) return -1;
    return m_sleep_until <= now ? 0 : static_cast<int>(std::min<uint64_t>(m_sleep_until - now, INT_MAX));
}

uint64_t CUdpRlbTimers::NowLocked() {
    const uint32_t tick = get_tick_count();
    if (!m_clock_started) {
        m_clock_started = true;
        m_last_tick = tick;
    }
    // A clock set back reads as a long leap forward: every connection is then due once and
    // is rescheduled from the new reading.
    m_clock += calc_tick_diff(m_last_tick, tick);
    m_last_tick = tick;
    return m_clock;
}

void CUdpRlbTimers::ScheduleLocked(CUdpRlbConnection *conn, uint64_t due) {
    auto it = m_records.find(conn);
    if (it == m_records.end() || it->second.due <= due) return;
    it->second.due = due;
    it->second.generation = ++m_generation;
    m_heap.push(Entry{due, it->second.generation, conn});
    if (due < m_sleep_until) {
        m_sleep_until = due;
        if (VSOCK::current_loop() != m_loop) VSOCK::wake_loop(m_loop);
    }
}

uint64_t CUdpRlbTimers::TakeDue(std::vector<CUdpRlbConnection *> *batch) {
    CQrnFuncLock guard(m_lock);
    const uint64_t now = NowLocked();
    while (!m_heap.empty()) {
        const Entry top = m_heap.top();
        auto it = m_records.find(top.conn);
        if (it == m_records.end() || it->second.generation != top.generation) {
            m_heap.pop();
            continue;
        }
        if (top.due > now) break;
        m_heap.pop();
        it->second.due = kNever;
        top.conn->AddRef();
        batch->push_back(top.conn);
    }
    if (!batch->empty()) {
        m_sleep_until = 0;
        return 0;
    }
    m_sleep_until = m_heap.empty() ? kNever : m_heap.top().due;
    return m_heap.empty() ? kNever : m_sleep_until - now;
}

void CUdpRlbTimers::Reschedule(CUdpRlbConnection *conn, bool timed, uint32_t due_tick) {
    if (!timed) return;
    CQrnFuncLock guard(m_lock);
    const uint64_t now = NowLocked();
    const int32_t ahead = calc_dword_distance(get_tick_count(), due_tick);
    ScheduleLocked(conn, now + static_cast<uint64_t>(ahead > 0 ? ahead : 0));
}

void CUdpRlbTimers::Wake(CUdpRlbConnection *conn) {
    if (conn == nullptr) return;
    // Most news (a PDU that only starts the acknowledgement delay, a send that went out at
    // once) leaves nothing to do now; a turn for each would cost a thread switch per message.
    uint32_t due = 0;
    Reschedule(conn, conn->NextTickDue(&due, true), due);
}

void CUdpRlbTimers::AddConnection(CUdpRlbConnection *conn) {
    if (conn == nullptr) return;
    CQrnFuncLock guard(m_lock);
    if (!m_records.emplace(conn, Record{}).second) return;
    conn->AddRef();
    ScheduleLocked(conn, NowLocked());
}

void CUdpRlbTimers::RemoveConnection(CUdpRlbConnection *conn) {
    if (conn == nullptr) return;
    {
        CQrnFuncLock guard(m_lock);
        // Its heap entries go stale and are dropped when they come up.
        if (m_records.erase(conn) == 0) return;
    }
    // Outside the lock: the last reference runs the destructor, which removes again.
    conn->ReleaseRef();
}
