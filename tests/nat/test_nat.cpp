// Hole punching through two real address translators. Network namespaces make the places:
//
//   server 192.168.1.2 -- [NAT a] 203.0.113.2 --+
//                                               [public: relay 198.51.100.1]
//   client 192.168.1.2 -- [NAT b] 203.0.113.6 --+
//
// Both private networks use the same addresses; each translator masquerades its private
// side and, like a home router, drops every datagram from outside that no flow of its own
// asked for. The server only tells the relay where it is (by connecting to it); the client
// then reaches the server's translated address through the relay's dig hole exchange.
// Needs root, ip and iptables; skips itself otherwise.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "child_process.h"
#include "nat/nat_peer.h"
#include "nat/netns_lab.h"
#include "test_support.h"

extern char **environ;

namespace {

using qrntest::FindProgram;
using qrntest::WaitUntil;

constexpr const char *kRelayIp = "198.51.100.1";
constexpr const char *kRelayPort = "9000";
constexpr const char *kServerPort = "7000";
constexpr const char *kNatAPublicIp = "203.0.113.2";
// Real milliseconds a peer may take to get ready or finish on a loaded machine.
constexpr int kPeerWaitMs = 60000;
constexpr const char *kEchoBytes = "262144";

// The namespaces and links of the picture above.
class CNatLab : public qrntest::CNetnsLab {
public:
    CNatLab(std::string ip, std::string iptables)
        : CNetnsLab(std::move(ip), "qn" + std::to_string(getpid())), m_iptables(std::move(iptables)) {}

    // False, with the reason, when this machine cannot build it.
    bool Up(std::string *why) {
        for (const char *place : {"pub", "na", "nb", "sa", "cb"}) {
            if (!AddPlace(place, why)) return false;
        }
        if (!Do(In("pub") + ip() + " addr add " + kRelayIp + "/32 dev lo", why)) return false;
        return Link("pub", "203.0.113.1/30", "na", "203.0.113.2/30", why) &&
               Link("pub", "203.0.113.5/30", "nb", "203.0.113.6/30", why) &&
               Link("na", "192.168.1.1/24", "sa", "192.168.1.2/24", why) &&
               Link("nb", "192.168.1.1/24", "cb", "192.168.1.2/24", why) &&
               Do(In("na") + ip() + " route add default via 203.0.113.1", why) &&
               Do(In("nb") + ip() + " route add default via 203.0.113.5", why) &&
               Do(In("sa") + ip() + " route add default via 192.168.1.1", why) &&
               Do(In("cb") + ip() + " route add default via 192.168.1.1", why) && Forward("pub", why) &&
               Translate("na", why) && Translate("nb", why);
    }

private:
    bool Forward(const char *place, std::string *why) {
        return Do(In(place) + "sh -c 'echo 1 > /proc/sys/net/ipv4/ip_forward'", why);
    }

    // Masquerade the private side behind the public end; drop what nobody inside asked for.
    bool Translate(const char *place, std::string *why) {
        const std::string wan = LinkEnd(place, "pub");
        const std::string ipt = In(place) + m_iptables;
        return Forward(place, why) && Do(ipt + " -t nat -A POSTROUTING -o " + wan + " -j MASQUERADE", why) &&
               Do(ipt + " -A INPUT -i " + wan + " -m conntrack --ctstate NEW -j DROP", why) &&
               Do(ipt + " -A FORWARD -i " + wan + " -m conntrack --ctstate NEW -j DROP", why);
    }

    std::string m_iptables;
};

// A peer program running in one of the lab's namespaces, its output collected line by line.
// The destructor kills it if it still runs.
class CPeer {
public:
    CPeer(const CNatLab &lab, const char *place, const std::vector<std::string> &args) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDERR_FILENO);
        std::vector<std::string> text{lab.ip(), "netns", "exec", lab.Ns(place), QRN_NAT_PEER_PATH};
        text.insert(text.end(), args.begin(), args.end());
        std::vector<char *> argv;
        for (std::string &t : text) argv.push_back(&t[0]);
        argv.push_back(nullptr);
        if (posix_spawn(&m_pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(out[1]);
        m_reader = std::thread([this, fd = out[0]] { Collect(fd); });
    }

    ~CPeer() {
        if (m_pid > 0 && !Exited()) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
        }
        m_reader.join();
    }

