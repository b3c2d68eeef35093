// The reliable-UDP connection's life against a raw peer: handshake attempts and their end,
// refusals, hole punching through a relay, keep-alives, closing, and hostile datagrams.
#include "udprlb_test_peer.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <atomic>
#include <string>

extern char **environ;

namespace urlbtest {
namespace {

// Library clock speed for the tests of the one-second timer.
constexpr uint32_t kFast = 20;

// A relay of the layer in a process of its own (an endpoint never relays to its own sockets):
// the address-translation test's peer program in its relay role on 127.0.0.1. Killed, if it
// still runs, when the object goes.
class ChildRelay {
public:
    explicit ChildRelay(uint16_t port) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        std::string port_text = std::to_string(port);
        std::string path = QRN_NAT_PEER_PATH;
        std::string role = "relay";
        std::string ip = kLoopback;
        char *argv[] = {&path[0], &role[0], &ip[0], &port_text[0], nullptr};
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv, environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        m_out = out[0];
    }
    ~ChildRelay() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        if (m_out >= 0) close(m_out);
    }
    ChildRelay(const ChildRelay &) = delete;
    ChildRelay &operator=(const ChildRelay &) = delete;

    // True once the program said it listens.
    bool WaitReady() {
        std::string said;
        return m_pid > 0 && WaitUntil([&] {
                   pollfd p{m_out, POLLIN, 0};
                   if (::poll(&p, 1, kQuietMs) <= 0) return false;
                   char buf[256];
                   const ssize_t n = ::read(m_out, buf, sizeof(buf));
                   if (n > 0) said.append(buf, static_cast<size_t>(n));
                   return said.find("READY") != std::string::npos;
               });
    }

private:
    pid_t m_pid = -1;
    int m_out = -1;
};

// Records, inside the callback, whether the event's handle still answered an option.
class HandleProbe {
public:
    explicit HandleProbe(EventRecorder &rec, int msg) : m_rec(rec) {
        rec.SetHook([this, msg](const Event &e) {
            if (e.msg != msg) return;
            uint32_t value = 0;
            m_result.store(qrn_udprlb_option(static_cast<int>(e.handle), kOptBandwidth,
                                             reinterpret_cast<uintptr_t>(&value)));
        });
    }
    ~HandleProbe() { m_rec.SetHook(nullptr); }
    int result() const { return m_result.load(); }

private:
    EventRecorder &m_rec;
    std::atomic<int> m_result{1};
};

TEST(UdpRlbLifecycle, ConnectWithoutAnswerSendsFiveRequestsThenFails) {
    qrntest::ClockFactor fast(kFast);
    RawUdpPeer silent;
    EventRecorder &rec = NewRecorder();
    HandleProbe probe(rec, kEventConnectDone);
    const int handle = qrn_udprlb_connect(kLoopback, silent.port(), "", 0, &EventRecorder::Callback, rec.Context());
    ASSERT_GT(handle, 0);

    Pdu first;
    ASSERT_TRUE(silent.WaitFor(kPduConnectRequest, &first));
    const CUdpRlbConnectRequest request = Decode(first, udprlb_pdu_read_connect_request);
    EXPECT_EQ(handle, request.src);
    EXPECT_EQ(kConnectWindow, request.window);
    EXPECT_TRUE(request.has_tag);
    EXPECT_NE(kNoTag, request.src_tag);

    // Four repeats about a second apart, all alike, then the failure; no dig hole request.
    uint32_t last = first.tick;
    for (int repeat = 0; repeat < kMaxAttempts - 1; ++repeat) {
        Pdu again;
        ASSERT_TRUE(silent.WaitFor(kPduConnectRequest, &again)) << "repeat " << repeat;
        EXPECT_EQ(request.src_tag, Decode(again, udprlb_pdu_read_connect_request).src_tag);
        last = again.tick;
    }
    EXPECT_GE(calc_tick_diff(first.tick, last), 2500u) << "repeats a timer period apart";
    const Event done = rec.WaitFor(kEventConnectDone, qrntest::kWaitMs * 2);
    ASSERT_EQ(kEventConnectDone, done.msg);
    const uint32_t failed_at = get_tick_count();
    EXPECT_EQ(static_cast<uintptr_t>(kConnectNoAnswer), done.p1);
    EXPECT_EQ(static_cast<uintptr_t>(handle), done.handle);
    EXPECT_EQ(kErrUnknownHandle, probe.result()) << "the handle is gone before the event";
    EXPECT_EQ(0, silent.CountAfter(kPduConnectRequest, kQuietMs));
    EXPECT_EQ(0, silent.CountAfter(kPduDigHoleRequest, 0));
    const uint32_t elapsed = calc_tick_diff(first.tick, failed_at);
    EXPECT_GE(elapsed, 3500u);
    EXPECT_LE(elapsed, 8000u);
    EXPECT_EQ(kErrUnknownHandle, qrn_udprlb_close(handle));
}

