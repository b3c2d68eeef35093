// tunnel_idle: memory of the tunnel server per idle session.
//
// Starts qrntunnel on loopback joined to a listener of this process, reads its resident set
// (VmRSS) and thread count with no session, opens N single-post sessions (each joined to a
// target connection that this process accepts and leaves idle), reads them again and prints the
// growth per session. The sessions' two threads count with their touched stack pages only.
//
//   tunnel_idle [--sessions N] [--qrntunnel PATH]   (PATH default: ../tools/qrntunnel
//                                                     next to this program)
#include <netinet/in.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr uint32_t kLoopback = 0x7f000001;

int Listen(uint16_t *port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(kLoopback);
    socklen_t len = sizeof(a);
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), len) != 0 || listen(fd, 4096) != 0) return -1;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

int Connect(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(kLoopback);
    a.sin_port = htons(port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0) return fd;
    close(fd);
    return -1;
}

// A status line field of /proc/PID/status, in its own unit (kB for VmRSS).
long Status(pid_t pid, const std::string &field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, field.size() + 1, field + ":") == 0) return atol(line.c_str() + field.size() + 1);
    }
    return -1;
}

bool OpenSession(uint16_t port) {
    int fd = Connect(port);
    if (fd < 0) return false;
    const char req[] = "POST /s_rdhttp?SinglePost HTTP/1.1\r\nHost: x\r\nContent-Length: 4\r\n\r\nxV4\x12";
    send(fd, req, sizeof(req) - 1, MSG_NOSIGNAL);
    char buf[512];
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    close(fd);
    return n > 12 && memcmp(buf + 9, "200", 3) == 0;
}

}  // namespace

int main(int argc, char **argv) {
    int sessions = 1000;
    std::string program = std::string(argv[0]);
    program = program.substr(0, program.rfind('/') + 1) + "../tools/qrntunnel";
    for (int i = 1; i + 1 < argc; i += 2) {
        if (strcmp(argv[i], "--sessions") == 0) sessions = atoi(argv[i + 1]);
        if (strcmp(argv[i], "--qrntunnel") == 0) program = argv[i + 1];
    }
    uint16_t target_port = 0, port = 0;
    int target = Listen(&target_port);
    int probe = Listen(&port);
    close(probe);
    if (target < 0 || sessions <= 0) return 1;
    std::vector<int> accepted;
    std::thread acceptor([&] {
        for (int i = 0; i < sessions; ++i) {
            int fd = accept(target, nullptr, nullptr);
            if (fd < 0) return;
            accepted.push_back(fd);
        }
    });
    std::string n = std::to_string(sessions + 16);
    std::vector<std::string> args = {program, "--listen", "127.0.0.1:" + std::to_string(port),
                                     "--target", "127.0.0.1:" + std::to_string(target_port),
                                     "--max-sessions", n, "--max-per-source", n,
                                     "--idle-timeout", "600000", "--quiet"};
    pid_t pid = fork();
    if (pid == 0) {
        std::vector<char *> cargs;
        for (auto &a : args) cargs.push_back(&a[0]);
        cargs.push_back(nullptr);
        freopen("/dev/null", "w", stdout);
        execv(program.c_str(), cargs.data());
        _exit(127);
    }
    int up = -1;
    for (int i = 0; i < 500 && up < 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        up = Connect(port);
    }
    if (up < 0) {
        fprintf(stderr, "tunnel_idle: %s did not start\n", program.c_str());
        return 1;
    }
    close(up);
    // One session opened and ended first, so that the first-use costs are in the baseline.
    OpenSession(port);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    long rss0 = Status(pid, "VmRSS"), threads0 = Status(pid, "Threads");
    int opened = 0;
    for (int i = 0; i < sessions; ++i) opened += OpenSession(port) ? 1 : 0;
    acceptor.join();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    long rss1 = Status(pid, "VmRSS"), threads1 = Status(pid, "Threads");
    printf("qrntunnel, %d idle single-post sessions (%zu target connections)\n", opened,
           accepted.size());
    printf("  VmRSS %ld kB -> %ld kB, threads %ld -> %ld\n", rss0, rss1, threads0, threads1);
    printf("  per session: %.1f kB, %.1f threads\n", double(rss1 - rss0) / opened,
           double(threads1 - threads0) / opened);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    for (int fd : accepted) close(fd);
    close(target);
    return opened == sessions ? 0 : 1;
}
