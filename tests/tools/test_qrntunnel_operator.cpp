// qrntunnel as its operator meets it: what it says on standard error when it starts, for each
// session and when it cannot start, and its exit codes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "nginx_proxy.h"
#include "qrntunnel_peer.h"

namespace {

using namespace qrntest;

// How the operator's lines name the HTTP library's own messages.
const char kLibraryPrefix[] = "libmicrohttpd: ";

class QrnTunnelOperator : public TunnelTargetTest {
protected:
    // The tunnel started on a port the system chooses: the port its listening line names.
    uint16_t StartOnPortZero(ChildProcess *child, const std::vector<std::string> &extra) {
        const std::string target = "127.0.0.1:" + std::to_string(m_target_port);
        std::vector<std::string> argv = {TunnelPath(), "--listen", "127.0.0.1:0", "--target", target};
        argv.insert(argv.end(), extra.begin(), extra.end());
        if (!child->Start(argv) || !child->WaitForOutput(", sessions to " + target + "\n")) return 0;
        std::smatch m;
        const std::string out = child->Output();
        const std::regex line("qrntunnel: listening on 127\\.0\\.0\\.1:([0-9]+), sessions to " +
                              target + "\n");
        if (!std::regex_search(out, m, line)) return 0;
        return static_cast<uint16_t>(std::stoul(m[1]));
    }
};

// The README's nginx block, sent to port instead of the one it names.
std::string ReadmeNginxBlock(uint16_t port) {
    std::ifstream in(QRN_README_PATH);
    std::ostringstream all;
    all << in.rdbuf();
    const std::string text = all.str();
    const std::string open = "```nginx\n";
    const size_t from = text.find(open);
    if (from == std::string::npos) return "";
    const size_t to = text.find("```", from + open.size());
    std::string block = text.substr(from + open.size(), to - from - open.size());
    const std::string named = "127.0.0.1:8080";
    const size_t at = block.find(named);
    if (at == std::string::npos) return "";
    return block.replace(at, named.size(), "127.0.0.1:" + std::to_string(port));
}

int ExitCode(const std::vector<std::string> &args, std::string *output) {
    ChildProcess child;
    std::vector<std::string> argv = {TunnelPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    if (!child.Start(argv)) return -1;
    const int status = child.Wait();
    *output = child.FinalOutput();
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST_F(QrnTunnelOperator, NamesItsAddressAndEachSessionAndKeepsTheLibraryQuietUnlessAsked) {
    for (const bool verbose : {false, true}) {
        SCOPED_TRACE(verbose ? "--verbose" : "default");
        ChildProcess tunnel;
        const uint16_t port =
            StartOnPortZero(&tunnel, verbose ? std::vector<std::string>{"-v"} : std::vector<std::string>{});
        ASSERT_NE(port, 0) << tunnel.Output();

        // A large-post session that carries bytes each way and that its client drops.
        uint32_t id = 0;
        uint16_t client_port = 0;
        {
            CHttpPeer down(port, "GET", "/s_rdhttp?BigPost", -1);
            client_port = RawPort(down.Fd());
            const int target = RawAccept(m_listen);
            ASSERT_GE(target, 0);
            const std::string header = down.Stream(8);
            ASSERT_EQ(header.size(), 8u);
            id = ReadId(header, 4);
            CHttpPeer up(port, "POST", "/s_rdhttp?" + std::to_string(id), rdhttp::kBigPostUplinkLength);
            const std::string upstream = Pattern(3000, 5), downstream = Pattern(2500, 6);
            up.Send(upstream);
            EXPECT_TRUE(RawRecv(target, upstream.size()) == upstream);
            RawSend(target, downstream);
            EXPECT_TRUE(down.Stream(2 + downstream.size()) == "OK" + downstream);
            ::close(target);
        }
        const std::string opened =
            "qrntunnel: session 1 opened from 127.0.0.1:" + std::to_string(client_port) + " (large post)\n";
        EXPECT_TRUE(tunnel.WaitForOutput(opened)) << tunnel.Output();
        ASSERT_TRUE(tunnel.WaitForOutput("qrntunnel: session 1 ended after ")) << tunnel.Output();
        EXPECT_TRUE(std::regex_search(tunnel.Output(),
                                      std::regex("session 1 ended after [0-9]+\\.[0-9] s, 3\\.0 kB up, "
                                                 "2\\.5 kB down \\([a-z ]+\\)\n")))
            << tunnel.Output();

        // A single-post session still open when the server stops.
        CHttpPeer open(port, "POST", "/s_rdhttp?SinglePost", 4, std::string("xV4\x12", 4));
        EXPECT_EQ(open.Body().size(), 4u);
        const int target = RawAccept(m_listen);
        EXPECT_TRUE(tunnel.WaitForOutput("qrntunnel: session 2 opened from 127.0.0.1:")) << tunnel.Output();
        EXPECT_TRUE(tunnel.WaitForOutput(" (single post)\n")) << tunnel.Output();
        const int status = tunnel.Stop();
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        if (target >= 0) ::close(target);
        const std::string out = tunnel.FinalOutput();
        EXPECT_TRUE(std::regex_search(out, std::regex("session 2 ended after [0-9.]+ s, 0 B up, 0 B down "
                                                      "\\(server stopping\\)\n")))
            << out;

        // The session's id names it on the wire only, never in the operator's lines.
        EXPECT_EQ(out.find(std::to_string(id)), std::string::npos) << out;
        // The dropped uplink made the library speak; only --verbose lets it through.
        EXPECT_EQ(out.find(kLibraryPrefix) != std::string::npos, verbose) << out;
        EXPECT_EQ(out.find("incomplete request") != std::string::npos, verbose) << out;
    }
}

TEST_F(QrnTunnelOperator, TellsBadUsageFromFailureWithTheExitCodesOfQrncat) {
    const std::string target = "127.0.0.1:" + std::to_string(m_target_port);
    std::string out;
    EXPECT_EQ(ExitCode({"--help"}, &out), 0);
    EXPECT_NE(out.find("usage: qrntunnel --target HOST:PORT"), std::string::npos) << out;
    EXPECT_NE(out.find("example: qrntunnel --listen"), std::string::npos) << out;
    EXPECT_EQ(ExitCode({"--version"}, &out), 0);
    EXPECT_TRUE(std::regex_match(out, std::regex("qrntunnel [0-9]+\\.[0-9]+\\.[0-9]+\n"))) << out;

    const std::vector<std::pair<std::vector<std::string>, std::string>> usage = {
        {{"--target", target, "--bogus"}, "unknown option --bogus"},
        {{"--target", "127.0.0.1"}, "bad value for --target: '127.0.0.1'"},
        {{"--target", target, "--max-sessions", "0"}, "bad value for --max-sessions: '0'"},
        {{"--target", target, "--listen"}, "--listen needs a value"},
        {{"--listen", "127.0.0.1:0"}, "--target is required"},
        {{"--target", target, "stray"}, "unexpected argument stray"},
    };
    for (const auto &u : usage) {
        EXPECT_EQ(ExitCode(u.first, &out), 2) << u.second;
        EXPECT_EQ(out.find("qrntunnel: " + u.second + "\nusage: "), 0u) << out;
    }

    // Failures: said plainly, without the usage.
    EXPECT_EQ(ExitCode({"--target", "nosuch.invalid:5000", "--listen", "127.0.0.1:0"}, &out), 1);
    EXPECT_EQ(out, "qrntunnel: cannot resolve target host 'nosuch.invalid'\n");
    const std::string taken = "127.0.0.1:" + std::to_string(m_target_port);
    EXPECT_EQ(ExitCode({"--target", target, "--listen", taken}, &out), 1);
    EXPECT_NE(out.find("qrntunnel: cannot listen on " + taken + ": "), std::string::npos) << out;
    EXPECT_EQ(out.find("usage"), std::string::npos) << out;
}

TEST_F(QrnTunnelOperator, RunsALargePostSessionBehindNginxWithTheReadmesBlock) {
    if (!NginxReverseProxy::Missing().empty()) GTEST_SKIP() << NginxReverseProxy::Missing();
    ChildProcess tunnel;
    const uint16_t port = StartOnPortZero(&tunnel, {});
    ASSERT_NE(port, 0) << tunnel.Output();
    const std::string block = ReadmeNginxBlock(port);
    ASSERT_NE(block.find("location"), std::string::npos) << "no nginx block in the README";
    NginxReverseProxy nginx;
    ASSERT_TRUE(nginx.StartWith(block)) << nginx.ErrorLog();

    CHttpPeer detector(nginx.Port(), "GET", "/s_detector?", -1);
    const std::string created = detector.Body();
    ASSERT_EQ(created.size(), 5u) << created;
    EXPECT_EQ(created[0], dtctr::kTypeSessionCreated);
    EXPECT_TRUE(tunnel.WaitForOutput("qrntunnel: session 1 opened from 127.0.0.1:")) << tunnel.Output();

    // Neither half of the large post is held back: each byte passes while both still run.
    CHttpPeer down(nginx.Port(), "GET", "/s_rdhttp?BigPost", -1);
    const int target = RawAccept(m_listen);
    ASSERT_GE(target, 0);
    const std::string header = down.Stream(8);
    ASSERT_EQ(header.size(), 8u);
    CHttpPeer up(nginx.Port(), "POST", "/s_rdhttp?" + std::to_string(ReadId(header, 4)),
                 rdhttp::kBigPostUplinkLength);
    const std::string upstream = Pattern(3000, 7), downstream = Pattern(2500, 8);
    up.Send(upstream);
    EXPECT_TRUE(RawRecv(target, upstream.size()) == upstream);
    RawSend(target, downstream);
    EXPECT_TRUE(down.Stream(2 + downstream.size()) == "OK" + downstream);
    ::close(target);
    EXPECT_TRUE(down.StreamEnds());
    EXPECT_TRUE(tunnel.WaitForOutput("qrntunnel: session 2 ended after ")) << tunnel.Output();
    EXPECT_NE(tunnel.Output().find(" (large post)\n"), std::string::npos) << tunnel.Output();
    EXPECT_NE(tunnel.Output().find(", 3.0 kB up, 2.5 kB down ("), std::string::npos) << tunnel.Output();

    // Paths of no tunnel stay nginx's own.
    CHttpPeer other(nginx.Port(), "GET", "/s_rdhttp/else?BigPost", -1);
    EXPECT_EQ(other.Status(), 404);
    EXPECT_EQ(tunnel.Output().find("session 3"), std::string::npos) << tunnel.Output();
}

}  // namespace
