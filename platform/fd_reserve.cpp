// CDescriptorReserve: the spare is a read-only descriptor of /dev/null.
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/fd_reserve.h"
#include "platform/ws_internal.h"

namespace ws {

namespace {

constexpr const char *kSparePath = "/dev/null";

// Lock held.
bool take_spare(int *fd) {
    if (*fd < 0) *fd = ::open(kSparePath, O_RDONLY | O_CLOEXEC);
    return *fd >= 0;
}

}  // namespace

CDescriptorReserve::~CDescriptorReserve() { release(); }

bool CDescriptorReserve::hold() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return take_spare(&m_fd);
}

void CDescriptorReserve::release() {
    std::lock_guard<std::mutex> guard(m_mutex);
    if (m_fd >= 0) ::close(m_fd);
    m_fd = -1;
}

int CDescriptorReserve::refuse_pending(SOCKET listener) {
    std::lock_guard<std::mutex> guard(m_mutex);
    // Another descriptor may have been closed since the spare was given up last time.
    if (!take_spare(&m_fd)) return fail_with(WSAEMFILE);
    ::close(m_fd);
    m_fd = -1;
    int fd;
    do {
        fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    const int err = errno;
    if (fd >= 0) ::close(fd);
    take_spare(&m_fd);
    if (fd < 0) return fail_with(error_from_errno(err));
    return 0;
}

}  // namespace ws
