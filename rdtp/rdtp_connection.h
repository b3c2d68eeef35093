// CRdtpConnection: one logical connection between a client and a server, over a reliable-UDP
// connection, a TCP socket, an HTTP tunnel, or TCP and UDP side by side.
//
// Threads and locks. Handlers run on the thread of the lower layer that reports and on the
// timer thread, each on a counted reference. m_lock guards every field; a handler holds it
// while it reads or changes them, and also around its calls into the lower layers, which
// deliver no event from within those calls. It is never held while calling the upper layer,
// while taking the registry lock (lookups, removal from the handle table), or while calling
// another connection. So a handler decides under the lock and carries out the removal and
// the upper messages afterwards (CRdtpAftermath).
#ifndef QRN_RDTP_RDTP_CONNECTION_H
#define QRN_RDTP_RDTP_CONNECTION_H

#include <stdint.h>

#include <atomic>

#include "platform/winsock.h"
#include "qrnlibl/qrn_callback.h"
#include "qrnlibl/qrn_lock.h"
#include "qrnlibl/qrn_notes.h"
#include "qrnlibl/qrn_string.h"
#include "rdtp/rdtp_defs.h"
#include "rdtp/rdtp_pdu.h"
#include "rdtp/rdtp_pending.h"

// What a handler carries out once it has released the connection's lock: first the removal
// from the handle table, then the upper messages in the order they were posted.
class CRdtpAftermath : public CQrnNotes {
public:
    void Remove() { m_remove = true; }
    bool remove() const { return m_remove; }

private:
    bool m_remove = false;
};

class CRdtpConnection : public CQrnObject {
public:
    CRdtpConnection(int handle, qrn_callback callback, uintptr_t user_data);
    ~CRdtpConnection() override;

    int handle() const { return m_local_handle; }

    // Client: 0 an attempt is under way, 1 the first attempt failed at once, 2 no port given.
    int Connect(const char *server_ip, int udp_port, int tcpip_port, int http_port,
                const char *udp_proxy_ip, int udp_proxy_port);

    // Lower-layer events; from is rdtp::kFromUdp, kFromTcp or kFromHttp, handle the lower handle.
    void OnConnect(int from, int handle);
    // Server: the address (host order) the accepted path came from, which failed resumptions
    // are counted against.
    void SetSource(uint32_t source);
    // The event loop of the TCP path that made this server object: every later TCP path of
    // the connection is handed to it, so that one thread carries the connection's events.
    void SetLoop(int loop);
    // cause: why a TCP path failed (null or empty when not known).
    void OnConfirm(int from, int handle, int result, const char *cause = nullptr);
    void OnRead(int from, int handle, int length, int flags, uintptr_t extra);
    void OnWrite(int from, int handle);
    void OnClose(int from, int handle, bool all_acknowledged);
    void OnStatus(int from, int handle, int type, int value);
    void OnTimer();
    // The race's own timer (rdtp_race.cpp): the next kind when its time has come.
    void OnRaceTimer();
    // A racing client's path no longer gets through: it is given up for a new race.
    void DropPath();

    // Server, called by a newly accepted object on the one whose logical connection its path
    // belongs to. Each checks the request against this connection and takes the path only if
    // it fits; false leaves the path with the caller. The tag and ordinal of this connection
    // come back for the caller's trace.
    bool OnReconnect(int from, int handle, uint32_t cli_tag, uint16_t ordinal, uint32_t *my_cli_tag,
                     uint16_t *my_ordinal);
    bool OnUdpConnectRequest(int udp_handle, const CRdtpConnectPdu &pdu);

    // Server, on a TCP path just accepted by the listener at index listener from source (host
    // order): counts it as pending until its connect PDU comes. Returns the pending path that
    // it displaced, if any, for the caller to close with Displace; when it is not admitted,
    // this object is detached and the caller removes it from the handle table.
    CRdtpPendingAdmission BeginPendingTcp(int listener, uint32_t source);
    // Gives up a pending path that a newer one displaced; true when the caller must remove
    // this object from the handle table (false: its PDU came meanwhile, or it is going).
    bool Displace();

    // The data path (the upper layer's flags pass on as the path choice says).
    int Send(const void *buffer, int length, int flags);
    int Recv(void *buffer, int length, int flags);
    int Option(int option, uintptr_t value);

    // qrn_rdtp_close: the upper layer hears nothing more, and no handler acts any more.
    void MarkClosed() { m_closed.store(true, std::memory_order_release); }
    // After MarkClosed: the reliable-UDP path (unless any_mode, only when the stream travels on
    // it) for the caller to close, or 0; the object no longer owns it.
    // *delivered: the stream's last path ended with the peer's close after it had acknowledged
    // every byte handed to this layer, so nothing is left for a new path to carry.
    int TakeUdpPath(bool any_mode, bool *delivered);
    // After MarkClosed: in the tunnel's mode, its path (0 while there is none) for the caller
    // to close, and *tunnel set; the object no longer owns it.
    int TakeTunnelPath(bool *tunnel);

    // Test views (rdtp_debug.h).
    uint8_t DebugState();
    uint16_t DebugOrdinal();
    uint16_t DebugPduLength();
    uint32_t DebugClientTag();
    static int LiveObjects();

private:
    struct Handoff;

