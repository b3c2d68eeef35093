#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <ctype.h>
#include <string.h>

#include <climits>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "qrnlibl/qrn_time.h"
#include "qrnlibl/qrn_trace.h"
#include "test_support.h"

namespace {

using qrntest::TraceCapture;

// A line split into "<tick> T<thread> <kind>.<event>[ E]" and its items.
struct TraceLine {
    bool ok = false;
    uint32_t tick = 0;
    std::string thread;
    std::string kind_event;
    bool error_mark = false;
    std::string items;
};

// Reads the digits at pos into out; false when there are none.
bool Digits(const std::string &line, size_t &pos, std::string &out) {
    const size_t start = pos;
    while (pos < line.size() && isdigit(static_cast<unsigned char>(line[pos]))) ++pos;
    out = line.substr(start, pos - start);
    return pos > start;
}

bool Literal(const std::string &line, size_t &pos, const char *text) {
    if (line.compare(pos, strlen(text), text) != 0) return false;
    pos += strlen(text);
    return true;
}

TraceLine Parse(const std::string &line) {
    TraceLine t;
    size_t pos = 0;
    std::string tick, kind, event;
    if (!Digits(line, pos, tick) || !Literal(line, pos, " T") || !Digits(line, pos, t.thread) ||
        !Literal(line, pos, " ") || !Digits(line, pos, kind) || !Literal(line, pos, ".") ||
        !Digits(line, pos, event)) {
        return t;
    }
    t.tick = static_cast<uint32_t>(std::stoul(tick));
    t.kind_event = kind + "." + event;
    if (line.compare(pos, 2, " E") == 0 && (pos + 2 == line.size() || line[pos + 2] == ' ')) {
        t.error_mark = true;
        pos += 2;
    }
    if (pos < line.size()) {
        if (line[pos] != ' ') return t;
        t.items = line.substr(pos + 1);
    }
    t.ok = true;
    return t;
}

std::string ItemsOf(const std::string &line) {
    const TraceLine t = Parse(line);
    return t.ok ? t.items : "<malformed: " + line + ">";
}

std::string ThreadOf(const std::string &line) { return Parse(line).thread; }

std::vector<std::string> ReadLines(const std::string &path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string TempPath(const char *name) {
    return ::testing::TempDir() + name + std::to_string(getpid()) + ".log";
}

TEST(QrnTrace, OffUntilOpenedAndFunctionTracingCostsNothingThen) {
    if (getenv("QRNLIBL_TRACE")) GTEST_SKIP() << "tracing switched on from outside";
    EXPECT_FALSE(g_qrn_trace_file.IsOn());
    std::vector<std::string> lines;
    {
        QRN_TRACE_FUNC("StartedWhileOff");
        TraceCapture capture;
        EXPECT_TRUE(g_qrn_trace_file.IsOn());
        qrn_trace_text("inside");
        lines = capture.Lines();
    }
    // The function object saw tracing off at entry, so it writes no leave line either.
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(ItemsOf(lines[0]), "inside");
}

TEST(QrnTrace, NothingReachesTheSinkAfterClose) {
    int calls = 0;
    qrn_trace_set_sink([](void *ctx, const char *) { ++*static_cast<int *>(ctx); }, &calls);
    qrn_trace_text("one");
    qrn_trace_close();
    EXPECT_FALSE(g_qrn_trace_file.IsOn());
    qrn_trace_text("two");
    QRN_TRACE_ERROR("three");
    EXPECT_EQ(calls, 1);
}

TEST(QrnTrace, LinesCarryTickThreadKindEventAndItems) {
    TraceCapture capture;
    const uint32_t before = get_tick_count();
    qrn_trace_text("VBaseSocket::close, socket=", 42, "delta=", -7);
    qrn_trace_event(6, 3, 1u, static_cast<unsigned short>(65535), 18446744073709551615ull, LLONG_MIN);
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u);

    const TraceLine text = Parse(lines[0]);
    ASSERT_TRUE(text.ok) << lines[0];
    EXPECT_LT(calc_tick_diff(before, text.tick), 60000u);
    EXPECT_EQ(text.kind_event, "2.0");
    EXPECT_FALSE(text.error_mark);
    EXPECT_EQ(text.items, "VBaseSocket::close, socket= 42 delta= -7");

    const TraceLine event = Parse(lines[1]);
    ASSERT_TRUE(event.ok) << lines[1];
    EXPECT_EQ(event.kind_event, "6.3");
    EXPECT_EQ(event.items, "1 65535 18446744073709551615 -9223372036854775808");
    EXPECT_EQ(ThreadOf(lines[0]), ThreadOf(lines[1]));
}

TEST(QrnTrace, StringsBytesAndNullsAreWrittenReadably) {
    TraceCapture capture;
    const unsigned char bytes[] = {0x00, 0x01, 0xab, 0xff};
    const char *none = nullptr;
    CQrnTraceFormator f;
    f << "text" << none;
    f.Bytes(bytes, sizeof bytes);
    f.Bytes(nullptr, 0);
    f.Bytes(bytes, -5);
    g_qrn_trace_file.WriteTrace(0, QRN_TRACE_KIND_TEXT, 0, f);
    ASSERT_EQ(capture.Lines().size(), 1u);
    // Empty byte blocks leave empty items between the separators.
    EXPECT_EQ(ItemsOf(capture.Lines()[0]), "text (null) 0001abff  ");
}

TEST(QrnTrace, LongByteBlocksAreCutWithTheirLengthNoted) {
    TraceCapture capture;
    std::vector<unsigned char> block(1000, 0x5a);
    CQrnTraceFormator f;
    f.Bytes(block.data(), static_cast<int>(block.size()));
    g_qrn_trace_file.WriteTrace(0, QRN_TRACE_KIND_TEXT, 0, f);
    const std::string items = ItemsOf(capture.Lines().at(0));
    EXPECT_EQ(items.find("5a5a"), 0u);
    EXPECT_LE(items.size(), 600u);
    EXPECT_NE(items.find("1000"), std::string::npos);
}

TEST(QrnTrace, FormatorKeepsAtMostEightItems) {
    TraceCapture capture;
    qrn_trace_text(1, 2, 3, 4, 5, 6, 7, 8, 9, 10);
    CQrnTraceFormator f;
    for (int i = 0; i < 12; ++i) f << i;
    f.Bytes("x", 1);
    EXPECT_EQ(f.count(), CQrnTraceFormator::kMaxItems);
    EXPECT_EQ(ItemsOf(capture.Lines().at(0)), "1 2 3 4 5 6 7 8");
}

TEST(QrnTrace, ErrorLinesAreWrittenTwiceMarkedFirst) {
    TraceCapture capture;
    const int line = __LINE__ + 1;
    QRN_TRACE_ERROR("create socket failed", 10054);
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u);
    const TraceLine first = Parse(lines[0]), second = Parse(lines[1]);
    ASSERT_TRUE(first.ok && second.ok);
    EXPECT_EQ(first.kind_event, "0.0");
    EXPECT_EQ(second.kind_event, "0.0");
    EXPECT_TRUE(first.error_mark);
    EXPECT_FALSE(second.error_mark);
    const std::string expected = std::string(__FILE__) + " " + std::to_string(line) +
                                 " create socket failed 10054";
    EXPECT_EQ(ItemsOf(lines[0]), expected);
    EXPECT_EQ(ItemsOf(lines[1]), expected);
}

