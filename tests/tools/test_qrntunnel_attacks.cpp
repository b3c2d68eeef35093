// qrntunnel under attack from other loopback addresses: a stranger with a victim's session id,
// floods of detector sessions and of half-sent request heads from one address, and a detector
// client that posts without reading. Each attack runs beside a real client that must still be
// served.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "qrntunnel_peer.h"

namespace {

using namespace qrntest;

constexpr uint32_t kStranger = 0x7f000002;
constexpr uint32_t kOtherStranger = 0x7f000003;

std::string Path(uint32_t id) { return "/s_rdhttp?" + std::to_string(id); }

class QrnTunnelAttack : public TunnelTargetTest {};

TEST_F(QrnTunnelAttack, AStrangerWithAVictimsIdGetsNothingAndInjectsNothing) {
    CTunnel tunnel(m_target_port);
    ASSERT_TRUE(tunnel.Started());
    const uint16_t port = tunnel.Port();

    // Single post: the stranger's exchange is answered as an unknown id is, byte for byte.
    uint32_t id = tunnel.OpenSinglePost();
    ASSERT_NE(id, 0u);
    int target = RawAccept(m_listen);
    ASSERT_GE(target, 0);
    RawSend(target, "secret");
    CHttpPeer stolen(port, "POST", Path(id), 5, "xevil", kStranger);
    CHttpPeer unknown(port, "POST", Path(id ^ 0x5a5a5a5a), 5, "xevil", kStranger);
    EXPECT_EQ(stolen.Status(), 404);
    EXPECT_EQ(stolen.Body(), unknown.Body());
    EXPECT_EQ(unknown.Status(), 404);
    std::string reply, got;
    ASSERT_TRUE(WaitUntil([&] {
        EXPECT_EQ(tunnel.Exchange(id, got.empty() ? "hello" : "", &reply), 200);
        got += reply;
        return got.size() >= 6;
    }));
    EXPECT_EQ(got, "secret");
    EXPECT_EQ(RawRecv(target, 5), "hello");
    EXPECT_FALSE(RawWaitReadable(target, std::chrono::steady_clock::now()));

    // Large post: a stranger quicker than the client does not get the uplink.
    CHttpPeer down(port, "GET", "/s_rdhttp?BigPost", -1);
    int big_target = RawAccept(m_listen);
    ASSERT_GE(big_target, 0);
    std::string header = down.Stream(8);
    ASSERT_EQ(header.size(), 8u);
    const uint32_t big_id = ReadId(header, 4);
    CHttpPeer thief(port, "POST", Path(big_id), rdhttp::kBigPostUplinkLength, "injected", kStranger);
    EXPECT_EQ(thief.Status(), 404);
    EXPECT_EQ(thief.Body(), unknown.Body());
    CHttpPeer up(port, "POST", Path(big_id), rdhttp::kBigPostUplinkLength);
    EXPECT_EQ(down.Stream(2), "OK");
    up.Send("mine");
    EXPECT_EQ(RawRecv(big_target, 4), "mine");
    RawSend(big_target, "yours");
    EXPECT_EQ(down.Stream(5), "yours");

    // With --any-source a guesser's budget runs out: past it even the right id finds nothing,
    // while the opener's own address is still served.
    CTunnel open_tunnel(m_target_port, {"--any-source"});
    ASSERT_TRUE(open_tunnel.Started());
    uint32_t shared = open_tunnel.OpenSinglePost();
    ASSERT_NE(shared, 0u);
    int shared_target = RawAccept(m_listen);
    ASSERT_GE(shared_target, 0);
    EXPECT_EQ(open_tunnel.Exchange(shared, "", &reply, kOtherStranger), 200);
    for (uint32_t guess = 1; guess <= 40; ++guess) {
        open_tunnel.Exchange(shared + guess, "", &reply, kOtherStranger);
    }
    EXPECT_EQ(open_tunnel.Exchange(shared, "x", &reply, kOtherStranger), 404);
    EXPECT_EQ(open_tunnel.Exchange(shared, "y", &reply), 200);
    EXPECT_EQ(RawRecv(shared_target, 1), "y");
    ::close(target);
    ::close(big_target);
    ::close(shared_target);
}

TEST_F(QrnTunnelAttack, DetectorFloodFromOneAddressLeavesRoomAndExpires) {
    CTunnel tunnel(m_target_port, {"--max-sessions", "64", "--detector-lifetime", "2000"});
    ASSERT_TRUE(tunnel.Started());
    int opened = 0;
    uint32_t first = 0;
    for (int i = 0; i < 70; ++i) {
        CHttpPeer open(tunnel.Port(), "GET", "/s_detector?", -1, "", kStranger);
        std::string body = open.Body();
        if (open.Status() != 200) continue;
        if (opened++ == 0) first = ReadId(body, 1);
        ASSERT_EQ(body.size(), 5u);
    }
    EXPECT_GT(opened, 0);
    EXPECT_LT(opened, 16);

    // The real client detects and opens a tunnel meanwhile.
    CHttpPeer detect(tunnel.Port(), "GET", "/s_detector?", -1);
    EXPECT_EQ(detect.Body().size(), 5u);
    uint32_t id = tunnel.OpenSinglePost();
    EXPECT_NE(id, 0u);
    EXPECT_NE(id, 0xFFFFFFFFu);
    int target = RawAccept(m_listen);
    EXPECT_GE(target, 0);

    // The flood's sessions end after their lifetime, however busy they are kept.
    CHttpPeer downlink(tunnel.Port(), "GET", "/s_detector?" + std::to_string(first), -1, "",
                       kStranger);
    EXPECT_EQ(downlink.Status(), 200);
    EXPECT_TRUE(downlink.StreamEnds());
    EXPECT_TRUE(WaitUntil([&] {
        CHttpPeer again(tunnel.Port(), "GET", "/s_detector?", -1, "", kStranger);
        return again.Status() == 200;
    }));
    if (target >= 0) ::close(target);
}

// This process holds a thousand sockets at once: the soft descriptor limit goes to the hard one.
bool RoomForDescriptors(rlim_t wanted) {
    rlimit lim{};
    if (getrlimit(RLIMIT_NOFILE, &lim) != 0) return false;
    if (lim.rlim_cur >= wanted) return true;
    lim.rlim_cur = lim.rlim_max;
    return lim.rlim_cur >= wanted && setrlimit(RLIMIT_NOFILE, &lim) == 0;
}

TEST_F(QrnTunnelAttack, HalfSentHeadsFromOneAddressLeaveRoomAndAreDropped) {
    if (!RoomForDescriptors(1200)) GTEST_SKIP() << "the descriptor limit is below 1200";
    CTunnel tunnel(m_target_port, {"--max-sessions", "64"});
    ASSERT_TRUE(tunnel.Started());
    std::vector<int> lorises;
    for (int i = 0; i < 1000; ++i) {
        int fd = RawConnect(tunnel.Port(), kRawLoopbackIp, kStranger);
        if (fd < 0) break;
        lorises.push_back(fd);
        ::send(fd, "GET /s_rdhttp?BigPost HTTP/1.1\r\nHost: x", 39, MSG_NOSIGNAL);
    }
    EXPECT_EQ(lorises.size(), 1000u);

    uint32_t id = 0;
    EXPECT_TRUE(WaitUntil([&] { return (id = tunnel.OpenSinglePost()) != 0xFFFFFFFFu; }));
    EXPECT_NE(id, 0u);
    int target = RawAccept(m_listen);
    EXPECT_GE(target, 0);
    std::string reply;
    EXPECT_EQ(tunnel.Exchange(id, "ping", &reply), 200);

    // Every half head is dropped, the last ones within the head time-out.
    for (int fd : lorises) {
        EXPECT_TRUE(RawSeesClose(fd, 2 * kWaitMs));
        ::close(fd);
    }
    if (target >= 0) ::close(target);
}

TEST_F(QrnTunnelAttack, DetectorClientThatDoesNotReadStopsBeingAnswered) {
    CTunnel tunnel(m_target_port);
    ASSERT_TRUE(tunnel.Started());
    CHttpPeer open(tunnel.Port(), "GET", "/s_detector?", -1);
    std::string created = open.Body();
    ASSERT_EQ(created.size(), 5u);
    const std::string session = "/s_detector?" + std::to_string(ReadId(created, 1));
    CHttpPeer down(tunnel.Port(), "GET", session, -1);
    ASSERT_EQ(down.Status(), 200);

    const std::string echoes = Pdu(CDetectorPduEcho(dtctr::kBigPostEcho)) +
                               Pdu(CDetectorPduEcho(dtctr::kBigPostEcho));
    std::vector<int> statuses;
    for (int i = 0; i < 20; ++i) {
        CHttpPeer post(tunnel.Port(), "POST", session, long(echoes.size()), echoes);
        statuses.push_back(post.Status());
    }
    std::vector<int> expected(20, 429);
    expected[0] = expected[1] = 200;
    EXPECT_EQ(statuses, expected);
    std::string answers;
    for (int i = 0; i < 4; ++i) answers += Pdu(CDetectorPduEcho(dtctr::kEchoAnswer));
    EXPECT_EQ(down.Stream(answers.size()), answers);
}

}  // namespace
