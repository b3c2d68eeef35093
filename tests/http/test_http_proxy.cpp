// Requests through a real forward proxy (tinyproxy) named by http_proxy and https_proxy,
// without and with basic authentication: the 407 (to the request itself, or to the CONNECT of
// an HTTPS request) brings in the application's credentials provider and one repeated
// request; a declining or missing provider ends the request with 1107. An origin's 401 or 403
// never asks the provider and ends as any other refusing status.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "http/http_defs.h"
#include "http_fixture.h"
#include "qrn/qrn_tp.h"
#include "raw_peer.h"

namespace qrntest {
namespace {

std::atomic<int> g_asked{0};
std::atomic<bool> g_decline{false};
std::string g_asked_host;
std::atomic<int> g_asked_port{0};

int Provider(const char *host, int port, char *user, int user_len, char *pass, int pass_len) {
    if (g_asked++ == 0) g_asked_host = host;
    g_asked_port = port;
    if (g_decline) return 1;
    snprintf(user, user_len, "%s", "quarn");
    snprintf(pass, pass_len, "%s", "s3cret");
    return 0;
}

class HttpProxyTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_asked = 0;
        g_decline = false;
        ASSERT_TRUE(m_server.Start());
        if (FindProgram("tinyproxy").empty()) GTEST_SKIP() << "tinyproxy is not installed";
    }
    void TearDown() override {
        unsetenv("http_proxy");
        unsetenv("https_proxy");
        qrn_tp_set_credentials_provider(nullptr);
    }
    bool StartProxy(bool auth) {
        // A port free a moment ago may be taken by a parallel test before the proxy binds it:
        // then the proxy ends at once and another port is tried.
        for (int attempt = 0; attempt < 3; ++attempt) {
            m_proxy_port = FreePort();
            std::string conf = "Port " + std::to_string(m_proxy_port) +
                               "\nListen 127.0.0.1\nTimeout 60\nMaxClients 20\nAllow 127.0.0.1\n"
                               "LogLevel Info\nDisableViaHeader Yes\n";
            if (auth) conf += "BasicAuth quarn s3cret\n";
            std::string path = m_dir.Write("tinyproxy.conf", conf);
            m_proxy = std::make_unique<ChildProcess>();
            if (!m_proxy->Start({FindProgram("tinyproxy"), "-d", "-c", path})) return false;
            if (m_proxy->WaitForTcpPort(m_proxy_port) && m_proxy->Running()) break;
            m_proxy->Stop();
            m_proxy_port = 0;
        }
        if (!m_proxy_port) return false;
        std::string url = "http://127.0.0.1:" + std::to_string(m_proxy_port);
        setenv("http_proxy", url.c_str(), 1);
        setenv("https_proxy", url.c_str(), 1);
        return true;
    }

    // The tunnels to the TLS listener that the proxy was asked for.
    int TlsTunnels() {
        std::string out = m_proxy->Output();
        std::string line = "CONNECT 127.0.0.1:" + std::to_string(m_server.TlsPort()) + " ";
        int n = 0;
        for (size_t pos = 0; (pos = out.find(line, pos)) != std::string::npos; ++pos) ++n;
        return n;
    }

    HttpServer m_server;
    TempDir m_dir;
    std::unique_ptr<ChildProcess> m_proxy;
    uint16_t m_proxy_port = 0;
};

TEST_F(HttpProxyTest, GetAndPostPassAProxyWithoutAuthentication) {
    ASSERT_TRUE(StartProxy(false));
    HttpExchange get;
    HttpExchange post(Pattern(200000));
    ASSERT_NE(get.Connect(m_server.Port(), 1, "/get?n=150000", 0), 0u);
    ASSERT_NE(post.Connect(m_server.Port(), 0, "/echo", 200000), 0u);
    EXPECT_EQ(get.WaitEnd(), 0);
    EXPECT_EQ(post.WaitEnd(), 0);
    EXPECT_TRUE(get.Received() == Pattern(150000));
    EXPECT_TRUE(post.Received() == Pattern(200000));
    EXPECT_TRUE(m_proxy->WaitForOutput("/get?n=150000"));  // it went through the proxy
    EXPECT_EQ(get.Rec().Count(10), 0);

    // The tunnel that the proxy is asked for shows the port: 443 for a secure request bound
    // to port 0 or 80, the bound port otherwise. Nothing listens there, so both fail early.
    auto tunnels = [&](const std::string &to) {
        std::string out = m_proxy->Output();
        int n = 0;
        for (size_t pos = 0; (pos = out.find("CONNECT " + to, pos)) != std::string::npos; ++pos) ++n;
        return n;
    };
    int expect443 = 0;
    for (uint16_t bound : {0, 80, 8443}) {
        IeSink sink;
        IQrnClientSocket *ie = WCSCreateHttpIE(&sink);
        ie->AddRef();
        ASSERT_EQ(ie->Bind("127.0.0.1", bound, http::kFlagSecure), 0);
        ASSERT_EQ(ie->Connect("/", 0, 0), 0);
        EXPECT_EQ(sink.WaitFor('C'), http::kCodeConnectionClosed);
        if (bound != 8443) ++expect443;
        // The proxy may log its tunnel after the request has already failed here.
        EXPECT_TRUE(WaitUntil([&] {
            return tunnels("127.0.0.1:443 ") == expect443 && tunnels("127.0.0.1:8443 ") == (bound == 8443 ? 1 : 0);
        }));
        ie->Destroy();
        ie->Release();
    }
}

