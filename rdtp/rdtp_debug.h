// Test-only views of the multi-mode layer's state. Not for production code.
#ifndef QRN_RDTP_RDTP_DEBUG_H
#define QRN_RDTP_RDTP_DEBUG_H

#include <vector>

namespace rdtp_debug {

// The live handles of the table, in ascending order.
std::vector<int> handles();
// A connection's state, ordinal and gathered PDU bytes; -1 for an unknown handle.
int state(int handle);
int ordinal(int handle);
int pdu_length(int handle);
long long client_tag(int handle);
// Connection objects not yet destroyed (in the table or still referenced).
int live_connections();

}  // namespace rdtp_debug

#endif
