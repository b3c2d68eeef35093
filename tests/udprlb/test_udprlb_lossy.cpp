// The reliable-UDP layer through a lossy path: the relay of the test support library drops,
// delays and reorders datagrams between a connecting end and a listening end, both driven
// through the qrn_udprlb_* functions. The stream must arrive whole and in order, unreliable
// packets must arrive or be counted as lost, and the sending rate must follow the loss.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "qrnlibl/qrn_time.h"
#include "raw_peer.h"
#include "socket/sockcli.h"
#include "test_support.h"
#include "udp_relay.h"
#include "udprlb/udprlb.h"
#include "udprlb/udprlb_defs.h"

namespace {

using qrntest::CUdpRelay;
using qrntest::Event;
using qrntest::EventRecorder;
using qrntest::UdpRelayConfig;
using qrntest::WaitUntil;

constexpr const char *kLoopback = "127.0.0.1";
constexpr int kReadChunk = 65536;
// Real milliseconds a whole transfer may take on a loaded machine under a sanitizer.
constexpr int kTransferMs = 90000;

// A UDP port on 127.0.0.1 that was free a moment ago.
uint16_t FreeUdpPort() {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = qrntest::RawAddress(0);
    ::bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof(a));
    const uint16_t port = qrntest::RawPort(fd);
    ::close(fd);
    return port;
}

uint64_t Fnv1a(const std::vector<uint8_t> &data) {
    uint64_t h = 1469598103934665603ull;
    for (uint8_t b : data) h = (h ^ b) * 1099511628211ull;
    return h;
}

