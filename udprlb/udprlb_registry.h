// The layer's process-wide state beyond udprlb_module.h, for the API and the dispatcher: the
// listener table, the shared socket, the creation of connections and walks over the registry.
//
// Locks: the registry lock guards the handle table and the listener table. A connection's lock
// may be taken under it, never the reverse; the worker's lock may be taken under either.
// Nothing here calls the user.
#ifndef QRN_UDPRLB_UDPRLB_REGISTRY_H
#define QRN_UDPRLB_UDPRLB_REGISTRY_H

#include <stdint.h>

#include <functional>

#include "qrnlibl/qrn_callback.h"
#include "qrnlibl/qrn_lock.h"

class CUdpRlbConnection;

// What an accepted connection takes from the listen that made its socket.
struct CUdpRlbListener {
    qrn_callback callback;
    uintptr_t context;
    uint16_t listen_id;  // the record's index, and the listening sockets' callback context
};

CQrnLock &udprlb_registry_lock();

// Appends a listener record; its listen id, or -1.
int udprlb_add_listener(qrn_callback callback, uintptr_t context);
bool udprlb_find_listener(uintptr_t listen_id, CUdpRlbListener *out);

// The socket of outgoing connections; 0 while none exists.
int udprlb_shared_socket();
void udprlb_set_shared_socket(int socket);
// The shared socket, made (bound to any address, port 0) when there is none; 0 on failure.
int udprlb_get_or_make_shared_socket();

// Records the local port of a socket of the layer, to which it never relays.
void udprlb_note_own_socket(int socket);

// A new connection in a fresh registry slot (and, with in_worker, in the worker's list), with
// the registry's (and the worker's) references and one for the caller; null when the registry
// already holds max_connections or no handle is free. An accepted connection joins the worker
// only once established, so that half-open ones do not slow every other connection's turn.
CUdpRlbConnection *udprlb_new_connection(qrn_callback callback, uintptr_t context, int socket,
                                         int max_connections, bool in_worker);

// Visits every connection in handle order, each on a reference of its own and with no lock
// held during the visit.
void udprlb_for_each_connection(const std::function<void(CUdpRlbConnection *)> &visit);

// The one callback of the layer's sockets (context: the listen id, 0 for the shared socket made
// by connect) and of its one-second timer (event 100).
int qrn_udprlb_callback(uintptr_t context, int event, uintptr_t socket, uintptr_t p1, uintptr_t p2,
                        uintptr_t p3);

#endif
