// Ring buffer, array, simple buffer and the list of notes.
#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "qrnlibl/qrn_array.h"
#include "qrnlibl/qrn_buffer.h"
#include "qrnlibl/qrn_cirwin.h"
#include "qrnlibl/qrn_notes.h"

namespace {

std::vector<uint8_t> Pattern(int len, uint32_t start) {
    std::vector<uint8_t> v(len);
    for (int i = 0; i < len; ++i) v[i] = static_cast<uint8_t>((start + i) * 131u >> 3);
    return v;
}

struct CirwinDeleter {
    void operator()(qrn_cirwin *w) const { qrn_cirwin_destroy(w); }
};
using CirwinPtr = std::unique_ptr<qrn_cirwin, CirwinDeleter>;

// Reads everything kept through read_ex and checks it against the expected bytes.
void ExpectKept(const qrn_cirwin *w, const std::deque<uint8_t> &model) {
    std::vector<uint8_t> all(model.size() + 1);
    ASSERT_EQ(qrn_cirwin_read_ex(w, 0, all.data(), static_cast<int>(all.size())),
              static_cast<int>(model.size()));
    EXPECT_TRUE(std::equal(model.begin(), model.end(), all.begin()));
}

TEST(Cirwin, WritesAndReadsAcrossTheWrapInOrder) {
    CirwinPtr w(qrn_cirwin_create(4096));
    std::vector<uint8_t> first = Pattern(3000, 0), second = Pattern(3000, 3000), out(3000);
    ASSERT_EQ(qrn_cirwin_write(w.get(), first.data(), 3000), 3000);
    ASSERT_EQ(qrn_cirwin_read(w.get(), out.data(), 3000), 3000);
    EXPECT_EQ(out, first);
    ASSERT_EQ(qrn_cirwin_forward(w.get(), 3000), 3000);
    // The storage is 4096 bytes, so this run wraps after 1096 bytes.
    ASSERT_EQ(qrn_cirwin_write(w.get(), second.data(), 3000), 3000);
    std::vector<uint8_t> mid(500);
    ASSERT_EQ(qrn_cirwin_read_ex(w.get(), 900, mid.data(), 500), 500);
    EXPECT_TRUE(std::equal(mid.begin(), mid.end(), second.begin() + 900));
    ASSERT_EQ(qrn_cirwin_read(w.get(), out.data(), 3000), 3000);
    EXPECT_EQ(out, second);
}

TEST(Cirwin, GrowingKeepsWrappedBytesInOrder) {
    CirwinPtr w(qrn_cirwin_create(1 << 20));
    std::deque<uint8_t> model;
    auto put = [&](int len, uint32_t start) {
        std::vector<uint8_t> d = Pattern(len, start);
        ASSERT_EQ(qrn_cirwin_write(w.get(), d.data(), len), len);
        model.insert(model.end(), d.begin(), d.end());
    };
    put(3000, 0);
    ASSERT_EQ(qrn_cirwin_forward(w.get(), 2000), 2000);
    model.erase(model.begin(), model.begin() + 2000);
    put(3000, 3000);   // wraps inside the first storage
    put(10000, 6000);  // grows while wrapped
    put(300000, 16000);
    ExpectKept(w.get(), model);
    EXPECT_EQ(qrn_cirwin_write_size(w.get()), static_cast<int>(model.size()));
}

TEST(Cirwin, LimitCapsWritesAndSetLimitRefusesBelowKept) {
    CirwinPtr w(qrn_cirwin_create(1000));
    std::vector<uint8_t> d = Pattern(1500, 0);
    EXPECT_EQ(qrn_cirwin_write(w.get(), d.data(), 1500), 1000);
    EXPECT_EQ(qrn_cirwin_room(w.get()), 0);
    EXPECT_EQ(qrn_cirwin_write(w.get(), d.data(), 1), 0);
    EXPECT_EQ(qrn_cirwin_set_limit(w.get(), 999), -1);
    EXPECT_EQ(qrn_cirwin_set_limit(w.get(), 0), -1);
    EXPECT_EQ(qrn_cirwin_get_limit(w.get()), 1000);
    ASSERT_EQ(qrn_cirwin_set_limit(w.get(), 1500), 0);
    EXPECT_EQ(qrn_cirwin_write(w.get(), d.data() + 1000, 500), 500);
    ASSERT_EQ(qrn_cirwin_forward(w.get(), 700), 700);
    // Lowering the limit to what is kept keeps every byte.
    ASSERT_EQ(qrn_cirwin_set_limit(w.get(), 800), 0);
    ExpectKept(w.get(), std::deque<uint8_t>(d.begin() + 700, d.end()));
    EXPECT_EQ(qrn_cirwin_room(w.get()), 0);
}

// A window that grew for a burst gives its storage back down to what it keeps, keeps every
// byte and the read position through the move, grows again, and frees everything when empty.
TEST(Cirwin, ShrinkKeepsBytesAndReadPositionAndGivesStorageBack) {
    CirwinPtr w(qrn_cirwin_create(1 << 20));
    std::deque<uint8_t> model;
    std::vector<uint8_t> d = Pattern(70000, 0);
    ASSERT_EQ(qrn_cirwin_write(w.get(), d.data(), 70000), 70000);
    ASSERT_EQ(qrn_cirwin_forward(w.get(), 60000), 60000);
    std::vector<uint8_t> more = Pattern(3000, 70000);  // wraps: kept bytes cross the storage end
    ASSERT_EQ(qrn_cirwin_write(w.get(), more.data(), 3000), 3000);
    model.assign(d.begin() + 60000, d.end());
    model.insert(model.end(), more.begin(), more.end());
    std::vector<uint8_t> out(5000);
    ASSERT_EQ(qrn_cirwin_read(w.get(), out.data(), 5000), 5000);

    EXPECT_EQ(qrn_cirwin_shrink(w.get()), 13312);  // 13000 kept, in 1024-byte steps
    ExpectKept(w.get(), model);
    EXPECT_EQ(qrn_cirwin_read_size(w.get()), 5000);
    ASSERT_EQ(qrn_cirwin_read(w.get(), out.data(), 5000), 5000);
    EXPECT_TRUE(std::equal(out.begin(), out.end(), model.begin() + 5000));
    EXPECT_EQ(qrn_cirwin_shrink(w.get()), 13312);  // nothing more to give back

    std::vector<uint8_t> big = Pattern(40000, 73000);
    ASSERT_EQ(qrn_cirwin_write(w.get(), big.data(), 40000), 40000);
    model.insert(model.end(), big.begin(), big.end());
    ExpectKept(w.get(), model);
    ASSERT_EQ(qrn_cirwin_forward(w.get(), qrn_cirwin_write_size(w.get())), static_cast<int>(model.size()));
    EXPECT_EQ(qrn_cirwin_shrink(w.get()), 0);
    ASSERT_EQ(qrn_cirwin_write(w.get(), d.data(), 100), 100);
    EXPECT_EQ(qrn_cirwin_read_avail(w.get()), 100);
    EXPECT_EQ(qrn_cirwin_shrink(nullptr), 0);
}

// A writer fills the window in place (up to the storage's end, then from its start, and more
// storage when it wants more than fits); a reader consumes what it read.
TEST(Cirwin, WriterInPlaceFillsAroundTheWrapAndGrowsForWhatItWants) {
    CQrnCirwin w(1 << 20);
    std::vector<uint8_t> d = Pattern(12000, 0), out(12000);
    auto fill = [&](int want, int expect_len, int from) {
        int len = -1;
        char *at = w.WritePlace(want, &len);
        ASSERT_NE(at, nullptr);
        ASSERT_EQ(len, expect_len);
        memcpy(at, d.data() + from, static_cast<size_t>(len));
        EXPECT_EQ(w.Commit(len), len);
    };
    fill(3000, 3000, 0);
    ASSERT_EQ(w.Read(out.data(), 2000), 2000);
    EXPECT_EQ(w.Consume(2000), 2000);
    fill(3000, 1096, 3000);  // the first storage is 4096 bytes
    fill(1904, 1904, 4096);
    fill(6000, 6000, 6000);  // grows, the kept bytes moving to the start
    EXPECT_EQ(w.Used(), 10000);
    ASSERT_EQ(w.Read(out.data(), 12000), 10000);
    EXPECT_TRUE(std::equal(out.begin(), out.begin() + 10000, d.begin() + 2000));
    EXPECT_EQ(w.Consume(20000), 10000);
    EXPECT_EQ(w.Used(), 0);

    CQrnCirwin small(16);
    int len = -1;
    ASSERT_NE(small.WritePlace(100, &len), nullptr);
    EXPECT_EQ(len, 16);
    EXPECT_EQ(small.Commit(100), 16);
    EXPECT_EQ(small.WritePlace(1, &len), nullptr);
    EXPECT_EQ(len, 0);
    small.Reset();
    EXPECT_EQ(small.Write(d.data(), 100), 16);
}

TEST(Cirwin, RefusesBadArguments) {
    EXPECT_EQ(qrn_cirwin_create(0), nullptr);
    EXPECT_EQ(qrn_cirwin_create(-5), nullptr);
    CirwinPtr w(qrn_cirwin_create(100));
    uint8_t b[10] = {1, 2, 3};
    EXPECT_EQ(qrn_cirwin_write(w.get(), b, -1), 0);
    EXPECT_EQ(qrn_cirwin_write(w.get(), nullptr, 5), 0);
    ASSERT_EQ(qrn_cirwin_write(w.get(), b, 10), 10);
    EXPECT_EQ(qrn_cirwin_read(w.get(), b, -3), 0);
    EXPECT_EQ(qrn_cirwin_read_ex(w.get(), -1, b, 5), 0);
    EXPECT_EQ(qrn_cirwin_read_ex(w.get(), 10, b, 5), 0);
    EXPECT_EQ(qrn_cirwin_forward(w.get(), -2), 0);
    EXPECT_EQ(qrn_cirwin_set_read_len(w.get(), 11), -1);
    EXPECT_EQ(qrn_cirwin_set_read_len(w.get(), -1), -1);
    EXPECT_EQ(qrn_cirwin_write_size(w.get()), 10);
    EXPECT_EQ(qrn_cirwin_read_avail(w.get()), 10);
    EXPECT_EQ(qrn_cirwin_write_size(nullptr), 0);
    EXPECT_EQ(qrn_cirwin_forward(w.get(), 50), 10);
    EXPECT_EQ(qrn_cirwin_write_size(w.get()), 0);
}

// The outgoing stream keeps the last kKeep bytes, numbered from base; on a new path the peer
// says which byte it wants next (ack) and the window rewinds or drops to it.
class ResumeWindow : public ::testing::Test {
protected:
    static constexpr int kKeep = 262144;
    static constexpr int kChunk = 32763;

