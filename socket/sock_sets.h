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
#include "socket/sock_defs.h"
#include "socket/sock_loop.h"
#include "socket/sockcli.h"

class VBaseSocket;

struct CSockModule {
    CSockModule();
    // Stops the socket thread before anything it uses goes away.
    ~CSockModule();
    CSockModule(const CSockModule &) = delete;
    CSockModule &operator=(const CSockModule &) = delete;

    CQrnLock lock;  // the VSOCK lock
    qrn_handle_mgr *table = nullptr;
    ws::CDescriptorReserve reserve;  // see VBaseSocket::accept
    int read_count = 0;              // sockets in the read set (and so on)
    int write_count = 0;
    int except_count = 0;
    uint64_t generation = 0;     // last descriptor generation handed out
    // Proxied connects that must be tunnels by then: handle and deadline (library clock).
    std::vector<std::pair<int, uint32_t>> handshakes;
    std::atomic<bool> started{false};
    std::mutex lifecycle;        // serialises startup and shutdown
    CSockLoop loops[sock::kMaxLoops];
    std::atomic<int> loop_count{1};  // loops that take new sockets
    int running_loops = 0;           // loops whose thread runs (under lifecycle)
    unsigned next_loop = 0;          // the round of new sockets over the loops (VSOCK lock)
    std::atomic<VSOCK::loop_hook> hook{nullptr};
    std::atomic<uintptr_t> hook_ctx{0};
};

CSockModule &vsock_module();
CQrnLock &vsock_lock();

// Registers the object under a new handle (also stored in the object) and gives it a loop:
// the calling loop's, or off the loops the next in turn. 0 when no handle is free.
int vsock_register(VBaseSocket *sock);
// Frees the object's handle; true when it was this object's and is now free, so that the
// caller may release the table's reference.
bool vsock_free_handle(VBaseSocket *sock);
// The object of a handle, or null (VSOCK lock held; no reference added).
VBaseSocket *vsock_socket_at(int handle);
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
// For a loop's thread: the handles of its sockets whose deadline has come, taken off the
// watch; each may have ended or been reused meanwhile (check_handshake_deadline checks).
std::vector<int> vsock_take_due_handshakes(int loop, uint32_t now);

// Gives the socket to loop (VSOCK lock held); the loop that holds it hands it over at the end
// of its pass. False for a loop that does not run.
bool vsock_give_to_loop(VBaseSocket *sock, int loop);
// Moves the socket from the poller that holds it to loop's, in the same sets (VSOCK lock held).
void vsock_move_poller(VBaseSocket *sock, int loop);
// The next loop in the round of new sockets (VSOCK lock held).
int vsock_next_loop();

// Cuts the wait of one loop short, or of every running loop.
void vsock_wake(int loop);
void vsock_wake_all();

// Start and stop of the loops (lifecycle held): start opens and starts the loops up to the
// loop count; stop joins every running loop's thread; close closes their pollers afterwards.
bool vsock_start_loops();
void vsock_stop_loops();
void vsock_close_loops();

// For the socket thread: the socket that a poller report names, with a reference added, and
// the sets in which select would have reported it (ws::kWait* bits); null when the socket
// is gone or the report was about an earlier socket.
VBaseSocket *vsock_reported_socket(const ws::poll_report &report, unsigned *sets);

#endif