TEST(UdpRlbLifecycle, RefusalOrUnusableWindowEndsConnectWithEventTwo) {
    struct Answer {
        int16_t result;
        uint32_t window;
    };
    for (const Answer answer : {Answer{kConnectRefused, kConnectWindow}, Answer{kConnectAccepted, 0},
                                Answer{kConnectAccepted, kMaxPeerWindow + 1}}) {
        SCOPED_TRACE(testing::Message() << "result " << answer.result << " window " << answer.window);
        RawUdpPeer server;
        EventRecorder &rec = NewRecorder();
        HandleProbe probe(rec, kEventConnectDone);
        const int handle =
            qrn_udprlb_connect(kLoopback, server.port(), nullptr, 0, &EventRecorder::Callback, rec.Context());
        ASSERT_GT(handle, 0);
        Pdu pdu;
        ASSERT_TRUE(server.WaitFor(kPduConnectRequest, &pdu));
        const CUdpRlbConnectRequest request = Decode(pdu, udprlb_pdu_read_connect_request);

        CUdpRlbConnectResponse response;
        response.dst = request.src;
        response.result = answer.result;
        response.src = 900;
        response.window = answer.window;
        response.src_tag = 4321;
        server.Send(ConnectResponse(response), pdu.from_port());

        const Event done = rec.WaitFor(kEventConnectDone);
        ASSERT_EQ(kEventConnectDone, done.msg);
        EXPECT_EQ(static_cast<uintptr_t>(kConnectRefusedByPeer), done.p1);
        EXPECT_EQ(static_cast<uintptr_t>(handle), done.handle);
        EXPECT_EQ(kErrUnknownHandle, probe.result());
        if (answer.result == kConnectAccepted) {
            // The peer did accept: it is told to end its side.
            Pdu close;
            ASSERT_TRUE(server.WaitFor(kPduCloseRequest, &close));
            const CUdpRlbIds ids = Decode(close, udprlb_pdu_read_close_request);
            EXPECT_EQ(response.src, ids.dst);
            EXPECT_EQ(handle, ids.src);
            EXPECT_EQ(response.src_tag, ids.dst_tag);
            EXPECT_EQ(request.src_tag, ids.src_tag);
        }
    }
}

TEST(UdpRlbLifecycle, RequestWithoutTagOrUnusableWindowIsRefusedWithoutEvent) {
    EventRecorder &rec = NewRecorder();
    const uint16_t port = Listen(rec);
    RawUdpPeer peer;
    struct Bad {
        uint16_t app_id;
        std::vector<uint8_t> request;
    };
    const Bad refused[] = {
        {20, ConnectRequest(20, 0, kConnectWindow, false)},
        {21, ConnectRequest(21, 7, 0)},
        {22, ConnectRequest(22, 7, kMaxPeerWindow + 1)},
    };
    for (const Bad &bad : refused) {
        peer.Send(bad.request, port);
        Pdu pdu;
        ASSERT_TRUE(peer.WaitFor(kPduConnectResponse, &pdu));
        const CUdpRlbConnectResponse response = Decode(pdu, udprlb_pdu_read_connect_response);
        EXPECT_EQ(kConnectRefused, response.result);
        EXPECT_EQ(bad.app_id, response.dst);
        uint32_t value = 0;
        EXPECT_TRUE(WaitUntil([&] {
            return qrn_udprlb_option(response.src, kOptBandwidth, reinterpret_cast<uintptr_t>(&value)) ==
                   kErrUnknownHandle;
        })) << "a refused request leaves no connection";
    }

    const CUdpRlbConnectResponse good = RawHandshake(peer, port, 23, 8);
    EXPECT_EQ(kConnectAccepted, good.result);
    ASSERT_TRUE(rec.WaitForCount(kEventAccepted, 1));
    ASSERT_TRUE(peer.Sync(port));
    EXPECT_EQ(1, rec.Count(kEventAccepted));
    EXPECT_EQ(static_cast<uintptr_t>(good.src), rec.WaitFor(kEventAccepted).handle);
    EXPECT_EQ(0, qrn_udprlb_close(good.src));
}

