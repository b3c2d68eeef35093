// The tunnel client in both forms through the real tunnel server to a raw TCP target, and
// against scripted servers that break the protocol. The detector's kept answer chooses the
// form: a detection against a scripted server that passes only small posts makes every later
// tunnel a single-post one.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "http/detectr.h"
#include "http/dtctrpdu.h"
#include "http/http_defs.h"
#include "http/httpie.h"
#include "qrnlibl/qrn_time.h"
#include "rdhttp/rdhttp_defs.h"
#include "rdhttp/rdhttp_socket.h"
#include "rdhttp/rdhttpc.h"
#include "tunnel_fixture.h"

namespace {

using namespace qrntest;

std::string Pattern(size_t n, uint32_t seed) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1103515245 + 12345;
        s[i] = static_cast<char>(seed >> 16);
    }
    return s;
}

std::string Id(uint32_t id) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(id >> (24 - 8 * i));
    return s;
}

// A tunnel driven as the multi-mode layer drives it: sends on room, reads on data. Its events
// come on the HTTP thread and may come before qrn_rdhttp_connect has returned the handle here;
// what they asked for is then done once the handle is known.
class TunnelUser {
public:
    explicit TunnelUser(std::string out) : m_out(std::move(out)) {
        m_rec.SetHook([this](const Event &e) {
            std::lock_guard<std::mutex> guard(m_mutex);
            if (e.msg == rdhttp::kMsgConnect && e.p1 == 0) m_up = true;
            if (e.msg == rdhttp::kMsgRead) DrainLocked();
            if (e.msg == rdhttp::kMsgWrite || (e.msg == rdhttp::kMsgConnect && e.p1 == 0)) PumpLocked();
        });
    }
    int Connect(uint16_t port) {
        const int handle = qrn_rdhttp_connect("127.0.0.1", port, EventRecorder::Callback, m_rec.Context());
        std::lock_guard<std::mutex> guard(m_mutex);
        m_handle = handle;
        if (m_up) {
            PumpLocked();
            DrainLocked();
        }
        return handle;
    }
    std::string In() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_in;
    }
    EventRecorder &Rec() { return m_rec; }
    int Handle() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_handle;
    }

private:
    void PumpLocked() {
        while (m_handle != 0 && m_sent < m_out.size()) {
            int n = qrn_rdhttp_send(m_handle, m_out.data() + m_sent, int(m_out.size() - m_sent));
            if (n <= 0) break;
            m_sent += size_t(n);
        }
    }
    void DrainLocked() {
        char buf[8192];
        int n;
        while (m_handle != 0 && (n = qrn_rdhttp_recv(m_handle, buf, sizeof(buf))) > 0) m_in.append(buf, size_t(n));
    }
    EventRecorder m_rec;
    std::mutex m_mutex;
    std::string m_out;
    size_t m_sent = 0;
    std::string m_in;
    int m_handle = 0;
    bool m_up = false;
};

// A callback may still be on its way on the HTTP thread when a test closes its tunnel and
// ends: the users live until the process ends.
TunnelUser &NewUser(std::string out) {
    static auto *users = new std::vector<std::unique_ptr<TunnelUser>>();
    users->push_back(std::make_unique<TunnelUser>(std::move(out)));
    return *users->back();
}

class RdhttpClient : public ::testing::Test {
protected:
    void TearDown() override {
        qrn_http_detector_reset();
        // No request left open, and none still being closed.
        EXPECT_TRUE(WaitUntil([] { return !rdhttp_closer_busy() && !qrn_http_sock_timer_on(); }));
    }
};

void CarryBothWays(uint32_t mode) {
    SCOPED_TRACE(mode);
    uint16_t target_port = 0;
    const int listener = RawListen(&target_port);
    ASSERT_GE(listener, 0);
    TunnelServer tunnel;
    ASSERT_TRUE(tunnel.Start(target_port));
    PrimeDetector(mode);

    const std::string up = Pattern(60000, mode), down = Pattern(50000, mode + 7);
    TunnelUser &user = NewUser(up);
    ASSERT_NE(user.Connect(tunnel.Port()), 0);
    Event e = user.Rec().WaitFor(rdhttp::kMsgConnect);
    ASSERT_EQ(e.msg, rdhttp::kMsgConnect);
    ASSERT_EQ(e.p1, 0u);
    const int target = RawAccept(listener);
    ASSERT_GE(target, 0);
    EXPECT_EQ(RawRecv(target, up.size()), up);
    RawSend(target, down);
    EXPECT_TRUE(WaitUntil([&] { return user.In().size() >= down.size(); }));
    EXPECT_EQ(user.In(), down);
    EXPECT_EQ(qrn_rdhttp_option(user.Handle(), 6, 0), 0);

    // The target's close ends the tunnel with one message 5; the handle is gone after it.
    ::close(target);
    e = user.Rec().WaitFor(rdhttp::kMsgClose, 20000);
    EXPECT_EQ(e.p1, rdhttp::kCodeClosed);
    EXPECT_EQ(qrn_rdhttp_send(user.Handle(), "x", 1), -1);
    EXPECT_EQ(user.Rec().Count(rdhttp::kMsgClose), 1);
    ::close(listener);
}

