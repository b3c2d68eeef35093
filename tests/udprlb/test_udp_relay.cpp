// The lossy UDP relay that the reliable-UDP tests and benchmarks run through: it must carry
// datagrams both ways, drop at the rate it is given, and hold some back so that later ones
// overtake them.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "raw_peer.h"
#include "test_support.h"
#include "udp_relay.h"

namespace {

using qrntest::CUdpRelay;
using qrntest::UdpRelayConfig;

// A bound, blocking UDP socket on 127.0.0.1 with a receive time-out.
class CUdpPeer {
public:
    CUdpPeer() {
        m_fd = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a = qrntest::RawAddress(0);
        EXPECT_EQ(0, ::bind(m_fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)));
        const int buffer = 4 * 1024 * 1024;
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof(buffer));
    }
    ~CUdpPeer() { ::close(m_fd); }
    uint16_t Port() const { return qrntest::RawPort(m_fd); }

    void SendTo(uint16_t port, uint32_t value) {
        sockaddr_in to = qrntest::RawAddress(port);
        ASSERT_EQ(static_cast<ssize_t>(sizeof(value)),
                  ::sendto(m_fd, &value, sizeof(value), 0, reinterpret_cast<sockaddr *>(&to), sizeof(to)));
    }

    // The next datagram's value and its sender's port; false when none comes within timeout_ms.
    bool Receive(uint32_t *value, uint16_t *from_port, int timeout_ms) {
        pollfd p{m_fd, POLLIN, 0};
        if (::poll(&p, 1, timeout_ms) != 1) return false;
        sockaddr_in from{};
        socklen_t len = sizeof(from);
        if (::recvfrom(m_fd, value, sizeof(*value), 0, reinterpret_cast<sockaddr *>(&from), &len) !=
            static_cast<ssize_t>(sizeof(*value))) {
            return false;
        }
        if (from_port != nullptr) *from_port = ntohs(from.sin_port);
        return true;
    }

    // Values until a quiet period of quiet_ms.
    std::vector<uint32_t> Drain(int quiet_ms) {
        std::vector<uint32_t> values;
        uint32_t v;
        while (Receive(&v, nullptr, quiet_ms)) values.push_back(v);
        return values;
    }

private:
    int m_fd = -1;
};

constexpr int kQuietMs = 500;

TEST(UdpRelay, ForwardsBothWaysWithOneUpstreamAddressPerClient) {
    CUdpPeer target;
    CUdpRelay relay(target.Port(), UdpRelayConfig{});
    ASSERT_NE(0, relay.port());
    CUdpPeer a;
    CUdpPeer b;

    a.SendTo(relay.port(), 1);
    uint32_t v = 0;
    uint16_t from_a = 0;
    ASSERT_TRUE(target.Receive(&v, &from_a, qrntest::kWaitMs));
    EXPECT_EQ(1u, v);
    EXPECT_NE(a.Port(), from_a);  // the target sees the relay, not the client

    b.SendTo(relay.port(), 2);
    uint16_t from_b = 0;
    ASSERT_TRUE(target.Receive(&v, &from_b, qrntest::kWaitMs));
    EXPECT_EQ(2u, v);
    EXPECT_NE(from_a, from_b);

    a.SendTo(relay.port(), 3);
    uint16_t again = 0;
    ASSERT_TRUE(target.Receive(&v, &again, qrntest::kWaitMs));
    EXPECT_EQ(from_a, again);

    // Answers to each upstream address reach that client only, from the relay's port.
    target.SendTo(from_b, 20);
    target.SendTo(from_a, 10);
    uint16_t from = 0;
    ASSERT_TRUE(a.Receive(&v, &from, qrntest::kWaitMs));
    EXPECT_EQ(10u, v);
    EXPECT_EQ(relay.port(), from);
    ASSERT_TRUE(b.Receive(&v, &from, qrntest::kWaitMs));
    EXPECT_EQ(20u, v);
    EXPECT_TRUE(a.Drain(100).empty());
    EXPECT_EQ(5u, relay.forwarded());
    EXPECT_EQ(0u, relay.dropped());
}

