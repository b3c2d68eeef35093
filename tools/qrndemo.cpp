// qrndemo: a client and a server of libqrntp in one process on loopback, once per path mode
// (TCP, reliable UDP, TCP and UDP side by side, the HTTP tunnel, and a race of all three).
// Both sides send a few megabytes at once and every byte must arrive once and in order. A TCP
// path goes through a relay that cuts it once mid-transfer, so the stream must resume. The
// tunnel and race rows run the tunnel server (qrntunnel, beside this program unless --tunnel
// names it) in a child process joined to the server's TCP port, and stop it when done. In the
// race row the client's UDP goes through a relay that starts dropping every datagram
// mid-transfer: the client hears nothing, gives the path up and races again, and the stream
// goes on over TCP. Prints one row per mode: bytes each way, throughput, round-trip time,
// resumptions and the result (for the race, the kinds of path and how long the stream stalled).
//
//   qrndemo [--mb N] [--trace FILE] [--tunnel PATH] [--udp-rate MBIT]
//   exit status 0 when every mode passed. --udp-rate: reliable UDP finds the path's rate, up to
//   MBIT Mbit/s, on both sides.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qrn/qrn_tp.h"
#include "qrnlibl/qrn_trace.h"
#include "qrn_tp_names.h"
#include "qrn_tp_send_queue.h"
#include "qrn_tp_writer.h"
#include "raw_address.h"
#include "tcp_relay.h"
#include "udp_relay.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kPings = 200;
constexpr size_t kPingSize = 64;
constexpr uint64_t kPingBytes = kPings * kPingSize;  // the stream starts with the pings
constexpr size_t kChunk = 32768;
constexpr unsigned kBufferSize = 256 * 1024;
constexpr int kDefaultMegabytes = 8;
constexpr int kMaxMegabytes = 1024;
constexpr int kMaxUdpRateMbit = 10000;
constexpr int kCutDivisor = 3;  // the path is cut once a third of each direction has arrived
// Reliable UDP starts at 200 KB/s and adds 5 % a second, so its rows move less (unless
// --udp-rate lets it find the path's rate).
constexpr uint64_t kMaxUdpBulk = 1 << 20;
constexpr auto kDeadline = std::chrono::seconds(60);
// The race row waits out the client's silence detection (10 s) and then a new race; a
// connection whose path is not replaced within 30 s of its loss ends.
constexpr auto kStallAllowance = std::chrono::seconds(30);
constexpr auto kCloseDeadline = std::chrono::seconds(10);
constexpr uint64_t kSeedClientToServer = 0x51ed270b27c3a1f5ull;
constexpr uint64_t kSeedServerToClient = 0x2545f4914f6cdd1dull;
constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ull;
constexpr uint64_t kFnvPrime = 0x100000001b3ull;
constexpr int kNoReason = -1;
constexpr double kMiB = 1024.0 * 1024.0;
constexpr auto kTunnelStartDeadline = std::chrono::seconds(5);
constexpr auto kTunnelStopDeadline = std::chrono::seconds(3);
constexpr auto kPollPeriod = std::chrono::milliseconds(10);

// A loopback port that nothing uses at the moment of asking, for TCP or (SOCK_DGRAM) UDP.
uint16_t FreeLoopbackPort(int type = SOCK_STREAM) {
    int fd = socket(AF_INET, type, 0);
    if (fd < 0) return 0;
    sockaddr_in a = qrntest::RawAddress(0);
    socklen_t len = sizeof(a);
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0) {
        port = ntohs(a.sin_port);
    }
    close(fd);
    return port;
}

uint64_t Mix(uint64_t x) {
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

// The stream's bulk content is a function of direction and offset, so that a receiver checks
// each byte where it lands: a lost, repeated or reordered byte shows at once.
uint8_t PatternByte(uint64_t seed, uint64_t offset) {
    return static_cast<uint8_t>(Mix(seed ^ (offset >> 3)) >> ((offset & 7) * 8));
}

void FillPattern(uint64_t seed, uint64_t offset, uint8_t *out, size_t len) {
    for (size_t i = 0; i < len; ++i) out[i] = PatternByte(seed, offset + i);
}

uint64_t Fnv(uint64_t hash, const uint8_t *data, size_t len) {
    for (size_t i = 0; i < len; ++i) hash = (hash ^ data[i]) * kFnvPrime;
    return hash;
}

// Waits for pred, re-checked whenever the peer's state changes, until the deadline.
class CSignal {
public:
    void Notify() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_cond.notify_all();
    }
    bool WaitUntil(const std::function<bool()> &pred, Clock::time_point deadline) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_cond.wait_until(lock, deadline, pred);
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_cond;
};

