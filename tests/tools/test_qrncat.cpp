// qrncat as its users run it: the built program in child processes on loopback.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <mutex>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "proxy_support.h"
#include "test_support.h"
#include "tunnel_fixture.h"

extern char **environ;

namespace {

using qrntest::WaitUntil;

constexpr size_t kMegabyte = 1 << 20;
constexpr int kExitUsage = 2;

std::string QrncatPath() {
#ifdef QRNCAT_PATH
    return QRNCAT_PATH;
#else
    const char *env = getenv("QRNCAT");
    return env ? env : "";
#endif
}

// A loopback TCP port on which nothing listens (free a moment ago).
uint16_t FreePort() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(a);
    uint16_t port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    close(fd);
    return port;
}

std::vector<char> RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::vector<char> v(n);
    for (auto &c : v) c = static_cast<char>(gen());
    return v;
}

// One qrncat process with its three standard streams on pipes. Output is collected by
// threads; input is written by a thread and closed when the data is out (unless kept open).
class CQrncat {
public:
    // With read_stdout false, nothing reads the child's standard output until ReadStdout.
    explicit CQrncat(const std::vector<std::string> &args, bool read_stdout = true) {
        int in[2], out[2], err[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 ||
            pipe2(err, O_CLOEXEC) != 0)
            return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
        std::vector<std::string> argv_text{QrncatPath()};
        argv_text.insert(argv_text.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (auto &a : argv_text) argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(in[0]);
        close(out[1]);
        close(err[1]);
        m_stdin = in[1];
        m_stdout_fd = out[0];
        if (read_stdout) ReadStdout();
        m_err_reader = std::thread(&CQrncat::Collect, this, err[0], &m_stderr);
    }

    ~CQrncat() {
        if (m_pid > 0 && !m_exited) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        CloseInput();
        ReadStdout();
        JoinReaders();
    }

    void ReadStdout() {
        if (!m_out_reader.joinable() && m_stdout_fd >= 0)
            m_out_reader = std::thread(&CQrncat::Collect, this, m_stdout_fd, &m_stdout);
    }

    bool Started() const { return m_pid > 0; }
    void Signal(int sig) {
        if (m_pid > 0 && !m_exited) kill(m_pid, sig);
    }

    // Writes data to the child's standard input on a thread; closes it afterwards unless
    // keep_open.
    void Feed(std::vector<char> data, bool keep_open = false) {
        int fd = m_stdin;
        m_writer = std::thread([this, fd, data = std::move(data), keep_open] {
            size_t off = 0;
            while (off < data.size()) {
                ssize_t n = write(fd, data.data() + off, data.size() - off);
                if (n <= 0) break;
                off += static_cast<size_t>(n);
            }
            if (!keep_open) CloseStdin();
        });
    }

    // Ends the child's input once the data given to Feed is written.
    void CloseInput() {
        if (m_writer.joinable()) m_writer.join();
        CloseStdin();
    }

    // The exit status, or -1 when the process did not end within the wait. Once it has
    // ended, its output is complete.
    int WaitExit(int timeout_ms = qrntest::kWaitMs) {
        WaitUntil([&] { return Poll(); }, timeout_ms);
        if (!m_exited) return -1;
        JoinReaders();
        return m_status;
    }

    bool WaitForError(const std::string &piece) {
        return WaitUntil([&] { return Stderr().find(piece) != std::string::npos; });
    }

    std::string Stdout() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_stdout;
    }
    std::string Stderr() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_stderr;
    }

