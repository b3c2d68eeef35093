// udp_bench: the reliable-UDP layer against ENet on loopback, measured in the same run.
//
//   (a) goodput of one reliable connection from a cold start, and for the layer the time its
//       rate control takes to reach its cap (option 10, read once a second);
//   (b) goodput at 2 % and 5 % loss, through the tests' lossy relay (both directions);
//   (c) round trip of a 64-byte ping-pong on the reliable stream: median and 99th percentile.
//
// Goodput counts the bytes that the receiving application read. Each server runs in a child
// process of its own; the parent is the client and holds the relay. The first byte of a
// udprlb connection (the connect data of an ENet connection) names the run, so the servers
// count every run's bytes apart, in memory shared with the parent.
//
//   udp_bench [--cold SECONDS] [--loss SECONDS] [--pings N] [--quick] [--only udprlb|enet]
#include <enet/enet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_stats.h"
#include "udp_relay.h"
#include "udprlb/udprlb.h"
#include "udprlb/udprlb_defs.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char *kLoopback = "127.0.0.1";
constexpr size_t kPingSize = 64;
constexpr int kSendChunk = 65536;
constexpr int kEnetChunk = 4096;
constexpr size_t kEnetInFlight = 512 * 1024;  // bytes handed to ENet and not yet acknowledged
constexpr int kEnetPeers = 32;
constexpr int kEnetServiceMs = 1;
constexpr int kEnetServerServiceMs = 100;
constexpr auto kConnectLimit = std::chrono::seconds(15);
constexpr auto kPongLimit = std::chrono::seconds(10);
// Pings are spaced as a real-time application spaces its messages, so that the round trip
// is measured, not the sender's rate limit (a tight loop of pings would use up its budget).
constexpr auto kPingGap = std::chrono::milliseconds(1);
constexpr auto kWritableWait = std::chrono::milliseconds(20);
constexpr auto kSampleEvery = std::chrono::seconds(1);
constexpr uint32_t kRateCap = urlb::kMaxSlotBudget * urlb::kSlotsPerSecond;  // 2048000 B/s
constexpr double kLossLow = 0.02;
constexpr double kLossHigh = 0.05;
constexpr double kKilo = 1000.0;

// Runs, as named to the servers.
enum ERun : uint8_t {
    kRunUdpClean, kRunUdpLossLow, kRunUdpLossHigh,
    kRunEnetClean, kRunEnetLossLow, kRunEnetLossHigh,
    kRunCount,
    kRunPing = 15,  // echoed, not counted
};

// Bytes read by the servers' applications, per run; shared with the child processes.
struct SShared {
    std::atomic<uint64_t> delivered[kRunCount];
};
SShared *g_shared = nullptr;
int g_loss_seconds = 0;  // the length of a loss run, for the clean run's figure of the same length

struct SConfig {
    int cold_seconds = 60;
    int loss_seconds = 20;
    int pings = 2000;
    std::string only;  // "udprlb" or "enet" to measure one side alone
};

struct SGoodput {
    double bytes_per_s = 0;
    double last10_bytes_per_s = 0;  // over the last ten seconds (cold start only)
    double first_bytes_per_s = 0;   // over as many first seconds as a loss run lasts (cold start only)
    int seconds_to_cap = -1;        // udprlb only: first second at which option 10 read the cap
    std::vector<uint32_t> rate;     // udprlb only: option 10, once a second
    uint64_t relay_dropped = 0;
    uint64_t relay_forwarded = 0;
};

double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

[[noreturn]] void Die(const char *what) {
    fprintf(stderr, "udp_bench: %s\n", what);
    exit(1);
}

