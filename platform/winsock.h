// Windows Sockets 1.1 as the socket layer uses it, over POSIX sockets.
//
// The functions live in namespace ws so that they never meet the POSIX functions of the same
// names. Constants whose names POSIX also defines as macros (AF_INET, SOCK_STREAM, FIONBIO, ...)
// are defined here only when missing, with the Linux values. Where a file includes both, the
// system headers come first: glibc declares several of these names as enumerators, which a
// definition made here beforehand would break. Error numbers are the Winsock ones.
#ifndef QRN_PLATFORM_WINSOCK_H
#define QRN_PLATFORM_WINSOCK_H

#include <stdint.h>

#include <string>

#ifndef AF_INET
#define AF_INET 2
#endif
#ifndef SOCK_STREAM
#define SOCK_STREAM 1
#endif
#ifndef SOCK_DGRAM
#define SOCK_DGRAM 2
#endif
#ifndef IPPROTO_TCP
#define IPPROTO_TCP 6
#endif
#ifndef IPPROTO_UDP
#define IPPROTO_UDP 17
#endif
#ifndef SOL_SOCKET
#define SOL_SOCKET 1
#endif
#ifndef SO_REUSEADDR
#define SO_REUSEADDR 2
#endif
#ifndef SO_REUSEPORT
#define SO_REUSEPORT 15
#endif
#ifndef SO_SNDBUF
#define SO_SNDBUF 7
#endif
#ifndef SO_RCVBUF
#define SO_RCVBUF 8
#endif
#ifndef TCP_NODELAY
#define TCP_NODELAY 1
#endif
#ifndef FIONREAD
#define FIONREAD 0x541B
#endif
#ifndef FIONBIO
#define FIONBIO 0x5421
#endif
#ifndef INADDR_ANY
#define INADDR_ANY ((uint32_t)0x00000000)
#endif
#ifndef INADDR_NONE
#define INADDR_NONE ((uint32_t)0xffffffff)
#endif

typedef int SOCKET;
#define INVALID_SOCKET (-1)
#define SOCKET_ERROR (-1)

// recv flag: look at what is waiting without taking it (the same value on both platforms)
#define WS_MSG_PEEK 0x2

// shutdown directions
#define SD_RECEIVE 0
#define SD_SEND 1
#define SD_BOTH 2

// Winsock error numbers
#define WSAEINTR 10004
#define WSAEBADF 10009
#define WSAEACCES 10013
#define WSAEFAULT 10014
#define WSAEINVAL 10022
#define WSAEMFILE 10024
#define WSAEWOULDBLOCK 10035
#define WSAEINPROGRESS 10036
#define WSAEALREADY 10037
#define WSAENOTSOCK 10038
#define WSAEDESTADDRREQ 10039
#define WSAEMSGSIZE 10040
#define WSAEPROTOTYPE 10041
#define WSAENOPROTOOPT 10042
#define WSAEPROTONOSUPPORT 10043
#define WSAESOCKTNOSUPPORT 10044
#define WSAEOPNOTSUPP 10045
#define WSAEAFNOSUPPORT 10047
#define WSAEADDRINUSE 10048
#define WSAEADDRNOTAVAIL 10049
#define WSAENETDOWN 10050
#define WSAENETUNREACH 10051
#define WSAENETRESET 10052
#define WSAECONNABORTED 10053
#define WSAECONNRESET 10054
#define WSAENOBUFS 10055
#define WSAEISCONN 10056
#define WSAENOTCONN 10057
#define WSAESHUTDOWN 10058
#define WSAETIMEDOUT 10060
#define WSAECONNREFUSED 10061
#define WSAEHOSTUNREACH 10065
#define WSAVERNOTSUPPORTED 10092
#define WSANOTINITIALISED 10093
#define WSAHOST_NOT_FOUND 11001

#if __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "the byte-order helpers below assume a little-endian host"
#endif

namespace ws {

struct in_addr {
    uint32_t s_addr;  // network order
};

// The 16-byte IPv4 socket address: family, port (network order), address (network order), zeros.
struct sockaddr_in {
    uint16_t sin_family;
    uint16_t sin_port;
    in_addr sin_addr;
    char sin_zero[8];
};
static_assert(sizeof(sockaddr_in) == 16, "IPv4 socket address is 16 bytes");

struct WSADATA {
    uint16_t wVersion;
    uint16_t wHighVersion;
    char szDescription[64];
};

inline uint16_t make_word(uint8_t low, uint8_t high) { return static_cast<uint16_t>(low | (high << 8)); }

int WSAStartup(uint16_t version, WSADATA *data);
int WSACleanup();
// The Winsock error number of this thread's last failing call.
int WSAGetLastError();
void WSASetLastError(int error);

SOCKET socket(int af, int type, int protocol);
int closesocket(SOCKET s);
int shutdown(SOCKET s, int how);
int bind(SOCKET s, const sockaddr_in *addr, int addr_len);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr_in *addr, int *addr_len);
int connect(SOCKET s, const sockaddr_in *addr, int addr_len);
// Sends never raise SIGPIPE.
int send(SOCKET s, const void *buf, int len, int flags);
int recv(SOCKET s, void *buf, int len, int flags);
int sendto(SOCKET s, const void *buf, int len, int flags, const sockaddr_in *to, int to_len);
int recvfrom(SOCKET s, void *buf, int len, int flags, sockaddr_in *from, int *from_len);
// One datagram of a batch read: where it goes and, after the read, its length (-1 when it was
// longer than len: the rest is lost, as Winsock's WSAEMSGSIZE says) and its sender.
struct datagram {
    void *buf;
    int len;
    int got;
    sockaddr_in from;
};
constexpr int kMaxDatagramBatch = 64;
// Reads up to count (at most kMaxDatagramBatch) waiting datagrams in one system call, without
// waiting: the number read, SOCKET_ERROR with WSAEWOULDBLOCK when none waits.
int recvfrom_batch(SOCKET s, datagram *batch, int count);
int setsockopt(SOCKET s, int level, int name, const void *value, int len);
int getsockopt(SOCKET s, int level, int name, void *value, int *len);
int getsockname(SOCKET s, sockaddr_in *addr, int *addr_len);
int getpeername(SOCKET s, sockaddr_in *addr, int *addr_len);
// FIONBIO (arg: 0 or 1) and FIONREAD (arg: bytes waiting).
int ioctlsocket(SOCKET s, long cmd, uint32_t *arg);
// The error that ended a non-blocking connect on s, as a Winsock error number; 0 when none.
int socket_pending_error(SOCKET s);
// The system's text for a Winsock error number ("Connection refused").
std::string error_text(int wsa_error);

// Dotted IPv4 text to an address in network order; INADDR_NONE when it is not one.
uint32_t inet_addr(const char *text);
// This host's name, zero-terminated, into name (len bytes); 0, or SOCKET_ERROR (WSAEFAULT when
// it does not fit).
int gethostname(char *name, int len);
// First IPv4 address of a host name (network order); false when it does not resolve.
bool gethostbyname_ipv4(const char *name, uint32_t *addr_net);

// htons and friends (named apart from the glibc macros); the host is little-endian.
inline uint16_t hton16(uint16_t v) { return __builtin_bswap16(v); }
inline uint16_t ntoh16(uint16_t v) { return __builtin_bswap16(v); }
inline uint32_t hton32(uint32_t v) { return __builtin_bswap32(v); }
inline uint32_t ntoh32(uint32_t v) { return __builtin_bswap32(v); }

}  // namespace ws

#endif
