// Connect anywhere: a client given reliable UDP, TCP and the HTTP tunnel races them, and its
// stream goes on over whichever kind still gets through when a firewall starts dropping one.
//
//   client 192.0.2.1 ---- 192.0.2.2 server: qrncat -l --udp 7001 --tcp 7002
//                                          qrntunnel --listen 192.0.2.2:8080
//                                                    --target 127.0.0.1:7002
//
// The firewall sits in the server's place, on the link only: the tunnel server reaches the
// listener's TCP port over the server's own loopback, so that TCP dropped on the link leaves
// the tunnel alone. The programs run in real time (the library's clock factor does not reach
// them) and a silent path is given up after 10 s, so a break takes tens of seconds.
// Needs root, ip, iptables and ss; skips itself otherwise.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "nat/netns_lab.h"
#include "test_support.h"

namespace {

using qrntest::ChildProcess;
using qrntest::FindProgram;
using qrntest::WaitUntil;

constexpr const char *kClientIp = "192.0.2.1";
constexpr const char *kServerIp = "192.0.2.2";
constexpr const char *kUdpPort = "7001";
constexpr const char *kTcpPort = "7002";
constexpr const char *kHttpPort = "8080";
constexpr const char *kClient = "c";
constexpr const char *kServer = "s";

// Real milliseconds, generous for a loaded machine and a sanitizer build: getting ready or
// connected, one break of a path (10 s of silence, then the race), a whole transfer.
constexpr int kStartMs = 60000;
constexpr int kBreakMs = 90000;
constexpr int kTransferMs = 180000;
// The losers of a race must be gone well before the tunnel server's own idle time-out.
// A capability detection that a losing tunnel had started may run to its end, which the tunnel
// server brings after its detector lifetime (20 s): beyond that, nothing may be left.
constexpr int kLosersGoneMs = 30000;
constexpr const char *kTunnelIdleMs = "60000";
constexpr int kCommandPollMs = 100;
// Reliable UDP makes its connect attempts a second apart, five of them: a client that
// connects sooner over TCP raced it instead of waiting for it to fail.
constexpr long kSoonerThanUdpFailsMs = 4000;
constexpr size_t kArrivedBeforeBreak = 256 * 1024;
// A socket open at its end, even when the other end has closed (FIN-WAIT-2, CLOSE-WAIT).
constexpr const char *kOpen = "state connected exclude time-wait";
constexpr const char *kEstablished = "state established";

std::string Program(const char *path) { return path; }

std::string RandomBytes(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (char &c : s) c = static_cast<char>(gen());
    return s;
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

size_t FileSize(const std::string &path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? static_cast<size_t>(st.st_size) : 0;
}

// Waits for text in a program's output; gives up early when the program ended without it.
bool WaitForOutput(ChildProcess &p, const std::string &text, int timeout_ms) {
    WaitUntil([&] { return p.Output().find(text) != std::string::npos || !p.Running(); }, timeout_ms);
    return p.FinalOutput().find(text) != std::string::npos;
}

int ExitCode(int status) { return status >= 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

// Where each piece appears in text, in this order; false when one is missing or out of order.
bool InOrder(const std::string &text, const std::vector<std::string> &pieces) {
    size_t from = 0;
    for (const std::string &piece : pieces) {
        const size_t at = text.find(piece, from);
        if (at == std::string::npos) return false;
        from = at + piece.size();
    }
    return true;
}

// The word after "connected to <server> over " up to " in ", and the milliseconds after it.
bool ConnectedOver(const std::string &err, std::string *kind, long *ms) {
    const std::string head = std::string("connected to ") + kServerIp + " over ";
    const size_t at = err.find(head);
    if (at == std::string::npos) return false;
    const size_t end = err.find(" in ", at);
    if (end == std::string::npos) return false;
    *kind = err.substr(at + head.size(), end - at - head.size());
    *ms = std::strtol(err.c_str() + end + 4, nullptr, 10);
    return true;
}

class CPathLab : public qrntest::CNetnsLab {
public:
    CPathLab(std::string ip, std::string iptables, std::string ss)
        : CNetnsLab(std::move(ip), "qp" + std::to_string(getpid())),
          m_iptables(std::move(iptables)),
          m_ss(std::move(ss)) {}

    bool Up(std::string *why) {
        return AddPlace(kClient, why) && AddPlace(kServer, why) &&
               Link(kClient, std::string(kClientIp) + "/24", kServer, std::string(kServerIp) + "/24", why);
    }

    // Drops proto to port on the server's end of the link, and from it too when both_ways, as
    // a firewall that stops a kind of traffic does. One way, the client still hears the
    // server: only the bytes it sends go unacknowledged.
    bool Block(const char *proto, const char *port, std::string *why, bool both_ways = true) const {
        const std::string ipt = In(kServer) + m_iptables + " -w ";
        const std::string link = LinkEnd(kServer, kClient);
        return Do(ipt + "-A INPUT -i " + link + " -p " + proto + " --dport " + port + " -j DROP", why) &&
               (!both_ways ||
                Do(ipt + "-A OUTPUT -o " + link + " -p " + proto + " --sport " + port + " -j DROP", why));
    }

    // Rules without a target that only count what comes in from the client to port.
    bool Count(const char *proto, const char *port, std::string *why) const {
        return Do(In(kServer) + m_iptables + " -w -A INPUT -i " + LinkEnd(kServer, kClient) + " -p " + proto +
                      " --dport " + port,
                  why);
    }

    // The packets the counting rule for port has seen; -1 when unreadable.
    long Counted(const char *proto, const char *port) const {
        std::string out;
        if (!qrntest::RunCommand(In(kServer) + m_iptables + " -w -L INPUT -v -n -x", &out)) return -1;
        std::istringstream lines(out);
        std::string line;
        while (std::getline(lines, line)) {
            // The match ends the line ("tcp dpt:7002"); the protocol column may be a number.
            if (line.find(std::string(proto) + " dpt:" + port) == std::string::npos ||
                line.find("DROP") != std::string::npos)
                continue;
            return std::strtol(line.c_str(), nullptr, 10);
        }
        return -1;
    }

    // The TCP connections in a place from local to peer ("IP:PORT", empty for any) in the
    // states an ss filter names (kOpen, kEstablished).
    int Connections(const char *place, const std::string &local, const std::string &peer, const char *states) const {
        std::string out;
        if (!qrntest::RunCommand(In(place) + m_ss + " -Htn " + states, &out)) return -1;
        std::istringstream lines(out);
        std::string line;
        int count = 0;
        while (std::getline(lines, line)) {
            // The addresses end the line; a state column comes first only for several states.
            std::istringstream words(line);
            std::vector<std::string> fields{std::istream_iterator<std::string>(words),
                                            std::istream_iterator<std::string>()};
            if (fields.size() < 2) continue;
            const std::string &from = fields[fields.size() - 2], &to = fields.back();
            if ((local.empty() || from == local) && (peer.empty() || to == peer)) ++count;
        }
        return count;
    }

    // A program of ours running in a place.
    std::vector<std::string> Argv(const char *place, const std::string &program,
                                  const std::vector<std::string> &args) const {
        std::vector<std::string> argv{ip(), "netns", "exec", Ns(place), program};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }

private:
    std::string m_iptables;
    std::string m_ss;
};

class PathRaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        signal(SIGPIPE, SIG_IGN);
        if (geteuid() != 0) GTEST_SKIP() << "needs root to create network namespaces";
        const std::string ip = FindProgram("ip"), iptables = FindProgram("iptables"), ss = FindProgram("ss");
        if (ip.empty() || ss.empty()) GTEST_SKIP() << "the ip and ss programs (iproute2) are not installed";
        if (iptables.empty()) GTEST_SKIP() << "the iptables program is not installed";
        ASSERT_FALSE(m_dir.Path().empty());
        m_lab.reset(new CPathLab(ip, iptables, ss));
        std::string why;
        if (!m_lab->Up(&why)) GTEST_SKIP() << "cannot build the two places: " << why;
        m_client_in = m_dir.Path() + "/client.in";
        m_client_out = m_dir.Path() + "/client.out";
        m_server_in = m_dir.Path() + "/server.in";
        m_server_out = m_dir.Path() + "/server.out";
    }

    // The listener and the tunnel server, ready; the listener sends server_bytes.
    void StartServer(size_t server_bytes) {
        m_dir.Write("server.in", RandomBytes(server_bytes, 2));
        ASSERT_TRUE(m_server.StartWithFiles(
            m_lab->Argv(kServer, Program(QRNCAT_PATH), {"-l", "--udp", kUdpPort, "--tcp", kTcpPort, "-q"}), m_server_in,
            m_server_out));
        ASSERT_TRUE(WaitForOutput(m_server, "listening on", kStartMs)) << m_server.Output();
        ASSERT_TRUE(m_tunnel.Start(m_lab->Argv(kServer, Program(QRNTUNNEL_PATH),
                                               {"--listen", std::string(kServerIp) + ":" + kHttpPort, "--target",
                                                std::string("127.0.0.1:") + kTcpPort, "--idle-timeout", kTunnelIdleMs})));
        ASSERT_TRUE(WaitForOutput(m_tunnel, "listening on", kStartMs)) << m_tunnel.Output();
    }

    // The client with all three kinds; it sends client_bytes unless its input is in_path.
    void StartClient(size_t client_bytes, const std::vector<std::string> &extra, const std::string &in_path = "") {
        if (in_path.empty()) m_dir.Write("client.in", RandomBytes(client_bytes, 1));
        std::vector<std::string> args{kServerIp, "--udp", kUdpPort, "--tcp", kTcpPort, "--http", kHttpPort, "-q"};
        args.insert(args.end(), extra.begin(), extra.end());
        ASSERT_TRUE(m_client.StartWithFiles(m_lab->Argv(kClient, Program(QRNCAT_PATH), args),
                                            in_path.empty() ? m_client_in : in_path, m_client_out));
    }

    // Both end by themselves, with status 0, and each one's output is the other's input.
    void ExpectBothDoneAndBytesEqual() {
        ASSERT_EQ(0, ExitCode(m_client.Wait(kTransferMs))) << Outputs();
        EXPECT_EQ(0, ExitCode(m_server.Wait(kTransferMs))) << Outputs();
        const std::string client_in = ReadFile(m_client_in), server_in = ReadFile(m_server_in);
        const std::string client_out = ReadFile(m_client_out), server_out = ReadFile(m_server_out);
        EXPECT_EQ(client_in.size(), server_out.size());
        EXPECT_TRUE(client_in == server_out) << "the client's bytes arrived changed";
        EXPECT_EQ(server_in.size(), client_out.size());
        EXPECT_TRUE(server_in == client_out) << "the server's bytes arrived changed";
    }

    std::string Outputs() {
        return "\nclient:\n" + m_client.Output() + "server:\n" + m_server.Output() + "tunnel:\n" + m_tunnel.Output();
    }

    // A transfer that starts over UDP; once some of it has arrived the firewall drops the
    // given protocols, and the stream must go on over the kind named, whole.
    void BreakMidTransfer(const std::vector<std::pair<const char *, const char *>> &blocked, bool both_ways,
                          const char *client_kind, const char *server_kind) {
        constexpr size_t kClientBytes = 4 << 20;
        constexpr size_t kServerBytes = 1 << 20;
        StartServer(kServerBytes);
        // UDP gets a second to itself, so that it carries the start even on a slow machine.
        StartClient(kClientBytes, {"--race-stagger", "1000"});
        ASSERT_TRUE(WaitForOutput(m_client, std::string("connected to ") + kServerIp + " over UDP in ", kStartMs))
            << Outputs();
        ASSERT_TRUE(WaitUntil([&] { return FileSize(m_server_out) >= kArrivedBeforeBreak; }, kStartMs)) << Outputs();
        ASSERT_LT(FileSize(m_server_out), kClientBytes) << "the transfer ended before the break";
        std::string why;
        for (const auto &b : blocked) ASSERT_TRUE(m_lab->Block(b.first, b.second, &why, both_ways)) << why;

        const std::string resumed = std::string("stream resumed over ") + client_kind;
        ASSERT_TRUE(WaitForOutput(m_client, "path lost (UDP), reconnecting", kBreakMs)) << Outputs();
        ASSERT_TRUE(WaitForOutput(m_client, resumed, kBreakMs)) << Outputs();
        ExpectBothDoneAndBytesEqual();
        EXPECT_TRUE(InOrder(m_client.Output(), {"connected to", "path lost (UDP), reconnecting", resumed,
                                                std::string("path changed from UDP to ") + client_kind}))
            << Outputs();
        EXPECT_TRUE(InOrder(m_server.Output(), {"accepted 192.0.2.1:", " over UDP", "path lost (UDP)",
                                                std::string("stream resumed over ") + server_kind,
                                                std::string("path changed from UDP to ") + server_kind}))
            << Outputs();
    }

    qrntest::TempDir m_dir;
    std::unique_ptr<CPathLab> m_lab;
    ChildProcess m_server;
    ChildProcess m_tunnel;
    ChildProcess m_client;
    std::string m_client_in, m_client_out, m_server_in, m_server_out;
};

// UDP dropped from the start: the race does not wait for UDP's attempts to fail; TCP, started
// a moment later, carries the connection, and never breaks.
TEST_F(PathRaceTest, UdpBlockedFromTheStartConnectsOverTcpAtOnce) {
    std::string why;
    ASSERT_TRUE(m_lab->Block("udp", kUdpPort, &why)) << why;
    StartServer(200000);
    StartClient(300000, {});
    ASSERT_TRUE(WaitForOutput(m_client, "connected to", kStartMs)) << Outputs();
    ExpectBothDoneAndBytesEqual();
    std::string kind;
    long ms = -1;
    ASSERT_TRUE(ConnectedOver(m_client.Output(), &kind, &ms)) << Outputs();
    EXPECT_EQ("TCP", kind) << Outputs();
    EXPECT_LT(ms, kSoonerThanUdpFailsMs) << Outputs();
    RecordProperty("connect_ms", static_cast<int>(ms));
    EXPECT_TRUE(InOrder(m_server.Output(), {"accepted 192.0.2.1:", " over TCP"})) << Outputs();
    for (ChildProcess *p : {&m_client, &m_server}) {
        EXPECT_EQ(std::string::npos, p->Output().find("path lost")) << Outputs();
        EXPECT_EQ(std::string::npos, p->Output().find("stream resumed")) << Outputs();
    }
}

// Only what the client sends is dropped: it still reads the server's bytes until they stop,
// and its own go unacknowledged.
TEST_F(PathRaceTest, UdpBlockedMidTransferTheStreamGoesOnOverTcp) {
    BreakMidTransfer({{"udp", kUdpPort}}, false, "TCP", "TCP");
}

// The tunnel server joins the client to the listener's TCP port: at the listener it is TCP.
TEST_F(PathRaceTest, UdpAndTcpBlockedMidTransferTheStreamGoesOnThroughTheTunnel) {
    BreakMidTransfer({{"udp", kUdpPort}, {"tcp", kTcpPort}}, true, "HTTP tunnel", "TCP");
}

// Every kind starts at once; once one has won, the others have left no connection open:
// neither a TCP connection from the client nor a tunnel session in the tunnel server.
TEST_F(PathRaceTest, LosersOfARaceLeaveNothingOpen) {
    std::string why;
    for (const char *port : {kTcpPort, kHttpPort}) ASSERT_TRUE(m_lab->Count("tcp", port, &why)) << why;
    ASSERT_TRUE(m_lab->Count("udp", kUdpPort, &why)) << why;
    StartServer(65536);
    // The client's input stays open while the sockets are looked at.
    const std::string fifo = m_dir.Path() + "/client.fifo";
    ASSERT_EQ(0, mkfifo(fifo.c_str(), 0600));
    const int input = open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(input, 0);
    StartClient(0, {"--race-stagger", "0"}, fifo);
    const std::string hello = "hello over the winner";
    m_dir.Write("client.in", hello);  // what the client sends, for the comparison at the end
    ASSERT_TRUE(WaitForOutput(m_client, "connected to", kStartMs)) << Outputs();
    ASSERT_EQ(static_cast<ssize_t>(hello.size()), write(input, hello.data(), hello.size()));
    ASSERT_TRUE(WaitUntil([&] { return FileSize(m_server_out) == hello.size(); }, kStartMs)) << Outputs();

    std::string kind;
    long ms = -1;
    ASSERT_TRUE(ConnectedOver(m_client.Output(), &kind, &ms)) << Outputs();
    // Each kind was tried.
    EXPECT_GT(m_lab->Counted("udp", kUdpPort), 0) << Outputs();
    EXPECT_GT(m_lab->Counted("tcp", kTcpPort), 0) << Outputs();
    EXPECT_GT(m_lab->Counted("tcp", kHttpPort), 0) << Outputs();
    // What the winner holds, and nothing else: a losing TCP path closed at both ends (the
    // listener dropped its half at once), a losing tunnel closed by the client and no session
    // of the tunnel server joined to the listener. The tunnel server may keep its end of a
    // detector's connection until the detection's lifetime is over; that is its own affair.
    const int tcp_left = kind == "TCP" ? 1 : 0;
    const bool tunnel_left = kind == "HTTP tunnel";
    const std::string server_tcp = std::string(kServerIp) + ":" + kTcpPort;
    const std::string server_http = std::string(kServerIp) + ":" + kHttpPort;
    const std::string tunnel_target = std::string("127.0.0.1:") + kTcpPort;
    auto to_tcp = [&] { return m_lab->Connections(kClient, "", server_tcp, kOpen); };
    auto at_tcp = [&] { return m_lab->Connections(kServer, server_tcp, "", kOpen); };
    auto to_tunnel = [&] { return m_lab->Connections(kClient, "", server_http, kEstablished); };
    auto sessions = [&] { return m_lab->Connections(kServer, "", tunnel_target, kOpen); };
    auto settled = [&] {
        return to_tcp() == tcp_left && at_tcp() == tcp_left && (to_tunnel() > 0) == tunnel_left &&
               sessions() == (tunnel_left ? 1 : 0);
    };
    auto looked = [&] {
        std::ostringstream text;
        text << "won by " << kind << " in " << ms << " ms; open to the TCP port " << to_tcp() << " (at the listener "
             << at_tcp() << "), established to the tunnel " << to_tunnel() << ", tunnel sessions " << sessions();
        return text.str();
    };
    EXPECT_TRUE(WaitUntil(settled, kLosersGoneMs, kCommandPollMs)) << looked() << Outputs();
    close(input);
    ExpectBothDoneAndBytesEqual();
    // One connection reached the listener, and only one.
    const std::string served = m_server.Output();
    EXPECT_EQ(served.find("accepted "), served.rfind("accepted ")) << Outputs();
    EXPECT_EQ(std::string::npos, served.find("refused")) << Outputs();
}

}  // namespace
