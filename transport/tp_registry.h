// The transport table (connections by handle), the listener table, and the two entry points
// through which the rest of the library reaches a connection: the multi-mode callback and the
// one-second timer.
//
// The table holds one reference on each connection in it. A lookup adds a reference under
// the table lock, and a connection leaves the table (handle freed) before the table's
// reference is dropped, so a lookup never meets an object that is being destroyed. The table
// lock is never taken with a connection's lock held.
#ifndef QRN_TRANSPORT_TP_REGISTRY_H
#define QRN_TRANSPORT_TP_REGISTRY_H

#include <stdint.h>

#include "qrnlibl/qrn_callback.h"

class CTpConnection;

// Creates the tables and starts the timer, once; true when they exist (now or before).
bool tp_registry_create();
bool tp_registry_ready();

// Appends a listener record; its index, or -1.
int tp_registry_add_listener(qrn_callback callback, uintptr_t user_data);

// A new connection in a new slot (the table's reference); its handle, or 0 when the table is
// full or missing. *conn receives the object.
int tp_registry_new_connection(qrn_callback callback, uintptr_t user_data,
                               CTpConnection **conn);
// The connection of a handle (its 16 low bits count) with one reference added, or null.
CTpConnection *GetTpConn(uintptr_t handle);
// Frees the connection's handle and drops the table's reference, if the slot still holds it;
// true for the one caller that did. The caller holds a reference of its own and no lock.
bool tp_registry_remove(CTpConnection *conn);
// Frees the handle if the slot still names conn, without touching references (destructor).
void tp_registry_forget(CTpConnection *conn);
// Live connections in the table.
int tp_registry_count();

// Every multi-mode event of a listener (user_data: listener index) or of a connection
// (user_data: transport handle). 0; -1 for an accept on an unknown listener.
int qrn_tp_callback(uintptr_t user_data, int msg, uintptr_t handle, uintptr_t p1,
                    uintptr_t p2, uintptr_t p3);
// The one-second tick: cb(0, 100, 0, now, 0, 0). Returns 0.
int qrn_tp_timer_callback(uintptr_t user_data, int msg, uintptr_t handle, uintptr_t now,
                          uintptr_t p2, uintptr_t p3);

#endif
