// What the connections, the worker and the tests need of the layer's process-wide state: the
// registry, the worker's list, session tags and the datagram dispatcher.
#ifndef QRN_UDPRLB_UDPRLB_MODULE_H
#define QRN_UDPRLB_UDPRLB_MODULE_H

#include <stdint.h>

#include <atomic>

#include "platform/winsock.h"

class CUdpRlbConnection;

// The connection with one added reference, or null. The caller releases it.
CUdpRlbConnection *GetUdpRlbConnection(int handle);

// Ends a connection: removes it from the worker, frees its handle and drops the registry's
// reference, if the handle still names it. True for the one caller that did it. The caller
// holds a reference of its own and no connection lock; the object may be gone once that
// reference is released.
bool udprlb_end_connection(CUdpRlbConnection *conn);

// The worker's list: one tick per connection in turn. Add takes a reference, remove drops it
// (removing an absent connection is harmless).
void udprlb_worker_add(CUdpRlbConnection *conn);
void udprlb_worker_remove(CUdpRlbConnection *conn);
// The connection may have new timed work (a PDU arrived, the user sent or read): the worker
// gives it a turn soon. Cheap when it already has one coming.
void udprlb_worker_wake(CUdpRlbConnection *conn);

// An ended connection whose peer sent a close request: its repeats are answered (with own,
// to peer) until the release time-out, within the answer limits.
struct CUdpRlbIds;
void udprlb_remember_closed(const CUdpRlbIds &own, const ws::sockaddr_in &peer, int socket, int answers,
                            uint32_t answer_tick);
// A close request (ids as received, for app_id) that found no connection of its session:
// answered when an ended connection is remembered for it. True when an answer went out.
bool udprlb_answer_closed(uint16_t app_id, const CUdpRlbIds &ids);

// Connections that the user closed and that still deliver: they leave room for new ones.
int udprlb_closing_count();

// The ceiling in Mbit/s of the path-finding rate that connections made from now on take; 0:
// the original rate rules.
void udprlb_set_default_udp_rate(uint32_t mbit);
uint32_t udprlb_default_udp_rate();

// A new session tag from the system's random source, never kNoTag.
uint16_t udprlb_draw_tag();

// What the layer refused from the network, for traces' readers and the tests.
struct CUdpRlbCounters {
    std::atomic<uint32_t> foreign_datagrams{0};   // for a connection, from another address
    std::atomic<uint32_t> half_open_evicted{0};   // made to give way to a newer request
    std::atomic<uint32_t> half_open_expired{0};   // never heard from their peer
    std::atomic<uint32_t> half_open_dropped{0};   // requests of a source full of young ones
    std::atomic<uint32_t> relay_forwarded{0};
    std::atomic<uint32_t> relay_refused{0};       // dig hole PDUs not acted on
};
CUdpRlbCounters &udprlb_counters();

// Checks and dispatches one received datagram of len bytes from sender, which arrived on
// socket (whose callback context is listen_id). Runs on the socket thread, or on the caller's
// thread in the fuzz target; replies are built on the caller's stack.
void udprlb_dispatch_datagram(int socket, uintptr_t listen_id, const uint8_t *data, int len,
                              const ws::sockaddr_in *sender);

#endif
