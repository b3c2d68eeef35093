// TCP connections that never send their connect PDU cannot keep a server full: they are
// bounded per source address and per listener, a newer one displaces the oldest, and they
// are closed well before the half-open time-out of the other paths.
#include <unistd.h>

#include <vector>

#include "qrnlibl/qrn_time.h"
#include "rdtp/rdtp_pending.h"
#include "rdtp_fixture.h"

namespace rdtptest {
namespace {

using namespace rdtp;

constexpr uint32_t kFloodSource = 0x7f000002;       // 127.0.0.2
constexpr uint32_t kFirstSpreadSource = 0x7f000010;  // 127.0.0.16 and on

// Silent connections from source; the descriptors are appended to fds.
void Flood(uint16_t port, uint32_t source, int count, std::vector<int> *fds) {
    for (int i = 0; i < count; ++i) {
        const int fd = RawConnect(port, kLoopbackIp, source);
        ASSERT_GE(fd, 0);
        fds->push_back(fd);
    }
}

TEST_F(RdtpTest, SilentTcpFloodIsBoundedPerSourceAndListenerWhileRealClientsGetIn) {
    CUpper &server_upper = NewUpper();
    CUpper &client_upper = NewUpper();
    const uint16_t port = Listen(server_upper);
    const uint32_t start = get_tick_count();

    // One source opens three times its bound: the oldest two thirds are displaced at once.
    std::vector<int> from_one;
    Flood(port, kFloodSource, 3 * kPendingTcpPerSource, &from_one);
    ASSERT_TRUE(WaitUntil([] { return rdtp_debug::pending_paths_from(kFloodSource) == kPendingTcpPerSource; }));
    for (int i = 0; i < 2 * kPendingTcpPerSource; ++i) EXPECT_TRUE(RawSeesClose(from_one[i])) << i;

    // A real client from another source gets in beside the flood and carries bytes.
    int client = 0;
    int server = 0;
    Establish(client_upper, server_upper, port, &client, &server);
    ASSERT_EQ(5, qrn_rdtp_send(client, "hello", 5, 0));
    ASSERT_TRUE(server_upper.WaitForData(server, 5));

    // Many sources together reach the listener's bound; the oldest pending paths make room.
    std::vector<int> spread;
    const int sources = kPendingTcpPerListener / kPendingTcpPerSource;
    for (int s = 0; s < sources; ++s) Flood(port, kFirstSpreadSource + static_cast<uint32_t>(s), kPendingTcpPerSource, &spread);
    ASSERT_TRUE(WaitUntil([] { return rdtp_debug::pending_paths() == kPendingTcpPerListener; }));
    EXPECT_TRUE(WaitUntil([] { return rdtp_debug::pending_paths_from(kFloodSource) == 0; }));
    for (int i = 2 * kPendingTcpPerSource; i < 3 * kPendingTcpPerSource; ++i) EXPECT_TRUE(RawSeesClose(from_one[i])) << i;

    // The table is full, and a second real client still gets in.
    CUpper &late_upper = NewUpper();
    const int late = Connect(late_upper, port);
    ASSERT_GT(late, 0);
    ASSERT_TRUE(late_upper.WaitForCount(kMsgConfirm2, 1));
    ASSERT_TRUE(server_upper.WaitForCount(kMsgConnect2, 2));

    // The rest go at their connect-PDU deadline, long before the half-open time-out.
    for (size_t i = 0; i < spread.size(); ++i) EXPECT_TRUE(RawSeesClose(spread[i], 3 * qrntest::kWaitMs)) << i;
    const uint32_t elapsed = calc_tick_diff(start, get_tick_count());
    EXPECT_GE(elapsed, kPendingTcpTimeoutMs);
    EXPECT_LT(elapsed, kHalfOpenTimeoutMs);
    EXPECT_EQ(0, rdtp_debug::pending_paths());
    EXPECT_EQ(kStateEstablished, rdtp_debug::state(client));
    EXPECT_EQ(kStateEstablished, rdtp_debug::state(late));
    EXPECT_EQ(2, server_upper.recorder().Count(kMsgConnect));
    for (int fd : from_one) ::close(fd);
    for (int fd : spread) ::close(fd);
}

}  // namespace
}  // namespace rdtptest
