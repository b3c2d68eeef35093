// The socket layer's module state (one per process) and its internal operations: the three
// socket sets of the socket thread, the socket table, and the wake-up of the socket thread.
//
// The VSOCK lock guards the sets, the highest-socket value, the table and the internal
// handles; it is re-entrant. Lock order: upper layers -> VSOCK lock -> a VBaseSocket's own
// lock. The VSOCK lock is never held during select, check_event or a callback.
//
// A socket enters a set only while its object is registered and its descriptor is open
// (VBaseSocket::sets_closed is false), and leaves every set before its descriptor is closed,
// so that a set never names a descriptor number that now belongs to someone else.
#ifndef QRN_SOCKET_SOCK_SETS_H
#define QRN_SOCKET_SOCK_SETS_H

#include <stdint.h>

#include <atomic>
#include <mutex>

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
    ws::fd_set read_set;
    ws::fd_set write_set;
    ws::fd_set except_set;
    int highest = 0;  // one more than the highest socket put into the read set
    int internal_listener = 0;
    int internal_client = 0;
    int internal_server = 0;
    uint64_t generation = 0;     // last descriptor generation handed out
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

// Also wakes the socket thread, so that a select under way takes the socket in.
void vsock_add_to_read_set(VBaseSocket *sock);
void vsock_add_to_write_set(VBaseSocket *sock);
void vsock_add_to_except_set(VBaseSocket *sock);
void vsock_remove_from_write_set(VBaseSocket *sock);
void vsock_remove_from_except_set(VBaseSocket *sock);
// Takes the socket out of all three sets for good (it does not enter a set again).
void vsock_remove_from_all_sets(VBaseSocket *sock);

// Cuts the socket thread's select short with one byte on the internal client, unless the
// internal client is the socket that just entered a set.
void vsock_wake(SOCKET just_added);

// For the socket thread: a copy of the three sets, and the generation at the time of the copy.
void vsock_copy_sets(ws::fd_set *read, ws::fd_set *write, ws::fd_set *except, int *highest,
                     uint64_t *generation);
// Removes every dead socket of the live set that corresponds to the given one (a pointer to
// one of the module's three sets), forgetting its descriptor; true when the internal client
// was among them. Probes each socket with a zero time-out.
bool vsock_remove_not_socket(ws::fd_set *live);

#endif
