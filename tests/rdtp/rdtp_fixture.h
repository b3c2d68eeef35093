// Shared by the multi-mode layer's tests: an upper layer that records messages and reads what
// arrives, raw POSIX peers that speak the connect PDU by hand, and a fixture that closes every
// handle and stops the socket layer at the end.
#ifndef QRN_TESTS_RDTP_RDTP_FIXTURE_H
#define QRN_TESTS_RDTP_RDTP_FIXTURE_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "raw_peer.h"
#include "rdtp/rdtp.h"
#include "rdtp/rdtp_debug.h"
#include "rdtp/rdtp_defs.h"
#include "rdtp/rdtp_module.h"
#include "rdtp/rdtp_pdu.h"
#include "socket/sock_debug.h"
#include "socket/sockcli.h"
#include "tcp_relay.h"
#include "test_support.h"

namespace rdtptest {

using qrntest::Event;
using qrntest::EventRecorder;
using qrntest::WaitUntil;

constexpr const char *kLoopback = "127.0.0.1";
constexpr uint32_t kLoopbackIp = 0x7f000001;

// --- the upper layer ----------------------------------------------------------------------

// Records every message and reads stream data as it is announced (on the delivering thread).
// Extra behaviour runs after the read, before the message is recorded.
class CUpper {
public:
    CUpper() {
        m_recorder.SetHook([this](const Event &e) {
            if (e.msg == rdtp::kMsgRead && e.p2 == rdtp::kReadStream) Drain(static_cast<int>(e.handle));
            std::function<void(const Event &)> extra;
            {
                std::lock_guard<std::mutex> guard(m_mutex);
                extra = m_extra;
            }
            if (extra) extra(e);
        });
    }

    qrn_callback Callback() const { return &EventRecorder::Callback; }
    uintptr_t Context() const { return m_recorder.Context(); }
    EventRecorder &recorder() { return m_recorder; }

    void SetExtra(std::function<void(const Event &)> extra) {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_extra = std::move(extra);
    }

    std::string Received(int handle) {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_data[handle];
    }

    bool WaitForData(int handle, size_t bytes) {
        return WaitUntil([&] { return Received(handle).size() >= bytes; });
    }

    // The messages of one handle, in order.
    std::vector<int> Messages(int handle) const {
        std::vector<int> out;
        for (const Event &e : m_recorder.Events()) {
            if (static_cast<int>(e.handle) == handle) out.push_back(e.msg);
        }
        return out;
    }

    // The first message msg of any handle (msg -1 when none came in time).
    Event WaitFor(int msg) const { return m_recorder.WaitFor(msg); }

    bool WaitForCount(int msg, int count) const { return m_recorder.WaitForCount(msg, count); }

private:
    void Drain(int handle) {
        char buffer[4096];
        for (;;) {
            int n = qrn_rdtp_recv(handle, buffer, sizeof(buffer), 0);
            if (n <= 0) return;
            std::lock_guard<std::mutex> guard(m_mutex);
            m_data[handle].append(buffer, static_cast<size_t>(n));
        }
    }

    EventRecorder m_recorder;
    std::mutex m_mutex;
    std::map<int, std::string> m_data;
    std::function<void(const Event &)> m_extra;
};

// --- raw peers ----------------------------------------------------------------------------

using qrntest::FreePort;
using qrntest::RawAccept;
using qrntest::RawConnect;
using qrntest::RawListen;
using qrntest::RawRecv;
using qrntest::RawSeesClose;
using qrntest::RawSend;

inline std::string PduBytes(uint32_t serv_tag, uint32_t cli_tag, uint16_t conn_id, uint16_t ordinal, uint8_t mode) {
    CRdtpConnectPdu pdu;
    pdu.serv_tag = serv_tag;
    pdu.cli_tag = cli_tag;
    pdu.conn_id = conn_id;
    pdu.ordinal = ordinal;
    pdu.conn_mode = mode;
    char buffer[rdtp::kPduBufferSize];
    int len = rdtp_pdu_write(pdu, buffer, sizeof(buffer));
    return std::string(buffer, static_cast<size_t>(len));
}

inline CRdtpConnectPdu ParsePdu(const std::string &bytes) {
    CRdtpConnectPdu pdu;
    EXPECT_TRUE(rdtp_pdu_read(bytes.data(), static_cast<int>(bytes.size()), &pdu));
    return pdu;
}

inline uint32_t ServerTag() { return rdtp_server_tag(); }

// --- the fixture --------------------------------------------------------------------------

// Upper layers live until after the socket layer has stopped (TearDown), as late events may
// still reach them; tests get them from NewUpper().
class RdtpTest : public ::testing::Test {
protected:
    // Keeps an object that callbacks may reach until after TearDown.
    void Keep(std::shared_ptr<void> object) { m_kept.push_back(std::move(object)); }

    CUpper &NewUpper() {
        m_uppers.push_back(std::make_shared<CUpper>());
        return *m_uppers.back();
    }

    // A TCP listener of the layer on 127.0.0.1 at a free port. Connects may start at once: the
    // kernel queues them until the socket thread takes the new socket into its sets.
    uint16_t Listen(CUpper &upper, const char *bind_ip = kLoopback) {
        uint16_t port = FreePort();
        EXPECT_EQ(rdtp::kListenOk, qrn_rdtp_listen(bind_ip, 0, port, 0, upper.Callback(), upper.Context()));
        return port;
    }

    // The socket layer started, so that socket counts hold still.
    static void StartSockets() { ASSERT_EQ(0, VSOCK::startup()); }

    int Connect(CUpper &upper, uint16_t port, const char *ip = kLoopback) {
        return qrn_rdtp_connect(ip, 0, port, 0, nullptr, 0, upper.Callback(), upper.Context());
    }

    // A client and a server connection over TCP, both established (client: 2 and 7; server:
    // 1 and 6). server_port is the listener's, or a relay in front of it.
    void Establish(CUpper &client_upper, CUpper &server_upper, uint16_t server_port, int *client, int *server) {
        *client = Connect(client_upper, server_port);
        ASSERT_GT(*client, 0);
        ASSERT_TRUE(client_upper.WaitForCount(rdtp::kMsgConfirm2, 1));
        ASSERT_TRUE(server_upper.WaitForCount(rdtp::kMsgConnect2, 1));
        *server = static_cast<int>(server_upper.WaitFor(rdtp::kMsgConnect).handle);
    }

    void TearDown() override {
        for (int handle : rdtp_debug::handles()) qrn_rdtp_close(handle);
        EXPECT_TRUE(WaitUntil([] { return rdtp_debug::live_connections() == 0; }));
        VSOCK::shutdown();
    }

    // Selects of 100 ms: a new listening socket is polled soon.
    qrntest::ClockFactor m_clock{10};

private:
    std::vector<std::shared_ptr<CUpper>> m_uppers;
    std::vector<std::shared_ptr<void>> m_kept;
};

}  // namespace rdtptest

#endif