// One end of the demo connection: checks what arrives, sends its share, echoes pings.
class CDemoPeer {
public:
    CDemoPeer(bool is_client, uint64_t seed_out, uint64_t seed_in, CSignal *signal)
        : m_is_client(is_client), m_seed_out(seed_out), m_seed_in(seed_in), m_signal(signal) {}

    static int Callback(uintptr_t user, int msg, uintptr_t handle, uintptr_t p1, uintptr_t p2,
                        uintptr_t p3) {
        reinterpret_cast<CDemoPeer *>(user)->OnEvent(msg, static_cast<int>(handle), p1, p2, p3);
        return 0;
    }

    CTpWriter &Writer() { return m_writer; }
    CTpSendQueue &Pings() { return m_pings; }
    // The server asks for path events when a client connects; the client asks right after
    // qrn_tp_connect.
    void WatchPaths() { m_watch_paths = true; }
    bool Open() const { return m_open.load(); }
    int CloseReason() const { return m_close_reason.load(); }
    int Pongs() const { return m_pongs.load(); }
    uint64_t BulkReceived() const { return m_bulk_received.load(); }
    uint64_t Mismatches() const { return m_mismatches.load(); }
    uint64_t ChecksumIn() const {
        std::lock_guard<std::mutex> lock(m_rx_mutex);
        return m_checksum_in;
    }
    uint64_t ChecksumOut() const { return m_checksum_out; }
    int Resumptions() const { return m_resumptions.load(); }
    // When the first QRN_TP_PATH_RESUMED arrived; the epoch when none has.
    Clock::time_point FirstResumedAt() const {
        std::lock_guard<std::mutex> lock(m_path_mutex);
        return m_first_resumed_at;
    }
    // The path messages so far, as in "lost UDP, resumed on TCP, UDP -> TCP".
    std::string PathLog() const {
        std::lock_guard<std::mutex> lock(m_path_mutex);
        return m_path_log.empty() ? "none" : m_path_log;
    }
    // The kinds of the last QRN_TP_PATH_KIND_CHANGED, or -1 for none.
    int KindBefore() const { return m_kind_before.load(); }
    int KindAfter() const { return m_kind_after.load(); }

    // Sends bytes bulk bytes of this side's pattern; runs on a thread of its own.
    void SendBulk(uint64_t bytes) {
        std::vector<uint8_t> chunk(kChunk);
        for (uint64_t off = 0; off < bytes; off += kChunk) {
            size_t len = static_cast<size_t>(std::min<uint64_t>(kChunk, bytes - off));
            FillPattern(m_seed_out, off, chunk.data(), len);
            m_checksum_out = Fnv(m_checksum_out, chunk.data(), len);
            if (!m_writer.SendAll(chunk.data(), len)) return;
        }
    }

private:
    void OnEvent(int msg, int handle, uintptr_t p1, uintptr_t p2, uintptr_t p3) {
        switch (msg) {
            case QRN_TP_MSG_CONNECT_REQUEST:
                m_writer.SetHandle(handle);
                m_pings.SetHandle(handle);
                if (m_watch_paths && qrn_tp_option(handle, QRN_TP_OPT_PATH_EVENTS, 1) != QRN_TP_OK)
                    AddPathLog("cannot ask for path events");
                if (qrn_tp_accept(handle, QRN_TP_ACCEPT, kBufferSize, 0, nullptr) == QRN_TP_OK)
                    m_open = true;
                break;
            case QRN_TP_MSG_CONNECT_RESULT:
                if (p1 == QRN_TP_CONNECT_ACCEPTED) m_open = true;
                else End(static_cast<int>(p1));
                break;
            case QRN_TP_MSG_DATA:
                if (p1 == QRN_TP_DATA_STREAM) OnData(reinterpret_cast<const uint8_t *>(p3), p2);
                break;
            case QRN_TP_MSG_WRITABLE:
                m_writer.OnWritable();
                m_pings.OnWritable();
                break;
            case QRN_TP_MSG_CLOSED:
                End(static_cast<int>(p1));
                break;
            case QRN_TP_MSG_PATH:
                OnPath(p1, p2, p3);
                break;
            default:
                break;
        }
        m_signal->Notify();
    }

