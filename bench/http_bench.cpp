// HTTP client throughput: a GET and a POST of the same size through qrn_tp_http_* against the
// tests' libmicrohttpd server, beside the curl command-line tool on the same URLs in the same
// run. Each side's time runs from the request's start to its last response byte.
//   http_bench --server PATH [--mb MiB] [--rounds N] [--only get|post]
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "qrn/qrn_tp.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Exchange {
    std::mutex mutex;
    std::condition_variable cond;
    const char *body = nullptr;
    size_t body_len = 0;
    size_t sent = 0;
    uint64_t received = 0;
    uint64_t expected = 0;
    bool done = false;
    int failed = 0;
    Clock::time_point end;
};

int OnEvent(uintptr_t user, int msg, uintptr_t handle, uintptr_t p1, uintptr_t, uintptr_t) {
    Exchange *x = reinterpret_cast<Exchange *>(user);
    if ((msg == 2 && p1 == 0) || msg == 4) {
        while (x->sent < x->body_len) {
            int n = qrn_tp_http_send(handle, x->body + x->sent, static_cast<int>(x->body_len - x->sent));
            if (n <= 0) break;
            x->sent += static_cast<size_t>(n);
        }
    } else if (msg == 3) {
        static thread_local std::vector<char> buf(1 << 20);
        int n;
        while ((n = qrn_tp_http_recv(handle, buf.data(), static_cast<int>(buf.size()))) > 0) x->received += n;
        if (x->expected && x->received >= x->expected) {
            std::lock_guard<std::mutex> guard(x->mutex);
            x->end = Clock::now();
            x->done = true;
            x->cond.notify_all();
        }
    } else if ((msg == 2 && p1 != 0) || msg == 5) {
        std::lock_guard<std::mutex> guard(x->mutex);
        if (!x->done) {
            x->failed = static_cast<int>(p1) ? static_cast<int>(p1) : -1;
            x->end = Clock::now();
            x->done = true;
        }
        x->cond.notify_all();
    }
    return 0;
}

// Seconds for one request through the library; negative on failure.
double RunLibrary(uint16_t port, bool post, const std::string &body, uint64_t size) {
    Exchange x;
    x.body = body.data();
    x.body_len = post ? body.size() : 0;
    std::string url = post ? "/info" : "/get?n=" + std::to_string(size);
    // The /info answer is "len=<n> fnv=<16 hex> cl=<n> te=-": its length is known in advance.
    x.expected = post ? std::string("len=" + std::to_string(size) + " fnv=0123456789abcdef cl=" +
                                    std::to_string(size) + " te=-").size()
                      : size;
    Clock::time_point start = Clock::now();
    uintptr_t h = qrn_tp_http_connect(OnEvent, reinterpret_cast<uintptr_t>(&x), "127.0.0.1", port, post ? 0 : 1,
                                      url.c_str(), post ? static_cast<unsigned>(size) : 0);
    if (!h) return -1;
    std::unique_lock<std::mutex> lock(x.mutex);
    x.cond.wait_for(lock, std::chrono::seconds(120), [&] { return x.done; });
    bool ok = x.done && !x.failed && x.received == x.expected;
    lock.unlock();
    qrn_tp_http_close(h);
    if (!ok) {
        fprintf(stderr, "library %s failed: code %d, %llu of %llu bytes\n", post ? "POST" : "GET", x.failed,
                static_cast<unsigned long long>(x.received), static_cast<unsigned long long>(x.expected));
        return -1;
    }
    return std::chrono::duration<double>(x.end - start).count();
}

double RunCurl(uint16_t port, bool post, const std::string &file, uint64_t size) {
    std::string url = "http://127.0.0.1:" + std::to_string(port) + (post ? "/info" : "/get?n=" + std::to_string(size));
    std::string cmd = "curl -s -S -o /dev/null --noproxy '*' -w '%{time_total}' ";
    if (post) cmd += "-H 'Content-Type: application/octet-stream' -H 'Expect:' --data-binary @" + file + " ";
    cmd += "'" + url + "'";
    FILE *p = popen(cmd.c_str(), "r");
    if (!p) return -1;
    double t = -1;
    if (fscanf(p, "%lf", &t) != 1) t = -1;
    return pclose(p) == 0 ? t : -1;
}

