// Shared by the platform files that implement winsock.h: the thread's last error and the
// conversion between the Winsock and the system IPv4 socket address. Include after the system
// socket headers.
#ifndef QRN_PLATFORM_WS_INTERNAL_H
#define QRN_PLATFORM_WS_INTERNAL_H

#include <netinet/in.h>

#include "platform/winsock.h"

namespace ws {

// The Winsock error number for a system errno value.
int error_from_errno(int err);

// Records errno as this thread's last error and returns SOCKET_ERROR, for failing calls.
int fail_with_errno();
// Records a Winsock error number as this thread's last error and returns SOCKET_ERROR.
int fail_with(int wsa_error);

::sockaddr_in to_system_address(const sockaddr_in &addr);
sockaddr_in from_system_address(const ::sockaddr_in &addr);

}  // namespace ws

#endif