private:
    void CloseStdin() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stdin >= 0) close(m_stdin);
        m_stdin = -1;
    }

    void JoinReaders() {
        if (m_out_reader.joinable()) m_out_reader.join();
        if (m_err_reader.joinable()) m_err_reader.join();
    }

    bool Poll() {
        if (m_exited) return true;
        int status = 0;
        if (m_pid <= 0 || waitpid(m_pid, &status, WNOHANG) != m_pid) return false;
        m_exited = true;
        m_status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return true;
    }

    void Collect(int fd, std::string *into) {
        char buf[65536];
        for (;;) {
            ssize_t n = read(fd, buf, sizeof(buf));
            if (n <= 0) break;
            std::lock_guard<std::mutex> lock(m_mutex);
            into->append(buf, static_cast<size_t>(n));
        }
        close(fd);
    }

    pid_t m_pid = -1;
    bool m_exited = false;
    int m_status = -1;
    int m_stdin = -1;
    int m_stdout_fd = -1;
    std::mutex m_mutex;
    std::string m_stdout;
    std::string m_stderr;
    std::thread m_out_reader;
    std::thread m_err_reader;
    std::thread m_writer;
};

class QrncatTest : public ::testing::Test {
protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);  // a child that ended early must not end the test with it
        ASSERT_FALSE(QrncatPath().empty())
            << "build with QRNCAT_PATH defined, or set QRNCAT to the qrncat program";
        ASSERT_EQ(0, access(QrncatPath().c_str(), X_OK)) << QrncatPath();
        m_port = std::to_string(FreePort());
    }

    std::vector<std::string> ListenArgs(std::vector<std::string> extra) const {
        std::vector<std::string> args{"-l", "--bind", "127.0.0.1", "--tcp", m_port, "-q"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }
    std::vector<std::string> ConnectArgs(std::vector<std::string> extra) const {
        std::vector<std::string> args{"127.0.0.1", "--tcp", m_port, "-q"};
        args.insert(args.end(), extra.begin(), extra.end());
        return args;
    }

    std::string m_port;
};

TEST_F(QrncatTest, PipesAMegabyteEachWayUnchanged) {
    struct SCase {
        bool listener_sends;
    };
    for (SCase c : {SCase{false}, SCase{true}}) {
        SCOPED_TRACE(c.listener_sends ? "listener to connector" : "connector to listener");
        m_port = std::to_string(FreePort());
        std::vector<char> data = RandomBytes(kMegabyte, c.listener_sends ? 2 : 1);
        CQrncat listener(ListenArgs(c.listener_sends ? std::vector<std::string>{}
                                                     : std::vector<std::string>{"-d"}));
        ASSERT_TRUE(listener.Started());
        ASSERT_TRUE(listener.WaitForError("listening on")) << listener.Stderr();
        CQrncat connector(ConnectArgs(c.listener_sends ? std::vector<std::string>{"-d"}
                                                       : std::vector<std::string>{}));
        (c.listener_sends ? listener : connector).Feed(data);

        CQrncat &receiver = c.listener_sends ? connector : listener;
        EXPECT_EQ(0, connector.WaitExit()) << connector.Stderr();
        EXPECT_EQ(0, listener.WaitExit()) << listener.Stderr();
        std::string got = receiver.Stdout();
        ASSERT_EQ(data.size(), got.size());
        EXPECT_TRUE(std::equal(data.begin(), data.end(), got.begin()));
        EXPECT_NE(std::string::npos, listener.Stderr().find("reason 1 (closed by the peer)"))
            << listener.Stderr();
    }
}

