#include "qrnlibl/qrn_lock.h"

#include <assert.h>

// The owner id is atomic so that any thread may ask whether it holds the lock. Only the owner
// ever finds its own id there, so a relaxed load is enough for that test; m_depth is touched
// only by the owner, between taking and releasing m_mutex.

void CQrnLock::Lock() {
    const std::thread::id self = std::this_thread::get_id();
    if (m_owner.load(std::memory_order_relaxed) == self) {
        ++m_depth;
        return;
    }
    m_mutex.lock();
    m_owner.store(self, std::memory_order_relaxed);
    m_depth = 1;
}

bool CQrnLock::TryLock() {
    const std::thread::id self = std::this_thread::get_id();
    if (m_owner.load(std::memory_order_relaxed) == self) {
        ++m_depth;
        return true;
    }
    if (!m_mutex.try_lock()) return false;
    m_owner.store(self, std::memory_order_relaxed);
    m_depth = 1;
    return true;
}

void CQrnLock::Unlock() {
    // An unlock by a thread that does not hold the lock is a caller's bug. A debug build stops
    // there; a release build leaves the lock with its holder rather than free it under them.
    assert(IsHeldByCurrentThread());
    if (!IsHeldByCurrentThread()) return;
    if (--m_depth > 0) return;
    m_owner.store(std::thread::id(), std::memory_order_relaxed);
    m_mutex.unlock();
}

bool CQrnLock::IsHeldByCurrentThread() const {
    return m_owner.load(std::memory_order_relaxed) == std::this_thread::get_id();
}

int CQrnObject::AddRef() { return m_ref.fetch_add(1, std::memory_order_relaxed) + 1; }

int CQrnObject::ReleaseRef() {
    // acq_rel: every use of the object by other holders happens before the delete.
    const int left = m_ref.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) delete this;
    return left;
}
