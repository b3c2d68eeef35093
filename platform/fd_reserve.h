// A spare descriptor held against running out of descriptors.
//
// A listener whose accept fails for want of a descriptor keeps its pending connections, and a
// level-triggered wait reports it ready again at once: the socket thread would spin and the
// clients would hang until their connect times out. With the spare given up for a moment, one
// pending connection can still be taken off the queue and closed, so that its client learns
// at once that it was refused and the listener stops being reported.
#ifndef QRN_PLATFORM_FD_RESERVE_H
#define QRN_PLATFORM_FD_RESERVE_H

#include <mutex>

#include "platform/winsock.h"

namespace ws {

class CDescriptorReserve {
public:
    CDescriptorReserve() = default;
    ~CDescriptorReserve();
    CDescriptorReserve(const CDescriptorReserve &) = delete;
    CDescriptorReserve &operator=(const CDescriptorReserve &) = delete;

    // Takes the spare when it is not held; true when it is held.
    bool hold();
    void release();
    // Takes one pending connection off the listener's queue and closes it, in the spare's
    // place, then takes the spare again. 0 when one was refused; SOCKET_ERROR with
    // WSAEWOULDBLOCK when none waits, WSAEMFILE when no spare could be had.
    int refuse_pending(SOCKET listener);

private:
    std::mutex m_mutex;
    int m_fd = -1;
};

}  // namespace ws

#endif
