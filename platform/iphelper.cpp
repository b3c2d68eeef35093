// IP Helper over the routing table and getifaddrs.
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <vector>

#include "platform/iphelper.h"
#include "platform/winsock.h"

namespace ws {

namespace {

// Any port will do: connecting a UDP socket only chooses the route and sends nothing.
constexpr uint16_t kRouteProbePort = 9;
constexpr uint32_t kReassemblySize = 65535;
constexpr uint16_t kAddrPrimary = 0x0001;
constexpr uint16_t kAddrDisconnected = 0x0008;

class CInterfaceList {
public:
    CInterfaceList() {
        if (::getifaddrs(&m_list) != 0) m_list = nullptr;
    }
    ~CInterfaceList() {
        if (m_list != nullptr) ::freeifaddrs(m_list);
    }
    CInterfaceList(const CInterfaceList &) = delete;
    CInterfaceList &operator=(const CInterfaceList &) = delete;

    bool ok() const { return m_list != nullptr; }
    const ifaddrs *first() const { return m_list; }

private:
    ifaddrs *m_list = nullptr;
};

uint32_t ipv4_of(const ::sockaddr *sa) {
    if (sa == nullptr || sa->sa_family != AF_INET) return 0;
    ::sockaddr_in sin;
    memcpy(&sin, sa, sizeof(sin));
    return sin.sin_addr.s_addr;
}

MIB_IPADDRROW row_of(const ifaddrs &ifa, uint32_t index) {
    MIB_IPADDRROW row{};
    row.dwAddr = ipv4_of(ifa.ifa_addr);
    row.dwIndex = index;
    row.dwMask = ipv4_of(ifa.ifa_netmask);
    row.dwBCastAddr = (ifa.ifa_flags & IFF_BROADCAST) != 0 ? ipv4_of(ifa.ifa_broadaddr) : 0;
    row.dwReasmSize = kReassemblySize;
    row.wType = (ifa.ifa_flags & IFF_RUNNING) != 0 ? kAddrPrimary : kAddrDisconnected;
    return row;
}

// The IPv4 addresses of all interfaces; false when the system cannot list them.
bool read_rows(std::vector<MIB_IPADDRROW> *rows) {
    CInterfaceList list;
    if (!list.ok()) return false;
    for (const ifaddrs *ifa = list.first(); ifa != nullptr; ifa = ifa->ifa_next) {
        if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET) continue;
        // An interface that disappears while the list is read has no index any more.
        uint32_t index = ::if_nametoindex(ifa->ifa_name);
        if (index != 0) rows->push_back(row_of(*ifa, index));
    }
    return true;
}

// The local address the routing table chooses towards dest: NO_ERROR, ERROR_NOT_FOUND when
// there is no route, ERROR_CAN_NOT_COMPLETE when the system refuses a socket.
uint32_t route_source(uint32_t dest_addr, uint32_t *source) {
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return ERROR_CAN_NOT_COMPLETE;
    ::sockaddr_in dest{};
    dest.sin_family = AF_INET;
    dest.sin_port = hton16(kRouteProbePort);
    dest.sin_addr.s_addr = dest_addr;
    ::sockaddr_in local{};
    socklen_t local_len = sizeof(local);
    uint32_t result = ERROR_NOT_FOUND;
    if (::connect(s, reinterpret_cast<const ::sockaddr *>(&dest), sizeof(dest)) == 0 &&
        ::getsockname(s, reinterpret_cast<::sockaddr *>(&local), &local_len) == 0 &&
        local.sin_addr.s_addr != 0) {
        *source = local.sin_addr.s_addr;
        result = NO_ERROR;
    }
    ::close(s);
    return result;
}

size_t table_size(size_t rows) {
    return std::max(sizeof(MIB_IPADDRTABLE), offsetof(MIB_IPADDRTABLE, table) + rows * sizeof(MIB_IPADDRROW));
}

}  // namespace

uint32_t GetBestInterface(uint32_t dest_addr, uint32_t *best_if_index) {
    if (best_if_index == nullptr) return ERROR_INVALID_PARAMETER;
    uint32_t source = 0;
    uint32_t result = route_source(dest_addr, &source);
    if (result != NO_ERROR) return result;
    std::vector<MIB_IPADDRROW> rows;
    if (!read_rows(&rows)) return ERROR_CAN_NOT_COMPLETE;
    for (const MIB_IPADDRROW &row : rows) {
        if (row.dwAddr == source) {
            *best_if_index = row.dwIndex;
            return NO_ERROR;
        }
    }
    return ERROR_NOT_FOUND;
}

uint32_t GetIpAddrTable(MIB_IPADDRTABLE *table, uint32_t *size, int order) {
    if (size == nullptr) return ERROR_INVALID_PARAMETER;
    std::vector<MIB_IPADDRROW> rows;
    if (!read_rows(&rows)) return ERROR_CAN_NOT_COMPLETE;
    size_t needed = table_size(rows.size());
    if (table == nullptr || *size < needed) {
        *size = static_cast<uint32_t>(needed);
        return ERROR_INSUFFICIENT_BUFFER;
    }
    if (order != 0) {
        std::stable_sort(rows.begin(), rows.end(), [](const MIB_IPADDRROW &a, const MIB_IPADDRROW &b) {
            return ntoh32(a.dwAddr) < ntoh32(b.dwAddr);
        });
    }
    table->dwNumEntries = static_cast<uint32_t>(rows.size());
    // The rows run past the declared one-row array, into the room the caller's size vouches for.
    unsigned char *first_row = reinterpret_cast<unsigned char *>(table) + offsetof(MIB_IPADDRTABLE, table);
    if (!rows.empty()) memcpy(first_row, rows.data(), rows.size() * sizeof(MIB_IPADDRROW));
    return NO_ERROR;
}

}  // namespace ws
