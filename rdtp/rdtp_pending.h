// TCP paths that a listener accepted and whose connect PDU has not come yet. Each one holds a
// socket and a connection object until the PDU comes or its deadline passes, so a client that
// opens connections and stays silent could fill the server; they are bounded per listener and
// per source address, and a new path displaces the oldest one over the bound.
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

// Records conn (handle) as pending at listener from source (host order). When the source, or
// else the listener, is already at its bound, its oldest pending path is taken out of the
// table and returned for the caller to close; otherwise the result is empty.
CRdtpDisplaced rdtp_pending_add(int listener, uint32_t source, const CRdtpConnection *conn, int handle);
// Takes conn out of the table (its connect PDU came, or it is going); nothing if not in it.
void rdtp_pending_remove(const CRdtpConnection *conn);

namespace rdtp_debug {
// Pending paths at every listener: all, or those from one source (host order).
int pending_paths();
int pending_paths_from(uint32_t source);
}  // namespace rdtp_debug

#endif
