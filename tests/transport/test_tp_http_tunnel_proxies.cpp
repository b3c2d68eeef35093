// The transport over the HTTP tunnel through real proxies: a forward proxy named by http_proxy
// (tinyproxy), through which large posts stream, and nginx as a reverse proxy that reads each
// request body whole before passing it on, where a large post never reaches the tunnel server,
// so the detector must settle on single posts. Either way the stream arrives whole both ways.
#include <gtest/gtest.h>

#include "http/detectr.h"
#include "nginx_proxy.h"
#include "proxy_support.h"
#include "rdhttp/rdhttp_defs.h"
#include "tp_fixture.h"
#include "tunnel_fixture.h"

namespace tptest {
namespace {

class TpHttpTunnelProxies : public TpTest {
protected:
    void TearDown() override {
        qrn_http_detector_reset();
        TpTest::TearDown();
    }

    // Connects in HTTP mode to port, checks that the detection ran and chose form, carries
    // 256 KiB each way and closes.
    void CarryThrough(CApp &server_app, CApp &client_app, uint16_t port, uint32_t form) {
        int client = 0, server = 0;
        ASSERT_NO_FATAL_FAILURE(Open(client_app, server_app, 0, 0, port, &client, &server));
        EXPECT_EQ(static_cast<uint32_t>(QRN_TP_CONN_MODE_HTTP), ConnMode(client));

        // The detection ran for this connect, and its kept answer names the form.
        qrntest::EventRecorder kept;
        ASSERT_EQ(1, qrn_http_detector_start(kLoopback, port, qrntest::EventRecorder::Callback, kept.Context()));
        ASSERT_EQ(1, kept.Count(http::kMsgDetectFinished));
        EXPECT_EQ(kept.Events()[0].p1, http::kDetectOk);
        EXPECT_EQ(kept.Events()[0].p2, form);

        ExchangeBothWays(client_app, server_app, client, server, 256 * 1024, 21);

        EXPECT_EQ(QRN_TP_OK, qrn_tp_close(client, QRN_TP_CLOSE_NORMAL));
        EXPECT_EQ(QRN_TP_MSG_CLOSED, server_app.WaitFor(QRN_TP_MSG_CLOSED).msg);
    }
};

// tinyproxy drops the empty query of the detector's first request on its way.
TEST_F(TpHttpTunnelProxies, ForwardProxyCarriesLargePosts) {
    if (qrntest::TunnelServerPath().empty()) GTEST_SKIP() << "qrntunnel was not built";
    qrntest::CProxyProgram proxy(qrntest::CProxyProgram::kTinyproxy);
    if (!proxy.Missing().empty()) GTEST_SKIP() << proxy.Missing();
    ASSERT_TRUE(proxy.Start());
    qrntest::ScopedProxyEnv env;
    env.Set("http_proxy", proxy.Url());
    qrn_http_detector_reset();
    CApp &server_app = NewApp(), &client_app = NewApp();
    server_app.AnswerWith(QRN_TP_ACCEPT);
    qrntest::TunnelServer tunnel;
    ASSERT_TRUE(tunnel.Start(Listen(server_app)));
    CarryThrough(server_app, client_app, tunnel.Port(), http::kModeBigPost);
    // The tunnel's requests went through the proxy.
    EXPECT_NE(std::string::npos, proxy.Output().find(rdhttp::kPathPrefix)) << proxy.Output().substr(0, 2000);
}

TEST_F(TpHttpTunnelProxies, BufferingReverseProxyLeadsToSinglePosts) {
    if (qrntest::TunnelServerPath().empty()) GTEST_SKIP() << "qrntunnel was not built";
    if (!qrntest::NginxReverseProxy::Missing().empty()) GTEST_SKIP() << qrntest::NginxReverseProxy::Missing();
    qrntest::ScopedProxyEnv no_proxy;  // the client talks to nginx itself
    qrn_http_detector_reset();
    CApp &server_app = NewApp(), &client_app = NewApp();
    server_app.AnswerWith(QRN_TP_ACCEPT);
    qrntest::TunnelServer tunnel;
    ASSERT_TRUE(tunnel.Start(Listen(server_app)));
    qrntest::NginxReverseProxy nginx;
    ASSERT_TRUE(nginx.Start(tunnel.Port(), true)) << nginx.ErrorLog();
    CarryThrough(server_app, client_app, nginx.Port(), http::kModeSmallPost);

    // Every tunnel request went through nginx, and none of them was a large post.
    const std::string log = nginx.AccessLog();
    EXPECT_NE(std::string::npos, log.find(std::string(rdhttp::kPathPrefix) + rdhttp::kQuerySinglePost)) << log.substr(0, 2000);
    EXPECT_EQ(std::string::npos, log.find(std::string(rdhttp::kPathPrefix) + rdhttp::kQueryBigPost)) << log.substr(0, 2000);
}

}  // namespace
}  // namespace tptest
