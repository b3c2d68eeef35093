// Winsock select and socket sets over poll(2).
//
// Readiness as Winsock reports it, from what poll reports:
// - read set: data, a pending connection, end of stream, or an error (the caller's recv or
//   FIONREAD then sees the end or the error);
// - write set: room to send; an error too, except on a socket that is also in the exception
//   set, where an error means a failed connect and is reported there alone;
// - exception set: urgent data or an error; a hang-up too when the socket is in no other set,
//   so that every event poll reports is reported somewhere and no caller spins on it.
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <time.h>

#include <algorithm>
#include <vector>

#include "platform/winsock.h"
#include "platform/ws_internal.h"

namespace ws {

namespace {

constexpr short kReadEvents = POLLIN;
constexpr short kWriteEvents = POLLOUT;
constexpr short kExceptEvents = POLLPRI;
constexpr long kMicrosPerSecond = 1000000;
constexpr long kNanosPerMicro = 1000;
constexpr long kNanosPerSecond = 1000000000;
// Longer time-outs are cut to this (about 31 years), so that the deadline cannot overflow.
constexpr long kMaxTimeoutSeconds = 1000000000;

// One pollfd per socket, sorted by descriptor, kept per thread so that a steady caller never
// allocates. A pollfd's requested events record which sets hold its socket.
thread_local std::vector<pollfd> t_pollfds;

unsigned set_count(const fd_set *set) { return set != nullptr ? set->fd_count : 0; }

bool set_valid(const fd_set *set) { return set == nullptr || set->fd_count <= WS_FD_SETSIZE; }

// Adds the set's sockets to the list; false when one of them cannot be a descriptor.
bool collect(const fd_set *set, short events, std::vector<pollfd> &fds) {
    for (unsigned i = 0; i < set_count(set); ++i) {
        SOCKET s = set->fd_array[i];
        if (s < 0) return false;
        fds.push_back(pollfd{s, events, 0});
    }
    return true;
}

// Sorts by descriptor and merges the entries of a socket found in several sets.
void merge_duplicates(std::vector<pollfd> &fds) {
    std::sort(fds.begin(), fds.end(), [](const pollfd &a, const pollfd &b) { return a.fd < b.fd; });
    size_t out = 0;
    for (size_t i = 0; i < fds.size(); ++i) {
        if (out > 0 && fds[out - 1].fd == fds[i].fd) {
            fds[out - 1].events = static_cast<short>(fds[out - 1].events | fds[i].events);
        } else {
            fds[out++] = fds[i];
        }
    }
    fds.resize(out);
}

bool to_timespec(const timeval *timeout, timespec *out) {
    if (timeout->tv_sec < 0 || timeout->tv_usec < 0) return false;
    long sec = timeout->tv_sec + timeout->tv_usec / kMicrosPerSecond;
    if (sec < timeout->tv_sec || sec > kMaxTimeoutSeconds) sec = kMaxTimeoutSeconds;
    out->tv_sec = sec;
    out->tv_nsec = (timeout->tv_usec % kMicrosPerSecond) * kNanosPerMicro;
    return true;
}

timespec monotonic_now() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

timespec add(const timespec &a, const timespec &b) {
    timespec r{a.tv_sec + b.tv_sec, a.tv_nsec + b.tv_nsec};
    if (r.tv_nsec >= kNanosPerSecond) {
        r.tv_nsec -= kNanosPerSecond;
        ++r.tv_sec;
    }
    return r;
}

// deadline - now, or zero once the deadline has passed.
timespec remaining_until(const timespec &deadline) {
    timespec now = monotonic_now();
    timespec r{deadline.tv_sec - now.tv_sec, deadline.tv_nsec - now.tv_nsec};
    if (r.tv_nsec < 0) {
        r.tv_nsec += kNanosPerSecond;
        --r.tv_sec;
    }
    if (r.tv_sec < 0) return timespec{0, 0};
    return r;
}

// poll, resumed with the time that is left when a signal interrupts it.
int poll_with_timeout(std::vector<pollfd> &fds, const timespec *timeout) {
    timespec deadline{};
    if (timeout != nullptr) deadline = add(monotonic_now(), *timeout);
    timespec left{};
    if (timeout != nullptr) left = *timeout;
    for (;;) {
        int n = ::ppoll(fds.data(), fds.size(), timeout != nullptr ? &left : nullptr, nullptr);
        if (n >= 0 || errno != EINTR) return n;
        if (timeout != nullptr) left = remaining_until(deadline);
    }
}

bool readable(const pollfd &p) {
    return (p.events & kReadEvents) != 0 && (p.revents & (POLLIN | POLLERR | POLLHUP)) != 0;
}

bool exceptional(const pollfd &p) {
    if ((p.events & kExceptEvents) == 0) return false;
    if ((p.revents & (POLLPRI | POLLERR)) != 0) return true;
    bool only_exception_set = (p.events & (kReadEvents | kWriteEvents)) == 0;
    return only_exception_set && (p.revents & POLLHUP) != 0;
}

bool writable(const pollfd &p) {
    if ((p.events & kWriteEvents) == 0) return false;
    if ((p.events & kExceptEvents) != 0 && (p.revents & POLLERR) != 0) return false;
    return (p.revents & (POLLOUT | POLLERR | POLLHUP)) != 0;
}

const pollfd &find(const std::vector<pollfd> &fds, SOCKET s) {
    return *std::lower_bound(fds.begin(), fds.end(), s, [](const pollfd &p, SOCKET v) { return p.fd < v; });
}

// Keeps the sockets that the test reports ready, in their order; returns how many.
unsigned keep_ready(fd_set *set, const std::vector<pollfd> &fds, bool (*ready)(const pollfd &)) {
    if (set == nullptr) return 0;
    unsigned out = 0;
    for (unsigned i = 0; i < set->fd_count; ++i) {
        if (ready(find(fds, set->fd_array[i]))) set->fd_array[out++] = set->fd_array[i];
    }
    set->fd_count = out;
    return out;
}

}  // namespace

int select(int /*nfds*/, fd_set *readfds, fd_set *writefds, fd_set *exceptfds, const timeval *timeout) {
    if (!set_valid(readfds) || !set_valid(writefds) || !set_valid(exceptfds)) return fail_with(WSAEINVAL);
    if (set_count(readfds) + set_count(writefds) + set_count(exceptfds) == 0) return fail_with(WSAEINVAL);
    timespec wait{};
    if (timeout != nullptr && !to_timespec(timeout, &wait)) return fail_with(WSAEINVAL);

    std::vector<pollfd> &fds = t_pollfds;
    fds.clear();
    if (!collect(readfds, kReadEvents, fds) || !collect(writefds, kWriteEvents, fds) ||
        !collect(exceptfds, kExceptEvents, fds)) {
        return fail_with(WSAENOTSOCK);
    }
    merge_duplicates(fds);

    int n = poll_with_timeout(fds, timeout != nullptr ? &wait : nullptr);
    if (n < 0) return fail_with_errno();
    for (const pollfd &p : fds) {
        if ((p.revents & POLLNVAL) != 0) return fail_with(WSAENOTSOCK);
    }
    return static_cast<int>(keep_ready(readfds, fds, readable) + keep_ready(writefds, fds, writable) +
                            keep_ready(exceptfds, fds, exceptional));
}

bool fd_set_add(SOCKET s, fd_set *set) {
    if (set == nullptr || fd_isset(s, set) || set->fd_count >= WS_FD_SETSIZE) return false;
    set->fd_array[set->fd_count++] = s;
    return true;
}

void fd_set_remove(SOCKET s, fd_set *set) {
    if (set == nullptr) return;
    unsigned count = std::min<unsigned>(set->fd_count, WS_FD_SETSIZE);
    unsigned out = 0;
    for (unsigned i = 0; i < count; ++i) {
        if (set->fd_array[i] != s) set->fd_array[out++] = set->fd_array[i];
    }
    set->fd_count = out;
}

bool fd_isset(SOCKET s, const fd_set *set) {
    if (set == nullptr) return false;
    unsigned count = std::min<unsigned>(set->fd_count, WS_FD_SETSIZE);
    for (unsigned i = 0; i < count; ++i) {
        if (set->fd_array[i] == s) return true;
    }
    return false;
}

}  // namespace ws
