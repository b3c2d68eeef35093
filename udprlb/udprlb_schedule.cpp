// When a connection next needs the worker: the earliest of its timed duties, as OnThreadTick
// checks them.
#include "qrnlibl/qrn_time.h"
#include "udprlb/udprlb_connection.h"

using namespace urlb;

namespace {

// Keeps the earlier of the due times seen so far.
class CEarliest {
public:
    void Consider(uint32_t tick) {
        if (!m_any || calc_dword_distance(m_tick, tick) < 0) m_tick = tick;
        m_any = true;
    }
    bool any() const { return m_any; }
    uint32_t tick() const { return m_tick; }

private:
    bool m_any = false;
    uint32_t m_tick = 0;
};

}  // namespace

bool CUdpRlbConnection::NextTickDue(uint32_t *due, bool news) {
    CQrnFuncLock lock(m_lock);
    const uint32_t now = get_tick_count();
    // Opening and closing are driven by news and the second's timer, not by due times.
    if (m_state != kStateConnected) {
        *due = now;
        return news;
    }
    // After a turn, a duty still overdue was held back (by the socket or the budget): retrying
    // it at once would only spin. After news it may have become possible.
    const uint32_t pause = news ? 0 : kWorkerPause;
    CEarliest earliest;
    if (m_send_blocked || m_want_write || qrn_array_size(m_pending_unreliable) > 0) {
        // A writer that the slot's budget holds back can go on only in the next slot: a turn
        // before it would offer it room that a send then refuses, again and again.
        const bool budget_held = !m_send_blocked && SlotUsedUp() && calc_dword_distance(now, m_slot_end) > 0;
        earliest.Consider(budget_held ? m_slot_end : now + pause);
    }
    if (m_ack_pending) earliest.Consider(m_last_ack_tick + kAckDelay);
    if (m_reannounce) earliest.Consider(m_reannounce_tick);
    if (m_rtt_state == kRttMeasuring) earliest.Consider(m_rtt_send_tick + kRttGiveUp + 1);
    CEarliest resend;
    for (int i = 0; i < qrn_array_size(m_resend_queue); ++i) {
        resend.Consider(static_cast<const CResendEntry *>(qrn_array_get(m_resend_queue, i))->resend_tick);
    }
    for (int i = 0; i < qrn_array_size(m_unreliable_history); ++i) {
        resend.Consider(static_cast<const CUnreliablePacket *>(qrn_array_get(m_unreliable_history, i))->expiry_tick);
    }
    if (resend.any()) {
        // Nothing more goes out before the slot that frees budget.
        const bool held = SlotUsedUp() && calc_dword_distance(resend.tick(), m_slot_end) > 0;
        earliest.Consider(held ? m_slot_end : resend.tick());
    }
    if (!earliest.any()) return false;
    *due = calc_dword_distance(now, earliest.tick()) > 0 ? earliest.tick() : now + pause;
    return true;
}