void TracedFunction() {
    QRN_TRACE_FUNC("CTpConnection::OnConfirm");
    qrn_trace_text("body");
}

TEST(QrnTrace, FunctionObjectTracesEnterAndLeave) {
    TraceCapture capture;
    TracedFunction();
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find(" 3.0 enter CTpConnection::OnConfirm"), std::string::npos) << lines[0];
    EXPECT_EQ(ItemsOf(lines[1]), "body");
    EXPECT_NE(lines[2].find(" 3.1 leave CTpConnection::OnConfirm"), std::string::npos) << lines[2];
}

TEST(QrnTrace, EachThreadHasItsOwnNumber) {
    TraceCapture capture;
    qrn_trace_text("main");
    std::thread([] { qrn_trace_text("other"); }).join();
    qrn_trace_text("main");
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(ThreadOf(lines[0]), ThreadOf(lines[1]));
    EXPECT_EQ(ThreadOf(lines[0]), ThreadOf(lines[2]));
}

TEST(QrnTrace, ConcurrentWritersProduceWholeLines) {
    TraceCapture capture;
    constexpr int kThreads = 4, kLines = 200;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) qrn_trace_event(5, 2, t, i);
        });
    }
    for (auto &th : threads) th.join();
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
    for (const auto &l : lines) ASSERT_TRUE(Parse(l).ok) << l;
}

TEST(QrnTrace, FileIsAppendedLinePerLine) {
    const std::string path = TempPath("qrn_trace_file_");
    remove(path.c_str());
    ASSERT_EQ(qrn_trace_open(path.c_str()), 0);
    qrn_trace_text("first", 1);
    EXPECT_EQ(ReadLines(path).size(), 1u);  // flushed without waiting for close
    qrn_trace_close();
    ASSERT_EQ(qrn_trace_open(path.c_str()), 0);
    qrn_trace_text("second", 2);
    qrn_trace_close();
    const auto lines = ReadLines(path);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(ItemsOf(lines[0]), "first 1");
    EXPECT_EQ(ItemsOf(lines[1]), "second 2");
    remove(path.c_str());
}

TEST(QrnTrace, OpenFailsCleanlyForAnUnwritablePath) {
    EXPECT_EQ(qrn_trace_open("/nonexistent-dir/qrn/trace.log"), -1);
    EXPECT_EQ(qrn_trace_open(nullptr), -1);
    EXPECT_FALSE(g_qrn_trace_file.IsOn());
}

TEST(QrnTrace, EnvironmentNamesTheFileAtConstruction) {
    const std::string path = TempPath("qrn_trace_env_");
    remove(path.c_str());
    const char *previous = getenv("QRNLIBL_TRACE");
    const std::string saved = previous ? previous : "";
    setenv("QRNLIBL_TRACE", path.c_str(), 1);
    {
        CQrnTraceFile file;
        if (previous) setenv("QRNLIBL_TRACE", saved.c_str(), 1); else unsetenv("QRNLIBL_TRACE");
        ASSERT_TRUE(file.IsOn());
        CQrnTraceFormator f;
        f << "from env";
        file.WriteTrace(0, QRN_TRACE_KIND_TEXT, 0, f);
    }
    const auto lines = ReadLines(path);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(ItemsOf(lines[0]), "from env");
    remove(path.c_str());
}

}  // namespace
