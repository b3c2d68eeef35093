// What the connections need of the module: the server's tags, the trampolines they give their
// lower paths, and their removal from the handle table.
#ifndef QRN_RDTP_RDTP_MODULE_H
#define QRN_RDTP_RDTP_MODULE_H

#include <stdint.h>

#include "qrnlibl/qrn_callback.h"

class CRdtpConnection;

// The server's tag, drawn once by the first listen (0 before it), and a fresh client tag for
// each new logical connection. Both come from the random source and are never 0; 0 means the
// source failed and the connection cannot be given tags.
uint32_t rdtp_server_tag();
uint32_t rdtp_new_client_tag();

// Trampolines: each calls qrn_rdtp_callback with its own from in front.
int qrn_rdtp_udp_callback(uintptr_t user, int msg, uintptr_t handle, uintptr_t p1, uintptr_t p2,
                          uintptr_t p3);
int qrn_rdtp_tcp_callback(uintptr_t user, int msg, uintptr_t handle, uintptr_t p1, uintptr_t p2,
                          uintptr_t p3);
int qrn_rdtp_http_callback(uintptr_t user, int msg, uintptr_t handle, uintptr_t p1, uintptr_t p2,
                           uintptr_t p3);
int qrn_rdtp_timer_callback(uintptr_t user, int msg, uintptr_t handle, uintptr_t p1, uintptr_t p2,
                            uintptr_t p3);

int qrn_rdtp_race_callback(uintptr_t user, int msg, uintptr_t handle, uintptr_t p1, uintptr_t p2,
                           uintptr_t p3);
// The stagger that a race started now takes (option 115 with handle 0).
uint32_t rdtp_race_stagger();
// Option 115 with handle 0: 0, or -1 above kRaceStaggerMaxMs.
int rdtp_set_race_stagger(uintptr_t ms);

// Closes a lower handle of kind from (kFromUdp, kFromTcp, kFromHttp).
void rdtp_close_lower(int from, int handle);

// Frees the connection's handle and drops the table's reference, if the handle still names it.
// True for the one caller that did it; the caller must hold a reference of its own and no
// connection lock.
bool rdtp_remove_connection(CRdtpConnection *conn);

#endif
