// TCP paths that a listener accepted and whose connect PDU has not come yet. Each one holds a
// socket and a connection object until the PDU comes or its deadline passes, so a client that
// opens connections and stays silent could fill the server; they are bounded per listener and
// per source address. Over a bound, a new path displaces the oldest pending one if that one
// has had time to send its PDU; otherwise the new one is refused, so that a burst of real
// clients never pushes out one whose PDU is on its way.
//
// The table's mutex is a leaf: it is taken under a connection's lock and nothing is taken
// under it.
#ifndef QRN_RDTP_RDTP_PENDING_H
#define QRN_RDTP_RDTP_PENDING_H

#include <stdint.h>

class CRdtpConnection;

// A pending path that a newer one displaced: the connection and the handle it had then.
struct CRdtpDisplaced {
    const CRdtpConnection *conn = nullptr;
    int handle = 0;
};

struct CRdtpPendingAdmission {
    bool admitted = true;
    CRdtpDisplaced displaced;  // empty unless a pending path made room
};

// Records conn (handle) as pending at listener from source (host order), at tick now. When
// the source, or else the listener, is already at its bound, its oldest pending path is taken
// out of the table and returned for the caller to close if it has waited kPendingTcpGraceMs;
// otherwise conn is not admitted and the caller closes it.
CRdtpPendingAdmission rdtp_pending_add(int listener, uint32_t source, const CRdtpConnection *conn, int handle,
                                       uint32_t now);
// Takes conn out of the table (its connect PDU came, or it is going); nothing if not in it.
void rdtp_pending_remove(const CRdtpConnection *conn);

namespace rdtp_debug {
// Pending paths at every listener: all, or those from one source (host order).
int pending_paths();
int pending_paths_from(uint32_t source);
}  // namespace rdtp_debug

#endif