// Samples the delivered count once a second during a run, for the last-ten-seconds figure.
class CDeliverySampler {
public:
    explicit CDeliverySampler(ERun run) : m_run(run) { m_samples.push_back(Delivered()); }
    uint64_t Delivered() const { return g_shared->delivered[m_run].load(); }
    void Sample() { m_samples.push_back(Delivered()); }
    // Over the first seconds of the run: a loss run of that length, also from a cold start,
    // compares with this.
    double FirstPerSecond(size_t seconds) const {
        size_t span = std::min(seconds, m_samples.size() - 1);
        if (span == 0) return 0;
        return static_cast<double>(m_samples[span] - m_samples[0]) / static_cast<double>(span);
    }
    double Last10PerSecond() const {
        size_t n = m_samples.size();
        size_t span = std::min<size_t>(10, n - 1);
        if (span == 0) return 0;
        return static_cast<double>(m_samples[n - 1] - m_samples[n - 1 - span]) / static_cast<double>(span);
    }

private:
    ERun m_run;
    std::vector<uint64_t> m_samples;
};

// ---- the reliable-UDP layer ----------------------------------------------------------------

// The layer's server: counts what each connection delivers, or echoes it back for kRunPing.
// Every event of it arrives on the socket thread.
class CUdpServer {
public:
    static int Callback(uintptr_t user, int msg, uintptr_t handle, uintptr_t p1, uintptr_t p2,
                        uintptr_t p3) {
        auto *self = reinterpret_cast<CUdpServer *>(user);
        int h = static_cast<int>(handle);
        if (msg == urlb::kEventData && p2 == urlb::kDataReliable) self->OnReadable(h);
        else if (msg == urlb::kEventClosed) self->m_runs.erase(h);
        return 0;
    }

private:
    void OnReadable(int h) {
        auto it = m_runs.emplace(h, -1).first;
        int n;
        while ((n = qrn_udprlb_recv(h, m_buf.data(), static_cast<int>(m_buf.size()), 0)) > 0) {
            int skip = 0;
            if (it->second < 0) {
                it->second = m_buf[0];
                skip = 1;
            }
            if (it->second == kRunPing) qrn_udprlb_send(h, m_buf.data() + skip, n - skip, 0);
            else if (it->second < kRunCount) g_shared->delivered[it->second] += static_cast<uint64_t>(n - skip);
        }
    }

    std::map<int, int> m_runs;  // handle to run, -1 until the first byte
    std::vector<uint8_t> m_buf = std::vector<uint8_t>(kSendChunk);
};

[[noreturn]] void UdpServer(uint16_t port, int ready_fd) {
    static CUdpServer server;
    char ok = qrn_udprlb_listen(kLoopback, port, &CUdpServer::Callback,
                                reinterpret_cast<uintptr_t>(&server)) == 0;
    if (write(ready_fd, &ok, 1) != 1 || !ok) _exit(1);
    for (;;) pause();  // the parent ends this process
}

// The layer's client side of one connection.
class CUdpClient {
public:
    static int Callback(uintptr_t user, int msg, uintptr_t handle, uintptr_t p1, uintptr_t p2,
                        uintptr_t p3) {
        auto *self = reinterpret_cast<CUdpClient *>(user);
        if (msg == urlb::kEventConnectDone) self->OnConnectDone(static_cast<int>(p1));
        else if (msg == urlb::kEventWritable) self->OnWritable();
        else if (msg == urlb::kEventData && p2 == urlb::kDataReliable) self->OnReadable();
        return 0;
    }