// Reliable UDP alone, TCP with UDP beside it, and the HTTP tunnel through the tunnel server
// to the listener's TCP port: the listener offers its ports, the connector names the mode by
// the ports it gives. The connector closes once both inputs have ended and exits at once: the
// tail still in flight and the close must reach the listener all the same, which ends with
// reason 1.
// Through the tunnel the listener sends, so the stream crosses the tunnel's download.
TEST_F(QrncatTest, PipesOverUdpOverTcpWithUdpAndThroughTheTunnel) {
    constexpr size_t kBytes = 3000000;
    constexpr int kTransferMs = 12 * qrntest::kWaitMs;  // reliable UDP starts at 200 KB/s
    const std::string udp_port = std::to_string(FreePort());
    qrntest::TunnelServer tunnel;
    ASSERT_TRUE(tunnel.Start(static_cast<uint16_t>(std::stoi(m_port))));
    const std::string http_port = std::to_string(tunnel.Port());
    struct SCase {
        std::vector<std::string> ports;
        const char *mode;
        bool listener_sends;
    };
    for (const SCase &c : {SCase{{"--udp", udp_port}, "over UDP", false},
                           SCase{{"--udp", udp_port, "--tcp", m_port}, "over TCP+UDP", false},
                           SCase{{"--http", http_port}, "over HTTP tunnel", true}}) {
        SCOPED_TRACE(c.mode);
        std::vector<char> data = RandomBytes(kBytes, 3);
        CQrncat listener(ListenArgs(c.listener_sends ? std::vector<std::string>{"--udp", udp_port}
                                                     : std::vector<std::string>{"--udp", udp_port, "-d"}));
        ASSERT_TRUE(listener.Started());
        ASSERT_TRUE(listener.WaitForError("listening on")) << listener.Stderr();
        std::vector<std::string> args{"127.0.0.1"};
        args.insert(args.end(), c.ports.begin(), c.ports.end());
        if (c.listener_sends) args.push_back("-d");
        CQrncat connector(args);
        CQrncat &sender = c.listener_sends ? listener : connector;
        CQrncat &receiver = c.listener_sends ? connector : listener;
        if (c.listener_sends) {
            ASSERT_TRUE(listener.WaitForError("accepted")) << listener.Stderr();
        }
        sender.Feed(data);
        EXPECT_EQ(0, sender.WaitExit(kTransferMs)) << sender.Stderr();
        EXPECT_EQ(0, receiver.WaitExit(kTransferMs)) << receiver.Stderr();
        EXPECT_NE(std::string::npos, connector.Stderr().find(c.mode)) << connector.Stderr();
        // The time the connect took ends the line.
        const std::string err = connector.Stderr();
        const size_t opened = err.find(std::string("connected to 127.0.0.1 ") + c.mode + " in ");
        EXPECT_TRUE(opened != std::string::npos &&
                    std::regex_search(err.substr(opened), std::regex("^[^\n]* in [0-9]+ ms\n")))
            << err;
        EXPECT_NE(std::string::npos, sender.Stderr().find("sent 3000000")) << sender.Stderr();
        // Between two qrncats the connecting side closes once both inputs have ended.
        EXPECT_NE(std::string::npos, connector.Stderr().find("end of input: closed")) << connector.Stderr();
        EXPECT_NE(std::string::npos, listener.Stderr().find("reason 1 (closed by the peer)"))
            << listener.Stderr();
        std::string got = receiver.Stdout();
        ASSERT_EQ(data.size(), got.size());
        EXPECT_TRUE(std::equal(data.begin(), data.end(), got.begin()));
    }
}

// The receiver's standard output is not read until the sender's library has taken 8 of
// 16 MiB: that much then waits in the receiver's queue (which holds the library's thread back
// at 8 MiB) and in the socket buffers, and none of it may be lost.
TEST_F(QrncatTest, PausedStandardOutputLosesNothing) {
    constexpr size_t kBytes = 16 * kMegabyte;
    constexpr unsigned long long kTakenBeforeReading = 8 * kMegabyte;
    std::vector<char> data = RandomBytes(kBytes, 3);
    CQrncat listener({"-l", "--bind", "127.0.0.1", "--tcp", m_port});  // with progress lines
    ASSERT_TRUE(listener.WaitForError("listening on")) << listener.Stderr();
    CQrncat connector(ConnectArgs({"-d"}), /*read_stdout=*/false);
    listener.Feed(data);

    // Progress lines read "sent S, received R bytes", every two seconds.
    auto sent = [&] {
        std::string err = listener.Stderr();
        size_t at = err.rfind("sent ");
        return at == std::string::npos ? 0ull : std::stoull(err.substr(at + 5));
    };
    ASSERT_TRUE(WaitUntil([&] { return sent() >= kTakenBeforeReading; })) << listener.Stderr();
    connector.ReadStdout();
    EXPECT_EQ(0, connector.WaitExit()) << connector.Stderr();
    EXPECT_EQ(0, listener.WaitExit()) << listener.Stderr();
    std::string got = connector.Stdout();
    ASSERT_EQ(data.size(), got.size());
    EXPECT_TRUE(std::equal(data.begin(), data.end(), got.begin()));
}

