// Raw POSIX peers for the tests: blocking TCP sockets on the loopback address that a test
// drives by hand, beside the layer under test.
#ifndef QRN_TESTS_RAW_PEER_H
#define QRN_TESTS_RAW_PEER_H

#include <netinet/in.h>
#include <stddef.h>
#include <stdint.h>

#include <chrono>
#include <string>

#include "raw_address.h"
#include "test_support.h"

namespace qrntest {

constexpr int kRawBacklog = 16;


// The local port of a socket.
uint16_t RawPort(int fd);

// A loopback port on which nothing listens (free a moment ago): for a listen of the layer's
// own, or a refused connect.
uint16_t FreePort();

// A listener on 127.0.0.1 at a port of the system's choice, returned in *port.
int RawListen(uint16_t *port, int backlog = kRawBacklog);

// The next connection of a listener within kWaitMs (accept4 flags, such as SOCK_NONBLOCK);
// -1 when none came.
int RawAccept(int listen_fd, int flags = 0);

// A blocking connect, from source_ip when it is not 0 (any loopback address: 127.0.0.2 is
// another source than 127.0.0.1); -1 (the socket closed) when it fails.
int RawConnect(uint16_t port, uint32_t ip = kRawLoopbackIp, uint32_t source_ip = 0);

void RawSetNonBlocking(int fd);

// True when fd turns readable before the deadline.
bool RawWaitReadable(int fd, std::chrono::steady_clock::time_point deadline);

void RawSend(int fd, const void *data, size_t len);
inline void RawSend(int fd, const std::string &data) { RawSend(fd, data.data(), data.size()); }

// Reads exactly len bytes (empty string when the peer closes or nothing comes in time).
std::string RawRecv(int fd, size_t len);

// Reads and drops exactly n bytes, blocking with no deadline; false when the peer closes.
bool RawReadExactly(int fd, size_t n);

// True once the peer has closed (EOF or reset), within the deadline.
bool RawSeesClose(int fd, int timeout_ms = kWaitMs);

}  // namespace qrntest

#endif
