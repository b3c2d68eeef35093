// Closing many connections at once through a lossy path: every byte each closing side sent,
// and its close, reach the peer, and the closing side hears that they did.
#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "test_support.h"
#include "udp_relay.h"
#include "udprlb_test_peer.h"

namespace {

using namespace urlbtest;
using qrntest::CUdpRelay;
using qrntest::UdpRelayConfig;

// Each connection's last bytes before its close, told apart by their first line.
std::string Tail(int index, int size) {
    std::string tail = "connection " + std::to_string(index) + "\n";
    while (static_cast<int>(tail.size()) < size) tail += static_cast<char>('a' + (tail.size() * 7 + index) % 26);
    return tail;
}

// Hundreds of closes in one burst, with a third of every datagram (data, acknowledgements,
// close requests and their answers) lost both ways: without repeated close requests most peers
// would never hear of the close, and without delivery after the close the tails would be cut.
TEST(UdpRlbClose, HundredsClosingAtOnceThroughALossyPathAllArriveWhole) {
    constexpr int kConnections = 200;
    constexpr int kTailBytes = 3000;  // three data PDUs
    // The release time-out (30 s) still leaves 15 s of real time for the work.
    qrntest::ClockFactor fast(2);
    EventRecorder &server = NewRecorder();
    EventRecorder &client = NewRecorder();
    EventRecorder &notices = NewRecorder();
    std::mutex mutex;
    std::map<uintptr_t, std::string> received;    // by server handle
    std::map<uintptr_t, size_t> received_at_close;
    server.SetHook([&](const Event &e) {
        std::lock_guard<std::mutex> lock(mutex);
        if (e.msg == kEventClosed) received_at_close[e.handle] = received[e.handle].size();
        if (e.msg != kEventData || e.p2 != static_cast<uintptr_t>(kDataReliable)) return;
        char buf[4096];
        int n;
        while ((n = qrn_udprlb_recv(static_cast<int>(e.handle), buf, sizeof(buf), 0)) > 0) {
            received[e.handle].append(buf, static_cast<size_t>(n));
        }
    });
    const uint16_t port = Listen(server);
    CUdpRelay relay(port, UdpRelayConfig{});
    ASSERT_NE(0, relay.port());
    std::vector<int> handles;
    for (int i = 0; i < kConnections; ++i) {
        const int h = qrn_udprlb_connect(kLoopback, relay.port(), "", 0, &EventRecorder::Callback, client.Context());
        ASSERT_GT(h, 0);
        handles.push_back(h);
    }
    ASSERT_TRUE(client.WaitForCount(kEventConnectDone, kConnections));
    ASSERT_TRUE(server.WaitForCount(kEventAccepted, kConnections));
    for (const Event &e : client.Events()) ASSERT_EQ(static_cast<uintptr_t>(kConnectOk), e.p1);

    UdpRelayConfig lossy;
    lossy.drop = 0.3;
    lossy.seed = 11;
    relay.SetConfig(lossy);
    std::set<std::string> expected;
    for (int i = 0; i < kConnections; ++i) {
        const std::string tail = Tail(i, kTailBytes);
        expected.insert(tail);
        ASSERT_EQ(kTailBytes, qrn_udprlb_send(handles[i], tail.data(), kTailBytes, 0));
    }
    for (int h : handles) ASSERT_EQ(0, qrn_udprlb_close_notify(h, &EventRecorder::Callback, notices.Context()));
    // Gone for the user at once, though still delivering.
    EXPECT_EQ(kErrUnknownHandle, qrn_udprlb_send(handles[0], "x", 1, 0));
    EXPECT_EQ(kErrUnknownHandle, qrn_udprlb_close(handles[0]));

    const int wait_ms = 4 * qrntest::kWaitMs;
    EXPECT_TRUE(server.WaitForCount(kEventClosed, kConnections, wait_ms)) << server.Count(kEventClosed);
    EXPECT_TRUE(notices.WaitForCount(kEventCloseDone, kConnections, wait_ms)) << notices.Count(kEventCloseDone);
    EXPECT_GT(relay.dropped(), static_cast<uint64_t>(kConnections));

    std::set<uintptr_t> closed;
    for (const Event &e : server.Events()) {
        if (e.msg != kEventClosed) continue;
        EXPECT_EQ(static_cast<uintptr_t>(kClosedByPeer), e.p1);
        closed.insert(e.handle);
    }
    EXPECT_EQ(static_cast<size_t>(kConnections), closed.size()) << "one close per connection";
    std::set<uintptr_t> noticed;
    for (const Event &e : notices.Events()) {
        EXPECT_EQ(kEventCloseDone, e.msg);
        EXPECT_EQ(static_cast<uintptr_t>(kCloseDelivered), e.p1) << "handle " << e.handle;
        noticed.insert(e.handle);
    }
    EXPECT_EQ(std::set<uintptr_t>(handles.begin(), handles.end()), noticed);
    EXPECT_EQ(0, client.Count(kEventClosed)) << "a closing side hears nothing but its notice";

    std::lock_guard<std::mutex> lock(mutex);
    std::set<std::string> got;
    for (const auto &entry : received) {
        got.insert(entry.second);
        EXPECT_EQ(entry.second.size(), received_at_close[entry.first]) << "bytes after the close event";
    }
    EXPECT_EQ(expected, got) << "every tail whole, before its close";
}

// A peer that takes the data and never acknowledges it: the closing side goes on sending it
// again, never sends its close request (that would end a peer still missing bytes), and after
// the release time-out reports the close undelivered.
TEST(UdpRlbClose, UnacknowledgedTailIsSentAgainUntilTheReleaseTimeOut) {
    constexpr uint32_t kFactor = 10;  // the 30 s time-out takes 3 s
    qrntest::ClockFactor fast(kFactor);
    EventRecorder &server = NewRecorder();
    EventRecorder &notices = NewRecorder();
    const uint16_t port = Listen(server);
    RawUdpPeer peer;
    const CUdpRlbConnectResponse session = RawHandshake(peer, port, 40, 4000);
    ASSERT_EQ(kConnectAccepted, session.result);
    ASSERT_TRUE(server.WaitForCount(kEventAccepted, 1)) << "established by the peer's acknowledgement";
    const std::string tail = Tail(0, 1000);
    ASSERT_EQ(1000, qrn_udprlb_send(session.src, tail.data(), 1000, 0));
    Pdu first;
    ASSERT_TRUE(peer.WaitFor(kPduDataReliable, &first));
    ASSERT_EQ(0, qrn_udprlb_close_notify(session.src, &EventRecorder::Callback, notices.Context()));

    ASSERT_TRUE(notices.WaitForCount(kEventCloseDone, 1, qrntest::kWaitMs));
    const Event done = notices.WaitFor(kEventCloseDone);
    EXPECT_EQ(static_cast<uintptr_t>(session.src), done.handle);
    EXPECT_EQ(static_cast<uintptr_t>(kCloseNotDelivered), done.p1);
    const int resent = peer.CountAfter(kPduDataReliable, kQuietMs);
    EXPECT_GE(resent, 3) << "sent again after the close";
    EXPECT_EQ(0, peer.CountAfter(kPduCloseRequest, 0));
    EXPECT_EQ(0, server.Count(kEventClosed));
    // Gone for good: nothing more goes out.
    const int before = peer.CountAfter(kPduDataReliable, 0);
    EXPECT_EQ(before, peer.CountAfter(kPduDataReliable, 2 * kQuietMs));
    EXPECT_EQ(1, notices.Count(kEventCloseDone));
}

}  // namespace