TEST_F(QrncatTest, RefusesASecondClientWhileServingTheFirst) {
    CQrncat listener(ListenArgs({"-d"}));
    ASSERT_TRUE(listener.WaitForError("listening on")) << listener.Stderr();
    CQrncat first(ConnectArgs({}));
    first.Feed(std::vector<char>{'h', 'i'}, /*keep_open=*/true);
    ASSERT_TRUE(WaitUntil([&] { return listener.Stdout() == "hi"; })) << listener.Stderr();

    CQrncat second(ConnectArgs({}));
    EXPECT_EQ(1, second.WaitExit()) << second.Stderr();
    EXPECT_NE(std::string::npos, second.Stderr().find("refused the connection (code 1000)"))
        << second.Stderr();

    first.CloseInput();
    EXPECT_EQ(0, first.WaitExit()) << first.Stderr();
    EXPECT_EQ(0, listener.WaitExit()) << listener.Stderr();
    EXPECT_EQ("hi", listener.Stdout());
}

TEST_F(QrncatTest, FailedConnectsGiveAClearErrorAndStatusOne) {
    struct SCase {
        std::vector<std::string> args;
        const char *message;
    };
    const std::vector<SCase> cases = {
        {ConnectArgs({}), "cannot reach 127.0.0.1"},  // nothing listens on the port
        // A race of every kind, none of which gets through: UDP takes its five attempts.
        {{"127.0.0.1", "--udp", m_port, "--tcp", m_port, "--http", m_port, "--race-stagger", "0"},
         "cannot reach 127.0.0.1"},
    };
    for (const SCase &c : cases) {
        SCOPED_TRACE(c.args.size());
        CQrncat connector(c.args);
        EXPECT_EQ(1, connector.WaitExit(3 * qrntest::kWaitMs)) << connector.Stderr();
        EXPECT_NE(std::string::npos, connector.Stderr().find(c.message)) << connector.Stderr();
        EXPECT_EQ("", connector.Stdout());
    }
}

