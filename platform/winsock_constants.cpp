// Proves at compile time that the values winsock.h falls back to, when it is included before
// the system headers, are the system's own. winsock.h comes first here on purpose so that its
// fallbacks are the definitions in force; they are captured, dropped, and compared.
#include "platform/winsock.h"

namespace {

constexpr long long kFallbackAfInet = AF_INET;
constexpr long long kFallbackSockStream = SOCK_STREAM;
constexpr long long kFallbackSockDgram = SOCK_DGRAM;
constexpr long long kFallbackIpprotoTcp = IPPROTO_TCP;
constexpr long long kFallbackIpprotoUdp = IPPROTO_UDP;
constexpr long long kFallbackSolSocket = SOL_SOCKET;
constexpr long long kFallbackSoReuseaddr = SO_REUSEADDR;
constexpr long long kFallbackSoReuseport = SO_REUSEPORT;
constexpr long long kFallbackSoSndbuf = SO_SNDBUF;
constexpr long long kFallbackSoRcvbuf = SO_RCVBUF;
constexpr long long kFallbackTcpNodelay = TCP_NODELAY;
constexpr long long kFallbackFionread = FIONREAD;
constexpr long long kFallbackFionbio = FIONBIO;
constexpr long long kFallbackInaddrAny = INADDR_ANY;
constexpr long long kFallbackInaddrNone = INADDR_NONE;

}  // namespace

#undef AF_INET
#undef SOCK_STREAM
#undef SOCK_DGRAM
#undef IPPROTO_TCP
#undef IPPROTO_UDP
#undef SOL_SOCKET
#undef SO_REUSEADDR
#undef SO_REUSEPORT
#undef SO_SNDBUF
#undef SO_RCVBUF
#undef TCP_NODELAY
#undef FIONREAD
#undef FIONBIO
#undef INADDR_ANY
#undef INADDR_NONE

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

static_assert(kFallbackAfInet == AF_INET, "AF_INET");
static_assert(kFallbackSockStream == SOCK_STREAM, "SOCK_STREAM");
static_assert(kFallbackSockDgram == SOCK_DGRAM, "SOCK_DGRAM");
static_assert(kFallbackIpprotoTcp == IPPROTO_TCP, "IPPROTO_TCP");
static_assert(kFallbackIpprotoUdp == IPPROTO_UDP, "IPPROTO_UDP");
static_assert(kFallbackSolSocket == SOL_SOCKET, "SOL_SOCKET");
static_assert(kFallbackSoReuseaddr == SO_REUSEADDR, "SO_REUSEADDR");
static_assert(kFallbackSoReuseport == SO_REUSEPORT, "SO_REUSEPORT");
static_assert(kFallbackSoSndbuf == SO_SNDBUF, "SO_SNDBUF");
static_assert(kFallbackSoRcvbuf == SO_RCVBUF, "SO_RCVBUF");
static_assert(kFallbackTcpNodelay == TCP_NODELAY, "TCP_NODELAY");
static_assert(kFallbackFionread == FIONREAD, "FIONREAD");
static_assert(kFallbackFionbio == FIONBIO, "FIONBIO");
static_assert(kFallbackInaddrAny == INADDR_ANY, "INADDR_ANY");
static_assert(kFallbackInaddrNone == INADDR_NONE, "INADDR_NONE");

// The Winsock socket address is laid out as the system's, so no field moves in a conversion.
static_assert(sizeof(ws::sockaddr_in) == sizeof(::sockaddr_in), "socket address size");
static_assert(sizeof(SOCKET) == sizeof(int), "a socket is a descriptor");