    // The first line starting with prefix, or empty when none came in time.
    std::string WaitForLine(const std::string &prefix, int timeout_ms = kPeerWaitMs) {
        std::string found;
        WaitUntil(
            [&] {
                std::lock_guard<std::mutex> guard(m_mutex);
                std::istringstream lines(m_output);
                std::string line;
                while (std::getline(lines, line)) {
                    if (line.compare(0, prefix.size(), prefix) == 0) {
                        found = line;
                        return true;
                    }
                }
                return false;
            },
            timeout_ms);
        return found;
    }

    // The exit code, or -1 when it did not end in time (or died of a signal).
    int WaitExit(int timeout_ms = kPeerWaitMs) {
        if (!WaitUntil([&] { return Exited(); }, timeout_ms)) return -1;
        return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : -1;
    }

    std::string Output() {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_output;
    }

private:
    bool Exited() {
        if (m_pid <= 0) return true;
        if (m_exited) return true;
        if (waitpid(m_pid, &m_status, WNOHANG) == m_pid) m_exited = true;
        return m_exited;
    }

    void Collect(int fd) {
        char buffer[512];
        ssize_t n;
        while ((n = read(fd, buffer, sizeof(buffer))) > 0) {
            std::lock_guard<std::mutex> guard(m_mutex);
            m_output.append(buffer, static_cast<size_t>(n));
        }
        close(fd);
    }

    pid_t m_pid = -1;
    bool m_exited = false;
    int m_status = 0;
    std::mutex m_mutex;  // guards m_output
    std::string m_output;
    std::thread m_reader;
};

class NatTraversalTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0) GTEST_SKIP() << "needs root to create network namespaces";
        m_ip = FindProgram("ip");
        m_iptables = FindProgram("iptables");
        if (m_ip.empty()) GTEST_SKIP() << "the ip program (iproute2) is not installed";
        if (m_iptables.empty()) GTEST_SKIP() << "the iptables program is not installed";
        m_lab.reset(new CNatLab(m_ip, m_iptables));
        std::string why;
        if (!m_lab->Up(&why)) GTEST_SKIP() << "cannot build the translated networks: " << why;
    }

    std::string m_ip;
    std::string m_iptables;
    std::unique_ptr<CNatLab> m_lab;
};

TEST_F(NatTraversalTest, ClientReachesServerBehindAnotherTranslatorThroughTheRelay) {
    CPeer relay(*m_lab, "pub", {"relay", kRelayIp, kRelayPort});
    ASSERT_FALSE(relay.WaitForLine(natpeer::kSayReady).empty()) << relay.Output();
    CPeer server(*m_lab, "sa", {"server", kRelayIp, kRelayPort, kServerPort});
    ASSERT_FALSE(server.WaitForLine(natpeer::kSayRegistered).empty()) << server.Output();

    // The relay saw the server at its translator's public address, not at its own.
    std::istringstream seen(relay.WaitForLine(natpeer::kSayPeer).substr(strlen(natpeer::kSayPeer)));
    std::string server_ip;
    std::string server_port;
    seen >> server_ip >> server_port;
    ASSERT_EQ(kNatAPublicIp, server_ip) << relay.Output();
    ASSERT_FALSE(server_port.empty());

    // Straight to that address the connect requests are dropped by the server's translator:
    // the five attempts go unanswered (a fast clock makes them quick).
    {
        CPeer direct(*m_lab, "cb", {"client", server_ip, server_port, "-", "0", "7100", kEchoBytes, "10"});
        EXPECT_EQ(natpeer::kExitConnectFailed, direct.WaitExit()) << direct.Output();
        EXPECT_NE(std::string::npos, direct.Output().find(std::string(natpeer::kSayConnectFailed) + "1"))
            << direct.Output();
    }

    // Through the relay the server's side opens a hole toward the client first.
    CPeer client(*m_lab, "cb", {"client", server_ip, server_port, kRelayIp, kRelayPort, "7200", kEchoBytes, "1"});
    EXPECT_EQ(natpeer::kExitOk, client.WaitExit()) << client.Output() << "\nserver:\n" << server.Output();
    // The reader may not have the last lines yet when the exit is seen.
    EXPECT_FALSE(client.WaitForLine(std::string(natpeer::kSayEchoOk) + kEchoBytes).empty()) << client.Output();
}

}  // namespace
