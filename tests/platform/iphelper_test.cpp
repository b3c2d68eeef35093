// GetBestInterface and GetIpAddrTable on the loopback interface.
#include <net/if.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <vector>

#include "loopback_sockets.h"
#include "platform/iphelper.h"
#include "platform/winsock.h"

namespace qrntest {
namespace {

// The interface table, read with the two-call size protocol.
std::vector<unsigned char> ReadTable(int order) {
    uint32_t size = 0;
    EXPECT_EQ(ws::ERROR_INSUFFICIENT_BUFFER, ws::GetIpAddrTable(nullptr, &size, order));
    EXPECT_GE(size, sizeof(ws::MIB_IPADDRTABLE));
    std::vector<unsigned char> buf(size);
    EXPECT_EQ(ws::NO_ERROR,
              ws::GetIpAddrTable(reinterpret_cast<ws::MIB_IPADDRTABLE *>(buf.data()), &size, order));
    return buf;
}

const ws::MIB_IPADDRROW *Rows(const std::vector<unsigned char> &buf) {
    return reinterpret_cast<const ws::MIB_IPADDRTABLE *>(buf.data())->table;
}

uint32_t RowCount(const std::vector<unsigned char> &buf) {
    return reinterpret_cast<const ws::MIB_IPADDRTABLE *>(buf.data())->dwNumEntries;
}

TEST(IpHelper, LoopbackDestinationLeadsToLoopbackAddress) {
    uint32_t lo_index = if_nametoindex("lo");
    ASSERT_NE(0u, lo_index);
    for (uint32_t host : {kLoopbackHost, kLoopbackHost + 5}) {
        uint32_t index = 0;
        ASSERT_EQ(ws::NO_ERROR, ws::GetBestInterface(ws::hton32(host), &index));
        EXPECT_EQ(lo_index, index);

        std::vector<unsigned char> table = ReadTable(0);
        const ws::MIB_IPADDRROW *first = nullptr;
        for (uint32_t i = 0; i < RowCount(table) && first == nullptr; ++i) {
            if (Rows(table)[i].dwIndex == index) first = &Rows(table)[i];
        }
        ASSERT_NE(nullptr, first);
        EXPECT_EQ(ws::hton32(kLoopbackHost), first->dwAddr);
        EXPECT_EQ(ws::hton32(0xff000000), first->dwMask);
    }
}

TEST(IpHelper, TableSizeProtocolRefusesShortBuffers) {
    uint32_t size = 0;
    EXPECT_EQ(ws::ERROR_INVALID_PARAMETER, ws::GetIpAddrTable(nullptr, nullptr, 0));
    ASSERT_EQ(ws::ERROR_INSUFFICIENT_BUFFER, ws::GetIpAddrTable(nullptr, &size, 0));
    const uint32_t needed = size;
    std::vector<unsigned char> buf(needed, 0xee);
    size = needed - 1;
    EXPECT_EQ(ws::ERROR_INSUFFICIENT_BUFFER,
              ws::GetIpAddrTable(reinterpret_cast<ws::MIB_IPADDRTABLE *>(buf.data()), &size, 0));
    EXPECT_EQ(needed, size);
    EXPECT_EQ(std::vector<unsigned char>(needed, 0xee), buf);  // nothing written

    std::vector<unsigned char> table = ReadTable(0);
    ASSERT_GE(RowCount(table), 1u);
    EXPECT_GE(table.size(),
              offsetof(ws::MIB_IPADDRTABLE, table) + RowCount(table) * sizeof(ws::MIB_IPADDRROW));
}

TEST(IpHelper, OrderedTableHoldsEveryAddressSortedWithLoopbackAmongThem) {
    std::vector<unsigned char> plain = ReadTable(0);
    std::vector<unsigned char> ordered = ReadTable(1);
    ASSERT_EQ(RowCount(plain), RowCount(ordered));
    std::vector<uint32_t> expected, got;
    for (uint32_t i = 0; i < RowCount(plain); ++i) {
        expected.push_back(ws::ntoh32(Rows(plain)[i].dwAddr));
        got.push_back(ws::ntoh32(Rows(ordered)[i].dwAddr));
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(expected, got);
    EXPECT_NE(got.end(), std::find(got.begin(), got.end(), kLoopbackHost));
}

TEST(IpHelper, BestInterfaceRefusesNullResult) {
    EXPECT_EQ(ws::ERROR_INVALID_PARAMETER,
              ws::GetBestInterface(ws::hton32(kLoopbackHost), nullptr));
}

}  // namespace
}  // namespace qrntest
