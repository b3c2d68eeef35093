// The reliable-UDP layer against an attacker on the path's edge: datagrams forged from another
// address with a session's right ids, a flood of connect requests from forged sources beside a
// real client, and dig hole requests that would make an endpoint a reflector.
#include "udprlb_test_peer.h"

#include <algorithm>
#include <iterator>
#include <string>

#include "qrn/qrn_tp.h"
#include "socket/sockcli.h"
#include "udprlb/udprlb_admission.h"
#include "udprlb/udprlb_module.h"
#include "udprlb/udprlb_registry.h"

namespace urlbtest {
namespace {

constexpr const char *kOtherLoopback = "127.0.0.2";
constexpr uint32_t kOtherLoopbackIp = 0x7f000002;

uint32_t Foreign() { return udprlb_counters().foreign_datagrams.load(); }
uint32_t RelayRefused() { return udprlb_counters().relay_refused.load(); }

std::vector<uint8_t> KeepAlive(uint16_t dst, uint16_t src) {
    const CUdpRlbKeepAlive pdu{dst, src};
    return Datagram(kPduKeepAlive, [&](uint8_t *out, int n) { return udprlb_pdu_write_keep_alive(pdu, out, n); });
}

std::vector<uint8_t> DataUnreliable(const CUdpRlbIds &ids, const std::string &data) {
    CUdpRlbDataUnreliable pdu;
    pdu.ids = ids;
    pdu.attempt = kAttemptFirst;
    pdu.data = reinterpret_cast<const uint8_t *>(data.data());
    pdu.data_len = static_cast<int>(data.size());
    return Datagram(kPduDataUnreliable,
                    [&](uint8_t *out, int n) { return udprlb_pdu_write_data_unreliable(pdu, out, n); });
}

// Counts the PDUs of type that came within ms, and takes them out of the peer's queue.
int TakeAll(RawUdpPeer &peer, uint8_t type, int ms) {
    const int n = peer.CountAfter(type, ms);
    while (peer.WaitFor(type, nullptr, 0)) {
    }
    return n;
}

std::vector<uint8_t> Bytes(const std::string &s) { return std::vector<uint8_t>(s.begin(), s.end()); }

std::string ReadAll(int handle, size_t want) {
    std::string got;
    WaitUntil([&] {
        char buf[256];
        const int n = qrn_udprlb_recv(handle, buf, sizeof(buf), 0);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
        return got.size() >= want;
    });
    return got;
}

// Both ends of a session get forgeries that carry every right id but come from 127.0.0.2: the
// attacker knows the ids (the raw peer shares them), only its address is wrong.
TEST(UdpRlbHostile, ForgedDatagramsFromAnotherAddressAreDroppedAndCounted) {
    RawUdpPeer forger(kOtherLoopback);

    // Accepting side: a raw client on 127.0.0.1.
    EventRecorder &server_rec = NewRecorder();
    const uint16_t port = Listen(server_rec);
    RawUdpPeer client;
    const uint16_t client_id = 71;
    const uint16_t client_tag = 7100;
    const CUdpRlbConnectResponse session = RawHandshake(client, port, client_id, client_tag, false);
    ASSERT_EQ(kConnectAccepted, session.result);
    EXPECT_NE(kNoTag, session.src_tag);
    const CUdpRlbIds to_server{session.src, client_id, session.src_tag, client_tag};

    // Forged before the real client spoke: a half-open connection is not established by them.
    const uint32_t before = Foreign();
    forger.Send(DataReliable(to_server, 0, 0, Bytes("forged")), port);
    ASSERT_TRUE(forger.Sync(port));
    EXPECT_EQ(before + 1, Foreign());
    EXPECT_EQ(0, server_rec.Count(kEventAccepted));

    client.Send(DataReliable(to_server, 0, 0, Bytes("real")), port);
    ASSERT_TRUE(server_rec.WaitForCount(kEventAccepted, 1));
    EXPECT_EQ(static_cast<uintptr_t>(session.src), server_rec.WaitFor(kEventAccepted).handle);
    EXPECT_EQ("real", ReadAll(session.src, 4));

    const std::vector<std::vector<uint8_t>> forgeries = {
        DataReliable(to_server, 4, 0, Bytes("evil")), DataUnreliable(to_server, "evil"),
        CloseRequest(to_server), KeepAlive(session.src, client_id)};
    for (const auto &forged : forgeries) forger.Send(forged, port);
    ASSERT_TRUE(forger.Sync(port));
    EXPECT_EQ(before + 1 + forgeries.size(), Foreign());
    client.Send(DataReliable(to_server, 4, 0, Bytes("+more")), port);
    EXPECT_EQ("+more", ReadAll(session.src, 5)) << "the forged bytes at the same offset were never taken";
    EXPECT_EQ(0, server_rec.Count(kEventClosed));
    EXPECT_EQ(2, server_rec.Count(kEventData)) << "no unreliable packet came through";

    // Calling side: a library client dials a raw server; the forger answers first.
    RawUdpPeer server;
    EventRecorder &client_rec = NewRecorder();
    const int handle = qrn_udprlb_connect(kLoopback, server.port(), nullptr, 0, &EventRecorder::Callback,
                                          client_rec.Context());
    ASSERT_GT(handle, 0);
    Pdu request_pdu;
    ASSERT_TRUE(server.WaitFor(kPduConnectRequest, &request_pdu));
    const CUdpRlbConnectRequest request = Decode(request_pdu, udprlb_pdu_read_connect_request);
    EXPECT_NE(kNoTag, request.src_tag);
    CUdpRlbConnectResponse response;
    response.dst = request.src;
    response.src = 900;
    response.src_tag = 9000;
    const uint32_t calling_before = Foreign();
    forger.Send(ConnectResponse(response), request_pdu.from_port());
    ASSERT_TRUE(forger.Sync(request_pdu.from_port()));
    EXPECT_EQ(calling_before + 1, Foreign());
    EXPECT_EQ(0, client_rec.Count(kEventConnectDone)) << "a response from another address is no answer";

    server.Send(ConnectResponse(response), request_pdu.from_port());
    const Event done = client_rec.WaitFor(kEventConnectDone);
    ASSERT_EQ(kEventConnectDone, done.msg);
    EXPECT_EQ(static_cast<uintptr_t>(kConnectOk), done.p1);
    Pdu first_ack;
    ASSERT_TRUE(server.WaitFor(kPduDataReliable, &first_ack)) << "the tag is carried back at once";
    EXPECT_EQ(response.src_tag, Decode(first_ack, udprlb_pdu_read_data_reliable).ids.dst_tag);

    const CUdpRlbIds to_client{static_cast<uint16_t>(handle), response.src, request.src_tag, response.src_tag};
    forger.Send(CloseRequest(to_client), request_pdu.from_port());
    forger.Send(DataReliable(to_client, 0, 0, Bytes("evil")), request_pdu.from_port());
    ASSERT_TRUE(forger.Sync(request_pdu.from_port()));
    EXPECT_EQ(calling_before + 3, Foreign());
    server.Send(DataReliable(to_client, 0, 0, Bytes("hello")), request_pdu.from_port());
    EXPECT_EQ("hello", ReadAll(handle, 5));
    EXPECT_EQ(0, client_rec.Count(kEventClosed));

    EXPECT_EQ(0, qrn_udprlb_close(handle));
    EXPECT_EQ(0, qrn_udprlb_close(session.src));
}

// Forged connect requests, many from one source and some from each of many, while a real
// client of the library dials in from 127.0.0.1: the half-open bounds hold, the client gets in
// and talks, and only its connection ever reaches the listener's user.
TEST(UdpRlbHostile, SpoofedConnectFloodLeavesRoomForARealClient) {
    qrntest::ClockFactor fast(3);
    EventRecorder &server_rec = NewRecorder();
    const uint16_t port = Listen(server_rec);
    RawUdpPeer one_source(kOtherLoopback);
    RawUdpPeer syncer;
    constexpr int kFromOneSource = 200;
    constexpr int kSources = 48;
    constexpr int kPerSource = 12;
    static_assert(kSources * kPerSource > kMaxHalfOpen, "the flood must overflow the bound");
    std::vector<std::unique_ptr<RawUdpPeer>> many;
    for (int i = 0; i < kSources; ++i) {
        const std::string ip = "127.0.1." + std::to_string(10 + i);
        many.push_back(std::make_unique<RawUdpPeer>(ip.c_str()));
    }
    // Sent in steps that the listening socket's buffer holds, each waited for; the bounds are
    // checked after every step.
    constexpr int kStep = 48;
    int sent = 0;
    int most = 0;
    auto step = [&] {
        if (++sent % kStep != 0) return;
        ASSERT_TRUE(syncer.Sync(port));
        most = std::max(most, udprlb_admission_half_open());
        EXPECT_LE(udprlb_admission_half_open(), kMaxHalfOpen);
        EXPECT_LE(udprlb_admission_half_open_from(kOtherLoopbackIp), kMaxHalfOpenPerSource);
    };
    auto flood = [&](uint16_t wave) {
        for (int i = 0; i < kFromOneSource; ++i) {
            one_source.Send(ConnectRequest(static_cast<uint16_t>(i + 1), static_cast<uint16_t>(wave + i)), port);
            step();
        }
        for (int j = 0; j < kPerSource; ++j) {
            for (auto &peer : many) {
                peer->Send(ConnectRequest(static_cast<uint16_t>(j + 1), static_cast<uint16_t>(wave + j)), port);
                step();
            }
        }
    };

    flood(1000);
    LibraryPair pair;
    pair.client_rec = &NewRecorder();
    pair.client =
        qrn_udprlb_connect(kLoopback, port, "", 0, &EventRecorder::Callback, pair.client_rec->Context());
    ASSERT_GT(pair.client, 0);
    flood(2000);
    const Event done = pair.client_rec->WaitFor(kEventConnectDone);
    ASSERT_EQ(kEventConnectDone, done.msg);
    ASSERT_EQ(static_cast<uintptr_t>(kConnectOk), done.p1);
    const Event accepted = server_rec.WaitFor(kEventAccepted);
    ASSERT_EQ(kEventAccepted, accepted.msg);
    pair.server = static_cast<int>(accepted.handle);

    ASSERT_TRUE(syncer.Sync(port));
    EXPECT_GE(most, kMaxHalfOpen / 2) << "the flood did fill the table";
    EXPECT_EQ(0, udprlb_admission_half_open_from(kLoopbackIp)) << "the real client is established";
    // Beyond its bound a source's request either pushes out an old one or, among young ones,
    // is dropped for its sender to repeat.
    EXPECT_GE(udprlb_counters().half_open_evicted.load() + udprlb_counters().half_open_dropped.load(),
              static_cast<uint32_t>(2 * (kFromOneSource - kMaxHalfOpenPerSource)));

    const std::string up = "from the real client";
    const std::string down = "to the real client";
    ASSERT_EQ(static_cast<int>(up.size()), qrn_udprlb_send(pair.client, up.data(), static_cast<int>(up.size()), 0));
    ASSERT_EQ(static_cast<int>(down.size()),
              qrn_udprlb_send(pair.server, down.data(), static_cast<int>(down.size()), 0));
    EXPECT_EQ(up, ReadAll(pair.server, up.size()));
    EXPECT_EQ(down, ReadAll(pair.client, down.size()));

    // Forged requests are never answered with anything that proves them, so they all expire;
    // none ever reached the listener's user.
    EXPECT_TRUE(WaitUntil([] { return udprlb_admission_half_open() == 0; }));
    EXPECT_GT(udprlb_counters().half_open_expired.load(), 0u);
    EXPECT_EQ(1, server_rec.Count(kEventAccepted));
    EXPECT_EQ(0, server_rec.Count(kEventClosed));
    EXPECT_EQ(0, qrn_udprlb_close(pair.client));
    EXPECT_TRUE(server_rec.WaitForCount(kEventClosed, 1));
}

// The relay role: allowed forwards go, with their answers; forbidden targets, a response2 that
// answers no forward and a burst beyond the rate do not; the destination role obeys the same
// address rules; and with the role switched off nothing is forwarded.
TEST(UdpRlbHostile, RelayForwardsOnlyToPeersWithinItsRate) {
    EventRecorder &relay_rec = NewRecorder();
    const uint16_t relay = FreeUdpPort();
    ASSERT_EQ(0, qrn_udprlb_listen(nullptr, relay, &EventRecorder::Callback, relay_rec.Context()));
    RawUdpPeer client;
    RawUdpPeer dest;

    // Allowed: the destination hears where the client is, the client where the destination is.
    client.Send(DigHole(kPduDigHoleRequest, CUdpRlbDigHole{42, kLoopbackIp, dest.port()}), relay);
    Pdu forward;
    ASSERT_TRUE(dest.WaitFor(kPduDigHoleForward, &forward));
    EXPECT_EQ(relay, forward.from_port());
    const CUdpRlbDigHole seen = Decode(forward, udprlb_pdu_read_dig_hole);
    EXPECT_EQ(42, seen.app_id);
    EXPECT_EQ(kLoopbackIp, seen.ip);
    EXPECT_EQ(client.port(), seen.port);
    dest.Send(DigHole(kPduDigHoleResponse2, seen), relay);
    Pdu response;
    ASSERT_TRUE(client.WaitFor(kPduDigHoleResponse, &response));
    const CUdpRlbDigHole told = Decode(response, udprlb_pdu_read_dig_hole);
    EXPECT_EQ(42, told.app_id);
    EXPECT_EQ(dest.port(), told.port);

    // A response2 answers one forward once; one that answers none is not passed on.
    const uint32_t refused_before = RelayRefused();
    dest.Send(DigHole(kPduDigHoleResponse2, seen), relay);
    dest.Send(DigHole(kPduDigHoleResponse2, CUdpRlbDigHole{43, kLoopbackIp, client.port()}), relay);
    // Forbidden targets: unspecified, broadcast, multicast, reserved, port 0, this endpoint.
    const CUdpRlbDigHole forbidden[] = {{1, 0, dest.port()},          {2, 0xffffffff, dest.port()},
                                        {3, 0xe0000001, dest.port()}, {4, 0xf0000001, dest.port()},
                                        {5, kLoopbackIp, 0},          {6, kLoopbackIp, relay},
                                        {7, kOtherLoopbackIp, relay}};
    for (const CUdpRlbDigHole &target : forbidden) client.Send(DigHole(kPduDigHoleRequest, target), relay);
    // Truncated hole-punching PDUs are dropped by every role.
    for (uint8_t type : {kPduDigHoleRequest, kPduDigHoleForward, kPduDigHoleResponse2}) {
        client.Send(Datagram(type, [](uint8_t *out, int) {
                        out[0] = 0;
                        out[1] = 42;
                        return 4;
                    }),
                    relay);
    }
    ASSERT_TRUE(client.Sync(relay));
    EXPECT_EQ(refused_before + 2 + std::size(forbidden), RelayRefused());
    EXPECT_EQ(0, dest.CountAfter(kPduDigHoleForward, 0));
    EXPECT_EQ(0, client.CountAfter(kPduDigHoleResponse, 0) + client.CountAfter(kPduDigHoleTest, 0));

    // A loopback target only for a requester on loopback (dispatched as if from outside).
    const ws::sockaddr_in outside = *VSOCK::build_address(0xc0000201, 5000);
    const std::vector<uint8_t> to_loopback = DigHole(kPduDigHoleRequest, CUdpRlbDigHole{8, kLoopbackIp, dest.port()});
    udprlb_dispatch_datagram(udprlb_shared_socket(), 0, to_loopback.data(), static_cast<int>(to_loopback.size()),
                             &outside);
    EXPECT_EQ(refused_before + 3 + std::size(forbidden), RelayRefused());

    // A burst from one source: no more than its share of forwards per second goes out.
    RawUdpPeer burster("127.0.0.3");
    constexpr int kBurst = 4 * kMaxForwardsPerSource;
    for (int i = 0; i < kBurst; ++i) {
        burster.Send(DigHole(kPduDigHoleRequest, CUdpRlbDigHole{static_cast<uint16_t>(100 + i), kLoopbackIp,
                                                                dest.port()}),
                     relay);
    }
    ASSERT_TRUE(burster.Sync(relay));
    const int forwarded = TakeAll(dest, kPduDigHoleForward, kQuietMs);
    EXPECT_GE(forwarded, kMaxForwardsPerSource);
    EXPECT_LE(forwarded, 2 * kMaxForwardsPerSource) << "the burst may span two windows, no more";

    // The destination role: a dig hole test goes to a peer address only.
    RawUdpPeer other_relay;
    other_relay.Send(DigHole(kPduDigHoleForward, CUdpRlbDigHole{9, 0xe0000001, client.port()}), relay);
    other_relay.Send(DigHole(kPduDigHoleForward, CUdpRlbDigHole{10, kLoopbackIp, client.port()}), relay);
    Pdu answer;
    ASSERT_TRUE(other_relay.WaitFor(kPduDigHoleResponse2, &answer));
    EXPECT_EQ(10, Decode(answer, udprlb_pdu_read_dig_hole).app_id);
    Pdu test;
    ASSERT_TRUE(client.WaitFor(kPduDigHoleTest, &test));
    EXPECT_TRUE(test.payload.empty());
    EXPECT_EQ(0, test.header.crc);
    EXPECT_EQ(relay, test.from_port()) << "the destination opens its side toward the client";
    ASSERT_TRUE(other_relay.Sync(relay));
    EXPECT_EQ(0, other_relay.CountAfter(kPduDigHoleResponse2, 0));

    // Switched off through the transport's option, on the listeners; and on again.
    EXPECT_EQ(QRN_TP_OK, qrn_tp_option(0, QRN_TP_OPT_UDP_RELAY, 0));
    RawUdpPeer late("127.0.0.4");
    late.Send(DigHole(kPduDigHoleRequest, CUdpRlbDigHole{11, kLoopbackIp, dest.port()}), relay);
    ASSERT_TRUE(late.Sync(relay));
    EXPECT_EQ(0, dest.CountAfter(kPduDigHoleForward, kQuietMs));
    EXPECT_EQ(QRN_TP_OK, qrn_tp_option(0, QRN_TP_OPT_UDP_RELAY, 1));
    late.Send(DigHole(kPduDigHoleRequest, CUdpRlbDigHole{12, kLoopbackIp, dest.port()}), relay);
    ASSERT_TRUE(dest.WaitFor(kPduDigHoleForward, nullptr));
    EXPECT_EQ(0u, relay_rec.Events().size()) << "relaying makes no connection";
}

}  // namespace
}  // namespace urlbtest
