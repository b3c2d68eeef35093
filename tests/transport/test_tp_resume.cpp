// Resumption: after a lost path each side sends again exactly what the other lacks, a
// resumption that would lose bytes is refused with reason 5, and a long stream in both
// directions survives many breaks of its TCP path without the applications noticing.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <string.h>

#include <algorithm>
#include <random>
#include <string>
#include <thread>

#include "qrnlibl/qrn_time.h"
#include "qrnlibl/qrn_trace.h"
#include "tcp_relay.h"
#include "tp_fixture.h"

namespace tptest {
namespace {

class TpResumption : public TpRawServerTest {
protected:
    // A raw client's first path to a library server whose application accepts at once.
    std::unique_ptr<CRawPeer> OpenRawClient(uint16_t port, CRawSession *session, Bytes *record) {
        auto raw = RawDial(port, session);
        if (!raw) return nullptr;
        *record = ConnReqBytes(tp::kConnVersion2);
        raw->SendResumeReq(tp::kFirstSeq, tp::kFirstSeq, static_cast<uint32_t>(record->size()));
        EXPECT_EQ(tp::kResumeAccepted, raw->RecvResumeResp().result);
        raw->SendPdu(tp::kPduData, *record);
        tp::CTpPduHeader header;
        Bytes body;
        EXPECT_TRUE(raw->RecvPdu(&header, &body));
        EXPECT_EQ(ConnRespBytes(tp::kConnAccepted), body);
        return raw;
    }

