// Host names and dotted addresses.
#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/winsock.h"
#include "platform/ws_internal.h"

namespace ws {

// inet_aton takes the same forms as Winsock (one to four parts; decimal, octal or hex; ended
// by the end or a space), and "255.255.255.255" comes out as INADDR_NONE as under Winsock.
uint32_t inet_addr(const char *text) {
    if (text == nullptr) return INADDR_NONE;
    ::in_addr addr{};
    if (::inet_aton(text, &addr) == 0) return INADDR_NONE;
    return addr.s_addr;
}

int gethostname(char *name, int len) {
    if (name == nullptr || len <= 0) return fail_with(WSAEFAULT);
    if (::gethostname(name, static_cast<size_t>(len)) != 0) return fail_with(WSAEFAULT);
    // POSIX leaves a cut name without its terminator.
    if (memchr(name, 0, static_cast<size_t>(len)) == nullptr) return fail_with(WSAEFAULT);
    return 0;
}

bool gethostbyname_ipv4(const char *name, uint32_t *addr_net) {
    if (name == nullptr || addr_net == nullptr) {
        fail_with(WSAEFAULT);
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *list = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &list) != 0 || list == nullptr) {
        fail_with(WSAHOST_NOT_FOUND);
        return false;
    }
    bool found = false;
    for (const addrinfo *ai = list; ai != nullptr; ai = ai->ai_next) {
        if (ai->ai_family == AF_INET && ai->ai_addrlen >= sizeof(::sockaddr_in)) {
            ::sockaddr_in sys;
            memcpy(&sys, ai->ai_addr, sizeof(sys));
            *addr_net = sys.sin_addr.s_addr;
            found = true;
            break;
        }
    }
    ::freeaddrinfo(list);
    if (!found) fail_with(WSAHOST_NOT_FOUND);
    return found;
}

}  // namespace ws
