// One party of the address translation test, run inside a network namespace:
//   nat_peer relay  <bind_ip> <port>
//       accepts connections and prints "PEER <ip> <port>" for each, as it saw the peer;
//   nat_peer server <relay_ip> <relay_port> <listen_port>
//       listens on every address at listen_port, connects from that same socket to the relay
//       (so that its translator keeps a mapping towards the relay), prints "REGISTERED" and
//       echoes the stream of every connection it accepts;
//   nat_peer client <server_ip> <server_port> <relay_ip|-> <relay_port> <local_port> <bytes> <clock_factor>
//       connects from local_port to the server (through the relay unless "-"), sends bytes of
//       random content on the stream and waits for the same bytes back: "ECHO OK" and exit 0.
// Every role ends by itself after kLifetimeMs at the latest.
#include <arpa/inet.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "nat_peer.h"
#include "qrnlibl/qrn_time.h"
#include "socket/sockcli.h"
#include "udprlb/udprlb.h"
#include "udprlb/udprlb_defs.h"

namespace {

using namespace natpeer;

constexpr int kChunk = 65536;

using Clock = std::chrono::steady_clock;

// What the callback learned, for the main thread to act on.
struct CState {
    std::mutex mutex;
    std::condition_variable changed;
    int connect_result = -1;     // p1 of event 2, -1 before it
    std::vector<int> accepted;   // handles of event 1, not yet handled
    std::vector<int> readable;   // handles of event 3 (stream), not yet read
    bool writable = false;
};

CState g_state;

int OnEvent(uintptr_t, int event, uintptr_t handle, uintptr_t p1, uintptr_t p2, uintptr_t) {
    std::lock_guard<std::mutex> guard(g_state.mutex);
    const int h = static_cast<int>(handle);
    switch (event) {
    case urlb::kEventAccepted: g_state.accepted.push_back(h); break;
    case urlb::kEventConnectDone: g_state.connect_result = static_cast<int>(p1); break;
    case urlb::kEventData:
        if (p2 == static_cast<uintptr_t>(urlb::kDataReliable)) g_state.readable.push_back(h);
        break;
    case urlb::kEventWritable: g_state.writable = true; break;
    default: break;
    }
    g_state.changed.notify_all();
    return 0;
}

void Say(const std::string &line) {
    printf("%s\n", line.c_str());
    fflush(stdout);
}

std::string Dotted(uint32_t ip) {
    in_addr a{};
    a.s_addr = htonl(ip);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, text, sizeof(text));
    return text;
}

// Waits until pred holds (under the state's lock) or the deadline passes.
template <class Pred>
bool WaitState(Clock::time_point deadline, Pred pred) {
    std::unique_lock<std::mutex> lock(g_state.mutex);
    return g_state.changed.wait_until(lock, deadline, [&] { return pred(); });
}

int ConnectResult() {
    std::lock_guard<std::mutex> guard(g_state.mutex);
    return g_state.connect_result;
}

Clock::time_point Deadline() { return Clock::now() + std::chrono::milliseconds(kLifetimeMs); }

// Sends all of data, waiting for room when the layer takes less. False on an error or when the
// deadline passes.
bool SendAll(int handle, const uint8_t *data, size_t len, Clock::time_point deadline) {
    size_t sent = 0;
    while (sent < len) {
        {
            std::lock_guard<std::mutex> guard(g_state.mutex);
            g_state.writable = false;
        }
        const int offer = static_cast<int>(std::min<size_t>(kChunk, len - sent));
        const int n = qrn_udprlb_send(handle, data + sent, offer, 0);
        if (n < 0) return false;
        sent += static_cast<size_t>(n);
        if (n < offer && !WaitState(deadline, [] { return g_state.writable; })) return false;
    }
    return true;
}

// Reads whatever the handles announced as readable since the last call.
std::vector<std::pair<int, std::vector<uint8_t>>> ReadAnnounced() {
    std::vector<int> handles;
    {
        std::lock_guard<std::mutex> guard(g_state.mutex);
        handles.swap(g_state.readable);
    }
    std::sort(handles.begin(), handles.end());
    handles.erase(std::unique(handles.begin(), handles.end()), handles.end());
    std::vector<std::pair<int, std::vector<uint8_t>>> out;
    std::vector<uint8_t> buffer(kChunk);
    for (int h : handles) {
        std::vector<uint8_t> got;
        int n;
        while ((n = qrn_udprlb_recv(h, buffer.data(), kChunk, 0)) > 0) got.insert(got.end(), buffer.begin(), buffer.begin() + n);
        if (!got.empty()) out.emplace_back(h, std::move(got));
    }
    return out;
}

