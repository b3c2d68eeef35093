// The socket layer's codes: events to owners, socket states, options, results.
#ifndef QRN_SOCKET_SOCK_DEFS_H
#define QRN_SOCKET_SOCK_DEFS_H

#include <stdint.h>

namespace sock {

// Events delivered to an owner's callback: callback(ctx, event, handle, param, 0, extra).
constexpr int kEventAccepted = 1;   // handle: the new socket; extra: address of a scratch word
constexpr int kEventConnected = 2;  // param: kConnectOk or kConnectFailed (handle then gone)
constexpr int kEventReadable = 3;   // param: TCP bytes waiting; UDP 0
constexpr int kEventWritable = 4;   // after a short send
constexpr int kEventClosed = 5;     // param 1; the handle is then gone

constexpr int kConnectOk = 0;
constexpr int kConnectFailed = 1;
constexpr int kClosedByPeer = 1;

// VBaseSocket::m_state
constexpr int kStateClosed = 0;
constexpr int kStateCreated = 1;
constexpr int kStateListening = 2;
constexpr int kStateConnecting = 3;
constexpr int kStateNegotiating = 4;
constexpr int kStateConnected = 5;
constexpr int kStateClosing = 6;

// VSOCK::socket types
constexpr int kTypeTcp = 0;
constexpr int kTypeUdp = 1;

// getsockopt / setsockopt options
constexpr int kOptPeerIp = 6;
constexpr int kOptPeerPort = 7;
constexpr int kOptLocalIp = 8;
constexpr int kOptLocalPort = 9;
constexpr int kOptBoundBuffers = 10;  // set: a stream socket's buffers become the bounded sizes
// Read into a char buffer (NUL-terminated, cut to the buffer): why the connect failed, empty
// while none did; the proxy carrying the connect, "http://host:port" or "socks5://host:port",
// empty when it is direct.
constexpr int kOptConnectError = 11;
constexpr int kOptProxy = 12;
// Read: the event loop that delivers the socket's events. Set: hands the socket to that loop;
// its events come there from the end of the current pass of the loop that holds it now (so a
// socket handed over from within its own callback is never delivered on two threads at once).
constexpr int kOptLoop = 13;
// Set before bind, with a non-zero value: other sockets of this process may bind the same
// port, and the system spreads the datagrams of different senders over them.
constexpr int kOptReusePort = 14;
constexpr int kOptCallback = 101;
constexpr int kOptCallbackCtx = 102;

// Results of VSOCK functions that take a handle.
constexpr int kErrUnknownHandle = 3;
constexpr int kErrWrongState = 4;

// VSOCK::startup results
constexpr int kStartupOk = 0;
constexpr int kStartupFailed = 1;
constexpr int kStartupWrongVersion = 2;

// Socket options applied to every socket.
// Reliable UDP sends a send slot's budget in one burst (up to 102400 bytes at its top rate),
// and one socket serves every connection of a listener: buffers that cannot hold a few bursts
// refuse or drop datagrams that the path would carry, which the rate control takes for loss.
constexpr int kUdpSendBuffer = 262144;
constexpr int kUdpRecvBuffer = 262144;
// A TCP socket's buffers are the kernel's to size, which keeps a long fast path full, unless
// the stream above cannot tell what arrived (kOptBoundBuffers). A broken path then loses what
// sat in its kernel buffers while the stream keeps only its last 262144 bytes to send again:
// bounded, the bytes in flight stay inside what the sender keeps. The kernel doubles both
// values (96 KiB sent, 64 KiB received); a send may overrun its buffer by about half a window,
// and the receiver holds up to 32 KiB read and not yet framed, beside the 32 KiB chunk taken
// last. The send side is the larger because every time it fills, the writer waits for a round
// through the socket thread.
constexpr int kTcpBoundedSendBuffer = 49152;
constexpr int kTcpBoundedRecvBuffer = 32768;
constexpr int kListenBacklog = 0x7fffffff;

// The socket table (qrn_handle_mgr_create arguments).
constexpr int kTableInitialSize = 4;
constexpr int kTableGrowBy = 16;

constexpr uint32_t kLoopbackIp = 0x7f000001;  // 127.0.0.1, host order
constexpr const char *kLoopbackText = "127.0.0.1";

// Connects to this port of a host other than the loopback address consult the proxy setting.
constexpr uint16_t kProxiedPort = 443;
// VBaseSocket::m_proxy_type
constexpr uint8_t kProxyHttp = 1;
constexpr uint8_t kProxySocks5 = 2;
// A proxied connect that has not become a tunnel by then fails (library clock): a proxy that
// does not speak the protocol asked of it may well wait for more without a word.
constexpr uint32_t kProxyHandshakeTimeoutMs = 5000;

// The socket thread: its longest wait (library clock), and its pause after a failing wait or
// an accept that found no descriptor.
constexpr unsigned kSelectTimeoutMs = 1000;
constexpr unsigned kSelectErrorPauseMs = 20;
// Event loops: each a socket thread with its own poller. Loop 0 always runs.
constexpr int kMaxLoops = 64;

// Trace events of module 6 (base socket).
constexpr int kTraceModule = 6;
constexpr int kTraceCreated = 0;
constexpr int kTraceDestroyed = 1;
constexpr int kTraceCreate = 2;
constexpr int kTraceListen = 3;
constexpr int kTraceAccept = 4;
constexpr int kTraceConnect = 5;
constexpr int kTraceClose = 6;
constexpr int kTraceSend = 7;
constexpr int kTraceRecv = 8;
constexpr int kTraceConnectDone = 9;
constexpr int kTracePeerClosed = 10;
constexpr int kTraceReadable = 11;
constexpr int kTraceWritable = 12;
constexpr int kTraceSendto = 13;
constexpr int kTraceRecvfrom = 14;

}  // namespace sock

#endif