    void SetUp() override { m_win.reset(qrn_cirwin_create(kKeep + 64)); }

    void Append(int len) {
        int kept = qrn_cirwin_write_size(m_win.get());
        if (kept + len > kKeep) {
            int drop = kept + len - kKeep;
            ASSERT_EQ(qrn_cirwin_forward(m_win.get(), drop), drop);
            m_base += static_cast<uint32_t>(drop);
        }
        std::vector<uint8_t> d = Pattern(len, m_next);
        ASSERT_EQ(qrn_cirwin_write(m_win.get(), d.data(), len), len);
        m_next += static_cast<uint32_t>(len);
    }

    // Hands over up to len bytes and checks that they carry the expected sequence numbers.
    void HandOver(int len) {
        uint32_t seq = m_base + static_cast<uint32_t>(qrn_cirwin_read_size(m_win.get()));
        std::vector<uint8_t> out(len);
        int n = qrn_cirwin_read(m_win.get(), out.data(), len);
        out.resize(n);
        EXPECT_EQ(out, Pattern(n, seq));
    }

    void Resume(uint32_t ack) {
        int handed = qrn_cirwin_read_size(m_win.get());
        int to_ack = static_cast<int>(ack - m_base);
        if (to_ack < handed) {
            ASSERT_EQ(qrn_cirwin_set_read_len(m_win.get(), to_ack), 0);
        }
        ASSERT_EQ(qrn_cirwin_forward(m_win.get(), to_ack), to_ack);
        m_base = ack;
    }

