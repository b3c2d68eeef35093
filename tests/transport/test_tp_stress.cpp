// Many connections at once, opened, used and closed from several threads, some refused, some
// closed by both ends at the same moment: every byte arrives, every end is reported exactly as
// it should be, and nothing is left behind.
#include <gtest/gtest.h>

#include <string.h>

#include <map>
#include <thread>

#include "tp_fixture.h"

namespace tptest {
namespace {

using TpStress = TpTest;

constexpr int kThreads = 4;
constexpr int kPerThread = 10;
constexpr int kRounds = 3;
constexpr size_t kRoundBytes = 24 * 1024;
constexpr int kRefusal = 77;

// How connection i is treated.
bool Refused(int i) { return i % 5 == 4; }
enum class Closer { kClient, kServer, kBoth };
Closer CloserOf(int i) { return i % 3 == 0 ? Closer::kClient : (i % 3 == 1 ? Closer::kServer : Closer::kBoth); }

Bytes IndexBytes(int i) { return Bytes{static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)}; }

TEST_F(TpStress, DozensOfConnectionsFromSeveralThreadsOpenStreamAndClose) {
    CApp &server = NewApp();
    CApp &client = NewApp();
    const uint16_t port = Listen(server);
    std::mutex map_mutex;
    std::map<int, int> server_of;  // connection index -> server handle
    server.SetExtra([&](const Event &e) {
        if (e.msg != QRN_TP_MSG_CONNECT_REQUEST) return;
        const auto *d = reinterpret_cast<const uint8_t *>(e.p3);
        const int i = (d[0] << 8) | d[1];
        const int sh = static_cast<int>(e.handle);
        EXPECT_EQ(QRN_TP_OK, qrn_tp_accept(sh, Refused(i) ? kRefusal : QRN_TP_ACCEPT, kBufferSize, 0, nullptr));
        std::lock_guard<std::mutex> guard(map_mutex);
        server_of[i] = sh;
    });
    auto server_handle = [&](int i) {
        std::lock_guard<std::mutex> guard(map_mutex);
        auto it = server_of.find(i);
        return it == server_of.end() ? 0 : it->second;
    };
    auto result_of = [&](int h) {
        for (const Event &e : client.rec().Events()) {
            if (e.msg == QRN_TP_MSG_CONNECT_RESULT && e.handle == static_cast<uintptr_t>(h)) {
                return static_cast<int>(e.p1);
            }
        }
        return -1;
    };
    auto closed_reason = [](CApp &app, int h) {
        for (const Event &e : app.rec().Events()) {
            if (e.msg == QRN_TP_MSG_CLOSED && e.handle == static_cast<uintptr_t>(h)) return static_cast<int>(e.p1);
        }
        return -1;
    };

    std::vector<int> client_of(kThreads * kPerThread, 0);
    std::vector<int> client_close(kThreads * kPerThread, 0);
    std::vector<int> server_close(kThreads * kPerThread, 0);
    auto work = [&](int t) {
        const int first = t * kPerThread;
        for (int i = first; i < first + kPerThread; ++i) {
            client_of[i] = Connect(client, port, IndexBytes(i));
            ASSERT_NE(0, client_of[i]);
        }
        for (int i = first; i < first + kPerThread; ++i) {
            ASSERT_TRUE(WaitUntil([&] { return result_of(client_of[i]) >= 0 && server_handle(i) != 0; }));
            EXPECT_EQ(Refused(i) ? kRefusal : 0, result_of(client_of[i])) << i;
        }
        for (int round = 0; round < kRounds; ++round) {
            for (int i = first; i < first + kPerThread; ++i) {
                if (Refused(i)) continue;
                const Bytes up = Pattern(kRoundBytes, static_cast<uint8_t>(i + round));
                const Bytes down = Pattern(kRoundBytes, static_cast<uint8_t>(i * 3 + round));
                EXPECT_EQ(up.size(), WriteAll(client, client_of[i], up));
                EXPECT_EQ(down.size(), WriteAll(server, server_handle(i), down));
            }
        }
        for (int i = first; i < first + kPerThread; ++i) {
            if (Refused(i)) continue;
            const int ch = client_of[i];
            const int sh = server_handle(i);
            ASSERT_TRUE(server.WaitStream(sh, kRounds * kRoundBytes));
            ASSERT_TRUE(client.WaitStream(ch, kRounds * kRoundBytes));
            Bytes up_all;
            Bytes down_all;
            for (int round = 0; round < kRounds; ++round) {
                const Bytes up = Pattern(kRoundBytes, static_cast<uint8_t>(i + round));
                const Bytes down = Pattern(kRoundBytes, static_cast<uint8_t>(i * 3 + round));
                up_all.insert(up_all.end(), up.begin(), up.end());
                down_all.insert(down_all.end(), down.begin(), down.end());
            }
            EXPECT_EQ(up_all, server.Stream(sh)) << i;
            EXPECT_EQ(down_all, client.Stream(ch)) << i;
            switch (CloserOf(i)) {
            case Closer::kClient: EXPECT_EQ(QRN_TP_OK, qrn_tp_close(ch, QRN_TP_CLOSE_NORMAL)); break;
            case Closer::kServer: EXPECT_EQ(QRN_TP_OK, qrn_tp_close(sh, QRN_TP_CLOSE_UPLINK_DISCONNECT)); break;
            case Closer::kBoth: {
                // Either close may find the connection already ended by the other's PDU.
                std::thread other([&] { server_close[i] = qrn_tp_close(sh, QRN_TP_CLOSE_NORMAL); });
                client_close[i] = qrn_tp_close(ch, QRN_TP_CLOSE_NORMAL);
                other.join();
                break;
            }
            }
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) threads.emplace_back(work, t);
    for (std::thread &t : threads) t.join();

    ASSERT_TRUE(WaitUntil([] { return tp_debug::live_connections() == 0; }));
    for (int i = 0; i < kThreads * kPerThread; ++i) {
        SCOPED_TRACE(i);
        const int ch = client_of[i];
        const int sh = server_handle(i);
        EXPECT_EQ(QRN_TP_ERR_UNKNOWN_HANDLE, qrn_tp_send(ch, "x", 1, 0));
        EXPECT_EQ(QRN_TP_ERR_UNKNOWN_HANDLE, qrn_tp_send(sh, "x", 1, 0));
        if (Refused(i)) {
            EXPECT_EQ(-1, closed_reason(client, ch));
            continue;
        }
        switch (CloserOf(i)) {
        case Closer::kClient:
            EXPECT_EQ(QRN_TP_REASON_PEER_CLOSED, closed_reason(server, sh));
            EXPECT_EQ(-1, closed_reason(client, ch));
            break;
        case Closer::kServer:
            EXPECT_EQ(QRN_TP_REASON_UPLINK_DISCONNECT, closed_reason(client, ch));
            EXPECT_EQ(-1, closed_reason(server, sh));
            break;
        case Closer::kBoth:
            // An end that was closed by its application hears nothing after the call; one that
            // the peer's PDU ended first hears reason 1 and its close finds no handle.
            for (auto side : {std::make_pair(&client, std::make_pair(ch, client_close[i])),
                              std::make_pair(&server, std::make_pair(sh, server_close[i]))}) {
                const int reason = closed_reason(*side.first, side.second.first);
                EXPECT_TRUE(reason == -1 || reason == QRN_TP_REASON_PEER_CLOSED) << reason;
                if (side.second.second != QRN_TP_OK) {
                    EXPECT_EQ(QRN_TP_ERR_UNKNOWN_HANDLE, side.second.second);
                    EXPECT_EQ(QRN_TP_REASON_PEER_CLOSED, reason);
                }
            }
            EXPECT_TRUE(client_close[i] == QRN_TP_OK || server_close[i] == QRN_TP_OK);
            break;
        }
    }
    EXPECT_EQ(kThreads * kPerThread, server.Count(QRN_TP_MSG_CONNECT_REQUEST));
}

}  // namespace
}  // namespace tptest
