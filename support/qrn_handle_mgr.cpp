#include "qrnlibl/qrn_handle_mgr.h"

#include <atomic>
#include <new>

#include "qrnlibl/qrn_lock.h"

// Ids index a two-level table: a page of kPageSlots slots per id >> kPageShift, allocated
// when its first id goes live and kept until the table is destroyed (at most 256 pages of
// 2 KiB). Pages never move, so a slot keeps its address while its id is live, and a slot
// pointer that a caller still holds after the free never reaches released memory. A bitmap of live ids makes the search for the next
// free id (allocation) and the next live id (enumeration) a scan of 64 ids per step.

namespace {

constexpr int kMaxId = QRN_HANDLE_MAX_IDS;
constexpr int kPageShift = 8;
constexpr int kPageSlots = 1 << kPageShift;
constexpr int kPageCount = (kMaxId >> kPageShift) + 1;
constexpr int kWordBits = 64;
constexpr int kBitmapWords = (kMaxId + kWordBits) / kWordBits;

struct CHandlePage {
    void *m_slots[kPageSlots];
};

}  // namespace

struct qrn_handle_mgr {
    std::atomic<CQrnLock *> m_ext_lock{nullptr};
    CQrnLock m_own_lock;
    CHandlePage *m_pages[kPageCount] = {};
    uint64_t m_live[kBitmapWords] = {};
    int m_count = 0;
    int m_next = 1;  // where the search for a free id starts
};

namespace {

CQrnLock *qrn_handle_lock(qrn_handle_mgr *mgr) {
    CQrnLock *ext = mgr->m_ext_lock.load(std::memory_order_acquire);
    return ext ? ext : &mgr->m_own_lock;
}

bool qrn_handle_is_live(const qrn_handle_mgr *mgr, int id) {
    return (mgr->m_live[id / kWordBits] >> (id % kWordBits)) & 1u;
}

// First id in [from, to] whose live bit equals want, or 0. Id 0 is never live nor free.
int qrn_handle_scan(const qrn_handle_mgr *mgr, int from, int to, bool want) {
    if (from < 1) from = 1;
    for (int id = from; id <= to;) {
        int word = id / kWordBits;
        uint64_t bits = want ? mgr->m_live[word] : ~mgr->m_live[word];
        bits &= ~uint64_t{0} << (id % kWordBits);
        if (bits) {
            int found = word * kWordBits + __builtin_ctzll(bits);
            return found <= to ? found : 0;
        }
        id = (word + 1) * kWordBits;
    }
    return 0;
}

void **qrn_handle_slot(qrn_handle_mgr *mgr, int id) {
    return &mgr->m_pages[id >> kPageShift]->m_slots[id & (kPageSlots - 1)];
}

}  // namespace

extern "C" {

qrn_handle_mgr *qrn_handle_mgr_create(int initial_size, int grow_by) {
    // The sizes are only checked: storage follows the ids in use, page by page.
    if (initial_size < 0 || grow_by < 0) return nullptr;
    return new (std::nothrow) qrn_handle_mgr();
}

void qrn_handle_set_lock(qrn_handle_mgr *mgr, CQrnLock *lock) {
    if (mgr) mgr->m_ext_lock.store(lock, std::memory_order_release);
}

int qrn_handle_mgr_alloc_id(qrn_handle_mgr *mgr) {
    if (!mgr) return 0;
    CQrnFuncLock guard(qrn_handle_lock(mgr));
    if (mgr->m_count >= kMaxId) return 0;
    int id = qrn_handle_scan(mgr, mgr->m_next, kMaxId, false);
    if (id == 0) id = qrn_handle_scan(mgr, 1, mgr->m_next - 1, false);
    if (id == 0) return 0;
    CHandlePage *&page = mgr->m_pages[id >> kPageShift];
    if (!page) {
        page = new (std::nothrow) CHandlePage();
        if (!page) return 0;
    }
    page->m_slots[id & (kPageSlots - 1)] = nullptr;
    mgr->m_live[id / kWordBits] |= uint64_t{1} << (id % kWordBits);
    ++mgr->m_count;
    mgr->m_next = id == kMaxId ? 1 : id + 1;
    return id;
}

void **qrn_handle_mgr_get(qrn_handle_mgr *mgr, int id) {
    if (!mgr || id < 1 || id > kMaxId) return nullptr;
    CQrnFuncLock guard(qrn_handle_lock(mgr));
    return qrn_handle_is_live(mgr, id) ? qrn_handle_slot(mgr, id) : nullptr;
}

int qrn_handle_mgr_free_id(qrn_handle_mgr *mgr, int id) {
    if (!mgr || id < 1 || id > kMaxId) return 0;
    CQrnFuncLock guard(qrn_handle_lock(mgr));
    if (!qrn_handle_is_live(mgr, id)) return 0;
    mgr->m_live[id / kWordBits] &= ~(uint64_t{1} << (id % kWordBits));
    --mgr->m_count;
    *qrn_handle_slot(mgr, id) = nullptr;
    return 1;
}

int qrn_handle_mgr_count(qrn_handle_mgr *mgr) {
    if (!mgr) return 0;
    CQrnFuncLock guard(qrn_handle_lock(mgr));
    return mgr->m_count;
}

void qrn_handle_mgr_set_next(qrn_handle_mgr *mgr, int id) {
    if (!mgr || id < 1 || id > kMaxId) return;
    CQrnFuncLock guard(qrn_handle_lock(mgr));
    mgr->m_next = id;
}

uintptr_t qrn_handle_mgr_enumerate_start(qrn_handle_mgr *mgr) {
    if (!mgr) return 0;
    CQrnFuncLock guard(qrn_handle_lock(mgr));
    return mgr->m_count > 0 ? 1 : 0;
}

void **qrn_handle_mgr_enumerate_next(qrn_handle_mgr *mgr, uintptr_t *cursor, int *id_out) {
    if (id_out) *id_out = 0;
    if (!mgr || !cursor) return nullptr;
    if (*cursor == 0 || *cursor > static_cast<uintptr_t>(kMaxId)) {
        *cursor = 0;
        return nullptr;
    }
    CQrnFuncLock guard(qrn_handle_lock(mgr));
    int id = qrn_handle_scan(mgr, static_cast<int>(*cursor), kMaxId, true);
    if (id == 0) {
        *cursor = 0;
        return nullptr;
    }
    *cursor = static_cast<uintptr_t>(id) + 1;
    if (id_out) *id_out = id;
    return qrn_handle_slot(mgr, id);
}

void qrn_handle_mgr_destroy(qrn_handle_mgr *mgr) {
    if (!mgr) return;
    for (CHandlePage *page : mgr->m_pages) delete page;
    delete mgr;
}

}  // extern "C"