TEST_F(RdhttpClient, BothFormsCarryBytesBothWaysThroughTheTunnelServer) {
    if (TunnelServerPath().empty()) GTEST_SKIP() << "qrntunnel was not built";
    EXPECT_EQ(qrn_rdhttp_listen("127.0.0.1", 80, EventRecorder::Callback, 0), -1);
    CarryBothWays(http::kModeBigPost);
    CarryBothWays(http::kModeSmallPost);
}

// The far side often answers a moment after the exchange that carried the question has come
// back empty. The single-post client then polls again soon, ever more seldom: the answer does
// not wait for the idle poll, seconds later.
TEST_F(RdhttpClient, SinglePostFetchesALateAnswerLongBeforeTheIdlePoll) {
    if (TunnelServerPath().empty()) GTEST_SKIP() << "qrntunnel was not built";
    uint16_t target_port = 0;
    const int listener = RawListen(&target_port);
    ASSERT_GE(listener, 0);
    TunnelServer tunnel;
    ASSERT_TRUE(tunnel.Start(target_port));
    PrimeDetector(http::kModeSmallPost);
    TunnelUser &user = NewUser("question");
    ASSERT_NE(user.Connect(tunnel.Port()), 0);
    ASSERT_EQ(user.Rec().WaitFor(rdhttp::kMsgConnect).p1, 0u);
    const int target = RawAccept(listener);
    ASSERT_GE(target, 0);
    EXPECT_EQ(RawRecv(target, 8), "question");
    // The far side's thinking time, long enough for the follow-up poll to come back empty.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    RawSend(target, "answer");
    const uint32_t sent = get_tick_count();
    EXPECT_TRUE(WaitUntil([&] { return user.In() == "answer"; }, static_cast<int>(rdhttp::kPollIdleMs / 2)))
        << "got \"" << user.In() << "\" " << calc_tick_diff(sent, get_tick_count()) << " ms after it was sent";
    qrn_rdhttp_close(user.Handle());
    ::close(target);
    ::close(listener);
}

TraceCapture *g_trace = nullptr;

// Holds the connect call until the tunnel is up.
void HoldConnectUntilUp(int) {
    EXPECT_TRUE(g_trace->WaitForLine({"CRdhttpClient::OnConfirm, tunnel up"}));
}

// Holds the connect call until the tunnel has failed.
void HoldConnectUntilFailed(int) {
    EXPECT_TRUE(g_trace->WaitForLine({"CRdhttpClient::End"}));
}

// One tunnel against a scripted server: the failure code of its message 2 or 5. Held: the
// connect call returns only after the failure, which still comes as a message.
Event FailAgainst(const ScriptedHttpServer::Script &script, bool held = false) {
    ScriptedHttpServer server(script, [](const ScriptedRequest &req) -> size_t {
        return req.method == "POST" && req.target.find("SinglePost") != std::string::npos ? 4 : 0;
    });
    TraceCapture trace;
    g_trace = &trace;
    TunnelUser &user = NewUser("");
    if (held) rdhttp_set_connect_hook(&HoldConnectUntilFailed);
    EXPECT_NE(user.Connect(server.Port()), 0);
    rdhttp_set_connect_hook(nullptr);
    auto ended = [&] {
        for (const Event &e : user.Rec().Events()) {
            if (e.msg == rdhttp::kMsgClose || (e.msg == rdhttp::kMsgConnect && e.p1 != 0)) return true;
        }
        return false;
    };
    EXPECT_TRUE(WaitUntil(ended));
    EXPECT_EQ(qrn_rdhttp_send(user.Handle(), "x", 1), -1);  // the handle is gone
    EXPECT_EQ(qrn_rdhttp_close(user.Handle()), -1);
    std::vector<Event> events = user.Rec().Events();
    return events.empty() ? Event{0, -1, 0, kNoEvent, kNoEvent, kNoEvent} : events.back();
}

