// The reliable-UDP layer's face: connect and accept through qrn_udprlb_*, options, close,
// unknown handles, and the sockets that listen and connect open.
#include "udprlb_test_peer.h"

namespace urlbtest {
namespace {

TEST(UdpRlbApi, ConnectAndAcceptReportBothEndsWithOptions) {
    LibraryPair pair;
    ConnectLibraryPair(&pair);
    ASSERT_GT(pair.server, 0);
    const Event accepted = pair.server_rec->WaitFor(kEventAccepted);
    EXPECT_EQ(0u, accepted.p1 + accepted.p2 + accepted.p3);

    uint32_t ip = 0;
    uint16_t port = 0;
    ASSERT_EQ(0, qrn_udprlb_option(pair.client, kOptPeerIp, reinterpret_cast<uintptr_t>(&ip)));
    ASSERT_EQ(0, qrn_udprlb_option(pair.client, kOptPeerPort, reinterpret_cast<uintptr_t>(&port)));
    EXPECT_EQ(kLoopbackIp, ip);
    EXPECT_EQ(pair.port, port);

    // The accepting side sees the client's shared socket, which is not the listening one.
    ASSERT_EQ(0, qrn_udprlb_option(pair.server, kOptPeerIp, reinterpret_cast<uintptr_t>(&ip)));
    ASSERT_EQ(0, qrn_udprlb_option(pair.server, kOptPeerPort, reinterpret_cast<uintptr_t>(&port)));
    EXPECT_EQ(kLoopbackIp, ip);
    EXPECT_NE(0, port);
    EXPECT_NE(pair.port, port);

    uint32_t local = 0;
    ASSERT_EQ(0, qrn_udprlb_option(pair.server, kOptLocalIp, reinterpret_cast<uintptr_t>(&local)));
    EXPECT_EQ(kLoopbackIp, local);

    for (int handle : {pair.client, pair.server}) {
        uint32_t bandwidth = 0;
        uint32_t rtt = 1;
        ASSERT_EQ(0, qrn_udprlb_option(handle, kOptBandwidth, reinterpret_cast<uintptr_t>(&bandwidth)));
        ASSERT_EQ(0, qrn_udprlb_option(handle, kOptRtt, reinterpret_cast<uintptr_t>(&rtt)));
        EXPECT_EQ(kInitialBandwidth, bandwidth);
        EXPECT_EQ(0u, rtt);
    }
    EXPECT_EQ(0, qrn_udprlb_option(pair.client, 9999, 0)) << "an unknown option changes nothing";
    EXPECT_EQ(kErrBadArgument, qrn_udprlb_option(pair.client, kOptPeerIp, 0));

    // Options 102 and 101 send the server's events elsewhere.
    EventRecorder &other = NewRecorder();
    ASSERT_EQ(0, qrn_udprlb_option(pair.server, kOptContext, other.Context()));
    ASSERT_EQ(0, qrn_udprlb_option(pair.server, kOptCallback, reinterpret_cast<uintptr_t>(&EventRecorder::Callback)));

    // A close ends the peer's side with event 5; the closing side hears nothing more.
    ASSERT_EQ(0, qrn_udprlb_close(pair.client));
    const Event closed = other.WaitFor(kEventClosed);
    ASSERT_EQ(kEventClosed, closed.msg);
    EXPECT_EQ(static_cast<uintptr_t>(pair.server), closed.handle);
    EXPECT_EQ(static_cast<uintptr_t>(kClosedByPeer), closed.p1);
    EXPECT_EQ(kErrUnknownHandle, qrn_udprlb_option(pair.server, kOptBandwidth, reinterpret_cast<uintptr_t>(&ip)));
    EXPECT_EQ(0, pair.server_rec->Count(kEventClosed));
    EXPECT_EQ(1, pair.client_rec->Count(kEventConnectDone));
    EXPECT_EQ(0, pair.client_rec->Count(kEventClosed));
}

TEST(UdpRlbApi, UnknownHandlesAndBadArgumentsAreRefused) {
    ASSERT_EQ(0, qrn_udprlb_init());
    EXPECT_EQ(0, qrn_udprlb_init()) << "a second init does nothing";
    char buf[8] = {};
    uint32_t value = 0;
    for (int handle : {0, -1, 65535, 70000}) {
        EXPECT_EQ(kErrUnknownHandle, qrn_udprlb_send(handle, buf, sizeof(buf), 0));
        EXPECT_EQ(kErrUnknownHandle, qrn_udprlb_recv(handle, buf, sizeof(buf), 0));
        EXPECT_EQ(kErrUnknownHandle, qrn_udprlb_close(handle));
        EXPECT_EQ(kErrUnknownHandle, qrn_udprlb_option(handle, kOptBandwidth, reinterpret_cast<uintptr_t>(&value)));
        EXPECT_EQ(0, qrn_udprlb_send(handle, buf, 0, 0)) << "nothing to send is no error";
        EXPECT_EQ(0, qrn_udprlb_recv(handle, buf, 0, 0));
    }

    EventRecorder &rec = NewRecorder();
    EXPECT_EQ(0, qrn_udprlb_connect(nullptr, 5000, nullptr, 0, &EventRecorder::Callback, rec.Context()));
    EXPECT_EQ(0, qrn_udprlb_connect("", 5000, nullptr, 0, &EventRecorder::Callback, rec.Context()));
    EXPECT_EQ(0, qrn_udprlb_connect("no-such-host.invalid", 5000, nullptr, 0, &EventRecorder::Callback, rec.Context()));
    EXPECT_EQ(0, qrn_udprlb_connect(kLoopback, 5000, "no-such-host.invalid", 9, &EventRecorder::Callback, rec.Context()));

    // A connecting handle exists but carries nothing yet.
    RawUdpPeer silent;
    const int handle = qrn_udprlb_connect(kLoopback, silent.port(), "", 0, &EventRecorder::Callback, rec.Context());
    ASSERT_GT(handle, 0);
    EXPECT_EQ(kErrNotConnected, qrn_udprlb_send(handle, buf, sizeof(buf), 0));
    EXPECT_EQ(kErrNotConnected, qrn_udprlb_recv(handle, buf, sizeof(buf), 0));
    EXPECT_EQ(kErrBadArgument, qrn_udprlb_send(handle, nullptr, 4, 0));
    EXPECT_EQ(kErrBadArgument, qrn_udprlb_recv(handle, buf, -4, 0));
    ASSERT_TRUE(silent.WaitFor(kPduConnectRequest, nullptr));
    EXPECT_EQ(0, qrn_udprlb_close(handle));
    EXPECT_EQ(kErrUnknownHandle, qrn_udprlb_close(handle));
    EXPECT_EQ(0u, rec.Events().size()) << "no event from a connect that failed at once or a close";
}

TEST(UdpRlbApi, CloseSendsOneCloseRequestAndLateDataIsAnsweredWithOne) {
    EventRecorder &rec = NewRecorder();
    const uint16_t port = Listen(rec);
    RawUdpPeer peer;
    const uint16_t raw_id = 77;
    const uint16_t raw_tag = 1234;
    const CUdpRlbConnectResponse response = RawHandshake(peer, port, raw_id, raw_tag);
    ASSERT_EQ(kConnectAccepted, response.result);
    EXPECT_EQ(raw_id, response.dst);
    EXPECT_EQ(kConnectWindow, response.window);
    EXPECT_NE(kNoTag, response.src_tag);
    const Event accepted = rec.WaitFor(kEventAccepted);
    ASSERT_EQ(static_cast<uintptr_t>(response.src), accepted.handle);

    ASSERT_EQ(0, qrn_udprlb_close(response.src));
    Pdu pdu;
    ASSERT_TRUE(peer.WaitFor(kPduCloseRequest, &pdu));
    const CUdpRlbIds close = Decode(pdu, udprlb_pdu_read_close_request);
    EXPECT_EQ(raw_id, close.dst);
    EXPECT_EQ(response.src, close.src);
    EXPECT_EQ(raw_tag, close.dst_tag);
    EXPECT_EQ(response.src_tag, close.src_tag);

    // The peer missed it and sends on: its data draws a close request with the ids mirrored.
    peer.Send(DataReliable(CUdpRlbIds{response.src, raw_id, response.src_tag, raw_tag}, 0, 0, {1, 2, 3}), port);
    ASSERT_TRUE(peer.WaitFor(kPduCloseRequest, &pdu));
    const CUdpRlbIds answer = Decode(pdu, udprlb_pdu_read_close_request);
    EXPECT_EQ(raw_id, answer.dst);
    EXPECT_EQ(response.src, answer.src);
    EXPECT_EQ(raw_tag, answer.dst_tag);
    EXPECT_EQ(response.src_tag, answer.src_tag);

    // Its own close request after the local close changes nothing either.
    peer.Send(CloseRequest(CUdpRlbIds{response.src, raw_id, response.src_tag, raw_tag}), port);
    ASSERT_TRUE(peer.Sync(port));
    EXPECT_EQ(0, rec.Count(kEventClosed)) << "no event after the user's close";
    EXPECT_EQ(0, rec.Count(kEventData));
    EXPECT_EQ(0, peer.CountAfter(kPduCloseRequest, 0)) << "the local close request is never repeated";
}

TEST(UdpRlbApi, ListenOnTwoAddressesServesBothAndConnectUsesItsOwnSocket) {
    EventRecorder &rec = NewRecorder();
    const uint16_t port = FreeUdpPort();
    ASSERT_EQ(0, qrn_udprlb_listen("127.0.0.1;127.0.0.2", port, &EventRecorder::Callback, rec.Context()));

    RawUdpPeer peer;
    const char *addresses[] = {"127.0.0.1", "127.0.0.2"};
    for (int i = 0; i < 2; ++i) {
        peer.Send(ConnectRequest(static_cast<uint16_t>(10 + i), static_cast<uint16_t>(500 + i)), port, addresses[i]);
        Pdu pdu;
        ASSERT_TRUE(peer.WaitFor(kPduConnectResponse, &pdu)) << addresses[i];
        const CUdpRlbConnectResponse response = Decode(pdu, udprlb_pdu_read_connect_response);
        EXPECT_EQ(kConnectAccepted, response.result);
        char from[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &pdu.from.sin_addr, from, sizeof(from));
        EXPECT_STREQ(addresses[i], from) << "answered from the socket the request reached";
        EXPECT_EQ(port, pdu.from_port());
        peer.Send(DataReliable(CUdpRlbIds{response.src, static_cast<uint16_t>(10 + i), response.src_tag,
                                          static_cast<uint16_t>(500 + i)},
                               0, 0),
                  port, addresses[i]);
    }
    ASSERT_TRUE(rec.WaitForCount(kEventAccepted, 2));

    // An address of no interface fails the listen; what was opened before it stays and serves.
    const uint16_t other_port = FreeUdpPort("127.0.0.3");
    EXPECT_EQ(kListenSocketFailed, qrn_udprlb_listen("127.0.0.3;192.0.2.1", other_port, &EventRecorder::Callback,
                                                     rec.Context()));
    EXPECT_EQ(kConnectAccepted, RawHandshake(peer, other_port, 12, 502, true, "127.0.0.3").result);
    ASSERT_TRUE(rec.WaitForCount(kEventAccepted, 3));

    RawUdpPeer target;
    EventRecorder &client = NewRecorder();
    const int handle = qrn_udprlb_connect(kLoopback, target.port(), nullptr, 0, &EventRecorder::Callback,
                                          client.Context());
    ASSERT_GT(handle, 0);
    Pdu request;
    ASSERT_TRUE(target.WaitFor(kPduConnectRequest, &request));
    EXPECT_NE(port, request.from_port());
    EXPECT_EQ(0, qrn_udprlb_close(handle));
    for (const Event &e : rec.Events()) qrn_udprlb_close(static_cast<int>(e.handle));
}

}  // namespace
}  // namespace urlbtest
