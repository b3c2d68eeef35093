// The Winsock socket calls over POSIX sockets.
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/winsock.h"
#include "platform/ws_internal.h"

static_assert(SD_RECEIVE == SHUT_RD && SD_SEND == SHUT_WR && SD_BOTH == SHUT_RDWR,
              "shutdown directions are passed through");

namespace ws {

namespace {

constexpr int kAddrLen = static_cast<int>(sizeof(sockaddr_in));

bool address_fits(const void *addr, int addr_len) { return addr != nullptr && addr_len >= kAddrLen; }

// An out-address with its length, as accept, recvfrom, getsockname and getpeername take it:
// both null, or an address with room for 16 bytes.
bool out_address_ok(const sockaddr_in *addr, const int *addr_len) {
    if (addr == nullptr) return true;
    return addr_len != nullptr && *addr_len >= kAddrLen;
}

void store_address(const ::sockaddr_in &sys, sockaddr_in *addr, int *addr_len) {
    if (addr == nullptr) return;
    *addr = from_system_address(sys);
    *addr_len = kAddrLen;
}

bool is_nonblocking(SOCKET s) {
    int flags = ::fcntl(s, F_GETFL);
    return flags != -1 && (flags & O_NONBLOCK) != 0;
}

// One recvmsg, retried when a signal interrupts it. A datagram longer than the buffer fails
// with WSAEMSGSIZE, as Winsock reports it; the buffer then holds its first len bytes.
int receive(SOCKET s, void *buf, int len, int flags, ::sockaddr_in *from, bool *from_set) {
    if (len < 0) return fail_with(WSAEINVAL);
    if (buf == nullptr && len > 0) return fail_with(WSAEFAULT);
    iovec iov{buf, static_cast<size_t>(len)};
    msghdr msg{};
    msg.msg_name = from;
    msg.msg_namelen = from != nullptr ? sizeof(*from) : 0;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    ssize_t n;
    do {
        n = ::recvmsg(s, &msg, flags);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return fail_with_errno();
    if ((msg.msg_flags & MSG_TRUNC) != 0) return fail_with(WSAEMSGSIZE);
    if (from_set != nullptr) {
        // Connection-oriented sockets give no sender address; Winsock then leaves it alone.
        *from_set = msg.msg_namelen >= sizeof(*from) && from->sin_family == AF_INET;
    }
    return static_cast<int>(n);
}

int transmit(SOCKET s, const void *buf, int len, int flags, const ::sockaddr_in *to) {
    if (len < 0) return fail_with(WSAEINVAL);
    if (buf == nullptr && len > 0) return fail_with(WSAEFAULT);
    socklen_t to_len = to != nullptr ? sizeof(*to) : 0;
    ssize_t n;
    do {
        n = ::sendto(s, buf, static_cast<size_t>(len), flags | MSG_NOSIGNAL,
                     reinterpret_cast<const ::sockaddr *>(to), to_len);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return fail_with_errno();
    return static_cast<int>(n);
}

using NameQuery = int (*)(int, ::sockaddr *, socklen_t *);

int query_name(NameQuery query, SOCKET s, sockaddr_in *addr, int *addr_len) {
    if (addr == nullptr || !out_address_ok(addr, addr_len)) return fail_with(WSAEFAULT);
    ::sockaddr_in sys{};
    socklen_t sys_len = sizeof(sys);
    if (query(s, reinterpret_cast<::sockaddr *>(&sys), &sys_len) != 0) return fail_with_errno();
    if (sys.sin_family != AF_INET) return fail_with(WSAEAFNOSUPPORT);
    store_address(sys, addr, addr_len);
    return 0;
}

}  // namespace

::sockaddr_in to_system_address(const sockaddr_in &addr) {
    ::sockaddr_in sys{};
    sys.sin_family = addr.sin_family;
    sys.sin_port = addr.sin_port;
    sys.sin_addr.s_addr = addr.sin_addr.s_addr;
    return sys;
}

sockaddr_in from_system_address(const ::sockaddr_in &sys) {
    sockaddr_in addr{};
    addr.sin_family = sys.sin_family;
    addr.sin_port = sys.sin_port;
    addr.sin_addr.s_addr = sys.sin_addr.s_addr;
    return addr;
}

SOCKET socket(int af, int type, int protocol) {
    int s = ::socket(af, type | SOCK_CLOEXEC, protocol);
    if (s < 0) return fail_with_errno();
    return s;
}

int closesocket(SOCKET s) {
    // After EINTR the descriptor is gone all the same on Linux; closing again could hit a
    // descriptor that another thread has just opened.
    if (::close(s) != 0 && errno != EINTR) return fail_with_errno();
    return 0;
}

int shutdown(SOCKET s, int how) {
    if (::shutdown(s, how) != 0) return fail_with_errno();
    return 0;
}

int bind(SOCKET s, const sockaddr_in *addr, int addr_len) {
    if (!address_fits(addr, addr_len)) return fail_with(WSAEFAULT);
    ::sockaddr_in sys = to_system_address(*addr);
    if (::bind(s, reinterpret_cast<const ::sockaddr *>(&sys), sizeof(sys)) != 0) return fail_with_errno();
    return 0;
}

int listen(SOCKET s, int backlog) {
    if (::listen(s, backlog) != 0) return fail_with_errno();
    return 0;
}

// The accepted socket inherits the listener's non-blocking mode, as it does under Winsock.
SOCKET accept(SOCKET s, sockaddr_in *addr, int *addr_len) {
    if (!out_address_ok(addr, addr_len)) return fail_with(WSAEFAULT);
    int flags = SOCK_CLOEXEC | (is_nonblocking(s) ? SOCK_NONBLOCK : 0);
    ::sockaddr_in sys{};
    socklen_t sys_len = sizeof(sys);
    int fd;
    do {
        fd = ::accept4(s, reinterpret_cast<::sockaddr *>(&sys), &sys_len, flags);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return fail_with_errno();
    store_address(sys, addr, addr_len);
    return fd;
}

int connect(SOCKET s, const sockaddr_in *addr, int addr_len) {
    if (!address_fits(addr, addr_len)) return fail_with(WSAEFAULT);
    ::sockaddr_in sys = to_system_address(*addr);
    if (::connect(s, reinterpret_cast<const ::sockaddr *>(&sys), sizeof(sys)) != 0) return fail_with_errno();
    return 0;
}

int send(SOCKET s, const void *buf, int len, int flags) { return transmit(s, buf, len, flags, nullptr); }

int recv(SOCKET s, void *buf, int len, int flags) { return receive(s, buf, len, flags, nullptr, nullptr); }

int sendto(SOCKET s, const void *buf, int len, int flags, const sockaddr_in *to, int to_len) {
    if (to == nullptr) return transmit(s, buf, len, flags, nullptr);
    if (to_len < kAddrLen) return fail_with(WSAEFAULT);
    ::sockaddr_in sys = to_system_address(*to);
    return transmit(s, buf, len, flags, &sys);
}

int recvfrom(SOCKET s, void *buf, int len, int flags, sockaddr_in *from, int *from_len) {
    if (!out_address_ok(from, from_len)) return fail_with(WSAEFAULT);
    ::sockaddr_in sys{};
    bool from_set = false;
    int n = receive(s, buf, len, flags, &sys, &from_set);
    if (n >= 0 && from_set) store_address(sys, from, from_len);
    return n;
}

int recvfrom_batch(SOCKET s, datagram *batch, int count) {
    if (batch == nullptr || count < 1 || count > kMaxDatagramBatch) return fail_with(WSAEINVAL);
    ::mmsghdr msgs[kMaxDatagramBatch];
    iovec iovs[kMaxDatagramBatch];
    ::sockaddr_in senders[kMaxDatagramBatch];
    for (int i = 0; i < count; ++i) {
        if (batch[i].buf == nullptr || batch[i].len < 0) return fail_with(WSAEFAULT);
        iovs[i] = iovec{batch[i].buf, static_cast<size_t>(batch[i].len)};
        msgs[i] = ::mmsghdr{};
        msgs[i].msg_hdr.msg_name = &senders[i];
        msgs[i].msg_hdr.msg_namelen = sizeof(senders[i]);
        msgs[i].msg_hdr.msg_iov = &iovs[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    int n;
    do {
        n = ::recvmmsg(s, msgs, static_cast<unsigned>(count), MSG_DONTWAIT, nullptr);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return fail_with_errno();
    for (int i = 0; i < n; ++i) {
        const bool whole = (msgs[i].msg_hdr.msg_flags & MSG_TRUNC) == 0;
        batch[i].got = whole ? static_cast<int>(msgs[i].msg_len) : -1;
        batch[i].from = from_system_address(senders[i]);
    }
    return n;
}

int setsockopt(SOCKET s, int level, int name, const void *value, int len) {
    if (value == nullptr || len < 0) return fail_with(WSAEFAULT);
    if (::setsockopt(s, level, name, value, static_cast<socklen_t>(len)) != 0) return fail_with_errno();
    return 0;
}

int getsockopt(SOCKET s, int level, int name, void *value, int *len) {
    if (value == nullptr || len == nullptr || *len < 0) return fail_with(WSAEFAULT);
    socklen_t sys_len = static_cast<socklen_t>(*len);
    if (::getsockopt(s, level, name, value, &sys_len) != 0) return fail_with_errno();
    *len = static_cast<int>(sys_len);
    return 0;
}

int getsockname(SOCKET s, sockaddr_in *addr, int *addr_len) {
    return query_name(::getsockname, s, addr, addr_len);
}

int getpeername(SOCKET s, sockaddr_in *addr, int *addr_len) {
    return query_name(::getpeername, s, addr, addr_len);
}

int ioctlsocket(SOCKET s, long cmd, uint32_t *arg) {
    if (arg == nullptr) return fail_with(WSAEFAULT);
    int value;
    switch (cmd) {
    case FIONBIO:
        value = *arg != 0 ? 1 : 0;
        if (::ioctl(s, FIONBIO, &value) != 0) return fail_with_errno();
        return 0;
    case FIONREAD:
        if (::ioctl(s, FIONREAD, &value) != 0) return fail_with_errno();
        *arg = static_cast<uint32_t>(value);
        return 0;
    default:
        return fail_with(WSAEINVAL);
    }
}

}  // namespace ws