TEST(UdpRlbLifecycle, RepeatedConnectRequestAnswersFromTheSameConnection) {
    EventRecorder &rec = NewRecorder();
    const uint16_t port = Listen(rec);
    RawUdpPeer peer;
    const CUdpRlbConnectResponse first = RawHandshake(peer, port, 40, 400);
    ASSERT_EQ(kConnectAccepted, first.result);
    for (int i = 0; i < 3; ++i) {
        const CUdpRlbConnectResponse again = RawHandshake(peer, port, 40, 400);
        EXPECT_EQ(kConnectAccepted, again.result);
        EXPECT_EQ(first.src, again.src);
        EXPECT_EQ(first.src_tag, again.src_tag);
    }
    ASSERT_TRUE(peer.Sync(port));
    EXPECT_EQ(1, rec.Count(kEventAccepted));

    // Another session of the same sender is a new connection.
    const CUdpRlbConnectResponse other = RawHandshake(peer, port, 40, 401);
    EXPECT_EQ(kConnectAccepted, other.result);
    EXPECT_NE(first.src, other.src);
    ASSERT_TRUE(rec.WaitForCount(kEventAccepted, 2));
    EXPECT_EQ(0, qrn_udprlb_close(first.src));
    EXPECT_EQ(0, qrn_udprlb_close(other.src));
}

TEST(UdpRlbLifecycle, ConnectRequestFloodIsBoundedByTheRegistry) {
    EventRecorder &rec = NewRecorder();
    const uint16_t port = Listen(rec);
    RawUdpPeer peer;
    // No more at once than one source may hold half-open: each is established before the next.
    constexpr int kBatch = kMaxHalfOpenPerSource;
    constexpr int kRefusalsWanted = 10;
    std::vector<uint16_t> accepted;
    int refused = 0;
    int sent = 0;
    while (refused < kRefusalsWanted && sent < kMaxConnections + 4 * kBatch) {
        for (int i = 0; i < kBatch; ++i) {
            const uint16_t id = static_cast<uint16_t>(1 + sent + i);
            peer.Send(ConnectRequest(id, id), port);
        }
        sent += kBatch;
        for (int i = 0; i < kBatch; ++i) {
            Pdu pdu;
            ASSERT_TRUE(peer.WaitFor(kPduConnectResponse, &pdu)) << "after " << sent << " requests";
            const CUdpRlbConnectResponse response = Decode(pdu, udprlb_pdu_read_connect_response);
            if (response.result == kConnectAccepted) {
                accepted.push_back(response.src);
                peer.Send(DataReliable(CUdpRlbIds{response.src, response.dst, response.src_tag, response.dst}, 0, 0),
                          port);
            } else {
                ++refused;
            }
        }
    }
    EXPECT_GE(refused, kRefusalsWanted);
    EXPECT_LE(static_cast<int>(accepted.size()), kMaxConnections);
    EXPECT_GT(static_cast<int>(accepted.size()), kMaxConnections / 2);
    EXPECT_TRUE(rec.WaitForCount(kEventAccepted, static_cast<int>(accepted.size())));
    for (uint16_t handle : accepted) EXPECT_EQ(0, qrn_udprlb_close(handle));

    // Room again once they are closed (a fresh peer: the old one's buffer is full of the
    // close requests).
    RawUdpPeer later;
    const CUdpRlbConnectResponse after = RawHandshake(later, port, 60000, 1);
    EXPECT_EQ(kConnectAccepted, after.result);
    EXPECT_EQ(0, qrn_udprlb_close(after.src));
}

