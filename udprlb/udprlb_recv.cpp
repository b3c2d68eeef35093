// The receive side of CUdpRlbConnection: acknowledgements of what this side sent, reassembly
// and in-order delivery of the peer's stream, unreliable packets with their ACKs and loss
// reports, and the user's read.
#include <string.h>

#include <new>

#include "qrnlibl/qrn_time.h"
#include "qrnlibl/qrn_trace.h"
#include "udprlb/udprlb_admission.h"
#include "udprlb/udprlb_connection.h"
#include "udprlb/udprlb_module.h"

using namespace urlb;

namespace {

// The reassembly buffer is a ring whose size is a power of two no smaller than the peer's
// window: stream offset o lives at o & (size - 1), which stays right across the 32-bit wrap of
// the offsets and never needs the content moved when the stream advances.
uint32_t RingSize(uint32_t window) {
    uint32_t size = 1;
    while (size < window) size <<= 1;
    return size;
}

void RingWrite(uint8_t *ring, uint32_t size, uint32_t offset, const uint8_t *data, uint32_t len) {
    const uint32_t at = offset & (size - 1);
    const uint32_t first = len < size - at ? len : size - at;
    memcpy(ring + at, data, first);
    if (first < len) memcpy(ring, data + first, len - first);
}

// Appends len ring bytes from offset on to the window; returns how many it took.
int RingAppend(qrn_cirwin *window, const uint8_t *ring, uint32_t size, uint32_t offset, uint32_t len) {
    const uint32_t at = offset & (size - 1);
    const uint32_t first = len < size - at ? len : size - at;
    int taken = qrn_cirwin_write(window, ring + at, static_cast<int>(first));
    if (taken == static_cast<int>(first) && first < len) {
        taken += qrn_cirwin_write(window, ring, static_cast<int>(len - first));
    }
    return taken;
}

// Time-outs beyond this would turn the signed tick distances around.
constexpr uint32_t kMaxTimeout = INT32_MAX / 2;

enum class EMerge { kMerged, kInserted, kRefused };

// Adds [seq, seq + len) to the sorted, disjoint, non-touching list of blocks beyond ack. Block
// is the connection's (private) block type, named by the caller.
template <class Block>
EMerge MergeBlock(qrn_array *list, uint32_t ack, uint32_t seq, uint32_t len, int max_blocks) {
    const int64_t start = calc_dword_distance(ack, seq);
    const int64_t end = start + len;
    auto at = [list](int i) { return static_cast<Block *>(qrn_array_get(list, i)); };
    auto begin_of = [ack](const Block *b) { return static_cast<int64_t>(calc_dword_distance(ack, b->offset)); };
    const int size = qrn_array_size(list);
    // The first block that ends at or after the new range's start: the only one it can join.
    int low = 0;
    int high = size;
    while (low < high) {
        const int mid = low + (high - low) / 2;
        if (begin_of(at(mid)) + at(mid)->length >= start) {
            high = mid;
        } else {
            low = mid + 1;
        }
    }
    if (low == size || begin_of(at(low)) > end) {
        if (size >= max_blocks) return EMerge::kRefused;
        const Block fresh{seq, len};
        return qrn_array_insert(list, low, &fresh) < 0 ? EMerge::kRefused : EMerge::kInserted;
    }
    Block *joined = at(low);
    const int64_t joined_start = begin_of(joined) < start ? begin_of(joined) : start;
    int64_t joined_end = begin_of(joined) + joined->length > end ? begin_of(joined) + joined->length : end;
    int next = low + 1;
    while (next < size && begin_of(at(next)) <= joined_end) {
        const int64_t next_end = begin_of(at(next)) + at(next)->length;
        if (next_end > joined_end) joined_end = next_end;
        ++next;
    }
    joined->offset = ack + static_cast<uint32_t>(joined_start);
    joined->length = static_cast<uint32_t>(joined_end - joined_start);
    qrn_array_remove_range(list, low + 1, next - low - 1);
    return EMerge::kMerged;
}

// Drops the blocks that the stream's advance to new_ack has passed, and cuts one it entered.
template <class Block>
void DropPassedBlocks(qrn_array *list, uint32_t new_ack) {
    int passed = 0;
    const int size = qrn_array_size(list);
    while (passed < size) {
        auto *block = static_cast<Block *>(qrn_array_get(list, passed));
        const int64_t end = static_cast<int64_t>(calc_dword_distance(new_ack, block->offset)) + block->length;
        if (end > 0) {
            const int32_t inside = calc_dword_distance(block->offset, new_ack);
            if (inside > 0) {
                block->offset = new_ack;
                block->length -= static_cast<uint32_t>(inside);
            }
            break;
        }
        ++passed;
    }
    qrn_array_remove_range(list, 0, passed);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The user's read

int CUdpRlbConnection::Recv(void *buffer, int len) {
    QRN_TRACE_FUNC("CUdpRlbConnection::Recv");
    CQrnFuncLock lock(m_lock);
    // Once the peer has closed, what it sent before is still the user's to read.
    if (m_state != kStateConnected && m_state != kStateDraining) {
        QRN_TRACE_ERROR("recv on a connection that is not connected, (state, handle)=",
                        static_cast<int>(m_state), m_handle);
        return kErrNotConnected;
    }
    if (buffer == nullptr || len <= 0) return 0;
    const int n = qrn_cirwin_read_ex(m_recv_window, 0, buffer, len);
    qrn_cirwin_forward(m_recv_window, n);
    NoteReadStopped(n == len);
    return n;
}

// ---------------------------------------------------------------------------------------------
// Data reliable

// A data PDU counts only when it is whole, the connection is up and its ids are this session's;
// its stats bytes are applied or dropped to match. kind names it in the traces.
bool CUdpRlbConnection::AdmitDataPdu(bool valid, int len, const CUdpRlbIds &ids, const char *kind,
                                     bool *established) {
    bool admitted = false;
    *established = false;
    // A closing side still takes acknowledgements, and the data of a peer that closes too.
    const bool live = m_state == kStateConnected || m_state == kStateClosing;
    if (!valid) {
        QRN_TRACE_ERROR("malformed data pdu, (kind, handle, len)=", kind, m_handle, len);
    } else if ((live || m_state == kStateAnswered) && !IdsMatch(ids)) {
        QRN_TRACE_ERROR("data pdu of another session, (kind, src, dst_tag, src_tag)=", kind, ids.src, ids.dst_tag,
                        ids.src_tag);
    } else if (m_state == kStateAnswered) {
        // Only the address that got the connect response can know this side's tag.
        *established = udprlb_admission_establish(m_handle);
        if (*established) {
            qrn_trace_text("CUdpRlbConnection::AdmitDataPdu, established, (handle, peer_app_id)=", m_handle,
                           m_peer_app_id);
            SetState(kStateConnected);
            // Under this lock: a close or an end decided meanwhile has left the state, and
            // then the worker gets no reference that nothing would drop.
            udprlb_worker_add(this);
        }
        admitted = *established;
    } else {
        admitted = live;
    }
    ApplyIncomingStats(admitted);
    if (admitted) m_last_recv_time = get_tick_count();
    return admitted;
}

void CUdpRlbConnection::OnDataReliablePdu(const uint8_t *payload, int len) {
    QRN_TRACE_FUNC("CUdpRlbConnection::OnDataReliablePdu");
    CUdpRlbDataReliable pdu;
    const bool valid = udprlb_pdu_read_data_reliable(payload, len, &pdu);
    CUdpRlbEvents events;
    bool established = false;
    CCloseOutcome closing;
    {
        CQrnFuncLock lock(m_lock);
        if (!AdmitDataPdu(valid, len, pdu.ids, "reliable", &established)) return;
        CheckSendSlot();
        bool writable = false;
        if (!ProcessAck(pdu, &writable)) return;
        if (m_finder != nullptr) {
            if (DetectLosses(get_tick_count(), true)) ResendDue();
        } else if (MarkHoleDue(pdu)) {
            ResendDue();
        }
        int readable = 0;
        if (pdu.data_len > 0) readable = AcceptReliableData(pdu.seq, pdu.data, pdu.data_len);
        AckIfDue();
        if (m_state == kStateClosing) {
            // Nobody reads any more: acknowledged and dropped.
            qrn_cirwin_forward(m_recv_window, qrn_cirwin_write_size(m_recv_window));
            CloseStep(get_tick_count(), &closing);
        } else {
            if (readable > 0) events.Post(kEventData, static_cast<uintptr_t>(readable), kDataReliable);
            if (writable) events.Post(kEventWritable);
        }
    }
    if (established) RaiseAccepted();
    FinishClose(closing);
    events.Raise(this);
}

bool CUdpRlbConnection::ProcessAck(const CUdpRlbDataReliable &pdu, bool *writable) {
    const int held = qrn_cirwin_write_size(m_send_window);
    const int32_t acked = calc_dword_distance(m_send_base, pdu.ack);
    if (acked > held) {
        QRN_TRACE_ERROR("ack beyond what was sent, (ack, send_base, held)=", pdu.ack, m_send_base, held);
        return false;
    }
    for (int i = 0; i < pdu.sack_count; ++i) {
        qrn_trace_text("CUdpRlbConnection::OnDataReliablePdu, sack, (handle, offset, length)=", m_handle,
                       pdu.sack[i].offset, pdu.sack[i].length);
        RemoveFromResendQueue(pdu.sack[i].offset, pdu.sack[i].length);
    }
    // An ack behind the send base comes from a PDU overtaken on the way: it tells nothing new,
    // but its data is as good as any.
    if (acked <= 0) return true;
    RemoveFromResendQueue(m_send_base, static_cast<uint32_t>(acked));
    qrn_cirwin_forward(m_send_window, acked);
    m_send_base = pdu.ack;
    // A peer that acknowledges part of a chunk leaves its tail to be sent again.
    auto *front = static_cast<CResendEntry *>(qrn_array_get(m_resend_queue, 0));
    const int32_t cut = front != nullptr ? calc_dword_distance(front->seq, m_send_base) : 0;
    if (cut > 0 && cut < front->len) {
        ChunkDelivered(*front, static_cast<uint32_t>(cut), get_tick_count());
        front->seq = m_send_base;
        front->len = static_cast<uint16_t>(front->len - cut);
    }
    CompleteRttMeasurement();
    // A writer that the slot's budget holds back hears of room from the slot's turn instead.
    if (m_want_write && !SlotUsedUp() && qrn_cirwin_room(m_send_window) > kWritableRoomAck &&
        WindowRoom(kMaxData) > 0) {
        m_want_write = false;
        *writable = true;
    }
    return true;
}

void CUdpRlbConnection::SmoothRtt(uint32_t sample) {
    m_rtt = m_rtt == 0 ? sample : static_cast<uint32_t>(kRttKeep * m_rtt + (1.0 - kRttKeep) * sample);
}

void CUdpRlbConnection::CompleteRttMeasurement() {
    if (m_rtt_state != kRttMeasuring || calc_dword_distance(m_rtt_send_seq, m_send_base) <= 0) return;
    SmoothRtt(calc_tick_diff(m_rtt_send_tick, get_tick_count()));
    const double timeout = (static_cast<double>(m_rtt) + kRttMargin) * kRttResendFactor;
    m_resend_timeout = timeout > kMaxTimeout ? kMaxTimeout : static_cast<uint32_t>(timeout);
    qrn_trace_text("***set m_resend_timeout to", m_resend_timeout);
    m_rtt_state = kRttIdle;
}

void CUdpRlbConnection::AckIfDue() {
    if (m_ack_pending && (m_ack_now || m_unacked_bytes >= kAckEveryBytes)) SendPureAck();
}

int CUdpRlbConnection::AcceptReliableData(uint32_t seq, const uint8_t *data, int len) {
    const int32_t distance = calc_dword_distance(m_ack, seq);
    if (distance < 0 || static_cast<int64_t>(distance) + len > static_cast<int64_t>(AcceptWindow())) {
        // Old or out of range: the next PDU acknowledges again what has arrived.
        m_ack_pending = true;
        return 0;
    }
    if (distance > 0) {
        m_ack_pending = true;
        StoreOutOfOrder(seq, data, len);
        return 0;
    }
    return DeliverInOrder(data, len);
}

int CUdpRlbConnection::DeliverInOrder(const uint8_t *data, int len) {
    // A user that does not read must not make this side keep without bound what the peer
    // sends: the data stays unacknowledged and the peer sends it again later.
    if (qrn_cirwin_write_size(m_recv_window) >= kMaxUnreadBytes) {
        qrn_trace_text("CUdpRlbConnection::DeliverInOrder, receive window full, (handle, unread)=", m_handle,
                       qrn_cirwin_write_size(m_recv_window));
        return 0;
    }
    int64_t deliverable = len;
    const int blocks = qrn_array_size(m_sack_list);
    for (int i = 0; i < blocks; ++i) {
        const auto *block = static_cast<const CSackBlock *>(qrn_array_get(m_sack_list, i));
        const int64_t begin = calc_dword_distance(m_ack, block->offset);
        if (deliverable < begin) break;
        if (begin < 1 || begin + block->length > AcceptWindow()) {
            QRN_TRACE_ERROR("sack block out of range, (ack, offset, length)=", m_ack, block->offset,
                            block->length);
        }
        if (begin + block->length > deliverable) deliverable = begin + block->length;
    }
    if (deliverable > qrn_cirwin_room(m_recv_window)) {
        QRN_TRACE_ERROR("receive window has no room, (handle, deliverable)=", m_handle, deliverable);
        return 0;
    }
    int delivered = qrn_cirwin_write(m_recv_window, data, len);
    if (delivered == len && deliverable > len && m_reassembly != nullptr) {
        delivered += RingAppend(m_recv_window, m_reassembly, RingSize(AcceptWindow()),
                                m_ack + static_cast<uint32_t>(len), static_cast<uint32_t>(deliverable - len));
    }
    if (delivered < deliverable) {
        QRN_TRACE_ERROR("receive window out of memory, (handle, deliverable, delivered)=", m_handle, deliverable,
                        delivered);
    }
    if (delivered <= 0) return 0;
    m_ack += static_cast<uint32_t>(delivered);
    DropPassedBlocks<CSackBlock>(m_sack_list, m_ack);
    m_ack_pending = true;
    m_unacked_bytes += static_cast<uint32_t>(delivered);
    return delivered;
}

void CUdpRlbConnection::StoreOutOfOrder(uint32_t seq, const uint8_t *data, int len) {
    const uint32_t size = RingSize(AcceptWindow());
    if (m_reassembly == nullptr) {
        // Made on first need, so that connections that never reorder cost nothing.
        m_reassembly = new (std::nothrow) uint8_t[size];
        if (m_reassembly == nullptr) {
            QRN_TRACE_ERROR("no memory for reassembly, (handle, size)=", m_handle, size);
            return;
        }
    }
    RingWrite(m_reassembly, size, seq, data, static_cast<uint32_t>(len));
    // With the path-finding rate the sender learns of what arrives beyond a gap as fast as of
    // what arrives in order, so that it sees the gap's chunks as lost within a round trip.
    if (m_finder != nullptr) m_unacked_bytes += static_cast<uint32_t>(len);
    switch (MergeBlock<CSackBlock>(m_sack_list, m_ack, seq, static_cast<uint32_t>(len), kMaxSackBlocks)) {
    case EMerge::kInserted:
        m_sack_rotation = 0;
        m_sack_piece = 0;
        m_ack_now = true;
        break;
    case EMerge::kRefused:
        // The bytes stay unacknowledged; the peer sends them again.
        QRN_TRACE_ERROR("too many sack blocks, (handle, seq, len)=", m_handle, seq, len);
        break;
    case EMerge::kMerged:
        break;
    }
}

// ---------------------------------------------------------------------------------------------
// Unreliable packets

void CUdpRlbConnection::OnDataUnreliablePdu(const uint8_t *payload, int len) {
    QRN_TRACE_FUNC("CUdpRlbConnection::OnDataUnreliablePdu");
    CUdpRlbDataUnreliable pdu;
    const bool valid = udprlb_pdu_read_data_unreliable(payload, len, &pdu);
    CUdpRlbEvents events;
    bool established = false;
    {
        CQrnFuncLock lock(m_lock);
        if (!AdmitDataPdu(valid, len, pdu.ids, "unreliable", &established)) return;
        if (pdu.attempt == kAttemptFirst) SendUnreliableACK(pdu.seq);
        RecordUnreliableSeq(pdu.seq);
        // The bytes stay in the dispatcher's receive buffer, valid while the event runs.
        events.Post(kEventData, static_cast<uintptr_t>(pdu.data_len), kDataUnreliable,
                    reinterpret_cast<uintptr_t>(pdu.data));
    }
    if (established) RaiseAccepted();
    events.Raise(this);
}

void CUdpRlbConnection::SendUnreliableACK(uint16_t seq) {
    CUdpRlbUnreliableAck pdu;
    pdu.ids = OwnIds();
    pdu.seq = seq;
    SendOwnPdu(kPduUnreliableAck, udprlb_pdu_write_unreliable_ack(pdu, m_send_buffer + kOffPayload, kMaxPayload));
    m_last_send_time = get_tick_count();
}

void CUdpRlbConnection::RecordUnreliableSeq(uint16_t seq) {
    const int offset = static_cast<int16_t>(static_cast<uint16_t>(seq - m_loss_block_base));
    if (offset < 0 || offset >= kLossWindow) return;
    const int other = 1 - m_loss_block;
    if (offset < kLossReportBlock) {
        m_loss_flags[m_loss_block][offset] = true;
    } else {
        m_loss_flags[other][offset - kLossReportBlock] = true;
    }
    if (offset < kLossCloseOffset) return;
    int missing = 0;
    for (bool &received : m_loss_flags[m_loss_block]) {
        if (!received) ++missing;
        received = false;
    }
    if (missing > kLossReportThreshold) {
        qrn_trace_text("lost audio pkt percentage=", missing);
        SendLostPacketReport(static_cast<uint8_t>(missing));
    }
    m_loss_block = other;
    m_loss_block_base = static_cast<uint16_t>(m_loss_block_base + kLossReportBlock);
}

void CUdpRlbConnection::SendLostPacketReport(uint8_t missing) {
    CUdpRlbLostReport pdu;
    pdu.dst = m_peer_app_id;
    pdu.src = static_cast<uint16_t>(m_handle);
    pdu.missing = missing;
    SendOwnPdu(kPduLostPacketReport, udprlb_pdu_write_lost_report(pdu, m_send_buffer + kOffPayload, kMaxPayload));
}

void CUdpRlbConnection::OnUnreliableACK(const uint8_t *payload, int len) {
    QRN_TRACE_FUNC("CUdpRlbConnection::OnUnreliableACK");
    CUdpRlbUnreliableAck pdu;
    if (!udprlb_pdu_read_unreliable_ack(payload, len, &pdu)) {
        QRN_TRACE_ERROR("malformed unreliable ack, (handle, len)=", m_handle, len);
        return;
    }
    CQrnFuncLock lock(m_lock);
    if (!IdsMatch(pdu.ids)) {
        QRN_TRACE_ERROR("unreliable ack of another session, (src, dst_tag, src_tag)=", pdu.ids.src,
                        pdu.ids.dst_tag, pdu.ids.src_tag);
        return;
    }
    const uint32_t now = get_tick_count();
    m_last_recv_time = now;
    for (int i = 0; i < qrn_array_size(m_unreliable_history); ++i) {
        auto *packet = static_cast<CUnreliablePacket *>(qrn_array_get(m_unreliable_history, i));
        if (packet->seq != pdu.seq) continue;
        SmoothRtt(calc_tick_diff(packet->send_tick, now));
        // Kept well inside the tick arithmetic's range, however slowly the peer answers.
        const uint64_t timeout = kUnreliableResendRtts * static_cast<uint64_t>(m_rtt);
        m_unreliable_resend_timeout = static_cast<uint32_t>(
            timeout < kMinUnreliableResendTimeout ? kMinUnreliableResendTimeout
                                                  : (timeout > kMaxTimeout ? kMaxTimeout : timeout));
        delete[] packet->data;
        qrn_array_remove(m_unreliable_history, i);
        return;
    }
}

void CUdpRlbConnection::OnLostPktReport(const uint8_t *payload, int len) {
    QRN_TRACE_FUNC("CUdpRlbConnection::OnLostPktReport");
    CUdpRlbLostReport pdu;
    if (!udprlb_pdu_read_lost_report(payload, len, &pdu)) {
        QRN_TRACE_ERROR("malformed lost packet report, (handle, len)=", m_handle, len);
        return;
    }
    qrn_trace_text("CUdpRlbConnection::OnLostPktReport, (handle, src, missing)=", m_handle, pdu.src,
                   static_cast<int>(pdu.missing));
}
