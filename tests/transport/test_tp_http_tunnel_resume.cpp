// The transport over the HTTP tunnel through a real forward proxy (tinyproxy, named by
// http_proxy), in either form, while the tunnel server or the proxy is killed in the middle of
// a transfer both ways and started again on the same port: the client keeps trying until the
// path is back, the stream resumes with every byte delivered once and in order, and the
// connection still ends with a normal close at the server.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <thread>
#include <tuple>

#include "http/detectr.h"
#include "proxy_support.h"
#include "tp_fixture.h"
#include "tunnel_fixture.h"

namespace tptest {
namespace {

using qrntest::CProxyProgram;

// qrntunnel on a free loopback port, killed and started again on that port at will.
class CTunnelProgram {
public:
    bool Start(uint16_t target_port) {
        if (m_port == 0) m_port = FreePort();
        m_target = target_port;
        m_child = std::make_unique<qrntest::ChildProcess>();
        const std::vector<std::string> argv = {qrntest::TunnelServerPath(), "--listen",
                                               "127.0.0.1:" + std::to_string(m_port), "--target",
                                               "127.0.0.1:" + std::to_string(m_target)};
        return m_child->Start(argv) && m_child->WaitForTcpPort(m_port);
    }
    bool Restart() { return Start(m_target); }
    void Kill() { m_child->Kill(); }
    uint16_t Port() const { return m_port; }

private:
    std::unique_ptr<qrntest::ChildProcess> m_child;
    uint16_t m_port = 0;
    uint16_t m_target = 0;
};

enum class EBreak { kTunnelServer, kProxy };

// Time for a restart and the client's next attempts, well inside the time-outs below.
constexpr int kResumeWaitMs = 30000;
// Bytes a writer may have ahead of what its peer has received: the pipeline in flight stays
// far below what a connection keeps for resumption (262144 bytes).
constexpr size_t kWindow = 64 * 1024;
constexpr size_t kPiece = 8 * 1024;
constexpr size_t kTotal = 768 * 1024;

// Hands data to the connection piece by piece, each once the peer has all but kWindow bytes of
// what went before, and the second half only once gate is open; returns the bytes taken.
size_t PacedWrite(CApp &app, int handle, const Bytes &data, CApp &peer_app, const std::atomic<int> &peer,
                  const std::atomic<bool> &gate) {
    const auto h = static_cast<uintptr_t>(handle);
    size_t done = 0;
    while (done < data.size()) {
        if (done >= data.size() / 2 && !WaitUntil([&] { return gate.load(); }, kResumeWaitMs)) break;
        const bool room = WaitUntil(
            [&] { return peer.load() != 0 && peer_app.StreamSize(peer.load()) + kWindow >= done; }, kResumeWaitMs);
        if (!room) break;
        const size_t piece = std::min(kPiece, data.size() - done);
        const int writable = app.rec().Count(QRN_TP_MSG_WRITABLE, h);
        const int r = qrn_tp_send(handle, data.data() + done, static_cast<int>(piece), 0);
        if (r < 0) break;
        done += static_cast<size_t>(r);
        if (static_cast<size_t>(r) < piece &&
            !WaitUntil([&] { return app.rec().Count(QRN_TP_MSG_WRITABLE, h) > writable; }, kResumeWaitMs)) {
            break;
        }
    }
    return done;
}

// The tunnel's own account of its end, for a failure message.
std::string Diagnosis(const qrntest::TraceCapture &trace) {
    std::string out = "\n";
    for (const std::string &line : trace.Lines()) {
        for (const char *mark : {" 0.0 E", "SinglePost", "BigPost::OnClose", "qrntunnel", "Linger", "OnClose"}) {
            if (line.find(mark) != std::string::npos) {
                out += line + "\n";
                break;
            }
        }
    }
    return out;
}

class TpHttpTunnelBreak : public TpTest, public ::testing::WithParamInterface<std::tuple<uint32_t, EBreak>> {};

TEST_P(TpHttpTunnelBreak, ResumesAfterARestartMidTransferAndClosesNormally) {
    const uint32_t form = std::get<0>(GetParam());
    const EBreak what = std::get<1>(GetParam());
    if (qrntest::TunnelServerPath().empty()) GTEST_SKIP() << "qrntunnel was not built";
    CProxyProgram proxy(CProxyProgram::kTinyproxy);
    if (!proxy.Missing().empty()) GTEST_SKIP() << proxy.Missing();
    qrntest::PrimeDetector(form);
    // The receive time-out and the give-up of the reconnection (30 s) at 6 s: room for a
    // restart on a loaded machine, while the pauses between attempts stay short.
    std::optional<qrntest::ClockFactor> clock(5);
    qrntest::TraceCapture trace;

    CApp &server_app = NewApp(), &client_app = NewApp();
    server_app.AnswerWith(QRN_TP_ACCEPT);
    CTunnelProgram tunnel;
    ASSERT_TRUE(tunnel.Start(Listen(server_app)));
    ASSERT_TRUE(proxy.Start());
    qrntest::ScopedProxyEnv env;
    env.Set("http_proxy", proxy.Url());

    std::atomic<int> client{0}, server{0};
    client = qrn_tp_connect(kLoopback, 0, 0, tunnel.Port(), nullptr, 0, client_app.Callback(), client_app.Context(),
                            kBufferSize, 0, nullptr);
    ASSERT_NE(0, client.load());
    Track(client);
    ASSERT_EQ(QRN_TP_CONNECT_ACCEPTED, client_app.WaitFor(QRN_TP_MSG_CONNECT_RESULT).p1);
    server = static_cast<int>(server_app.WaitFor(QRN_TP_MSG_CONNECT_REQUEST).handle);
    Track(server);

    const Bytes up = Pattern(kTotal, 3), down = Pattern(kTotal, 7);
    size_t sent_up = 0, sent_down = 0;
    // Each direction stops half-way until the break, so that neither is over before it.
    std::atomic<bool> broken{false};
    std::thread up_writer([&] { sent_up = PacedWrite(client_app, client, up, server_app, server, broken); });
    std::thread down_writer([&] { sent_down = PacedWrite(server_app, server, down, client_app, client, broken); });

    EXPECT_TRUE(WaitUntil([&] {
        return server_app.StreamSize(server) >= kTotal / 4 && client_app.StreamSize(client) >= kTotal / 4;
    }));
    if (what == EBreak::kTunnelServer) {
        tunnel.Kill();
    } else {
        proxy.Kill();
    }
    broken = true;
    // The first attempt fails while the component is down; the client must try again.
    EXPECT_TRUE(trace.WaitForLine({"CRdtpConnection::ScheduleRetry"}, kResumeWaitMs));
    ASSERT_TRUE(what == EBreak::kTunnelServer ? tunnel.Restart() : proxy.Start());

    EXPECT_TRUE(server_app.WaitStream(server, kTotal));
    EXPECT_TRUE(client_app.WaitStream(client, kTotal));
    up_writer.join();
    down_writer.join();
    EXPECT_EQ(kTotal, sent_up);
    EXPECT_EQ(kTotal, sent_down);
    EXPECT_TRUE(server_app.Stream(server) == up) << "client to server differs";
    EXPECT_TRUE(client_app.Stream(client) == down) << "server to client differs";
    EXPECT_EQ(0, server_app.Count(QRN_TP_MSG_CLOSED));
    EXPECT_EQ(0, client_app.Count(QRN_TP_MSG_CLOSED));

    // The close lingers on real time: a loaded machine may take more than a fifth of it to
    // carry the last exchange.
    clock.reset();
    EXPECT_EQ(QRN_TP_OK, qrn_tp_option(client, QRN_TP_OPT_CLOSE_NOTICE, 1));
    EXPECT_EQ(QRN_TP_OK, qrn_tp_close(client, QRN_TP_CLOSE_NORMAL));
    EXPECT_EQ(static_cast<uintptr_t>(QRN_TP_CLOSE_DELIVERED), client_app.WaitFor(QRN_TP_MSG_CLOSE_DONE).p1)
        << Diagnosis(trace);
    const Event closed = server_app.WaitFor(QRN_TP_MSG_CLOSED);
    EXPECT_EQ(QRN_TP_MSG_CLOSED, closed.msg);
    EXPECT_EQ(static_cast<uintptr_t>(QRN_TP_REASON_PEER_CLOSED), closed.p1);
    qrn_http_detector_reset();
}

INSTANTIATE_TEST_SUITE_P(
    FormsAndBreaks, TpHttpTunnelBreak,
    ::testing::Combine(::testing::Values(http::kModeBigPost, http::kModeSmallPost),
                       ::testing::Values(EBreak::kTunnelServer, EBreak::kProxy)),
    [](const ::testing::TestParamInfo<std::tuple<uint32_t, EBreak>> &p) {
        const std::string form = std::get<0>(p.param) == http::kModeBigPost ? "LargePost" : "SinglePost";
        return form + (std::get<1>(p.param) == EBreak::kTunnelServer ? "TunnelServerRestarted" : "ProxyRestarted");
    });

}  // namespace
}  // namespace tptest
