// CUdpRlbThread: the reliable-UDP worker. It gives one connection a turn (OnThreadTick) every
// 5 ms of the library clock, round robin, for sending, acknowledgements and retransmission.
//
// m_lock guards only the list; a tick runs outside it on a reference of its own, so a
// connection removed meanwhile lives until its tick returns. The list holds one reference per
// connection.
#ifndef QRN_UDPRLB_UDPRLB_THREAD_H
#define QRN_UDPRLB_UDPRLB_THREAD_H

#include <stddef.h>

#include <vector>

#include "qrnlibl/qrn_lock.h"
#include "qrnlibl/qrn_thread.h"

class CUdpRlbConnection;

class CUdpRlbThread : public CQrnThread {
public:
    CUdpRlbThread() = default;
    ~CUdpRlbThread() override;

    int OnThreadRun() override;

    // Appends the connection and takes a reference (a connection already listed stays once).
    void AddConnection(CUdpRlbConnection *conn);
    // Removes the connection and drops the list's reference; harmless when it is absent.
    void RemoveConnection(CUdpRlbConnection *conn);
    int ConnectionCount();

private:
    // The connection whose turn it is, with a reference, or null at the end of a round.
    CUdpRlbConnection *NextTurn();

    CQrnLock m_lock;
    std::vector<CUdpRlbConnection *> m_connections;
    size_t m_index = 0;  // the next turn
};

#endif
