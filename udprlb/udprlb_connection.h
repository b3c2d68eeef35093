// CUdpRlbConnection: one reliable-UDP connection, known on each side by its 16-bit handle
// (app_id). It opens directly or through a relay that punches holes through address
// translators, then carries a reliable ordered byte stream and single unreliable packets, at a
// rate it adapts to what the peer reports having received.
//
// Threads and locks. The API runs on user threads, the receive handlers and OnThreadTick on
// the event loop of the connection's socket, OnTimer on the timer. m_lock guards every field; it is released
// before any event reaches the user, and never held while the registry lock is taken (ending a
// connection goes through udprlb_end_connection with m_lock released). Events are collected
// under the lock in a CUdpRlbEvents and raised afterwards.
#ifndef QRN_UDPRLB_UDPRLB_CONNECTION_H
#define QRN_UDPRLB_UDPRLB_CONNECTION_H

#include <stdint.h>

#include "platform/winsock.h"
#include "qrnlibl/qrn_array.h"
#include "qrnlibl/qrn_callback.h"
#include "qrnlibl/qrn_cirwin.h"
#include "qrnlibl/qrn_lock.h"
#include "qrnlibl/qrn_notes.h"
#include "udprlb/udprlb_defs.h"
#include "udprlb/udprlb_pdu.h"
#include "udprlb/udprlb_rate_finder.h"

// Events decided under the connection's lock, raised once it is released.
class CUdpRlbEvents : public CQrnNotes {
public:
    // Raises the posted events in order through the connection's current callback.
    void Raise(class CUdpRlbConnection *conn);
    // The same through a callback read earlier (for a connection that has already ended).
    void Raise(qrn_callback callback, uintptr_t context, int handle);
};

class CUdpRlbConnection : public CQrnObject {
public:
    CUdpRlbConnection(int handle, qrn_callback callback, uintptr_t context, int socket);
    ~CUdpRlbConnection() override;

    int handle() const { return m_handle; }
    int socket() const { return m_socket; }
    // The event loop that receives the socket's datagrams and runs this connection's timers.
    int loop() const { return m_loop; }

    // Builds the header of the PDU whose len payload bytes sit at buffer + 8 and sends it to
    // address. 1 when the whole datagram went out, 0 otherwise.
    static int SendPdu(int socket, uint8_t *buffer, const ws::sockaddr_in *address, uint8_t type, int len);

    // --- Lifecycle (udprlb_connection.cpp) ---
    // 0 when the handshake has started, 1 when an address does not resolve.
    int Connect(const char *dest_ip, int dest_port, const char *proxy_ip, int proxy_port);
    // Receive handlers get the whole payload of the PDU (from its leading app_id on) and read
    // it with the udprlb_pdu decoders; a payload too short for its fields is dropped.
    // Accepting side, right after the dispatcher made this object for a connect request.
    // False: the request was refused and the object ended.
    bool OnConnect(const uint8_t *payload, int len, const ws::sockaddr_in *from);
    void OnDigHoleResponsePdu(const uint8_t *payload, int len);
    void OnConnectResponsePdu(const uint8_t *payload, int len);
    void OnKeepAlive(const uint8_t *payload, int len);

    // --- Closing (udprlb_close.cpp) ---
    // The peer's close request: answered, and the connection ends once the user has read what
    // came before it (event 5).
    void OnCloseRequestPdu(const uint8_t *payload, int len);
    // The user's close (the callback is already detached). True while the connection goes on
    // delivering what it sent and then its close request; it stays in the registry, unknown to
    // the API, until the peer answers or the release time-out passes. notice (if set) hears
    // kEventCloseDone once, on a library thread: once the peer has acknowledged every byte, or
    // at the time-out. False when it ended at once (no notice follows): the caller ends it, and
    // *acknowledged tells whether the peer, which had gone already, had every byte.
    bool Close(qrn_callback notice, uintptr_t notice_context, bool *acknowledged);
    bool ClosedByUser();
    // The closing or draining connection's turn: from the worker (deliver: resend and
    // acknowledge too) or from the one-second timer.
    void OnCloseTick(bool deliver);
    // Once a second: handshake repeats and failure, keep-alives.
    void OnTimer();
    uint8_t state();

    // --- Reliable and unreliable delivery (udprlb_send.cpp, udprlb_recv.cpp) ---
    // Bytes taken; -2 not connected; -3 an unreliable packet above kMaxData.
    int Send(const void *buffer, int len, int flags);
    // Reliable bytes copied out; -2 not connected.
    int Recv(void *buffer, int len);
    void OnDataReliablePdu(const uint8_t *payload, int len);
    void OnDataUnreliablePdu(const uint8_t *payload, int len);
    void OnUnreliableACK(const uint8_t *payload, int len);
    void OnLostPktReport(const uint8_t *payload, int len);
    // The socket is writable again.
    void OnWrite();
    // The worker's turn for this connection, when NextTickDue said or when woken.
    void OnThreadTick();
    // When the next turn is due (tick count into due); false when none is needed. After a
    // turn (news false) that is the earliest timed duty; after news (a PDU, a send, a read,
    // the one-second timer) also any duty the news may have made possible at once.
    bool NextTickDue(uint32_t *due, bool news);

