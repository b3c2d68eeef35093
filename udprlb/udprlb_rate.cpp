// Rate control of CUdpRlbConnection: the statistics that every data PDU carries in header
// bytes 5 to 7, and the sending rate that the peer's reports move up or down.
#include "qrnlibl/qrn_trace.h"
#include "udprlb/udprlb_connection.h"

using namespace urlb;

void CUdpRlbConnection::SetStatsInfo(uint8_t *buffer) {
    // Saturated rather than wrapped: a wrapped count would read as heavy loss at the peer.
    const uint32_t volume = m_last_sec_recv >> kStatsVolumeShift;
    udprlb_pdu_write_stats(buffer, kMaxDatagram, m_cur_sec_idx, m_last_recv_sec_idx,
                           static_cast<uint16_t>(volume > UINT16_MAX ? UINT16_MAX : volume));
    qrn_trace_text("CUdpRlbConnection::SetStatsInfo, "
                   "(handle,cur_sec_idx,last_recv_sec_idx,last_sec_recv,cur_sec_sent,sent_cur_slot,"
                   "max_chunk_size)=",
                   m_handle, static_cast<int>(m_cur_sec_idx), static_cast<int>(m_last_recv_sec_idx),
                   m_last_sec_recv, m_cur_sec_sent, m_sent_cur_slot, m_outgoing_max_chunk_size);
}

void CUdpRlbConnection::HandleIncomingStatsInfo(uint8_t stats_index, uint16_t stats_volume, int datagram_size) {
    QRN_TRACE_FUNC("CUdpRlbConnection::HandleIncomingStatsInfo");
    // Anyone who guesses a handle can send a data PDU; only one that carries the session's tags
    // may move the rate.
    CQrnFuncLock lock(m_lock);
    m_in_stats_pending = true;
    m_in_stats_index = stats_index;
    m_in_stats_volume = stats_volume;
    m_in_stats_size = datagram_size;
}

void CUdpRlbConnection::ApplyIncomingStats(bool verified) {
    if (!m_in_stats_pending) return;
    m_in_stats_pending = false;
    if (!verified) return;
    const uint8_t stats_index = m_in_stats_index;
    const uint16_t stats_volume = m_in_stats_volume;
    const int datagram_size = m_in_stats_size;
    const uint8_t in_cur = static_cast<uint8_t>(stats_index >> kStatsIndexShift);
    const uint8_t in_last = static_cast<uint8_t>(stats_index & kStatsIndexMask);

    // The 4-bit step from the peer's period last seen, as a signed value: 1 to 7 is ahead.
    int step = (in_cur - m_peer_sec_idx) & kStatsIndexMask;
    if (step >= kSecondsTracked / 2) step -= kSecondsTracked;
    if (step > 0) {
        m_last_recv_sec_idx = m_peer_sec_idx;
        m_last_sec_recv = m_peer_sec_recv;
        m_peer_sec_idx = in_cur;
        m_peer_sec_recv = 0;
        qrn_trace_text("CUdpRlbConnection::HandleIncomingStatsInfo, shift recv sec, "
                       "(handle,in_last_sec_idx,in_last_sec_data_recv,in_cur_sec_idx)=",
                       m_handle, static_cast<int>(m_last_recv_sec_idx), m_last_sec_recv, static_cast<int>(in_cur));
    }
    if (datagram_size > 0) m_peer_sec_recv += static_cast<uint32_t>(datagram_size);

    const uint32_t sent = m_sent_history[in_last] >> kStatsVolumeShift;
    if (sent == 0) return;
    const uint32_t rate = m_outgoing_bw >> kStatsVolumeShift;
    const uint32_t received = stats_volume;
    // The path-finding rate takes no lead from these reports.
    if (m_finder == nullptr && sent >= kRateUsedShare * rate) {
        if (received < kRateLossShare * sent) {
            m_prev_bw = m_outgoing_bw;
            SetNewOutgoingBandwidth((m_outgoing_bw + (received << kStatsVolumeShift)) / 2);
        } else if (m_outgoing_bw < m_prev_bw) {
            SetNewOutgoingBandwidth(static_cast<uint32_t>(m_outgoing_bw * kRateRecoveryFactor));
        } else {
            SetNewOutgoingBandwidth(m_outgoing_bw + kBandwidthStep);
        }
    }
    // Each reported period is judged once, by the first PDU that carries its report.
    m_sent_history[in_last] = 0;
}

void CUdpRlbConnection::SetNewOutgoingBandwidth(uint32_t new_bw) {
    QRN_TRACE_FUNC("CUdpRlbConnection::SetNewOutgoingBandwidth");
    CQrnFuncLock lock(m_lock);
    uint32_t budget = new_bw / (kSecondLength / m_slot_length);
    if (budget < kMinSlotBudget) budget = kMinSlotBudget;
    if (budget > kMaxSlotBudget) budget = kMaxSlotBudget;
    m_outgoing_max_chunk_size = budget;
    m_outgoing_bw = budget * (kSecondLength / m_slot_length);
    qrn_trace_text("CUdpRlbConnection::SetNewOutgoingBandwidth, "
                   "(handle,new_bw,m_outgoing_bw,m_outgoing_max_chunk_size)=",
                   m_handle, new_bw, m_outgoing_bw, m_outgoing_max_chunk_size);
}
