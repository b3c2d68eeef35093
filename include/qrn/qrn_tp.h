/* libqrntp: reliable, resumable connections between a client and a server application, and a
 * small asynchronous HTTP client.
 *
 * Everything reaches the application through its callback, on the library's own threads: an
 * event loop (one unless QRN_TP_OPT_EVENT_LOOPS asks for more), the HTTP client's internet
 * thread and the support library's timer thread. One connection's messages may arrive on
 * several of them, but only ever on its own event loop among the loops; the
 * library never calls back from inside an exported function on the caller's own thread unless
 * that function says so. Pointers passed in a message are valid only during the call. */
#ifndef QRN_QRN_TP_H
#define QRN_QRN_TP_H

#include <stdint.h>

#include "qrn_export.h"

#ifdef __cplusplus
extern "C" {
#endif

#ifndef QRN_CALLBACK_DEFINED
#define QRN_CALLBACK_DEFINED
/* callback(user data, message, handle, p1, p2, p3); the result is ignored by every caller. */
typedef int (*qrn_callback)(uintptr_t user_data, int msg, uintptr_t handle,
                            uintptr_t p1, uintptr_t p2, uintptr_t p3);
#endif

/* Messages of the application's callback: callback(user_data, msg, conn_id, p1, p2, p3). */
#define QRN_TP_MSG_CONNECT_REQUEST 1 /* server: p1 client's buffer size (bytes), p2 data length,
                                        p3 connect data; answer with qrn_tp_accept or close */
#define QRN_TP_MSG_CONNECT_RESULT 2  /* client: p1 0 accepted or a reason / refusal code; on
                                        acceptance p2 data length, p3 the server's data */
#define QRN_TP_MSG_DATA 3            /* p1 QRN_TP_DATA_STREAM or QRN_TP_DATA_DATAGRAM, p2 length,
                                        p3 the data */
#define QRN_TP_MSG_WRITABLE 4        /* everything qrn_tp_send took has been handed on */
#define QRN_TP_MSG_CLOSED 5          /* an open connection ended; p1 the reason */
#define QRN_TP_MSG_CLOSE_DONE 6      /* after qrn_tp_close, once, when QRN_TP_OPT_CLOSE_NOTICE
                                        was set: p1 QRN_TP_CLOSE_DELIVERED, or
                                        QRN_TP_REASON_PATH_FAILED when the close time-out (30 s)
                                        passed or the path failed first */
#define QRN_TP_MSG_PATH 7            /* only with QRN_TP_OPT_PATH_EVENTS: p1 QRN_TP_PATH_...,
                                        p2 the kind of path now, p3 the kind before
                                        (QRN_TP_CONN_MODE_...) */

/* p1 of QRN_TP_MSG_PATH. A lost path is followed by QRN_TP_PATH_RESUMED once the stream goes
   on over a new one (nothing lost or repeated), and that by QRN_TP_PATH_KIND_CHANGED when the
   new path is of another kind. At the server a tunnel's path is TCP (the tunnel server's). */
#define QRN_TP_PATH_LOST 1          /* p2 and p3: the kind that was lost */
#define QRN_TP_PATH_RESUMED 2
#define QRN_TP_PATH_KIND_CHANGED 3

/* p1 of QRN_TP_MSG_CLOSE_DONE: every byte taken and the close have reached the peer (with
   stream acknowledgement: the peer acknowledged them; otherwise, over TCP: they have been handed
   to the operating system, which delivers them even after the process ends). */
#define QRN_TP_CLOSE_DELIVERED 0

/* p1 of QRN_TP_MSG_DATA. */
#define QRN_TP_DATA_STREAM 0
#define QRN_TP_DATA_DATAGRAM 1

/* p1 of QRN_TP_MSG_CONNECT_RESULT: accepted. */
#define QRN_TP_CONNECT_ACCEPTED 0

/* Reasons in p1 of QRN_TP_MSG_CONNECT_RESULT and QRN_TP_MSG_CLOSED. Message 2 may also carry
   the refusal code that the server's application passed to qrn_tp_accept. */
#define QRN_TP_REASON_PEER_CLOSED 1        /* the peer closed normally */
#define QRN_TP_REASON_PATH_FAILED 2        /* connect failed, path gone, or 30 s time-out */
#define QRN_TP_REASON_RESUME_REFUSED 5     /* the peer refused to resume after a broken path */
#define QRN_TP_REASON_PROTOCOL_ERROR 6     /* oversized PDU or unreadable connect record */
#define QRN_TP_REASON_UPLINK_DISCONNECT 7  /* the peer sent uplink disconnect or abort */
#define QRN_TP_REASON_SESSION_LEFT 8       /* the peer left the session */
#define QRN_TP_REASON_VERSION_REFUSED 1010 /* the server refused the client's protocol version */

/* result of qrn_tp_accept: 0 accepts, any other value refuses with that code. */
#define QRN_TP_ACCEPT 0

/* reason of qrn_tp_close: which closing message the peer gets. */
#define QRN_TP_CLOSE_NORMAL 0             /* the peer sees QRN_TP_REASON_PEER_CLOSED */
#define QRN_TP_CLOSE_DISCONNECT 4         /* the same as QRN_TP_CLOSE_NORMAL */
#define QRN_TP_CLOSE_UPLINK_DISCONNECT 7  /* the peer sees QRN_TP_REASON_UPLINK_DISCONNECT */
#define QRN_TP_CLOSE_SESSION_LEFT 8       /* the peer sees QRN_TP_REASON_SESSION_LEFT */
#define QRN_TP_CLOSE_ABORT_CONNECTING 9   /* the peer sees QRN_TP_REASON_UPLINK_DISCONNECT */

/* flags of qrn_tp_send. */
#define QRN_TP_SEND_STREAM 0
#define QRN_TP_SEND_DATAGRAM 1 /* one datagram beside the stream, not blocked by it */

/* options of qrn_tp_option. */
#define QRN_TP_OPT_CONN_MODE 5       /* reads the path mode (QRN_TP_CONN_MODE_...) */
#define QRN_TP_OPT_PEER_IP 6         /* reads the peer's IPv4 address */
#define QRN_TP_OPT_PEER_PORT 7       /* reads the peer's port */
#define QRN_TP_OPT_PEER_LOCAL_IP 8   /* server: reads the address the client reported as its own */
#define QRN_TP_OPT_BANDWIDTH 10      /* reads the outgoing bandwidth, bytes per second */
#define QRN_TP_OPT_RTT 11            /* reads the smoothed round-trip time, milliseconds */
#define QRN_TP_OPT_CALLBACK 101      /* sets the callback to value */
#define QRN_TP_OPT_USER_DATA 102     /* sets the user data to value */
#define QRN_TP_OPT_NO_RESUME 104     /* switches off resumption after a lost path */
/* With handle 0, on the listeners: value 0 stops this process relaying UDP hole punching for
   others (on by default), non-zero starts it again. */
#define QRN_TP_OPT_UDP_RELAY 105
#define QRN_TP_OPT_CLOSE_NOTICE 107  /* value 1: qrn_tp_close is followed by QRN_TP_MSG_CLOSE_DONE
                                        (a process that ends before it may lose the tail) */
/* The reliable-UDP sending rate: value 0 keeps the original rate rules; a value from 1 to
   10000 is a ceiling in Mbit/s under which the rate finds the path's bottleneck (growing per
   round trip, then pacing at what the path delivers; random loss does not slow it). With
   handle 0 it holds for the UDP connections accepted and started afterwards (and only those
   widen their window, in the handshake); with a connection's handle, for that connection's
   UDP path at once (no effect on other paths). Set on the receiving end too, it makes that end
   acknowledge data beyond a gap as promptly as data in order. */
#define QRN_TP_OPT_UDP_RATE 108
/* Two ends of this library acknowledge the stream to each other, so that the bytes in flight
   are bounded by a window instead of by small socket buffers. Value: the window in bytes, the
   unacknowledged bytes kept at most (clamped to 256 KiB .. 256 MiB; by default 2.5 MiB, which
   fills 100 Mbit/s at a 200 ms round trip). With handle 0, for connections made from then on. */
#define QRN_TP_OPT_STREAM_WINDOW 109
/* Reads (into an int) 1 when the stream is acknowledged, 0 while not (yet) agreed or when the
   peer does not speak it. */
#define QRN_TP_OPT_STREAM_ACKS 110
/* Reads, into a char buffer of at least QRN_TP_CONNECT_ERROR_MAX bytes (value: its address),
   why the connection's last TCP path failed to connect, NUL-terminated and empty when no cause
   is known: "proxy 127.0.0.1:3128 answered 407 Proxy Authentication Required",
   "203.0.113.7:5000: Connection refused". After a failed connect (QRN_TP_MSG_CONNECT_RESULT
   with p1 QRN_TP_REASON_PATH_FAILED) the handle no longer exists, yet this option still
   reads that connect's cause with the same handle, inside the callback and after it, until
   the handle number is given to another connection or 64 later connects have failed; then,
   as for any unknown handle, the buffer is emptied and QRN_TP_ERR_UNKNOWN_HANDLE returned. */
#define QRN_TP_OPT_CONNECT_ERROR 111
/* Reads, into a char buffer as above, the proxy that carries the current TCP path,
   "http://HOST:PORT" or "socks5://HOST:PORT"; empty when the path is direct or not TCP. */
#define QRN_TP_OPT_PROXY 112
#define QRN_TP_CONNECT_ERROR_MAX 256
/* With handle 0: the number of event loops, from 1 (the default) to QRN_TP_EVENT_LOOPS_MAX.
   An event loop is a thread that waits on its sockets and runs their callbacks; connections
   made or accepted afterwards are spread over the loops, and each stays on one loop for its
   life (a resumption that arrives on another is handed to it). With more than one loop, the
   callbacks of different connections may run at the same time. Best set before qrn_tp_listen. */
#define QRN_TP_OPT_EVENT_LOOPS 113
#define QRN_TP_EVENT_LOOPS_MAX 64
/* Value 1: this connection reports its paths with QRN_TP_MSG_PATH; 0 (the default): it does
   not. QRN_TP_OPT_CONN_MODE always reads the kind that carries the connection now. */
#define QRN_TP_OPT_PATH_EVENTS 114
/* A client given an HTTP port together with a UDP or TCP port (or both) races its paths:
   reliable UDP first, then TCP, then the tunnel, each kind started this many milliseconds
   after the one before unless that one failed sooner, and keeps the first whose connect
   completes; the others are closed. A lost path is replaced by the same race, so the stream
   resumes on whichever kind still gets through. With handle 0, for connects made afterwards:
   0 starts every kind at once; at most QRN_TP_RACE_STAGGER_MAX; QRN_TP_RACE_STAGGER_DEFAULT
   until set. Ports given otherwise keep their fixed order (UDP and TCP: side by side). */
#define QRN_TP_OPT_RACE_STAGGER 115
#define QRN_TP_RACE_STAGGER_DEFAULT 250
#define QRN_TP_RACE_STAGGER_MAX 10000

/* Values read with QRN_TP_OPT_CONN_MODE. */
#define QRN_TP_CONN_MODE_UDP 0
#define QRN_TP_CONN_MODE_TCP 1
#define QRN_TP_CONN_MODE_HTTP 2
#define QRN_TP_CONN_MODE_TCP_UDP 3

/* Results. */
#define QRN_TP_OK 0
#define QRN_TP_ERR_UNKNOWN_HANDLE (-1) /* the handle was never issued or has ended */
#define QRN_TP_ERR_INVALID (-2)        /* accept/send: wrong connection state or data too long */
#define QRN_TP_INIT_SOCK_FAILED 1      /* qrn_tp_init: sockets could not be started */
#define QRN_TP_INIT_SOCK_VERSION 2     /* qrn_tp_init: wrong sockets version */
#define QRN_TP_LISTEN_UDP_FAILED (-1)  /* qrn_tp_listen */
#define QRN_TP_LISTEN_TCP_FAILED (-2)
#define QRN_TP_LISTEN_HTTP_FAILED (-3)

/* Limits. */
#define QRN_TP_MAX_CONNECT_DATA 32752   /* bytes of connect data, both ways */
#define QRN_TP_BUFFER_UNIT 1024         /* buffer sizes travel in units of this */
#define QRN_TP_BUFFER_SIZE_MIN 1024
#define QRN_TP_BUFFER_SIZE_MAX 67107840 /* 65535 units */

/* Starts the library: sockets, tables, the one-second timer. 0 on success or when already
   started; QRN_TP_INIT_SOCK_FAILED or QRN_TP_INIT_SOCK_VERSION otherwise (a later call may try
   again). */
QRN_API int qrn_tp_init(void);

/* Accepts connections on the given ports (0: that path is not offered); bind_ip is null or
   addresses separated by ';'. Each new connection arrives as QRN_TP_MSG_CONNECT_REQUEST on
   callback, with user_data, on a library thread. Listening lasts for the life of the process.
   0, or QRN_TP_LISTEN_UDP_FAILED / _TCP_FAILED / _HTTP_FAILED. */
QRN_API int qrn_tp_listen(const char *bind_ip, int udp_port, int tcpip_port, int http_port,
                          qrn_callback callback, uintptr_t user_data);

/* Starts a connection to server_ip with data_len (at most QRN_TP_MAX_CONNECT_DATA) bytes of
   connect data; buffer_size is clamped to QRN_TP_BUFFER_SIZE_MIN..MAX. Returns the new handle,
   or 0 when it could not start (nothing is called back then). The outcome arrives later as
   QRN_TP_MSG_CONNECT_RESULT on a library thread. */
QRN_API int qrn_tp_connect(const char *server_ip, int udp_port, int tcpip_port, int http_port,
                           const char *udp_proxy_ip, int udp_proxy_port,
                           qrn_callback callback, uintptr_t user_data,
                           unsigned int buffer_size, int data_len, const void *data);

/* Answers QRN_TP_MSG_CONNECT_REQUEST: result QRN_TP_ACCEPT opens the connection at once (no
   message), any other value refuses with that code. 0; QRN_TP_ERR_UNKNOWN_HANDLE;
   QRN_TP_ERR_INVALID when not awaiting an answer or when data_len is too long. */
QRN_API int qrn_tp_accept(int handle, int result, unsigned int buffer_size,
                          int data_len, const void *data);

/* Sends len bytes on the stream, or one datagram with QRN_TP_SEND_DATAGRAM. Returns the bytes
   taken (fewer than len: wait for QRN_TP_MSG_WRITABLE, then offer the rest),
   QRN_TP_ERR_INVALID when the connection is not open, len is negative, or a datagram finds
   no UDP path (TCP and HTTP paths carry only the stream), QRN_TP_ERR_UNKNOWN_HANDLE; for a
   datagram, what the path returned. */
QRN_API int qrn_tp_send(int handle, const void *data, int len, int flags);

/* Closes the connection with a QRN_TP_CLOSE_... reason; the unsent bytes go out before the
   closing message, in the background. The callback is never called again for this handle,
   except for QRN_TP_MSG_CLOSE_DONE when QRN_TP_OPT_CLOSE_NOTICE was set (that one may come
   from within this call, when nothing is left to await). Called outside any
   callback, it returns only once a callback for this handle that another thread is running
   has returned; called from inside a callback (any handle's), it does not wait. The handle is
   unknown afterwards. 0 or QRN_TP_ERR_UNKNOWN_HANDLE. */
QRN_API int qrn_tp_close(int handle, int reason);

/* Sets or reads a QRN_TP_OPT_... option; value is the value to set or the address of a word
   to write. Handle 0 takes QRN_TP_OPT_UDP_RELAY, QRN_TP_OPT_UDP_RATE, QRN_TP_OPT_STREAM_WINDOW,
   QRN_TP_OPT_EVENT_LOOPS and QRN_TP_OPT_RACE_STAGGER. 0, QRN_TP_ERR_UNKNOWN_HANDLE, or
   QRN_TP_ERR_INVALID for a QRN_TP_OPT_UDP_RATE above 10000, a QRN_TP_OPT_EVENT_LOOPS outside
   1 .. QRN_TP_EVENT_LOOPS_MAX (or whose loops could not start), or a QRN_TP_OPT_RACE_STAGGER
   above QRN_TP_RACE_STAGGER_MAX with handle 0. */
QRN_API int qrn_tp_option(int handle, int option, uintptr_t value);

/* Does nothing; kept for applications that call it. */
QRN_API void qrn_tp_heartbeat(void);

/* Does nothing and returns 0; arg is ignored. */
QRN_API int qrn_tp_loop(uintptr_t arg);

/* This host's address as dotted text ("127.0.0.1" when the host name does not resolve). The
   text is static and stays valid until the next call. */
QRN_API const char *qrn_tp_get_local_ip_str(void);

/* Messages of the HTTP client's callback: callback(user_data, msg, handle, p1, 0, 0). After a
   failing QRN_TP_HTTP_MSG_CONNECT or any QRN_TP_HTTP_MSG_CLOSED the handle no longer exists. */
#define QRN_TP_HTTP_MSG_CONNECT 2   /* p1 0: POST: send the body now; GET: the status was 200;
                                       else QRN_TP_HTTP_CLOSED_BEFORE or _CREDENTIALS_FAILED */
#define QRN_TP_HTTP_MSG_READABLE 3  /* p1 the bytes qrn_tp_http_recv can take now (may be 0) */
#define QRN_TP_HTTP_MSG_WRITABLE 4  /* the request takes body bytes again after a short send */
#define QRN_TP_HTTP_MSG_CLOSED 5    /* p1 QRN_TP_HTTP_OK (read to its end) or an error below */
#define QRN_TP_HTTP_MSG_STATUS 10   /* p1 1: proxy credentials are being asked for; 2: done */

/* p1 of QRN_TP_HTTP_MSG_CONNECT and QRN_TP_HTTP_MSG_CLOSED. */
#define QRN_TP_HTTP_OK 0
#define QRN_TP_HTTP_READ_FAILED 4
#define QRN_TP_HTTP_CLOSED_BEFORE 14          /* closed, or a status other than 200, early */
#define QRN_TP_HTTP_TIMEOUT 103
#define QRN_TP_HTTP_SEND_FAILED 104
#define QRN_TP_HTTP_CLOSED_AFTER 106          /* closed, or a status other than 200, later */
#define QRN_TP_HTTP_CREDENTIALS_FAILED 1107   /* declined, none registered, or refused again */

/* options of qrn_tp_http_option. */
#define QRN_TP_HTTP_OPT_LENGTH 2      /* reads the body's length, from message 2 on the answer's */
#define QRN_TP_HTTP_OPT_COUNT 3       /* reads the bytes sent and received since message 2 */
#define QRN_TP_HTTP_OPT_CALLBACK 101  /* sets the callback to value */
#define QRN_TP_HTTP_OPT_USER_DATA 102 /* sets the user data to value */

/* The HTTP client: a request to host:port (bGet non-zero for GET, else POST with
   content_length body bytes, or a chunked POST for 0). Returns the request's handle, or 0.
   Its messages arrive on callback on the internet thread or the timer thread, never from
   inside these functions; a request that cannot start (a bad host) reports its failing
   message 2 at once, on the timer thread. Proxies come from http_proxy, https_proxy, all_proxy and no_proxy. No
   qrn_tp_init needed. */
QRN_API uintptr_t qrn_tp_http_connect(qrn_callback callback, uintptr_t user_data, const char *host,
                                      int port, int bGet, const char *url,
                                      unsigned int content_length);
/* Sets or reads a QRN_TP_HTTP_OPT_ option. 0, or -1 for a null or ended handle. */
QRN_API int qrn_tp_http_option(uintptr_t handle, int option, uintptr_t value);
/* Sends body bytes; returns the count taken (fewer than length: message 4 follows when the
   request can take more) or a negative code. */
QRN_API int qrn_tp_http_send(uintptr_t handle, const void *data, int length);
/* Reads answer bytes; returns the count read, or -1 before the answer's head has arrived. */
QRN_API int qrn_tp_http_recv(uintptr_t handle, void *buffer, int length);
/* Ends the request; no message follows for this handle. Called outside a callback, it
   returns once a callback for this handle on another thread has returned. 0, or -1 for a
   null or ended handle. */
QRN_API int qrn_tp_http_close(uintptr_t handle);

/* Asked, on the internet thread, for a proxy user name and password: fills user and pass
   (zero-terminated, at most user_len and pass_len bytes) and returns 0, or non-zero to
   decline. */
typedef int (*qrn_credentials_provider)(const char *proxy_host, int proxy_port,
                                        char *user, int user_len, char *pass, int pass_len);
/* Registers the provider (null removes it); without one, proxy authentication is cancelled. */
QRN_API void qrn_tp_set_credentials_provider(qrn_credentials_provider provider);

#ifdef __cplusplus
}
#endif

#endif
