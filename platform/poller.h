// The socket thread's wait on every socket at once, over epoll(7).
//
// Each socket is registered once with what it waits for, in the terms of the Winsock sets
// (read, write, exception), and its registration is changed as that changes; a wait costs
// what is ready, not how many sockets there are, and no descriptor number is too high.
// Readiness is level-triggered, as select reports it: a socket stays ready until its cause
// is consumed. A key given at registration comes back with every report of the socket, so
// that the caller can tell a report about a socket it closed meanwhile from one about a later
// socket that got the same descriptor number.
//
// change() may be called from any thread while another waits; a registration that makes a
// socket ready ends a wait under way. A socket must be unregistered before its descriptor is
// closed: a descriptor shared with another process (after fork) stays registered otherwise.
#ifndef QRN_PLATFORM_POLLER_H
#define QRN_PLATFORM_POLLER_H

#include <stdint.h>

#include <atomic>

#include "platform/winsock.h"

namespace ws {

// What a socket waits for: the Winsock sets it would be in.
constexpr unsigned kWaitRead = 1u;
constexpr unsigned kWaitWrite = 2u;
constexpr unsigned kWaitExcept = 4u;
constexpr unsigned kWaitAll = kWaitRead | kWaitWrite | kWaitExcept;

// One ready socket: its key and what the system reported (for ready_sets only).
struct poll_report {
    uint64_t key;
    uint32_t raw;
};

class CSocketPoller {
public:
    CSocketPoller() = default;
    ~CSocketPoller();
    CSocketPoller(const CSocketPoller &) = delete;
    CSocketPoller &operator=(const CSocketPoller &) = delete;

    // 0, or SOCKET_ERROR with the Winsock error (WSAEMFILE when out of descriptors).
    int open();
    // Not while another thread waits or changes a registration.
    void close();
    bool is_open() const { return m_epoll.load(std::memory_order_acquire) >= 0; }

    // Key 0 is the poller's own and must not be given.
    // Moves the socket's registration from what it waited for (0: not registered) to what it
    // waits for now (0: unregistered). 0, or SOCKET_ERROR with the Winsock error.
    int change(SOCKET s, uint64_t key, unsigned from, unsigned to);
    // Waits up to timeout_ms (negative: without limit) for ready sockets or a wake-up; fills at
    // most max reports. The count, 0 on time-out, wake-up or signal, or SOCKET_ERROR.
    int wait(poll_report *reports, int max, int timeout_ms);
    // Ends the current or next wait early; safe from any thread, also before open.
    void wake();

private:
    std::atomic<int> m_epoll{-1};
    std::atomic<int> m_wake{-1};  // an eventfd, registered under key 0
};

// The sets in which select would report a socket that waits for `interest` and of which the
// system reported `raw` (kWait* bits). Every report lands in some set the socket waits for,
// so that a caller who serves what it is told never sees the same report forever:
// - read: data, a pending connection, end of stream or an error;
// - write: room to send; an error too, unless the socket also waits for an exception, where
//   an error means a failed connect and is reported there alone;
// - exception: urgent data or an error; a hang-up too when the socket waits for nothing else.
unsigned ready_sets(unsigned interest, uint32_t raw);

}  // namespace ws

#endif
