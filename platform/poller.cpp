// CSocketPoller over epoll(7), woken through an eventfd.
#include <errno.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "platform/poller.h"
#include "platform/ws_internal.h"

namespace ws {

namespace {

constexpr uint64_t kWakeKey = 0;
// Reports taken from the system per wait; more ready sockets come with the next wait.
constexpr int kMaxBatch = 256;

uint32_t system_events(unsigned interest) {
    uint32_t events = 0;
    if ((interest & kWaitRead) != 0) events |= EPOLLIN;
    if ((interest & kWaitWrite) != 0) events |= EPOLLOUT;
    if ((interest & kWaitExcept) != 0) events |= EPOLLPRI;
    return events;
}

void drain_wake(int fd) {
    uint64_t count = 0;
    // Non-blocking: a second reader (none today) would only find it empty.
    if (::read(fd, &count, sizeof(count)) < 0) return;
}

}  // namespace

CSocketPoller::~CSocketPoller() { close(); }

int CSocketPoller::open() {
    if (is_open()) return 0;
    int epoll = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll < 0) return fail_with_errno();
    int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
        int err = errno;
        ::close(epoll);
        return fail_with(error_from_errno(err));
    }
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = kWakeKey;
    if (::epoll_ctl(epoll, EPOLL_CTL_ADD, wake, &ev) != 0) {
        int err = errno;
        ::close(wake);
        ::close(epoll);
        return fail_with(error_from_errno(err));
    }
    m_wake.store(wake, std::memory_order_release);
    m_epoll.store(epoll, std::memory_order_release);
    return 0;
}

void CSocketPoller::close() {
    int epoll = m_epoll.exchange(-1, std::memory_order_acq_rel);
    int wake = m_wake.exchange(-1, std::memory_order_acq_rel);
    if (epoll >= 0) ::close(epoll);
    if (wake >= 0) ::close(wake);
}

int CSocketPoller::change(SOCKET s, uint64_t key, unsigned from, unsigned to) {
    from &= kWaitAll;
    to &= kWaitAll;
    if (from == to) return 0;
    int epoll = m_epoll.load(std::memory_order_acquire);
    if (epoll < 0) return fail_with(WSANOTINITIALISED);
    if (s < 0 || key == kWakeKey) return fail_with(WSAENOTSOCK);
    epoll_event ev{};
    ev.events = system_events(to);
    ev.data.u64 = key;
    int op = from == 0 ? EPOLL_CTL_ADD : (to == 0 ? EPOLL_CTL_DEL : EPOLL_CTL_MOD);
    if (::epoll_ctl(epoll, op, s, &ev) != 0) return fail_with_errno();
    return 0;
}

int CSocketPoller::wait(poll_report *reports, int max, int timeout_ms) {
    int epoll = m_epoll.load(std::memory_order_acquire);
    if (epoll < 0) return fail_with(WSANOTINITIALISED);
    if (reports == nullptr || max <= 0) return fail_with(WSAEINVAL);
    epoll_event events[kMaxBatch];
    int n = ::epoll_wait(epoll, events, max < kMaxBatch ? max : kMaxBatch, timeout_ms < 0 ? -1 : timeout_ms);
    if (n < 0) {
        if (errno == EINTR) return 0;
        return fail_with_errno();
    }
    int out = 0;
    for (int i = 0; i < n; ++i) {
        const epoll_event ev = events[i];
        if (ev.data.u64 == kWakeKey) {
            drain_wake(m_wake.load(std::memory_order_acquire));
            continue;
        }
        reports[out++] = poll_report{ev.data.u64, ev.events};
    }
    return out;
}

void CSocketPoller::wake() {
    int wake = m_wake.load(std::memory_order_acquire);
    if (wake < 0) return;
    const uint64_t one = 1;
    // A full counter already wakes the waiter; nothing is lost by a failed write.
    if (::write(wake, &one, sizeof(one)) < 0) return;
}

unsigned ready_sets(unsigned interest, uint32_t raw) {
    unsigned sets = 0;
    const bool error = (raw & EPOLLERR) != 0;
    const bool hang_up = (raw & (EPOLLHUP | EPOLLRDHUP)) != 0;
    if ((interest & kWaitRead) != 0 && ((raw & EPOLLIN) != 0 || error || hang_up)) sets |= kWaitRead;
    if ((interest & kWaitWrite) != 0 && !((interest & kWaitExcept) != 0 && error) &&
        ((raw & EPOLLOUT) != 0 || error || hang_up)) {
        sets |= kWaitWrite;
    }
    if ((interest & kWaitExcept) != 0) {
        const bool only_exception = (interest & (kWaitRead | kWaitWrite)) == 0;
        if ((raw & EPOLLPRI) != 0 || error || (only_exception && hang_up)) sets |= kWaitExcept;
    }
    return sets;
}

}  // namespace ws
