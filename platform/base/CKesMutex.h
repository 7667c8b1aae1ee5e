// CKesMutex: a mutual-exclusion lock (not recursive). Lock/Unlock return 1.
// Created and destroyed by the object it guards; any thread locks it; the
// lock order is the owner's to document. CKesAutoMutex holds one for a scope.
//
// The lock knows which thread holds it, so that a helper whose rule is
// "caller holds the lock" can check it (IsHeldByMe, with KES_CHECK). The
// owner is written after locking and cleared before unlocking, always, in
// every build: the layout and the inline code are the same whether or not
// the checks are compiled in, so hosts built either way share one class.
#pragma once

#include <atomic>
#include <mutex>
#include <thread>

class CKesMutex {
public:
    CKesMutex() = default;
    virtual ~CKesMutex() = default;
    int Lock()
    {
        lock();
        return 1;
    }
    int Unlock()
    {
        unlock();
        return 1;
    }
    // 1 when the lock was taken, 0 when another thread holds it.
    int TryLock()
    {
        if (!m_Mutex.try_lock()) return 0;
        m_Owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
        return 1;
    }
    // The standard lock interface, so that a condition variable can wait on it.
    void lock()
    {
        m_Mutex.lock();
        m_Owner.store(std::this_thread::get_id(), std::memory_order_relaxed);
    }
    void unlock()
    {
        m_Owner.store(std::thread::id(), std::memory_order_relaxed);
        m_Mutex.unlock();
    }
    // True when the calling thread holds the lock. Exact for the calling
    // thread: only it can have stored its own id, and it clears it before
    // unlocking, so no ordering with other threads is needed.
    bool IsHeldByMe() const { return m_Owner.load(std::memory_order_relaxed) == std::this_thread::get_id(); }

private:
    CKesMutex(const CKesMutex&) = delete;
    CKesMutex& operator=(const CKesMutex&) = delete;
    std::mutex m_Mutex;                                      // the lock
    std::atomic<std::thread::id> m_Owner{std::thread::id()}; // the holding thread; no thread while free
    static_assert(std::atomic<std::thread::id>::is_always_lock_free, "the owner must be a plain word");
};
