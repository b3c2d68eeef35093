// Start-up, clean-up and the per-thread last error of the Winsock layer.
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <string.h>

#include <atomic>

#include "platform/winsock.h"
#include "platform/ws_internal.h"

namespace ws {

namespace {

constexpr uint8_t kVersionMajor = 1;
constexpr uint8_t kVersionMinor = 1;
constexpr char kDescription[] = "Windows Sockets 1.1 over POSIX sockets";
static_assert(sizeof(kDescription) <= sizeof(WSADATA::szDescription), "description fits");

// Any errno without a closer Winsock meaning. Never would-block, so that an unexpected system
// error is never mistaken for "try again".
constexpr int kDefaultError = WSAEINVAL;

thread_local int t_last_error = 0;
std::atomic<int> g_startup_count{0};

struct ErrnoMapping {
    int err;
    int wsa_error;
};

constexpr ErrnoMapping kErrnoMap[] = {
    {EINTR, WSAEINTR},
    {EBADF, WSAENOTSOCK},
    {ENOTSOCK, WSAENOTSOCK},
    {EACCES, WSAEACCES},
    {EPERM, WSAEACCES},
    {EFAULT, WSAEFAULT},
    {EINVAL, WSAEINVAL},
    {EMFILE, WSAEMFILE},
    {ENFILE, WSAEMFILE},
    {EAGAIN, WSAEWOULDBLOCK},
    {EWOULDBLOCK, WSAEWOULDBLOCK},
    {EINPROGRESS, WSAEWOULDBLOCK},
    {EALREADY, WSAEALREADY},
    {EDESTADDRREQ, WSAEDESTADDRREQ},
    {EMSGSIZE, WSAEMSGSIZE},
    {EPROTOTYPE, WSAEPROTOTYPE},
    {ENOPROTOOPT, WSAENOPROTOOPT},
    {EPROTONOSUPPORT, WSAEPROTONOSUPPORT},
    {ESOCKTNOSUPPORT, WSAESOCKTNOSUPPORT},
    {EOPNOTSUPP, WSAEOPNOTSUPP},
    {ENOTSUP, WSAEOPNOTSUPP},
    {EAFNOSUPPORT, WSAEAFNOSUPPORT},
    {EPFNOSUPPORT, WSAEAFNOSUPPORT},
    {EADDRINUSE, WSAEADDRINUSE},
    {EADDRNOTAVAIL, WSAEADDRNOTAVAIL},
    {ENETDOWN, WSAENETDOWN},
    {ENETUNREACH, WSAENETUNREACH},
    {ENETRESET, WSAENETRESET},
    {ECONNABORTED, WSAECONNABORTED},
    {ECONNRESET, WSAECONNRESET},
    // Linux reports a send on a connection that is shut down, locally or by the peer's reset,
    // as a broken pipe.
    {EPIPE, WSAESHUTDOWN},
    {ESHUTDOWN, WSAESHUTDOWN},
    {ENOBUFS, WSAENOBUFS},
    {ENOMEM, WSAENOBUFS},
    {EISCONN, WSAEISCONN},
    {ENOTCONN, WSAENOTCONN},
    {ETIMEDOUT, WSAETIMEDOUT},
    {ECONNREFUSED, WSAECONNREFUSED},
    {EHOSTUNREACH, WSAEHOSTUNREACH},
    {EHOSTDOWN, WSAEHOSTUNREACH},
};

bool version_below(uint8_t major, uint8_t minor, uint8_t ref_major, uint8_t ref_minor) {
    return major < ref_major || (major == ref_major && minor < ref_minor);
}

}  // namespace

int error_from_errno(int err) {
    for (const ErrnoMapping &m : kErrnoMap) {
        if (m.err == err) return m.wsa_error;
    }
    return kDefaultError;
}

int socket_pending_error(SOCKET s) {
    int err = 0;
    socklen_t length = sizeof(err);
    if (::getsockopt(static_cast<int>(s), SOL_SOCKET, SO_ERROR, &err, &length) != 0) err = errno;
    return err == 0 ? 0 : error_from_errno(err);
}

std::string error_text(int wsa_error) {
    for (const ErrnoMapping &m : kErrnoMap) {
        if (m.wsa_error != wsa_error) continue;
        char buffer[128];
        return strerror_r(m.err, buffer, sizeof(buffer));
    }
    return "error " + std::to_string(wsa_error);
}

int fail_with_errno() { return fail_with(error_from_errno(errno)); }

int fail_with(int wsa_error) {
    t_last_error = wsa_error;
    return SOCKET_ERROR;
}

int WSAGetLastError() { return t_last_error; }

void WSASetLastError(int error) { t_last_error = error; }

// Grants the lower of the version asked for and 1.1; versions below 1.0 are refused.
int WSAStartup(uint16_t version, WSADATA *data) {
    if (data == nullptr) return WSAEFAULT;
    uint8_t major = static_cast<uint8_t>(version & 0xff);
    uint8_t minor = static_cast<uint8_t>(version >> 8);
    if (major < 1) return WSAVERNOTSUPPORTED;
    uint16_t highest = make_word(kVersionMajor, kVersionMinor);
    memset(data, 0, sizeof(*data));
    data->wHighVersion = highest;
    data->wVersion = version_below(major, minor, kVersionMajor, kVersionMinor) ? version : highest;
    memcpy(data->szDescription, kDescription, sizeof(kDescription));
    g_startup_count.fetch_add(1);
    return 0;
}

int WSACleanup() {
    int count = g_startup_count.load();
    while (count > 0) {
        if (g_startup_count.compare_exchange_weak(count, count - 1)) return 0;
    }
    return fail_with(WSANOTINITIALISED);
}

}  // namespace ws
