// IPv4 socket addresses from host-order values: plain POSIX, for the tests' raw peers, their
// TCP relay and the tools' demo alike.
#ifndef QRN_TESTS_RAW_ADDRESS_H
#define QRN_TESTS_RAW_ADDRESS_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdint.h>

namespace qrntest {

constexpr uint32_t kRawLoopbackIp = 0x7f000001;

inline sockaddr_in RawAddress(uint32_t ip, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(ip);
    return a;
}
inline sockaddr_in RawAddress(uint16_t port) { return RawAddress(kRawLoopbackIp, port); }

}  // namespace qrntest

#endif
