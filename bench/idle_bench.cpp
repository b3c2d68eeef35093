// idle_bench: heap memory of open connections over the TCP path, both ends in one process.
//
// N client connections to a listener of the same process are opened and accepted, then left
// idle; the heap in use (malloc's own count, which includes its large mapped blocks) is read
// before and after and divided by the 2N connection ends. It is read again after 32 KiB went
// each way on every connection and was delivered: buffers that data needed shrink back once
// drained (within the connections' one-second timer). Kernel socket memory is not counted.
//
//   idle_bench [--pairs N]
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <netinet/in.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "qrn/qrn_tp.h"

namespace {

constexpr double kTargetBytes = 16 * 1024;  // per connection end
constexpr size_t kTraffic = 32 * 1024;      // each way, for the second reading
constexpr auto kWaitLimit = std::chrono::seconds(120);

std::atomic<int> g_accepted{0};
std::atomic<int> g_connected{0};
std::atomic<unsigned long long> g_received{0};
std::vector<int> g_server_handles;
std::atomic<int> g_server_count{0};

int Callback(uintptr_t, int msg, uintptr_t handle, uintptr_t p1, uintptr_t p2, uintptr_t) {
    if (msg == QRN_TP_MSG_CONNECT_REQUEST) {
        if (qrn_tp_accept(static_cast<int>(handle), QRN_TP_ACCEPT, 65536, 0, nullptr) == 0) {
            const int at = g_server_count.fetch_add(1);
            if (at < static_cast<int>(g_server_handles.size())) g_server_handles[at] = static_cast<int>(handle);
            g_accepted.fetch_add(1);
        }
    } else if (msg == QRN_TP_MSG_CONNECT_RESULT && p1 == QRN_TP_CONNECT_ACCEPTED) {
        g_connected.fetch_add(1);
    } else if (msg == QRN_TP_MSG_DATA && p1 == QRN_TP_DATA_STREAM) {
        g_received.fetch_add(p2);
    }
    return 0;
}

size_t HeapInUse() {
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

template <class Pred>
bool WaitFor(Pred pred) {
    const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // Let the last callbacks and the socket thread settle.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return true;
}

uint16_t FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a));
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

// Sends len bytes, offering the rest again until the library has taken all.
bool SendAll(int handle, const char *data, size_t len) {
    const auto deadline = std::chrono::steady_clock::now() + kWaitLimit;
    while (len > 0) {
        const int r = qrn_tp_send(handle, data, static_cast<int>(len), QRN_TP_SEND_STREAM);
        if (r < 0 || std::chrono::steady_clock::now() > deadline) return false;
        data += r;
        len -= static_cast<size_t>(r);
        if (len > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void Report(const char *label, size_t before, size_t after, int ends) {
    const double per_end = (static_cast<double>(after) - static_cast<double>(before)) / ends;
    printf("  %-34s %9.0f bytes per connection end   (%s: <= %.0f)\n", label, per_end,
           per_end <= kTargetBytes ? "target met" : "TARGET MISSED", kTargetBytes);
}

}  // namespace

int main(int argc, char **argv) {
    int pairs = 400;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (std::string(argv[i]) == "--pairs") pairs = atoi(argv[i + 1]);
    }
    if (pairs < 1 || pairs > 20000) {
        fprintf(stderr, "usage: idle_bench [--pairs N (1..20000)]\n");
        return 2;
    }
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    g_server_handles.assign(static_cast<size_t>(pairs), 0);
    if (qrn_tp_init() != QRN_TP_OK) return 1;
    const uint16_t port = FreePort();
    if (qrn_tp_listen("127.0.0.1", 0, port, 0, &Callback, 0) != QRN_TP_OK) return 1;
    // A first connection warms the library's tables and threads up before the first reading.
    const char hello[] = "warm";
    qrn_tp_connect("127.0.0.1", 0, port, 0, nullptr, 0, &Callback, 0, 65536, sizeof(hello), hello);
    if (!WaitFor([] { return g_connected.load() == 1; })) return 1;
    const int base_accepted = g_accepted.load();

    const size_t before = HeapInUse();
    std::vector<int> clients;
    for (int i = 0; i < pairs; ++i) {
        const int h = qrn_tp_connect("127.0.0.1", 0, port, 0, nullptr, 0, &Callback, 0, 65536,
                                     sizeof(hello), hello);
        if (h == 0) {
            fprintf(stderr, "idle_bench: connect %d failed\n", i);
            return 1;
        }
        clients.push_back(h);
    }
    if (!WaitFor([&] { return g_connected.load() == pairs + 1 && g_accepted.load() == pairs + base_accepted; })) {
        fprintf(stderr, "idle_bench: %d of %d connected\n", g_connected.load() - 1, pairs);
        return 1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    const size_t idle = HeapInUse();

    std::vector<char> data(kTraffic, 'x');
    for (int h : clients) {
        if (!SendAll(h, data.data(), data.size())) return 1;
    }
    for (int i = 0; i < g_server_count.load() && i < pairs; ++i) {
        if (g_server_handles[i] != 0 && !SendAll(g_server_handles[i], data.data(), data.size())) return 1;
    }
    const unsigned long long expected = 2ull * kTraffic * static_cast<unsigned long long>(pairs);
    if (!WaitFor([&] { return g_received.load() >= expected; })) {
        fprintf(stderr, "idle_bench: %llu of %llu bytes delivered\n", g_received.load(), expected);
        return 1;
    }
    // Buffers that data needed are freed by the connection's one-second timer once empty.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    const size_t drained = HeapInUse();

    printf("idle_bench: %d connection pairs over the TCP path, both ends in one process\n", pairs);
    Report("idle, after the handshake", before, idle, 2 * pairs);
    Report("idle again, after 32 KiB each way", before, drained, 2 * pairs);
    fflush(stdout);
    std::_Exit(0);
}