    void Connect(uint16_t port, ERun run) {
        m_handle = qrn_udprlb_connect(kLoopback, port, nullptr, 0, &Callback, reinterpret_cast<uintptr_t>(this));
        if (m_handle <= 0) Die("qrn_udprlb_connect");
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_cond.wait_for(lock, kConnectLimit, [&] { return m_result >= 0; }) || m_result != urlb::kConnectOk)
            Die("the layer's connect failed");
        lock.unlock();
        uint8_t marker = run;
        if (qrn_udprlb_send(m_handle, &marker, 1, 0) != 1) Die("the layer's first byte");
    }

    void Close() { qrn_udprlb_close(m_handle); }

    uint32_t Option(int option) {
        uint32_t value = 0;
        qrn_udprlb_option(m_handle, option, reinterpret_cast<uintptr_t>(&value));
        return value;
    }

    // Sends as fast as the layer takes bytes, for seconds; once a second, calls sample.
    template <class Sample>
    void Pump(int seconds, Sample sample) {
        static const std::vector<uint8_t> chunk(kSendChunk, 'x');
        auto start = Clock::now();
        auto end = start + std::chrono::seconds(seconds);
        auto next_sample = start + kSampleEvery;
        while (Clock::now() < end) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_writable = false;
            }
            int n = qrn_udprlb_send(m_handle, chunk.data(), kSendChunk, 0);
            if (n < 0) Die("qrn_udprlb_send");
            if (n < kSendChunk) {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_cond.wait_for(lock, kWritableWait, [&] { return m_writable; });
            }
            while (Clock::now() >= next_sample) {
                sample();
                next_sample += kSampleEvery;
            }
        }
    }

    SLatency Ping(int pings) {
        std::vector<double> samples;
        samples.reserve(static_cast<size_t>(pings));
        uint8_t ping[kPingSize] = {};
        for (int i = 0; i < pings; ++i) {
            std::this_thread::sleep_for(kPingGap);
            auto start = Clock::now();
            SendAll(ping, kPingSize);
            std::unique_lock<std::mutex> lock(m_mutex);
            uint64_t want = static_cast<uint64_t>(i + 1) * kPingSize;
            if (!m_cond.wait_for(lock, kPongLimit, [&] { return m_received >= want; })) Die("the layer's pong");
            // Taken where the pong reached the application (its callback), as ENet's figure is
            // taken where enet_host_service hands it over: the wake-up of this waiting thread
            // is the benchmark's, not the library's.
            samples.push_back(std::chrono::duration<double, std::micro>(m_pong_at - start).count());
        }
        return Summarise(std::move(samples));
    }

private:
    // Sends len bytes, waiting for room when the layer takes less (its budget per send slot
    // is spent, or its window is full).
    void SendAll(const uint8_t *data, int len) {
        auto deadline = Clock::now() + kPongLimit;
        while (len > 0) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_writable = false;
            }
            int n = qrn_udprlb_send(m_handle, data, len, 0);
            if (n < 0 || Clock::now() > deadline) Die("the layer's ping");
            data += n;
            len -= n;
            if (len > 0) {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_cond.wait_for(lock, kWritableWait, [&] { return m_writable; });
            }
        }
    }

    void OnConnectDone(int result) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_result = result;
        m_cond.notify_all();
    }

    void OnWritable() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_writable = true;
        m_cond.notify_all();
    }

    void OnReadable() {
        uint8_t buf[kPingSize * 4];
        int n;
        while ((n = qrn_udprlb_recv(m_handle, buf, sizeof(buf), 0)) > 0) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_pong_at = Clock::now();
            m_received += static_cast<uint64_t>(n);
            m_cond.notify_all();
        }
    }

    int m_handle = 0;
    std::mutex m_mutex;
    std::condition_variable m_cond;
    int m_result = -1;
    bool m_writable = false;
    uint64_t m_received = 0;
    Clock::time_point m_pong_at;
};

// Never freed: after qrn_udprlb_close, a callback that had already begun on a layer thread
// may still be running.
CUdpClient *NewUdpClient(uint16_t port, ERun run) {
    auto *client = new CUdpClient;
    client->Connect(port, run);
    return client;
}

SGoodput UdpGoodput(uint16_t port, ERun run, int seconds, bool track_rate) {
    SGoodput out;
    CUdpClient *client = NewUdpClient(port, run);
    CDeliverySampler delivered(run);
    auto start = Clock::now();
    client->Pump(seconds, [&] {
        delivered.Sample();
        if (!track_rate) return;
        uint32_t rate = client->Option(urlb::kOptBandwidth);
        out.rate.push_back(rate);
        if (out.seconds_to_cap < 0 && rate >= kRateCap) out.seconds_to_cap = static_cast<int>(out.rate.size());
    });
    out.bytes_per_s = static_cast<double>(delivered.Delivered()) / SecondsSince(start);
    out.last10_bytes_per_s = delivered.Last10PerSecond();
    out.first_bytes_per_s = delivered.FirstPerSecond(static_cast<size_t>(g_loss_seconds));
    client->Close();
    return out;
}