TEST(UdpRlbLifecycle, HolePunchingThroughALibraryRelayConnects) {
    qrntest::TraceCapture trace;
    EventRecorder &dest_rec = NewRecorder();
    EventRecorder &client_rec = NewRecorder();
    const uint16_t relay = FreeUdpPort();
    ChildRelay relay_process(relay);
    ASSERT_TRUE(relay_process.WaitReady());
    const uint16_t dest = Listen(dest_rec);
    const int handle =
        qrn_udprlb_connect(kLoopback, dest, kLoopback, relay, &EventRecorder::Callback, client_rec.Context());
    ASSERT_GT(handle, 0);
    const Event done = client_rec.WaitFor(kEventConnectDone);
    ASSERT_EQ(kEventConnectDone, done.msg);
    EXPECT_EQ(static_cast<uintptr_t>(kConnectOk), done.p1);
    const Event accepted = dest_rec.WaitFor(kEventAccepted);
    ASSERT_EQ(kEventAccepted, accepted.msg);

    EXPECT_TRUE(trace.WaitForLine({"send dig hole test to"}));
    EXPECT_TRUE(trace.WaitForLine({"dig hole test from"})) << "the test reached the client";
    uint16_t port = 0;
    ASSERT_EQ(0, qrn_udprlb_option(handle, kOptPeerPort, reinterpret_cast<uintptr_t>(&port)));
    EXPECT_EQ(dest, port);
    EXPECT_EQ(0, qrn_udprlb_close(handle));
    EXPECT_TRUE(dest_rec.WaitForCount(kEventClosed, 1));
}

TEST(UdpRlbLifecycle, DigHoleResponseWhileConnectingIsIgnored) {
    qrntest::ClockFactor fast(kFast);
    RawUdpPeer relay;
    RawUdpPeer dest;
    EventRecorder &rec = NewRecorder();
    const int handle =
        qrn_udprlb_connect(kLoopback, dest.port(), kLoopback, relay.port(), &EventRecorder::Callback, rec.Context());
    ASSERT_GT(handle, 0);
    Pdu request;
    ASSERT_TRUE(relay.WaitFor(kPduDigHoleRequest, &request));
    const CUdpRlbDigHole hole = Decode(request, udprlb_pdu_read_dig_hole);
    EXPECT_EQ(handle, hole.app_id);
    EXPECT_EQ(kLoopbackIp, hole.ip);
    EXPECT_EQ(dest.port(), hole.port);
    const std::vector<uint8_t> response = DigHole(kPduDigHoleResponse, CUdpRlbDigHole{hole.app_id, kLoopbackIp, 1});
    relay.Send(response, request.from_port());
    // Once connecting, further responses must neither resend at once nor restart the count.
    for (int attempt = 0; attempt < 2; ++attempt) {
        ASSERT_TRUE(dest.WaitFor(kPduConnectRequest, nullptr)) << "attempt " << attempt;
        relay.Send(response, request.from_port());
    }
    ASSERT_TRUE(rec.WaitForCount(kEventConnectDone, 1, qrntest::kWaitMs * 2));
    EXPECT_EQ(static_cast<uintptr_t>(kConnectNoAnswer), rec.WaitFor(kEventConnectDone).p1);
    EXPECT_EQ(kMaxAttempts - 2, dest.CountAfter(kPduConnectRequest, kQuietMs));
}

