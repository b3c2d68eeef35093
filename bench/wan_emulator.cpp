// wan_emulator: a wide-area path between two network namespaces, in user space (this kernel has
// no netem). Each namespace holds a TUN device of the same name; every packet read from one is
// written to the other after the path's effects, each direction on its own:
//   random loss (--loss-percent), a drop-tail queue (--queue-bytes, default one bandwidth-delay
//   product) in front of a bottleneck that serialises packets at --rate-mbit, then a fixed
//   one-way delay (--delay-ms).
// One thread; a monotonic clock in nanoseconds; ppoll with nanosecond time-outs and a timer
// slack of 1 ns, so that the delay line adds no jitter of its own.
//
//   wan_emulator --netns-a NAME --netns-b NAME [--dev NAME] --rate-mbit R --delay-ms D
//                [--queue-bytes N] [--loss-percent P] [--seed S]
// The devices must exist (ip tuntap add mode tun, no packet information). SIGINT or SIGTERM
// stops it; it then prints what each direction forwarded and dropped.
#include <errno.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int64_t kNsPerSecond = 1000000000;
constexpr int64_t kNsPerMs = 1000000;
constexpr double kBitsPerMbit = 1e6;
constexpr size_t kMaxPacket = 65536;
constexpr int kReadBatch = 64;  // packets taken from one device before looking at the timers
constexpr int kDirections = 2;
constexpr int kRealtimePriority = 10;
constexpr int64_t kLateNs = kNsPerMs;  // a delivery this far behind its time counts as jitter
constexpr char kNetnsDir[] = "/run/netns/";
constexpr char kTunDevice[] = "/dev/net/tun";

volatile sig_atomic_t g_stop = 0;

void OnSignal(int) { g_stop = 1; }

int64_t NowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * kNsPerSecond + ts.tv_nsec;
}

struct SOptions {
    std::string netns[kDirections];
    std::string dev = "qrnwan0";
    double rate_mbit = 0;  // 0: no bottleneck
    double delay_ms = 0;
    long long queue_bytes = -1;  // -1: one bandwidth-delay product
    double loss_percent = 0;
    unsigned long long seed = 1;
};

const char kUsage[] =
    "usage: wan_emulator --netns-a NAME --netns-b NAME [--dev NAME] --rate-mbit R --delay-ms D\n"
    "                    [--queue-bytes N] [--loss-percent P] [--seed S]\n";

bool ParseNumber(const char *text, double *out) {
    char *end = nullptr;
    errno = 0;
    double v = strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || v < 0) return false;
    *out = v;
    return true;
}

bool ParseArgs(int argc, char **argv, SOptions *opt, std::string *error) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (i + 1 >= argc) {
            *error = arg + " needs a value";
            return false;
        }
        const char *v = argv[++i];
        double number = 0;
        bool ok = true;
        if (arg == "--netns-a") opt->netns[0] = v;
        else if (arg == "--netns-b") opt->netns[1] = v;
        else if (arg == "--dev") opt->dev = v;
        else if (arg == "--rate-mbit") ok = ParseNumber(v, &opt->rate_mbit);
        else if (arg == "--delay-ms") ok = ParseNumber(v, &opt->delay_ms);
        else if (arg == "--loss-percent") ok = ParseNumber(v, &opt->loss_percent) && opt->loss_percent <= 100;
        else if (arg == "--queue-bytes") {
            ok = ParseNumber(v, &number);
            opt->queue_bytes = static_cast<long long>(number);
        } else if (arg == "--seed") {
            ok = ParseNumber(v, &number);
            opt->seed = static_cast<unsigned long long>(number);
        } else {
            *error = "unknown option " + arg;
            return false;
        }
        if (!ok) {
            *error = std::string("bad value for ") + arg + ": '" + v + "'";
            return false;
        }
    }
    if (opt->netns[0].empty() || opt->netns[1].empty()) {
        *error = "give --netns-a and --netns-b";
        return false;
    }
    if (opt->dev.size() >= IFNAMSIZ) {
        *error = "device name too long";
        return false;
    }
    return true;
}