    void OnPath(uintptr_t what, uintptr_t now, uintptr_t before) {
        if (what == QRN_TP_PATH_LOST) {
            AddPathLog(std::string("lost ") + qrntool::ModeName(now));
        } else if (what == QRN_TP_PATH_RESUMED) {
            {
                std::lock_guard<std::mutex> lock(m_path_mutex);
                if (m_resumptions.load() == 0) m_first_resumed_at = Clock::now();
            }
            ++m_resumptions;
            AddPathLog(std::string("resumed on ") + qrntool::ModeName(now));
        } else if (what == QRN_TP_PATH_KIND_CHANGED) {
            m_kind_before = static_cast<int>(before);
            m_kind_after = static_cast<int>(now);
            AddPathLog(std::string(qrntool::ModeName(before)) + " -> " + qrntool::ModeName(now));
        } else {
            AddPathLog("unknown path message " + std::to_string(what));
        }
    }

    void AddPathLog(const std::string &entry) {
        std::lock_guard<std::mutex> lock(m_path_mutex);
        m_path_log += (m_path_log.empty() ? "" : ", ") + entry;
    }

    void End(int reason) {
        m_close_reason = reason;
        m_writer.End();
    }

    void OnData(const uint8_t *data, size_t len) {
        std::lock_guard<std::mutex> lock(m_rx_mutex);
        while (len > 0 && m_rx_offset < kPingBytes) {
            size_t n = std::min<size_t>(len, kPingSize - m_ping_fill);
            memcpy(m_ping + m_ping_fill, data, n);
            m_ping_fill += n;
            m_rx_offset += n;
            data += n;
            len -= n;
            if (m_ping_fill == kPingSize) OnPing();
        }
        if (len == 0) return;
        uint64_t bulk_offset = m_rx_offset - kPingBytes;
        uint64_t bad = 0;
        for (size_t i = 0; i < len; ++i) bad += data[i] != PatternByte(m_seed_in, bulk_offset + i);
        m_checksum_in = Fnv(m_checksum_in, data, len);
        m_rx_offset += len;
        m_mismatches += bad;
        m_bulk_received += len;
    }

    // A whole ping arrived: the server echoes it, the client counts it as the pong.
    void OnPing() {
        m_ping_fill = 0;
        if (m_is_client) {
            ++m_pongs;
            return;
        }
        // Even one ping at a time, the library may take none of an echo for a while (the
        // connection's own report waiting for a spent rate budget): the rest goes on
        // QRN_TP_MSG_WRITABLE.
        if (!m_pings.Send(m_ping, kPingSize)) ++m_mismatches;
    }

    const bool m_is_client;
    const uint64_t m_seed_out;
    const uint64_t m_seed_in;
    CSignal *m_signal;
    CTpWriter m_writer;
    CTpSendQueue m_pings;  // the client's pings, the server's echoes (from the callback)
    std::atomic<bool> m_open{false};
    std::atomic<int> m_close_reason{kNoReason};
    std::atomic<int> m_pongs{0};
    std::atomic<uint64_t> m_bulk_received{0};
    std::atomic<uint64_t> m_mismatches{0};
    uint64_t m_checksum_out = kFnvOffset;  // the sending thread's own
    std::atomic<bool> m_watch_paths{false};
    std::atomic<int> m_resumptions{0};
    std::atomic<int> m_kind_before{-1};
    std::atomic<int> m_kind_after{-1};
    mutable std::mutex m_path_mutex;
    Clock::time_point m_first_resumed_at;
    std::string m_path_log;

