// Proxies that ask for a password, proxies that do not answer, settings that cannot be used,
// and the cause of every failed connect as the application reads it (QRN_TP_OPT_CONNECT_ERROR
// inside the failure's callback and after it; QRN_TP_OPT_PROXY on an open connection).
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>

#include "proxy_support.h"
#include "tp_fixture.h"

namespace tptest {
namespace {

using qrntest::CProxyProgram;
using qrntest::ScopedProxyEnv;
using qrntest::TraceCapture;

constexpr const char *kUnservedIp = "127.0.46.9";  // nothing listens here

std::string ReadText(int handle, int option) {
    char text[QRN_TP_CONNECT_ERROR_MAX];
    memset(text, 'x', sizeof(text));
    EXPECT_EQ(QRN_TP_OK, qrn_tp_option(handle, option, reinterpret_cast<uintptr_t>(text)));
    return std::string(text, strnlen(text, sizeof(text)));
}

std::string Local(uint16_t port) { return "127.0.0.1:" + std::to_string(port); }

class TpProxyErrors : public TpTest {
protected:
    struct COutcome {
        int handle = 0;
        uintptr_t result = qrntest::kNoEvent;
        std::string cause_inside;  // read inside the callback of the result
        std::string cause_after;   // read once the callback has returned
    };

    // A connect to server_ip:port through what the environment names, to its result.
    COutcome ConnectToResult(CApp &app, const char *server_ip, uint16_t port) {
        auto inside = std::make_shared<std::string>();
        auto mutex = std::make_shared<std::mutex>();
        app.SetExtra([inside, mutex](const Event &e) {
            if (e.msg != QRN_TP_MSG_CONNECT_RESULT || e.p1 == QRN_TP_CONNECT_ACCEPTED) return;
            const std::string text = ReadText(static_cast<int>(e.handle), QRN_TP_OPT_CONNECT_ERROR);
            std::lock_guard<std::mutex> guard(*mutex);
            *inside = text;
        });
        COutcome out;
        out.handle = qrn_tp_connect(server_ip, 0, port, 0, nullptr, 0, app.Callback(), app.Context(), kBufferSize, 0,
                                    nullptr);
        if (out.handle == 0) return out;
        out.result = app.WaitFor(QRN_TP_MSG_CONNECT_RESULT).p1;
        if (out.result == QRN_TP_CONNECT_ACCEPTED) {
            Track(out.handle);
            return out;
        }
        std::lock_guard<std::mutex> guard(*mutex);
        out.cause_inside = *inside;
        out.cause_after = ReadText(out.handle, QRN_TP_OPT_CONNECT_ERROR);
        return out;
    }

