// The HTTP socket functions: one HTTP request per handle, reported to a plain callback as
// callback(user_data, msg, handle, p1, 0, 0):
//   2 connect outcome: p1 0 (POST: send the body now; GET: the status was 200), or 14 / 1107
//     (the handle is gone);
//   3 readable: p1 the bytes qrn_http_sock_recv can take now (may be 0; at most 1 MiB, held for
//     the user until it reads, while the rest of the answer waits on the network);
//   4 the request takes body bytes again after a short send;
//   5 ended: p1 0 read to its end, 4 read failed, 103 time-out, 104 send failed, 106 closed or
//     refused after connecting, 1107 credentials refused (the handle is gone);
//   10 credentials status: p1 1 asking, 2 done.
// Messages come on the internet thread, and 5 with 0, 103 and 104 (and the failing 2 of a
// request that could not start, at once) on the timer thread, never from inside these
// functions on the caller's thread, never with a lock of this layer held. A handle is the
// address of its object; every function checks it against the open handles, so a stale one
// gets -1, never a crash.
#ifndef QRN_HTTP_HTTPIE_H
#define QRN_HTTP_HTTPIE_H

#include <stdint.h>

#include "qrn/qrn_tp.h"
#include "qrnlibl/qrn_callback.h"

// Starts a GET (bGet non-zero), a POST of content_length body bytes, or a chunked POST
// (content_length 0). The handle, or 0 when the request object cannot be made.
uintptr_t qrn_http_sock_connect(qrn_callback callback, uintptr_t user_data, const char *host, int port,
                                int bGet, const char *url, unsigned int content_length);
// 2 reads the length (the body's, then the response's), 3 the bytes moved, 101 sets the
// callback, 102 the user data. 0, or -1 for a null or unknown handle.
int qrn_http_sock_option(uintptr_t handle, int option, uintptr_t value);
// The body bytes taken (fewer than length: message 4 follows), or a negative code.
int qrn_http_sock_send(uintptr_t handle, const void *data, int length);
// The bytes read, or -1 before the response head was accepted.
int qrn_http_sock_recv(uintptr_t handle, void *buffer, int length);
// Ends the request; no message follows. Outside a callback it returns once any callback for
// this handle on another thread has returned. 0, or -1 for a null or unknown handle.
int qrn_http_sock_close(uintptr_t handle);
// The one-second poll of every open request.
int qrn_wie_timer_callback(uintptr_t user_data, int msg, uintptr_t handle, uintptr_t p1, uintptr_t p2,
                           uintptr_t p3);
// The application's provider of proxy credentials, asked on the internet thread.
void qrn_http_sock_set_credentials_provider(qrn_credentials_provider provider);
// Whether the poll is on: exactly while a handle is open (test support).
bool qrn_http_sock_timer_on();

#endif