SGoodput UdpLossy(uint16_t port, ERun run, int seconds, double drop) {
    qrntest::UdpRelayConfig config;
    config.drop = drop;
    qrntest::CUdpRelay relay(port, config);
    SGoodput out = UdpGoodput(relay.port(), run, seconds, false);
    out.relay_dropped = relay.dropped();
    out.relay_forwarded = relay.forwarded();
    return out;
}

SLatency UdpRoundTrip(uint16_t port, int pings) {
    CUdpClient *client = NewUdpClient(port, kRunPing);
    SLatency out = client->Ping(pings);
    client->Close();
    return out;
}

// ---- ENet ----------------------------------------------------------------------------------

ENetAddress EnetAddress(uint16_t port) {
    ENetAddress address{};
    if (enet_address_set_host_ip(&address, kLoopback) != 0) Die("enet_address_set_host_ip");
    address.port = port;
    return address;
}

// ENet's server: counts what each peer delivers, or echoes it back for kRunPing.
[[noreturn]] void EnetServer(uint16_t port, int ready_fd) {
    ENetAddress address = EnetAddress(port);
    ENetHost *host = enet_initialize() == 0 ? enet_host_create(&address, kEnetPeers, 1, 0, 0) : nullptr;
    char ok = host != nullptr;
    if (write(ready_fd, &ok, 1) != 1 || !ok) _exit(1);
    for (;;) {
        ENetEvent event;
        while (enet_host_service(host, &event, kEnetServerServiceMs) > 0) {
            if (event.type == ENET_EVENT_TYPE_CONNECT) {
                event.peer->data = reinterpret_cast<void *>(static_cast<uintptr_t>(event.data));
            } else if (event.type == ENET_EVENT_TYPE_RECEIVE) {
                auto run = reinterpret_cast<uintptr_t>(event.peer->data);
                ENetPacket *packet = event.packet;
                if (run == kRunPing) {
                    enet_peer_send(event.peer, 0,
                                   enet_packet_create(packet->data, packet->dataLength, ENET_PACKET_FLAG_RELIABLE));
                    enet_host_flush(host);
                } else if (run < kRunCount) {
                    g_shared->delivered[run] += packet->dataLength;
                }
                enet_packet_destroy(packet);
            }
        }
    }
}

// ENet's client side of one connection, driven from this thread alone.
class CEnetClient {
public:
    CEnetClient(uint16_t port, ERun run) {
        m_host = enet_host_create(nullptr, 1, 1, 0, 0);
        if (!m_host) Die("enet_host_create");
        ENetAddress address = EnetAddress(port);
        m_peer = enet_host_connect(m_host, &address, 1, run);
        if (!m_peer) Die("enet_host_connect");
        auto deadline = Clock::now() + kConnectLimit;
        ENetEvent event;
        while (Clock::now() < deadline) {
            if (enet_host_service(m_host, &event, kEnetServiceMs) > 0 && event.type == ENET_EVENT_TYPE_CONNECT)
                return;
        }
        Die("ENet's connect failed");
    }

    ~CEnetClient() {
        enet_peer_disconnect_now(m_peer, 0);
        enet_host_destroy(m_host);
    }

    CEnetClient(const CEnetClient &) = delete;
    CEnetClient &operator=(const CEnetClient &) = delete;

