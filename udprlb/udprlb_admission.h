// Admission of connect requests on the accepting side: the accepted connections by the peer's
// address and session (so that a repeated request finds its connection without a walk of the
// registry), and the bounds on half-open connections, overall and per source address.
//
// Its lock is a leaf: nothing is called under it, and it may be taken under the registry lock
// or a connection's lock.
#ifndef QRN_UDPRLB_UDPRLB_ADMISSION_H
#define QRN_UDPRLB_UDPRLB_ADMISSION_H

#include <stdint.h>

#include <vector>

// What a connect request names its session by: the sender's address and its app id and tag.
struct CUdpRlbPeerKey {
    uint32_t ip;
    uint16_t port;
    uint16_t app_id;
    uint16_t tag;
};

// The handle of the accepted connection that a request of key made, or 0.
int udprlb_admission_find(const CUdpRlbPeerKey &key);
// Makes room for one more half-open connection from ip: adds to victims the handles that must
// give way (the source's oldest, or the oldest of all), already taken out of the tables. False
// when the source is full of requests too young to be taken for forgeries: the new request is
// dropped, and a real client repeats it.
bool udprlb_admission_make_room(uint32_t ip, std::vector<int> *victims);
// Records a new accepted connection as half-open.
void udprlb_admission_add(const CUdpRlbPeerKey &key, int handle);
// The connection heard from its peer: no longer half-open. False when it was made to give way
// meanwhile (it is then being ended).
bool udprlb_admission_establish(int handle);
// Forgets an ended connection (harmless for one that was never recorded).
void udprlb_admission_remove(int handle);

int udprlb_admission_half_open();
int udprlb_admission_half_open_from(uint32_t ip);

#endif
