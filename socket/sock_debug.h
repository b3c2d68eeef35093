// Test-only views of the socket layer's state. Not for production code.
#ifndef QRN_SOCKET_SOCK_DEBUG_H
#define QRN_SOCKET_SOCK_DEBUG_H

#include <stdint.h>

#include "platform/winsock.h"

namespace sock_debug {

// The descriptor behind a handle; INVALID_SOCKET for an unknown handle.
SOCKET raw_socket(int handle);
// The state of a handle's socket; -1 for an unknown handle.
int state(int handle);
// True when the calling thread holds the VSOCK lock.
bool vsock_lock_held();
// Sockets in each of the socket thread's sets.
int read_set_count();
int write_set_count();
int except_set_count();
bool in_read_set(int handle);
bool in_write_set(int handle);
// Sockets in the socket table.
int socket_count();
// The socket thread's passes that delivered events so far.
uint64_t thread_passes();

}  // namespace sock_debug

#endif