int RunRelay(const char *bind_ip, int port) {
    if (qrn_udprlb_listen(bind_ip, port, &OnEvent, 0) != 0) return kExitSetup;
    Say(kSayReady);
    const auto deadline = Deadline();
    for (;;) {
        std::vector<int> accepted;
        if (!WaitState(deadline, [] { return !g_state.accepted.empty(); })) return kExitOk;
        {
            std::lock_guard<std::mutex> guard(g_state.mutex);
            accepted.swap(g_state.accepted);
        }
        for (int h : accepted) {
            uint32_t ip = 0;
            uint16_t peer_port = 0;
            qrn_udprlb_option(h, urlb::kOptPeerIp, reinterpret_cast<uintptr_t>(&ip));
            qrn_udprlb_option(h, urlb::kOptPeerPort, reinterpret_cast<uintptr_t>(&peer_port));
            Say(kSayPeer + Dotted(ip) + " " + std::to_string(peer_port));
        }
    }
}

int RunServer(const char *relay_ip, int relay_port, int listen_port) {
    if (qrn_udprlb_listen(nullptr, listen_port, &OnEvent, 0) != 0) return kExitSetup;
    if (qrn_udprlb_connect(relay_ip, relay_port, nullptr, 0, &OnEvent, 0) <= 0) return kExitSetup;
    const auto deadline = Deadline();
    if (!WaitState(deadline, [] { return g_state.connect_result >= 0; })) return kExitTimeout;
    if (ConnectResult() != urlb::kConnectOk) return kExitConnectFailed;
    Say(kSayRegistered);
    for (;;) {
        if (!WaitState(deadline, [] { return !g_state.readable.empty(); })) return kExitOk;
        for (const auto &piece : ReadAnnounced()) {
            if (!SendAll(piece.first, piece.second.data(), piece.second.size(), deadline)) return kExitTimeout;
        }
    }
}

int RunClient(char **args) {
    const char *server_ip = args[0];
    const int server_port = atoi(args[1]);
    const char *relay_ip = strcmp(args[2], "-") == 0 ? nullptr : args[2];
    const int relay_port = atoi(args[3]);
    const int local_port = atoi(args[4]);
    const size_t bytes = strtoul(args[5], nullptr, 10);
    qrn_clock_set_factor(static_cast<uint32_t>(atoi(args[6])));

    // Listening first makes local_port the port that the connect leaves from.
    if (qrn_udprlb_listen(nullptr, local_port, &OnEvent, 0) != 0) return kExitSetup;
    const int handle = qrn_udprlb_connect(server_ip, server_port, relay_ip, relay_port, &OnEvent, 0);
    if (handle <= 0) return kExitSetup;
    const auto deadline = Deadline();
    if (!WaitState(deadline, [] { return g_state.connect_result >= 0; })) return kExitTimeout;
    if (ConnectResult() != urlb::kConnectOk) {
        Say(kSayConnectFailed + std::to_string(ConnectResult()));
        return kExitConnectFailed;
    }
    Say(kSayConnected);
    std::vector<uint8_t> payload(bytes);
    std::mt19937 random(static_cast<uint32_t>(bytes));
    for (auto &b : payload) b = static_cast<uint8_t>(random());
    if (!SendAll(handle, payload.data(), payload.size(), deadline)) return kExitTimeout;
    std::vector<uint8_t> echo;
    while (echo.size() < payload.size()) {
        if (!WaitState(deadline, [] { return !g_state.readable.empty(); })) return kExitTimeout;
        for (const auto &piece : ReadAnnounced()) echo.insert(echo.end(), piece.second.begin(), piece.second.end());
    }
    if (echo != payload) {
        Say("WRONG ECHO");
        return kExitWrongEcho;
    }
    Say(kSayEchoOk + std::to_string(echo.size()));
    qrn_udprlb_close(handle);
    return kExitOk;
}

int Usage() {
    fprintf(stderr,
            "usage: nat_peer relay <bind_ip> <port>\n"
            "       nat_peer server <relay_ip> <relay_port> <listen_port>\n"
            "       nat_peer client <server_ip> <server_port> <relay_ip|-> <relay_port> <local_port> <bytes> "
            "<clock_factor>\n");
    return kExitUsage;
}

}  // namespace

int main(int argc, char **argv) {
    if (argc < 2) return Usage();
    const std::string role = argv[1];
    if (VSOCK::startup() != 0) return kExitSetup;
    int result;
    if (role == "relay" && argc == 4) {
        result = RunRelay(argv[2], atoi(argv[3]));
    } else if (role == "server" && argc == 5) {
        result = RunServer(argv[2], atoi(argv[3]), atoi(argv[4]));
    } else if (role == "client" && argc == 9) {
        result = RunClient(argv + 2);
    } else {
        return Usage();
    }
    // The layer runs for the life of the process; leave without unwinding it.
    fflush(stdout);
    _exit(result);
}