// The end of one side's input is a half-close: the other side's bytes keep flowing, and each
// side's exit status says whether everything it took was delivered and the peer's stream
// arrived whole.
TEST_F(QrncatTest, EndOfInputIsAHalfCloseAndTheExitStatusTellsWhetherAllArrived) {
    const std::vector<char> big = RandomBytes(4 * kMegabyte, 5);
    {
        SCOPED_TRACE("a short input against a long one, both ways at once");
        CQrncat listener(ListenArgs({}));
        ASSERT_TRUE(listener.WaitForError("listening on")) << listener.Stderr();
        listener.Feed(big);
        CQrncat connector(ConnectArgs({}));
        connector.Feed(std::vector<char>{'h', 'i'});
        EXPECT_EQ(0, connector.WaitExit()) << connector.Stderr();
        EXPECT_EQ(0, listener.WaitExit()) << listener.Stderr();
        EXPECT_TRUE(connector.Stdout() == std::string(big.begin(), big.end()));
        EXPECT_EQ("hi", listener.Stdout());
        EXPECT_NE(std::string::npos, connector.Stderr().find("end of input; sent 2 bytes, still receiving"))
            << connector.Stderr();
        // Read when the client was accepted, not after the connection may have ended.
        EXPECT_NE(std::string::npos, listener.Stderr().find("accepted 127.0.0.1:")) << listener.Stderr();
        EXPECT_NE(std::string::npos, listener.Stderr().find(" over TCP")) << listener.Stderr();
    }
    {
        SCOPED_TRACE("a listener whose input is empty from the start");
        m_port = std::to_string(FreePort());
        CQrncat listener(ListenArgs({}));
        ASSERT_TRUE(listener.WaitForError("listening on")) << listener.Stderr();
        listener.CloseInput();
        CQrncat connector(ConnectArgs({}));
        connector.Feed(big);
        EXPECT_EQ(0, connector.WaitExit()) << connector.Stderr();
        EXPECT_EQ(0, listener.WaitExit()) << listener.Stderr();
        EXPECT_TRUE(listener.Stdout() == std::string(big.begin(), big.end()));
        EXPECT_NE(std::string::npos, connector.Stderr().find("end of input: closed; sent 4194304")) << connector.Stderr();
    }
    {
        SCOPED_TRACE("Ctrl-C closes at once, and neither side claims success");
        m_port = std::to_string(FreePort());
        CQrncat listener(ListenArgs({}));
        ASSERT_TRUE(listener.WaitForError("listening on")) << listener.Stderr();
        CQrncat connector(ConnectArgs({}));
        connector.Feed(std::vector<char>{'x'}, /*keep_open=*/true);
        ASSERT_TRUE(WaitUntil([&] { return listener.Stdout() == "x"; })) << listener.Stderr();
        connector.Signal(SIGINT);
        EXPECT_EQ(1, connector.WaitExit()) << connector.Stderr();
        EXPECT_EQ(1, listener.WaitExit(qrntest::kWaitMs / 2)) << listener.Stderr();  // not the 30 s time-out
        EXPECT_NE(std::string::npos, connector.Stderr().find("Interrupt: closing the connection")) << connector.Stderr();
        EXPECT_NE(std::string::npos, listener.Stderr().find("the peer closed before the end of its stream"))
            << listener.Stderr();
    }
}

TEST_F(QrncatTest, HelpVersionAndAListenerWithAnHttpPortAreAnswered) {
    for (const char *flag : {"--help", "-h"}) {
        CQrncat cat({flag});
        EXPECT_EQ(0, cat.WaitExit());
        for (const char *piece :
             {"usage:", "-d ", "-q ", "--relay", "--race-stagger", "qrntunnel", "Exit status", "Examples:"}) {
            EXPECT_NE(std::string::npos, cat.Stdout().find(piece)) << piece << "\n" << cat.Stdout();
        }
    }
    CQrncat version({"--version"});
    EXPECT_EQ(0, version.WaitExit());
    EXPECT_EQ(0u, version.Stdout().rfind("qrncat ", 0)) << version.Stdout();
    CQrncat http_listener({"-l", "--http", "8080"});
    EXPECT_EQ(kExitUsage, http_listener.WaitExit());
    EXPECT_NE(std::string::npos, http_listener.Stderr().find("run qrntunnel in front of its --tcp port"))
        << http_listener.Stderr();
    // A port that is taken is named, with the system's word for it.
    CQrncat first(ListenArgs({"-d"}));
    ASSERT_TRUE(first.WaitForError("listening on")) << first.Stderr();
    CQrncat second(ListenArgs({"-d"}));
    EXPECT_EQ(1, second.WaitExit());
    EXPECT_NE(std::string::npos, second.Stderr().find("cannot listen on TCP port " + m_port + ": Address already in use"))
        << second.Stderr();
}

