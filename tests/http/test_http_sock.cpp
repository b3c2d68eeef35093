// The HTTP socket functions against the test server and against raw peers that misbehave:
// messages and their codes, byte counts, the registry and its poll.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "http/http_defs.h"
#include "http_fixture.h"
#include "qrn/qrn_tp.h"
#include "raw_peer.h"

namespace qrntest {
namespace {

class HttpSockTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_server.Start()); }
    HttpServer m_server;
};

TEST_F(HttpSockTest, MegabyteGetAndPostArriveWholeWithTheirLengthsAndCounts) {
    const size_t kSize = 1024 * 1024;
    HttpExchange get;
    HttpExchange chunked_get;
    HttpExchange post(Pattern(kSize, 7));
    ASSERT_NE(get.Connect(m_server.Port(), 1, "/get?n=1048576", 0), 0u);
    ASSERT_NE(chunked_get.Connect(m_server.Port(), 1, "/chunked?n=300000", 0), 0u);
    // Through the exports, which pass straight through.
    uintptr_t h = qrn_tp_http_connect(EventRecorder::Callback, post.Rec().Context(), "127.0.0.1",
                                      m_server.Port(), 0, "/echo", kSize);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(qrn_tp_http_option(h, 2, 0), 0);  // a null address is not written to
    EXPECT_TRUE(qrn_http_sock_timer_on());

    EXPECT_EQ(get.WaitEnd(), 0);
    EXPECT_EQ(chunked_get.WaitEnd(), 0);
    EXPECT_EQ(post.WaitEnd(), 0);
    EXPECT_TRUE(get.Received() == Pattern(kSize));
    EXPECT_TRUE(chunked_get.Received() == Pattern(300000));
    EXPECT_TRUE(post.Received() == Pattern(kSize, 7));
    EXPECT_EQ(post.Sent(), kSize);
    // The length is the response's, fetched at the first data message (0 without one).
    EXPECT_EQ(get.Options3().front(), kSize);
    EXPECT_EQ(chunked_get.Options3().front(), 0u);
    for (HttpExchange *x : {&get, &chunked_get, &post}) {
        EXPECT_EQ(x->Rec().Count(2), 1);
        EXPECT_EQ(x->Rec().Count(5), 1);
        EXPECT_EQ(x->Rec().Events().back().msg, 5);  // nothing after the end
        EXPECT_EQ(qrn_http_sock_close(x->Handle() ? x->Handle() : h), -1);  // gone with message 5
    }
    EXPECT_EQ(qrn_tp_http_close(h), -1);
    EXPECT_TRUE(WaitUntil([] { return !qrn_http_sock_timer_on(); }));
}