// Content of unreliable packet index: its length and every byte follow from the index.
std::vector<uint8_t> UnreliablePacket(uint32_t index) {
    constexpr uint32_t kMinLength = 8;
    const uint32_t length = kMinLength + (index * 97) % (urlb::kMaxData - kMinLength + 1);
    std::vector<uint8_t> p(length);
    for (uint32_t i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(index >> (8 * i));
    for (uint32_t i = 4; i < length; ++i) p[i] = static_cast<uint8_t>(index * 31 + i * 7);
    return p;
}

// The index of an unreliable packet, or -1 when its content is not what was sent.
int64_t UnreliableIndex(const uint8_t *data, size_t len) {
    if (len < 4) return -1;
    uint32_t index = 0;
    for (uint32_t i = 0; i < 4; ++i) index |= static_cast<uint32_t>(data[i]) << (8 * i);
    const std::vector<uint8_t> expected = UnreliablePacket(index);
    if (expected.size() != len || !std::equal(expected.begin(), expected.end(), data)) return -1;
    return index;
}

// One user of the layer: records its events, reads stream data as soon as it is announced
// (on the delivering thread) and keeps every unreliable packet that arrives.
class CEndpoint {
public:
    CEndpoint() {
        m_recorder.SetHook([this](const Event &e) {
            if (e.msg != urlb::kEventData) return;
            if (e.p2 == static_cast<uintptr_t>(urlb::kDataUnreliable)) {
                KeepUnreliable(reinterpret_cast<const uint8_t *>(e.p3), e.p1);
            } else {
                Drain(static_cast<int>(e.handle));
            }
        });
    }

    qrn_callback Callback() const { return &EventRecorder::Callback; }
    uintptr_t Context() const { return m_recorder.Context(); }
    EventRecorder &recorder() { return m_recorder; }
    // Only count stream bytes instead of keeping them.
    void CountOnly() { m_count_only = true; }

    size_t StreamBytes() const {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_stream_bytes;
    }
    std::vector<uint8_t> Stream() const {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_stream;
    }
    std::vector<int64_t> Unreliable() const {
        std::lock_guard<std::mutex> guard(m_mutex);
        return m_unreliable;
    }

private:
    // Data events may come from more than one of the layer's threads: one drains at a time, so
    // that the bytes are kept in the order read.
    void Drain(int handle) {
        std::lock_guard<std::mutex> draining(m_drain_mutex);
        std::vector<uint8_t> buffer(kReadChunk);
        for (;;) {
            const int n = qrn_udprlb_recv(handle, buffer.data(), kReadChunk, 0);
            if (n <= 0) return;
            std::lock_guard<std::mutex> guard(m_mutex);
            m_stream_bytes += static_cast<size_t>(n);
            if (!m_count_only) m_stream.insert(m_stream.end(), buffer.begin(), buffer.begin() + n);
        }
    }

    void KeepUnreliable(const uint8_t *data, uintptr_t len) {
        const int64_t index = UnreliableIndex(data, len);
        std::lock_guard<std::mutex> guard(m_mutex);
        m_unreliable.push_back(index);
    }

    EventRecorder m_recorder;
    std::mutex m_drain_mutex;
    std::atomic<bool> m_count_only{false};
    mutable std::mutex m_mutex;
    size_t m_stream_bytes = 0;
    std::vector<uint8_t> m_stream;
    std::vector<int64_t> m_unreliable;
};

// Sends all of data on the stream, waiting for room (event 4) whenever the layer takes less
// than offered. False when no room came within the deadline.
bool SendStream(CEndpoint &sender, int handle, const std::vector<uint8_t> &data) {
    constexpr size_t kOffer = 65536;
    size_t sent = 0;
    while (sent < data.size()) {
        const int writable_before = sender.recorder().Count(urlb::kEventWritable);
        const int offer = static_cast<int>(std::min(kOffer, data.size() - sent));
        const int n = qrn_udprlb_send(handle, data.data() + sent, offer, 0);
        if (n < 0) {
            ADD_FAILURE() << "send failed with " << n << " after " << sent << " bytes";
            return false;
        }
        sent += static_cast<size_t>(n);
        if (n < offer && !sender.recorder().WaitForCount(urlb::kEventWritable, writable_before + 1)) {
            ADD_FAILURE() << "no room to send after " << sent << " bytes";
            return false;
        }
    }
    return true;
}

uint32_t Bandwidth(int handle) {
    uint32_t bw = 0;
    EXPECT_EQ(0, qrn_udprlb_option(handle, urlb::kOptBandwidth, reinterpret_cast<uintptr_t>(&bw)));
    return bw;
}

// The numbers that follow label in the trace lines that carry it, line by line.
std::vector<std::vector<long long>> TracedValues(const qrntest::TraceCapture &trace, const std::string &label) {
    std::vector<std::vector<long long>> out;
    for (const std::string &line : trace.Lines()) {
        const size_t at = line.find(label);
        if (at == std::string::npos) continue;
        std::istringstream rest(line.substr(at + label.size()));
        std::vector<long long> values;
        long long v;
        while (rest >> v) values.push_back(v);
        out.push_back(values);
    }
    return out;
}

class UdpRlbLossyTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, VSOCK::startup()); }

    void TearDown() override {
        for (int handle : m_handles) qrn_udprlb_close(handle);
        m_relay.reset();
    }

    // Endpoints live for the whole process: the layer is never stopped, and an event already
    // on its way when a handle is closed may still reach its endpoint.
    static CEndpoint &NewEndpoint() {
        static auto *endpoints = new std::deque<CEndpoint>();
        static std::mutex mutex;
        std::lock_guard<std::mutex> guard(mutex);
        endpoints->emplace_back();
        return endpoints->back();
    }

    // A listening end and a connecting end joined through a relay that starts clean, so that
    // the handshake cannot fail; the test makes the path lossy afterwards.
    void Establish() {
        const uint16_t port = FreeUdpPort();
        ASSERT_EQ(0, qrn_udprlb_listen(kLoopback, port, m_server.Callback(), m_server.Context()));
        m_relay.reset(new CUdpRelay(port, UdpRelayConfig{}));
        ASSERT_NE(0, m_relay->port());
        m_client_handle =
            qrn_udprlb_connect(kLoopback, m_relay->port(), nullptr, 0, m_client.Callback(), m_client.Context());
        ASSERT_GT(m_client_handle, 0);
        m_handles.push_back(m_client_handle);
        const Event done = m_client.recorder().WaitFor(urlb::kEventConnectDone);
        ASSERT_EQ(urlb::kEventConnectDone, done.msg);
        ASSERT_EQ(static_cast<uintptr_t>(urlb::kConnectOk), done.p1);
        const Event accepted = m_server.recorder().WaitFor(urlb::kEventAccepted);
        ASSERT_EQ(urlb::kEventAccepted, accepted.msg);
        m_server_handle = static_cast<int>(accepted.handle);
        m_handles.push_back(m_server_handle);
    }

    // Sends size random bytes from the client and checks that the server got exactly them
    // after what it had already.
    void TransferAndCompare(size_t size, uint32_t seed) {
        std::vector<uint8_t> data(size);
        std::mt19937 random(seed);
        for (auto &b : data) b = static_cast<uint8_t>(random());
        const size_t base = m_server.StreamBytes();
        const auto start = std::chrono::steady_clock::now();
        std::thread sender([&] { SendStream(m_client, m_client_handle, data); });
        const bool complete = WaitUntil([&] { return m_server.StreamBytes() >= base + size; }, kTransferMs);
        sender.join();
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        ASSERT_TRUE(complete) << m_server.StreamBytes() - base << " of " << size << " bytes arrived";
        std::vector<uint8_t> got = m_server.Stream();
        ASSERT_EQ(base + size, got.size());
        got.erase(got.begin(), got.begin() + static_cast<std::ptrdiff_t>(base));
        const auto mismatch = std::mismatch(data.begin(), data.end(), got.begin());
        EXPECT_TRUE(mismatch.first == data.end()) << "first wrong byte at offset " << (mismatch.first - data.begin());
        EXPECT_EQ(Fnv1a(data), Fnv1a(got));
        RecordProperty("transfer_ms", static_cast<int>(ms.count()));
        RecordProperty("relay_dropped", static_cast<int>(m_relay->dropped()));
    }

    CEndpoint &m_client = NewEndpoint();
    CEndpoint &m_server = NewEndpoint();
    std::unique_ptr<CUdpRelay> m_relay;
    int m_client_handle = 0;
    int m_server_handle = 0;
    std::vector<int> m_handles;
};

