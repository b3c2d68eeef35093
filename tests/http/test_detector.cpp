// The capability detector against the real tunnel server, and against scripted servers that
// answer wrongly, cut their answers or stay silent, with the time-outs on a faster clock.
#include <gtest/gtest.h>
#include <unistd.h>

#include "http/detectr.h"
#include "http/dtctrpdu.h"
#include "http/http_defs.h"
#include "http/httpie.h"
#include "qrnlibl/qrn_time.h"
#include "tunnel_fixture.h"

namespace {

using namespace qrntest;

std::string Pdu(const CDetectorPdu &pdu) {
    return std::string(reinterpret_cast<const char *>(pdu.GetBytes()), pdu.GetSize());
}

constexpr uint32_t kSession = 4000000000u;
const std::string kSessionPath = std::string(dtctr::kPathPrefix) + std::to_string(kSession);

// How a scripted server answers the session's requests after the first GET.
struct Behaviour {
    std::string first_get = ScriptedHttpServer::Reply(Pdu(CDetectorPduSessionCreated(kSession)));
    std::string big_get;      // the large-post test's GET; empty: silent
    std::string small_reply;  // the small-post test's POST; empty: silent
};

ScriptedHttpServer::Script Answer(const Behaviour &b) {
    return [b](const ScriptedRequest &req) -> std::string {
        if (req.target == dtctr::kPathPrefix) return b.first_get;
        if (req.target != kSessionPath) return "HTTP/1.1 404 Not Found\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
        if (req.method == "GET") return b.big_get;
        // The large-post test's POST is held open: its echo goes back on the GET.
        if (req.body == Pdu(CDetectorPduEcho(dtctr::kBigPostEcho))) return std::string();
        return b.small_reply;
    };
}

size_t PostBody(const ScriptedRequest &req) { return req.method == "POST" ? dtctr::kPduSize : 0; }

class HttpDetector : public ::testing::Test {
protected:
    void SetUp() override { qrn_http_detector_reset(); }
    void TearDown() override {
        qrn_http_detector_reset();
        // Every request of every detection has been let go.
        EXPECT_TRUE(WaitUntil([] { return !qrn_http_sock_timer_on(); }));
    }