    // --- Rate and statistics (udprlb_rate.cpp) ---
    // Takes the stats bytes of a data PDU about to be handed to OnDataReliablePdu or
    // OnDataUnreliablePdu, which judge them once the PDU proves to come from the peer.
    void HandleIncomingStatsInfo(uint8_t stats_index, uint16_t stats_volume, int datagram_size);
    void SetNewOutgoingBandwidth(uint32_t new_bw);

    // --- Options and callback ---
    void SetCallback(qrn_callback callback);
    void SetContext(uintptr_t context);
    // Clears the callback so that no event reaches the user any more (close).
    void Detach();
    // Reads the callback and context together, for raising an event outside the lock.
    void GetCallback(qrn_callback *callback, uintptr_t *context);
    uint32_t PeerIp();
    uint16_t PeerPort();
    uint32_t OutgoingBandwidth();
    uint32_t SmoothedRtt();
    // The path-finding rate with a ceiling of mbit Mbit/s, or (0) the original rate rules, from
    // now on (udprlb_path_rate.cpp). The window announced at connection time stays.
    void SetUdpRate(uint32_t mbit);

    // Whether a PDU of type from sender may concern this connection: a dig hole response comes
    // from the relay, everything else from the peer's address.
    bool IsFromPeer(const ws::sockaddr_in *sender, uint8_t pdu_type);
    // Ends a half-open connection without an event (its user never heard of it); false when it
    // is no longer half-open.
    bool EndHalfOpen();

    // For a connect request from the sender of an accepted one (its response was lost): when
    // this connection is what that request made, sends the response again and returns true.
    bool RepeatConnectResponse(const ws::sockaddr_in *from, uint16_t peer_app_id, uint16_t peer_tag);

private:
    friend class CUdpRlbEvents;
    struct CResendEntry {
        uint32_t seq;
        uint16_t len;
        uint16_t retries;
        uint32_t resend_tick;
        // Path-finding rate only: the latest transmission's stamp, and whether the chunk was
        // declared lost since (no longer counted in flight).
        CUdpRlbRateFinder::CStamp stamp;
        bool lost;
    };
    struct CSackBlock {
        uint32_t offset;
        uint32_t length;
    };
    struct CUnreliablePacket {
        uint8_t *data;
        int len;
        uint16_t seq;
        uint32_t send_tick;
        uint32_t expiry_tick;
    };

    // Every member below is called with m_lock held.
    void SetState(uint8_t state);
    int SendOwnPdu(uint8_t type, int len, const ws::sockaddr_in *to = nullptr);
    void SendDigHoleRequestPdu();
    void SendConnectRequestPdu();
    void SendConnectResponsePdu(int16_t result);
    void SendKeepAlivePdu();
    void SendCloseRequestPdu();
    bool AllocateReassembly(uint32_t peer_window);
    // The accepting side's answer; false when the request was refused (or is unanswerable).
    bool AnswerConnectRequest(const uint8_t *payload, int len, const ws::sockaddr_in *from);

