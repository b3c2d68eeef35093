// The transport over the HTTP tunnel: a client that offers only an HTTP port reaches a TCP
// listener of the library through the tunnel server in either form, and the stream flows both
// ways whole.
#include <gtest/gtest.h>

#include "http/detectr.h"
#include "tp_fixture.h"
#include "tunnel_fixture.h"

namespace tptest {
namespace {

class TpHttpTunnel : public TpTest, public ::testing::WithParamInterface<uint32_t> {};

// The detector's kept answer chooses the tunnel's form.
TEST_P(TpHttpTunnel, CarriesTheStreamBothWaysAndTheClose) {
    if (qrntest::TunnelServerPath().empty()) GTEST_SKIP() << "qrntunnel was not built";
    qrntest::PrimeDetector(GetParam());
    // A single-post connect takes several exchanges, some after an idle poll: its 30 s
    // time-out at 6 s leaves room on a loaded machine.
    qrntest::ClockFactor clock(5);
    CApp &server_app = NewApp(), &client_app = NewApp();
    server_app.AnswerWith(QRN_TP_ACCEPT);
    const uint16_t tcp = Listen(server_app);
    qrntest::TunnelServer tunnel;
    ASSERT_TRUE(tunnel.Start(tcp));

    int client = 0, server = 0;
    ASSERT_NO_FATAL_FAILURE(Open(client_app, server_app, 0, 0, tunnel.Port(), &client, &server));
    EXPECT_EQ(static_cast<uint32_t>(QRN_TP_CONN_MODE_HTTP), ConnMode(client));

    ExchangeBothWays(client_app, server_app, client, server, 256 * 1024, 11);

    // The closing record goes through before the tunnel's requests end: a normal close, seen
    // at once rather than when the server's wait for a resumption runs out.
    // The close notice waits for the tunnel to have carried the last bytes.
    EXPECT_EQ(QRN_TP_OK, qrn_tp_option(client, QRN_TP_OPT_CLOSE_NOTICE, 1));
    EXPECT_EQ(QRN_TP_OK, qrn_tp_close(client, QRN_TP_CLOSE_NORMAL));
    EXPECT_EQ(static_cast<uintptr_t>(QRN_TP_CLOSE_DELIVERED), client_app.WaitFor(QRN_TP_MSG_CLOSE_DONE).p1);
    const Event closed = server_app.WaitFor(QRN_TP_MSG_CLOSED);
    EXPECT_EQ(QRN_TP_MSG_CLOSED, closed.msg);
    EXPECT_EQ(static_cast<uintptr_t>(QRN_TP_REASON_PEER_CLOSED), closed.p1);
    qrn_http_detector_reset();
}

INSTANTIATE_TEST_SUITE_P(Forms, TpHttpTunnel, ::testing::Values(http::kModeBigPost, http::kModeSmallPost),
                         [](const ::testing::TestParamInfo<uint32_t> &form) {
                             return form.param == http::kModeBigPost ? std::string("LargePost") : std::string("SinglePost");
                         });

}  // namespace
}  // namespace tptest