// A connect through a proxy names the proxy when it works and the proxy's answer when it
// does not; the password never shows.
TEST_F(QrncatTest, ProxiesAreNamedWhetherTheyCarryTheConnectionOrRefuseIt) {
    qrntest::CProxyProgram proxy(qrntest::CProxyProgram::kTinyproxy);
    if (!proxy.Missing().empty()) GTEST_SKIP() << proxy.Missing();
    proxy.RequireCredentials("alice", "s3cret");
    ASSERT_TRUE(proxy.Start());
    const std::string at = "127.0.0.1:" + std::to_string(proxy.Port());
    qrntest::ScopedProxyEnv env;
    struct SCase {
        std::string setting;
        std::string message;
    };
    const std::vector<SCase> refusals = {
        {"http://" + at, "cannot reach 127.0.0.2: proxy " + at + " answered 407 Proxy Authentication Required"},
        {"http://127.0.0.1:" + m_port, "cannot reach 127.0.0.2: proxy 127.0.0.1:" + m_port + ": Connection refused"},
    };
    for (const SCase &c : refusals) {
        SCOPED_TRACE(c.setting);
        env.Set("https_proxy", c.setting);
        CQrncat connector({"127.0.0.2", "--tcp", "443", "-q", "-d"});
        EXPECT_EQ(1, connector.WaitExit()) << connector.Stderr();
        EXPECT_NE(std::string::npos, connector.Stderr().find(c.message)) << connector.Stderr();
    }
    if (!qrntest::CanBindPrivilegedPorts()) GTEST_SKIP() << "a listener on port 443 needs root";
    env.Set("https_proxy", "http://alice:s3cret@" + at);
    CQrncat listener({"-l", "--bind", "127.0.0.2", "--tcp", "443", "-q", "-d"});
    ASSERT_TRUE(listener.WaitForError("listening on")) << listener.Stderr();
    CQrncat connector({"127.0.0.2", "--tcp", "443", "-q"});
    connector.Feed(std::vector<char>{'o', 'k'});
    EXPECT_EQ(0, connector.WaitExit()) << connector.Stderr();
    EXPECT_EQ(0, listener.WaitExit()) << listener.Stderr();
    EXPECT_EQ("ok", listener.Stdout());
    EXPECT_NE(std::string::npos, connector.Stderr().find("through the proxy http://" + at)) << connector.Stderr();
    EXPECT_EQ(std::string::npos, connector.Stderr().find("s3cret")) << connector.Stderr();
}

TEST_F(QrncatTest, RejectsBadArgumentsWithUsage) {
    const std::vector<std::vector<std::string>> cases = {
        {},                                          // nothing at all
        {"127.0.0.1"},                               // no port
        {"127.0.0.1", "--tcp", "0"},                 // port out of range
        {"127.0.0.1", "--tcp", "65536"},
        {"127.0.0.1", "--tcp", "12x"},
        {"127.0.0.1", "--tcp"},                      // missing value
        {"-l", "127.0.0.1", "--tcp", "5000"},        // host while listening
        {"-l", "--tcp", "5000", "--relay", "1.2.3.4:5"},
        {"127.0.0.1", "--udp", "5000", "--relay", "nohostport"},
        {"127.0.0.1", "--tcp", "5000", "--bogus"},
        {"a", "b", "--tcp", "5000"},                 // two hosts
        {"127.0.0.1", "--udp", "5000", "--http", "8080", "--race-stagger", "10001"},
        {"127.0.0.1", "--udp", "5000", "--http", "8080", "--race-stagger", "-1"},
        {"127.0.0.1", "--udp", "5000", "--http", "8080", "--race-stagger", "fast"},
        {"127.0.0.1", "--tcp", "5000", "--race-stagger", "100"},  // no race without --http
        {"-l", "--udp", "5000", "--race-stagger", "100"},
    };
    for (const auto &args : cases) {
        std::string line;
        for (const auto &a : args) line += a + " ";
        SCOPED_TRACE(line);
        CQrncat cat(args);
        EXPECT_EQ(kExitUsage, cat.WaitExit());
        EXPECT_NE(std::string::npos, cat.Stderr().find("usage:")) << cat.Stderr();
    }
}

}  // namespace