    // After a resumption, message 4 says the client may go on, and the stream does on the new
    // path, with no close.
    static void ExpectStreamGoesOn(CApp &client, int h, CRawPeer &path) {
        ASSERT_TRUE(client.rec().WaitForCount(QRN_TP_MSG_WRITABLE, 1));
        ASSERT_EQ(3, qrn_tp_send(h, "abc", 3, 0));
        EXPECT_EQ(Encrypted(Bytes{'a', 'b', 'c'}), path.RecvStream(3));
        EXPECT_EQ(0, client.Count(QRN_TP_MSG_CLOSED));
    }
};

constexpr uint32_t kAcceptRecordSize = tp::kConnRespFixedSize;

TEST_F(TpResumption, ClientSendsAgainOnlyWhatTheServerLacks) {
    CApp &client = NewApp();
    int h = 0;
    Bytes record;
    auto raw = OpenRaw(client, &h, &record);
    ASSERT_TRUE(raw);
    const Bytes data = Pattern(1000, 40);
    ASSERT_EQ(1000, qrn_tp_send(h, data.data(), 1000, 0));
    EXPECT_EQ(Encrypted(data), raw->RecvStream(1000));
    raw->Close();  // the server got only 600 of them, as far as the client can tell

    auto again = m_listener.Accept();
    ASSERT_TRUE(again);
    const uint32_t got = tp::kFirstSeq + static_cast<uint32_t>(record.size()) + 600;
    const tp::CTpResumeReq req = again->ServeNewPath(got);
    EXPECT_EQ(tp::kFirstSeq + kAcceptRecordSize, req.recv_next);
    EXPECT_EQ(tp::kFirstSeq, req.send_base);
    EXPECT_EQ(record.size() + 1000, req.send_kept);
    std::vector<int> sizes;
    EXPECT_EQ(Encrypted(Bytes(data.begin() + 600, data.end())), again->RecvStream(400, &sizes));
    EXPECT_EQ((std::vector<int>{400}), sizes);
    ExpectStreamGoesOn(client, h, *again);
}

// A 32768-byte write goes out as a full PDU with its 16-byte tail in one hand-over. Once the
// stream is quiet the window's storage shrinks to the bytes it keeps, and every one of them can
// still go out again on a new path.
TEST_F(TpResumption, QuietWindowShrinksAndStillSendsAgainEveryKeptByte) {
    CApp &client = NewApp();
    int h = 0;
    Bytes record;
    auto raw = OpenRaw(client, &h, &record);
    ASSERT_TRUE(raw);
    const Bytes data = Pattern(32768, 7);
    ASSERT_EQ(32768, qrn_tp_send(h, data.data(), 32768, 0));
    std::vector<int> sizes;
    EXPECT_EQ(Encrypted(data), raw->RecvStream(data.size(), &sizes));
    EXPECT_EQ((std::vector<int>{32752, 16}), sizes);
    const int kept = static_cast<int>(record.size() + data.size());
    constexpr int kStep = 1024;
    EXPECT_GE(tp_debug::window_storage(h), kept);
    ASSERT_TRUE(WaitUntil([&] { return tp_debug::window_storage(h) < kept + kStep; }));
    EXPECT_GE(tp_debug::window_storage(h), kept);
    raw->Close();  // the server got none of the data, as far as the client can tell

    auto again = m_listener.Accept();
    ASSERT_TRUE(again);
    const tp::CTpResumeReq req = again->ServeNewPath(tp::kFirstSeq + static_cast<uint32_t>(record.size()));
    EXPECT_EQ(static_cast<uint32_t>(kept), req.send_kept);
    sizes.clear();
    EXPECT_EQ(Encrypted(data), again->RecvStream(data.size(), &sizes));
    EXPECT_EQ((std::vector<int>{32752, 16}), sizes);
    ExpectStreamGoesOn(client, h, *again);
}

// Body bytes read before the loss count in the stream position the client reports, so they
// must reach the application, completed by the bytes that the new path brings.
TEST_F(TpResumption, PartOfAPduReadBeforeTheLossIsCompletedNotLost) {
    CApp &client = NewApp();
    int h = 0;
    Bytes record;
    auto raw = OpenRaw(client, &h, &record);
    ASSERT_TRUE(raw);
    const Bytes data = Pattern(1000, 41);
    const Bytes wire = Encrypted(data);
    Bytes first{0x03, 0xe8, tp::kPduData};
    first.insert(first.end(), wire.begin(), wire.begin() + 400);
    raw->Send(first);
    raw->Close();

    auto again = m_listener.Accept();
    ASSERT_TRUE(again);
    const tp::CTpResumeReq req =
        again->ServeNewPath(tp::kFirstSeq + static_cast<uint32_t>(record.size()));
    EXPECT_EQ(tp::kFirstSeq + kAcceptRecordSize + 400, req.recv_next);
    again->SendPdu(tp::kPduData, Bytes(wire.begin() + 400, wire.end()));
    ASSERT_TRUE(client.WaitStream(h, data.size()));
    EXPECT_EQ(data, client.Stream(h));
    EXPECT_EQ(0, client.Count(QRN_TP_MSG_CLOSED));
}

TEST_F(TpResumption, RefusalByTheServerEndsTheClientWithReason5) {
    CApp &client = NewApp();
    int h = 0;
    Bytes record;
    auto raw = OpenRaw(client, &h, &record);
    ASSERT_TRUE(raw);
    raw->Close();
    auto again = m_listener.Accept();
    ASSERT_TRUE(again);
    EXPECT_EQ(static_cast<size_t>(rdtp::kPduSize), again->Recv(rdtp::kPduSize).size());
    again->Send(RdtpPdu(kRawServTag, 1, 1, 1));
    EXPECT_EQ(static_cast<size_t>(tp::kResumeReqSize), again->Recv(tp::kResumeReqSize).size());
    again->Send(Bytes{0, 1, 0, 0, 0, 0});
    const Event closed = client.WaitFor(QRN_TP_MSG_CLOSED);
    EXPECT_EQ(static_cast<uintptr_t>(QRN_TP_REASON_RESUME_REFUSED), closed.p1);
    EXPECT_EQ(1, client.Count(QRN_TP_MSG_CLOSED));
}

// An answer that asks for bytes the client no longer keeps cannot be served.
TEST_F(TpResumption, ClientRefusesAnAnswerOutsideItsWindow) {
    CApp &client = NewApp();
    int h = 0;
    Bytes record;
    auto raw = OpenRaw(client, &h, &record);
    ASSERT_TRUE(raw);
    ASSERT_EQ(100, qrn_tp_send(h, Pattern(100).data(), 100, 0));
    raw->Close();
    auto again = m_listener.Accept();
    ASSERT_TRUE(again);
    again->ServeNewPath(tp::kFirstSeq + static_cast<uint32_t>(record.size()) + 101);
    EXPECT_EQ(static_cast<uintptr_t>(QRN_TP_REASON_RESUME_REFUSED), client.WaitFor(QRN_TP_MSG_CLOSED).p1);
}

// The server has sent more than it keeps since the point the client asks for.
TEST_F(TpResumption, ServerRefusesToResumeFromBytesItNoLongerKeeps) {
    qrntest::ClockFactor fast(50);
    CApp &server = NewApp();
    server.AnswerWith(QRN_TP_ACCEPT);
    const uint16_t port = Listen(server);
    CRawSession session;
    Bytes record;
    auto raw = OpenRawClient(port, &session, &record);
    ASSERT_TRUE(raw);
    const int sh = static_cast<int>(server.WaitFor(QRN_TP_MSG_CONNECT_REQUEST).handle);
    Track(sh);
    const Bytes data = Pattern(300000, 42);
    std::thread writer([&] { EXPECT_EQ(data.size(), WriteAll(server, sh, data)); });
    EXPECT_EQ(data.size(), raw->RecvStream(data.size()).size());
    writer.join();
    raw->Close();

    session.ordinal = 1;
    auto again = RawDial(port, &session);
    ASSERT_TRUE(again);
    // All the client has is the accept record.
    again->SendResumeReq(tp::kFirstSeq + kAcceptRecordSize, tp::kFirstSeq + static_cast<uint32_t>(record.size()), 0);
    const tp::CTpResumeResp resp = again->RecvResumeResp();
    EXPECT_EQ(tp::kResumeRefused, resp.result);
    EXPECT_EQ(0u, resp.recv_next);
    EXPECT_TRUE(again->SeesClose());
    // The server ends by its receive time-out.
    EXPECT_EQ(static_cast<uintptr_t>(QRN_TP_REASON_PATH_FAILED), server.WaitFor(QRN_TP_MSG_CLOSED).p1);
}

// Nothing, not even a keep-alive, may precede the resume response on a new path.
TEST_F(TpResumption, ServerSendsNothingOnANewPathBeforeTheResumeRequest) {
    CApp &server = NewApp();
    server.AnswerWith(QRN_TP_ACCEPT);
    const uint16_t port = Listen(server);
    CRawSession session;
    Bytes record;
    auto raw = OpenRawClient(port, &session, &record);
    ASSERT_TRUE(raw);
    Track(static_cast<int>(server.WaitFor(QRN_TP_MSG_CONNECT_REQUEST).handle));
    raw->Close();
    session.ordinal = 1;
    auto again = RawDial(port, &session);
    ASSERT_TRUE(again);
    EXPECT_TRUE(again->Recv(1, static_cast<int>(qrn_clock_real_ms(2 * tp::kKeepAliveMs))).empty());
    again->SendResumeReq(tp::kFirstSeq + kAcceptRecordSize, tp::kFirstSeq + static_cast<uint32_t>(record.size()), 0);
    const tp::CTpResumeResp resp = again->RecvResumeResp();
    EXPECT_EQ(tp::kResumeAccepted, resp.result);
    EXPECT_EQ(tp::kFirstSeq + record.size(), resp.recv_next);
    EXPECT_EQ((Bytes{0, 0, tp::kPduData}), again->Recv(3));  // the keep-alive, now in order
    EXPECT_EQ(0, server.Count(QRN_TP_MSG_CLOSED));
}

// --- a long stream through a relay that keeps breaking ------------------------------------

// A seeded pseudo-random byte sequence that the receiving end produces again to check every
// byte.
class CByteSequence {
public:
    explicit CByteSequence(uint64_t seed) : m_state(seed | 1) {}
    uint8_t Next() {
        if (m_left == 0) {
            m_state ^= m_state >> 12;
            m_state ^= m_state << 25;
            m_state ^= m_state >> 27;
            m_word = m_state * 0x2545f4914f6cdd1dull;
            m_left = 8;
        }
        return static_cast<uint8_t>(m_word >> (8 * --m_left));
    }

private:
    uint64_t m_state;
    uint64_t m_word = 0;
    int m_left = 0;
};

uint64_t HashStep(uint64_t h, const uint8_t *p, size_t n) {
    for (size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001b3ull;
    return h;
}
constexpr uint64_t kHashStart = 0xcbf29ce484222325ull;

// One end of the stream: sends its sequence with write blocking and a cap on the bytes that
// the peer has not yet received, checks the peer's sequence as it arrives, keeps a hash of
// each direction and records every message.
class CStreamEnd {
public:
    static constexpr int kClosedWith = 1000;  // message 5 is recorded as this plus its reason

    CStreamEnd(uint64_t own_seed, uint64_t peer_seed) : m_own(own_seed), m_expected(peer_seed) {}

    static int Callback(uintptr_t user, int msg, uintptr_t handle, uintptr_t p1, uintptr_t p2, uintptr_t p3) {
        auto *self = reinterpret_cast<CStreamEnd *>(user);
        if (msg == QRN_TP_MSG_CONNECT_REQUEST) {
            self->m_handle = static_cast<int>(handle);
            EXPECT_EQ(QRN_TP_OK, qrn_tp_accept(static_cast<int>(handle), QRN_TP_ACCEPT, kBufferSize, 0, nullptr));
        }
        if (msg == QRN_TP_MSG_DATA && p1 == QRN_TP_DATA_STREAM) self->Check(reinterpret_cast<const uint8_t *>(p3), p2);
        {
            std::lock_guard<std::mutex> guard(self->m_mutex);
            self->m_messages.push_back(msg == QRN_TP_MSG_CLOSED ? kClosedWith + static_cast<int>(p1) : msg);
        }
        self->m_wake.notify_all();
        self->m_peer->m_wake.notify_all();
        return 0;
    }
    uintptr_t Context() { return reinterpret_cast<uintptr_t>(this); }

    CStreamEnd *m_peer = nullptr;
    std::atomic<int> m_handle{0};
    std::atomic<uint64_t> m_sent{0};
    std::atomic<uint64_t> m_received{0};
    std::atomic<int64_t> m_first_bad{-1};
    uint64_t m_sent_hash = kHashStart;      // the writer's
    uint64_t m_received_hash = kHashStart;  // the receiving callback's

    int Count(int msg) {
        std::lock_guard<std::mutex> guard(m_mutex);
        return static_cast<int>(std::count(m_messages.begin(), m_messages.end(), msg));
    }
    std::vector<int> Messages() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_messages;
    }

    // Sends until told to stop and at least min_bytes are out; false when the connection
    // failed or stalled.
    bool Write(uint64_t in_flight_max, uint64_t min_bytes, const std::atomic<bool> &stop) {
        uint8_t chunk[65536];
        size_t at = sizeof(chunk);
        uint64_t sent = 0;
        while (!(stop.load() && sent >= min_bytes && at == sizeof(chunk))) {
            if (at == sizeof(chunk)) {
                for (uint8_t &b : chunk) b = m_own.Next();
                m_sent_hash = HashStep(m_sent_hash, chunk, sizeof(chunk));
                at = 0;
            }
            uint64_t room = 0;
            if (!WaitFor([&] {
                    const uint64_t flying = sent - m_peer->m_received.load();
                    room = flying < in_flight_max ? in_flight_max - flying : 0;
                    return room > 0;
                })) {
                return false;
            }
            const int offer = static_cast<int>(std::min<uint64_t>(room, sizeof(chunk) - at));
            const int writable = Count(QRN_TP_MSG_WRITABLE);
            const int r = qrn_tp_send(m_handle, chunk + at, offer, QRN_TP_SEND_STREAM);
            if (r < 0) return false;
            at += static_cast<size_t>(r);
            sent += static_cast<uint64_t>(r);
            m_sent = sent;
            if (r < offer && !WaitFor([&] { return Count(QRN_TP_MSG_WRITABLE) > writable; })) return false;
        }
        return true;
    }

private:
    void Check(const uint8_t *data, size_t n) {
        const uint64_t at = m_received.load();
        for (size_t i = 0; i < n; ++i) {
            if (data[i] != m_expected.Next() && m_first_bad.load() < 0) m_first_bad = static_cast<int64_t>(at + i);
        }
        m_received_hash = HashStep(m_received_hash, data, n);
        m_received = at + n;
    }
    template <class Pred>
    bool WaitFor(Pred pred) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_wake.wait_for(lock, std::chrono::milliseconds(2 * qrntest::kWaitMs), [&] {
            lock.unlock();  // the predicate counts messages under m_mutex itself
            const bool ok = pred();
            lock.lock();
            return ok;
        });
    }

