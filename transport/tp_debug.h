// Test-only views of the transport layer's state. Not for production code.
#ifndef QRN_TRANSPORT_TP_DEBUG_H
#define QRN_TRANSPORT_TP_DEBUG_H

namespace tp_debug {

// CTpConnection objects that exist (constructed and not yet destroyed).
int live_connections();
// Handles in the transport table.
int table_count();
// Bytes of storage that the connection's send window holds, or -1 for an unknown handle.
int window_storage(int handle);

}  // namespace tp_debug

#endif
