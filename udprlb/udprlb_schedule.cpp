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

bool CUdpRlbConnection::NextTickDue(uint32_t *due) {
    CQrnFuncLock lock(m_lock);
    if (m_state != kStateConnected) return false;
    const uint32_t now = get_tick_count();
    CEarliest earliest;
    // Work that the socket or the slot budget holds back is tried again after a pause.
    if (m_send_blocked || m_want_write || qrn_array_size(m_pending_unreliable) > 0) {
        earliest.Consider(now + kWorkerPause);
    }
    if (m_ack_pending) earliest.Consider(m_last_ack_tick + kAckDelay);
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
    // A duty still overdue right after a turn was held back (by the socket or the budget):
    // retrying it at once would only spin.
    *due = calc_dword_distance(now, earliest.tick()) > 0 ? earliest.tick() : now + kWorkerPause;
    return true;
}
