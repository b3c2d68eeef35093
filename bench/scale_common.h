// What scale_bench's runs share: the 64-byte message and its round trip, the pacer that sends
// it on many connections at their own rates, a client process's life, and the pipes and forks
// between the parent and its processes.
#ifndef QRN_BENCH_SCALE_COMMON_H
#define QRN_BENCH_SCALE_COMMON_H

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <queue>
#include <thread>
#include <vector>

namespace scale {

using Clock = std::chrono::steady_clock;

constexpr int kMessageSize = 64;
constexpr auto kConnectLimit = std::chrono::seconds(180);
constexpr auto kGrace = std::chrono::seconds(3);  // for the last echoes
// A send due sooner than this goes at once: a sleep that short costs more than it saves.
constexpr auto kPaceSlack = std::chrono::microseconds(200);

[[noreturn]] inline void Die(const char *what) {
    fprintf(stderr, "scale_bench: %s\n", what);
    _exit(1);
}

inline void RaiseFileLimit() {
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) != 0) return;
    files.rlim_cur = files.rlim_max;
    setrlimit(RLIMIT_NOFILE, &files);
}

inline sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

inline uint16_t FreePort(int type) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in a = Loopback(0);
    socklen_t len = sizeof(a);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) != 0)
        Die("free port");
    close(fd);
    return ntohs(a.sin_port);
}