// The library clock runs this much faster during transfers: the rate, the slots and every
// timer scale with it, so a transfer of megabytes takes seconds.
constexpr uint32_t kTransferClockFactor = 10;

TEST_F(UdpRlbLossyTest, StreamArrivesWholeAndInOrderAtTwoPercentLoss) {
    ASSERT_NO_FATAL_FAILURE(Establish());
    qrntest::ClockFactor fast(kTransferClockFactor);
    UdpRelayConfig lossy;
    lossy.drop = 0.02;
    lossy.seed = 11;
    m_relay->SetConfig(lossy);
    TransferAndCompare(4 * 1024 * 1024, 1);
    EXPECT_GT(m_relay->dropped(), 0u);
}

TEST_F(UdpRlbLossyTest, StreamArrivesWholeAndInOrderAtTenPercentLossWithDelayAndReordering) {
    ASSERT_NO_FATAL_FAILURE(Establish());
    qrntest::ClockFactor fast(kTransferClockFactor);
    UdpRelayConfig lossy;
    lossy.drop = 0.1;
    lossy.reorder = 0.05;
    lossy.delay_ms = 2;
    lossy.jitter_ms = 3;
    lossy.seed = 12;
    m_relay->SetConfig(lossy);
    TransferAndCompare(3 * 1024 * 1024, 2);
    EXPECT_GT(m_relay->dropped(), 0u);
}

