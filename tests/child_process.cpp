#include "child_process.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "raw_peer.h"

extern char **environ;

namespace qrntest {

TempDir::TempDir() {
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/qrn-test-XXXXXX";
    if (mkdtemp(&pattern[0]) != nullptr) m_path = pattern;
}

TempDir::~TempDir() {
    if (m_path.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
}

std::string TempDir::Write(const std::string &name, const std::string &content) const {
    const std::string path = m_path + "/" + name;
    std::ofstream(path, std::ios::binary) << content;
    return path;
}

std::string FindProgram(const std::string &name) {
    std::string dirs = getenv("PATH") ? getenv("PATH") : "";
    dirs += ":/usr/local/sbin:/usr/sbin:/sbin:/usr/local/bin:/usr/bin:/bin";
    std::istringstream list(dirs);
    std::string dir;
    while (std::getline(list, dir, ':')) {
        if (dir.empty()) continue;
        const std::string path = dir + "/" + name;
        if (access(path.c_str(), X_OK) == 0) return path;
    }
    return "";
}

ChildProcess::~ChildProcess() {
    Stop(0);
    if (m_reader.joinable()) m_reader.join();
}

bool ChildProcess::Start(const std::vector<std::string> &argv, const std::vector<std::string> &env) {
    return Spawn(argv, env, "", "");
}

bool ChildProcess::StartWithFiles(const std::vector<std::string> &argv, const std::string &in_path,
                                  const std::string &out_path) {
    return Spawn(argv, {}, in_path, out_path);
}

bool ChildProcess::Spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                         const std::string &in_path, const std::string &out_path) {
    if (m_pid > 0 || argv.empty()) return false;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return false;

    std::vector<std::string> text = argv;
    std::vector<char *> args;
    for (std::string &t : text) args.push_back(&t[0]);
    args.push_back(nullptr);
    std::vector<std::string> env_text;
    for (char **e = environ; *e != nullptr; ++e) env_text.emplace_back(*e);
    env_text.insert(env_text.end(), env.begin(), env.end());
    std::vector<char *> envp;
    for (std::string &e : env_text) envp.push_back(&e[0]);
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!in_path.empty()) posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, in_path.c_str(), O_RDONLY, 0);
    if (out_path.empty()) {
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0600);
    }
    posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
    const int rc = posix_spawn(&m_pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (rc != 0) {
        m_pid = -1;
        close(out[0]);
        return false;
    }
    m_reader = std::thread([this, fd = out[0]] { Collect(fd); });
    return true;
}

void ChildProcess::Collect(int fd) {
    char buf[4096];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof(buf));
        if (n <= 0) break;
        std::lock_guard<std::mutex> guard(m_mutex);
        m_output.append(buf, static_cast<size_t>(n));
    }
    close(fd);
}

bool ChildProcess::Reap(bool wait) {
    if (m_pid <= 0) return true;
    if (waitpid(m_pid, &m_status, wait ? 0 : WNOHANG) != m_pid) return false;
    m_pid = -1;
    return true;
}

bool ChildProcess::Running() { return !Reap(false); }

bool ChildProcess::WaitForTcpPort(uint16_t port, const char *ip, int timeout_ms) {
    in_addr addr{};
    inet_pton(AF_INET, ip, &addr);
    return WaitUntil(
        [&] {
            if (!Running()) return true;
            const int fd = RawConnect(port, ntohl(addr.s_addr));
            if (fd < 0) return false;
            close(fd);
            return true;
        },
        timeout_ms) &&
           Running();
}

bool ChildProcess::WaitForOutput(const std::string &text, int timeout_ms) {
    return WaitUntil([&] { return Output().find(text) != std::string::npos; }, timeout_ms);
}

std::string ChildProcess::Output() {
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_output;
}

std::string ChildProcess::FinalOutput() {
    if (!Running() && m_reader.joinable()) m_reader.join();
    return Output();
}

int ChildProcess::Wait(int timeout_ms) {
    if (m_pid <= 0) return m_status;  // -1 unless it ran and has been reaped
    if (!WaitUntil([&] { return !Running(); }, timeout_ms)) {
        Kill();
        return -1;
    }
    return m_status;
}

int ChildProcess::Stop(int timeout_ms) {
    if (m_pid <= 0) return -1;
    kill(m_pid, SIGTERM);
    if (!WaitUntil([&] { return !Running(); }, timeout_ms)) {
        kill(m_pid, SIGKILL);
        Reap(true);
    }
    return m_status;
}

void ChildProcess::Kill() {
    if (m_pid <= 0) return;
    kill(m_pid, SIGKILL);
    Reap(true);
}

}  // namespace qrntest
