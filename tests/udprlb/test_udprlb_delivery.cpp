// Reliable and unreliable delivery of the reliable-UDP layer, seen from a hand-driven peer that
// reads and writes every PDU, and end to end between two endpoints of the layer.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "qrnlibl/qrn_time.h"
#include "raw_peer.h"
#include "test_support.h"
#include "udprlb/udprlb.h"
#include "udprlb_delivery_peer.h"

namespace udprlbtest {
namespace {

using qrntest::ClockFactor;
using qrntest::Event;
using qrntest::EventRecorder;
using qrntest::WaitUntil;

// Bytes announced readable by reliable data events (p2 0).
uint64_t ReadableAnnounced(const EventRecorder &rec) {
    uint64_t sum = 0;
    for (const Event &e : rec.Events()) {
        if (e.msg == kEventData && e.p2 == static_cast<uintptr_t>(kDataReliable)) sum += e.p1;
    }
    return sum;
}

TEST(UdpRlbDelivery, SendCutsReliableDataIntoChunksWithinOneSlotAndLimitsUnreliablePackets) {
    Connected c;
    ASSERT_GT(c.handle, 0);
    const std::string data = Pattern(5000, 1);
    ASSERT_EQ(5000, SendBytes(c.handle, data));

    // Taking is sending: the call took all 5000 bytes, so all four chunks left within it.
    const int expected_len[] = {1360, 1360, 1360, 920};
    std::string got;
    for (int i = 0; i < 4; ++i) {
        DataPdu pdu;
        ASSERT_TRUE(c.peer.ReceiveData(&pdu)) << "chunk " << i;
        EXPECT_EQ(static_cast<uint32_t>(1360 * i), pdu.pdu.seq);
        EXPECT_EQ(expected_len[i], pdu.pdu.data_len);
        EXPECT_EQ(0u, pdu.pdu.ack);
        EXPECT_EQ(0, pdu.pdu.sack_count);
        if (i == 0) {
            // Period 0, reporting on period 15 in which nothing arrived.
            EXPECT_EQ(0x0F, pdu.header.stats_index);
            EXPECT_EQ(0, pdu.header.stats_volume);
        }
        got += pdu.data;
    }
    EXPECT_EQ(data, got);

    const std::string too_long(kMaxData + 1, 'x');
    EXPECT_EQ(kErrTooLong, SendBytes(c.handle, too_long, kSendUnreliableFlag));
    const std::string longest = Pattern(kMaxData, 2);
    ASSERT_EQ(kMaxData, SendBytes(c.handle, longest, kSendUnreliableFlag));
    Pdu d;
    ASSERT_TRUE(c.peer.ReceiveType(kPduDataUnreliable, &d));
    CUdpRlbDataUnreliable unreliable;
    ASSERT_TRUE(udprlb_pdu_read_data_unreliable(d.payload.data(), d.size(), &unreliable));
    EXPECT_EQ(0, unreliable.seq);
    EXPECT_EQ(kAttemptFirst, unreliable.attempt);
    EXPECT_EQ(longest, std::string(reinterpret_cast<const char *>(unreliable.data), kMaxData));
}

TEST(UdpRlbDelivery, OutOfOrderDataArrivesInOneEventOnceTheGapFills) {
    Connected c;
    ASSERT_GT(c.handle, 0);
    const std::string data = Pattern(3000, 3);
    c.peer.SendData(1000, 0, data.substr(1000, 1000));
    c.peer.SendData(2000, 0, data.substr(2000, 1000));

    // The acknowledgement names the two pieces as one block beyond the gap.
    DataPdu ack;
    ASSERT_TRUE(c.peer.ReceiveData(&ack, false));
    while (ack.pdu.sack_count == 0 || ack.pdu.sack[0].length != 2000) ASSERT_TRUE(c.peer.ReceiveData(&ack, false));
    EXPECT_EQ(0u, ack.pdu.ack);
    EXPECT_EQ(1, ack.pdu.sack_count);
    EXPECT_EQ(1000u, ack.pdu.sack[0].offset);
    EXPECT_EQ(0, c.rec.Count(kEventData));

    c.peer.SendData(0, 0, data.substr(0, 1000));
    ASSERT_TRUE(c.rec.WaitForCount(kEventData, 1));
    const Event readable = c.rec.WaitFor(kEventData);
    EXPECT_EQ(3000u, readable.p1);
    EXPECT_EQ(static_cast<uintptr_t>(kDataReliable), readable.p2);
    EXPECT_EQ(0u, readable.p3);
    EXPECT_EQ(data, RecvAll(c.handle, 5000));

    // Old data and data beyond the window are dropped and acknowledged again.
    c.peer.SendData(1000, 0, data.substr(1000, 1000));
    c.peer.SendData(3000 + kConnectWindow, 0, "beyond");
    ASSERT_TRUE(c.peer.WaitForAck(3000, &ack));
    EXPECT_EQ(0, ack.pdu.sack_count);
    c.peer.SendData(3000, 0, "tail");
    ASSERT_TRUE(c.rec.WaitForCount(kEventData, 2));
    EXPECT_EQ("tail", RecvAll(c.handle, 100));
    EXPECT_EQ(3004u, ReadableAnnounced(c.rec));
}

TEST(UdpRlbDelivery, AckBeyondWhatWasSentDropsThePduWithItsDataButAnOlderAckKeepsIt) {
    Connected c;
    ASSERT_GT(c.handle, 0);
    // Nothing was sent yet: an ack of 1 is beyond, so its data must not count either.
    c.peer.SendData(0, 1, "XYZ");
    c.peer.SendData(0, 0, "abc");
    ASSERT_TRUE(c.rec.WaitForCount(kEventData, 1));
    EXPECT_EQ("abc", RecvAll(c.handle, 100));

    const std::string out = Pattern(2720, 4);
    ASSERT_EQ(2720, SendBytes(c.handle, out));
    c.peer.SendData(3, 2720, "def");
    ASSERT_TRUE(c.rec.WaitForCount(kEventData, 2));
    // A PDU overtaken on the way carries an older ack: its data is still taken.
    c.peer.SendData(6, 1360, "ghi");
    ASSERT_TRUE(c.rec.WaitForCount(kEventData, 3));
    c.peer.SendData(9, 2721, "JKL");
    c.peer.SendData(9, 2720, "jkl");
    ASSERT_TRUE(c.rec.WaitForCount(kEventData, 4));
    EXPECT_EQ("defghijkl", RecvAll(c.handle, 100));
    EXPECT_EQ(12u, ReadableAnnounced(c.rec));
}

// Neither side waits for a timer once a hole shows: the receiver acknowledges at once, and
// the sender resends the missing chunk as soon as a selective entry names what lies beyond
// it, long before its resend time (100 ms here).
TEST(UdpRlbDelivery, HolesAreReportedAndRepairedWithoutWaitingForTimers) {
    constexpr int kPromptMs = 50;
    Connected c;
    ASSERT_GT(c.handle, 0);
    const std::string data = Pattern(3000, 6);
    c.peer.SendData(1000, 0, data.substr(1000, 1000));
    DataPdu ack;
    ASSERT_TRUE(c.peer.ReceiveData(&ack, false, kPromptMs)) << "the hole was not acknowledged at once";
    ASSERT_EQ(1, ack.pdu.sack_count);
    EXPECT_EQ(1000u, ack.pdu.sack[0].offset);

    const std::string out = Pattern(5000, 7);
    ASSERT_EQ(5000, SendBytes(c.handle, out));
    DataPdu pdu;
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(c.peer.ReceiveData(&pdu));
    c.peer.SendData(0, 0, "", {CUdpRlbSackEntry{kMaxData, static_cast<uint16_t>(5000 - kMaxData)}});
    ASSERT_TRUE(c.peer.ReceiveData(&pdu, true, kPromptMs)) << "the hole was not resent at once";
    EXPECT_EQ(0u, pdu.pdu.seq);
    EXPECT_EQ(out.substr(0, kMaxData), pdu.data);
}

TEST(UdpRlbDelivery, SilentPeerSeesRetransmissionsWithGrowingDelays) {
    // Slow enough that a reader a few real milliseconds late under a sanitizer and a loaded
    // machine stays within the slack below.
    ClockFactor fast(4);
    Connected c;
    ASSERT_GT(c.handle, 0);
    const std::string data = Pattern(100, 5);
    ASSERT_EQ(100, SendBytes(c.handle, data));
    std::vector<uint32_t> ticks;
    while (ticks.size() < 16) {
        DataPdu pdu;
        ASSERT_TRUE(c.peer.ReceiveData(&pdu)) << "transmission " << ticks.size();
        ASSERT_EQ(0u, pdu.pdu.seq);
        ASSERT_EQ(data, pdu.data);
        ticks.push_back(get_tick_count());
    }
    // The k-th retransmission waits (k + 1) times the resend time-out of 100 ms, capped at
    // 1000 ms for the first entry of the queue. The ticks are taken where the peer reads, late
    // by whatever a loaded machine costs: measured from the first transmission, a late read
    // only ever lengthens the span, so one step of slack covers the first read alone.
    constexpr uint32_t kReadSlack = 100;
    uint32_t due = 0;
    for (size_t k = 0; k + 1 < ticks.size(); ++k) {
        due += std::min<uint32_t>(static_cast<uint32_t>(k + 1) * 100, 1000);
        EXPECT_GE(calc_tick_diff(ticks[0], ticks[k + 1]) + kReadSlack, due) << "retransmission " << k + 1;
    }
    EXPECT_GT(calc_tick_diff(ticks[4], ticks[5]), calc_tick_diff(ticks[0], ticks[1]) * 2);
    // Five capped delays: 5000 ms, where uncapped growth would take 6000.
    EXPECT_LT(calc_tick_diff(ticks[10], ticks[15]), 5600u);
}

TEST(UdpRlbDelivery, UnreliablePacketWhoseAckIsLostGoesOutOnceMoreWithAttempt2) {
    ClockFactor fast(10);
    Connected c;
    ASSERT_GT(c.handle, 0);
    ASSERT_EQ(5, SendBytes(c.handle, "first", kSendUnreliableFlag));
    Pdu d;
    CUdpRlbDataUnreliable pdu;
    ASSERT_TRUE(c.peer.ReceiveType(kPduDataUnreliable, &d));
    const uint32_t sent = get_tick_count();
    ASSERT_TRUE(udprlb_pdu_read_data_unreliable(d.payload.data(), d.size(), &pdu));
    EXPECT_EQ(0, pdu.seq);
    EXPECT_EQ(kAttemptFirst, pdu.attempt);

    ASSERT_TRUE(c.peer.ReceiveType(kPduDataUnreliable, &d));
    EXPECT_GE(calc_tick_diff(sent, get_tick_count()) + 20, kInitialUnreliableResendTimeout);
    ASSERT_TRUE(udprlb_pdu_read_data_unreliable(d.payload.data(), d.size(), &pdu));
    EXPECT_EQ(0, pdu.seq);
    EXPECT_EQ(kAttemptRetransmit, pdu.attempt);
    EXPECT_EQ("first", std::string(reinterpret_cast<const char *>(pdu.data), 5));

    // An acknowledged packet goes once; the retransmitted one is not sent a third time.
    ASSERT_EQ(6, SendBytes(c.handle, "second", kSendUnreliableFlag));
    ASSERT_TRUE(c.peer.ReceiveType(kPduDataUnreliable, &d));
    ASSERT_TRUE(udprlb_pdu_read_data_unreliable(d.payload.data(), d.size(), &pdu));
    EXPECT_EQ(1, pdu.seq);
    c.peer.SendUnreliableAck(1);
    EXPECT_FALSE(c.peer.ReceiveType(kPduDataUnreliable, &d, 600)) << "nothing more within 6 s of the clock";
}

TEST(UdpRlbDelivery, UnreliablePacketsArriveInPlaceAndOnlyFirstAttemptsAreAcked) {
    Connected c;
    ASSERT_GT(c.handle, 0);
    std::mutex mutex;
    std::vector<std::string> packets;
    c.rec.SetHook([&](const Event &e) {
        if (e.msg != kEventData || e.p2 != static_cast<uintptr_t>(kDataUnreliable)) return;
        std::lock_guard<std::mutex> guard(mutex);
        packets.emplace_back(reinterpret_cast<const char *>(e.p3), e.p1);
    });
    c.peer.SendUnreliable(5, kAttemptFirst, "alpha");
    Pdu d;
    CUdpRlbUnreliableAck ack;
    ASSERT_TRUE(c.peer.ReceiveType(kPduUnreliableAck, &d));
    ASSERT_TRUE(udprlb_pdu_read_unreliable_ack(d.payload.data(), d.size(), &ack));
    EXPECT_EQ(5, ack.seq);
    EXPECT_EQ(static_cast<uint16_t>(c.handle), ack.ids.src);
    EXPECT_EQ(ConnectedPeer::kPeerTag, ack.ids.dst_tag);

    c.peer.SendUnreliable(6, kAttemptRetransmit, "beta");
    c.peer.SendUnreliable(7, kAttemptFirst, "gamma");
    ASSERT_TRUE(c.peer.ReceiveType(kPduUnreliableAck, &d));
    ASSERT_TRUE(udprlb_pdu_read_unreliable_ack(d.payload.data(), d.size(), &ack));
    EXPECT_EQ(7, ack.seq) << "a retransmission is not acknowledged";
    ASSERT_TRUE(c.rec.WaitForCount(kEventData, 3));
    c.rec.SetHook(nullptr);
    EXPECT_EQ((std::vector<std::string>{"alpha", "beta", "gamma"}), packets);
    EXPECT_EQ(0u, ReadableAnnounced(c.rec));
    EXPECT_EQ("", RecvAll(c.handle, 100)) << "unreliable packets never enter the stream";
}

TEST(UdpRlbDelivery, ElevenMissingUnreliablePacketsDrawALossReportTenDoNot) {
    Connected c;
    ASSERT_GT(c.handle, 0);
    // Block 0..99 with 0..9 missing, closed by 150; block 100..199 with 100..110 missing,
    // closed by 250.
    int sent = 0;
    auto send = [&](int seq) {
        c.peer.SendUnreliable(static_cast<uint16_t>(seq), kAttemptFirst, "v");
        ++sent;
        // Each packet draws its ACK: reading it keeps the two sockets in step.
        Pdu d;
        ASSERT_TRUE(c.peer.ReceiveType(kPduUnreliableAck, &d));
    };
    for (int seq = 10; seq < 100; ++seq) send(seq);
    send(150);
    for (int seq = 111; seq < 200; ++seq) {
        if (seq != 150) send(seq);
    }
    send(250);
    Pdu d;
    ASSERT_TRUE(c.peer.ReceiveType(kPduLostPacketReport, &d));
    CUdpRlbLostReport report;
    ASSERT_TRUE(udprlb_pdu_read_lost_report(d.payload.data(), d.size(), &report));
    EXPECT_EQ(11, report.missing) << "the block with ten missing drew no report before it";
    EXPECT_EQ(static_cast<uint16_t>(c.handle), report.src);
    EXPECT_EQ(ConnectedPeer::kPeerId, report.dst);
    EXPECT_TRUE(c.rec.WaitForCount(kEventData, sent));
}

TEST(UdpRlbDelivery, RefusedWriterHearsEvent4OnceTheWindowDrains) {
    ClockFactor fast(4);
    Connected c;
    ASSERT_GT(c.handle, 0);
    const std::string block = Pattern(65536, 6);
    uint32_t taken = 0;
    ASSERT_TRUE(WaitUntil([&] {
        const int n = SendBytes(c.handle, block);
        if (n > 0) taken += static_cast<uint32_t>(n);
        return taken >= kSendWindowLimit;
    }));
    EXPECT_EQ(kSendWindowLimit, taken);
    EXPECT_EQ(0, SendBytes(c.handle, block)) << "the window is full";
    // Refusals for want of budget were woken all along; with the window full none may be.
    // Two retransmission rounds later every earlier wake-up has long been delivered.
    DataPdu pdu;
    ASSERT_TRUE(c.peer.ReceiveData(&pdu));
    while (pdu.pdu.seq != 0) ASSERT_TRUE(c.peer.ReceiveData(&pdu));
    c.rec.Clear();
    do {
        ASSERT_TRUE(c.peer.ReceiveData(&pdu));
    } while (pdu.pdu.seq != 0);
    EXPECT_EQ(0, c.rec.Count(kEventWritable));

    c.peer.SendData(0, kSendWindowLimit, "");
    ASSERT_TRUE(c.rec.WaitForCount(kEventWritable, 1));
    EXPECT_TRUE(WaitUntil([&] { return SendBytes(c.handle, block.substr(0, 1000)) > 0; })) << "room again";
}

TEST(UdpRlbDelivery, UnreadDataBeyondTheLimitStaysUnacknowledgedUntilTheUserReads) {
    ClockFactor fast(10);
    Connected c;
    ASSERT_GT(c.handle, 0);
    const std::string chunk = Pattern(kMaxData, 7);
    uint32_t seq = 0;
    DataPdu ack;
    // Paced by the layer's acknowledgements, so that no datagram is lost on the way.
    while (seq < static_cast<uint32_t>(kMaxUnreadBytes)) {
        for (int i = 0; i < 48 && seq < static_cast<uint32_t>(kMaxUnreadBytes); ++i, seq += kMaxData) {
            c.peer.SendData(seq, 0, chunk);
        }
        ASSERT_TRUE(c.peer.WaitForAck(seq, &ack)) << "at " << seq;
    }
    // The next in-order chunk is refused and left unacknowledged.
    c.peer.SendData(seq, 0, "refused");
    c.peer.SendData(seq + 7, 0, "later");  // out of order: kept, acknowledged with ack unchanged
    ASSERT_TRUE(c.peer.ReceiveData(&ack, false));
    EXPECT_EQ(seq, ack.pdu.ack);
    EXPECT_EQ(seq, ReadableAnnounced(c.rec));

    std::string all;
    std::string piece;
    while (!(piece = RecvAll(c.handle, 1 << 20)).empty()) all += piece;
    ASSERT_EQ(seq, all.size());
    EXPECT_EQ(chunk, all.substr(all.size() - kMaxData));
    c.peer.SendData(seq, 0, "refused");
    ASSERT_TRUE(c.peer.WaitForAck(seq + 12, &ack));
    EXPECT_EQ("refusedlater", RecvAll(c.handle, 100));
}

TEST(UdpRlbDelivery, HostileOffsetsNeverCorruptTheStreamAndTheRingWraps) {
    ClockFactor fast(4);
    Connected c;
    ASSERT_GT(c.handle, 0);
    // Selective entries out of range, data that straddles the window's end, wrapped offsets.
    c.peer.SendData(0, 0, "", {{0xFFFFFFF0u, 0xFFFF}, {12345, 1}});
    c.peer.SendData(kConnectWindow - 10, 0, Pattern(100, 8));
    c.peer.SendData(0xFFFFFF00u, 0, Pattern(1000, 9));
    c.peer.SendData(0x80000000u, 0, Pattern(1000, 10));

    // Two windows' worth, each sent back to front so that every chunk lands out of order and
    // joins one growing block; the second round wraps the reassembly ring.
    const int chunks = static_cast<int>(kConnectWindow / kMaxData);
    const std::string stream = Pattern(static_cast<size_t>(2 * chunks * kMaxData), 11);
    std::string received;
    for (int round = 0; round < 2; ++round) {
        const uint32_t base = static_cast<uint32_t>(round * chunks * kMaxData);
        for (int i = chunks - 1; i >= 1; --i) {
            const uint32_t seq = base + static_cast<uint32_t>(i * kMaxData);
            c.peer.SendData(seq, 0, stream.substr(seq, kMaxData));
            if (i % 16 == 1) {
                DataPdu ack;
                do {
                    ASSERT_TRUE(c.peer.ReceiveData(&ack, false)) << "round " << round << " chunk " << i;
                } while (ack.pdu.sack_count != 1 || ack.pdu.sack[0].offset != seq);
                EXPECT_EQ(base, ack.pdu.ack);
            }
        }
        const int events = c.rec.Count(kEventData);
        c.peer.SendData(base, 0, stream.substr(base, kMaxData));
        ASSERT_TRUE(c.rec.WaitForCount(kEventData, events + 1));
        EXPECT_EQ(static_cast<uintptr_t>(chunks * kMaxData), c.rec.Events().back().p1);
        received += RecvAll(c.handle, stream.size());
    }
    EXPECT_TRUE(received == stream) << "the stream arrived changed";
}

TEST(UdpRlbDelivery, TransfersMegabytesBetweenTwoEndpointsIntactWakingTheWriterOncePerSlot) {
    constexpr uint32_t kSlotMs = 50;
    constexpr uint32_t kWritablesPerSlot = 4;
    ClockFactor fast(8);
    EventRecorder &server_rec = NewRecorder();
    EventRecorder &client_rec = NewRecorder();
    const uint16_t port = qrntest::FreePort();
    ASSERT_EQ(0, qrn_udprlb_listen("127.0.0.1", port, &EventRecorder::Callback, server_rec.Context()));

    constexpr size_t kTotal = 3 * 1024 * 1024;
    const std::string data = Pattern(kTotal, 12);
    std::mutex mutex;
    std::string got;
    std::atomic<size_t> got_size{0};
    server_rec.SetHook([&](const Event &e) {
        if (e.msg != kEventData || e.p2 != static_cast<uintptr_t>(kDataReliable)) return;
        char buf[65536];
        int n;
        while ((n = qrn_udprlb_recv(static_cast<int>(e.handle), buf, sizeof(buf), 0)) > 0) {
            std::lock_guard<std::mutex> guard(mutex);
            got.append(buf, static_cast<size_t>(n));
            got_size = got.size();
        }
    });

    const int client =
        qrn_udprlb_connect("127.0.0.1", port, "", 0, &EventRecorder::Callback, client_rec.Context());
    ASSERT_GT(client, 0);
    const Event connected = client_rec.WaitFor(kEventConnectDone);
    ASSERT_EQ(static_cast<uintptr_t>(kConnectOk), connected.p1);
    const Event accepted = server_rec.WaitFor(kEventAccepted);
    ASSERT_EQ(kEventAccepted, accepted.msg);

    // The writer goes on only when told of room, as the layers above do.
    std::mutex send_mutex;
    size_t sent = 0;
    auto send_more = [&] {
        std::lock_guard<std::mutex> guard(send_mutex);
        int n;
        while (sent < kTotal && (n = SendBytes(client, data.substr(sent, 1 << 20))) > 0) sent += static_cast<size_t>(n);
    };
    client_rec.SetHook([&](const Event &e) {
        if (e.msg == kEventWritable) send_more();
    });
    const uint32_t start = get_tick_count();
    send_more();
    ASSERT_TRUE(WaitUntil([&] { return got_size.load() == kTotal; }, 60000))
        << got_size.load() << " of " << kTotal;
    // Room is told once the rate's slot allows a send, not at every turn of the loop before it,
    // where each send is refused and the writer told again at once.
    const uint32_t slots = calc_tick_diff(start, get_tick_count()) / kSlotMs + 1;
    EXPECT_LT(client_rec.Count(kEventWritable), static_cast<int>(kWritablesPerSlot * slots)) << slots << " slots";
    client_rec.SetHook(nullptr);
    server_rec.SetHook(nullptr);
    {
        std::lock_guard<std::mutex> guard(mutex);
        EXPECT_TRUE(got == data) << "the stream arrived changed";
    }
    EXPECT_EQ(kTotal, ReadableAnnounced(server_rec));
    EXPECT_GE(client_rec.Count(kEventWritable), 1) << "the writer was refused and woken on the way";

    // The other way too, now that the first direction has settled.
    const std::string back = Pattern(50000, 13);
    std::string back_got;
    size_t back_sent = 0;
    ASSERT_TRUE(WaitUntil([&] {
        const int n = qrn_udprlb_send(static_cast<int>(accepted.handle), back.data() + back_sent,
                                      static_cast<int>(back.size() - back_sent), 0);
        if (n > 0) back_sent += static_cast<size_t>(n);
        back_got += RecvAll(client, 65536);
        return back_got.size() >= back.size();
    }));
    EXPECT_TRUE(back_got == back);
    EXPECT_EQ(0, qrn_udprlb_close(client));
    ASSERT_TRUE(server_rec.WaitForCount(kEventClosed, 1));
}

}  // namespace
}  // namespace udprlbtest