    // Every member below is called with m_lock held unless it says otherwise.
    bool Inactive() const { return m_detached || m_closed.load(std::memory_order_acquire); }
    bool Detach();
    void EndPendingTcp();
    bool IsServer() const { return m_server_ip.empty(); }
    void SetState(uint8_t state);
    int TryConnect();
    int *PathSlot(int from);
    bool IsCurrentPath(int from, int handle);
    bool HasPath() const { return m_udp_handle != 0 || m_tcp_handle != 0 || m_http_handle != 0; }
    void ClosePath(int from);
    void CloseAllPaths();
    void TakePath(int from, int handle, bool set_callback);
    int ConnectUdp();
    // Starts a path of kind from in place of any it holds; false when it did not start.
    bool StartPath(int from);
    bool StartTcp();

    // The race (rdtp_race.cpp).
    int StartRace();
    bool StartNextKind();
    bool AdvanceRace(CRdtpAftermath &after);
    void ArmRaceTimer();
    void WinRace(int from);
    void LoseRace(CRdtpAftermath &after);
    int DataPath(int flags) const;
    int SendOn(int from, const void *buffer, int length, int flags);
    int RecvOn(int from, void *buffer, int length, int flags);
    int SendPath(const void *buffer, int length, int flags) { return SendOn(DataPath(flags), buffer, length, flags); }
    int RecvPath(void *buffer, int length, int flags) { return RecvOn(DataPath(flags), buffer, length, flags); }
    // A connect PDU on the path of from (kFromUdp, kFromTcp or kFromHttp); a response takes
    // the path choice.
    void SendConnectPdu(const CRdtpConnectPdu &pdu, int from);
    void SendConnectRequestPdu(int from);
    void SendConnectResponsePdu(uint32_t serv_tag, uint32_t cli_tag, uint16_t conn_id, uint16_t ordinal,
                                uint8_t conn_mode);
    void SendRefusal();
    bool Resumable(uint32_t cli_tag, uint16_t ordinal) const;
    void LosePath(int from, CRdtpAftermath &after);
    void FailConfirm(int from, CRdtpAftermath &after);
    void FailFirstConnect(CRdtpAftermath &after);
    void KeepConnectError();
    void GiveUpTcp(CRdtpAftermath &after);
    // Client, reconnecting: the next attempt after a pause, and the timer's turn (the attempt
    // that is due, or the end once no path came in time).
    void ScheduleRetry();
    void KeepReconnecting(CRdtpAftermath &after);

    // The connect PDU cases of OnRead.
    void OnRequest(int from, const CRdtpConnectPdu &pdu, int rest, CRdtpAftermath &after, Handoff *handoff);
    void OnResponse(const CRdtpConnectPdu &pdu, int rest, CRdtpAftermath &after);
    void OnRepeatedRequest(int rest, CRdtpAftermath &after);
    void OnUdpResponse(const CRdtpConnectPdu &pdu, int rest, CRdtpAftermath &after);
    void OnDatagram(int handle, int length, uintptr_t extra);
    void PostRest(int rest, CRdtpAftermath &after);

    // Without m_lock: the hand-over of a resuming or joining path to its connection.
    void HandOver(const Handoff &handoff);
    // Without m_lock: removal (when asked), then the upper messages.
    void Finish(const CRdtpAftermath &after);
    void Notify(int msg, uintptr_t p1 = 0, uintptr_t p2 = 0, uintptr_t p3 = 0);

    const int m_local_handle;
    qrn_callback m_callback;
    uintptr_t m_user_data;
    CQrnString m_server_ip;
    uint16_t m_udp_port = 0;
    uint16_t m_tcpip_port = 0;
    uint16_t m_http_port = 0;
    CQrnString m_udp_proxy_ip;
    uint16_t m_udp_proxy_port = 0;
    ws::sockaddr_in *m_tcp_addr = nullptr;
    uint32_t m_serv_tag = 0;
    uint32_t m_cli_tag = 0;
    uint16_t m_conn_id = 0;
    uint16_t m_ordinal = 0;
    uint8_t m_conn_mode = 0;
    uint32_t m_source = 0;
    int m_loop = -1;
    int m_bNoReconnect = 0;
    int m_bReconnecting = 0;
    bool m_all_acknowledged = false;  // see TakeUdpPath
    // Client, while reconnecting: when the path was lost, and the next attempt (due
    // m_retry_wait after m_retry_from) once the last one failed.
    uint32_t m_lost_tick = 0;
    bool m_retry_pending = false;
    uint32_t m_retry_from = 0;
    uint32_t m_retry_wait = 0;
    uint32_t m_retry_pause = rdtp::kReconnectFirstPauseMs;
    uint8_t m_state = rdtp::kStateNew;
    int m_udp_handle = 0;
    int m_tcp_handle = 0;
    int m_http_handle = 0;
    uint32_t m_last_tick;
    // Why the last TCP path failed to connect (option kOptConnectError).
    CQrnString m_connect_error;
    // A client racing its kinds of path: the kinds in the order they start, how many of them
    // the current race has started, and when the last one started.
    bool m_race = false;
    uint8_t m_race_kinds[rdtp::kRaceKindsMax] = {};
    int m_race_count = 0;
    int m_race_next = 0;
    int m_race_end = 0;          // the kinds of the current race are [m_race_next, m_race_end)
    bool m_race_any_kind = false;  // see kOptRaceAnyKind
    uint32_t m_race_tick = 0;
    uint32_t m_race_stagger = rdtp::kRaceStaggerDefaultMs;
    uint8_t m_pdu_buf[rdtp::kPduSize] = {};
    uint16_t m_pdu_len = 0;
    CQrnLock m_lock;
    // Set once a handler has decided to take this object out of the handle table.
    bool m_detached = false;
    // A TCP path accepted and counted in the pending table until its connect PDU comes.
    bool m_pending_tcp = false;
    std::atomic<bool> m_closed{false};
};

#endif
