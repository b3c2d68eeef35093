// Real server programs for the tests (proxies, HTTP servers, the tunnel server): each started
// as a child on a free loopback port with its files in a private temporary directory, waited
// for with a deadline, and stopped by its own pid, never by name.
#ifndef QRN_TESTS_CHILD_PROCESS_H
#define QRN_TESTS_CHILD_PROCESS_H

#include <sys/types.h>

#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace qrntest {

// A directory under $TMPDIR removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &Path() const { return m_path; }
    // Writes a file in the directory and returns its full path.
    std::string Write(const std::string &name, const std::string &content) const;

private:
    std::string m_path;
};

// The full path of an installed program, looked up in PATH and the sbin directories; empty
// when it is not installed (the caller skips its test then).
std::string FindProgram(const std::string &name);

// One child process with its standard output and error collected. The destructor stops it.
class ChildProcess {
public:
    ChildProcess() = default;
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    // argv[0] is the program's path; env entries ("NAME=value") are added to this process's
    // environment. False when the program could not be started.
    bool Start(const std::vector<std::string> &argv, const std::vector<std::string> &env = {});
    // The same with standard input read from in_path and standard output written to out_path
    // (created or emptied); only standard error is collected then.
    bool StartWithFiles(const std::vector<std::string> &argv, const std::string &in_path,
                        const std::string &out_path);
    pid_t Pid() const { return m_pid; }
    bool Running();

    // True once a TCP connect to ip:port succeeds before the deadline, while the child runs.
    bool WaitForTcpPort(uint16_t port, const char *ip = "127.0.0.1", int timeout_ms = kWaitMs);
    // True once the collected output contains text.
    bool WaitForOutput(const std::string &text, int timeout_ms = kWaitMs);
    std::string Output();
    // All the output of a child that has ended: waits for the end of its output first.
    std::string FinalOutput();

    // Waits for the child to end by itself: its exit status as waitpid gives it, or -1 when it
    // did not end within timeout_ms (it is killed then).
    int Wait(int timeout_ms = kWaitMs);
    // SIGTERM, then SIGKILL if it has not ended within timeout_ms; returns the exit status as
    // waitpid gives it (-1 when it was not running).
    int Stop(int timeout_ms = 3000);
    // SIGKILL at once: a crash as the peers see it.
    void Kill();

private:
    bool Spawn(const std::vector<std::string> &argv, const std::vector<std::string> &env,
               const std::string &in_path, const std::string &out_path);
    bool Reap(bool wait);
    void Collect(int fd);

    pid_t m_pid = -1;
    int m_status = -1;
    std::thread m_reader;
    std::mutex m_mutex;
    std::string m_output;
};

}  // namespace qrntest

#endif
