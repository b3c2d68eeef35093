// Failed resumptions counted per source address: a stranger that guesses client tags from one
// address is cut off after a few tries, even once it names the right tags, while a real client
// on another address resumes as before; and the table of sources stays within its bound.
#include "rdtp/rdtp_resume_limit.h"

#include "rdtp_fixture.h"

namespace rdtptest {
namespace {

using namespace rdtp;
using qrntest::CTcpRelay;

constexpr uint32_t kStrangerIp = 0x7f000002;
constexpr uint32_t kOtherStrangerIp = 0x7f000003;

// A resumption from source; true when the answer is a refusal followed by the close.
bool RefusedFrom(uint32_t source, uint16_t port, uint32_t cli_tag, uint16_t conn_id, uint16_t ordinal) {
    const int fd = RawConnect(port, kLoopbackIp, source);
    if (fd < 0) return false;
    RawSend(fd, PduBytes(ServerTag(), cli_tag, conn_id, ordinal, kModeTcp));
    const bool refused = RawRecv(fd, kPduSize) == std::string(kPduSize, '\0') && RawSeesClose(fd);
    ::close(fd);
    return refused;
}

void ExpectStream(CUpper &from_upper, int from, CUpper &to_upper, int to, const std::string &bytes) {
    const size_t had = to_upper.Received(to).size();
    ASSERT_EQ(static_cast<int>(bytes.size()), qrn_rdtp_send(from, bytes.data(), static_cast<int>(bytes.size()), 0));
    ASSERT_TRUE(to_upper.WaitForData(to, had + bytes.size()));
    EXPECT_EQ(bytes, to_upper.Received(to).substr(had));
}

TEST_F(RdtpTest, GuessesFromOneAddressAreCutOffWhileTheRealClientResumesFromItsOwn) {
    rdtp_debug::forget_resume_failures();
    CUpper &server_upper = NewUpper();
    CUpper &client_upper = NewUpper();
    const uint16_t port = Listen(server_upper);
    CTcpRelay relay(port);
    ASSERT_NE(0, relay.Port());
    int client = 0;
    int server = 0;
    Establish(client_upper, server_upper, relay.Port(), &client, &server);
    ExpectStream(client_upper, client, server_upper, server, "up-before");
    const uint32_t cli_tag = static_cast<uint32_t>(rdtp_debug::client_tag(server));
    const uint16_t conn_id = static_cast<uint16_t>(server);

    // Every wrong guess is refused; once the budget is spent even the right tags are.
    for (int guess = 1; guess <= kResumeFailBurst; ++guess) {
        EXPECT_TRUE(RefusedFrom(kStrangerIp, port, cli_tag + static_cast<uint32_t>(guess), conn_id, 1)) << guess;
    }
    EXPECT_TRUE(RefusedFrom(kStrangerIp, port, cli_tag, conn_id, 1));
    EXPECT_TRUE(RefusedFrom(kStrangerIp, port, cli_tag, conn_id, 2));
    EXPECT_TRUE(RefusedFrom(kOtherStrangerIp, port, cli_tag + 1, conn_id, 1));
    EXPECT_EQ(2, rdtp_debug::resume_indebted_sources());
    EXPECT_EQ(kStateEstablished, rdtp_debug::state(server));
    EXPECT_EQ(0, rdtp_debug::ordinal(server));
    EXPECT_EQ(0, server_upper.recorder().Count(kMsgClose2));

    // The real client's path from 127.0.0.1 breaks; its first resumption is taken.
    ASSERT_EQ(1, relay.CutBothSides());
    ASSERT_TRUE(client_upper.WaitForCount(kMsgConfirm2, 2));
    ASSERT_TRUE(server_upper.WaitForCount(kMsgConnect2, 2));
    EXPECT_EQ(1, rdtp_debug::ordinal(server));
    EXPECT_EQ(0, client_upper.recorder().Count(kMsgClose));
    EXPECT_EQ(1, server_upper.recorder().Count(kMsgConnect));
    ExpectStream(client_upper, client, server_upper, server, "up-after");
    ExpectStream(server_upper, server, client_upper, client, "down-after");
    EXPECT_TRUE(WaitUntil([&] { return rdtp_debug::handles().size() == 2; }));
}

// The table alone, on ticks of its own: the budget, its refill across the clock's wrap-around,
// and a flood of new addresses that neither grows the table nor frees a spent source.
TEST(RdtpResumeLimiter, BudgetRefillsSlowlyAndAFloodOfAddressesNeitherGrowsTheTableNorFreesASpentSource) {
    static CRdtpResumeLimiter limiter;
    limiter.Clear();
    const uint32_t start = 0xffffffffu - kResumeFailRefillMs / 2;  // wraps during the refill
    const uint32_t spent = 0x0a000001;
    for (int i = 1; i < kResumeFailBurst; ++i) EXPECT_FALSE(limiter.Failed(spent, start)) << i;
    EXPECT_TRUE(limiter.Allowed(spent, start));
    EXPECT_TRUE(limiter.Failed(spent, start));
    EXPECT_FALSE(limiter.Allowed(spent, start));
    EXPECT_FALSE(limiter.Failed(spent, start));  // nothing more to count, and no second trip

    for (uint32_t i = 0; i < static_cast<uint32_t>(kResumeFailSources) * 2; ++i) limiter.Failed(0x0b000000 + i, start);
    EXPECT_EQ(kResumeFailSources, limiter.Indebted(start));
    EXPECT_FALSE(limiter.Allowed(spent, start));
    EXPECT_TRUE(limiter.Allowed(0x0c000001, start));

    EXPECT_FALSE(limiter.Allowed(spent, start + kResumeFailRefillMs - 1));
    EXPECT_TRUE(limiter.Allowed(spent, start + kResumeFailRefillMs));
    EXPECT_TRUE(limiter.Failed(spent, start + kResumeFailRefillMs));  // one more, and spent again
    EXPECT_FALSE(limiter.Allowed(spent, start + kResumeFailRefillMs));
    // Sources that owed one failure have paid it by now.
    EXPECT_EQ(1, limiter.Indebted(start + 2 * kResumeFailRefillMs));
    EXPECT_EQ(0, limiter.Indebted(start + (kResumeFailBurst + 1) * kResumeFailRefillMs));
}

}  // namespace
}  // namespace rdtptest