// At 50 % loss each packet and its one repeat are both lost about a quarter of the time. The
// receiver counts, per block of 100 sequence numbers, those that never came, and reports every
// block with more than 10 missing: a packet that never arrived must be in such a count.
TEST_F(UdpRlbLossyTest, UnreliablePacketsArriveIntactOrAreReportedLost) {
    ASSERT_NO_FATAL_FAILURE(Establish());
    qrntest::TraceCapture trace;
    qrntest::ClockFactor fast(4);
    UdpRelayConfig lossy;
    lossy.drop = 0.5;
    lossy.seed = 13;
    m_relay->SetConfig(lossy);

    constexpr uint32_t kBlock = urlb::kLossReportBlock;
    constexpr uint32_t kBlocks = 10;
    constexpr uint32_t kEvaluated = kBlock * kBlocks;
    // Enough beyond the evaluated blocks that the last of them is closed.
    constexpr uint32_t kCount = kEvaluated + kBlock;
    constexpr uint32_t kPacketGapMs = 10;  // library time: far below the rate
    for (uint32_t i = 0; i < kCount; ++i) {
        const std::vector<uint8_t> p = UnreliablePacket(i);
        ASSERT_EQ(static_cast<int>(p.size()),
                  qrn_udprlb_send(m_client_handle, p.data(), static_cast<int>(p.size()), urlb::kSendUnreliableFlag));
        qrn_sleep(kPacketGapMs);
    }
    // The last report is due once a packet 50 beyond the last evaluated block arrives.
    const std::string label = "lost audio pkt percentage=";
    ASSERT_TRUE(WaitUntil([&] {
        std::set<int64_t> got;
        for (int64_t index : m_server.Unreliable()) got.insert(index);
        return got.upper_bound(kEvaluated + kBlock / 2) != got.end();
    }));

    const std::vector<int64_t> arrived = m_server.Unreliable();
    std::vector<int> missing(kBlocks, kBlock);
    std::set<int64_t> distinct;
    for (int64_t index : arrived) {
        ASSERT_GE(index, 0) << "an unreliable packet arrived damaged";
        ASSERT_LT(index, kCount);
        if (distinct.insert(index).second && index < kEvaluated) --missing[index / kBlock];
    }
    // The one repeat makes up for most losses of the first copy.
    EXPECT_GT(distinct.size(), kCount * 6 / 10);

    int must_report = 0;
    for (int m : missing) {
        if (m > urlb::kLossReportThreshold) must_report += m;
    }
    ASSERT_GT(must_report, 0) << "the loss was too small for the test to mean anything";
    long long reported = 0;
    ASSERT_TRUE(WaitUntil([&] {
        reported = 0;
        for (const auto &values : TracedValues(trace, label)) {
            if (!values.empty()) reported += values.back();
        }
        return reported >= must_report;
    })) << "reported " << reported << " lost, but " << must_report << " never arrived";
    RecordProperty("distinct_arrived", static_cast<int>(distinct.size()));
    RecordProperty("never_arrived_in_reported_blocks", must_report);
    RecordProperty("reported_lost", static_cast<int>(reported));
}

// Reads the rate (option 10) until done() holds; fails when it does not within timeout_ms.
// Returns the rate that satisfied done().
uint32_t WaitForRate(int handle, const std::function<bool(uint32_t)> &done, int timeout_ms) {
    uint32_t bw = Bandwidth(handle);
    EXPECT_TRUE(WaitUntil(
        [&] {
            bw = Bandwidth(handle);
            return done(bw);
        },
        timeout_ms))
        << "the rate stayed at " << bw;
    return bw;
}

// The rates that SetNewOutgoingBandwidth traced for one handle, in order.
std::vector<uint32_t> TracedRates(const qrntest::TraceCapture &trace, int handle) {
    std::vector<uint32_t> rates;
    for (const auto &values : TracedValues(
             trace, "CUdpRlbConnection::SetNewOutgoingBandwidth, (handle,new_bw,m_outgoing_bw,m_outgoing_max_chunk_size)=")) {
        if (values.size() == 4 && values[0] == handle) rates.push_back(static_cast<uint32_t>(values[2]));
    }
    return rates;
}

#if defined(__SANITIZE_THREAD__)
// Under ThreadSanitizer, on a loaded machine, a sender through 20 % loss waits on its send window
// and never uses its whole allowance in a period, and only such a period lowers the rate (two
// CI runs met this): the fall is checked by the other builds.
constexpr bool kCheckFallUnderLoss = false;
#else
constexpr bool kCheckFallUnderLoss = true;
#endif

