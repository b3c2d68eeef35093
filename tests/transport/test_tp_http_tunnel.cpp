// The transport over the HTTP tunnel: a client that offers only an HTTP port reaches a TCP
// listener of the library through the tunnel server in either form, and the stream flows both
// ways whole.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "http/detectr.h"
#include "tp_fixture.h"
#include "tunnel_fixture.h"

namespace tptest {
namespace {

Bytes RandomBytes(size_t n, uint32_t seed) {
    std::mt19937 gen(seed);
    Bytes b(n);
    for (auto &x : b) x = static_cast<uint8_t>(gen());
    return b;
}

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

    const int client = qrn_tp_connect(kLoopback, 0, 0, tunnel.Port(), nullptr, 0, client_app.Callback(),
                                      client_app.Context(), kBufferSize, 0, nullptr);
    ASSERT_NE(0, client);
    Track(client);
    ASSERT_EQ(QRN_TP_CONNECT_ACCEPTED, client_app.WaitFor(QRN_TP_MSG_CONNECT_RESULT).p1);
    const int server = static_cast<int>(server_app.WaitFor(QRN_TP_MSG_CONNECT_REQUEST).handle);
    Track(server);
    uint32_t mode = 0xff;
    EXPECT_EQ(QRN_TP_OK, qrn_tp_option(client, QRN_TP_OPT_CONN_MODE, reinterpret_cast<uintptr_t>(&mode)));
    EXPECT_EQ(static_cast<uint32_t>(QRN_TP_CONN_MODE_HTTP), mode);

    const size_t n = 256 * 1024;
    const Bytes up = RandomBytes(n, 11), down = RandomBytes(n, 12);
    std::thread writer([&] { EXPECT_EQ(n, WriteAll(server_app, server, down)); });
    EXPECT_EQ(n, WriteAll(client_app, client, up));
    writer.join();
    EXPECT_TRUE(server_app.WaitStream(server, n));
    EXPECT_TRUE(client_app.WaitStream(client, n));
    EXPECT_TRUE(server_app.Stream(server) == up) << "client to server differs";
    EXPECT_TRUE(client_app.Stream(client) == down) << "server to client differs";

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