TEST_F(HttpProxyTest, AuthenticationAsksTheProviderOnceAndRepeatsTheRequest) {
    qrn_tp_set_credentials_provider(Provider);
    // Straight to the origin: its 401 and 403 are no proxy's demand. A GET ends before it
    // connects with 14, a POST whose head went out with 106, no dialog status, nobody asked.
    auto refused_by_origin = [&](const char *url, int get, int expected) {
        HttpExchange exchange(Pattern(10));
        ASSERT_NE(exchange.Connect(m_server.Port(), get, url, get ? 0 : 10), 0u);
        EXPECT_EQ(exchange.WaitEnd(), expected) << url;
        EXPECT_EQ(exchange.Rec().Count(10), 0) << url;
    };
    refused_by_origin("/status?code=401", 1, http::kCodeConnectionClosed);
    refused_by_origin("/status?code=403", 0, http::kCodeClosedAfterConnect);
    EXPECT_EQ(g_asked, 0);

    ASSERT_TRUE(StartProxy(true));
    // Through the proxy: its 407 asks once; the origin's 401 behind it ends the repeat as a
    // refusal of the origin, not of the credentials.
    HttpExchange behind;
    ASSERT_NE(behind.Connect(m_server.Port(), 1, "/status?code=401", 0), 0u);
    EXPECT_EQ(behind.WaitEnd(), http::kCodeConnectionClosed);
    EXPECT_EQ(behind.Rec().Count(10), 2);
    EXPECT_EQ(g_asked, 1);
    g_asked = 0;

    HttpExchange get;
    ASSERT_NE(get.Connect(m_server.Port(), 1, "/get?n=5000", 0), 0u);
    EXPECT_EQ(get.WaitEnd(), 0);
    EXPECT_TRUE(get.Received() == Pattern(5000));
    EXPECT_EQ(g_asked, 1);
    EXPECT_EQ(g_asked_host, "127.0.0.1");
    EXPECT_EQ(g_asked_port, m_proxy_port);
    std::vector<Event> ev = get.Rec().Events();
    ASSERT_GE(ev.size(), 4u);
    EXPECT_EQ(ev[0].msg, 10);
    EXPECT_EQ(ev[0].p1, 1u);
    EXPECT_EQ(ev[1].msg, 10);
    EXPECT_EQ(ev[1].p1, 2u);
    EXPECT_EQ(ev[2].msg, 2);
    EXPECT_EQ(ev[2].p1, 0u);

    // A POST hears its connect message again for the repeat, sends its body again, and the
    // repeated request keeps its Content-Length.
    HttpExchange post(Pattern(100000));
    ASSERT_NE(post.Connect(m_server.Port(), 0, "/info", 100000), 0u);
    EXPECT_EQ(post.WaitEnd(), 0);
    EXPECT_EQ(g_asked, 2);
    EXPECT_EQ(post.Rec().Count(2), 2);
    EXPECT_NE(post.Received().find("len=100000 "), std::string::npos) << post.Received();
    EXPECT_NE(post.Received().find(" cl=100000 te=-"), std::string::npos) << post.Received();

    // HTTPS: the proxy answers the CONNECT with 407 before a byte reaches the server. The
    // provider is asked for the proxy itself, the tunnel is asked for again with the
    // credentials, and the body comes through it; the next request of the same object keeps
    // the credentials and is not refused at all.
    setenv("CURL_CA_BUNDLE", m_server.CertFile().c_str(), 1);
    IeSink sink;
    IQrnClientSocket *ie = WCSCreateHttpIE(&sink);
    ie->AddRef();
    ASSERT_EQ(ie->Bind("127.0.0.1", m_server.TlsPort(), http::kFlagSecure), 0);
    ASSERT_EQ(ie->Connect("/get?n=300000", 0, 0), 0);
    ASSERT_EQ(sink.WaitFor('C'), 0);
    EXPECT_TRUE(DrainIe(ie, sink) == Pattern(300000));
    EXPECT_EQ(sink.WaitFor('X'), 0);
    EXPECT_EQ(g_asked, 3);
    EXPECT_EQ(g_asked_host, "127.0.0.1");
    EXPECT_EQ(g_asked_port, m_proxy_port);
    std::string kinds = sink.Kinds();
    EXPECT_EQ(kinds.substr(0, 3), "TTC") << kinds;
    EXPECT_EQ(kinds.find_first_not_of('R', 3), kinds.size() - 1) << kinds;
    EXPECT_TRUE(WaitUntil([&] { return TlsTunnels() == 2; })) << m_proxy->Output();
    uint32_t have = 0;
    EXPECT_EQ(ie->IOCtl(http::kIoHaveCredentials, reinterpret_cast<uintptr_t>(&have)), 1);
    EXPECT_EQ(have, 1u);

    IeSink again;
    ie->Destroy();
    ie->Release();
    ie = WCSCreateHttpIE(&again);
    ie->AddRef();
    ASSERT_EQ(ie->IOCtl(http::kIoSetProxyUser, reinterpret_cast<uintptr_t>("quarn")), 1);
    ASSERT_EQ(ie->IOCtl(http::kIoSetProxyPass, reinterpret_cast<uintptr_t>("s3cret")), 1);
    ASSERT_EQ(ie->Bind("127.0.0.1", m_server.TlsPort(), http::kFlagSecure), 0);
    ASSERT_EQ(ie->Connect("/info", 0, http::kFlagPost | http::kFlagChunked), 0);
    ASSERT_EQ(again.WaitFor('C'), 0);
    EXPECT_EQ(ie->Send("abc", 3), 3);
    EXPECT_EQ(ie->Send(nullptr, 0), 0);
    std::string info = DrainIe(ie, again);
    EXPECT_EQ(info.find("len=3 "), 0u) << info;
    EXPECT_NE(info.find(" cl=- te=chunked"), std::string::npos) << info;
    EXPECT_EQ(again.Kinds().find('T'), std::string::npos);
    EXPECT_EQ(g_asked, 3);
    EXPECT_TRUE(WaitUntil([&] { return TlsTunnels() == 3; })) << m_proxy->Output();
    ie->Destroy();
    ie->Release();
}

