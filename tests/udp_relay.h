// A lossy UDP forwarding relay for tests and benchmarks. It listens on one address and carries
// datagrams between its clients and one target. Each client (by source address) gets its own
// upstream socket, so the target sees one address per client and its answers find their way
// back. Datagrams in both directions are dropped with probability drop; the others are held for
// delay_ms plus up to jitter_ms, and with probability reorder held back further, so that the
// datagrams that follow soon after overtake them. The random draws come from one generator
// seeded with seed, so a given sequence of datagrams meets the same fate in every run.
// One thread does all the work; the destructor stops and joins it.
#ifndef QRN_TESTS_UDP_RELAY_H
#define QRN_TESTS_UDP_RELAY_H

#include <stdint.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

namespace qrntest {

struct UdpRelayConfig {
    double drop = 0;     // probability that a datagram is dropped
    double reorder = 0;  // probability that a datagram is held back behind later ones
    int delay_ms = 0;    // fixed hold of every datagram
    int jitter_ms = 0;   // uniform extra hold, 0 to jitter_ms
    uint32_t seed = 1;
};

class CUdpRelay {
public:
    CUdpRelay(uint16_t target_port, const UdpRelayConfig &config,
              const char *listen_ip = "127.0.0.1", const char *target_ip = "127.0.0.1");
    ~CUdpRelay();
    CUdpRelay(const CUdpRelay &) = delete;
    CUdpRelay &operator=(const CUdpRelay &) = delete;

    // Where clients send; 0 when the relay could not start.
    uint16_t port() const { return m_port; }
    // Takes effect for the next datagram that arrives; the random sequence goes on.
    void SetConfig(const UdpRelayConfig &config);
    uint64_t forwarded() const { return m_forwarded.load(); }
    uint64_t dropped() const { return m_dropped.load(); }

private:
    class CEngine;
    void Run();

    uint16_t m_port = 0;
    std::mutex m_config_mutex;
    UdpRelayConfig m_config;
    bool m_config_changed = false;
    std::atomic<uint64_t> m_forwarded{0};
    std::atomic<uint64_t> m_dropped{0};
    std::unique_ptr<CEngine> m_engine;  // the relay thread's alone once it runs
    int m_wake[2] = {-1, -1};     // a pipe that stops the thread
    std::thread m_thread;
};

}  // namespace qrntest

#endif