    void CheckSendSlot();
    void AdvanceSlot(uint32_t now);
    // The one-second accounting periods that ended by now, with their sent byte counts.
    void ClosePeriods(uint32_t now);
    bool SlotUsedUp() const { return m_sent_cur_slot >= m_outgoing_max_chunk_size; }
    // Path-finding rate (udprlb_path_rate.cpp); each does nothing under the original rules.
    void MakeFinder(uint32_t mbit, uint32_t now);
    // A slot begins: its budget follows the pacing rate; carry is what the last one overran.
    void PaceSlot(uint32_t carry);
    // A peer that announced kRateSendWindowLimit takes kRateWideWindow from a sender with the
    // finder.
    void WidenSendWindow();
    // How far beyond ack the peer's data is kept: what the peer announced, or kRateWideWindow
    // when this side announced kRateSendWindowLimit.
    uint32_t AcceptWindow() const;
    // Reliable bytes that the window lets out now (limit when there is no finder).
    int WindowRoom(int limit) const;
    void StampSent(CResendEntry *entry, bool repeat, uint32_t now);
    void ChunkDelivered(const CResendEntry &entry, uint32_t bytes, uint32_t now);
    void ChunkDropped(const CResendEntry &entry);
    // Declares lost (and due now) the chunks sent before one that arrived, once they are
    // overdue by a part of the round trip.
    // True when one was. moved_only: only when a chunk sent later than all before has arrived.
    bool DetectLosses(uint32_t now, bool moved_only);
    // The selective entries of a data reliable PDU, each a piece of a block of at most
    // kSackPieceMax bytes, so that long blocks are reported whole over successive PDUs.
    void WriteSackPieces(CUdpRlbDataReliable *pdu);
    void NoteAppLimited();
    // The user read and left bytes unread (full: its read was filled). A user that reads only
    // so much per event would otherwise wait for the next data to arrive: with the finder, the
    // rest is announced again (event 3) a moment later.
    void NoteReadStopped(bool full);
    void ReannounceUnread(CUdpRlbEvents *events, uint32_t now);
    void CountSent(int datagram_size);
    int PrepareDataReliablePdu(uint32_t seq);
    int SendReliable(const uint8_t *buffer, int len);
    int SendUnreliable(const uint8_t *buffer, int len);
    int TrySendUnreliable(const uint8_t *buffer, int len, uint8_t attempt, uint16_t seq, bool take_seq);
    // False when the socket refused a packet (the worker then ends its turn).
    bool FlushPendingUnreliable();
    void ResendDue();
    bool MarkHoleDue(const CUdpRlbDataReliable &pdu);
    void AckIfDue();
    void SendPureAck();
    void AddToResendQueue(uint32_t seq, uint16_t len, uint16_t retries, uint32_t max_delay);
    void RemoveFromResendQueue(uint32_t seq, uint32_t len);
    int FirstResendEntryFrom(uint32_t seq);
    void SmoothRtt(uint32_t sample);
    void CompleteRttMeasurement();
    int DeliverInOrder(const uint8_t *data, int len);
    void StoreOutOfOrder(uint32_t seq, const uint8_t *data, int len);
    void RecordUnreliableSeq(uint16_t seq);
    void SendUnreliableACK(uint16_t seq);
    void SendLostPacketReport(uint8_t missing);
    void SetStatsInfo(uint8_t *buffer);
    // The ids that a PDU to the peer carries: dst, src, dst tag, src tag.
    CUdpRlbIds OwnIds() const;
    bool IdsMatch(const CUdpRlbIds &ids) const;
    void ClearUnreliable();
    // Delivery helpers (udprlb_send.cpp, udprlb_recv.cpp).
    void AddToHistory(const uint8_t *buffer, int len, uint16_t seq);
    bool ResendUnreliableDue();
    // False when the PDU acknowledges beyond what was sent and must be dropped whole.
    bool ProcessAck(const CUdpRlbDataReliable &pdu, bool *writable);
    // Bytes that became readable.
    int AcceptReliableData(uint32_t seq, const uint8_t *data, int len);
    // Judges the stats taken by HandleIncomingStatsInfo, if any (verified: true), or drops them.
    void ApplyIncomingStats(bool verified);
    // established: the PDU is the first of the peer to carry this side's tag, which makes a
    // half-open connection one the user hears of.
    bool AdmitDataPdu(bool valid, int len, const CUdpRlbIds &ids, const char *kind, bool *established);
    // The user hears of an accepted connection (event 1), before any event of the PDU that
    // established it (whose events are raised afterwards, through the callback set meanwhile).
    void RaiseAccepted();

    CQrnLock m_lock;
    qrn_callback m_callback;
    uintptr_t m_context;
    const int m_handle;
    const int m_socket;
    const int m_loop;

    uint16_t m_my_tag;
    uint16_t m_peer_tag = 0;
    uint16_t m_peer_app_id = 0;
    ws::sockaddr_in *m_relay_addr = nullptr;
    ws::sockaddr_in *m_peer_addr = nullptr;
    uint8_t m_state = urlb::kStateNew;
    uint8_t m_attempts = 0;
    uint32_t m_state_time = 0;
    uint32_t m_last_send_time = 0;
    uint32_t m_last_recv_time = 0;

    // Send side.
    qrn_cirwin *m_send_window;  // reliable bytes sent and not yet acknowledged
    uint32_t m_send_base = 0;   // stream offset of the send window's first byte
    qrn_array *m_resend_queue;  // CResendEntry, sorted by seq
    uint32_t m_resend_timeout = urlb::kInitialResendTimeout;
    uint32_t m_rtt = 0;  // smoothed, 0 before the first sample
    uint8_t m_rtt_state = urlb::kRttIdle;
    uint32_t m_rtt_send_tick = 0;
    uint32_t m_rtt_send_seq = 0;
    bool m_send_blocked = false;
    bool m_want_write = false;

