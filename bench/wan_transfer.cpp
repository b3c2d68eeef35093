// wan_transfer: the ends of wan_bench's transfers. The bytes are a pseudo-random stream that
// both ends generate, so the receiver checks every byte as it arrives (and a transfer cut short
// by the time cap is still checked), and both ends print a hash of what they moved.
//
//   wan_transfer source --bytes N                      the stream on standard output
//   wan_transfer sink --bytes N [--seconds S]          reads standard input
//   wan_transfer tcp-send HOST PORT --bytes N          one plain TCP socket, kernel defaults
//   wan_transfer tcp-recv PORT --bytes N [--seconds S]
//   wan_transfer echo PORT                             UDP echo, until killed
//   wan_transfer ping HOST PORT [--count N]            UDP round trips through the path
//
// Senders print "sent=N hash=H"; receivers print "bytes=N seconds=T hash=H complete=0|1
// content=ok|bad" where T runs from the first byte to the last, and stop S seconds after the
// first byte (or S seconds after the start if nothing came). ping prints
// "rtt_ms min=A median=B max=C lost=L".
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kChunk = 65536;
constexpr uint64_t kStreamSeed = 0x9e3779b97f4a7c15ull;
constexpr uint64_t kFnvOffset = 0xcbf29ce484222325ull;
constexpr uint64_t kFnvPrime = 0x100000001b3ull;
constexpr double kDefaultSeconds = 30;
constexpr auto kConnectPatience = std::chrono::seconds(10);
constexpr auto kConnectRetry = std::chrono::milliseconds(50);
constexpr int kPingSize = 64;
constexpr int kPingWaitMs = 2000;
constexpr auto kPingGap = std::chrono::milliseconds(20);

const char kUsage[] =
    "usage: wan_transfer source --bytes N | sink --bytes N [--seconds S]\n"
    "       wan_transfer tcp-send HOST PORT --bytes N | tcp-recv PORT --bytes N [--seconds S]\n"
    "       wan_transfer echo PORT | ping HOST PORT [--count N]\n";

// The shared stream: xorshift64* words, taken a byte at a time in any split.
class CStream {
public:
    void Fill(uint8_t *out, size_t len) {
        for (size_t i = 0; i < len; ++i) {
            if (m_left == 0) {
                m_state ^= m_state >> 12;
                m_state ^= m_state << 25;
                m_state ^= m_state >> 27;
                m_word = m_state * 0x2545f4914f6cdd1dull;
                m_left = sizeof(m_word);
            }
            out[i] = static_cast<uint8_t>(m_word);
            m_word >>= 8;
            --m_left;
        }
    }

private:
    uint64_t m_state = kStreamSeed;
    uint64_t m_word = 0;
    size_t m_left = 0;
};

class CHash {
public:
    void Add(const uint8_t *data, size_t len) {
        for (size_t i = 0; i < len; ++i) m_value = (m_value ^ data[i]) * kFnvPrime;
    }
    uint64_t Value() const { return m_value; }

private:
    uint64_t m_value = kFnvOffset;
};

bool WriteAll(int fd, const uint8_t *data, size_t len) {
    while (len > 0) {
        ssize_t n = write(fd, data, len);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

int Send(int fd, uint64_t total) {
    CStream stream;
    CHash hash;
    std::vector<uint8_t> buf(kChunk);
    uint64_t sent = 0;
    while (sent < total) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(buf.size(), total - sent));
        stream.Fill(buf.data(), n);
        hash.Add(buf.data(), n);
        if (!WriteAll(fd, buf.data(), n)) break;
        sent += n;
    }
    printf("sent=%llu hash=%016llx\n", static_cast<unsigned long long>(sent),
           static_cast<unsigned long long>(hash.Value()));
    return sent == total ? 0 : 1;
}

int Receive(int fd, uint64_t total, double seconds) {
    CStream expected;
    CHash hash;
    std::vector<uint8_t> buf(kChunk), want(kChunk);
    uint64_t got = 0;
    bool content_ok = true;
    const auto start = Clock::now();
    const auto cap = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    Clock::time_point first{}, last{};
    for (;;) {
        auto deadline = (got == 0 ? start : first) + cap;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        pollfd p{fd, POLLIN, 0};
        int r = poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        ssize_t n = read(fd, buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        last = Clock::now();
        if (got == 0) first = last;
        size_t len = static_cast<size_t>(n);
        expected.Fill(want.data(), len);
        if (content_ok && memcmp(buf.data(), want.data(), len) != 0) content_ok = false;
        hash.Add(buf.data(), len);
        got += len;
    }
    double elapsed = got > 0 ? std::chrono::duration<double>(last - first).count() : 0;
    printf("bytes=%llu seconds=%.3f hash=%016llx complete=%d content=%s\n", static_cast<unsigned long long>(got),
           elapsed, static_cast<unsigned long long>(hash.Value()), got == total && content_ok ? 1 : 0,
           content_ok ? "ok" : "bad");
    return got == total && content_ok ? 0 : 1;
}

bool MakeAddress(const char *host, int port, sockaddr_in *addr) {
    memset(addr, 0, sizeof(*addr));
    addr->sin_family = AF_INET;
    addr->sin_port = htons(static_cast<uint16_t>(port));
    if (host == nullptr) {
        addr->sin_addr.s_addr = htonl(INADDR_ANY);
        return true;
    }
    return inet_pton(AF_INET, host, &addr->sin_addr) == 1;
}

int TcpSend(const char *host, int port, uint64_t total) {
    sockaddr_in addr;
    if (!MakeAddress(host, port, &addr)) return 2;
    // The receiver may still be starting in the other namespace.
    const auto give_up = Clock::now() + kConnectPatience;
    for (;;) {
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0) return 1;
        if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) == 0) {
            int code = Send(fd, total);
            close(fd);
            return code;
        }
        close(fd);
        if (Clock::now() > give_up) {
            fprintf(stderr, "wan_transfer: cannot connect to %s:%d: %s\n", host, port, strerror(errno));
            return 1;
        }
        std::this_thread::sleep_for(kConnectRetry);
    }
}