    mutable std::mutex m_rx_mutex;  // one connection's data may come on several threads
    uint64_t m_rx_offset = 0;
    uint64_t m_checksum_in = kFnvOffset;
    uint8_t m_ping[kPingSize] = {};
    size_t m_ping_fill = 0;
};

struct SDemoRow {
    std::string mode;
    uint64_t client_to_server = 0;
    uint64_t server_to_client = 0;
    double seconds = 0;
    double rtt_ms = 0;
    int resumptions = 0;
    bool ok = false;
    std::string result;
};

// The ports through which a mode's client reaches the server: UDP directly, TCP through a
// relay that cuts the path once.
struct SModePath {
    int udp_port;
    int tcp_port;
    int http_port;
};

// The tunnel server as a child process of the demo, stopped by its pid.
class CTunnelProcess {
public:
    ~CTunnelProcess() { Stop(); }

    // Listens on a free loopback port joined to target_port; true once it accepts connections.
    bool Start(const std::string &path, uint16_t target_port) {
        m_port = FreeLoopbackPort();
        if (m_port == 0) return false;
        std::vector<std::string> args{path, "--listen", "127.0.0.1:" + std::to_string(m_port),
                                      "--target", "127.0.0.1:" + std::to_string(target_port)};
        std::vector<char *> argv;
        for (std::string &a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        // Its own lines (and its HTTP library's notes on cut requests) would break the table.
        posix_spawn_file_actions_t quiet;
        posix_spawn_file_actions_init(&quiet);
        posix_spawn_file_actions_addopen(&quiet, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&quiet, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        const int spawned = posix_spawn(&m_pid, argv[0], &quiet, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&quiet);
        if (spawned != 0) {
            m_pid = -1;
            return false;
        }
        const auto deadline = Clock::now() + kTunnelStartDeadline;
        while (Clock::now() < deadline && Running()) {
            if (Accepts()) return true;
            std::this_thread::sleep_for(kPollPeriod);
        }
        return false;
    }
    uint16_t Port() const { return m_port; }

    void Stop() {
        if (m_pid <= 0) return;
        kill(m_pid, SIGTERM);
        const auto deadline = Clock::now() + kTunnelStopDeadline;
        while (Running() && Clock::now() < deadline) std::this_thread::sleep_for(kPollPeriod);
        if (Running()) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        m_pid = -1;
    }

private:
    bool Running() {
        if (m_pid <= 0) return false;
        if (waitpid(m_pid, nullptr, WNOHANG) != m_pid) return true;
        m_pid = -1;
        return false;
    }
    bool Accepts() const {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0) return false;
        sockaddr_in a = qrntest::RawAddress(m_port);
        bool ok = connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0;
        close(fd);
        return ok;
    }

    pid_t m_pid = -1;
    uint16_t m_port = 0;
};

class CDemoRun {
public:
    CDemoRun(const std::string &mode, uint64_t bulk_bytes) : m_bulk(bulk_bytes) {
        m_row.mode = mode;
    }

    // with_udp and with_tcp choose the paths offered: UDP, TCP, or both side by side.
    SDemoRow RunMode(bool with_udp, bool with_tcp) {
        uint16_t udp_port = with_udp ? FreeLoopbackPort(SOCK_DGRAM) : 0;
        uint16_t tcp_port = with_tcp ? FreeLoopbackPort() : 0;
        int r = qrn_tp_listen("127.0.0.1", udp_port, tcp_port, 0, &CDemoPeer::Callback,
                              reinterpret_cast<uintptr_t>(&m_server));
        if ((with_udp && udp_port == 0) || (with_tcp && tcp_port == 0) || r != QRN_TP_OK)
            return Fail("cannot listen");
        if (with_tcp) {
            m_relay = std::make_unique<qrntest::CTcpRelay>(tcp_port);
            if (m_relay->Port() == 0) return Fail("cannot start the relay");
        }
        printf("%s: server on 127.0.0.1 udp %u tcp %u, client%s\n", m_row.mode.c_str(), udp_port,
               tcp_port, with_tcp ? " with TCP through a relay that cuts the path once" : "");
        m_cut = with_tcp;
        return Run(SModePath{udp_port, with_tcp ? m_relay->Port() : 0, 0});
    }

