// VSOCK: the socket layer's face. Upper layers hold socket handles (small non-zero numbers)
// and never a descriptor. Every function that takes a handle returns 3 (sock::kErrUnknownHandle)
// for a handle not in the table, also send, recv, sendto and recvfrom.
//
// Events reach an owner's callback on the event loop that holds the socket (one loop unless
// set_loops raises it), never with the VSOCK lock held: callback(ctx, event, handle, param, 0,
// extra); see sock_defs.h.
#ifndef QRN_SOCKET_SOCKCLI_H
#define QRN_SOCKET_SOCKCLI_H

#include <stdint.h>

#include "platform/winsock.h"
#include "qrnlibl/qrn_callback.h"

namespace VSOCK {

// 0 on success or when already started; 1 when Windows Sockets cannot start; 2 on a wrong version.
int startup();
// Stops the socket thread, closes every socket and releases Windows Sockets. Returns 0.
int shutdown();

// type 0 TCP, 1 UDP (put into the read set at once). Returns the handle, or -1, also when no
// socket can be made (out of descriptors: an error line with 10024).
int socket(int type, qrn_callback callback, uintptr_t ctx);
int bind(int handle, const ws::sockaddr_in *address);
// 4 unless the socket is a fresh TCP socket; otherwise the listen result (0 or -1).
int listen(int handle);
// 4 unless the socket is a fresh TCP socket; otherwise 0 (outcome as event 2) or -1.
int connect(int handle, const ws::sockaddr_in *address);
// 0, or 3 for an unknown handle or one already closing. No event follows.
int close(int handle);
// Bytes, 0 for would-block (send, recv, sendto), negative on failure.
int send(int handle, const void *buffer, int length, int flags);
int recv(int handle, void *buffer, int length, int flags);
int sendto(int handle, const void *buffer, int length, int flags, const ws::sockaddr_in *address);
// Negative also on would-block. *out_address points to an address valid until this thread's next
// recvfrom or accept.
int recvfrom(int handle, void *buffer, int length, int flags, ws::sockaddr_in **out_address);
// The waiting datagrams, up to count (at most ws::kMaxDatagramBatch), in one system call: how
// many were read (each with its length and sender; a length of -1 was too long and is lost),
// 0 when none waits, negative on failure.
int recvfrom_batch(int handle, ws::datagram *batch, int count);
// Options 6 peer ip, 7 peer port (accepted sockets), 8 local ip, 9 local port (host order).
int getsockopt(int handle, int option, void *out, int length);
// Options 101 callback, 102 callback context (a uintptr_t value).
int setsockopt(int handle, int option, uintptr_t value, int length);

// The event loops. set_loops starts loops up to n (1 .. kMaxLoops; -1 otherwise); sockets made
// from then on are spread over the first n, and a loop once started runs until shutdown.
int set_loops(int n);
int loops();
// The loop of the calling thread, -1 off the loops.
int current_loop();
// Cuts a loop's wait short, from any thread.
void wake_loop(int loop);
// Timed work of the layer above, run by every loop after each pass on its own thread: the
// hook returns the library milliseconds until it next needs a pass on that loop, or -1. Once
// set_loop_hook(nullptr, 0) returns, the previous hook runs on no loop (unless the caller is
// inside it); it must be called with no lock that the hook may take.
using loop_hook = int (*)(uintptr_t ctx, int loop);
void set_loop_hook(loop_hook hook, uintptr_t ctx);

// The local address (host order) through which the routing table reaches ip (host order);
// 0 for ip 0 or when no interface is found.
uint32_t get_local_ip(uint32_t ip);
// 127.0.0.1 in host order.
uint32_t get_local_ip();

// These two fill one address per thread and return it; copy it before this thread calls either
// again. resolve_address gives null for a name that does not resolve; a null host is any address.
ws::sockaddr_in *resolve_address(const char *host, uint16_t port);
ws::sockaddr_in *build_address(uint32_t ip, uint16_t port);
uint32_t get_address_ip(const ws::sockaddr_in *address);    // host order, 0 for null
uint16_t get_address_port(const ws::sockaddr_in *address);  // host order, 0 for null
ws::sockaddr_in *copy_address(const ws::sockaddr_in *address);  // null for null
void delete_address(ws::sockaddr_in *copy);
int compare_address(const ws::sockaddr_in *a, const ws::sockaddr_in *b);  // 0 when equal

}  // namespace VSOCK

#endif