    // Keeps kEnetInFlight bytes queued for seconds; once a second, calls sample.
    template <class Sample>
    void Pump(int seconds, Sample sample) {
        static const std::vector<uint8_t> chunk(kEnetChunk, 'x');
        auto start = Clock::now();
        auto end = start + std::chrono::seconds(seconds);
        auto next_sample = start + kSampleEvery;
        while (Clock::now() < end) {
            while (m_in_flight < kEnetInFlight) Send(chunk.data(), chunk.size());
            Service();
            while (Clock::now() >= next_sample) {
                sample();
                next_sample += kSampleEvery;
            }
        }
    }

    SLatency Ping(int pings) {
        std::vector<double> samples;
        samples.reserve(static_cast<size_t>(pings));
        uint8_t ping[kPingSize] = {};
        for (int i = 0; i < pings; ++i) {
            std::this_thread::sleep_for(kPingGap);
            auto start = Clock::now();
            auto deadline = start + kPongLimit;
            uint64_t want = m_received + kPingSize;
            Send(ping, sizeof(ping));
            enet_host_flush(m_host);
            while (m_received < want) {
                if (Clock::now() > deadline) Die("ENet's pong");
                Service();
            }
            samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
        }
        return Summarise(std::move(samples));
    }

private:
    static void OnPacketFree(ENetPacket *packet) {
        static_cast<CEnetClient *>(packet->userData)->m_in_flight -= packet->dataLength;
    }

    void Send(const void *data, size_t len) {
        ENetPacket *packet = enet_packet_create(data, len, ENET_PACKET_FLAG_RELIABLE);
        if (!packet) Die("enet_packet_create");
        packet->userData = this;
        packet->freeCallback = &OnPacketFree;
        m_in_flight += len;
        if (enet_peer_send(m_peer, 0, packet) != 0) {
            enet_packet_destroy(packet);
            Die("enet_peer_send");
        }
    }

    void Service() {
        ENetEvent event;
        if (enet_host_service(m_host, &event, kEnetServiceMs) <= 0) return;
        if (event.type == ENET_EVENT_TYPE_DISCONNECT) Die("ENet's connection dropped");
        if (event.type == ENET_EVENT_TYPE_RECEIVE) {
            m_received += event.packet->dataLength;
            enet_packet_destroy(event.packet);
        }
    }

    ENetHost *m_host = nullptr;
    ENetPeer *m_peer = nullptr;
    size_t m_in_flight = 0;
    uint64_t m_received = 0;
};

SGoodput EnetGoodput(uint16_t port, ERun run, int seconds) {
    SGoodput out;
    CEnetClient client(port, run);
    CDeliverySampler delivered(run);
    auto start = Clock::now();
    client.Pump(seconds, [&] { delivered.Sample(); });
    out.bytes_per_s = static_cast<double>(delivered.Delivered()) / SecondsSince(start);
    out.last10_bytes_per_s = delivered.Last10PerSecond();
    out.first_bytes_per_s = delivered.FirstPerSecond(static_cast<size_t>(g_loss_seconds));
    return out;
}

SGoodput EnetLossy(uint16_t port, ERun run, int seconds, double drop) {
    qrntest::UdpRelayConfig config;
    config.drop = drop;
    qrntest::CUdpRelay relay(port, config);
    SGoodput out = EnetGoodput(relay.port(), run, seconds);
    out.relay_dropped = relay.dropped();
    out.relay_forwarded = relay.forwarded();
    return out;
}

SLatency EnetRoundTrip(uint16_t port, int pings) {
    CEnetClient client(port, kRunPing);
    return client.Ping(pings);
}

// ---- the run -----------------------------------------------------------------------------

// A UDP port on the loopback address that was free a moment ago.
uint16_t FreeUdpPort() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        Die("no free UDP port");
    close(fd);
    return ntohs(a.sin_port);
}

struct SSide {
    SGoodput clean, loss_low, loss_high;
    SLatency rtt;
    bool measured = false;
};

