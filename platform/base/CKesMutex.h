// CKesMutex: a mutual-exclusion lock (not recursive). Lock/Unlock return 1.
// Created and destroyed by the object it guards; any thread locks it; the
// lock order is the owner's to document. CKesAutoMutex holds one for a scope.
#pragma once

#include <mutex>

class CKesMutex {
public:
    CKesMutex() = default;
    virtual ~CKesMutex() = default;
    int Lock() { m_Mutex.lock(); return 1; }
    int Unlock() { m_Mutex.unlock(); return 1; }
    // 1 when the lock was taken, 0 when another thread holds it.
    int TryLock() { return m_Mutex.try_lock() ? 1 : 0; }
    // The standard lock interface, so that a condition variable can wait on it.
    void lock() { m_Mutex.lock(); }
    void unlock() { m_Mutex.unlock(); }

private:
    CKesMutex(const CKesMutex&) = delete;
    CKesMutex& operator=(const CKesMutex&) = delete;
    std::mutex m_Mutex; // the lock
};