    // The client offers only the tunnel server's port; the server sees an ordinary TCP path.
    SDemoRow RunTunnel(const std::string &tunnel_path) {
        uint16_t tcp_port = FreeLoopbackPort();
        if (tcp_port == 0 || qrn_tp_listen("127.0.0.1", 0, tcp_port, 0, &CDemoPeer::Callback,
                                           reinterpret_cast<uintptr_t>(&m_server)) != QRN_TP_OK)
            return Fail("cannot listen");
        if (!m_tunnel.Start(tunnel_path, tcp_port))
            return Fail(("cannot start the tunnel server " + tunnel_path).c_str());
        printf("%s: server on 127.0.0.1 tcp %u, tunnel server on http %u, client through the"
               " tunnel\n", m_row.mode.c_str(), tcp_port, m_tunnel.Port());
        SDemoRow row = Run(SModePath{0, 0, m_tunnel.Port()});
        m_tunnel.Stop();
        return row;
    }

    // The client offers all three kinds, so it races them; its UDP goes through a relay that
    // later drops everything, and the stream must go on over TCP.
    SDemoRow RunRace(const std::string &tunnel_path) {
        uint16_t udp_port = FreeLoopbackPort(SOCK_DGRAM);
        uint16_t tcp_port = FreeLoopbackPort();
        m_server.WatchPaths();
        m_client.WatchPaths();
        if (udp_port == 0 || tcp_port == 0 ||
            qrn_tp_listen("127.0.0.1", udp_port, tcp_port, 0, &CDemoPeer::Callback,
                          reinterpret_cast<uintptr_t>(&m_server)) != QRN_TP_OK)
            return Fail("cannot listen");
        if (!m_tunnel.Start(tunnel_path, tcp_port))
            return Fail(("cannot start the tunnel server " + tunnel_path).c_str());
        m_udp_relay = std::make_unique<qrntest::CUdpRelay>(udp_port, qrntest::UdpRelayConfig{});
        if (m_udp_relay->port() == 0) return Fail("cannot start the UDP relay");
        printf("%s: server on 127.0.0.1 udp %u tcp %u, tunnel server on http %u, client races"
               " them with UDP through a relay that blocks it once\n",
               m_row.mode.c_str(), udp_port, tcp_port, m_tunnel.Port());
        m_block = true;
        SDemoRow row = Run(SModePath{m_udp_relay->port(), tcp_port, m_tunnel.Port()});
        m_tunnel.Stop();
        return row;
    }

private:
    SDemoRow Run(const SModePath &path) {
        int h = qrn_tp_connect("127.0.0.1", path.udp_port, path.tcp_port, path.http_port, nullptr, 0,
                               &CDemoPeer::Callback, reinterpret_cast<uintptr_t>(&m_client),
                               kBufferSize, 0, nullptr);
        if (h == 0) return Fail("qrn_tp_connect returned 0");
        m_client.Writer().SetHandle(h);
        m_client.Pings().SetHandle(h);
        if (m_block && qrn_tp_option(h, QRN_TP_OPT_PATH_EVENTS, 1) != QRN_TP_OK) {
            qrn_tp_close(h, QRN_TP_CLOSE_NORMAL);
            return Fail("cannot ask for path events");
        }
        auto deadline = Clock::now() + kDeadline;
        if (m_block) deadline += kStallAllowance;
        if (!m_signal.WaitUntil([&] { return (m_client.Open() && m_server.Open()) || Ended(); },
                                deadline) ||
            Ended())
            return Fail("no connection");
        m_first_kind = ConnMode(h);
        if (!MeasureRoundTrip(deadline)) return Fail("round trip failed");
        Exchange(deadline);
        Finish(h);
        return m_row;
    }

    bool Ended() const {
        return m_client.CloseReason() != kNoReason || m_server.CloseReason() != kNoReason;
    }