// A sender that always has data uses its whole allowance, so the rate grows by 5 % a second on
// a clean path; once a fifth of its datagrams go missing, it falls toward what arrived.
TEST_F(UdpRlbLossyTest, RateGrowsOnACleanPathAndFallsUnderLoss) {
    ASSERT_NO_FATAL_FAILURE(Establish());
    m_server.CountOnly();
    EXPECT_EQ(urlb::kInitialBandwidth, Bandwidth(m_client_handle));
    qrntest::TraceCapture trace;
    auto fast = std::make_unique<qrntest::ClockFactor>(2);

    std::atomic<bool> stop{false};
    std::thread sender([&] {
        std::vector<uint8_t> chunk(kReadChunk, 0x5a);
        while (!stop.load()) {
            const int writable_before = m_client.recorder().Count(urlb::kEventWritable);
            const int n = qrn_udprlb_send(m_client_handle, chunk.data(), kReadChunk, 0);
            if (n < 0) return;
            if (n < kReadChunk) m_client.recorder().WaitForCount(urlb::kEventWritable, writable_before + 1, 100);
        }
    });

    // Five periods of growth: 204800 * 1.05^5. (A machine so loaded that the kernel drops
    // datagrams makes it fall back now and then; it grows again afterwards.)
    constexpr uint32_t kGrown = 261380;
    constexpr int kPhaseMs = 40000;
    WaitForRate(m_client_handle, [](uint32_t bw) { return bw >= kGrown; }, kPhaseMs);
    const std::vector<uint32_t> clean = TracedRates(trace, m_client_handle);

    // The rate only falls in a period in which the sender used its whole allowance. At the real
    // clock it does so also on a loaded machine, where the slower retransmissions of a faster
    // clock would leave it waiting on a full send window instead.
    fast.reset();
    if (kCheckFallUnderLoss) {
        const uint32_t before_loss = Bandwidth(m_client_handle);
        UdpRelayConfig lossy;
        lossy.drop = 0.2;
        lossy.seed = 14;
        m_relay->SetConfig(lossy);
        const auto loss_start = std::chrono::steady_clock::now();
        WaitForRate(m_client_handle, [&](uint32_t bw) { return bw < before_loss * 95 / 100; }, kPhaseMs);
        RecordProperty("rate_before_loss", static_cast<int>(before_loss));
        RecordProperty("rate_fell_after_ms",
                       static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                            std::chrono::steady_clock::now() - loss_start)
                                            .count()));
    }
    stop = true;
    sender.join();
    const std::vector<uint32_t> all = TracedRates(trace, m_client_handle);

    // Until the first fall, every step is the 5 % growth, kept to whole slot budgets.
    ASSERT_FALSE(clean.empty());
    uint32_t expected = urlb::kInitialBandwidth;
    for (size_t i = 0; i < clean.size() && (i == 0 || clean[i] > clean[i - 1]); ++i) {
        const uint32_t grown = static_cast<uint32_t>(expected * urlb::kRateRecoveryFactor);
        expected = grown / urlb::kSlotsPerSecond * urlb::kSlotsPerSecond;
        EXPECT_EQ(expected, clean[i]) << "step " << i;
    }
    // Under loss the rate falls, by at most half at a time, and never below the floor.
    bool fell = false;
    for (size_t i = std::max<size_t>(clean.size(), 1); i < all.size(); ++i) {
        if (all[i] >= all[i - 1]) continue;
        fell = true;
        EXPECT_GE(all[i], all[i - 1] / 2);
    }
    EXPECT_TRUE(fell || !kCheckFallUnderLoss);
    EXPECT_GE(Bandwidth(m_client_handle), urlb::kMinSlotBudget * urlb::kSlotsPerSecond);
}

}  // namespace

namespace {

// The path-finding rate for the connections made while it lives.
class CDefaultUdpRate {
public:
    explicit CDefaultUdpRate(uint32_t mbit) {
        EXPECT_EQ(0, qrn_udprlb_option(urlb::kNoHandle, urlb::kOptUdpRate, mbit));
    }
    ~CDefaultUdpRate() { qrn_udprlb_option(urlb::kNoHandle, urlb::kOptUdpRate, 0); }
};

// Reads the rate (option 10) until stop, keeping the highest and lowest seen.
class CRateWatch {
public:
    explicit CRateWatch(int handle)
        : m_thread([this, handle] {
              while (!m_stop.load()) {
                  const uint32_t bw = Bandwidth(handle);
                  m_max = std::max(m_max.load(), bw);
                  m_min = std::min(m_min.load(), bw);
                  std::this_thread::sleep_for(std::chrono::milliseconds(2));
              }
          }) {}
    ~CRateWatch() { Stop(); }
    void Stop() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
    }
    uint32_t max() const { return m_max; }
    uint32_t min() const { return m_min; }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<uint32_t> m_max{0};
    std::atomic<uint32_t> m_min{UINT32_MAX};
    std::thread m_thread;
};

