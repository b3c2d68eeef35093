// CWCSHttpIE against the test server: chunk framing, a length-delimited body ended by its last
// byte, a send while a write is pending, HTTPS, the time-out, and the end reported only once
// the window is empty.
#include <gtest/gtest.h>

#include <string.h>
#include <unistd.h>

#include <thread>

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
