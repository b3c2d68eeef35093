// The echo server of qrndemo: it echoes from inside the library's callback through
// CTpSendQueue, over reliable UDP, whose rate budget makes qrn_tp_send take less than it is
// offered (often nothing) again and again. Every byte must come back once and in order.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "qrn/qrn_tp.h"
#include "qrn_tp_send_queue.h"
#include "qrn_tp_writer.h"
#include "raw_peer.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using qrntest::WaitUntil;

// Enough that the server's echo outruns reliable UDP's starting rate many times over.
constexpr size_t kBulk = 384 * 1024;
constexpr unsigned kBufferSize = 256 * 1024;
constexpr int kNoReason = -1;
// Reliable UDP starts at 200 KB/s: the echo takes a few seconds, more under a sanitizer.
constexpr int kEchoWaitMs = 6 * qrntest::kWaitMs;

uint16_t FreeUdpPort() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = qrntest::RawAddress(0);
    uint16_t port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0) port = qrntest::RawPort(fd);
    if (fd >= 0) ::close(fd);
    return port;
}

// One end: the server echoes what arrives, the client writes its stream and keeps the echo.
class CEchoEnd {
public:
    explicit CEchoEnd(bool server) : m_server(server) {}

    static int Callback(uintptr_t user, int msg, uintptr_t handle, uintptr_t p1, uintptr_t p2, uintptr_t p3) {
        reinterpret_cast<CEchoEnd *>(user)->OnEvent(msg, static_cast<int>(handle), p1, p2, p3);
        return 0;
    }
    uintptr_t Context() { return reinterpret_cast<uintptr_t>(this); }

    CTpSendQueue &Echoes() { return m_echoes; }
    CTpWriter &Writer() { return m_writer; }
    bool Open() const { return m_open.load(); }
    int CloseReason() const { return m_close_reason.load(); }
    int EchoFailures() const { return m_echo_failures.load(); }
    Bytes Received() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_received;
    }
    size_t ReceivedSize() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_received.size();
    }

private:
    void OnEvent(int msg, int handle, uintptr_t p1, uintptr_t p2, uintptr_t p3) {
        switch (msg) {
        case QRN_TP_MSG_CONNECT_REQUEST:
            m_echoes.SetHandle(handle);
            m_open = qrn_tp_accept(handle, QRN_TP_ACCEPT, kBufferSize, 0, nullptr) == QRN_TP_OK;
            break;
        case QRN_TP_MSG_CONNECT_RESULT:
            m_open = p1 == QRN_TP_CONNECT_ACCEPTED;
            break;
        case QRN_TP_MSG_DATA:
            if (p1 == QRN_TP_DATA_STREAM) OnData(reinterpret_cast<const uint8_t *>(p3), p2);
            break;
        case QRN_TP_MSG_WRITABLE:
            m_writer.OnWritable();
            m_echoes.OnWritable();
            break;
        case QRN_TP_MSG_CLOSED:
            m_close_reason = static_cast<int>(p1);
            m_writer.End();
            break;
        default:
            break;
        }
    }

    void OnData(const uint8_t *data, size_t len) {
        if (m_server) {
            if (!m_echoes.Send(data, len)) ++m_echo_failures;
            return;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        m_received.insert(m_received.end(), data, data + len);
    }

    const bool m_server;
    CTpSendQueue m_echoes;
    CTpWriter m_writer;
    std::atomic<bool> m_open{false};
    std::atomic<int> m_close_reason{kNoReason};
    std::atomic<int> m_echo_failures{0};
    std::mutex m_mutex;
    Bytes m_received;
};

TEST(TpSendQueue, EchoFromTheCallbackReturnsEveryByteOverReliableUdpThoughTakesFallShort) {
    ASSERT_EQ(QRN_TP_OK, qrn_tp_init());
    // Never destroyed, and reachable to the end: the library may still call a finished end.
    static auto *const server = new CEchoEnd(true);
    static auto *const client = new CEchoEnd(false);
    const uint16_t udp_port = FreeUdpPort();
    ASSERT_NE(0, udp_port);
    ASSERT_EQ(QRN_TP_OK, qrn_tp_listen("127.0.0.1", udp_port, 0, 0, &CEchoEnd::Callback, server->Context()));
    const int h = qrn_tp_connect("127.0.0.1", udp_port, 0, 0, nullptr, 0, &CEchoEnd::Callback, client->Context(),
                                 kBufferSize, 0, nullptr);
    ASSERT_NE(0, h);
    client->Writer().SetHandle(h);
    ASSERT_TRUE(WaitUntil([&] { return client->Open() && server->Open(); }));
    uint8_t mode = 0;
    ASSERT_EQ(QRN_TP_OK, qrn_tp_option(h, QRN_TP_OPT_CONN_MODE, reinterpret_cast<uintptr_t>(&mode)));
    EXPECT_EQ(QRN_TP_CONN_MODE_UDP, mode);

    Bytes sent(kBulk);
    std::mt19937 gen(20261208);
    for (auto &b : sent) b = static_cast<uint8_t>(gen());
    std::atomic<bool> written{false};
    // Small pieces first, as the demo's pings, then large ones.
    std::thread writer([&] {
        size_t off = 0;
        for (size_t piece = 64; off < sent.size(); piece = piece < 16384 ? piece * 2 : piece) {
            const size_t n = std::min(piece, sent.size() - off);
            if (!client->Writer().SendAll(sent.data() + off, n)) return;
            off += n;
        }
        written = true;
    });
    const bool echoed = WaitUntil([&] { return client->ReceivedSize() >= kBulk || client->CloseReason() != kNoReason; },
                                  kEchoWaitMs);
    if (!echoed) client->Writer().End();
    writer.join();

    EXPECT_TRUE(written.load());
    EXPECT_TRUE(echoed);
    EXPECT_EQ(kNoReason, client->CloseReason());
    EXPECT_TRUE(client->Received() == sent) << "echoed " << client->ReceivedSize() << " of " << kBulk << " bytes";
    // The scenario holds only if the library did refuse part of the echo.
    EXPECT_GT(server->Echoes().ShortTakes(), 0);
    EXPECT_EQ(0u, server->Echoes().Owed());
    EXPECT_FALSE(server->Echoes().Failed());
    EXPECT_EQ(0, server->EchoFailures());

    EXPECT_EQ(QRN_TP_OK, qrn_tp_close(h, QRN_TP_CLOSE_NORMAL));
    EXPECT_TRUE(WaitUntil([&] { return server->CloseReason() == QRN_TP_REASON_PEER_CLOSED; }));
}

}  // namespace
