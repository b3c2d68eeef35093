// The multi-mode layer's face for the transport layer: one logical connection between a
// client and a server over reliable UDP, TCP, TCP with UDP, or the HTTP tunnel, resumed on a
// new path when its path breaks.
//
// Messages reach the upper callback as callback(user_data, msg, handle, p1, p2, p3) (codes in
// rdtp_defs.h), on the socket thread, the reliable-UDP threads, the tunnel's thread or the
// timer thread, never with a lock of this layer held; the callback may call every function
// below, also for its own handle. After message 2 with p1 1 or 2, or message 5, the handle no
// longer exists. A handle closed with qrn_rdtp_close gets no further message, except one that
// another thread was already delivering.
#ifndef QRN_RDTP_RDTP_H
#define QRN_RDTP_RDTP_H

#include <stdint.h>

#include "qrnlibl/qrn_callback.h"

class CRdtpConnection;

// Listens for new connections on the ports that are not 0, at every address of bind_ip
// (';'-separated) or, with bind_ip null, at any address. 0; -1 when the UDP listen failed, -2
// when a TCP socket could not be created, bound or set listening, -3 when the tunnel refused
// (always, with an HTTP port). Paths opened before a failure stay open.
int qrn_rdtp_listen(const char *bind_ip, int udp_port, int tcpip_port, int http_port,
                    qrn_callback callback, uintptr_t user_data);
// Starts a connection whose mode follows from the ports: UDP alone, TCP alone, HTTP alone, UDP
// with TCP, or a race of the kinds given with HTTP. The new handle, or 0 when there is nothing
// to connect to or the first attempt failed at once. The outcome comes as message 2 and then 7
// (or 2 with p1 1 or 2).
int qrn_rdtp_connect(const char *server_ip, int udp_port, int tcpip_port, int http_port,
                     const char *udp_proxy_ip, int udp_proxy_port, qrn_callback callback,
                     uintptr_t user_data);
// True when a client given these ports races its kinds of path (an HTTP port beside a UDP or
// TCP port) instead of taking them in a fixed order.
bool rdtp_ports_race(int udp_port, int tcpip_port, int http_port);
// What the path's send or receive returned (bytes, 0 when the path is full or empty), or -1 for
// an unknown handle, a connection that is not established, or no path.
int qrn_rdtp_send(int handle, const void *buffer, int length, int flags);
int qrn_rdtp_recv(int handle, void *buffer, int length, int flags);
// 0, or -1 for an unknown handle. The connection's paths close when its last event is done;
// each delivers what it took, and the close, in the background.
int qrn_rdtp_close(int handle);
// The same, and when the stream travels on reliable UDP or the HTTP tunnel, notice(
// notice_context, 9, lower handle, p1) follows once on a library thread once the peer has
// acknowledged every byte (the tunnel: once its requests have carried every byte to the tunnel
// server, p1 0) or the release time-out has passed (p1 not 0). 0 when the notice is to come; 1
// when there is nothing to await (no notice: a TCP path hands its bytes to the kernel, which
// delivers them on its own); 2 when the path ended at once, or the tunnel had no path,
// undelivered (no notice); -1 for an unknown handle.
int qrn_rdtp_close_notify(int handle, qrn_callback notice, uintptr_t notice_context);
// 0, or -1 for an unknown handle. Options 5, 6, 7, 10, 11, 111 and 112 write through value
// (widths in rdtp_defs.h); 101 and 102 set the callback and its user data; 104 stops reconnection;
// 116 makes a racing client give up its path and race again. Handle 0 takes 105 (the
// reliable-UDP relay role of this process off, value 0, or on), 108, 113 and 115 (the race's
// stagger, at most kRaceStaggerMaxMs).
int qrn_rdtp_option(int handle, int option, uintptr_t value);
// A connect reported failed (message 2 with p1 1) keeps its cause after its handle is gone: 1
// with the text (as option 111 gives it) in out, for the user data that connect was given,
// until another connection is given the same user data or 64 later failures have been kept;
// 0, with nothing written, when none is kept.
int qrn_rdtp_failed_connect_error(uintptr_t user_data, char *out, int size);

// The one dispatcher of every lower-layer and timer event, reached through the trampolines.
// 0; 1 for an event of a handle that no longer exists; -1 for an accept on an unknown listener.
int qrn_rdtp_callback(int from, uintptr_t user_data, int msg, uintptr_t handle, uintptr_t p1,
                      uintptr_t p2, uintptr_t p3);

// The connection with one added reference, or null; release it with ReleaseRef.
CRdtpConnection *GetRdtpConnection(int handle);

#endif
