// Hole punching's address and rate rules. The per-source counts start afresh every window, so
// their table holds at most the sources of one window; the forwards awaiting a response2 are
// kept in the order they were made and dropped once too old.
#include "udprlb/udprlb_relay.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

#include "qrnlibl/qrn_time.h"
#include "qrnlibl/qrn_trace.h"
#include "socket/sockcli.h"
#include "udprlb/udprlb_defs.h"
#include "udprlb/udprlb_module.h"

using namespace urlb;

namespace {

constexpr uint32_t kNetworkShift = 24;
constexpr uint32_t kThisNetwork = 0x00;   // 0.0.0.0/8
constexpr uint32_t kLoopbackNet = 0x7f;   // 127.0.0.0/8
constexpr uint32_t kClassShift = 28;
constexpr uint32_t kMulticastClass = 0xe;  // 224.0.0.0/4
constexpr uint32_t kReservedClass = 0xf;   // 240.0.0.0/4, with the broadcast address
constexpr uint16_t kNoPort = 0;

bool IsLoopback(uint32_t ip) { return ip >> kNetworkShift == kLoopbackNet; }

struct CPending {
    uint32_t dest_ip;
    uint32_t client_ip;
    uint16_t client_port;
    uint16_t app_id;
    uint32_t tick;
};

class CRelay {
public:
    void SetEnabled(bool enabled) { m_enabled.store(enabled, std::memory_order_release); }
    bool Enabled() const { return m_enabled.load(std::memory_order_acquire); }

    void AddOwnPort(uint16_t port) {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (std::find(m_own_ports.begin(), m_own_ports.end(), port) == m_own_ports.end()) m_own_ports.push_back(port);
    }

    bool AdmitForward(const ws::sockaddr_in *requester, const CUdpRlbDigHole &request) {
        const uint32_t from = VSOCK::get_address_ip(requester);
        if (!Enabled()) return Refuse("relay role off", from, request);
        if (!PeerAddress(from, request.ip, request.port)) return Refuse("forbidden target", from, request);
        if (OwnSocket(request.ip, request.port)) return Refuse("target is this endpoint", from, request);
        std::lock_guard<std::mutex> guard(m_mutex);
        const uint32_t now = get_tick_count();
        if (!TakeTurn(from, now)) return Refuse("rate exceeded", from, request);
        DropOldPending(now);
        if (static_cast<int>(m_pending.size()) >= kMaxRelayPending) m_pending.pop_front();
        m_pending.push_back(CPending{request.ip, from, VSOCK::get_address_port(requester), request.app_id, now});
        udprlb_counters().relay_forwarded.fetch_add(1, std::memory_order_relaxed);
        return true;
    }

    bool AdmitResponse(const ws::sockaddr_in *destination, const CUdpRlbDigHole &response2) {
        const uint32_t from = VSOCK::get_address_ip(destination);
        std::lock_guard<std::mutex> guard(m_mutex);
        DropOldPending(get_tick_count());
        for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
            if (it->dest_ip == from && it->client_ip == response2.ip && it->client_port == response2.port &&
                it->app_id == response2.app_id) {
                m_pending.erase(it);
                return true;
            }
        }
        return Refuse("response2 for no forward", from, response2);
    }

    bool AdmitTest(const ws::sockaddr_in *sender, const CUdpRlbDigHole &forward) {
        const uint32_t from = VSOCK::get_address_ip(sender);
        if (!PeerAddress(from, forward.ip, forward.port)) return Refuse("forbidden test target", from, forward);
        std::lock_guard<std::mutex> guard(m_mutex);
        if (!TakeTurn(from, get_tick_count())) return Refuse("rate exceeded", from, forward);
        return true;
    }

private:
    static bool Refuse(const char *why, uint32_t from, const CUdpRlbDigHole &pdu) {
        qrn_trace_text("qrn_udprlb_callback, hole punching refused, (why, from, addr, port)=", why, from, pdu.ip,
                       pdu.port);
        udprlb_counters().relay_refused.fetch_add(1, std::memory_order_relaxed);
        return false;
    }

    // An address that a peer can have, as seen from a requester at from.
    static bool PeerAddress(uint32_t from, uint32_t ip, uint16_t port) {
        if (port == kNoPort || ip >> kNetworkShift == kThisNetwork) return false;
        const uint32_t address_class = ip >> kClassShift;
        if (address_class == kMulticastClass || address_class == kReservedClass) return false;
        return !IsLoopback(ip) || IsLoopback(from);
    }

    // One of this endpoint's sockets: a port of its own at a loopback or local address (the
    // route to a local address leaves from that address itself).
    bool OwnSocket(uint32_t ip, uint16_t port) {
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            if (std::find(m_own_ports.begin(), m_own_ports.end(), port) == m_own_ports.end()) return false;
        }
        return IsLoopback(ip) || VSOCK::get_local_ip(ip) == ip;
    }

    // Counts one use by from in the current window; false when its share is spent. Under
    // m_mutex.
    bool TakeTurn(uint32_t from, uint32_t now) {
        if (calc_tick_diff(m_window_start, now) >= kRelayWindow) {
            m_window_start = now;
            m_turns.clear();
        }
        auto it = m_turns.find(from);
        if (it == m_turns.end()) {
            if (static_cast<int>(m_turns.size()) >= kMaxRelaySources) return false;
            it = m_turns.emplace(from, 0).first;
        }
        if (it->second >= kMaxForwardsPerSource) return false;
        ++it->second;
        return true;
    }

    void DropOldPending(uint32_t now) {
        while (!m_pending.empty() && calc_tick_diff(m_pending.front().tick, now) > kRelayPendingLifetime) {
            m_pending.pop_front();
        }
    }

    std::atomic<bool> m_enabled{true};
    std::mutex m_mutex;
    std::vector<uint16_t> m_own_ports;
    uint32_t m_window_start = 0;
    std::unordered_map<uint32_t, int> m_turns;
    std::deque<CPending> m_pending;
};

// Never destroyed, as the rest of the layer's state.
CRelay &Relay() {
    alignas(CRelay) static unsigned char storage[sizeof(CRelay)];
    static CRelay *const relay = new (storage) CRelay();
    return *relay;
}

}  // namespace

void udprlb_relay_set_enabled(bool enabled) {
    qrn_trace_text("udprlb_relay_set_enabled, enabled=", enabled ? 1 : 0);
    Relay().SetEnabled(enabled);
}

bool udprlb_relay_enabled() { return Relay().Enabled(); }

void udprlb_relay_add_own_port(uint16_t port) { Relay().AddOwnPort(port); }

bool udprlb_relay_admit_forward(const ws::sockaddr_in *requester, const CUdpRlbDigHole &request) {
    return Relay().AdmitForward(requester, request);
}

bool udprlb_relay_admit_response(const ws::sockaddr_in *destination, const CUdpRlbDigHole &response2) {
    return Relay().AdmitResponse(destination, response2);
}

bool udprlb_relay_admit_test(const ws::sockaddr_in *sender, const CUdpRlbDigHole &forward) {
    return Relay().AdmitTest(sender, forward);
}