    bool MeasureRoundTrip(Clock::time_point deadline) {
        std::vector<double> samples;
        uint8_t ping[kPingSize] = {};
        for (int i = 0; i < kPings; ++i) {
            auto start = Clock::now();
            // Like an echo, a ping may be taken only after QRN_TP_MSG_WRITABLE; one that
            // never is shows as a missing pong.
            if (!m_client.Pings().Send(ping, kPingSize)) return false;
            if (!m_signal.WaitUntil([&] { return m_client.Pongs() > i || Ended(); }, deadline) ||
                Ended())
                return false;
            samples.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start)
                                  .count());
        }
        std::sort(samples.begin(), samples.end());
        m_row.rtt_ms = samples[samples.size() / 2];
        return true;
    }

    void Exchange(Clock::time_point deadline) {
        auto start = Clock::now();
        std::thread client_sender(&CDemoPeer::SendBulk, &m_client, m_bulk);
        std::thread server_sender(&CDemoPeer::SendBulk, &m_server, m_bulk);
        uint64_t cut_at = m_bulk / kCutDivisor;
        if ((m_cut || m_block) &&
            m_signal.WaitUntil([&] { return Received(cut_at) || Ended(); }, deadline) &&
            !Ended()) {
            printf("%s: %s; received so far %.1f MiB client->server, %.1f MiB"
                   " server->client\n",
                   m_row.mode.c_str(), m_cut ? "cutting the path" : "blocking UDP",
                   m_server.BulkReceived() / kMiB, m_client.BulkReceived() / kMiB);
            if (m_cut) m_relay->CutBothSides();
            else BlockUdp();
        }
        bool done = m_signal.WaitUntil([&] { return Received(m_bulk) || Ended(); }, deadline);
        m_row.seconds = std::chrono::duration<double>(Clock::now() - start).count();
        if (!done || !Received(m_bulk)) {
            // A side that failed leaves the other's sender waiting for room that never comes.
            m_client.Writer().End();
            m_server.Writer().End();
        }
        client_sender.join();
        server_sender.join();
        m_row.client_to_server = m_server.BulkReceived();
        m_row.server_to_client = m_client.BulkReceived();
        m_row.resumptions = m_cut ? m_relay->Accepted() - 1 : 0;
        if (m_block) {
            m_row.resumptions = m_client.Resumptions();
            m_last_kind = ConnMode(m_client.Writer().Handle());
            m_server_kind = ConnMode(m_server.Writer().Handle());
            printf("%s: path messages at the client: %s; at the server: %s\n", m_row.mode.c_str(),
                   m_client.PathLog().c_str(), m_server.PathLog().c_str());
        }
    }

    void BlockUdp() {
        qrntest::UdpRelayConfig none;
        none.drop = 1.0;
        m_udp_relay->SetConfig(none);
        m_blocked_at = Clock::now();
        m_blocked = true;
    }

    // The kind of path that carries a connection now, or -1 when the library does not say.
    static int ConnMode(int handle) {
        uint8_t mode = 0;
        if (qrn_tp_option(handle, QRN_TP_OPT_CONN_MODE, reinterpret_cast<uintptr_t>(&mode)) !=
            QRN_TP_OK)
            return -1;
        return mode;
    }

    bool Received(uint64_t bytes) const {
        return m_server.BulkReceived() >= bytes && m_client.BulkReceived() >= bytes;
    }

    // The client closes; the server must see the normal close, after every byte.
    void Finish(int client_handle) {
        if (!Ended()) {
            qrn_tp_close(client_handle, QRN_TP_CLOSE_NORMAL);
            m_signal.WaitUntil([&] { return m_server.CloseReason() != kNoReason; },
                               Clock::now() + kCloseDeadline);
        } else {
            qrn_tp_close(client_handle, QRN_TP_CLOSE_NORMAL);
        }
        m_relay.reset();
        m_udp_relay.reset();
        Judge();
    }

    void Judge() {
        char text[160];
        int client_reason = m_client.CloseReason();
        int server_reason = m_server.CloseReason();
        bool complete = m_row.client_to_server == m_bulk && m_row.server_to_client == m_bulk;
        bool same = m_client.ChecksumIn() == m_server.ChecksumOut() &&
                    m_server.ChecksumIn() == m_client.ChecksumOut();
        uint64_t bad = m_client.Mismatches() + m_server.Mismatches();
        if (client_reason != kNoReason) {
            snprintf(text, sizeof(text), "FAILED: client ended, reason %d (%s)", client_reason,
                     qrntool::ReasonName(static_cast<uintptr_t>(client_reason)));
        } else if (server_reason != QRN_TP_REASON_PEER_CLOSED) {
            snprintf(text, sizeof(text), "FAILED: server %s %d", server_reason == kNoReason
                     ? "saw no close, reason" : "ended, reason", server_reason);
        } else if (!complete) {
            snprintf(text, sizeof(text), "FAILED: incomplete");
        } else if (bad != 0 || !same) {
            snprintf(text, sizeof(text), "FAILED: %llu bytes differ",
                     static_cast<unsigned long long>(bad));
        } else if (m_block && !RaceFailure().empty()) {
            snprintf(text, sizeof(text), "FAILED: %s", RaceFailure().c_str());
        } else {
            m_row.ok = true;
            snprintf(text, sizeof(text), "ok, %schecksums match (%016llx)", RaceSummary().c_str(),
                     static_cast<unsigned long long>(m_server.ChecksumIn()));
        }
        m_row.result = text;
    }

    // What the race row must show beyond the bytes: it started on UDP, and after the block
    // both ends heard of the resumption and went on over TCP. Empty when it did.
    std::string RaceFailure() const {
        const std::string kinds = std::string(qrntool::ModeName(m_first_kind)) + " -> " +
                                  qrntool::ModeName(m_last_kind);
        if (!m_blocked) return "UDP was never blocked";
        if (m_first_kind != QRN_TP_CONN_MODE_UDP || m_last_kind != QRN_TP_CONN_MODE_TCP)
            return "the client went " + kinds + ", not UDP -> TCP";
        if (m_server_kind != QRN_TP_CONN_MODE_TCP)
            return std::string("the server ended on ") + qrntool::ModeName(m_server_kind);
        if (m_client.Resumptions() == 0 || m_client.FirstResumedAt() < m_blocked_at ||
            m_client.KindBefore() != QRN_TP_CONN_MODE_UDP ||
            m_client.KindAfter() != QRN_TP_CONN_MODE_TCP)
            return "client path messages: " + m_client.PathLog();
        if (m_server.Resumptions() == 0 || m_server.KindBefore() != QRN_TP_CONN_MODE_UDP ||
            m_server.KindAfter() != QRN_TP_CONN_MODE_TCP)
            return "server path messages: " + m_server.PathLog();
        return std::string();
    }

    // "UDP -> TCP after 10.4 s, " for the race row: the kinds and the stall from the block to
    // the client's QRN_TP_PATH_RESUMED.
    std::string RaceSummary() const {
        if (!m_block) return std::string();
        char text[80];
        snprintf(text, sizeof(text), "%s -> %s after %.1f s, ", qrntool::ModeName(m_first_kind),
                 qrntool::ModeName(m_last_kind),
                 std::chrono::duration<double>(m_client.FirstResumedAt() - m_blocked_at).count());
        return text;
    }

    SDemoRow Fail(const char *why) {
        m_row.result = std::string("FAILED: ") + why;
        m_client.Writer().End();
        m_server.Writer().End();
        m_relay.reset();
        m_udp_relay.reset();
        m_tunnel.Stop();
        return m_row;
    }

    const uint64_t m_bulk;
    bool m_cut = false;
    bool m_block = false;  // the race row: UDP is blocked where the others cut TCP
    bool m_blocked = false;
    Clock::time_point m_blocked_at;
    int m_first_kind = -1;
    int m_last_kind = -1;
    int m_server_kind = -1;
    SDemoRow m_row;
    CSignal m_signal;
    CDemoPeer m_client{true, kSeedClientToServer, kSeedServerToClient, &m_signal};
    CDemoPeer m_server{false, kSeedServerToClient, kSeedClientToServer, &m_signal};
    std::unique_ptr<qrntest::CTcpRelay> m_relay;
    std::unique_ptr<qrntest::CUdpRelay> m_udp_relay;
    CTunnelProcess m_tunnel;
};