TEST_F(RdhttpClient, ServersThatBreakTheProtocolFailCleanly) {
    PrimeDetector(http::kModeBigPost);
    auto big = [](const std::string &get_reply) {
        return [get_reply](const ScriptedRequest &req) -> std::string {
            return req.method == "GET" ? get_reply : std::string();
        };
    };
    Event e = FailAgainst(big(ScriptedHttpServer::Stream("HTTP/1.1 200 OK\r\n")));
    EXPECT_EQ(e.msg, rdhttp::kMsgConnect);
    EXPECT_EQ(e.p1, rdhttp::kFailBroken);
    e = FailAgainst(big(ScriptedHttpServer::Stream("KVHT" + Id(0))));
    EXPECT_EQ(e.p1, rdhttp::kFailRejected);
    e = FailAgainst(big(ScriptedHttpServer::Stream("KVHT" + Id(0))), true);
    EXPECT_EQ(e.msg, rdhttp::kMsgConnect);
    EXPECT_EQ(e.p1, rdhttp::kFailRejected);
    e = FailAgainst(big(ScriptedHttpServer::Reply("KVH")));
    EXPECT_EQ(e.p1, rdhttp::kFailBroken);
    e = FailAgainst(big(ScriptedHttpServer::Stream(Pattern(5000, 3))));
    EXPECT_EQ(e.p1, rdhttp::kFailBroken);
    e = FailAgainst(big(ScriptedHttpServer::Stream("KVHT" + Id(5) + "NO")));
    EXPECT_EQ(e.p1, rdhttp::kFailBroken);
    e = FailAgainst(big("HTTP/1.1 404 Not Found\r\nConnection: close\r\nContent-Length: 0\r\n\r\n"));
    EXPECT_EQ(e.msg, rdhttp::kMsgConnect);
    EXPECT_NE(e.p1, 0u);

    PrimeDetector(http::kModeSmallPost);
    auto single = [](const std::string &open_reply, const std::string &exchange_reply) {
        return [=](const ScriptedRequest &req) -> std::string {
            return req.target.find("SinglePost") != std::string::npos ? open_reply : exchange_reply;
        };
    };
    e = FailAgainst(single(ScriptedHttpServer::Reply(Id(0)), ""));
    EXPECT_EQ(e.msg, rdhttp::kMsgConnect);
    EXPECT_EQ(e.p1, rdhttp::kFailBroken);
    e = FailAgainst(single(ScriptedHttpServer::Reply("AB"), ""));
    EXPECT_EQ(e.msg, rdhttp::kMsgConnect);
    EXPECT_EQ(e.p1, rdhttp::kFailBroken);
    // Up, then an exchange reply longer than the client's buffer, then one cut short.
    ClockFactor fast(4);  // the first exchange is an idle poll
    e = FailAgainst(single(ScriptedHttpServer::Reply(Id(7)), ScriptedHttpServer::Reply(Pattern(5000, 1))));
    EXPECT_EQ(e.msg, rdhttp::kMsgClose);
    e = FailAgainst(single(ScriptedHttpServer::Reply(Id(7)),
                           "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 100\r\n\r\nxyz"));
    EXPECT_EQ(e.msg, rdhttp::kMsgClose);
}


// Under load the whole large-post exchange may finish before qrn_rdhttp_connect has returned,
// and a proxy or a loaded client may show the downlink's "OK" before the uplink POST can take
// its first byte. The server here answers the GET with the header, "OK" and a first stream
// byte straight away; once more with the connect call held until the tunnel is up. Either way
// the tunnel must be reported up, its user's bytes must go up at once, and the bytes that came
// with "OK" must be announced.
TEST_F(RdhttpClient, ATunnelUpBeforeItsConnectCallReturnsIsReportedAndCarriesBytes) {
    PrimeDetector(http::kModeBigPost);
    TraceCapture trace;
    g_trace = &trace;
    for (bool hold : {false, true}) {
        SCOPED_TRACE(hold ? "connect call held" : "connect call free");
        const std::string up = Pattern(20000, hold ? 11 : 12);
        std::mutex mutex;
        std::string uplink;
        ScriptedHttpServer server(
            [&](const ScriptedRequest &req) -> std::string {
                if (req.method == "GET") return ScriptedHttpServer::Stream("KVHT" + Id(5) + "OK" + "early");
                std::lock_guard<std::mutex> guard(mutex);
                uplink = req.body;
                return std::string();
            },
            [&](const ScriptedRequest &req) -> size_t { return req.method == "POST" ? up.size() : 0; });
        rdhttp_set_connect_hook(hold ? &HoldConnectUntilUp : nullptr);
        TunnelUser &user = NewUser(up);
        const int handle = user.Connect(server.Port());
        rdhttp_set_connect_hook(nullptr);
        ASSERT_NE(handle, 0);
        const Event e = user.Rec().WaitFor(rdhttp::kMsgConnect);
        ASSERT_EQ(e.msg, rdhttp::kMsgConnect);
        EXPECT_EQ(e.p1, 0u);
        EXPECT_TRUE(WaitUntil([&] { return user.In() == "early"; })) << user.In();
        EXPECT_TRUE(WaitUntil([&] {
            std::lock_guard<std::mutex> guard(mutex);
            return uplink.size() >= up.size();
        }));
        {
            std::lock_guard<std::mutex> guard(mutex);
            EXPECT_TRUE(uplink.compare(0, up.size(), up) == 0) << uplink.size() << " bytes came up";
        }
        EXPECT_EQ(user.Rec().Count(rdhttp::kMsgClose), 0);
        qrn_rdhttp_close(handle);
    }
}