constexpr uint32_t kOriginalMaxRate = urlb::kMaxSlotBudget * urlb::kSlotsPerSecond;

}  // namespace

// Both ends chose the path-finding rate (100 Mbit/s): 20 MB cross a relay that loses 1 %,
// delays and now and then reorders, and arrive whole and in order. The sender's rate leaves the
// original rules' range (it could never pass 2,048,000 bytes per second) but stays under the
// ceiling; the option refuses a ceiling beyond its range.
TEST_F(UdpRlbLossyTest, PathFindingRateCarriesAStreamWholeThroughLossAboveTheOriginalRates) {
    EXPECT_EQ(urlb::kErrBadArgument,
              qrn_udprlb_option(urlb::kNoHandle, urlb::kOptUdpRate, urlb::kMaxUdpRateMbit + 1));
    constexpr uint32_t kCeilingMbit = 100;
    {
        CDefaultUdpRate rate(kCeilingMbit);
        ASSERT_NO_FATAL_FAILURE(Establish());
    }
    EXPECT_GT(Bandwidth(m_client_handle), kOriginalMaxRate);
    UdpRelayConfig lossy;
    lossy.drop = 0.01;
    lossy.reorder = 0.005;
    lossy.delay_ms = 5;
    lossy.seed = 21;
    m_relay->SetConfig(lossy);
    CRateWatch watch(m_client_handle);
    TransferAndCompare(20 * 1000 * 1000, 3);
    watch.Stop();
    EXPECT_GT(m_relay->dropped(), 0u);
    EXPECT_GT(watch.min(), 0u);
    EXPECT_LE(watch.max(), kCeilingMbit * urlb::kBytesPerMbit);
    RecordProperty("rate_max", static_cast<int>(watch.max()));
    RecordProperty("rate_min", static_cast<int>(watch.min()));
}

// A connection of the original rules (window 131072, both ends) takes the path-finding rate at
// once when its handle is given it, sends through loss to a receiver that keeps the original
// rules, and goes back to them when given 0. The receiver's rate never moves from its start.
TEST_F(UdpRlbLossyTest, PathFindingRateSetOnOneConnectionWorksWithAnOriginalReceiver) {
    ASSERT_NO_FATAL_FAILURE(Establish());
    EXPECT_EQ(urlb::kInitialBandwidth, Bandwidth(m_client_handle));
    constexpr uint32_t kCeilingMbit = 40;
    ASSERT_EQ(0, qrn_udprlb_option(m_client_handle, urlb::kOptUdpRate, kCeilingMbit));
    EXPECT_EQ(kCeilingMbit * urlb::kBytesPerMbit, Bandwidth(m_client_handle));
    UdpRelayConfig lossy;
    lossy.drop = 0.02;
    lossy.delay_ms = 2;
    lossy.seed = 22;
    m_relay->SetConfig(lossy);
    CRateWatch watch(m_client_handle);
    TransferAndCompare(4 * 1000 * 1000, 4);
    watch.Stop();
    EXPECT_GT(m_relay->dropped(), 0u);
    EXPECT_LE(watch.max(), kCeilingMbit * urlb::kBytesPerMbit);
    EXPECT_EQ(urlb::kInitialBandwidth, Bandwidth(m_server_handle));

    ASSERT_EQ(0, qrn_udprlb_option(m_client_handle, urlb::kOptUdpRate, 0));
    const uint32_t back = Bandwidth(m_client_handle);
    EXPECT_LE(back, kOriginalMaxRate);
    EXPECT_GE(back, urlb::kMinSlotBudget * urlb::kSlotsPerSecond);
    EXPECT_EQ(0u, back % urlb::kSlotsPerSecond);
    TransferAndCompare(1000 * 1000, 5);
    EXPECT_LE(Bandwidth(m_client_handle), kOriginalMaxRate);
}
