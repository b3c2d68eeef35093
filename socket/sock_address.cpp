// VSOCK address functions: IPv4 socket addresses and the local address towards a destination.
#include <stddef.h>
#include <string.h>

#include <new>
#include <vector>

#include "platform/iphelper.h"
#include "qrnlibl/qrn_trace.h"
#include "socket/sock_defs.h"
#include "socket/sockcli.h"

namespace {

// The address that resolve_address and build_address hand out: one per thread, so that a
// caller's copy is never overwritten by another thread's call.
thread_local ws::sockaddr_in t_address;

ws::sockaddr_in *fill_address(uint32_t ip_net, uint16_t port) {
    memset(&t_address, 0, sizeof(t_address));
    t_address.sin_family = AF_INET;
    t_address.sin_addr.s_addr = ip_net;
    t_address.sin_port = ws::hton16(port);
    return &t_address;
}

// The address of the first interface-table row of interface `index` (network order), or 0.
uint32_t address_of_interface(uint32_t index) {
    uint32_t size = 0;
    if (ws::GetIpAddrTable(nullptr, &size, 0) != ws::ERROR_INSUFFICIENT_BUFFER || size < sizeof(ws::MIB_IPADDRTABLE)) {
        return 0;
    }
    // Rows are read in place, so the buffer is built of rows for their alignment.
    std::vector<ws::MIB_IPADDRROW> storage(size / sizeof(ws::MIB_IPADDRROW) + 1);
    auto *table = reinterpret_cast<ws::MIB_IPADDRTABLE *>(storage.data());
    if (ws::GetIpAddrTable(table, &size, 0) != ws::NO_ERROR) return 0;
    const uint32_t room = static_cast<uint32_t>((storage.size() * sizeof(ws::MIB_IPADDRROW) -
                                                 offsetof(ws::MIB_IPADDRTABLE, table)) /
                                                sizeof(ws::MIB_IPADDRROW));
    const uint32_t rows = table->dwNumEntries < room ? table->dwNumEntries : room;
    for (uint32_t i = 0; i < rows; ++i) {
        if (table->table[i].dwIndex == index) return table->table[i].dwAddr;
    }
    return 0;
}

}  // namespace

uint32_t VSOCK::get_local_ip(uint32_t ip) {
    QRN_TRACE_FUNC("VSOCK::get_local_ip");
    if (ip == 0) return 0;
    uint32_t index = 0;
    if (ws::GetBestInterface(ws::hton32(ip), &index) != ws::NO_ERROR) return 0;
    return ws::ntoh32(address_of_interface(index));
}

uint32_t VSOCK::get_local_ip() { return sock::kLoopbackIp; }

ws::sockaddr_in *VSOCK::resolve_address(const char *host, uint16_t port) {
    QRN_TRACE_FUNC("VSOCK::resolve_address");
    uint32_t ip_net = host != nullptr ? ws::inet_addr(host) : INADDR_ANY;
    if (ip_net == INADDR_NONE && !ws::gethostbyname_ipv4(host, &ip_net)) return nullptr;
    return fill_address(ip_net, port);
}

ws::sockaddr_in *VSOCK::build_address(uint32_t ip, uint16_t port) { return fill_address(ws::hton32(ip), port); }

uint32_t VSOCK::get_address_ip(const ws::sockaddr_in *address) {
    return address != nullptr ? ws::ntoh32(address->sin_addr.s_addr) : 0;
}

uint16_t VSOCK::get_address_port(const ws::sockaddr_in *address) {
    return address != nullptr ? ws::ntoh16(address->sin_port) : 0;
}

ws::sockaddr_in *VSOCK::copy_address(const ws::sockaddr_in *address) {
    if (address == nullptr) return nullptr;
    auto *copy = new (std::nothrow) ws::sockaddr_in;
    if (copy != nullptr) memcpy(copy, address, sizeof(*copy));
    return copy;
}

void VSOCK::delete_address(ws::sockaddr_in *copy) { delete copy; }

int VSOCK::compare_address(const ws::sockaddr_in *a, const ws::sockaddr_in *b) {
    if (a == b) return 0;
    if (a == nullptr || b == nullptr) return 1;
    return memcmp(a, b, sizeof(*a));
}