// The exchange that carried the last bytes was answered before the close, and the poll that
// followed it is in flight: nothing is left to see through, so the close has nothing to await
// (the far side may already have ended the session, failing the poll).
TEST_F(RdhttpClient, SinglePostClosedAfterItsLastBytesWereAnsweredHasNothingToAwait) {
    PrimeDetector(http::kModeSmallPost);
    std::atomic<int> carried{0};
    ScriptedHttpServer server(
        [&](const ScriptedRequest &req) -> std::string {
            if (req.target.find("SinglePost") != std::string::npos) return ScriptedHttpServer::Reply(Id(7));
            ++carried;
            return ScriptedHttpServer::Reply(req.body.substr(0, 1));
        },
        // The exchange with the lead and the ten bytes is answered; the poll after it, one
        // byte long, is held unanswered.
        [](const ScriptedRequest &req) -> size_t {
            return req.target.find("SinglePost") != std::string::npos ? 4 : 11;
        });
    TunnelUser &user = NewUser("last bytes");
    ASSERT_NE(user.Connect(server.Port()), 0);
    ASSERT_EQ(user.Rec().WaitFor(rdhttp::kMsgConnect).p1, 0u);
    // The opening, the exchange and the poll, each on a connection of its own.
    ASSERT_TRUE(WaitUntil([&] { return carried == 1 && server.Connections() >= 3; }));
    EventRecorder notice;
    EXPECT_EQ(qrn_rdhttp_close_notify(user.Handle(), EventRecorder::Callback, notice.Context()),
              rdhttp::kCloseNoNotice);
    EXPECT_EQ(notice.Count(rdhttp::kMsgCloseDone), 0);
}

// A closed session whose last bytes never get through (a server that takes them and says
// nothing) lingers for the linger time only: then its notice says undelivered, its requests
// end and its handle is gone. Both forms.
TEST_F(RdhttpClient, ClosedSessionsWhoseBytesDoNotGetThroughEndAtTheLingerTime) {
    ClockFactor fast(10);
    for (uint32_t mode : {http::kModeBigPost, http::kModeSmallPost}) {
        SCOPED_TRACE(mode);
        PrimeDetector(mode);
        ScriptedHttpServer server(
            [&](const ScriptedRequest &req) -> std::string {
                if (req.method == "GET") return ScriptedHttpServer::Stream("KVHT" + Id(5) + "OK");
                if (req.target.find("SinglePost") != std::string::npos) return ScriptedHttpServer::Reply(Id(7));
                return std::string();  // the uplink, or an exchange: taken and never answered
            },
            [](const ScriptedRequest &req) -> size_t {
                return req.target.find("SinglePost") != std::string::npos ? 4 : 0;
            });
        TunnelUser &user = NewUser("last bytes");
        ASSERT_NE(user.Connect(server.Port()), 0);
        ASSERT_EQ(user.Rec().WaitFor(rdhttp::kMsgConnect).p1, 0u);
        const int uplinks = 2;  // GET and POST, or the opening and the first exchange
        ASSERT_TRUE(WaitUntil([&] { return server.Requests() >= uplinks; }));

        EventRecorder notice;
        const uint32_t closed = get_tick_count();
        EXPECT_EQ(qrn_rdhttp_close_notify(user.Handle(), EventRecorder::Callback, notice.Context()),
                  rdhttp::kCloseNoticeToCome);
        EXPECT_EQ(qrn_rdhttp_send(user.Handle(), "x", 1), -1);  // closed for its user at once
        const Event done = notice.WaitFor(rdhttp::kMsgCloseDone);
        EXPECT_EQ(done.p1, rdhttp::kCodeClosed);
        EXPECT_GE(calc_tick_diff(closed, get_tick_count()), rdhttp::kLingerMs);
        EXPECT_EQ(notice.Count(rdhttp::kMsgCloseDone), 1);
        EXPECT_TRUE(WaitUntil([&] { return qrn_rdhttp_option(user.Handle(), 6, 0) == -1; }));
        EXPECT_EQ(user.Rec().Count(rdhttp::kMsgClose), 0);  // nothing more for the closed user
    }
}

}  // namespace
