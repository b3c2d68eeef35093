// qrntunnel as the tunnel clients meet it: the built program in a child process on loopback,
// driven with HTTP requests written by hand on raw sockets, with a raw TCP listener as the
// multi-mode server's TCP port.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "qrntunnel_peer.h"

namespace {

using namespace qrntest;

class QrnTunnel : public TunnelTargetTest {};

TEST_F(QrnTunnel, AnswersTheDetectorsThreeTestsAndRefusesWhatDoesNotBelong) {
    CTunnel tunnel(m_target_port);
    ASSERT_TRUE(tunnel.Started());
    const uint16_t port = tunnel.Port();

    // Reachability: a new session each time, with ids that differ and are never 0.
    CHttpPeer first(port, "GET", "/s_detector?", -1);
    CHttpPeer second(port, "GET", "/s_detector?", -1);
    std::string a = first.Body(), b = second.Body();
    ASSERT_EQ(first.Status(), 200);
    ASSERT_EQ(a.size(), 5u);
    ASSERT_EQ(b.size(), 5u);
    EXPECT_EQ(a[0], dtctr::kTypeSessionCreated);
    uint32_t id = ReadId(a, 1), other = ReadId(b, 1);
    EXPECT_NE(id, 0u);
    EXPECT_NE(other, 0u);
    EXPECT_NE(id, other);
    const std::string session = "/s_detector?" + std::to_string(id);

    // Large post: the echo sent on the POST comes back on the GET while both stay open.
    CHttpPeer down(port, "GET", session, -1);
    ASSERT_EQ(down.Status(), 200);
    CHttpPeer up(port, "POST", session, dtctr::kBigPostBodyLength);
    up.Send(Pdu(CDetectorPduEcho(dtctr::kBigPostEcho)));
    EXPECT_EQ(down.Stream(5), Pdu(CDetectorPduEcho(dtctr::kEchoAnswer)));
    up.Send(Pdu(CDetectorPduClose()));
    EXPECT_EQ(up.Status(), 200);
    EXPECT_TRUE(down.StreamEnds());

    // Small post: the answer is the POST's own reply, of a declared length.
    const std::string small = "/s_detector?" + std::to_string(other);
    CHttpPeer post(port, "POST", small, 5, Pdu(CDetectorPduEcho(dtctr::kSmallPostEcho)));
    EXPECT_EQ(post.Body(), Pdu(CDetectorPduEcho(dtctr::kEchoAnswer)));
    EXPECT_EQ(post.Header("content-length"), "5");

    // The small post ends its session: it names nothing afterwards.
    CHttpPeer after(port, "GET", small, -1);
    EXPECT_EQ(after.Status(), 404);

    // A PDU of no known type, a session that does not exist, a malformed id.
    CHttpPeer third(port, "GET", "/s_detector?", -1);
    std::string c = third.Body();
    ASSERT_EQ(c.size(), 5u);
    CHttpPeer foreign(port, "POST", "/s_detector?" + std::to_string(ReadId(c, 1)), 5,
                      std::string("\x09\x01\x02\x03\x04", 5));
    EXPECT_EQ(foreign.Status(), 400);
    CHttpPeer unknown(port, "GET", "/s_detector?" + std::to_string(id ^ other ^ 1u), -1);
    EXPECT_EQ(unknown.Status(), 404);
    CHttpPeer not_number(port, "GET", "/s_detector?0012", -1);
    EXPECT_EQ(not_number.Status(), 400);
    CHttpPeer still(port, "GET", "http://127.0.0.1:" + std::to_string(port) + "/s_detector?", -1);
    EXPECT_EQ(still.Body().size(), 5u);
}

TEST_F(QrnTunnel, BigPostSessionCarriesAStreamEachWayAndEndsWithTheTarget) {
    CTunnel tunnel(m_target_port);
    ASSERT_TRUE(tunnel.Started());
    CHttpPeer down(tunnel.Port(), "GET", "/s_rdhttp?BigPost", -1);
    int target = RawAccept(m_listen);
    ASSERT_GE(target, 0);
    std::string header = down.Stream(8);
    ASSERT_EQ(header.size(), 8u);
    EXPECT_EQ(header.substr(0, 4), "KVHT");
    uint32_t id = ReadId(header, 4);
    ASSERT_NE(id, 0u);

    // Bytes the target sends before the uplink exists wait behind "OK".
    const std::string early = "early bytes";
    RawSend(target, early);
    const std::string uplink = "/s_rdhttp?" + std::to_string(id);
    CHttpPeer up(tunnel.Port(), "POST", uplink, rdhttp::kBigPostUplinkLength);
    EXPECT_EQ(down.Stream(2 + early.size()), "OK" + early);

    // A second uplink for the same session is answered as an unknown id; the first goes on.
    CHttpPeer again(tunnel.Port(), "POST", uplink, rdhttp::kBigPostUplinkLength);
    EXPECT_EQ(again.Status(), 404);

    const std::string upstream = Pattern(1 << 20, 1), downstream = Pattern(1 << 20, 2);
    std::thread writer([&] {
        constexpr size_t kPiece = 40000;
        for (size_t off = 0; off < upstream.size(); off += kPiece) {
            up.Send(upstream.substr(off, kPiece));
        }
    });
    std::thread target_writer([&] { RawSend(target, downstream); });
    EXPECT_TRUE(RawRecv(target, upstream.size()) == upstream);
    EXPECT_TRUE(down.Stream(downstream.size()) == downstream);
    writer.join();
    target_writer.join();

    // The target's end ends the downlink, which is how the client hears of it.
    ::close(target);
    EXPECT_TRUE(down.StreamEnds());
    // An uplink that goes on after its session is dropped, not read into a dead session.
    ::shutdown(up.Fd(), SHUT_RD);
    EXPECT_TRUE(WaitUntil([&] { return ::send(up.Fd(), "x", 1, MSG_NOSIGNAL) < 0; }));
}

TEST_F(QrnTunnel, SinglePostExchangesCarryAStreamEachWayWithinTheirBounds) {
    CTunnel tunnel(m_target_port);
    ASSERT_TRUE(tunnel.Started());
    uint32_t id = tunnel.OpenSinglePost();
    ASSERT_NE(id, 0u);
    ASSERT_NE(id, 0xFFFFFFFFu);
    int target = RawAccept(m_listen);
    ASSERT_GE(target, 0);
    EXPECT_NE(tunnel.OpenSinglePost(), id);  // a second session, another id
    int second_target = RawAccept(m_listen);
    EXPECT_GE(second_target, 0);

    const std::string upstream = Pattern(64 * 1024 + 17, 3), downstream = Pattern(48 * 1024 + 5, 4);
    RawSend(target, downstream);
    std::string got, reply;
    size_t sent = 0;
    std::string at_target;
    ASSERT_TRUE(WaitUntil([&] {
        std::string piece = upstream.substr(sent, rdhttp::kMaxExchangeData);
        if (tunnel.Exchange(id, piece, &reply) != 200) return true;
        sent += piece.size();
        EXPECT_LE(reply.size(), size_t(rdhttp::kMaxExchangeData));
        got += reply;
        return sent == upstream.size() && got.size() >= downstream.size();
    }));
    EXPECT_TRUE(got == downstream);
    EXPECT_TRUE(RawRecv(target, upstream.size()) == upstream);

    // Bodies out of bounds are refused, and the session is still there afterwards.
    std::string reply_of_poll = "unchanged";
    const std::string path = "/s_rdhttp?" + std::to_string(id);
    CHttpPeer too_long(tunnel.Port(), "POST", path, 4097, std::string(4097, 'z'));
    EXPECT_EQ(too_long.Status(), 413);
    CHttpPeer empty(tunnel.Port(), "POST", path, 0);
    EXPECT_EQ(empty.Status(), 400);
    CHttpPeer bad_open(tunnel.Port(), "POST", "/s_rdhttp?SinglePost", 4, "GET ");
    EXPECT_EQ(bad_open.Status(), 400);
    CHttpPeer get_exchange(tunnel.Port(), "GET", path, -1);
    EXPECT_EQ(get_exchange.Status(), 405);
    EXPECT_EQ(tunnel.Exchange(id, "", &reply_of_poll), 200);
    EXPECT_EQ(reply_of_poll, "");
    EXPECT_FALSE(RawWaitReadable(target, std::chrono::steady_clock::now()));  // nothing forged

    // The target's end: what it sent last still arrives, then the session is gone.
    RawSend(target, "last words");
    ::close(target);
    std::string tail;
    ASSERT_TRUE(WaitUntil([&] {
        std::string r;
        int status = tunnel.Exchange(id, "", &r);
        tail += r;
        return status == 410;
    }));
    EXPECT_EQ(tail, "last words");
    EXPECT_TRUE(WaitUntil([&] { return tunnel.Exchange(id, "", &reply) == 404; }));
    ::close(second_target);
}

TEST_F(QrnTunnel, HeldPollAnswersWithTheFirstDataOrEmptyAtItsDeadline) {
    CTunnel tunnel(m_target_port, {"--hold", "1500"});
    ASSERT_TRUE(tunnel.Started());
    uint32_t id = tunnel.OpenSinglePost();
    ASSERT_NE(id, 0u);
    int target = RawAccept(m_listen);
    ASSERT_GE(target, 0);
    const std::string path = "/s_rdhttp?" + std::to_string(id);

    CHttpPeer poll(tunnel.Port(), "POST", path, 1, "x");
    EXPECT_FALSE(RawWaitReadable(poll.Fd(), std::chrono::steady_clock::now() +
                                                std::chrono::milliseconds(300)));
    RawSend(target, "wake");
    EXPECT_EQ(poll.Body(), std::string(1, '\0') + "wake");

    // Nothing comes: the poll still ends, empty, once its hold is over.
    CHttpPeer idle(tunnel.Port(), "POST", path, 1, "x");
    EXPECT_EQ(idle.Body(), std::string(1, '\0'));
    // An exchange that carries data is not a poll: it is answered with what there is.
    CHttpPeer data(tunnel.Port(), "POST", path, 4, "xabc");
    EXPECT_EQ(data.Body(), std::string(1, '\0'));
    EXPECT_EQ(RawRecv(target, 3), "abc");
    ::close(target);
}

TEST_F(QrnTunnel, CapsSessionsEndsSilentOnesAndSurvivesHostileRequests) {
    CTunnel tunnel(m_target_port, {"--max-sessions", "2", "--idle-timeout", "4000"});
    ASSERT_TRUE(tunnel.Started());
    uint32_t one = tunnel.OpenSinglePost();
    uint32_t two = tunnel.OpenSinglePost();
    ASSERT_NE(one, 0u);
    ASSERT_NE(two, 0u);
    int t1 = RawAccept(m_listen), t2 = RawAccept(m_listen);
    ASSERT_GE(t1, 0);
    ASSERT_GE(t2, 0);
    // Full: both forms refuse with session id 0, as the clients understand it.
    EXPECT_EQ(tunnel.OpenSinglePost(), 0u);
    CHttpPeer big(tunnel.Port(), "GET", "/s_rdhttp?BigPost", -1);
    EXPECT_EQ(big.Body(), std::string("KVHT\0\0\0\0", 8));

    // Hostile requests on the side: garbage, a huge head, an unknown path.
    int garbage = RawConnect(tunnel.Port());
    RawSend(garbage, Pattern(3000, 5) + "\r\n\r\n");
    EXPECT_TRUE(RawSeesClose(garbage));
    ::close(garbage);
    int huge = RawConnect(tunnel.Port());
    std::string head = "GET /s_rdhttp?BigPost HTTP/1.1\r\nX-Filler: " + std::string(200000, 'f');
    ::send(huge, head.data(), head.size(), MSG_NOSIGNAL);
    std::string answer = RawRecv(huge, 12);
    EXPECT_TRUE(answer.empty() || answer.substr(9, 1) == "4") << answer;
    ::close(huge);
    CHttpPeer lost(tunnel.Port(), "GET", "/index.html", -1);
    EXPECT_EQ(lost.Status(), 404);

    // Both clients fall silent: their sessions end, the targets see it, room comes back.
    EXPECT_TRUE(RawSeesClose(t1));
    EXPECT_TRUE(RawSeesClose(t2));
    std::string reply;
    EXPECT_NE(tunnel.Exchange(one, "late", &reply), 200);
    uint32_t three = 0;
    EXPECT_TRUE(WaitUntil([&] { return (three = tunnel.OpenSinglePost()) != 0; }));
    EXPECT_NE(three, one);
    EXPECT_NE(three, two);
    ::close(t1);
    ::close(t2);
    int t3 = RawAccept(m_listen);
    EXPECT_GE(t3, 0);
    if (t3 >= 0) ::close(t3);
    EXPECT_TRUE(tunnel.Child().Running());
    EXPECT_EQ(tunnel.Child().Stop(), 0);

    // The command line: help on request, a refusal without a target or with a bad address;
    // each ends by itself.
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--help"}, "--idle-timeout"},
        {{"--listen", "127.0.0.1:1"}, "--target is required"},
        {{"--target", "127.0.0.1:5", "--listen", "127.0.0.1:70000"}, "bad value for --listen"}};
    for (const auto &c : cases) {
        std::vector<std::string> argv = c.first;
        argv.insert(argv.begin(), TunnelPath());
        ChildProcess cli;
        ASSERT_TRUE(cli.Start(argv));
        EXPECT_TRUE(cli.WaitForOutput(c.second)) << c.second;
        EXPECT_TRUE(WaitUntil([&] { return !cli.Running(); })) << c.second;
    }

    // A target that cannot be reached: the opening gets session id 0.
    CTunnel nowhere(FreePort());
    ASSERT_TRUE(nowhere.Started());
    EXPECT_EQ(nowhere.OpenSinglePost(), 0u);
    CHttpPeer big_nowhere(nowhere.Port(), "GET", "/s_rdhttp?BigPost", -1);
    EXPECT_EQ(big_nowhere.Stream(8), std::string("KVHT\0\0\0\0", 8));
    EXPECT_TRUE(big_nowhere.StreamEnds());
}

}  // namespace
