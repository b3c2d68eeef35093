// Handle tables: id reuse, enumeration, a full table, locking.
#include <gtest/gtest.h>

#include <stdint.h>

#include <atomic>
#include <future>
#include <memory>
#include <set>
#include <thread>
#include <vector>

#include "qrnlibl/qrn_handle_mgr.h"
#include "qrnlibl/qrn_lock.h"
#include "test_support.h"

namespace {

struct MgrDeleter {
    void operator()(qrn_handle_mgr *m) const { qrn_handle_mgr_destroy(m); }
};
using MgrPtr = std::unique_ptr<qrn_handle_mgr, MgrDeleter>;

MgrPtr NewMgr() { return MgrPtr(qrn_handle_mgr_create(4, 16)); }

void *Tag(int v) { return reinterpret_cast<void *>(static_cast<uintptr_t>(v) * 16 + 8); }

std::vector<int> Walk(qrn_handle_mgr *m) {
    std::vector<int> ids;
    uintptr_t cursor = qrn_handle_mgr_enumerate_start(m);
    int id = 0;
    while (void **slot = qrn_handle_mgr_enumerate_next(m, &cursor, &id)) {
        EXPECT_EQ(slot, qrn_handle_mgr_get(m, id));
        ids.push_back(id);
    }
    return ids;
}

TEST(HandleMgr, AllocatesNonZeroIdsWithEmptySlots) {
    MgrPtr m = NewMgr();
    EXPECT_EQ(qrn_handle_mgr_create(-1, 16), nullptr);
    EXPECT_EQ(qrn_handle_mgr_create(4, -1), nullptr);
    for (int i = 1; i <= 300; ++i) {
        int id = qrn_handle_mgr_alloc_id(m.get());
        ASSERT_EQ(id, i);
        void **slot = qrn_handle_mgr_get(m.get(), id);
        ASSERT_NE(slot, nullptr);
        EXPECT_EQ(*slot, nullptr);
        *slot = Tag(id);
    }
    EXPECT_EQ(qrn_handle_mgr_count(m.get()), 300);
    EXPECT_EQ(qrn_handle_mgr_get(m.get(), 0), nullptr);
    EXPECT_EQ(qrn_handle_mgr_get(m.get(), 301), nullptr);
    EXPECT_EQ(qrn_handle_mgr_get(m.get(), -7), nullptr);
    EXPECT_EQ(qrn_handle_mgr_get(m.get(), 70000), nullptr);
    EXPECT_EQ(*qrn_handle_mgr_get(m.get(), 123), Tag(123));
}

TEST(HandleMgr, FreedIdComesBackOnlyAfterAFullRotation) {
    MgrPtr m = NewMgr();
    int keep = qrn_handle_mgr_alloc_id(m.get());
    int stale = qrn_handle_mgr_alloc_id(m.get());
    *qrn_handle_mgr_get(m.get(), stale) = Tag(1);
    ASSERT_EQ(qrn_handle_mgr_free_id(m.get(), stale), 1);
    EXPECT_EQ(qrn_handle_mgr_free_id(m.get(), stale), 0);
    EXPECT_EQ(qrn_handle_mgr_get(m.get(), stale), nullptr);
    // Allocate and free one id at a time: every other free id is used before stale again.
    std::set<int> seen;
    for (int i = 0; i < QRN_HANDLE_MAX_IDS - 2; ++i) {
        int id = qrn_handle_mgr_alloc_id(m.get());
        ASSERT_NE(id, stale);
        ASSERT_NE(id, keep);
        ASSERT_TRUE(seen.insert(id).second) << "id " << id << " came back early";
        ASSERT_EQ(qrn_handle_mgr_free_id(m.get(), id), 1);
    }
    int again = qrn_handle_mgr_alloc_id(m.get());
    EXPECT_EQ(again, stale);
    // The slot of the reused id starts empty, not with the old object.
    EXPECT_EQ(*qrn_handle_mgr_get(m.get(), again), nullptr);
}

TEST(HandleMgr, FullTableReturnsZeroAndReusesFreedIdsInRotation) {
    MgrPtr m = NewMgr();
    for (int i = 1; i <= QRN_HANDLE_MAX_IDS; ++i) ASSERT_EQ(qrn_handle_mgr_alloc_id(m.get()), i);
    EXPECT_EQ(qrn_handle_mgr_count(m.get()), QRN_HANDLE_MAX_IDS);
    EXPECT_EQ(qrn_handle_mgr_alloc_id(m.get()), 0);
    ASSERT_EQ(qrn_handle_mgr_free_id(m.get(), 40000), 1);
    ASSERT_EQ(qrn_handle_mgr_free_id(m.get(), 7), 1);
    EXPECT_EQ(qrn_handle_mgr_alloc_id(m.get()), 7);
    EXPECT_EQ(qrn_handle_mgr_alloc_id(m.get()), 40000);
    EXPECT_EQ(qrn_handle_mgr_alloc_id(m.get()), 0);
}

TEST(HandleMgr, SlotsKeepTheirAddressWhileOtherIdsComeAndGo) {
    MgrPtr m = NewMgr();
    int id = qrn_handle_mgr_alloc_id(m.get());
    void **slot = qrn_handle_mgr_get(m.get(), id);
    *slot = Tag(42);
    for (int i = 0; i < 5000; ++i) {
        int other = qrn_handle_mgr_alloc_id(m.get());
        if (i % 3) qrn_handle_mgr_free_id(m.get(), other);
    }
    EXPECT_EQ(qrn_handle_mgr_get(m.get(), id), slot);
    EXPECT_EQ(*slot, Tag(42));
}

TEST(HandleMgr, EnumeratesInAscendingOrderAcrossTheWrap) {
    MgrPtr m = NewMgr();
    EXPECT_EQ(qrn_handle_mgr_enumerate_start(m.get()), 0u);
    uintptr_t zero = 0;
    EXPECT_EQ(qrn_handle_mgr_enumerate_next(m.get(), &zero, nullptr), nullptr);
    for (int i = 1; i <= QRN_HANDLE_MAX_IDS; ++i) qrn_handle_mgr_alloc_id(m.get());
    for (int i = 1; i <= QRN_HANDLE_MAX_IDS; ++i) {
        if (i != 3 && i != 700 && i != QRN_HANDLE_MAX_IDS) qrn_handle_mgr_free_id(m.get(), i);
    }
    // The counter has wrapped; new ids come from the bottom and still walk in order.
    int fresh = qrn_handle_mgr_alloc_id(m.get());
    EXPECT_EQ(fresh, 1);
    EXPECT_EQ(Walk(m.get()), (std::vector<int>{1, 3, 700, QRN_HANDLE_MAX_IDS}));
}

TEST(HandleMgr, EnumerationSurvivesRemovalAndAdditionDuringTheWalk) {
    MgrPtr m = NewMgr();
    for (int i = 1; i <= 10; ++i) *qrn_handle_mgr_get(m.get(), qrn_handle_mgr_alloc_id(m.get())) = Tag(i);
    std::vector<int> visited;
    uintptr_t cursor = qrn_handle_mgr_enumerate_start(m.get());
    int id = 0;
    int added = 0;
    while (void **slot = qrn_handle_mgr_enumerate_next(m.get(), &cursor, &id)) {
        visited.push_back(id);
        EXPECT_EQ(*slot, Tag(id));
        if (id == 2) {
            qrn_handle_mgr_free_id(m.get(), 2);  // the current one
            qrn_handle_mgr_free_id(m.get(), 3);  // the next one
        }
        if (id == 5) {
            qrn_handle_mgr_free_id(m.get(), 1);  // one already visited
            added = qrn_handle_mgr_alloc_id(m.get());
            *qrn_handle_mgr_get(m.get(), added) = Tag(added);
        }
    }
    EXPECT_EQ(added, 11);
    EXPECT_EQ(visited, (std::vector<int>{1, 2, 4, 5, 6, 7, 8, 9, 10, 11}));
    EXPECT_EQ(cursor, 0u);
    EXPECT_EQ(qrn_handle_mgr_enumerate_next(m.get(), &cursor, &id), nullptr);
    EXPECT_EQ(id, 0);
}

TEST(HandleMgr, EveryOperationTakesTheGivenLock) {
    MgrPtr m = NewMgr();
    CQrnLock lock;
    qrn_handle_set_lock(m.get(), &lock);
    int id = qrn_handle_mgr_alloc_id(m.get());
    lock.Lock();
    // The owner may call in again while it holds the lock (registries do).
    ASSERT_NE(qrn_handle_mgr_get(m.get(), id), nullptr);
    std::atomic<bool> done{false};
    std::thread other([&] {
        qrn_handle_mgr_alloc_id(m.get());
        done = true;
    });
    EXPECT_FALSE(qrntest::WaitUntil([&] { return done.load(); }, 100));
    lock.Unlock();
    EXPECT_TRUE(qrntest::WaitUntil([&] { return done.load(); }));
    other.join();
    EXPECT_EQ(qrn_handle_mgr_count(m.get()), 2);
}

// Several threads allocate, fill, look up and free ids while another walks the table.
class HandleMgrThreads : public ::testing::TestWithParam<bool> {};

TEST_P(HandleMgrThreads, LiveIdsAreUniqueAndLookupsReachTheirOwner) {
    MgrPtr m = NewMgr();
    CQrnLock lock;
    if (GetParam()) qrn_handle_set_lock(m.get(), &lock);
    constexpr int kThreads = 4;
    constexpr int kRounds = 5000;
    std::atomic<bool> stop{false};
    std::atomic<int> failures{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < kThreads; ++t) {
        workers.emplace_back([&, t] {
            std::vector<int> mine;
            for (int r = 0; r < kRounds; ++r) {
                int id = qrn_handle_mgr_alloc_id(m.get());
                void **slot = qrn_handle_mgr_get(m.get(), id);
                if (id == 0 || !slot || *slot != nullptr) ++failures;
                if (slot) *slot = Tag(t + 1);
                mine.push_back(id);
                if (mine.size() > 8) {
                    int old = mine.front();
                    mine.erase(mine.begin());
                    void **s = qrn_handle_mgr_get(m.get(), old);
                    if (!s || *s != Tag(t + 1)) ++failures;
                    if (s) *s = nullptr;
                    if (qrn_handle_mgr_free_id(m.get(), old) != 1) ++failures;
                }
            }
            for (int id : mine) qrn_handle_mgr_free_id(m.get(), id);
        });
    }
    std::thread walker([&] {
        while (!stop) {
            uintptr_t cursor = qrn_handle_mgr_enumerate_start(m.get());
            int prev = 0, id = 0;
            while (qrn_handle_mgr_enumerate_next(m.get(), &cursor, &id)) {
                if (id <= prev) ++failures;
                prev = id;
            }
        }
    });
    for (auto &w : workers) w.join();
    stop = true;
    walker.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(qrn_handle_mgr_count(m.get()), 0);
}

INSTANTIATE_TEST_SUITE_P(OwnAndGivenLock, HandleMgrThreads, ::testing::Values(false, true));

}  // namespace
