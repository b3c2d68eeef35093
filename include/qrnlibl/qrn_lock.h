// Locks and reference-counted objects.
//
// Lock rules of the whole library (every layer follows them):
//  1. Order. A thread may take locks only in this order: an upper layer's locks (transport
//     registry, then a transport connection; multi-mode registry, then a multi-mode
//     connection; reliable-UDP registry, then its connection, then its loop's timers), then the
//     VSOCK lock, then a VBaseSocket's own lock, then its descriptor lock (datagrams). An
//     event loop's hook lock is held while the loop runs the layer above's timed work, so it
//     comes before all of these; only taking a hook away waits for it. A lower layer never
//     calls up while holding any of its locks.
//  2. Callbacks. Every callback into a higher layer (socket events, multi-mode messages,
//     application messages, timer ticks) runs with no lock of the calling layer held.
//  3. Re-entry. Every CQrnLock may be taken again by the thread that holds it.
//  4. Timers. Never call qrn_timer_kill while holding a lock that the timer's callback takes:
//     the kill waits for a running callback to finish.
//  5. Lifetime. A handle lookup adds a reference under the registry lock; the reference, not
//     the lock, keeps the object alive while it is used. The last ReleaseRef destroys it.
#ifndef QRNLIBL_QRN_LOCK_H
#define QRNLIBL_QRN_LOCK_H

#include <atomic>
#include <mutex>
#include <thread>

// A mutex that its owner may take again; Unlock must be called once per Lock.
class CQrnLock {
public:
    CQrnLock() = default;
    CQrnLock(const CQrnLock &) = delete;
    CQrnLock &operator=(const CQrnLock &) = delete;

    void Lock();
    void Unlock();
    bool TryLock();
    // True when the calling thread holds the lock (for assertions of the lock rules).
    bool IsHeldByCurrentThread() const;

private:
    std::mutex m_mutex;
    std::atomic<std::thread::id> m_owner{};
    int m_depth = 0;  // guarded by m_mutex
};

// Holds a lock for its own lifetime. A null lock is allowed and does nothing.
class CQrnFuncLock {
public:
    explicit CQrnFuncLock(CQrnLock *lock) : m_lock(lock) { if (m_lock) m_lock->Lock(); }
    explicit CQrnFuncLock(CQrnLock &lock) : CQrnFuncLock(&lock) {}
    ~CQrnFuncLock() { if (m_lock) m_lock->Unlock(); }
    CQrnFuncLock(const CQrnFuncLock &) = delete;
    CQrnFuncLock &operator=(const CQrnFuncLock &) = delete;

private:
    CQrnLock *m_lock;
};

// Base of connection and socket objects. A new object holds one reference; the last
// ReleaseRef destroys it (with delete, so objects are created with new).
class CQrnObject {
public:
    CQrnObject() = default;
    virtual ~CQrnObject() = default;
    CQrnObject(const CQrnObject &) = delete;
    CQrnObject &operator=(const CQrnObject &) = delete;

    int AddRef();      // returns the new count
    int ReleaseRef();  // returns the new count; 0 means the object is gone
    int GetRefCount() const { return m_ref.load(std::memory_order_acquire); }

    // Installs the lock that guards this object's fields (the object does not own it).
    void SetLock(CQrnLock *lock) { m_obj_lock = lock; }
    CQrnLock *GetLock() const { return m_obj_lock; }
    void Lock() { if (m_obj_lock) m_obj_lock->Lock(); }
    void Unlock() { if (m_obj_lock) m_obj_lock->Unlock(); }

private:
    std::atomic<int> m_ref{1};
    CQrnLock *m_obj_lock = nullptr;
};

// Holds one reference of an object for its own lifetime (adopting one already taken).
template <class T>
class CQrnRefHolder {
public:
    explicit CQrnRefHolder(T *obj = nullptr) : m_obj(obj) {}
    ~CQrnRefHolder() { if (m_obj) m_obj->ReleaseRef(); }
    CQrnRefHolder(const CQrnRefHolder &) = delete;
    CQrnRefHolder &operator=(const CQrnRefHolder &) = delete;
    T *get() const { return m_obj; }
    T *operator->() const { return m_obj; }
    explicit operator bool() const { return m_obj != nullptr; }

private:
    T *m_obj;
};

#endif