// Attaches to the TUN device `dev` inside namespace `netns`. The device belongs to the
// namespace the file was opened in, so the open happens there and the thread comes back after.
int OpenTunIn(const std::string &netns, const std::string &dev) {
    int home = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    int target = open((kNetnsDir + netns).c_str(), O_RDONLY | O_CLOEXEC);
    if (home < 0 || target < 0) {
        fprintf(stderr, "wan_emulator: cannot open namespace %s: %s\n", netns.c_str(), strerror(errno));
        if (home >= 0) close(home);
        if (target >= 0) close(target);
        return -1;
    }
    int fd = -1;
    if (setns(target, CLONE_NEWNET) != 0) {
        fprintf(stderr, "wan_emulator: cannot enter namespace %s: %s\n", netns.c_str(), strerror(errno));
    } else {
        fd = open(kTunDevice, O_RDWR | O_NONBLOCK | O_CLOEXEC);
        ifreq ifr;
        memset(&ifr, 0, sizeof(ifr));
        ifr.ifr_flags = IFF_TUN | IFF_NO_PI;
        memcpy(ifr.ifr_name, dev.c_str(), dev.size());
        if (fd < 0 || ioctl(fd, TUNSETIFF, &ifr) != 0) {
            fprintf(stderr, "wan_emulator: cannot attach to %s in %s: %s\n", dev.c_str(), netns.c_str(),
                    strerror(errno));
            if (fd >= 0) close(fd);
            fd = -1;
        }
        if (setns(home, CLONE_NEWNET) != 0) {
            fprintf(stderr, "wan_emulator: cannot return to the first namespace: %s\n", strerror(errno));
            if (fd >= 0) close(fd);
            fd = -1;
        }
    }
    close(home);
    close(target);
    return fd;
}

// One direction of the path. A fixed delay keeps packets in order, so the delay line is a FIFO
// whose head is always the earliest timer.
class CPathDirection {
public:
    CPathDirection(const SOptions &opt, unsigned long long seed)
        : m_rng(seed), m_loss(opt.loss_percent / 100.0) {
        m_ns_per_byte = opt.rate_mbit > 0 ? 8.0 * kNsPerSecond / (opt.rate_mbit * kBitsPerMbit) : 0;
        m_delay_ns = static_cast<int64_t>(opt.delay_ms * kNsPerMs);
        if (opt.queue_bytes >= 0) {
            m_queue_limit = opt.queue_bytes;
        } else {
            double rtt_s = 2.0 * opt.delay_ms / 1000.0;
            m_queue_limit = opt.rate_mbit > 0 ? static_cast<long long>(opt.rate_mbit * kBitsPerMbit / 8 * rtt_s)
                                              : 0;
        }
    }

    long long QueueLimit() const { return m_queue_limit; }

    void Admit(const uint8_t *data, size_t len, int64_t now) {
        if (m_loss > 0 && m_uniform(m_rng) < m_loss) {
            ++m_lost;
            return;
        }
        int64_t done_at = now;
        if (m_ns_per_byte > 0) {
            Drain(now);
            // The queue counts the packet being serialised too; an empty queue takes any packet.
            if (m_queue_limit > 0 && m_backlog > 0 &&
                m_backlog + static_cast<long long>(len) > m_queue_limit) {
                ++m_overflowed;
                return;
            }
            int64_t start = m_link_free_at > now ? m_link_free_at : now;
            m_carry += static_cast<double>(len) * m_ns_per_byte;
            int64_t whole = static_cast<int64_t>(m_carry);
            m_carry -= static_cast<double>(whole);
            done_at = start + whole;
            m_link_free_at = done_at;
            m_serialising.push_back({done_at, static_cast<long long>(len)});
            m_backlog += static_cast<long long>(len);
            if (m_backlog > m_max_backlog) m_max_backlog = m_backlog;
        }
        m_delay_line.push_back({done_at + m_delay_ns, std::vector<uint8_t>(data, data + len)});
    }

    // Writes every packet due by `now` to `fd`.
    void Deliver(int fd, int64_t now) {
        while (!m_delay_line.empty() && m_delay_line.front().due <= now) {
            const std::vector<uint8_t> &p = m_delay_line.front().bytes;
            int64_t late = now - m_delay_line.front().due;
            if (late > m_max_late_ns) m_max_late_ns = late;
            if (late > kLateNs) ++m_late;
            if (write(fd, p.data(), p.size()) == static_cast<ssize_t>(p.size())) ++m_forwarded;
            else ++m_write_failed;
            m_delay_line.pop_front();
        }
    }

    // The next due time, or -1 when nothing waits.
    int64_t NextDue() const { return m_delay_line.empty() ? -1 : m_delay_line.front().due; }

    void Report(const char *name) const {
        fprintf(stderr,
                "wan_emulator: %s forwarded %llu, lost %llu, queue overflow %llu, write failures %llu,"
                " largest queue %lld bytes; %llu packets more than 1 ms behind time, the latest %.3f ms\n",
                name, m_forwarded, m_lost, m_overflowed, m_write_failed, m_max_backlog, m_late,
                static_cast<double>(m_max_late_ns) / kNsPerMs);
    }

private:
    struct SPacket {
        int64_t due;
        std::vector<uint8_t> bytes;
    };
    struct SOnWire {
        int64_t done_at;
        long long len;
    };

    void Drain(int64_t now) {
        while (!m_serialising.empty() && m_serialising.front().done_at <= now) {
            m_backlog -= m_serialising.front().len;
            m_serialising.pop_front();
        }
    }

