// The HTTP tunnel's face for the multi-mode layer: the client side of a byte stream carried in
// HTTP requests. Events reach the callback as callback(user_data, msg, handle, p1, p2, 0):
// 2 tunnel up (p1 0) or failed (p1 the code; the handle is gone), 3 data (p1 length), 4 room to
// send, 5 closed (the handle is gone), 10 status (p1 type, p2 value).
//
// The multi-mode layer stores a handle when qrn_rdhttp_connect returns it, so a connect's
// outcome must arrive later, never from within the connect call. Send, receive, close and
// option may be called with the multi-mode connection's lock held and must not deliver events
// from within the call.
#ifndef QRN_RDHTTP_RDHTTPC_H
#define QRN_RDHTTP_RDHTTPC_H

#include <stdint.h>

#include "qrnlibl/qrn_callback.h"

// The tunnel has no server side: -1, always.
int qrn_rdhttp_listen(const char *bind_ip, int port, qrn_callback callback, uintptr_t user_data);
// Starts a tunnel to the tunnel server at server_ip:port; the handle, or 0 when it cannot start.
int qrn_rdhttp_connect(const char *server_ip, int port, qrn_callback callback, uintptr_t user_data);
// The tunnel's result; -1 for an unknown handle or before the tunnel is set up.
int qrn_rdhttp_send(int handle, const void *buffer, int length);
int qrn_rdhttp_recv(int handle, void *buffer, int length);
// 0, or -1 for an unknown handle. No event follows.
int qrn_rdhttp_close(int handle);
// The same, and when the session still has uplink bytes to see through, notice(notice_context,
// 9, handle, p1, 0, 0) follows once, on a library thread and with no lock held, when they have
// gone (p1 0) or the session failed or the linger time passed first (p1 1). 0 when the notice
// is to come; 1 when nothing is left to await (no notice); 2 when the session was not up (no
// notice); -1 for an unknown handle.
int qrn_rdhttp_close_notify(int handle, qrn_callback notice, uintptr_t notice_context);
// 0 for a live handle (no option has an effect), -1 for an unknown one.
int qrn_rdhttp_option(int handle, int option, uintptr_t value);

// Test view: hook (null for none) runs on the connect call's thread just before
// qrn_rdhttp_connect returns, so that a test can hold the call while the tunnel comes up.
void rdhttp_set_connect_hook(void (*hook)(int handle));

#endif
