// The tests' TCP relay: ordered copying both ways, half-close, the two kinds of cut, and no
// descriptor left behind.
#include <dirent.h>

#include <thread>

#include "rdtp_fixture.h"

namespace rdtptest {
namespace {

using qrntest::CTcpRelay;

char Pattern(size_t offset, int salt) { return static_cast<char>((offset * 131 + static_cast<size_t>(salt)) & 0xff); }

std::string Patterned(size_t len, int salt) {
    std::string out(len, '\0');
    for (size_t i = 0; i < len; ++i) out[i] = Pattern(i, salt);
    return out;
}

int OpenDescriptors() {
    int count = 0;
    DIR *dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    while (::readdir(dir) != nullptr) ++count;
    ::closedir(dir);
    return count;
}

// Nothing readable (no data, no end) on fd within a short look.
bool Quiet(int fd) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 50) == 0;
}

struct CRelayedPair {
    int listener = -1;
    int client = -1;
    int server = -1;
};

CRelayedPair Open(CTcpRelay &relay, int listener) {
    CRelayedPair pair;
    pair.listener = listener;
    const int before = relay.Accepted();
    pair.client = RawConnect(relay.Port());
    pair.server = RawAccept(listener);
    EXPECT_TRUE(relay.WaitForAccepted(before + 1));
    return pair;
}

TEST(TcpRelay, CopiesLargeTransfersInOrderBothWaysAndPassesHalfClose) {
    uint16_t port = 0;
    const int listener = RawListen(&port);
    CTcpRelay relay(port);
    ASSERT_NE(0, relay.Port());
    CRelayedPair pair = Open(relay, listener);
    ASSERT_GE(pair.client, 0);
    ASSERT_GE(pair.server, 0);
    EXPECT_EQ(1, relay.Accepted());

    const size_t size = 4 << 20;
    const std::string up = Patterned(size, 1);
    const std::string down = Patterned(size, 2);
    std::thread up_writer([&] { RawSend(pair.client, up); });
    std::thread down_writer([&] { RawSend(pair.server, down); });
    const std::string got_up = RawRecv(pair.server, size);
    const std::string got_down = RawRecv(pair.client, size);
    up_writer.join();
    down_writer.join();
    EXPECT_TRUE(got_up == up);
    EXPECT_TRUE(got_down == down);

    ::shutdown(pair.client, SHUT_WR);
    EXPECT_TRUE(RawSeesClose(pair.server));
    RawSend(pair.server, "bye");
    EXPECT_EQ("bye", RawRecv(pair.client, 3));
    ::close(pair.server);
    EXPECT_TRUE(RawSeesClose(pair.client));
    EXPECT_TRUE(WaitUntil([&] { return relay.Active() == 0; }));
    ::close(pair.client);
    ::close(listener);
}

TEST(TcpRelay, ClientSideCutLeavesTheServerSideOpenAndUnaware) {
    uint16_t port = 0;
    const int listener = RawListen(&port);
    CTcpRelay relay(port);
    CRelayedPair pair = Open(relay, listener);
    RawSend(pair.client, "before");
    ASSERT_EQ("before", RawRecv(pair.server, 6));

    EXPECT_EQ(1, relay.CutClientSide());
    EXPECT_EQ(0, relay.CutClientSide());  // already cut
    EXPECT_TRUE(RawSeesClose(pair.client));
    // The server can go on sending (the relay drops it) and hears nothing, not even an end.
    for (int i = 0; i < 64; ++i) RawSend(pair.server, std::string(4096, 'x'));
    EXPECT_TRUE(Quiet(pair.server));
    EXPECT_EQ(1, relay.Active());
    // Once the server closes, the relay lets go of it.
    ::close(pair.server);
    EXPECT_TRUE(WaitUntil([&] { return relay.Active() == 0; }));
    ::close(pair.client);
    ::close(listener);
}

TEST(TcpRelay, BothSidesCutEndsBothAndLaterConnectionsStillPass) {
    uint16_t port = 0;
    const int listener = RawListen(&port);
    CTcpRelay relay(port);
    CRelayedPair first = Open(relay, listener);
    CRelayedPair second = Open(relay, listener);
    EXPECT_EQ(2, relay.CutBothSides());
    for (const CRelayedPair &p : {first, second}) {
        EXPECT_TRUE(RawSeesClose(p.client));
        EXPECT_TRUE(RawSeesClose(p.server));
        ::close(p.client);
        ::close(p.server);
    }
    EXPECT_TRUE(WaitUntil([&] { return relay.Active() == 0; }));

    CRelayedPair third = Open(relay, listener);
    RawSend(third.client, "again");
    EXPECT_EQ("again", RawRecv(third.server, 5));
    EXPECT_EQ(3, relay.Accepted());
    ::close(third.client);
    ::close(third.server);
    ::close(listener);
}

TEST(TcpRelay, LeavesNoDescriptorBehind) {
    const int before = OpenDescriptors();
    {
        uint16_t port = 0;
        const int listener = RawListen(&port);
        CTcpRelay relay(port);
        std::vector<CRelayedPair> pairs;
        for (int i = 0; i < 20; ++i) pairs.push_back(Open(relay, listener));
        relay.CutClientSide();
        for (int i = 0; i < 20; i += 2) ::close(pairs[i].server);  // some server sides end, some stay
        EXPECT_TRUE(relay.WaitForAccepted(20));
        for (const CRelayedPair &p : pairs) {
            ::close(p.client);
            if (p.server >= 0 && (&p - pairs.data()) % 2 == 1) ::close(p.server);
        }
        ::close(listener);
    }
    EXPECT_EQ(before, OpenDescriptors());
}

}  // namespace
}  // namespace rdtptest