    CirwinPtr m_win;
    uint32_t m_base = 1;
    uint32_t m_next = 1;
};

TEST_F(ResumeWindow, KeepsOnlyTheLastBytesAndNumbersThemFromBase) {
    for (int i = 0; i < 20; ++i) {
        Append(kChunk);
        HandOver(kChunk);
    }
    EXPECT_EQ(qrn_cirwin_write_size(m_win.get()), kKeep);
    EXPECT_EQ(m_base + static_cast<uint32_t>(kKeep), m_next);
    EXPECT_EQ(qrn_cirwin_read_avail(m_win.get()), 0);
    std::vector<uint8_t> oldest(100);
    ASSERT_EQ(qrn_cirwin_read_ex(m_win.get(), 0, oldest.data(), 100), 100);
    EXPECT_EQ(oldest, Pattern(100, m_base));
}

TEST_F(ResumeWindow, RewindsToAckBelowWhatWasHandedOver) {
    for (int i = 0; i < 12; ++i) Append(kChunk);  // wraps the storage several times
    for (int i = 0; i < 10; ++i) HandOver(kChunk);
    uint32_t ack = m_base + 70000;
    Resume(ack);
    EXPECT_EQ(qrn_cirwin_read_size(m_win.get()), 0);
    EXPECT_EQ(qrn_cirwin_read_avail(m_win.get()), qrn_cirwin_write_size(m_win.get()));
    // Everything from ack on goes out again, once, in order.
    int total = static_cast<int>(m_next - ack);
    EXPECT_EQ(qrn_cirwin_read_avail(m_win.get()), total);
    while (qrn_cirwin_read_avail(m_win.get()) > 0) HandOver(32752);
    EXPECT_EQ(m_base + static_cast<uint32_t>(qrn_cirwin_read_size(m_win.get())), m_next);
}

TEST_F(ResumeWindow, AckEqualToHandedOverKeepsTheReadPosition) {
    Append(50000);
    HandOver(30000);
    Resume(m_base + 30000);
    EXPECT_EQ(qrn_cirwin_read_size(m_win.get()), 0);
    EXPECT_EQ(qrn_cirwin_read_avail(m_win.get()), 20000);
    HandOver(20000);
}

TEST_F(ResumeWindow, AckBeyondHandedOverMovesReadPositionToNewOldest) {
    Append(50000);
    HandOver(10000);
    Resume(m_base + 25000);
    EXPECT_EQ(qrn_cirwin_read_size(m_win.get()), 0);
    EXPECT_EQ(qrn_cirwin_read_avail(m_win.get()), 25000);
    HandOver(25000);
}

TEST_F(ResumeWindow, FreshResumeWithNothingSentChangesNothing) {
    Resume(m_base);
    EXPECT_EQ(qrn_cirwin_write_size(m_win.get()), 0);
    Append(10);
    HandOver(10);
}

// Reliable UDP: chunks are appended as they are sent, copied out again for retransmission by
// sequence number without consuming, and dropped from the front as they are acknowledged.
TEST(Cirwin, SendWindowRetransmitsBySequenceAndDropsAcked) {
    constexpr int kLimit = 65536;
    constexpr int kSeg = 1360;
    CirwinPtr w(qrn_cirwin_create(kLimit));
    uint32_t base = 0xFFFFF000u;  // sequence numbers wrap during the test
    uint32_t pos = base;
    std::mt19937 rng(7);
    for (int round = 0; round < 400; ++round) {
        while (qrn_cirwin_room(w.get()) >= kSeg) {
            std::vector<uint8_t> d = Pattern(kSeg, pos);
            ASSERT_EQ(qrn_cirwin_write(w.get(), d.data(), kSeg), kSeg);
            pos += kSeg;
        }
        int kept = qrn_cirwin_write_size(w.get());
        ASSERT_EQ(static_cast<uint32_t>(kept), pos - base);
        uint32_t seq = base + static_cast<uint32_t>(rng() % (kept / kSeg)) * kSeg;
        std::vector<uint8_t> out(kSeg);
        ASSERT_EQ(qrn_cirwin_read_ex(w.get(), static_cast<int>(seq - base), out.data(), kSeg), kSeg);
        EXPECT_EQ(out, Pattern(kSeg, seq));
        int acked = static_cast<int>(rng() % (kept + 1));
        ASSERT_EQ(qrn_cirwin_forward(w.get(), acked), acked);
        base += static_cast<uint32_t>(acked);
    }
    EXPECT_EQ(qrn_cirwin_read_ex(w.get(), qrn_cirwin_write_size(w.get()), nullptr, 1), 0);
}

// Random operations against a plain model, including limit changes.
TEST(Cirwin, MatchesAModelUnderRandomOperations) {
    std::mt19937 rng(12345);
    CirwinPtr w(qrn_cirwin_create(5000));
    std::deque<uint8_t> model;
    int limit = 5000;
    int read_pos = 0;
    uint32_t counter = 0;
    for (int step = 0; step < 20000; ++step) {
        int op = static_cast<int>(rng() % 6);
        int len = static_cast<int>(rng() % 3000);
        if (op == 0 || op == 1) {
            std::vector<uint8_t> d = Pattern(len, counter);
            int expect = std::min(len, limit - static_cast<int>(model.size()));
            ASSERT_EQ(qrn_cirwin_write(w.get(), d.data(), len), expect);
            model.insert(model.end(), d.begin(), d.begin() + expect);
            counter += static_cast<uint32_t>(expect);
        } else if (op == 2) {
            std::vector<uint8_t> out(len);
            int expect = std::min(len, static_cast<int>(model.size()) - read_pos);
            ASSERT_EQ(qrn_cirwin_read(w.get(), out.data(), len), expect);
            ASSERT_TRUE(std::equal(out.begin(), out.begin() + expect, model.begin() + read_pos));
            read_pos += expect;
        } else if (op == 3) {
            int expect = std::min(len, static_cast<int>(model.size()));
            ASSERT_EQ(qrn_cirwin_forward(w.get(), len), expect);
            model.erase(model.begin(), model.begin() + expect);
            read_pos = std::max(read_pos - expect, 0);
        } else if (op == 4) {
            int n = model.empty() ? 0 : static_cast<int>(rng() % (model.size() + 1));
            ASSERT_EQ(qrn_cirwin_set_read_len(w.get(), n), 0);
            read_pos = n;
        } else {
            int want = 1000 + static_cast<int>(rng() % 20000);
            int r = qrn_cirwin_set_limit(w.get(), want);
            ASSERT_EQ(r, want < static_cast<int>(model.size()) ? -1 : 0);
            if (r == 0) limit = want;
        }
        ASSERT_EQ(qrn_cirwin_write_size(w.get()), static_cast<int>(model.size()));
        ASSERT_EQ(qrn_cirwin_read_size(w.get()), read_pos);
        ASSERT_EQ(qrn_cirwin_room(w.get()), limit - static_cast<int>(model.size()));
    }
    ExpectKept(w.get(), model);
    qrn_cirwin_reset(w.get());
    EXPECT_EQ(qrn_cirwin_write_size(w.get()), 0);
    EXPECT_EQ(qrn_cirwin_get_limit(w.get()), limit);
}

struct Rec {
    int a;
    int b;
    int c;
};

TEST(Array, InsertsRemovesAndGrowsKeepingOrder) {
    for (int grow_by : {0, 1, 3}) {
        qrn_array *a = qrn_array_create(sizeof(Rec), grow_by);
        ASSERT_NE(a, nullptr);
        std::vector<int> model;
        for (int i = 0; i < 100; ++i) {
            Rec r{i, -i, i * 2};
            ASSERT_EQ(qrn_array_append(a, &r), i);
            model.push_back(i);
        }
        Rec front{1000, 0, 0};
        ASSERT_EQ(qrn_array_insert(a, 0, &front), 0);
        model.insert(model.begin(), 1000);
        Rec mid{2000, 0, 0};
        ASSERT_EQ(qrn_array_insert(a, 50, &mid), 50);
        model.insert(model.begin() + 50, 2000);
        ASSERT_EQ(qrn_array_remove(a, 10), 0);
        model.erase(model.begin() + 10);
        ASSERT_EQ(qrn_array_remove_range(a, 90, 1000), 11);
        model.resize(90);
        ASSERT_EQ(qrn_array_size(a), 90);
        for (int i = 0; i < 90; ++i) {
            ASSERT_EQ(static_cast<Rec *>(qrn_array_get(a, i))->a, model[i]) << "grow_by " << grow_by;
        }
        qrn_array_destroy(a);
    }
}

TEST(Array, RefusesOutOfRangeAndBadSizes) {
    EXPECT_EQ(qrn_array_create(0, 0), nullptr);
    EXPECT_EQ(qrn_array_create(4, -1), nullptr);
    qrn_array *a = qrn_array_create(12, 0);
    Rec r{1, 2, 3};
    EXPECT_EQ(qrn_array_get(a, 0), nullptr);
    EXPECT_EQ(qrn_array_insert(a, 1, &r), -1);
    EXPECT_EQ(qrn_array_insert(a, -1, &r), -1);
    EXPECT_EQ(qrn_array_append(a, nullptr), -1);
    EXPECT_EQ(qrn_array_remove(a, 0), -1);
    ASSERT_EQ(qrn_array_append(a, &r), 0);
    EXPECT_EQ(qrn_array_get(a, 1), nullptr);
    EXPECT_EQ(qrn_array_get(a, -1), nullptr);
    EXPECT_EQ(qrn_array_remove_range(a, 0, -1), 0);
    EXPECT_EQ(qrn_array_remove_range(a, 1, 1), 0);
    qrn_array_clear(a);
    EXPECT_EQ(qrn_array_size(a), 0);
    EXPECT_EQ(qrn_array_size(nullptr), 0);
    qrn_array_destroy(a);
}

TEST(Array, AppendsACopyOfItsOwnElementWhileGrowing) {
    qrn_array *a = qrn_array_create(sizeof(Rec), 1);
    Rec r{7, 8, 9};
    ASSERT_EQ(qrn_array_append(a, &r), 0);
    for (int i = 1; i < 64; ++i) {
        ASSERT_EQ(qrn_array_append(a, qrn_array_get(a, 0)), i);
        ASSERT_EQ(qrn_array_insert(a, 0, qrn_array_get(a, i)), 0);
        ++i;
    }
    for (int i = 0; i < qrn_array_size(a); ++i) {
        Rec *e = static_cast<Rec *>(qrn_array_get(a, i));
        ASSERT_EQ(e->a + e->b + e->c, 24);
    }
    qrn_array_destroy(a);
}

TEST(SimpleBuffer, ReadsInWriteOrderThroughCompactionAndGrowth) {
    CQrnSimpleBuffer b;
    EXPECT_EQ(b.buffer(), nullptr);
    std::deque<uint8_t> model;
    std::mt19937 rng(99);
    uint32_t counter = 0;
    for (int step = 0; step < 5000; ++step) {
        int len = static_cast<int>(rng() % 700);
        if (rng() % 2) {
            std::vector<uint8_t> d = Pattern(len, counter);
            counter += static_cast<uint32_t>(len);
            ASSERT_EQ(b.write(d.data(), len), len);
            model.insert(model.end(), d.begin(), d.end());
        } else {
            std::vector<uint8_t> out(len);
            int expect = std::min(len, static_cast<int>(model.size()));
            ASSERT_EQ(b.read(out.data(), len), expect);
            ASSERT_TRUE(std::equal(out.begin(), out.begin() + expect, model.begin()));
            model.erase(model.begin(), model.begin() + expect);
        }
        ASSERT_EQ(b.get_readable(), static_cast<int>(model.size()));
        if (!model.empty()) {
            ASSERT_EQ(static_cast<uint8_t>(b.buffer()[0]), model.front());
        }
    }
}

TEST(SimpleBuffer, AllocMakesRoomAndBadLengthsAreRefused) {
    CQrnSimpleBuffer b;
    EXPECT_EQ(b.alloc(-1), -1);
    ASSERT_EQ(b.alloc(1000), 0);
    ASSERT_NE(b.buffer(), nullptr);
    EXPECT_GE(b.get_write_size(), 1000);
    EXPECT_EQ(b.write("abcdef", 6), 6);
    EXPECT_EQ(b.skip(2), 2);
    ASSERT_EQ(b.alloc(5000), 0);
    EXPECT_GE(b.get_readable() + b.get_write_size(), 5000);
    EXPECT_EQ(std::string(b.buffer(), 4), "cdef");
    EXPECT_EQ(b.write("x", -1), -1);
    EXPECT_EQ(b.write(nullptr, 3), -1);
    char out[8];
    EXPECT_EQ(b.read(out, -4), 0);
    EXPECT_EQ(b.skip(-4), 0);
    EXPECT_EQ(b.skip(100), 4);
    b.write("zz", 2);
    b.reset_all();
    EXPECT_EQ(b.get_readable(), 0);
}

// Reading a large buffer in small pieces must not move the rest each time.
TEST(SimpleBuffer, SmallReadsFromALargeBufferStayLinear) {
    CQrnSimpleBuffer b;
    std::vector<uint8_t> d = Pattern(1 << 16, 0);
    for (int i = 0; i < 128; ++i) ASSERT_EQ(b.write(d.data(), static_cast<int>(d.size())), 1 << 16);
    uint8_t out[16];
    int total = 0;
    for (int i = 0; i < (1 << 19); ++i) {
        total += b.read(out, 16);
        if (i % 4 == 0) b.write(d.data(), 64);
    }
    EXPECT_EQ(total, 16 << 19);
    EXPECT_EQ(b.get_readable(), (128 << 16) + (1 << 17) * 64 - (16 << 19));
}

}  // namespace

TEST(Notes, KeepsEveryNoteInOrderBeyondTheFirstFewAndStartsAgainWhenCleared) {
    CQrnNotes notes;
    for (int i = 0; i < 60; ++i) notes.Post(1000 + i, i, 2 * i, 3 * i);
    ASSERT_EQ(60, notes.count());
    for (int i : {0, 3, 4, 5, 59}) {
        SCOPED_TRACE(i);
        const CQrnNotes::Note &n = notes.note(i);
        EXPECT_EQ(1000 + i, n.msg);
        EXPECT_EQ(static_cast<uintptr_t>(i), n.p1);
        EXPECT_EQ(static_cast<uintptr_t>(2 * i), n.p2);
        EXPECT_EQ(static_cast<uintptr_t>(3 * i), n.p3);
    }
    notes.Clear();
    EXPECT_EQ(0, notes.count());
    for (int i = 0; i < 5; ++i) notes.Post(i);
    ASSERT_EQ(5, notes.count());
    EXPECT_EQ(4, notes.note(4).msg);
    EXPECT_EQ(0u, notes.note(4).p1);
}