// An owner that reads nothing at message 3 finds one full window waiting, no more: the rest
// stays behind in the internet layer, which stops receiving. Reading later from its own thread
// lets the request go on, and the whole body arrives in order before the end.
TEST_F(HttpSockTest, AReaderThatLetsTheAnswerWaitHoldsOneWindowAndStillGetsItWhole) {
    const size_t kSize = 3 * 1024 * 1024 + 777;
    const std::string size = std::to_string(kSize);
    EventRecorder sized_rec, chunked_rec;
    uintptr_t sized = qrn_http_sock_connect(EventRecorder::Callback, sized_rec.Context(), "127.0.0.1",
                                            m_server.Port(), 1, ("/get?n=" + size).c_str(), 0);
    uintptr_t chunked = qrn_http_sock_connect(EventRecorder::Callback, chunked_rec.Context(), "127.0.0.1",
                                              m_server.Port(), 1, ("/chunked?n=" + size).c_str(), 0);
    ASSERT_NE(sized, 0u);
    ASSERT_NE(chunked, 0u);
    auto full = [](const EventRecorder &rec) {
        for (const Event &e : rec.Events()) {
            if (e.msg == 3 && e.p1 == static_cast<uintptr_t>(http::kWindowLimit)) return true;
        }
        return false;
    };
    ASSERT_TRUE(WaitUntil([&] { return full(sized_rec) && full(chunked_rec); }));

    std::string sized_body, chunked_body;
    std::vector<char> buf(100000);
    auto drain = [&](uintptr_t h, std::string &body) {
        int n;
        while ((n = qrn_http_sock_recv(h, buf.data(), static_cast<int>(buf.size()))) > 0) body.append(buf.data(), n);
    };
    ASSERT_TRUE(WaitUntil([&] {
        drain(sized, sized_body);
        drain(chunked, chunked_body);
        return sized_rec.Count(5) == 1 && chunked_rec.Count(5) == 1;
    }));
    EXPECT_EQ(sized_body.size(), kSize);
    EXPECT_EQ(chunked_body.size(), kSize);
    EXPECT_TRUE(sized_body == Pattern(kSize));
    EXPECT_TRUE(chunked_body == Pattern(kSize));
    for (const EventRecorder *rec : {&sized_rec, &chunked_rec}) {
        EXPECT_EQ(rec->Events().front().msg, 2);
        EXPECT_EQ(rec->Events().front().p1, 0u);
        EXPECT_EQ(rec->Events().back().msg, 5);
        EXPECT_EQ(rec->Events().back().p1, 0u);
        for (const Event &e : rec->Events()) {
            if (e.msg == 3) {
                EXPECT_LE(e.p1, static_cast<uintptr_t>(http::kWindowLimit));
            }
        }
    }
    EXPECT_EQ(qrn_http_sock_recv(sized, buf.data(), 1), -1);  // gone with message 5
}

TEST_F(HttpSockTest, ByteCountsAndPiecesOfASmallExchange) {
    HttpExchange post(Pattern(10000));
    ASSERT_NE(post.Connect(m_server.Port(), 0, "/info", 10000), 0u);
    ASSERT_EQ(post.WaitEnd(), 0);
    EXPECT_NE(post.Received().find("len=10000 "), std::string::npos);
    EXPECT_NE(post.Received().find(" cl=10000 te=-"), std::string::npos);
    // The first send took the whole body.
    EXPECT_EQ(post.Pieces(), std::vector<int>{10000});

    // Option 3: body bytes sent plus response bytes read, here 5 + 12.
    HttpExchange small("hello");
    uint32_t count = 0;
    small.Rec().SetHook(nullptr);
    ASSERT_NE(small.Connect(m_server.Port(), 0, "/echo", 5), 0u);
    ASSERT_EQ(small.Rec().WaitFor(2).p1, 0u);
    EXPECT_EQ(qrn_http_sock_send(small.Handle(), "", 0), 0);
    EXPECT_EQ(qrn_http_sock_send(small.Handle(), "hello", 5), 5);
    ASSERT_GE(small.Rec().WaitFor(3).msg, 0);
    char buf[64];
    std::string got;
    ASSERT_TRUE(WaitUntil([&] {
        int n = qrn_http_sock_recv(small.Handle(), buf, sizeof(buf));
        if (n > 0) got.append(buf, n);
        return got.size() >= 5;
    }));
    EXPECT_EQ(got, "hello");
    qrn_http_sock_option(small.Handle(), 3, reinterpret_cast<uintptr_t>(&count));
    EXPECT_EQ(count, 10u);
    EXPECT_EQ(qrn_http_sock_close(small.Handle()), 0);
    EXPECT_EQ(qrn_http_sock_close(small.Handle()), -1);
    EXPECT_EQ(qrn_http_sock_send(small.Handle(), "x", 1), -1);
    EXPECT_EQ(qrn_http_sock_recv(0, buf, 1), -1);
    EXPECT_EQ(qrn_http_sock_option(0, 3, 0), -1);
}

