// CWCSHttpIE against the test server: chunk framing, a length-delimited body ended by its last
// byte, a send while a write is pending, HTTPS, the time-out, and the end reported only once
// the window is empty.
#include <gtest/gtest.h>

#include <string.h>
#include <unistd.h>

#include <thread>

#include "http/circular_window.h"
#include "http/http_defs.h"
#include "http_fixture.h"
#include "platform/inet_chunk.h"
#include "raw_peer.h"

namespace qrntest {
namespace {

std::string Hex(uint64_t v) {
    char text[32];
    snprintf(text, sizeof(text), "%016llx", static_cast<unsigned long long>(v));
    return text;
}

class HttpIeTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_server.Start());
        setenv("CURL_CA_BUNDLE", m_server.CertFile().c_str(), 1);
        m_ie = WCSCreateHttpIE(&m_sink);
        ASSERT_NE(m_ie, nullptr);
        m_ie->AddRef();
    }
    void TearDown() override {
        if (m_ie) {
            m_ie->Destroy();
            m_ie->Release();
        }
    }

    HttpServer m_server;
    IeSink m_sink;
    IQrnClientSocket *m_ie = nullptr;
};

TEST(CircularWindow, GrowsKeepsOrderAcrossTheWrapIsFilledInPlaceAndAFixedOneTakesOnlyWhatFits) {
    CWSCircularWindow w;
    EXPECT_EQ(w.Capacity(), 1024);
    EXPECT_EQ(w.Free(), 1023);  // one byte always stays free
    std::string a = Pattern(1000);
    ASSERT_EQ(w.Write(a.data(), 1000), 1000);
    char out[4096];
    ASSERT_EQ(w.Read(out, 900), 900);
    w.Consume(900);
    std::string b = Pattern(3000, 1000);  // wraps, then grows while wrapped
    ASSERT_EQ(w.Write(b.data(), 3000), 3000);
    EXPECT_GE(w.Capacity(), 3101);
    EXPECT_EQ(w.Used(), 3100);
    ASSERT_EQ(w.Read(out, 4096), 3100);
    w.Consume(3100);
    EXPECT_EQ(std::string(out, 3100), Pattern(3100, 900));
    EXPECT_EQ(w.Total(), 4000u);

    // Filled in place: the free space comes in at most two pieces around the wrap, the byte
    // before the consume position stays free, and an emptied window starts again at 0.
    CWSCircularWindow in_place(16, true);
    int len = 0;
    char *at = in_place.WritePlace(100, &len);
    ASSERT_NE(at, nullptr);
    EXPECT_EQ(len, 15);
    memcpy(at, a.data(), 10);
    in_place.Commit(10);
    ASSERT_EQ(in_place.Read(out, 6), 6);
    in_place.Consume(6);
    at = in_place.WritePlace(100, &len);
    EXPECT_EQ(len, 6);  // up to the end of the buffer
    memcpy(at, a.data() + 10, 6);
    in_place.Commit(6);
    at = in_place.WritePlace(100, &len);
    EXPECT_EQ(len, 5);  // from the start up to the byte before the consume position
    memcpy(at, a.data() + 16, 5);
    in_place.Commit(5);
    EXPECT_EQ(in_place.WritePlace(1, &len), nullptr);
    EXPECT_EQ(len, 0);
    ASSERT_EQ(in_place.Read(out, 100), 15);
    in_place.Consume(15);
    EXPECT_EQ(std::string(out, 15), a.substr(6, 15));
    at = in_place.WritePlace(100, &len);
    EXPECT_EQ(len, 15);  // one piece again
    CWSCircularWindow grows;
    at = grows.WritePlace(5000, &len);
    EXPECT_EQ(len, 5000);
    EXPECT_GE(grows.Capacity(), 5001);

    CWSCircularWindow fixed(16, true);
    EXPECT_EQ(fixed.Write(a.data(), 100), 15);
    EXPECT_EQ(fixed.Capacity(), 16);
    EXPECT_EQ(fixed.Write(nullptr, 5), 0);
    fixed.Reset();
    EXPECT_EQ(fixed.Used(), 0);
    EXPECT_EQ(fixed.Total(), 0u);
}