void PrintTable(const std::vector<SDemoRow> &rows) {
    printf("\n%-8s %14s %14s %12s %11s %12s  %s\n", "mode", "client->server",
           "server->client", "throughput", "round trip", "resumptions", "result");
    for (const SDemoRow &row : rows) {
        double total_mb = (row.client_to_server + row.server_to_client) / kMiB;
        double rate = row.seconds > 0 ? total_mb / row.seconds : 0;
        printf("%-8s %10.1f MiB %10.1f MiB %6.1f MiB/s %8.3f ms %12d  %s\n", row.mode.c_str(),
               row.client_to_server / kMiB, row.server_to_client / kMiB, rate, row.rtt_ms,
               row.resumptions, row.result.c_str());
    }
}

// qrntunnel is built beside qrndemo.
std::string DefaultTunnelPath() {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0) return "qrntunnel";
    std::string path(self, static_cast<size_t>(n));
    return path.substr(0, path.rfind('/') + 1) + "qrntunnel";
}

bool ParseArgs(int argc, char **argv, int *megabytes, const char **trace, std::string *tunnel, int *udp_rate) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--mb" && i + 1 < argc) {
            *megabytes = atoi(argv[++i]);
            if (*megabytes < 1 || *megabytes > kMaxMegabytes) return false;
        } else if (arg == "--trace" && i + 1 < argc) {
            *trace = argv[++i];
        } else if (arg == "--tunnel" && i + 1 < argc) {
            *tunnel = argv[++i];
        } else if (arg == "--udp-rate" && i + 1 < argc) {
            *udp_rate = atoi(argv[++i]);
            if (*udp_rate < 1 || *udp_rate > kMaxUdpRateMbit) return false;
        } else {
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    int megabytes = kDefaultMegabytes;
    const char *trace = nullptr;
    std::string tunnel = DefaultTunnelPath();
    int udp_rate = 0;
    if (!ParseArgs(argc, argv, &megabytes, &trace, &tunnel, &udp_rate)) {
        fprintf(stderr, "usage: qrndemo [--mb MiB (1..%d)] [--trace FILE] [--tunnel PATH] [--udp-rate MBIT (1..%d)]\n",
                kMaxMegabytes, kMaxUdpRateMbit);
        return 2;
    }
    if (trace && qrn_trace_open(trace) != 0) {
        fprintf(stderr, "qrndemo: cannot open the trace file %s\n", trace);
        return 2;
    }
    if (qrn_tp_init() != QRN_TP_OK) {
        fprintf(stderr, "qrndemo: cannot start the library\n");
        return 1;
    }
    if (udp_rate != 0 && qrn_tp_option(0, QRN_TP_OPT_UDP_RATE, static_cast<uintptr_t>(udp_rate)) != QRN_TP_OK) {
        fprintf(stderr, "qrndemo: cannot set the UDP rate\n");
        return 1;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    uint64_t bulk = static_cast<uint64_t>(megabytes) << 20;
    printf("qrndemo: %d MiB each way, %d pings of %zu bytes, one cut of the TCP path per mode,"
           " UDP blocked once in the race\n",
           megabytes, kPings, kPingSize);

    std::vector<SDemoRow> rows;
    // Each run's peers stay alive until the process ends: the library may still deliver a
    // late event for a connection that has finished.
    rows.push_back((new CDemoRun("TCP", bulk))->RunMode(false, true));
    const uint64_t udp_bulk = udp_rate != 0 ? bulk : std::min(bulk, kMaxUdpBulk);
    rows.push_back((new CDemoRun("UDP", udp_bulk))->RunMode(true, false));
    rows.push_back((new CDemoRun("TCP+UDP", bulk))->RunMode(true, true));
    rows.push_back((new CDemoRun("HTTP", bulk))->RunTunnel(tunnel));
    // A third of it crosses UDP before the block, the rest TCP.
    rows.push_back((new CDemoRun("RACE", udp_bulk))->RunRace(tunnel));

    PrintTable(rows);
    bool ok = std::all_of(rows.begin(), rows.end(), [](const SDemoRow &r) { return r.ok; });
    fflush(stdout);
    qrn_trace_close();
    std::_Exit(ok ? 0 : 1);
}