TEST_F(HttpSockTest, StatusesFailuresAndTheirMessages) {
    HttpExchange not_found;
    HttpExchange refused_after_head("12345");
    HttpExchange cut;
    HttpExchange nobody;
    HttpExchange bad_host;
    ASSERT_NE(not_found.Connect(m_server.Port(), 1, "/status?code=404", 0), 0u);
    ASSERT_NE(refused_after_head.Connect(m_server.Port(), 0, "/status?code=500", 5), 0u);
    ASSERT_NE(cut.Connect(m_server.Port(), 1, "/close?n=400000", 0), 0u);
    ASSERT_NE(nobody.Connect(FreePort(), 1, "/get?n=1", 0), 0u);
    // A request that cannot even start still gets a handle, and its failing message 2.
    ASSERT_NE(bad_host.Connect(m_server.Port(), 1, "/", 0, std::string(200, 'h').c_str()), 0u);

    EXPECT_EQ(not_found.WaitEnd(), http::kCodeConnectionClosed);
    EXPECT_EQ(refused_after_head.WaitEnd(), http::kCodeClosedAfterConnect);
    EXPECT_EQ(refused_after_head.Rec().Count(2), 1);
    EXPECT_EQ(refused_after_head.Rec().WaitFor(2).p1, 0u);
    EXPECT_EQ(cut.WaitEnd(), http::kCodeReadFailed);
    EXPECT_EQ(cut.Received(), Pattern(cut.Received().size()));
    EXPECT_LT(cut.Received().size(), 400000u);
    EXPECT_EQ(nobody.WaitEnd(), http::kCodeConnectionClosed);
    EXPECT_EQ(bad_host.WaitEnd(), http::kCodeConnectionClosed);

    // The server itself asking for credentials is no proxy's demand: no dialog, and the
    // request ends as at any other refusing status, a GET before connecting, a POST after its head.
    HttpExchange unauthorized;
    HttpExchange forbidden("12345");
    ASSERT_NE(unauthorized.Connect(m_server.Port(), 1, "/status?code=401", 0), 0u);
    ASSERT_NE(forbidden.Connect(m_server.Port(), 0, "/status?code=403", 5), 0u);
    EXPECT_EQ(unauthorized.WaitEnd(), http::kCodeConnectionClosed);
    EXPECT_EQ(forbidden.WaitEnd(), http::kCodeClosedAfterConnect);
    auto msgs = [](HttpExchange &x) {
        std::string s;
        for (const Event &e : x.Rec().Events()) s += std::to_string(e.msg) + ":" + std::to_string(e.p1) + " ";
        return s;
    };
    EXPECT_EQ(msgs(unauthorized), "2:14 ");
    EXPECT_EQ(msgs(forbidden), "2:0 5:106 ");
    for (HttpExchange *x : {&not_found, &refused_after_head, &cut, &nobody, &bad_host, &unauthorized, &forbidden}) {
        EXPECT_EQ(qrn_http_sock_close(x->Handle()), -1);
    }
    // A handle that ended is gone for good, also once a later request is under way: here the
    // next request starts inside the failing message, on the thread that just let the ended
    // handle go, and a stale close of the ended handle must be refused and leave it alone.
    HttpExchange next;
    EventRecorder first;
    std::atomic<uintptr_t> ended{0};
    std::atomic<int> stale_close{0};
    first.SetHook([&](const Event &e) {
        if (e.msg != 2 || e.p1 == 0) return;
        ended = e.handle;
        next.Connect(m_server.Port(), 1, "/get?n=20", 0);
        stale_close = qrn_http_sock_close(e.handle);
    });
    ASSERT_NE(qrn_http_sock_connect(EventRecorder::Callback, first.Context(), "127.0.0.1", m_server.Port(), 1,
                                    "/status?code=404", 0), 0u);
    EXPECT_EQ(first.WaitFor(2).p1, static_cast<uintptr_t>(http::kCodeConnectionClosed));
    EXPECT_EQ(stale_close, -1);
    EXPECT_NE(next.Handle(), 0u);
    EXPECT_NE(next.Handle(), ended.load());
    EXPECT_EQ(next.WaitEnd(), 0);
    EXPECT_TRUE(next.Received() == Pattern(20));
    EXPECT_TRUE(WaitUntil([] { return !qrn_http_sock_timer_on(); }));
}