TEST_F(HttpIeTest, ChunkedPostFramesEveryPieceAndEndsWithTheEmptyChunk) {
    ASSERT_EQ(m_ie->Bind("127.0.0.1", m_server.Port(), 0), 0);
    EXPECT_EQ(m_ie->Bind("127.0.0.1", m_server.Port(), 0), 0);  // idle: may bind again
    ASSERT_EQ(m_ie->Connect("/info", 0, http::kFlagPost | http::kFlagChunked), 0);
    EXPECT_EQ(m_ie->Connect("/info", 0, http::kFlagPost), http::kErrState);
    EXPECT_EQ(m_ie->Receive(nullptr, 0), -1);  // no response head yet
    ASSERT_EQ(m_sink.WaitFor('C'), 0);
    EXPECT_EQ(m_ie->Send("abc", 3), 3);
    EXPECT_EQ(m_ie->Send(nullptr, 0), 0);  // the last chunk ends the request
    EXPECT_EQ(DrainIe(m_ie, m_sink), "len=3 fnv=" + Hex(http_test_fnv(kFnvBasis, "abc", 3)) + " cl=- te=chunked");
    EXPECT_EQ(m_sink.WaitFor('X'), 0);
    std::string kinds = m_sink.Kinds();
    EXPECT_EQ(kinds.front(), 'C');
    EXPECT_EQ(kinds.back(), 'X');
    EXPECT_EQ(kinds.find_first_not_of('R', 1), kinds.size() - 1);
}

// A peer that takes the request head, then reads nothing until told, so that a large body
// write stays pending; then it reads the body, undoes its chunk framing and answers "ok".
class StallingPeer {
public:
    StallingPeer() {
        m_fd = RawListen(&m_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~StallingPeer() {
        Drain();
        m_thread.join();
        close(m_fd);
    }
    void Drain() {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_drain = true;
        m_cond.notify_all();
    }
    uint16_t Port() const { return m_port; }
    std::string Payload() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return std::string(m_payload.begin(), m_payload.end());
    }

private:
    void Serve() {
        int c = RawAccept(m_fd);
        if (c < 0) return;
        std::string head;
        char ch;
        while (head.find("\r\n\r\n") == std::string::npos && read(c, &ch, 1) == 1) head += ch;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_cond.wait(lock, [&] { return m_drain; });
        }
        ws::CChunkDecoder decoder;
        std::vector<char> payload;
        char buf[65536];
        ssize_t n;
        ws::CChunkDecoder::Result r = ws::CChunkDecoder::kMore;
        while (r == ws::CChunkDecoder::kMore && (n = read(c, buf, sizeof(buf))) > 0) {
            r = decoder.Feed(buf, static_cast<size_t>(n), payload);
        }
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_payload.swap(payload);
        }
        if (r == ws::CChunkDecoder::kEnd) RawSend(c, std::string("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"));
        close(c);
    }

    int m_fd = -1;
    uint16_t m_port = 0;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_cond;
    bool m_drain = false;
    std::vector<char> m_payload;
};

TEST_F(HttpIeTest, SendWhileAWriteIsPendingIsRefusedUntilOnSend) {
    StallingPeer peer;
    ASSERT_EQ(m_ie->Bind("127.0.0.1", peer.Port(), 0), 0);
    ASSERT_EQ(m_ie->Connect("/", 0, http::kFlagPost | http::kFlagChunked), 0);
    ASSERT_EQ(m_sink.WaitFor('C'), 0);
    EXPECT_EQ(m_ie->Send("abc", 3), 3);
    // Far more than the internet layer and the socket buffers hold while the peer reads
    // nothing: the write is taken but stays pending...
    std::string big(24 * 1024 * 1024, 'z');
    EXPECT_EQ(m_ie->Send(big.data(), static_cast<int>(big.size())), static_cast<int>(big.size()));
    // ... so the next send is refused for now, and OnSend follows once the write completes.
    EXPECT_EQ(m_ie->Send("x", 1), 0);
    EXPECT_EQ(m_ie->Send("y", 1), 0);
    EXPECT_EQ(m_sink.Count('S'), 0);
    peer.Drain();
    ASSERT_EQ(m_sink.WaitFor('S'), 0);
    EXPECT_EQ(m_sink.Count('S'), 1);
    EXPECT_EQ(m_ie->Send("x", 1), 1);
    EXPECT_EQ(m_ie->Send(nullptr, 0), 0);
    EXPECT_EQ(DrainIe(m_ie, m_sink), "ok");
    EXPECT_EQ(m_sink.WaitFor('X'), 0);
    std::string payload = peer.Payload();
    EXPECT_EQ(payload.size(), big.size() + 4);
    EXPECT_TRUE(payload == "abc" + big + "x");
}