pid_t Spawn(void (*serve)(uint16_t, int), uint16_t port) {
    int ready[2];
    if (pipe(ready) != 0) Die("pipe");
    pid_t pid = fork();
    if (pid < 0) Die("fork");
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);  // a server never outlives the benchmark
        close(ready[0]);
        serve(port, ready[1]);
    }
    close(ready[1]);
    char ok = 0;
    if (read(ready[0], &ok, 1) != 1 || !ok) Die("a server did not start");
    close(ready[0]);
    return pid;
}

bool ParseArgs(int argc, char **argv, SConfig *cfg) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--quick") {
            cfg->cold_seconds = 10;
            cfg->loss_seconds = 5;
            cfg->pings = 500;
            continue;
        }
        if (i + 1 >= argc) return false;
        std::string value = argv[++i];
        long v = atol(value.c_str());
        if (arg == "--cold" && v >= 2 && v <= 3600) cfg->cold_seconds = static_cast<int>(v);
        else if (arg == "--loss" && v >= 2 && v <= 3600) cfg->loss_seconds = static_cast<int>(v);
        else if (arg == "--pings" && v >= 1 && v <= 1000000) cfg->pings = static_cast<int>(v);
        else if (arg == "--only" && (value == "udprlb" || value == "enet")) cfg->only = value;
        else return false;
    }
    return true;
}

void MeasureUdp(const SConfig &cfg, uint16_t port, SSide *out) {
    out->clean = UdpGoodput(port, kRunUdpClean, cfg.cold_seconds, true);
    out->loss_low = UdpLossy(port, kRunUdpLossLow, cfg.loss_seconds, kLossLow);
    out->loss_high = UdpLossy(port, kRunUdpLossHigh, cfg.loss_seconds, kLossHigh);
    out->rtt = UdpRoundTrip(port, cfg.pings);
    out->measured = true;
}

void MeasureEnet(const SConfig &cfg, uint16_t port, SSide *out) {
    out->clean = EnetGoodput(port, kRunEnetClean, cfg.cold_seconds);
    out->loss_low = EnetLossy(port, kRunEnetLossLow, cfg.loss_seconds, kLossLow);
    out->loss_high = EnetLossy(port, kRunEnetLossHigh, cfg.loss_seconds, kLossHigh);
    out->rtt = EnetRoundTrip(port, cfg.pings);
    out->measured = true;
}

void PrintRow(const char *label, const SSide &udp, const SSide &enet, double (*get)(const SSide &),
              const char *unit) {
    printf("  %-34s", label);
    for (const SSide *side : {&udp, &enet}) {
        if (side->measured) printf(" %12.1f %-5s", get(*side), unit);
        else printf(" %12s %-5s", "-", "");
    }
    printf("\n");
}

// A loss run's goodput as a share of the clean run's over the same time from a cold start.
double Share(const SGoodput &lossy, const SGoodput &clean) {
    return clean.first_bytes_per_s > 0 ? 100.0 * lossy.bytes_per_s / clean.first_bytes_per_s : 0;
}

void PrintRamp(const SGoodput &clean) {
    printf("\n  udprlb rate (option 10) every 5 s, kB/s:");
    for (size_t i = 4; i < clean.rate.size(); i += 5) printf(" %.0f", clean.rate[i] / kKilo);
    printf("\n  udprlb reached the cap of %u B/s ", kRateCap);
    if (clean.seconds_to_cap >= 0) printf("after %d s\n", clean.seconds_to_cap);
    else printf("not within the run\n");
}

void PrintRelay(const char *label, const SGoodput &g) {
    if (g.relay_forwarded + g.relay_dropped == 0) return;
    printf("  relay, %s: %llu datagrams forwarded, %llu dropped (%.1f %%)\n", label,
           static_cast<unsigned long long>(g.relay_forwarded), static_cast<unsigned long long>(g.relay_dropped),
           100.0 * static_cast<double>(g.relay_dropped) / static_cast<double>(g.relay_forwarded + g.relay_dropped));
}