// A raw server that answers every request with the given bytes and then closes.
class RawHttpPeer {
public:
    explicit RawHttpPeer(std::string answer) : m_answer(std::move(answer)) {
        m_fd = RawListen(&m_port);
        m_thread = std::thread([this] {
            int c = RawAccept(m_fd);
            if (c < 0) return;
            char buf[4096];
            ssize_t got = read(c, buf, sizeof(buf));
            (void)got;
            RawSend(c, m_answer);
            close(c);
        });
    }
    ~RawHttpPeer() {
        m_thread.join();
        close(m_fd);
    }
    uint16_t Port() const { return m_port; }

private:
    std::string m_answer;
    uint16_t m_port = 0;
    int m_fd = -1;
    std::thread m_thread;
};

TEST(HttpSockHostile, GarbageAndOverlongAnswersEndCleanly) {
    RawHttpPeer garbage("\x01\x02 not http at all\r\n\r\n");
    RawHttpPeer overlong("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789EXTRA-BYTES-BEYOND");
    RawHttpPeer huge_length("HTTP/1.1 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\nabc");
    HttpExchange a, b, c;
    ASSERT_NE(a.Connect(garbage.Port(), 1, "/", 0), 0u);
    ASSERT_NE(b.Connect(overlong.Port(), 1, "/", 0), 0u);
    ASSERT_NE(c.Connect(huge_length.Port(), 1, "/", 0), 0u);
    EXPECT_EQ(a.WaitEnd(), http::kCodeConnectionClosed);
    EXPECT_EQ(b.WaitEnd(), 0);
    EXPECT_EQ(b.Received(), "0123456789");  // never more than announced
    EXPECT_NE(c.WaitEnd(), -1);
    EXPECT_LE(c.Received().size(), 3u);
}

TEST(HttpSockTimer, RunsExactlyWhileHandlesAreOpenAndACallbackMayCloseItsHandle) {
    // A listener that never accepts: requests to it stay without an outcome.
    uint16_t port = 0;
    int silent = RawListen(&port);
    EXPECT_FALSE(qrn_http_sock_timer_on());
    EventRecorder rec;
    uintptr_t h1 = qrn_http_sock_connect(EventRecorder::Callback, rec.Context(), "127.0.0.1", port, 1, "/", 0);
    ASSERT_NE(h1, 0u);
    EXPECT_TRUE(qrn_http_sock_timer_on());
    EXPECT_EQ(qrn_http_sock_close(h1), 0);
    EXPECT_FALSE(qrn_http_sock_timer_on());
    EXPECT_EQ(qrn_http_sock_close(h1), -1);

    // A request that cannot start reports at once, on the timer thread; its callback closes
    // another handle.
    EventRecorder closer;
    std::atomic<uintptr_t> victim{0};
    closer.SetHook([&](const Event &e) {
        if (e.msg == 2) {
            EXPECT_EQ(qrn_http_sock_close(victim), 0);
        }
    });
    victim = qrn_http_sock_connect(EventRecorder::Callback, rec.Context(), "127.0.0.1", port, 1, "/", 0);
    uintptr_t bad = qrn_http_sock_connect(EventRecorder::Callback, closer.Context(), std::string(150, 'x').c_str(),
                                          port, 1, "/", 0);
    ASSERT_NE(bad, 0u);
    ASSERT_TRUE(closer.WaitForCount(2, 1));
    EXPECT_EQ(closer.Events()[0].p1, static_cast<uintptr_t>(http::kCodeConnectionClosed));
    EXPECT_TRUE(WaitUntil([] { return !qrn_http_sock_timer_on(); }));
    EXPECT_EQ(rec.Count(2), 0);  // closed before its own outcome: no message
    uintptr_t again = qrn_http_sock_connect(EventRecorder::Callback, rec.Context(), "127.0.0.1", port, 1, "/", 0);
    EXPECT_TRUE(qrn_http_sock_timer_on());
    EXPECT_EQ(qrn_http_sock_close(again), 0);
    EXPECT_FALSE(qrn_http_sock_timer_on());
    close(silent);
}

}  // namespace
}  // namespace qrntest
