// The reliable-UDP layer's face for the multi-mode layer. Handles are small non-zero numbers;
// events reach the callback as callback(user, event, handle, p1, p2, p3): 1 accepted, 2 connect
// outcome (p1 0 connected, else failed and the handle is gone), 3 data (p2 1: one unreliable
// datagram at p3, valid during the call), 4 room to send, 5 closed by the peer (handle gone).
// Events come from the event loop of the connection's socket (its datagrams and its timed
// work) or the timer; with the path-finding rate (option 108), reliable bytes that the user
// left unread are announced again (3) by the timed work.
//
// The multi-mode layer stores a handle when qrn_udprlb_connect returns it, so a connect's
// outcome must arrive later, never from within the connect call. Send, receive, close and
// option may be called with the multi-mode connection's lock held and must not deliver events
// from within the call.
#ifndef QRN_UDPRLB_UDPRLB_H
#define QRN_UDPRLB_UDPRLB_H

#include <stdint.h>

#include "qrnlibl/qrn_callback.h"

// Starts the layer once; 0 on success.
int qrn_udprlb_init();
// Listens on udp_port at every address of bind_ip (';'-separated; null or empty: any address).
// 0 on success, non-zero on failure.
int qrn_udprlb_listen(const char *bind_ip, int udp_port, qrn_callback callback, uintptr_t user);
// Starts a connect (through the relay proxy_ip:proxy_port when proxy_ip is set); the handle, or
// 0 on failure. The outcome arrives as event 2.
int qrn_udprlb_connect(const char *dest_ip, int dest_udp_port, const char *proxy_ip, int proxy_port,
                       qrn_callback callback, uintptr_t user);
// Bytes taken or copied out; -1 for an unknown handle, other negative codes when not connected.
// Bit 0 of the send flags sends one unreliable datagram.
int qrn_udprlb_send(int handle, const void *buffer, int len, int flags);
int qrn_udprlb_recv(int handle, void *buffer, int len, int flags);
// 0, or -1 for an unknown handle. No event follows. An established connection goes on
// delivering what it took, and its close, in the background (its handle is unknown at once).
int qrn_udprlb_close(int handle);
// The same, and notice(notice_context, 9, handle, p1) follows once, on a library thread: p1 0
// once the peer has acknowledged every byte (the close request goes on while the process
// runs), 1 when the release time-out passed first.
// 0 when the notice is to come; 1 when the connection ended at once (no notice); 2 when it
// ended at once because the peer had closed already, having acknowledged every byte; -1 for
// an unknown handle.
int qrn_udprlb_close_notify(int handle, qrn_callback notice, uintptr_t notice_context);
// Options 6 peer ip (uint32_t), 7 peer port (uint16_t), 8 local ip, 10 bandwidth (uint32_t),
// 11 round trip (uint32_t) write through value; 101 and 102 set callback and user data.
// With handle 0, option 105 switches this endpoint's relaying of dig hole requests off (value 0)
// or on (the default).
// 0, or -1 for an unknown handle.
int qrn_udprlb_option(int handle, int option, uintptr_t value);

#endif
