// The path-finding rate of CUdpRlbConnection (QRN_TP_OPT_UDP_RATE): the rate finder's pacing
// and window bound the send paths, every chunk carries the finder's stamp from its transmission
// to its acknowledgement, and a chunk is declared lost as soon as later ones have arrived and
// it is overdue, so that a lossy wide path repeats it within about a round trip.
#include "qrnlibl/qrn_time.h"
#include "qrnlibl/qrn_trace.h"
#include "udprlb/udprlb_connection.h"

using namespace urlb;

namespace {

uint32_t WireSize(uint32_t len) { return len + kRateChunkOverhead; }

}  // namespace

void CUdpRlbConnection::SetUdpRate(uint32_t mbit) {
    CQrnFuncLock lock(m_lock);
    qrn_trace_text("CUdpRlbConnection::SetUdpRate, (handle, mbit)=", m_handle, mbit);
    if (mbit != 0) {
        MakeFinder(mbit, get_tick_count());
        return;
    }
    if (m_finder == nullptr) return;
    delete m_finder;
    m_finder = nullptr;
    m_slot_length = kSlotLength;
    SetNewOutgoingBandwidth(m_outgoing_bw);
}

void CUdpRlbConnection::MakeFinder(uint32_t mbit, uint32_t now) {
    const uint32_t ceiling = mbit * kBytesPerMbit;
    if (m_finder != nullptr) {
        m_finder->SetCeiling(ceiling);
        return;
    }
    m_finder = new CUdpRlbRateFinder(ceiling, now);
    m_slot_length = kRateSlotLength;
    WidenSendWindow();
    // Chunks already in flight were never stamped: they count from now.
    for (int i = 0; i < qrn_array_size(m_resend_queue); ++i) {
        auto *entry = static_cast<CResendEntry *>(qrn_array_get(m_resend_queue, i));
        StampSent(entry, false, now);
    }
    PaceSlot(0);
}

void CUdpRlbConnection::PaceSlot(uint32_t carry) {
    if (m_finder == nullptr) return;
    const uint32_t rate = m_finder->PacingRate();
    uint64_t budget = static_cast<uint64_t>(rate) * m_slot_length / kSecondLength;
    if (budget < static_cast<uint64_t>(kMaxDatagram)) budget = kMaxDatagram;
    m_outgoing_max_chunk_size = static_cast<uint32_t>(budget);
    m_outgoing_bw = rate;
    m_sent_cur_slot = carry < budget ? carry : static_cast<uint32_t>(budget);
}

void CUdpRlbConnection::WidenSendWindow() {
    if (m_finder != nullptr && m_peer_window == kRateSendWindowLimit) {
        qrn_cirwin_set_limit(m_send_window, static_cast<int>(kRateWideWindow));
    }
}

uint32_t CUdpRlbConnection::AcceptWindow() const {
    if (m_announced_window != kRateSendWindowLimit || m_peer_window > kRateWideWindow) return m_peer_window;
    return kRateWideWindow;
}

int CUdpRlbConnection::WindowRoom(int limit) const {
    if (m_finder == nullptr) return limit;
    const uint32_t window = m_finder->Window();
    const uint32_t in_flight = m_finder->InFlight();
    if (in_flight >= window) return 0;
    const uint32_t room = window - in_flight;
    return room < static_cast<uint32_t>(limit) ? static_cast<int>(room) : limit;
}

void CUdpRlbConnection::StampSent(CResendEntry *entry, bool repeat, uint32_t now) {
    if (m_finder == nullptr) return;
    // A chunk repeated because its time came, not because later ones showed it lost, is
    // given up as gone before it goes out again.
    if (repeat && !entry->lost) m_finder->OnLost(WireSize(entry->len), false);
    entry->stamp = m_finder->OnSent(now, WireSize(entry->len));
    entry->lost = false;
}