TEST(UdpRlbLifecycle, CloseRequestMustCarryTheSessionIds) {
    EventRecorder &rec = NewRecorder();
    HandleProbe probe(rec, kEventClosed);
    const uint16_t port = Listen(rec);
    RawUdpPeer peer;
    const uint16_t raw_id = 30;
    const uint16_t raw_tag = 3000;
    const CUdpRlbConnectResponse session = RawHandshake(peer, port, raw_id, raw_tag);
    ASSERT_EQ(kConnectAccepted, session.result);
    const uint16_t handle = session.src;
    const uint16_t tag = session.src_tag;

    for (const CUdpRlbIds &wrong : {CUdpRlbIds{handle, static_cast<uint16_t>(raw_id + 1), tag, raw_tag},
                                    CUdpRlbIds{handle, raw_id, static_cast<uint16_t>(tag ^ 1), raw_tag},
                                    CUdpRlbIds{handle, raw_id, tag, static_cast<uint16_t>(raw_tag + 1)}}) {
        peer.Send(CloseRequest(wrong), port);
    }
    ASSERT_TRUE(peer.Sync(port));
    EXPECT_EQ(0, rec.Count(kEventClosed));
    uint32_t value = 0;
    EXPECT_EQ(0, qrn_udprlb_option(handle, kOptBandwidth, reinterpret_cast<uintptr_t>(&value)));

    const CUdpRlbIds right{handle, raw_id, tag, raw_tag};
    peer.Send(CloseRequest(right), port);
    Pdu answer;
    ASSERT_TRUE(peer.WaitFor(kPduCloseRequest, &answer)) << "a close request is answered";
    const CUdpRlbIds echoed = Decode(answer, udprlb_pdu_read_close_request);
    EXPECT_EQ(raw_id, echoed.dst);
    EXPECT_EQ(handle, echoed.src);
    EXPECT_EQ(raw_tag, echoed.dst_tag);
    EXPECT_EQ(tag, echoed.src_tag);
    const Event closed = rec.WaitFor(kEventClosed);
    ASSERT_EQ(kEventClosed, closed.msg);
    EXPECT_EQ(static_cast<uintptr_t>(handle), closed.handle);
    EXPECT_EQ(static_cast<uintptr_t>(kClosedByPeer), closed.p1);
    EXPECT_EQ(kErrUnknownHandle, probe.result()) << "the handle is gone before the event";

    peer.Send(CloseRequest(right), port);
    ASSERT_TRUE(peer.Sync(port));
    EXPECT_EQ(1, rec.Count(kEventClosed));
    EXPECT_EQ(0, peer.CountAfter(kPduCloseRequest, 0)) << "a repeat at once is not answered again";
}

TEST(UdpRlbLifecycle, IdleConnectionSendsKeepAlivesAboutEveryTenSeconds) {
    // Slower than the other timer tests: a tick is read when the test takes the datagram, so
    // every real millisecond of delay there counts factor times.
    qrntest::ClockFactor fast(kFast / 2);
    EventRecorder &rec = NewRecorder();
    const uint16_t port = Listen(rec);
    RawUdpPeer peer;
    peer.Send(ConnectRequest(50, 5), port);
    Pdu answer;
    ASSERT_TRUE(peer.WaitFor(kPduConnectResponse, &answer));
    const CUdpRlbConnectResponse session = Decode(answer, udprlb_pdu_read_connect_response);
    ASSERT_EQ(kConnectAccepted, session.result);
    peer.Send(DataReliable(CUdpRlbIds{session.src, 50, session.src_tag, 5}, 0, 0), port);
    // Idle time counts from the connect response, the last PDU that side sent.
    const uint32_t start = answer.tick;

    Pdu first;
    Pdu second;
    ASSERT_TRUE(peer.WaitFor(kPduKeepAlive, &first));
    ASSERT_TRUE(peer.WaitFor(kPduKeepAlive, &second));
    const CUdpRlbKeepAlive fields = Decode(second, udprlb_pdu_read_keep_alive);
    EXPECT_EQ(50, fields.dst);
    EXPECT_EQ(session.src, fields.src);
    EXPECT_GE(calc_tick_diff(start, first.tick), kKeepAliveIdle - 2000);
    EXPECT_LE(calc_tick_diff(start, first.tick), kKeepAliveIdle + 3500);
    EXPECT_GE(calc_tick_diff(first.tick, second.tick), kKeepAliveIdle - 2000);
    EXPECT_LE(calc_tick_diff(first.tick, second.tick), kKeepAliveIdle + 3500);
    EXPECT_EQ(0, peer.CountAfter(kPduKeepAlive, 0)) << "one keep alive at a time";
    EXPECT_EQ(0, qrn_udprlb_close(session.src));
}