int TcpReceive(int port, uint64_t total, double seconds) {
    sockaddr_in addr;
    MakeAddress(nullptr, port, &addr);
    int ls = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (ls < 0 || bind(ls, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 || listen(ls, 1) != 0) {
        fprintf(stderr, "wan_transfer: cannot listen on port %d: %s\n", port, strerror(errno));
        return 1;
    }
    int fd = accept(ls, nullptr, nullptr);
    close(ls);
    if (fd < 0) return 1;
    int code = Receive(fd, total, seconds);
    close(fd);
    return code;
}

int UdpSocket(int port) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in addr;
    MakeAddress(nullptr, port, &addr);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0) {
        fprintf(stderr, "wan_transfer: cannot bind UDP port %d: %s\n", port, strerror(errno));
        if (fd >= 0) close(fd);
        return -1;
    }
    return fd;
}

int Echo(int port) {
    int fd = UdpSocket(port);
    if (fd < 0) return 1;
    char buf[kChunk];
    for (;;) {
        sockaddr_in from;
        socklen_t from_len = sizeof(from);
        ssize_t n = recvfrom(fd, buf, sizeof(buf), 0, reinterpret_cast<sockaddr *>(&from), &from_len);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return 1;
        sendto(fd, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr *>(&from), from_len);
    }
}

int Ping(const char *host, int port, int count) {
    sockaddr_in to;
    if (!MakeAddress(host, port, &to)) return 2;
    int fd = UdpSocket(0);
    if (fd < 0) return 1;
    std::vector<double> rtts;
    int lost = 0;
    for (uint32_t seq = 0; seq < static_cast<uint32_t>(count); ++seq) {
        char out[kPingSize] = {};
        memcpy(out, &seq, sizeof(seq));
        auto sent_at = Clock::now();
        sendto(fd, out, sizeof(out), 0, reinterpret_cast<sockaddr *>(&to), sizeof(to));
        bool answered = false;
        // Late answers to earlier pings are skipped by their sequence number.
        while (!answered) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, kPingWaitMs) <= 0) break;
            char in[kPingSize];
            ssize_t n = recv(fd, in, sizeof(in), 0);
            uint32_t back = 0;
            if (n >= static_cast<ssize_t>(sizeof(back))) memcpy(&back, in, sizeof(back));
            answered = n == kPingSize && back == seq;
        }
        if (answered)
            rtts.push_back(std::chrono::duration<double, std::milli>(Clock::now() - sent_at).count());
        else
            ++lost;
        std::this_thread::sleep_for(kPingGap);
    }
    close(fd);
    if (rtts.empty()) {
        printf("rtt_ms min=- median=- max=- lost=%d\n", lost);
        return 1;
    }
    std::sort(rtts.begin(), rtts.end());
    printf("rtt_ms min=%.2f median=%.2f max=%.2f lost=%d\n", rtts.front(), rtts[rtts.size() / 2], rtts.back(),
           lost);
    return 0;
}

struct SArgs {
    std::vector<std::string> positional;
    uint64_t bytes = 0;
    double seconds = kDefaultSeconds;
    int count = 10;
};

bool ParseArgs(int argc, char **argv, SArgs *a) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg.size() > 2 && arg.compare(0, 2, "--") == 0) {
            if (i + 1 >= argc) return false;
            const char *v = argv[++i];
            if (arg == "--bytes") a->bytes = strtoull(v, nullptr, 10);
            else if (arg == "--seconds") a->seconds = strtod(v, nullptr);
            else if (arg == "--count") a->count = atoi(v);
            else return false;
        } else {
            a->positional.push_back(arg);
        }
    }
    return !a->positional.empty() && a->seconds > 0 && a->count > 0;
}

}  // namespace

int main(int argc, char **argv) {
    SArgs a;
    if (!ParseArgs(argc, argv, &a)) {
        fputs(kUsage, stderr);
        return 2;
    }
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    const std::string &cmd = a.positional[0];
    const size_t n = a.positional.size();
    if (cmd == "source" && n == 1) {
        // The stream goes to standard output, so the summary goes to standard error.
        int data_fd = dup(STDOUT_FILENO);
        if (dup2(STDERR_FILENO, STDOUT_FILENO) < 0 || data_fd < 0) return 1;
        int code = Send(data_fd, a.bytes);
        close(data_fd);
        return code;
    }
    if (cmd == "sink" && n == 1) return Receive(STDIN_FILENO, a.bytes, a.seconds);
    if (cmd == "tcp-send" && n == 3) return TcpSend(a.positional[1].c_str(), atoi(a.positional[2].c_str()), a.bytes);
    if (cmd == "tcp-recv" && n == 2) return TcpReceive(atoi(a.positional[1].c_str()), a.bytes, a.seconds);
    if (cmd == "echo" && n == 2) return Echo(atoi(a.positional[1].c_str()));
    if (cmd == "ping" && n == 3) return Ping(a.positional[1].c_str(), atoi(a.positional[2].c_str()), a.count);
    fputs(kUsage, stderr);
    return 2;
}