inline bool WriteFull(int fd, const void *data, size_t len) {
    const char *p = static_cast<const char *>(data);
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

inline bool ReadFull(int fd, void *data, size_t len) {
    char *p = static_cast<char *>(data);
    while (len > 0) {
        ssize_t n = read(fd, p, len);
        if (n <= 0) return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// ---- the message ---------------------------------------------------------------------------

inline void Stamp(uint8_t *msg) {
    memset(msg, 0, kMessageSize);
    const int64_t now = Clock::now().time_since_epoch().count();
    memcpy(msg, &now, sizeof(now));
}

// Round trips of the echoes one client process has seen, from whichever thread reads them.
class CEchoTally {
public:
    void OnEcho(const uint8_t *msg) {
        int64_t sent_at = 0;
        memcpy(&sent_at, msg, sizeof(sent_at));
        const auto trip = Clock::now().time_since_epoch() - Clock::duration(sent_at);
        const float us = std::chrono::duration<float, std::micro>(trip).count();
        std::lock_guard<std::mutex> lock(m_mutex);
        m_samples.push_back(us);
    }

    std::vector<float> Samples() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_samples;
    }

private:
    std::mutex m_mutex;
    std::vector<float> m_samples;  // microseconds
};

// Cuts one connection's byte stream back into messages.
struct SFramer {
    uint8_t in[kMessageSize] = {};
    size_t fill = 0;

    void Feed(const uint8_t *data, size_t len, CEchoTally *tally) {
        while (len > 0) {
            const size_t take = std::min(len, kMessageSize - fill);
            memcpy(in + fill, data, take);
            fill += take;
            data += take;
            len -= take;
            if (fill < kMessageSize) break;
            fill = 0;
            tally->OnEcho(in);
        }
    }
};

// ---- sending -------------------------------------------------------------------------------

enum class ESend { kSkipped, kSent, kFailed };  // skipped: the connection is not connected

struct SSendCounts {
    uint64_t sent = 0;    // handed to the transport, or refused by it (those count as lost)
    uint64_t refused = 0;
};

// Sends on many connections, each at its own rate, from one thread: a min-heap of the next send
// time of every connection.
class CPacer {
public:
    // Connections [first, first + count) send `rate` messages a second; the i-th of them sends
    // first at i/count of its period, so that the group's sends spread evenly.
    void AddGroup(size_t first, size_t count, int rate) {
        if (count == 0 || rate <= 0) return;
        const Clock::duration period = std::chrono::seconds(1);
        if (m_timing.size() < first + count) m_timing.resize(first + count);
        for (size_t i = 0; i < count; ++i) {
            const auto each = period / rate;
            m_timing[first + i] = STiming{each * static_cast<int64_t>(i) / static_cast<int64_t>(count), each, true};
        }
    }

    SSendCounts Run(int seconds, const std::function<ESend(size_t)> &send) const {
        const auto start = Clock::now();
        const auto end = start + std::chrono::seconds(seconds);
        std::priority_queue<SDue, std::vector<SDue>, std::greater<SDue>> due;
        for (size_t i = 0; i < m_timing.size(); ++i) {
            if (m_timing[i].paced) due.push(SDue{start + m_timing[i].offset, i});
        }
        SSendCounts counts;
        while (!due.empty() && due.top().at < end) {
            const SDue next = due.top();
            due.pop();
            if (next.at - Clock::now() > kPaceSlack) std::this_thread::sleep_until(next.at);
            const ESend result = send(next.conn);
            if (result == ESend::kSkipped) continue;  // and never again
            ++counts.sent;
            if (result == ESend::kFailed) ++counts.refused;
            due.push(SDue{next.at + m_timing[next.conn].period, next.conn});
        }
        return counts;
    }

private:
    struct STiming {
        Clock::duration offset{};
        Clock::duration period{};
        bool paced = false;
    };
    struct SDue {
        Clock::time_point at;
        size_t conn;
        bool operator>(const SDue &o) const { return at > o.at; }
    };
    std::vector<STiming> m_timing;
};

// ---- a client process ----------------------------------------------------------------------

// What a client process tells its parent: once connected, then after the run, followed by
// `echoed` round trips (float microseconds).
struct SClientReport {
    int connected = 0;
    int failed = 0;
    SSendCounts counts;
    uint64_t echoed = 0;
};

// The connections of one client process, through whichever transport.
class CBenchClient {
public:
    virtual ~CBenchClient() = default;
    virtual size_t Count() const = 0;
    virtual void ConnectAll() = 0;  // returns when all have an answer or the connect limit passed
    virtual bool Connected(size_t conn) const = 0;
    virtual ESend Send(size_t conn, const uint8_t *msg) = 0;
    virtual void Stop() {}  // ends the threads that read echoes

    CEchoTally &Tally() { return m_tally; }

protected:
    CEchoTally m_tally;
};

// Connects, tells the parent how many connected, waits for its word, sends, reports.
[[noreturn]] inline void RunClientProcess(CBenchClient *client, const CPacer &pacer, int seconds, int to_parent,
                                          int from_parent) {
    client->ConnectAll();
    SClientReport r;
    for (size_t i = 0; i < client->Count(); ++i) {
        if (client->Connected(i)) ++r.connected;
        else ++r.failed;
    }
    if (!WriteFull(to_parent, &r, sizeof(r))) _exit(1);
    char go = 0;
    if (!ReadFull(from_parent, &go, 1)) _exit(1);
    r.counts = pacer.Run(seconds, [client](size_t conn) {
        if (!client->Connected(conn)) return ESend::kSkipped;
        uint8_t msg[kMessageSize];
        Stamp(msg);
        return client->Send(conn, msg);
    });
    std::this_thread::sleep_for(kGrace);
    client->Stop();
    const std::vector<float> samples = client->Tally().Samples();
    r.echoed = samples.size();
    if (!WriteFull(to_parent, &r, sizeof(r)) || !WriteFull(to_parent, samples.data(), samples.size() * sizeof(float)))
        _exit(1);
    std::_Exit(0);
}

// ---- processes -----------------------------------------------------------------------------

// A forked process that ends with its parent, so that a parent that dies leaves nothing behind.
inline pid_t ForkChild() {
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid < 0) Die("fork");
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(1);
        RaiseFileLimit();
    }
    return pid;
}

struct SChild {
    pid_t pid = 0;
    int from_child = -1;
    int to_child = -1;
};

// Starts `body(to_parent, from_parent)` in a child process with a pipe each way.
inline SChild ForkClient(const std::function<void(int, int)> &body) {
    int up[2], down[2];
    if (pipe(up) != 0 || pipe(down) != 0) Die("pipe");
    const pid_t pid = ForkChild();
    if (pid == 0) {
        close(up[0]);
        close(down[1]);
        body(up[1], down[0]);
        _exit(1);
    }
    close(up[1]);
    close(down[0]);
    return SChild{pid, up[0], down[1]};
}

// Starts a server process; `body(ready_fd)` writes one byte there once it listens (0: failed).
inline pid_t ForkServer(const std::function<void(int)> &body, char *ready) {
    int fds[2];
    if (pipe(fds) != 0) Die("pipe");
    const pid_t pid = ForkChild();
    if (pid == 0) {
        close(fds[0]);
        body(fds[1]);
        _exit(1);
    }
    close(fds[1]);
    *ready = 0;
    if (!ReadFull(fds[0], ready, 1)) *ready = 0;
    close(fds[0]);
    return pid;
}

}  // namespace scale

#endif