TEST(UdpRlbLifecycle, MalformedDatagramsAreDroppedAndTheConnectionLivesOn) {
    LibraryPair pair;
    ConnectLibraryPair(&pair);
    qrntest::TraceCapture trace;
    RawUdpPeer hostile;
    const uint16_t app_id = static_cast<uint16_t>(pair.server);
    const std::vector<uint8_t> valid = CloseRequest(CUdpRlbIds{app_id, 1, 2, 3});

    const uint8_t junk[kMaxDatagram + 100] = {kPduCloseRequest};
    for (size_t size : {size_t{0}, size_t{3}, size_t{7}, sizeof(junk)}) hostile.SendBytes(junk, size, pair.port);
    for (int delta : {-1, 1}) {
        std::vector<uint8_t> wrong_len = valid;
        wrong_len.resize(static_cast<size_t>(static_cast<int>(valid.size()) + delta));
        hostile.Send(wrong_len, pair.port);
    }
    std::vector<uint8_t> bad_crc = valid;
    bad_crc.back() ^= 0x01;
    hostile.Send(bad_crc, pair.port);
    for (uint8_t type : {uint8_t{0}, uint8_t{12}, uint8_t{13}, uint8_t{14}, uint8_t{200}}) {
        hostile.Send(Datagram(type, [&](uint8_t *out, int) {
                         out[0] = static_cast<uint8_t>(app_id >> 8);
                         out[1] = static_cast<uint8_t>(app_id);
                         return 2;
                     }),
                     pair.port);
    }
    // Well-formed PDUs with the wrong ids, in the wrong state, or too short for their fields.
    hostile.Send(valid, pair.port);
    hostile.Send(DataReliable(CUdpRlbIds{app_id, 1, 2, 3}, 0, 0, {9, 9, 9}), pair.port);
    CUdpRlbConnectResponse late;
    late.dst = app_id;
    hostile.Send(ConnectResponse(late), pair.port);
    hostile.Send(DigHole(kPduDigHoleResponse, CUdpRlbDigHole{app_id, kLoopbackIp, 1}), pair.port);
    for (uint8_t type : {kPduConnectRequest, kPduConnectResponse, kPduDataReliable, kPduDataUnreliable,
                         kPduCloseRequest, kPduKeepAlive, kPduUnreliableAck, kPduLostPacketReport}) {
        hostile.Send(Datagram(type, [&](uint8_t *out, int) {
                         out[0] = static_cast<uint8_t>(app_id >> 8);
                         out[1] = static_cast<uint8_t>(app_id);
                         out[2] = 0;
                         return 3;
                     }),
                     pair.port);
    }
    ASSERT_TRUE(hostile.Sync(pair.port));
    EXPECT_GE(trace.Count({"CRC16 error"}), 1);
    EXPECT_EQ(0, hostile.CountAfter(kPduConnectResponse, 0)) << "a truncated request is not answered";
    EXPECT_EQ(1, pair.server_rec->Count(kEventAccepted));
    EXPECT_EQ(0, pair.server_rec->Count(kEventClosed));
    EXPECT_EQ(0, pair.client_rec->Count(kEventClosed));

    const std::string text = "still here";
    ASSERT_EQ(static_cast<int>(text.size()), qrn_udprlb_send(pair.client, text.data(), static_cast<int>(text.size()), 0));
    std::string got;
    ASSERT_TRUE(WaitUntil([&] {
        char buf[32];
        const int n = qrn_udprlb_recv(pair.server, buf, sizeof(buf), 0);
        if (n > 0) got.append(buf, static_cast<size_t>(n));
        return got.size() >= text.size();
    }));
    EXPECT_EQ(text, got);
    EXPECT_EQ(0, qrn_udprlb_close(pair.client));
    EXPECT_TRUE(pair.server_rec->WaitForCount(kEventClosed, 1));
}

}  // namespace
}  // namespace urlbtest