void CUdpRlbConnection::ChunkDelivered(const CResendEntry &entry, uint32_t bytes, uint32_t now) {
    if (m_finder == nullptr) return;
    const bool repeated = entry.retries != kFirstTransmission || bytes != entry.len;
    m_finder->OnDelivered(now, WireSize(bytes), entry.stamp, !entry.lost, repeated);
    if (!m_rack_known || calc_dword_distance(m_rack_tick, entry.stamp.sent_tick) > 0) {
        m_rack_tick = entry.stamp.sent_tick;
        m_rack_known = true;
        m_rack_moved = true;
    }
}

void CUdpRlbConnection::ChunkDropped(const CResendEntry &entry) {
    if (m_finder != nullptr && !entry.lost) m_finder->OnLost(WireSize(entry.len), false);
}

bool CUdpRlbConnection::DetectLosses(uint32_t now, bool moved_only) {
    if (m_finder == nullptr || !m_rack_known) return false;
    // A peer's acknowledgement leads to a walk of the queue only when it delivered something sent
    // later than anything before, so that repeated or forged acknowledgements cost little.
    if (moved_only && !m_rack_moved) return false;
    m_rack_moved = false;
    const uint32_t rtt = m_finder->LatestRtt();
    uint32_t reorder = static_cast<uint32_t>(kRateReorderShare * m_finder->MinRtt());
    if (reorder < kRateMinReorder) reorder = kRateMinReorder;
    const int32_t overdue = static_cast<int32_t>(rtt + reorder);
    bool found = false;
    for (int i = 0; i < qrn_array_size(m_resend_queue); ++i) {
        auto *entry = static_cast<CResendEntry *>(qrn_array_get(m_resend_queue, i));
        if (entry->lost || calc_dword_distance(entry->stamp.sent_tick, m_rack_tick) <= 0) continue;
        if (calc_dword_distance(entry->stamp.sent_tick, now) <= overdue) continue;
        entry->lost = true;
        entry->resend_tick = now;
        m_finder->OnLost(WireSize(entry->len), true);
        found = true;
    }
    return found;
}

void CUdpRlbConnection::WriteSackPieces(CUdpRlbDataReliable *pdu) {
    const int blocks = qrn_array_size(m_sack_list);
    while (pdu->sack_count < kMaxSackEntries && pdu->sack_count < blocks) {
        if (m_sack_rotation >= blocks) {
            m_sack_rotation = 0;
            m_sack_piece = 0;
        }
        const auto *block = static_cast<const CSackBlock *>(qrn_array_get(m_sack_list, m_sack_rotation));
        // A block that merged or shrank since may have less left than was reported.
        if (m_sack_piece >= block->length) m_sack_piece = 0;
        const uint32_t left = block->length - m_sack_piece;
        const uint32_t piece = left < kSackPieceMax ? left : kSackPieceMax;
        CUdpRlbSackEntry &entry = pdu->sack[pdu->sack_count++];
        entry.offset = block->offset + m_sack_piece;
        entry.length = static_cast<uint16_t>(piece);
        m_sack_piece += piece == left ? piece : kSackPieceStep;
        if (m_sack_piece >= block->length) {
            ++m_sack_rotation;
            m_sack_piece = 0;
        }
    }
}

void CUdpRlbConnection::NoteAppLimited() {
    // Room to send and nothing to send: the window is far from used and the user was not held back.
    if (m_finder == nullptr || m_want_write || m_finder->InFlight() >= m_finder->Window() / 2) return;
    m_finder->OnAppLimited();
}

void CUdpRlbConnection::NoteReadStopped(bool full) {
    if (m_finder == nullptr || !full || qrn_cirwin_write_size(m_recv_window) == 0) return;
    m_reannounce = true;
    m_reannounce_tick = get_tick_count() + kWorkerPause;
}

void CUdpRlbConnection::ReannounceUnread(CUdpRlbEvents *events, uint32_t now) {
    if (!m_reannounce || calc_dword_distance(m_reannounce_tick, now) < 0) return;
    m_reannounce = false;
    const int unread = qrn_cirwin_write_size(m_recv_window);
    if (unread > 0) events->Post(kEventData, static_cast<uintptr_t>(unread), kDataReliable);
}
