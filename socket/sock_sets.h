// The socket layer's module state (one per process) and its internal operations: the three
// socket sets of the socket thread, the socket table, and the wake-up of the socket thread.
//
// The sets have no size: each socket records which of them it is in (VBaseSocket::interest),
// and the socket thread's poller is told of every change as it happens, so that a wait never
// rebuilds anything. A socket that enters a set while the thread waits is waited on at once.
// The poller reports a socket under a key made of its handle and its descriptor generation;
// a report whose socket has since been closed, or whose handle or descriptor number now
// belongs to a later socket, is dropped.
//
// The VSOCK lock guards the sets, the table and the interest and generation of every socket;
// it is re-entrant. Lock order: upper layers -> VSOCK lock -> a VBaseSocket's own lock. The
// VSOCK lock is never held during the wait, check_event or a callback.
//
// A socket enters a set only while its object is registered and its descriptor is open
// (VBaseSocket::sets_closed is false), and leaves every set before its descriptor is closed,
// so that the poller never holds a descriptor number that now belongs to someone else.
#ifndef QRN_SOCKET_SOCK_SETS_H
#define QRN_SOCKET_SOCK_SETS_H

#include <stdint.h>

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/fd_reserve.h"
#include "platform/poller.h"
#include "platform/winsock.h"
#include "qrnlibl/qrn_handle_mgr.h"
#include "qrnlibl/qrn_lock.h"
#include "socket/sockthread.h"

class VBaseSocket;

struct CSockModule {
    CSockModule();
    // Stops the socket thread before anything it uses goes away.
    ~CSockModule();
    CSockModule(const CSockModule &) = delete;
    CSockModule &operator=(const CSockModule &) = delete;

    CQrnLock lock;  // the VSOCK lock
    qrn_handle_mgr *table = nullptr;
    ws::CSocketPoller poller;
    ws::CDescriptorReserve reserve;  // see VBaseSocket::accept
    int read_count = 0;              // sockets in the read set (and so on)
    int write_count = 0;
    int except_count = 0;
    uint64_t generation = 0;     // last descriptor generation handed out
    // Proxied connects that must be tunnels by then: handle and deadline (library clock).
    std::vector<std::pair<int, uint32_t>> handshakes;
    std::atomic<bool> started{false};
    std::mutex lifecycle;        // serialises startup and shutdown
    VSockThread thread;
};

CSockModule &vsock_module();
CQrnLock &vsock_lock();

// Registers the object under a new handle (also stored in the object); 0 when none is free.
int vsock_register(VBaseSocket *sock);
// Frees the object's handle; true when it was this object's and is now free, so that the
// caller may release the table's reference.
bool vsock_free_handle(VBaseSocket *sock);
// The object of a handle with a reference added, or null.
VBaseSocket *vsock_lookup(int handle);
// The next descriptor generation (the VSOCK lock must be held).
uint64_t vsock_next_generation();

// False when the socket could not enter the set (an error line says why).
bool vsock_add_to_read_set(VBaseSocket *sock);
bool vsock_add_to_write_set(VBaseSocket *sock);
bool vsock_add_to_except_set(VBaseSocket *sock);
void vsock_remove_from_write_set(VBaseSocket *sock);
void vsock_remove_from_except_set(VBaseSocket *sock);
// Takes the socket out of all three sets for good (it does not enter a set again).
void vsock_remove_from_all_sets(VBaseSocket *sock);

// The proxied connect of handle must have become a tunnel by due (library clock).
void vsock_watch_handshake(int handle, uint32_t due);
// For the socket thread: the handles whose deadline has come, taken off the watch; each may
// have ended or been reused meanwhile (VBaseSocket::check_handshake_deadline checks).
std::vector<int> vsock_take_due_handshakes(uint32_t now);

// Cuts the socket thread's wait short.
void vsock_wake();

// For the socket thread: the socket that a poller report names, with a reference added, and
// the sets in which select would have reported it (ws::kWait* bits); null when the socket
// is gone or the report was about an earlier socket.
VBaseSocket *vsock_reported_socket(const ws::poll_report &report, unsigned *sets);

#endif