    static bool Start(CProxyProgram &proxy, std::string *why) {
        *why = proxy.Missing();
        if (!why->empty()) return false;
        if (proxy.Start()) return true;
        *why = "cannot start: " + proxy.Output();
        return false;
    }
};

TEST_F(TpProxyErrors, CredentialsOpenBothProxiesWrongOnesFailWithTheirCauseAndNoSecretReachesTheTrace) {
    if (!qrntest::CanBindPrivilegedPorts()) GTEST_SKIP() << "binding port 443 needs root";
    CProxyProgram tinyproxy(CProxyProgram::kTinyproxy);
    CProxyProgram microsocks(CProxyProgram::kMicrosocks);
    tinyproxy.RequireCredentials("alice", "Secr3tPass");
    microsocks.RequireCredentials("bob", "p@ss:w0rd");
    std::string why;
    if (!Start(tinyproxy, &why) || !Start(microsocks, &why)) GTEST_SKIP() << why;

    struct CCase {
        CProxyProgram *proxy;
        const char *server_ip;
        std::string right;  // the setting, with the password percent-encoded in part
        std::string wrong;
        std::string proxy_option;
        std::string refusal;
    };
    const std::string tiny = Local(tinyproxy.Port());
    const std::string socks = Local(microsocks.Port());
    const CCase cases[] = {
        {&tinyproxy, "127.0.46.1", "http://alice:Secr3t%50ass@" + tiny, "http://alice:Wr0ngPw@" + tiny, "http://" + tiny,
         // tinyproxy answers wrong credentials with 401 (none at all get 407).
         "proxy " + tiny + " answered 401 Unauthorized"},
        {&microsocks, "127.0.46.2", "socks5://bob:p%40ss%3Aw0rd@" + socks, "socks5://bob:Wr0ngPw@" + socks,
         "socks5://" + socks, "SOCKS5 proxy " + socks + " refused the username and password"},
    };
    ScopedProxyEnv env;
    TraceCapture trace;
    for (const CCase &c : cases) {
        SCOPED_TRACE(c.right);
        CApp &server = NewApp();
        server.AnswerWith(QRN_TP_ACCEPT);
        ASSERT_EQ(QRN_TP_OK, qrn_tp_listen(c.server_ip, 0, qrntest::kProxiedPort, 0, server.Callback(),
                                           server.Context()));
        env.Set("https_proxy", c.right);
        CApp &client = NewApp();
        const COutcome open = ConnectToResult(client, c.server_ip, qrntest::kProxiedPort);
        ASSERT_EQ(QRN_TP_CONNECT_ACCEPTED, open.result) << c.proxy->Output();
        const int server_handle = static_cast<int>(server.WaitFor(QRN_TP_MSG_CONNECT_REQUEST).handle);
        Track(server_handle);
        ExchangeBothWays(client, server, open.handle, server_handle, 200000);
        EXPECT_EQ(c.proxy_option, ReadText(open.handle, QRN_TP_OPT_PROXY));
        EXPECT_EQ("", ReadText(open.handle, QRN_TP_OPT_CONNECT_ERROR));
        EXPECT_EQ(QRN_TP_OK, qrn_tp_close(open.handle, QRN_TP_CLOSE_NORMAL));

        env.Set("https_proxy", c.wrong);
        const COutcome refused = ConnectToResult(NewApp(), c.server_ip, qrntest::kProxiedPort);
        ASSERT_NE(0, refused.handle);
        EXPECT_EQ(static_cast<uintptr_t>(QRN_TP_REASON_PATH_FAILED), refused.result);
        EXPECT_EQ(c.refusal, refused.cause_inside);
        EXPECT_EQ(c.refusal, refused.cause_after);
    }
    // The trace saw all four handshakes, and none of the secrets in any form.
    EXPECT_EQ(4, trace.Count({"proxy_type="}));
    for (const std::string &line : trace.Lines()) {
        for (const char *secret : {"Secr3t", "Wr0ngPw", "p@ss", "p%40ss", "w0rd", "YWxpY2U6U2VjcjN0UGFzcw",
                                   "YWxpY2U6V3IwbmdQdw"}) {
            EXPECT_EQ(std::string::npos, line.find(secret)) << line;
        }
    }
    tinyproxy.Stop();
    microsocks.Stop();
}

TEST_F(TpProxyErrors, Socks5AtAnHttpProxyGivesUpInBoundedTimeAndUnusableSettingsGoDirect) {
    if (!qrntest::CanBindPrivilegedPorts()) GTEST_SKIP() << "binding port 443 needs root";
    CProxyProgram tinyproxy(CProxyProgram::kTinyproxy);
    std::string why;
    if (!Start(tinyproxy, &why)) GTEST_SKIP() << why;
    const char *server_ip = "127.0.46.3";
    CApp &server = NewApp();
    server.AnswerWith(QRN_TP_ACCEPT);
    ASSERT_EQ(QRN_TP_OK,
              qrn_tp_listen(server_ip, 0, qrntest::kProxiedPort, 0, server.Callback(), server.Context()));
    ScopedProxyEnv env;

    // tinyproxy waits for a request line that the SOCKS5 greeting never completes.
    env.Set("https_proxy", "socks5://" + Local(tinyproxy.Port()));
    const auto begin = std::chrono::steady_clock::now();
    const COutcome silent = ConnectToResult(NewApp(), server_ip, qrntest::kProxiedPort);
    const auto took = std::chrono::steady_clock::now() - begin;
    EXPECT_EQ(static_cast<uintptr_t>(QRN_TP_REASON_PATH_FAILED), silent.result);
    const std::string late = "proxy " + Local(tinyproxy.Port()) + " did not answer within 5 s";
    EXPECT_EQ(late, silent.cause_inside);
    EXPECT_EQ(late, silent.cause_after);
    // 5 s of the library clock (a tenth of that here), well before the transport's own 30 s.
    EXPECT_GE(took, std::chrono::milliseconds(450));
    EXPECT_LT(took, std::chrono::milliseconds(2500));

    struct CDirectCase {
        const char *setting;
        const char *reason;
    };
    const CDirectCase direct[] = {
        {"garbage", "no port"},
        {"http://proxy.example", "no port"},
        {"http://no-such-host.invalid:3128", "proxy host does not resolve"},
    };
    int opened = 0;
    for (const CDirectCase &c : direct) {
        SCOPED_TRACE(c.setting);
        TraceCapture trace;
        env.Set("https_proxy", c.setting);
        CApp &client = NewApp();
        const COutcome open = ConnectToResult(client, server_ip, qrntest::kProxiedPort);
        ASSERT_EQ(QRN_TP_CONNECT_ACCEPTED, open.result);
        ASSERT_TRUE(server.rec().WaitForCount(QRN_TP_MSG_CONNECT_REQUEST, ++opened));
        EXPECT_EQ(1, trace.Count({"proxy setting not used", "reason=", c.reason}));
        EXPECT_EQ("", ReadText(open.handle, QRN_TP_OPT_PROXY));
    }
    for (const Event &e : server.rec().Events()) {
        if (e.msg == QRN_TP_MSG_CONNECT_REQUEST) Track(static_cast<int>(e.handle));
    }
    tinyproxy.Stop();
}

TEST_F(TpProxyErrors, EachFailedConnectNamesItsCause) {
    CProxyProgram tinyproxy(CProxyProgram::kTinyproxy);
    CProxyProgram tinyproxy_auth(CProxyProgram::kTinyproxy);
    CProxyProgram microsocks(CProxyProgram::kMicrosocks);
    CProxyProgram microsocks_auth(CProxyProgram::kMicrosocks);
    tinyproxy_auth.RequireCredentials("alice", "Secr3tPass");
    microsocks_auth.RequireCredentials("bob", "Secr3tPass");
    std::string why;
    for (CProxyProgram *p : {&tinyproxy, &tinyproxy_auth, &microsocks, &microsocks_auth}) {
        if (!Start(*p, &why)) GTEST_SKIP() << why;
    }
    const std::string tiny = Local(tinyproxy.Port());
    const std::string tiny_auth = Local(tinyproxy_auth.Port());
    const std::string socks = Local(microsocks.Port());
    const std::string socks_auth = Local(microsocks_auth.Port());
    const std::string down = Local(qrntest::FreePort());
    const uint16_t closed_port = qrntest::FreePort();
    const std::string unserved = std::string(kUnservedIp) + ":443";

    struct CCauseCase {
        const char *name;
        std::string https_proxy;  // empty: none
        uint16_t port;
        std::string cause;
    };
    const CCauseCase cases[] = {
        {"407", "http://" + tiny_auth, qrntest::kProxiedPort,
         "proxy " + tiny_auth + " answered 407 Proxy Authentication Required"},
        {"no server behind the HTTP proxy", "http://" + tiny, qrntest::kProxiedPort,
         "proxy " + tiny + " answered 500 Unable to connect"},
        {"SOCKS5 refusal", "socks5://" + socks, qrntest::kProxiedPort,
         "SOCKS5 proxy " + socks + " refused the connection to " + unserved + " (reply 5: connection refused)"},
        {"SOCKS5 wants a password", "socks5://" + socks_auth, qrntest::kProxiedPort,
         "SOCKS5 proxy " + socks_auth + " asks for a username and password"},
        {"proxy down", "http://" + down, qrntest::kProxiedPort, "proxy " + down + ": Connection refused"},
        {"https_proxy at a SOCKS server", "http://" + socks, qrntest::kProxiedPort,
         "proxy " + socks + " did not answer as an HTTP proxy"},
        {"direct", "", closed_port,
         std::string(kUnservedIp) + ":" + std::to_string(closed_port) + ": Connection refused"},
    };
    ScopedProxyEnv env;
    for (const CCauseCase &c : cases) {
        SCOPED_TRACE(c.name);
        if (c.https_proxy.empty()) {
            env.Clear("https_proxy");
        } else {
            env.Set("https_proxy", c.https_proxy);
        }
        const COutcome failed = ConnectToResult(NewApp(), kUnservedIp, c.port);
        ASSERT_NE(0, failed.handle);
        EXPECT_EQ(static_cast<uintptr_t>(QRN_TP_REASON_PATH_FAILED), failed.result);
        EXPECT_EQ(c.cause, failed.cause_inside);
        EXPECT_EQ(c.cause, failed.cause_after);
    }
    // Handles that never existed read nothing.
    char text[QRN_TP_CONNECT_ERROR_MAX] = "untouched";
    EXPECT_EQ(QRN_TP_ERR_UNKNOWN_HANDLE, qrn_tp_option(0x7ffe, QRN_TP_OPT_CONNECT_ERROR, reinterpret_cast<uintptr_t>(text)));
    EXPECT_STREQ("", text);
    for (CProxyProgram *p : {&tinyproxy, &tinyproxy_auth, &microsocks, &microsocks_auth}) p->Stop();
}

}  // namespace
}  // namespace tptest
