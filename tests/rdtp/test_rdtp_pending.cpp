// TCP connections that never send their connect PDU cannot keep a server full: they are
// bounded per source address and per listener, and closed well before the half-open time-out
// of the other paths; real clients still get in.
#include <errno.h>
#include <sys/socket.h>
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
constexpr uint32_t kLateSource = 0x7f000003;

// Silent connections from source; the descriptors are appended to fds.
void Flood(uint16_t port, uint32_t source, int count, std::vector<int> *fds) {
    for (int i = 0; i < count; ++i) {
        const int fd = RawConnect(port, kLoopbackIp, source);
        ASSERT_GE(fd, 0);
        fds->push_back(fd);
    }
}

// True when the server has closed fd (EOF or reset waiting), without waiting.
bool ClosedNow(int fd) {
    char byte;
    const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
}

int CountClosed(const std::vector<int> &fds) {
    int n = 0;
    for (int fd : fds) n += ClosedNow(fd) ? 1 : 0;
    return n;
}

TEST_F(RdtpTest, SilentTcpFloodIsBoundedPerSourceAndListenerWhileRealClientsGetIn) {
    // Deadlines at half their length: the flood below must be in place well within one.
    qrntest::ClockFactor clock(2);
    CUpper &server_upper = NewUpper();
    CUpper &client_upper = NewUpper();
    const uint16_t port = Listen(server_upper);
    const uint32_t start = get_tick_count();
    constexpr int kOver = 8;

    // One source opens more than its bound: it never holds more than the bound.
    std::vector<int> from_one;
    Flood(port, kFloodSource, kPendingTcpPerSource + kOver, &from_one);
    ASSERT_TRUE(WaitUntil([] { return rdtp_debug::pending_paths_from(kFloodSource) == kPendingTcpPerSource; }));
    EXPECT_TRUE(WaitUntil([&] { return CountClosed(from_one) == kOver; }));

    // A real client from another source gets in beside the flood and carries bytes.
    int client = 0;
    int server = 0;
    Establish(client_upper, server_upper, port, &client, &server);
    ASSERT_EQ(5, qrn_rdtp_send(client, "hello", 5, 0));
    ASSERT_TRUE(server_upper.WaitForData(server, 5));

    // Sources together reach the listener's bound, and one more path does not pass it.
    std::vector<int> spread;
    const int sources = kPendingTcpPerListener / kPendingTcpPerSource - 1;
    for (int s = 0; s < sources; ++s) {
        Flood(port, kFirstSpreadSource + static_cast<uint32_t>(s), kPendingTcpPerSource, &spread);
    }
    ASSERT_TRUE(WaitUntil([] { return rdtp_debug::pending_paths() == kPendingTcpPerListener; }));
    Flood(port, kLateSource, 1, &spread);
    EXPECT_TRUE(WaitUntil([&] { return CountClosed(from_one) + CountClosed(spread) == kOver + 1; }));
    EXPECT_EQ(kPendingTcpPerListener, rdtp_debug::pending_paths());

    // Once the oldest have had their time to speak, a second real client takes a place.
    const uint32_t flooded = get_tick_count();
    ASSERT_TRUE(WaitUntil([&] { return calc_tick_diff(flooded, get_tick_count()) >= kPendingTcpGraceMs; }));
    CUpper &late_upper = NewUpper();
    const int late = Connect(late_upper, port);
    ASSERT_GT(late, 0);
    ASSERT_TRUE(late_upper.WaitForCount(kMsgConfirm2, 1));
    ASSERT_TRUE(server_upper.WaitForCount(kMsgConnect2, 2));
    EXPECT_LE(rdtp_debug::pending_paths(), kPendingTcpPerListener);

    // The rest go at their connect-PDU deadline, long before the half-open time-out.
    EXPECT_TRUE(WaitUntil([] { return rdtp_debug::pending_paths() == 0; }, 3 * qrntest::kWaitMs));
    const uint32_t elapsed = calc_tick_diff(start, get_tick_count());
    EXPECT_GE(elapsed, kPendingTcpTimeoutMs);
    EXPECT_LT(elapsed, kHalfOpenTimeoutMs);
    for (size_t i = 0; i < from_one.size(); ++i) EXPECT_TRUE(RawSeesClose(from_one[i])) << i;
    for (size_t i = 0; i < spread.size(); ++i) EXPECT_TRUE(RawSeesClose(spread[i])) << i;
    EXPECT_EQ(kStateEstablished, rdtp_debug::state(client));
    EXPECT_EQ(kStateEstablished, rdtp_debug::state(late));
    EXPECT_EQ(2, server_upper.recorder().Count(kMsgConnect));
    for (int fd : from_one) ::close(fd);
    for (int fd : spread) ::close(fd);
}

}  // namespace
}  // namespace rdtptest
