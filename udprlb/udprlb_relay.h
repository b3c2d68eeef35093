// The limits of this endpoint's parts in hole punching, which anyone may ask of it: the relay
// forwards only to addresses that can be a peer, never to this endpoint's own sockets, to
// loopback only for a requester on loopback, a bounded number of times per source and second,
// and answers a destination's response2 only for a forward it made. The relay role can be
// switched off; the destination role (the dig hole test) obeys the same address and rate rules.
#ifndef QRN_UDPRLB_UDPRLB_RELAY_H
#define QRN_UDPRLB_UDPRLB_RELAY_H

#include <stdint.h>

#include "platform/winsock.h"
#include "udprlb/udprlb_pdu.h"

void udprlb_relay_set_enabled(bool enabled);
bool udprlb_relay_enabled();
// Records the local port of one of the layer's sockets.
void udprlb_relay_add_own_port(uint16_t port);

// A dig hole request from requester asks for a forward to request.ip:port. True when it may
// go; the forward is then remembered for the destination's response2.
bool udprlb_relay_admit_forward(const ws::sockaddr_in *requester, const CUdpRlbDigHole &request);
// A response2 from destination: true when it answers a forward made here recently to the
// client it names (which it then no longer does).
bool udprlb_relay_admit_response(const ws::sockaddr_in *destination, const CUdpRlbDigHole &response2);
// A dig hole forward from sender asks for a dig hole test to forward.ip:port.
bool udprlb_relay_admit_test(const ws::sockaddr_in *sender, const CUdpRlbDigHole &forward);

#endif