// Sends count numbered datagrams through the relay, paced so that no socket buffer
// overflows, and returns what arrived in arrival order.
std::vector<uint32_t> Carry(const UdpRelayConfig &config, uint32_t count) {
    CUdpPeer target;
    CUdpRelay relay(target.Port(), config);
    CUdpPeer client;
    std::vector<uint32_t> got;
    std::atomic<bool> sent_all{false};
    std::thread reader([&] {
        uint32_t v;
        for (;;) {
            if (target.Receive(&v, nullptr, kQuietMs)) {
                got.push_back(v);
            } else if (sent_all.load()) {
                return;
            }
        }
    });
    constexpr uint32_t kPaceEvery = 50;
    for (uint32_t i = 0; i < count; ++i) {
        client.SendTo(relay.port(), i);
        if (i % kPaceEvery == kPaceEvery - 1) {
            qrntest::WaitUntil([&] { return relay.forwarded() + relay.dropped() + kPaceEvery > i; });
        }
    }
    EXPECT_TRUE(qrntest::WaitUntil([&] { return relay.forwarded() + relay.dropped() == count; }));
    sent_all = true;
    reader.join();
    EXPECT_EQ(relay.forwarded(), got.size());
    return got;
}

TEST(UdpRelay, DropsAtTheConfiguredRateAndTheSameOnesForTheSameSeed) {
    constexpr uint32_t kCount = 5000;
    UdpRelayConfig config;
    config.drop = 0.1;
    config.seed = 7;
    std::vector<uint32_t> first = Carry(config, kCount);
    const double rate = 1.0 - static_cast<double>(first.size()) / kCount;
    // The standard deviation of the rate is about 0.004 here.
    EXPECT_NEAR(0.1, rate, 0.02);
    for (size_t i = 1; i < first.size(); ++i) ASSERT_LT(first[i - 1], first[i]) << "no reordering asked";

    EXPECT_EQ(first, Carry(config, kCount));
    config.seed = 8;
    EXPECT_NE(first, Carry(config, kCount));
}

TEST(UdpRelay, ReorderingLetsLaterDatagramsOvertakeWithoutLosingAny) {
    constexpr uint32_t kCount = 2000;
    UdpRelayConfig config;
    config.reorder = 0.05;
    config.delay_ms = 2;
    config.seed = 3;
    std::vector<uint32_t> got = Carry(config, kCount);
    ASSERT_EQ(kCount, got.size());
    int overtaken = 0;
    for (size_t i = 1; i < got.size(); ++i) {
        if (got[i] < got[i - 1]) ++overtaken;
    }
    // About 100 datagrams were held back; each lands behind at least one later one unless
    // the stream paused right after it.
    EXPECT_GT(overtaken, 20);
    std::vector<bool> seen(kCount, false);
    for (uint32_t v : got) {
        ASSERT_LT(v, kCount);
        EXPECT_FALSE(seen[v]) << "duplicate " << v;
        seen[v] = true;
    }
}

TEST(UdpRelay, DelaysAndTakesANewConfigurationAtOnce) {
    CUdpPeer target;
    UdpRelayConfig config;
    config.delay_ms = 200;
    CUdpRelay relay(target.Port(), config);
    CUdpPeer client;
    uint32_t v = 0;
    const auto start = std::chrono::steady_clock::now();
    client.SendTo(relay.port(), 1);
    ASSERT_TRUE(target.Receive(&v, nullptr, qrntest::kWaitMs));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(config.delay_ms));

    config.delay_ms = 0;
    config.drop = 1.0;
    relay.SetConfig(config);
    client.SendTo(relay.port(), 2);
    ASSERT_TRUE(qrntest::WaitUntil([&] { return relay.dropped() == 1; }));
    EXPECT_FALSE(target.Receive(&v, nullptr, 100));
    EXPECT_EQ(1u, relay.forwarded());
}

}  // namespace