TEST_F(HttpProxyTest, ADecliningOrMissingProviderEndsTheRequestWith1107) {
    ASSERT_TRUE(StartProxy(true));
    HttpExchange no_provider;
    ASSERT_NE(no_provider.Connect(m_server.Port(), 1, "/get?n=10", 0), 0u);
    EXPECT_EQ(no_provider.WaitEnd(), http::kCodeCredentialsFailed);
    EXPECT_EQ(no_provider.Rec().Count(10), 2);

    g_decline = true;
    qrn_tp_set_credentials_provider(Provider);
    HttpExchange get;
    HttpExchange post(Pattern(1000));
    ASSERT_NE(get.Connect(m_server.Port(), 1, "/get?n=10", 0), 0u);
    EXPECT_EQ(get.WaitEnd(), http::kCodeCredentialsFailed);
    EXPECT_EQ(get.Rec().Events().back().msg, 2);  // before connecting: a failing message 2
    ASSERT_NE(post.Connect(m_server.Port(), 0, "/echo", 1000), 0u);
    EXPECT_EQ(post.WaitEnd(), http::kCodeCredentialsFailed);
    EXPECT_EQ(post.Rec().Events().back().msg, 5);  // after its head went out: message 5
    EXPECT_EQ(g_asked, 2);
    EXPECT_EQ(qrn_http_sock_close(get.Handle()), -1);
    EXPECT_EQ(qrn_http_sock_close(post.Handle()), -1);

    // HTTPS ends the same way when the tunnel is refused: before connecting a GET hears
    // OnConnect(1107); a POST, whose head counts as sent once the connection stands, OnClose(1107).
    for (bool is_post : {false, true}) {
        IeSink sink;
        IQrnClientSocket *ie = WCSCreateHttpIE(&sink);
        ie->AddRef();
        ASSERT_EQ(ie->Bind("127.0.0.1", m_server.TlsPort(), http::kFlagSecure), 0);
        if (is_post) {
            ASSERT_EQ(ie->IOCtl(http::kIoContentLength, 5), 1);
        }
        ASSERT_EQ(ie->Connect(is_post ? "/echo" : "/get?n=10", 0, is_post ? http::kFlagPost : 0), 0);
        if (is_post) {
            ASSERT_EQ(sink.WaitFor('C'), 0);
            EXPECT_EQ(ie->Send("hello", 5), 5);
            EXPECT_EQ(sink.WaitFor('X'), http::kCodeCredentialsFailed);
            EXPECT_EQ(sink.Kinds(), "CTTX");
        } else {
            EXPECT_EQ(sink.WaitFor('C'), http::kCodeCredentialsFailed);
            EXPECT_EQ(sink.Kinds(), "TTC");
        }
        EXPECT_EQ(ie->Receive(nullptr, 0), -1);  // cleaned up: idle again
        ie->Destroy();
        ie->Release();
    }
    EXPECT_EQ(g_asked, 4);
    EXPECT_TRUE(WaitUntil([&] { return TlsTunnels() == 2; })) << m_proxy->Output();
}

}  // namespace
}  // namespace qrntest
