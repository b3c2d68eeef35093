// The send side of CUdpRlbConnection: the reliable stream and unreliable packets, the per-slot
// budget they share, the resend queue, and the worker's periodic turn.
#include <string.h>

#include <new>

#include "qrnlibl/qrn_time.h"
#include "qrnlibl/qrn_trace.h"
#include "udprlb/udprlb_connection.h"

using namespace urlb;

namespace {

uint32_t Min32(uint64_t a, uint64_t b) { return static_cast<uint32_t>(a < b ? a : b); }

// The unreliable packet records (a private type of the connection, named by the callers).
template <class P>
P *PacketAt(qrn_array *list, int index) {
    return static_cast<P *>(qrn_array_get(list, index));
}

template <class P>
void DeletePacket(P *packet) {
    delete[] packet->data;
    packet->data = nullptr;
}

template <class P>
void ClearPackets(qrn_array *list) {
    for (int i = 0; i < qrn_array_size(list); ++i) DeletePacket(PacketAt<P>(list, i));
    qrn_array_clear(list);
}

// Appends a record holding a copy of the packet's bytes; false when memory ran out.
template <class P>
bool AppendPacket(qrn_array *list, const uint8_t *data, int len, uint16_t seq, uint32_t now,
                  uint32_t timeout) {
    P packet{};
    packet.data = new (std::nothrow) uint8_t[len > 0 ? len : 1];
    if (packet.data == nullptr) return false;
    if (len > 0) memcpy(packet.data, data, static_cast<size_t>(len));
    packet.len = len;
    packet.seq = seq;
    packet.send_tick = now;
    packet.expiry_tick = now + timeout;
    if (qrn_array_append(list, &packet) < 0) {
        DeletePacket(&packet);
        return false;
    }
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Slots and accounting

void CUdpRlbConnection::CheckSendSlot() {
    const uint32_t now = get_tick_count();
    AdvanceSlot(now);
    ClosePeriods(now);
}

void CUdpRlbConnection::AdvanceSlot(uint32_t now) {
    const int32_t lag = calc_dword_distance(m_slot_end, now);
    if (lag >= 0) {
        // Every slot that ended meanwhile starts empty; an idle spell is caught up at once.
        const uint32_t slots = static_cast<uint32_t>(lag) / m_slot_length + 1;
        const uint32_t overrun =
            m_sent_cur_slot > m_outgoing_max_chunk_size ? m_sent_cur_slot - m_outgoing_max_chunk_size : 0;
        m_slot_end += slots * m_slot_length;
        m_sent_cur_slot = 0;
        m_send_blocked = false;
        PaceSlot(slots == 1 ? overrun : 0);
    } else if (static_cast<uint32_t>(-static_cast<int64_t>(lag)) > m_slot_length) {
        // The clock moved back: no slot can end that far ahead.
        m_slot_end = now + m_slot_length;
    }
}

void CUdpRlbConnection::ClosePeriods(uint32_t now) {
    int32_t behind = calc_dword_distance(m_sec_start, now);
    if (behind < -static_cast<int32_t>(kSecondLength)) {
        m_sec_start = now;
        behind = 0;
    }
    if (behind < static_cast<int32_t>(kSecondLength)) return;
    const uint32_t periods = static_cast<uint32_t>(behind) / kSecondLength;
    if (periods > static_cast<uint32_t>(kSecondsTracked)) {
        // Every tracked period closed since then sent nothing.
        memset(m_sent_history, 0, sizeof(m_sent_history));
        m_cur_sec_sent = 0;
        m_cur_sec_idx = static_cast<uint8_t>((m_cur_sec_idx + periods) % kSecondsTracked);
        m_sec_start += periods * kSecondLength;
        if (m_rtt_state == kRttIdle) m_rtt_state = kRttArmed;
        return;
    }
    for (uint32_t i = 0; i < periods; ++i) {
        m_sec_start += kSecondLength;
        if (m_rtt_state == kRttIdle) m_rtt_state = kRttArmed;
        const uint8_t closing = m_cur_sec_idx;
        m_cur_sec_idx = static_cast<uint8_t>((closing + 1) % kSecondsTracked);
        m_sent_history[closing] = m_cur_sec_sent;
        m_cur_sec_sent = 0;
    }
}

void CUdpRlbConnection::CountSent(int datagram_size) {
    m_sent_cur_slot += static_cast<uint32_t>(datagram_size);
    m_cur_sec_sent += static_cast<uint32_t>(datagram_size);
}

// ---------------------------------------------------------------------------------------------
// The user's send

int CUdpRlbConnection::Send(const void *buffer, int len, int flags) {
    QRN_TRACE_FUNC("CUdpRlbConnection::Send");
    CQrnFuncLock lock(m_lock);
    if (m_state != kStateConnected) {
        QRN_TRACE_ERROR("send on a connection that is not connected, (state, handle)=",
                        static_cast<int>(m_state), m_handle);
        return kErrNotConnected;
    }
    if ((flags & kSendUnreliableFlag) != 0 && len > kMaxData) {
        QRN_TRACE_ERROR("unreliable packet too long, (len, max)=", len, kMaxData);
        return kErrTooLong;
    }
    if (buffer == nullptr || len <= 0) return 0;
    CheckSendSlot();
    FlushPendingUnreliable();
    const uint8_t *bytes = static_cast<const uint8_t *>(buffer);
    if ((flags & kSendUnreliableFlag) != 0) return SendUnreliable(bytes, len);
    return SendReliable(bytes, len);
}

// ---------------------------------------------------------------------------------------------
// Reliable stream

int CUdpRlbConnection::PrepareDataReliablePdu(uint32_t seq) {
    CheckSendSlot();
    CUdpRlbDataReliable pdu;
    pdu.ids = OwnIds();
    pdu.seq = seq;
    pdu.ack = m_ack;
    if (m_finder != nullptr) WriteSackPieces(&pdu);
    const int blocks = m_finder != nullptr ? 0 : qrn_array_size(m_sack_list);
    while (pdu.sack_count < kMaxSackEntries && pdu.sack_count < blocks) {
        if (m_sack_rotation >= blocks) m_sack_rotation = 0;
        const auto *block = static_cast<const CSackBlock *>(qrn_array_get(m_sack_list, m_sack_rotation));
        ++m_sack_rotation;
        CUdpRlbSackEntry &entry = pdu.sack[pdu.sack_count++];
        entry.offset = block->offset;
        entry.length = static_cast<uint16_t>(block->length);
    }
    m_ack_pending = false;
    m_ack_now = false;
    m_unacked_bytes = 0;
    m_last_ack_tick = get_tick_count();
    return udprlb_pdu_write_data_reliable(pdu, m_send_buffer + kOffPayload, kMaxPayload);
}

int CUdpRlbConnection::SendReliable(const uint8_t *buffer, int len) {
    int n = WindowRoom(len < qrn_cirwin_room(m_send_window) ? len : qrn_cirwin_room(m_send_window));
    if (m_send_blocked || SlotUsedUp()) {
        n = 0;
    } else {
        const uint32_t budget_left = m_outgoing_max_chunk_size - m_sent_cur_slot;
        if (static_cast<uint32_t>(n) > budget_left) n = static_cast<int>(budget_left);
    }
    uint32_t pos = m_send_base + static_cast<uint32_t>(qrn_cirwin_write_size(m_send_window));
    int taken = 0;
    while (n > 0) {
        const int head = PrepareDataReliablePdu(pos);
        if (head < 0) break;
        // The window keeps exactly the bytes that went on the wire, so it takes the chunk first
        // (it can only fall short when memory runs out).
        const int chunk = qrn_cirwin_write(m_send_window, buffer + taken, n < kMaxData ? n : kMaxData);
        if (chunk <= 0) break;
        memcpy(m_send_buffer + kOffPayload + head, buffer + taken, static_cast<size_t>(chunk));
        SetStatsInfo(m_send_buffer);
        const bool sent = SendOwnPdu(kPduDataReliable, head + chunk) != 0;
        if (sent && m_rtt_state == kRttArmed) {
            m_rtt_state = kRttMeasuring;
            m_rtt_send_tick = get_tick_count();
            m_rtt_send_seq = pos;
            qrn_trace_text("***Send RTT, (handle,m_rtt_send_tick,m_rtt_send_seq)=", m_handle,
                           m_rtt_send_tick, m_rtt_send_seq);
        }
        // A chunk the socket refused is kept and goes out again from the resend queue.
        AddToResendQueue(pos, static_cast<uint16_t>(chunk), 1, kFirstResendCap);
        taken += chunk;
        n -= chunk;
        pos += static_cast<uint32_t>(chunk);
        if (!sent) {
            m_send_blocked = true;
            break;
        }
        m_last_send_time = get_tick_count();
        CountSent(head + chunk + kHeaderSize);
    }
    if (taken < len) m_want_write = true;
    return taken;
}

void CUdpRlbConnection::AddToResendQueue(uint32_t seq, uint16_t len, uint16_t retries, uint32_t max_delay) {
    const uint32_t now = get_tick_count();
    const uint32_t delay = Min32(Min32(static_cast<uint64_t>(retries) * m_resend_timeout, kMaxResendDelay),
                                 max_delay);
    const uint32_t resend_tick = now + delay;
    qrn_trace_text("***AddToResendQueue, (seq, len, resend_tick, retries, cur_tick)", seq, len,
                   resend_tick, retries, now);

    const int low = FirstResendEntryFrom(seq);
    auto *found = static_cast<CResendEntry *>(qrn_array_get(m_resend_queue, low));
    if (found != nullptr && found->seq == seq) {
        if (found->len != len) {
            QRN_TRACE_ERROR("resend entry changes its length, (seq, old_len, new_len)=", seq, found->len, len);
        }
        found->retries = retries;
        found->resend_tick = resend_tick;
        StampSent(found, true, now);
        return;
    }
    CResendEntry entry{seq, len, retries, resend_tick, {}, false};
    StampSent(&entry, false, now);
    qrn_array_insert(m_resend_queue, low, &entry);
}

// The queue is sorted by seq, so the first entry not before seq is found by bisection; new
// chunks land at the end, where the search starts.
int CUdpRlbConnection::FirstResendEntryFrom(uint32_t seq) {
    int low = 0;
    int high = qrn_array_size(m_resend_queue);
    const auto *last = high > 0 ? static_cast<CResendEntry *>(qrn_array_get(m_resend_queue, high - 1)) : nullptr;
    if (last != nullptr && calc_dword_distance(last->seq, seq) > 0) return high;
    while (low < high) {
        const int mid = low + (high - low) / 2;
        const auto *entry = static_cast<CResendEntry *>(qrn_array_get(m_resend_queue, mid));
        if (calc_dword_distance(seq, entry->seq) >= 0) {
            high = mid;
        } else {
            low = mid + 1;
        }
    }
    return low;
}

void CUdpRlbConnection::RemoveFromResendQueue(uint32_t seq, uint32_t len) {
    // Entries do not overlap, so those wholly inside [seq, seq + len) form one run that starts
    // at the first entry not before seq.
    const int low = FirstResendEntryFrom(seq);
    int end = low;
    const int size = qrn_array_size(m_resend_queue);
    const uint32_t now = get_tick_count();
    while (end < size) {
        const auto *entry = static_cast<CResendEntry *>(qrn_array_get(m_resend_queue, end));
        const int64_t start = calc_dword_distance(seq, entry->seq);
        if (start < 0 || start + entry->len > static_cast<int64_t>(len)) break;
        qrn_trace_text("***RemoveFromResendQueue, (seq, len, pBlock->seq, pBlock->len)", seq, len,
                       entry->seq, entry->len);
        ChunkDelivered(*entry, entry->len, now);
        ++end;
    }
    if (end > low) qrn_array_remove_range(m_resend_queue, low, end - low);
}

void CUdpRlbConnection::ResendDue() {
    const uint32_t now = get_tick_count();
    for (int i = 0; i < qrn_array_size(m_resend_queue) && !SlotUsedUp(); ++i) {
        const CResendEntry entry = *static_cast<CResendEntry *>(qrn_array_get(m_resend_queue, i));
        if (calc_dword_distance(now, entry.resend_tick) > 0) continue;
        const int32_t offset = calc_dword_distance(m_send_base, entry.seq);
        if (offset < 0 || offset + entry.len > qrn_cirwin_write_size(m_send_window)) {
            QRN_TRACE_ERROR("resend entry outside the send window, (seq, len, send_base)=", entry.seq,
                            entry.len, m_send_base);
            ChunkDropped(entry);
            qrn_array_remove(m_resend_queue, i--);
            continue;
        }
        const int head = PrepareDataReliablePdu(entry.seq);
        if (head < 0) break;
        // A sample across a retransmission would measure the resend delay, not the path.
        if (m_rtt_state == kRttMeasuring && calc_dword_distance(entry.seq, m_rtt_send_seq) >= 0 &&
            calc_dword_distance(entry.seq, m_rtt_send_seq) < entry.len) {
            m_rtt_state = kRttIdle;
        }
        qrn_cirwin_read_ex(m_send_window, offset, m_send_buffer + kOffPayload + head, entry.len);
        qrn_trace_text("CUdpRlbConnection::OnThreadTick, re-send data pdu, (handle, seq, ack, len)=", m_handle,
                       entry.seq, m_ack, entry.len);
        SetStatsInfo(m_send_buffer);
        const bool sent = SendOwnPdu(kPduDataReliable, head + entry.len) != 0;
        if (sent) CountSent(head + entry.len + kHeaderSize);
        // Held at its top: wrapping to 0 would resend the chunk on every turn.
        const uint16_t retries = entry.retries < UINT16_MAX ? static_cast<uint16_t>(entry.retries + 1) : entry.retries;
        AddToResendQueue(entry.seq, entry.len, retries, static_cast<uint32_t>(i + 1) * kFirstResendCap);
        if (!sent) {
            m_send_blocked = true;
            break;
        }
    }
}

// A selective entry shows that the chunks before it, from the send base on, are missing at the
// peer: each that was sent only once is made due now instead of waiting for its resend time.
// True when one was.
bool CUdpRlbConnection::MarkHoleDue(const CUdpRlbDataReliable &pdu) {
    int32_t hole_end = 0;
    for (int i = 0; i < pdu.sack_count; ++i) {
        const int32_t at = calc_dword_distance(m_send_base, pdu.sack[i].offset);
        if (at > 0 && (hole_end == 0 || at < hole_end)) hole_end = at;
    }
    bool marked = false;
    const uint32_t now = get_tick_count();
    for (int i = 0; hole_end > 0 && i < qrn_array_size(m_resend_queue); ++i) {
        auto *entry = static_cast<CResendEntry *>(qrn_array_get(m_resend_queue, i));
        if (calc_dword_distance(m_send_base, entry->seq) >= hole_end) break;
        if (entry->retries != kFirstTransmission) continue;
        entry->resend_tick = now;
        marked = true;
    }
    return marked;
}

void CUdpRlbConnection::SendPureAck() {
    const uint32_t next = m_send_base + static_cast<uint32_t>(qrn_cirwin_write_size(m_send_window));
    const int head = PrepareDataReliablePdu(next);
    if (head < 0) return;
    SetStatsInfo(m_send_buffer);
    if (SendOwnPdu(kPduDataReliable, head) == 0) {
        m_send_blocked = true;
        m_ack_pending = true;  // try again on a later turn
        return;
    }
    CountSent(head + kHeaderSize);
    m_last_send_time = get_tick_count();
}

// ---------------------------------------------------------------------------------------------
// Unreliable packets

int CUdpRlbConnection::TrySendUnreliable(const uint8_t *buffer, int len, uint8_t attempt, uint16_t seq,
                                         bool take_seq) {
    if (len < 0 || len > kMaxData) return -1;
    if (SlotUsedUp()) {
        m_send_blocked = true;
        return 0;
    }
    CUdpRlbDataUnreliable pdu;
    pdu.ids = OwnIds();
    pdu.seq = take_seq ? m_next_unreliable_seq : seq;
    pdu.attempt = attempt;
    pdu.data = buffer;
    pdu.data_len = len;
    const int n = udprlb_pdu_write_data_unreliable(pdu, m_send_buffer + kOffPayload, kMaxPayload);
    if (n < 0) return -1;
    SetStatsInfo(m_send_buffer);
    if (SendOwnPdu(kPduDataUnreliable, n) == 0) {
        m_send_blocked = true;
        return 0;
    }
    // A packet that never left keeps its number for the next try, so that the peer's loss
    // count sees no gap for it.
    if (take_seq) ++m_next_unreliable_seq;
    m_last_send_time = get_tick_count();
    CountSent(n + kHeaderSize);
    return len;
}

int CUdpRlbConnection::SendUnreliable(const uint8_t *buffer, int len) {
    if (!m_send_blocked && !SlotUsedUp()) {
        const uint16_t seq = m_next_unreliable_seq;
        if (TrySendUnreliable(buffer, len, kAttemptFirst, 0, true) == len) {
            AddToHistory(buffer, len, seq);
            return len;
        }
    }
    if (qrn_array_size(m_pending_unreliable) >= kMaxPendingUnreliable) {
        ClearPackets<CUnreliablePacket>(m_pending_unreliable);
    }
    AppendPacket<CUnreliablePacket>(m_pending_unreliable, buffer, len, 0, get_tick_count(), 0);
    return len;
}

void CUdpRlbConnection::AddToHistory(const uint8_t *buffer, int len, uint16_t seq) {
    // Bounded on every path: records leave only on an ACK or a retransmission, which a peer
    // that stretches its round trip can put off for a long time.
    if (qrn_array_size(m_unreliable_history) > kMaxUnreliableHistory) {
        ClearPackets<CUnreliablePacket>(m_unreliable_history);
    }
    AppendPacket<CUnreliablePacket>(m_unreliable_history, buffer, len, seq, get_tick_count(),
                                    m_unreliable_resend_timeout);
}

bool CUdpRlbConnection::FlushPendingUnreliable() {
    while (qrn_array_size(m_pending_unreliable) > 0 && !SlotUsedUp()) {
        CUnreliablePacket *packet = PacketAt<CUnreliablePacket>(m_pending_unreliable, 0);
        const uint16_t seq = m_next_unreliable_seq;
        if (TrySendUnreliable(packet->data, packet->len, kAttemptFirst, 0, true) < packet->len) {
            m_send_blocked = true;
            return false;
        }
        AddToHistory(packet->data, packet->len, seq);
        DeletePacket(packet);
        qrn_array_remove(m_pending_unreliable, 0);
    }
    return true;
}

bool CUdpRlbConnection::ResendUnreliableDue() {
    const uint32_t now = get_tick_count();
    for (int i = 0; i < qrn_array_size(m_unreliable_history);) {
        CUnreliablePacket *packet = PacketAt<CUnreliablePacket>(m_unreliable_history, i);
        if (calc_dword_distance(packet->expiry_tick, now) <= 0) {
            ++i;
            continue;
        }
        if (TrySendUnreliable(packet->data, packet->len, kAttemptRetransmit, packet->seq, false) < packet->len) {
            m_send_blocked = true;
            return false;
        }
        DeletePacket(PacketAt<CUnreliablePacket>(m_unreliable_history, i));
        qrn_array_remove(m_unreliable_history, i);
    }
    return true;
}

void CUdpRlbConnection::ClearUnreliable() {
    ClearPackets<CUnreliablePacket>(m_pending_unreliable);
    ClearPackets<CUnreliablePacket>(m_unreliable_history);
}

// ---------------------------------------------------------------------------------------------
// Socket and worker

void CUdpRlbConnection::OnWrite() {
    QRN_TRACE_FUNC("CUdpRlbConnection::OnWrite");
    CUdpRlbEvents events;
    {
        CQrnFuncLock lock(m_lock);
        m_send_blocked = false;
        // Room to send means nothing before the connection is up, or after it was closed.
        if (m_state == kStateConnected) events.Post(kEventWritable);
    }
    events.Raise(this);
}

void CUdpRlbConnection::OnThreadTick() {
    QRN_TRACE_FUNC("CUdpRlbConnection::OnThreadTick");
    CUdpRlbEvents events;
    bool closing = false;
    {
        CQrnFuncLock lock(m_lock);
        if (m_state == kStateClosing || m_state == kStateDraining) {
            closing = true;
        } else if (m_state != kStateConnected) {
            return;
        }
    }
    if (closing) {
        OnCloseTick(true);
        return;
    }
    {
        CQrnFuncLock lock(m_lock);
        if (m_state != kStateConnected) return;
        CheckSendSlot();
        if (!FlushPendingUnreliable() || !ResendUnreliableDue()) return;
        DetectLosses(get_tick_count(), false);
        ResendDue();
        const uint32_t now = get_tick_count();
        if (m_rtt_state == kRttMeasuring && calc_tick_diff(m_rtt_send_tick, now) > kRttGiveUp) {
            m_rtt_state = kRttIdle;
        }
        if (m_ack_pending && calc_tick_diff(m_last_ack_tick, now) >= kAckDelay) SendPureAck();
        NoteAppLimited();
        ReannounceUnread(&events, now);
        if (m_want_write && !SlotUsedUp() && qrn_cirwin_room(m_send_window) > kWritableRoomTick &&
            WindowRoom(kMaxData) > 0) {
            m_want_write = false;
            events.Post(kEventWritable);
        }
    }
    events.Raise(this);
}