void PrintResults(const SConfig &cfg, const SSide &udp, const SSide &enet) {
    printf("\n  %-34s %18s %18s\n", "", "udprlb", "ENet");
    char label[64];
    snprintf(label, sizeof(label), "goodput, clean, %d s cold start", cfg.cold_seconds);
    PrintRow(label, udp, enet, [](const SSide &s) { return s.clean.bytes_per_s / kKilo; }, "kB/s");
    PrintRow("  of which the last 10 s", udp, enet, [](const SSide &s) { return s.clean.last10_bytes_per_s / kKilo; },
             "kB/s");
    snprintf(label, sizeof(label), "  of which the first %d s", cfg.loss_seconds);
    PrintRow(label, udp, enet, [](const SSide &s) { return s.clean.first_bytes_per_s / kKilo; }, "kB/s");
    snprintf(label, sizeof(label), "goodput, 2 %% loss, %d s", cfg.loss_seconds);
    PrintRow(label, udp, enet, [](const SSide &s) { return s.loss_low.bytes_per_s / kKilo; }, "kB/s");
    PrintRow("  share of clean, same time", udp, enet,
             [](const SSide &s) { return Share(s.loss_low, s.clean); }, "%");
    snprintf(label, sizeof(label), "goodput, 5 %% loss, %d s", cfg.loss_seconds);
    PrintRow(label, udp, enet, [](const SSide &s) { return s.loss_high.bytes_per_s / kKilo; }, "kB/s");
    PrintRow("  share of clean, same time", udp, enet,
             [](const SSide &s) { return Share(s.loss_high, s.clean); }, "%");
    snprintf(label, sizeof(label), "round trip, %zu bytes, median", kPingSize);
    PrintRow(label, udp, enet, [](const SSide &s) { return s.rtt.median_us; }, "us");
    PrintRow("round trip, 99th percentile", udp, enet, [](const SSide &s) { return s.rtt.p99_us; }, "us");
    if (udp.measured) PrintRamp(udp.clean);
    printf("\n");
    for (const auto &[name, side] : {std::make_pair("udprlb", &udp), std::make_pair("ENet", &enet)}) {
        if (!side->measured) continue;
        std::string l = std::string(name) + " at 2 %";
        PrintRelay(l.c_str(), side->loss_low);
        l = std::string(name) + " at 5 %";
        PrintRelay(l.c_str(), side->loss_high);
    }
}

}  // namespace

int main(int argc, char **argv) {
    SConfig cfg;
    if (!ParseArgs(argc, argv, &cfg)) {
        fprintf(stderr, "usage: udp_bench [--cold SECONDS] [--loss SECONDS] [--pings N] [--quick]"
                        " [--only udprlb|enet]\n");
        return 2;
    }
    void *shared = mmap(nullptr, sizeof(SShared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) Die("mmap");
    g_shared = new (shared) SShared();
    g_loss_seconds = cfg.loss_seconds;

    // The servers are forked before the layer starts any thread in this process.
    uint16_t udp_port = FreeUdpPort();
    pid_t udp_pid = Spawn(&UdpServer, udp_port);
    uint16_t enet_port = FreeUdpPort();
    pid_t enet_pid = Spawn(&EnetServer, enet_port);
    if (enet_initialize() != 0) Die("enet_initialize");

    printf("udp_bench: loopback, one reliable connection; %d s from a cold start, %d s at each loss"
           " rate (through a relay that drops both ways); %d round trips of %zu bytes\n",
           cfg.cold_seconds, cfg.loss_seconds, cfg.pings, kPingSize);
    fflush(stdout);
    SSide udp, enet;
    if (cfg.only != "enet") MeasureUdp(cfg, udp_port, &udp);
    if (cfg.only != "udprlb") MeasureEnet(cfg, enet_port, &enet);
    PrintResults(cfg, udp, enet);
    fflush(stdout);

    kill(udp_pid, SIGTERM);
    kill(enet_pid, SIGTERM);
    waitpid(udp_pid, nullptr, 0);
    waitpid(enet_pid, nullptr, 0);
    // The layer's threads run until the process ends.
    std::_Exit(0);
}