pid_t StartServer(const char *path, uint16_t *port) {
    int fds[2];
    if (pipe(fds) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(fds[1], 1);
        close(fds[0]);
        execl(path, path, static_cast<char *>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    char line[64] = {};
    ssize_t n = read(fds[0], line, sizeof(line) - 1);
    close(fds[0]);
    if (n <= 0 || strncmp(line, "port=", 5) != 0) return -1;
    *port = static_cast<uint16_t>(atoi(line + 5));
    return pid;
}

// CPU seconds and context switches of this process (who = RUSAGE_SELF) or of its waited-for
// children (RUSAGE_CHILDREN) so far.
struct Cost {
    double cpu = 0;
    long switches = 0;
};

Cost CostOf(int who) {
    rusage u{};
    getrusage(who, &u);
    Cost c;
    c.cpu = u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
    c.switches = u.ru_nvcsw + u.ru_nivcsw;
    return c;
}

Cost operator-(const Cost &a, const Cost &b) { return {a.cpu - b.cpu, a.switches - b.switches}; }

double Best(std::vector<double> v) {
    if (std::find_if(v.begin(), v.end(), [](double t) { return t <= 0; }) != v.end()) return -1;
    return *std::min_element(v.begin(), v.end());
}

}  // namespace

int main(int argc, char **argv) {
    const char *server = nullptr;
    uint64_t mb = 64;
    int rounds = 3;
    const char *only = nullptr;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--server") == 0) server = argv[i + 1];
        if (strcmp(argv[i], "--mb") == 0) mb = strtoull(argv[i + 1], nullptr, 10);
        if (strcmp(argv[i], "--rounds") == 0) rounds = atoi(argv[i + 1]);
        if (strcmp(argv[i], "--only") == 0) only = argv[i + 1];
    }
    if (!server || mb == 0 || rounds < 1 || (only && strcmp(only, "get") != 0 && strcmp(only, "post") != 0)) {
        fprintf(stderr, "usage: http_bench --server PATH [--mb MiB] [--rounds N] [--only get|post]\n");
        return 2;
    }
    uint64_t size = mb * 1024 * 1024;
    std::string body(size, '\0');
    for (uint64_t i = 0; i < size; ++i) body[i] = static_cast<char>(i * 131);
    char file[] = "/tmp/http_bench_XXXXXX";
    int fd = mkstemp(file);
    if (fd < 0 || write(fd, body.data(), body.size()) != static_cast<ssize_t>(body.size())) return 1;
    close(fd);
    uint16_t port = 0;
    pid_t pid = StartServer(server, &port);
    if (pid <= 0) {
        fprintf(stderr, "cannot start %s\n", server);
        return 1;
    }
    printf("HTTP client, %llu MiB per request on loopback, best of %d (the curl tool in the same run)\n",
           static_cast<unsigned long long>(mb), rounds);
    int rc = 0;
    for (bool post : {false, true}) {
        if (only && strcmp(only, post ? "post" : "get") != 0) continue;
        std::vector<double> lib, tool;
        Cost lib_cost, tool_cost;
        for (int r = 0; r < rounds; ++r) {
            Cost before = CostOf(RUSAGE_SELF);
            lib.push_back(RunLibrary(port, post, body, size));
            Cost mid = CostOf(RUSAGE_SELF);
            Cost children = CostOf(RUSAGE_CHILDREN);
            tool.push_back(RunCurl(port, post, file, size));
            Cost d = mid - before, t = CostOf(RUSAGE_CHILDREN) - children;
            lib_cost = {lib_cost.cpu + d.cpu, lib_cost.switches + d.switches};
            tool_cost = {tool_cost.cpu + t.cpu, tool_cost.switches + t.switches};
        }
        double l = Best(lib), t = Best(tool);
        if (l <= 0 || t <= 0) {
            rc = 1;
            continue;
        }
        printf("  %-4s  qrn_tp_http %8.1f MB/s   curl %8.1f MB/s   ratio %.2f\n", post ? "POST" : "GET",
               size / l / 1e6, size / t / 1e6, t / l);
        // The client's own cost per request, which load on the machine changes far less.
        printf("        cpu ms/request: qrn_tp_http %.0f, curl %.0f; context switches: %ld, %ld\n",
               lib_cost.cpu * 1e3 / rounds, tool_cost.cpu * 1e3 / rounds, lib_cost.switches / rounds,
               tool_cost.switches / rounds);
    }
    unlink(file);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    return rc;
}