TEST_F(HttpIeTest, LengthPostEndsWithItsLastByteAndTheEndWaitsForTheWindowToEmpty) {
    ASSERT_EQ(m_ie->IOCtl(http::kIoContentLength, 10), 1);
    ASSERT_EQ(m_ie->Bind("127.0.0.1", m_server.Port(), 0), 0);
    ASSERT_EQ(m_ie->Connect("/echo", 0, http::kFlagPost), 0);
    EXPECT_EQ(m_ie->IOCtl(http::kIoContentLength, 5), 0);  // not idle any more
    ASSERT_EQ(m_sink.WaitFor('C'), 0);
    EXPECT_EQ(m_ie->Send("0123", 4), 4);
    EXPECT_EQ(m_ie->Send("456789", 6), 6);
    EXPECT_EQ(m_ie->Send("!", 1), -1);  // the body is complete
    ASSERT_EQ(m_sink.WaitFor('R'), 0);
    ASSERT_TRUE(WaitUntil([&] {
        uint32_t n = 0;
        m_ie->IOCtl(http::kIoReadable, reinterpret_cast<uintptr_t>(&n));
        return n == 10;
    }));
    uint32_t length = 0;
    EXPECT_EQ(m_ie->IOCtl(http::kIoResponseLength, reinterpret_cast<uintptr_t>(&length)), 1);
    EXPECT_EQ(length, 10u);
    // The whole body is in the window: no end is reported until the owner has taken it.
    for (int i = 0; i < 3; ++i) m_ie->Crack();
    EXPECT_EQ(m_sink.Count('X'), 0);
    char buf[4];
    EXPECT_EQ(m_ie->Receive(buf, 4), 4);
    m_ie->Crack();
    EXPECT_EQ(m_sink.Count('X'), 0);
    std::string rest = DrainIe(m_ie, m_sink);
    EXPECT_EQ(std::string(buf, 4) + rest, "0123456789");
    EXPECT_EQ(m_sink.WaitFor('X'), 0);
}

TEST_F(HttpIeTest, HttpsReadsTheBodyAndAnUntrustedCertificateFails) {
    ASSERT_EQ(m_ie->Bind("127.0.0.1", m_server.TlsPort(), http::kFlagSecure), 0);
    ASSERT_EQ(m_ie->Connect("/get?n=100000", 0, 0), 0);
    ASSERT_EQ(m_sink.WaitFor('C'), 0);
    EXPECT_EQ(DrainIe(m_ie, m_sink), Pattern(100000));

    IeSink other;
    IQrnClientSocket *ie = WCSCreateHttpIE(&other);
    ie->AddRef();
    setenv("CURL_CA_BUNDLE", "/dev/null", 1);
    ASSERT_EQ(ie->Bind("127.0.0.1", m_server.TlsPort(), http::kFlagSecure), 0);
    ASSERT_EQ(ie->Connect("/get?n=10", 0, 0), 0);
    EXPECT_EQ(other.WaitFor('C'), http::kCodeConnectionClosed);
    ie->Destroy();
    ie->Release();
}

TEST_F(HttpIeTest, TimeOutEndsASlowRequestAndBadArgumentsAreRefused) {
    EXPECT_EQ(m_ie->Bind(nullptr, 80, 0), http::kErrArgument);
    EXPECT_EQ(m_ie->Bind(std::string(100, 'h').c_str(), 80, 0), http::kErrArgument);
    EXPECT_EQ(m_ie->Connect("/get", 0, 0), http::kErrState);  // not bound
    ASSERT_EQ(m_ie->Bind("127.0.0.1", m_server.Port(), 0), 0);
    EXPECT_EQ(m_ie->Connect(nullptr, 0, 0), http::kErrArgument);
    ASSERT_EQ(m_ie->Connect("/slow?ms=5000&n=10", 0, 0), 0);
    EXPECT_EQ(m_ie->Send("x", 1), -1);  // a GET takes no body
    EXPECT_EQ(m_ie->IOCtl(http::kIoTimeout, 200), 0);
    ASSERT_TRUE(WaitUntil([&] {
        m_ie->Crack();
        return m_sink.Count('X') > 0;
    }));
    EXPECT_EQ(m_sink.WaitFor('X'), http::kCodeTimeout);
    EXPECT_EQ(m_sink.Count('C'), 0);
    // Idle again: the same object takes the next request.
    ASSERT_EQ(m_ie->Connect("/get?n=5", 0, 0), 0);
    ASSERT_EQ(m_sink.WaitFor('C'), 0);

    char user[256] = "x";
    uint32_t have = 7;
    EXPECT_EQ(m_ie->IOCtl(http::kIoHaveCredentials, reinterpret_cast<uintptr_t>(&have)), 1);
    EXPECT_EQ(have, 0u);
    m_ie->IOCtl(http::kIoSetProxyUser, reinterpret_cast<uintptr_t>(std::string(400, 'u').c_str()));
    m_ie->IOCtl(http::kIoGetProxyUser, reinterpret_cast<uintptr_t>(user));
    EXPECT_EQ(strlen(user), 255u);  // cut to the field, never past it
}

}  // namespace
}  // namespace qrntest