    std::mt19937_64 m_rng;
    std::uniform_real_distribution<double> m_uniform{0.0, 1.0};
    double m_loss;
    double m_ns_per_byte = 0;
    double m_carry = 0;  // fractions of a nanosecond, so that the rate holds exactly over time
    int64_t m_delay_ns = 0;
    long long m_queue_limit = 0;
    int64_t m_link_free_at = 0;
    std::deque<SOnWire> m_serialising;
    long long m_backlog = 0;
    long long m_max_backlog = 0;
    int64_t m_max_late_ns = 0;
    unsigned long long m_late = 0;
    std::deque<SPacket> m_delay_line;
    unsigned long long m_forwarded = 0, m_lost = 0, m_overflowed = 0, m_write_failed = 0;
};

// Reads up to a batch of packets from `fd` into `dir`; false when the device failed.
bool ReadBatch(int fd, CPathDirection *dir, std::vector<uint8_t> *buf) {
    for (int i = 0; i < kReadBatch; ++i) {
        ssize_t n = read(fd, buf->data(), buf->size());
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
        if (n <= 0) return false;
        dir->Admit(buf->data(), static_cast<size_t>(n), NowNs());
    }
    return true;
}

int Run(const SOptions &opt, const int fds[kDirections]) {
    // Direction 0 carries A to B (read from A's device, written to B's), direction 1 the reverse.
    CPathDirection dirs[kDirections] = {CPathDirection(opt, opt.seed), CPathDirection(opt, opt.seed + 1)};
    fprintf(stderr, "wan_emulator: %s <-> %s on %s: %.3g Mbit/s, %.3g ms each way, queue %lld bytes, loss %.3g %%\n",
            opt.netns[0].c_str(), opt.netns[1].c_str(), opt.dev.c_str(), opt.rate_mbit, opt.delay_ms,
            dirs[0].QueueLimit(), opt.loss_percent);
    sigset_t blocked, waiting;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, &waiting);
    sigdelset(&waiting, SIGINT);
    sigdelset(&waiting, SIGTERM);
    std::vector<uint8_t> buf(kMaxPacket);
    pollfd pfds[kDirections] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
    int code = 0;
    while (!g_stop) {
        int64_t now = NowNs();
        int64_t next = -1;
        for (int d = 0; d < kDirections; ++d) {
            dirs[d].Deliver(fds[1 - d], now);
            int64_t due = dirs[d].NextDue();
            if (due >= 0 && (next < 0 || due < next)) next = due;
        }
        timespec wait_ts;
        timespec *wait = nullptr;
        if (next >= 0) {
            int64_t left = next > now ? next - now : 0;
            wait_ts.tv_sec = static_cast<time_t>(left / kNsPerSecond);
            wait_ts.tv_nsec = static_cast<long>(left % kNsPerSecond);
            wait = &wait_ts;
        }
        int n = ppoll(pfds, kDirections, wait, &waiting);
        if (n < 0 && errno != EINTR) {
            fprintf(stderr, "wan_emulator: poll failed: %s\n", strerror(errno));
            code = 1;
            break;
        }
        for (int d = 0; n > 0 && d < kDirections; ++d) {
            if (pfds[d].revents & (POLLERR | POLLHUP | POLLNVAL)) g_stop = 1;
            if ((pfds[d].revents & POLLIN) && !ReadBatch(fds[d], &dirs[d], &buf)) {
                fprintf(stderr, "wan_emulator: the device in %s failed\n", opt.netns[d].c_str());
                g_stop = 1;
                code = 1;
            }
        }
    }
    dirs[0].Report("a->b");
    dirs[1].Report("b->a");
    return code;
}

}  // namespace

int main(int argc, char **argv) {
    SOptions opt;
    std::string error;
    if (!ParseArgs(argc, argv, &opt, &error)) {
        fprintf(stderr, "wan_emulator: %s\n%s", error.c_str(), kUsage);
        return 2;
    }
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // The kernel may otherwise wake a time-out up to 50 us late, and on a busy machine the
    // path's timing should not depend on who else is compiling. Both are best effort; the loop
    // always blocks between packets, so a real-time priority cannot starve the machine.
    prctl(PR_SET_TIMERSLACK, 1UL, 0, 0, 0);
    sched_param rt;
    memset(&rt, 0, sizeof(rt));
    rt.sched_priority = kRealtimePriority;
    if (sched_setscheduler(0, SCHED_FIFO, &rt) != 0)
        fprintf(stderr, "wan_emulator: no real-time priority (%s); timing may jitter under load\n", strerror(errno));
    int fds[kDirections];
    for (int d = 0; d < kDirections; ++d) {
        fds[d] = OpenTunIn(opt.netns[d], opt.dev);
        if (fds[d] < 0) return 1;
    }
    int code = Run(opt, fds);
    close(fds[0]);
    close(fds[1]);
    return code;
}
