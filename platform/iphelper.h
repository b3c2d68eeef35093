// IP Helper as the socket layer uses it: the interface that routes towards a destination and
// the table of interface addresses. Nothing is sent on the network.
#ifndef QRN_PLATFORM_IPHELPER_H
#define QRN_PLATFORM_IPHELPER_H

#include <stdint.h>

#include "platform/win_error.h"

namespace ws {

constexpr uint32_t NO_ERROR = 0;
constexpr uint32_t ERROR_NOT_FOUND = 1168;
constexpr uint32_t ERROR_CAN_NOT_COMPLETE = 1003;

struct MIB_IPADDRROW {
    uint32_t dwAddr;   // network order
    uint32_t dwIndex;  // interface index
    uint32_t dwMask;   // network order
    uint32_t dwBCastAddr;
    uint32_t dwReasmSize;
    uint16_t unused1;
    uint16_t wType;
};

struct MIB_IPADDRTABLE {
    uint32_t dwNumEntries;
    MIB_IPADDRROW table[1];  // dwNumEntries rows follow
};

// The index of the interface whose address the routing table uses towards dest (network
// order). NO_ERROR, or an error when no route exists.
uint32_t GetBestInterface(uint32_t dest_addr, uint32_t *best_if_index);
// Fills table when *size is large enough (NO_ERROR); otherwise sets *size to the bytes needed
// and returns ERROR_INSUFFICIENT_BUFFER. IPv4 interfaces only.
uint32_t GetIpAddrTable(MIB_IPADDRTABLE *table, uint32_t *size, int order);

}  // namespace ws

#endif
