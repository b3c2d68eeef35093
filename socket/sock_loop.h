// CSockLoop: one event loop of the socket layer. Its thread waits on its poller, delivers the
// events of the sockets that the poller holds, hands on the sockets given to other loops, and
// then gives the layer above its turn for timed work (the loop hook), all on that one thread.
#ifndef QRN_SOCKET_SOCK_LOOP_H
#define QRN_SOCKET_SOCK_LOOP_H

#include <atomic>
#include <mutex>
#include <vector>

#include "platform/poller.h"
#include "socket/sockthread.h"

struct CSockLoop {
    ws::CSocketPoller poller;
    VSockThread thread;
    // Handles of sockets held by this poller and given to another loop; guarded by the VSOCK
    // lock, emptied by this loop's thread at the end of its pass.
    std::vector<int> moves;
    std::atomic<bool> has_moves{false};  // spares the lock on a pass with nothing to move
    // Held by the thread while it runs the hook, so that a hook taken away is never running.
    std::mutex hook_lock;
};

// The loop whose thread calls this, or -1 off the loops; set by the loop's thread.
int vsock_current_loop();
void vsock_set_current_loop(int loop);

// For a loop's thread, at the end of its pass: moves the sockets that were given to other
// loops from this loop's poller to theirs.
void vsock_apply_moves(int loop);
// For a loop's thread: runs the hook of the layer above; the library milliseconds until the
// hook next needs a pass, or -1.
int vsock_run_loop_hook(int loop);

#endif