    CByteSequence m_own;
    CByteSequence m_expected;  // the peer's sequence, touched only by the receiving callback
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<int> m_messages;
};

// Cuts the path again at the moment the client's multi-mode layer reports it up, so that the
// break falls into the resume handshake that follows. Works from the trace sink, which sees
// the dispatcher's line for that message on the delivering thread.
class CHandshakeBreaker {
public:
    CHandshakeBreaker(qrntest::CTcpRelay &relay, int client_handle)
        : m_relay(relay), m_line(" 4.8 " + std::to_string(client_handle) + " 7 ") {}
    ~CHandshakeBreaker() { qrn_trace_set_sink(nullptr, nullptr); }
    void Arm() {
        m_fired = false;
        qrn_trace_set_sink(&CHandshakeBreaker::Sink, this);
    }
    bool WaitFired() {
        const bool fired = WaitUntil([&] { return m_fired.load(); });
        qrn_trace_set_sink(nullptr, nullptr);
        return fired;
    }

private:
    static void Sink(void *ctx, const char *line) {
        auto *self = static_cast<CHandshakeBreaker *>(ctx);
        if (self->m_fired.load() || strstr(line, self->m_line.c_str()) == nullptr) return;
        self->m_relay.CutBothSides();
        self->m_fired = true;
    }
    qrntest::CTcpRelay &m_relay;
    const std::string m_line;
    std::atomic<bool> m_fired{false};
};

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr uint64_t kStreamBytes = 12u << 20;
#else
constexpr uint64_t kStreamBytes = 32u << 20;
#endif
constexpr int kBreaks = 15;
constexpr uint64_t kInFlightMax = 200000;  // below the 262144 bytes that each side keeps
constexpr uint64_t kProgressBetweenBreaks = 256 * 1024;

TEST_F(TpResumption, LongStreamBothWaysSurvivesRepeatedPathBreaks) {
    // Kept for the whole run: the listener's record keeps pointing at the server's end.
    CStreamEnd &server = *new CStreamEnd(11, 22);
    CStreamEnd &client = *new CStreamEnd(22, 11);
    server.m_peer = &client;
    client.m_peer = &server;
    const uint16_t port = FreePort();
    ASSERT_EQ(QRN_TP_OK, qrn_tp_listen(kLoopback, 0, port, 0, &CStreamEnd::Callback, server.Context()));
    qrntest::CTcpRelay relay(port);
    ASSERT_NE(0, relay.Port());
    const int h = qrn_tp_connect(kLoopback, 0, relay.Port(), 0, nullptr, 0, &CStreamEnd::Callback,
                                 client.Context(), kBufferSize, 0, nullptr);
    ASSERT_NE(0, h);
    Track(h);
    client.m_handle = h;
    ASSERT_TRUE(WaitUntil([&] { return client.Count(QRN_TP_MSG_CONNECT_RESULT) == 1 && server.m_handle != 0; }));
    Track(server.m_handle);

    std::atomic<bool> stop{false};
    std::atomic<bool> up_ok{false};
    std::atomic<bool> down_ok{false};
    std::thread up([&] { up_ok = client.Write(kInFlightMax, kStreamBytes, stop); });
    std::thread down([&] { down_ok = server.Write(kInFlightMax, kStreamBytes, stop); });
    std::mt19937 rng(2024);
    CHandshakeBreaker handshake(relay, h);
    int breaks = 0;
    int handshake_breaks = 0;
    while (breaks < kBreaks) {
        const uint64_t mark_up = server.m_received;
        const uint64_t mark_down = client.m_received;
        if (!WaitUntil([&] {
                return server.m_received >= mark_up + kProgressBetweenBreaks &&
                       client.m_received >= mark_down + kProgressBetweenBreaks;
            })) {
            break;
        }
        // Every third break also hits the new path inside its resume handshake.
        const bool then_handshake = breaks % 3 == 1;
        if (then_handshake) handshake.Arm();
        // A random moment: mostly in the middle of a PDU, as the path is always busy.
        std::this_thread::sleep_for(std::chrono::microseconds(rng() % 2000));
        if (rng() % 2) {
            relay.CutClientSide();
        } else {
            relay.CutBothSides();
        }
        ++breaks;
        if (then_handshake && handshake.WaitFired()) {
            ++breaks;
            ++handshake_breaks;
        }
    }
    stop = true;
    up.join();
    down.join();
    EXPECT_EQ(kBreaks, breaks) << "the stream stalled";
    EXPECT_GE(handshake_breaks, 4);
    EXPECT_TRUE(up_ok);
    EXPECT_TRUE(down_ok);
    EXPECT_TRUE(WaitUntil([&] { return server.m_received == client.m_sent && client.m_received == server.m_sent; }));
    EXPECT_GE(client.m_sent.load(), kStreamBytes);
    EXPECT_GE(server.m_sent.load(), kStreamBytes);
    EXPECT_EQ(-1, server.m_first_bad.load());
    EXPECT_EQ(-1, client.m_first_bad.load());
    EXPECT_EQ(client.m_sent_hash, server.m_received_hash);
    EXPECT_EQ(server.m_sent_hash, client.m_received_hash);
    EXPECT_GE(relay.Accepted(), breaks + 1);
    // The applications heard nothing of the breaks.
    for (CStreamEnd *end : {&client, &server}) {
        for (int msg : end->Messages()) {
            EXPECT_LT(msg, CStreamEnd::kClosedWith) << "closed with reason " << msg - CStreamEnd::kClosedWith;
        }
    }
    EXPECT_EQ(1, client.Count(QRN_TP_MSG_CONNECT_RESULT));
    EXPECT_EQ(1, server.Count(QRN_TP_MSG_CONNECT_REQUEST));

    ASSERT_EQ(QRN_TP_OK, qrn_tp_close(h, QRN_TP_CLOSE_NORMAL));
    EXPECT_TRUE(WaitUntil([&] { return server.Count(CStreamEnd::kClosedWith + QRN_TP_REASON_PEER_CLOSED) == 1; }));
}

}  // namespace
}  // namespace tptest