    // Receive side.
    uint32_t m_ack = 0;          // next byte expected from the peer
    qrn_cirwin *m_recv_window;   // in order, not yet read by the user
    uint8_t *m_reassembly = nullptr;  // byte i holds stream offset m_ack + i
    uint32_t m_peer_window = 0;
    uint32_t m_announced_window = urlb::kConnectWindow;  // this side's, in the handshake
    qrn_array *m_sack_list;  // CSackBlock beyond m_ack: sorted, disjoint, not touching
    uint16_t m_sack_rotation = 0;
    bool m_ack_pending = false;
    bool m_ack_now = false;           // a new hole was found: acknowledge without delay
    uint32_t m_unacked_bytes = 0;     // in-order bytes since the last acknowledgement
    uint32_t m_last_ack_tick = 0;

    // Send slots.
    uint16_t m_slot_length = urlb::kSlotLength;
    uint32_t m_outgoing_max_chunk_size = urlb::kInitialSlotBudget;
    uint32_t m_sent_cur_slot = 0;
    uint32_t m_slot_end = 0;

    // Unreliable packets.
    uint16_t m_next_unreliable_seq = 0;
    qrn_array *m_pending_unreliable;  // CUnreliablePacket waiting for budget (seq unused)
    qrn_array *m_unreliable_history;  // CUnreliablePacket sent, awaiting its ACK
    uint32_t m_unreliable_resend_timeout = urlb::kInitialUnreliableResendTimeout;
    bool m_loss_flags[2][urlb::kLossReportBlock] = {};
    uint16_t m_loss_block_base = 0;
    int m_loss_block = 0;

    // Rate and statistics.
    uint32_t m_outgoing_bw = urlb::kInitialBandwidth;
    uint32_t m_prev_bw = urlb::kNoPreviousBandwidth;
    uint8_t m_cur_sec_idx = 0;
    uint32_t m_cur_sec_sent = 0;
    uint32_t m_sent_history[urlb::kSecondsTracked] = {};
    uint32_t m_sec_start = 0;
    uint8_t m_peer_sec_idx = 0;
    uint32_t m_peer_sec_recv = 0;
    uint8_t m_last_recv_sec_idx = urlb::kInitialReportedSecond;
    uint32_t m_last_sec_recv = 0;
    // The path-finding rate, when chosen: it replaces the rate rules above and marks chunks
    // lost by what later ones show rather than by timers alone.
    CUdpRlbRateFinder *m_finder = nullptr;
    uint32_t m_rack_tick = 0;    // latest transmission among the chunks that arrived
    bool m_rack_known = false;
    bool m_rack_moved = false;   // m_rack_tick moved since the last walk
    uint32_t m_sack_piece = 0;   // bytes of the current block already reported
    bool m_reannounce = false;   // unread bytes are to be announced again at m_reannounce_tick
    uint32_t m_reannounce_tick = 0;
    // Stats bytes of the data PDU being dispatched, until its ids are checked.
    bool m_in_stats_pending = false;
    uint8_t m_in_stats_index = 0;
    uint16_t m_in_stats_volume = 0;
    int m_in_stats_size = 0;

    uint8_t m_send_buffer[urlb::kMaxDatagram] = {};

    // Closing (udprlb_close.cpp). What a closing step decided under the lock, carried out
    // once it is released.
    struct CCloseOutcome {
        bool end = false;
        bool raise_closed = false;   // event 5 to the user
        bool all_acknowledged = false;
        bool remember = false;       // the peer's close request came: answer its repeats
        qrn_callback notice = nullptr;
        uintptr_t notice_context = 0;
        int notice_result = urlb::kCloseNotDelivered;
        CUdpRlbIds ids;
        ws::sockaddr_in peer{};
        int answers = 0;
        uint32_t answer_tick = 0;
    };
    void CloseStep(uint32_t now, CCloseOutcome *out);
    void DrainStep(uint32_t now, CCloseOutcome *out);
    void EndClosing(int notice_result, bool remember, CCloseOutcome *out);
    void TakeNotice(int result, CCloseOutcome *out);
    void AnswerCloseRequest(uint32_t now);
    void FinishClose(const CCloseOutcome &out);
    uint32_t m_close_tick = 0;       // the user's close, or the peer's close request
    uint32_t m_close_sent_tick = 0;  // this side's last close request
    bool m_close_sent = false;
    bool m_peer_closed = false;      // the peer's close request has come
    bool m_acked_at_end = false;     // every byte was acknowledged when the peer's close ended it
    bool m_user_closed = false;
    int m_close_answers = 0;         // answers to the peer's close requests
    uint32_t m_close_answer_tick = 0;
    qrn_callback m_close_notice = nullptr;
    uintptr_t m_close_notice_context = 0;

    // Lifecycle (udprlb_connection.cpp).
    // Ends the connection and, if this caller ended it, raises event with p1. No lock held.
    void EndWithEvent(int event, uintptr_t p1);
    bool m_accepted = false;  // made by a connect request on a listening socket
};

#endif