    // One whole detection against port: its report, and the library ticks it took.
    static Event Detect(uint16_t port, uint32_t *ticks = nullptr) {
        EventRecorder rec;
        qrn_http_detector_reset();  // a kept answer would be given at once
        const uint32_t start = get_tick_count();
        EXPECT_EQ(qrn_http_detector_start("127.0.0.1", port, EventRecorder::Callback, rec.Context()), 0);
        Event e = rec.WaitFor(http::kMsgDetectFinished, 30000);
        if (ticks != nullptr) *ticks = calc_tick_diff(start, get_tick_count());
        EXPECT_EQ(e.user, rec.Context());
        EXPECT_EQ(e.handle, 0u);
        // Exactly one report per detection.
        EXPECT_FALSE(rec.WaitForCount(http::kMsgDetectFinished, 2, 200));
        return e;
    }
};

TEST_F(HttpDetector, FindsLargePostsThroughTheTunnelServerAndKeepsTheAnswer) {
    if (TunnelServerPath().empty()) GTEST_SKIP() << "qrntunnel was not built";
    uint16_t target_port = 0;
    const int target = RawListen(&target_port);
    ASSERT_GE(target, 0);
    TunnelServer tunnel;
    ASSERT_TRUE(tunnel.Start(target_port));

    EventRecorder first, second, later;
    ASSERT_EQ(qrn_http_detector_start("127.0.0.1", tunnel.Port(), EventRecorder::Callback, first.Context()), 0);
    // A second caller while the detection runs is turned away and never hears of it.
    EXPECT_EQ(qrn_http_detector_start("127.0.0.1", tunnel.Port(), EventRecorder::Callback, second.Context()), -1);
    Event e = first.WaitFor(http::kMsgDetectFinished);
    EXPECT_EQ(e.p1, http::kDetectOk);
    EXPECT_EQ(e.p2, http::kModeBigPost);
    EXPECT_EQ(second.Count(http::kMsgDetectFinished), 0);

    // The kept answer comes from within the start call, to any caller, with no request made.
    EXPECT_EQ(qrn_http_detector_start("127.0.0.1", 1, EventRecorder::Callback, later.Context()), 1);
    ASSERT_EQ(later.Count(http::kMsgDetectFinished), 1);
    EXPECT_EQ(later.Events()[0].p1, http::kDetectOk);
    EXPECT_EQ(later.Events()[0].p2, http::kModeBigPost);
    ::close(target);
}

TEST_F(HttpDetector, ServersThatAreNoTunnelServerFailAndTheNextStartTriesAgain) {
    ClockFactor fast(4);
    // Nothing listens.
    EXPECT_EQ(Detect(FreePort()).p1, http::kDetectUnreachable);

    // An echo, or a session of 0, where the session belongs.
    Behaviour echo_first;
    echo_first.first_get = ScriptedHttpServer::Reply(Pdu(CDetectorPduEcho(dtctr::kEchoAnswer)));
    ScriptedHttpServer echo_server(Answer(echo_first), PostBody);
    Event e = Detect(echo_server.Port());
    EXPECT_EQ(e.p1, http::kDetectBadReply);
    EXPECT_EQ(e.p2, http::kModeNone);

    Behaviour no_session;
    no_session.first_get = ScriptedHttpServer::Reply(Pdu(CDetectorPduSessionCreated(0)));
    ScriptedHttpServer zero_server(Answer(no_session), PostBody);
    EXPECT_EQ(Detect(zero_server.Port()).p1, http::kDetectBadReply);

    // Garbage of an unknown type, and a PDU cut after three bytes by the server's close.
    Behaviour garbage;
    garbage.first_get = ScriptedHttpServer::Reply("\x09garbage and more");
    ScriptedHttpServer garbage_server(Answer(garbage), PostBody);
    EXPECT_EQ(Detect(garbage_server.Port()).p1, http::kDetectBadReply);

    Behaviour cut;
    cut.first_get = ScriptedHttpServer::Reply(Pdu(CDetectorPduSessionCreated(kSession)).substr(0, 3));
    ScriptedHttpServer cut_server(Answer(cut), PostBody);
    EXPECT_EQ(Detect(cut_server.Port()).p1, http::kDetectUnreachable);

    // A server that accepts and never answers: the reachability test's 3 seconds, checked
    // twice a second.
    Behaviour silent;
    silent.first_get.clear();
    ScriptedHttpServer silent_server(Answer(silent), PostBody);
    uint32_t ticks = 0;
    EXPECT_EQ(Detect(silent_server.Port(), &ticks).p1, http::kDetectUnreachable);
    EXPECT_GE(ticks, http::kDetectorTestMs);
    EXPECT_LT(ticks, http::kDetectorTestMs + 4 * http::kDetectorTickMs);  // slack for a loaded machine
}

TEST_F(HttpDetector, FallsBackToSmallPostsWhenLargePostsDoNotComeThrough) {
    ClockFactor fast(4);
    const std::string answer = ScriptedHttpServer::Reply(Pdu(CDetectorPduEcho(dtctr::kEchoAnswer)));

    // The large-post echo comes back unchanged.
    TraceCapture trace;
    Behaviour unchanged;
    unchanged.big_get = ScriptedHttpServer::Stream(Pdu(CDetectorPduEcho(dtctr::kBigPostEcho)));
    unchanged.small_reply = answer;
    ScriptedHttpServer unchanged_server(Answer(unchanged), PostBody);
    Event e = Detect(unchanged_server.Port());
    EXPECT_EQ(e.p1, http::kDetectOk);
    EXPECT_EQ(e.p2, http::kModeSmallPost);
    EXPECT_GE(trace.Count({"echo number not correct"}), 1);

    // The large-post GET stays silent (a proxy that buffers the POST): its 3 seconds run out.
    Behaviour buffered;
    buffered.small_reply = answer;
    ScriptedHttpServer buffered_server(Answer(buffered), PostBody);
    uint32_t ticks = 0;
    e = Detect(buffered_server.Port(), &ticks);
    EXPECT_EQ(e.p1, http::kDetectOk);
    EXPECT_EQ(e.p2, http::kModeSmallPost);
    EXPECT_GE(ticks, http::kDetectorTestMs);

    // A wrong small-post answer, then a silent one.
    Behaviour wrong;
    wrong.small_reply = ScriptedHttpServer::Reply(Pdu(CDetectorPduEcho(dtctr::kSmallPostEcho)));
    ScriptedHttpServer wrong_server(Answer(wrong), PostBody);
    EXPECT_EQ(Detect(wrong_server.Port()).p1, http::kDetectBadReply);

    Behaviour mute;
    ScriptedHttpServer mute_server(Answer(mute), PostBody);
    e = Detect(mute_server.Port(), &ticks);
    EXPECT_EQ(e.p1, http::kDetectSmallPostFailed);
    EXPECT_GE(ticks, 2 * http::kDetectorTestMs);
}

}  // namespace
