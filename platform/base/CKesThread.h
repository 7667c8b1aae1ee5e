// CKesThread: one thread with its own lock and condition (on CLOCK_MONOTONIC).
// Created and destroyed by its owner, who joins a joinable thread before
// destroying the object (a thread never joined is detached by the destructor
// so its resources are not leaked). KTCreateThread/KTJoinThread are called by
// the owner; the lock and condition operations by any thread, the started
// thread included.
// Locks: the object's lock (KTLock/AutoMutex) is the caller's; the internal
// state lock guards only the start/join bookkeeping and is never held while
// waiting or joining, so it nests under nothing and nothing nests under it.
#pragma once

#include <atomic>
#include <mutex>
#include <pthread.h>

#include "KesErrorCodes.h"

typedef void* (*KesThreadProcedure)(void* argument);

constexpr int KES_TIMED_WAIT_EXPIRED = KES_ERR_WAIT_TIMEOUT;

class CKesThread {
public:
    CKesThread();
    virtual ~CKesThread();

    // Starts the thread running procedure(argument). joinable 1: the thread
    // must be joined with KTJoinThread; 0: detached. 1, or a negative code
    // (KES_ERR_ARGUMENT null procedure or already started, KES_ERR_ALLOCATION no resources).
    int KTCreateThread(KesThreadProcedure procedure, void* argument, int joinable);
    // Waits for the thread to end. 1, or KES_ERR_ARGUMENT (never started, detached,
    // already joined, or called from the thread itself).
    int KTJoinThread();
    // The thread's lock; 1 on success.
    int KTLock();
    int KTUnLock();
    // Wakes every / one waiter of the condition; 1 on success.
    int KTBroadcast();
    int KTSignal();
    // Waits on the condition with the lock already held, for at most the
    // relative time (scaled by KesTimeScale). 1 when woken by KTBroadcast or
    // KTSignal, KES_TIMED_WAIT_EXPIRED (KES_ERR_WAIT_TIMEOUT) when the time ran out.
    // Spurious wake-ups do not end the wait early.
    int KTConditionRelTimedWaitNoLock(long seconds, long nanoseconds);
    // Waits on the condition with the lock already held, without a time limit.
    int KTConditionWaitNoLock();

    // Holds the thread object's lock for its own lifetime.
    class AutoMutex {
    public:
        explicit AutoMutex(CKesThread& thread) : m_Thread(thread) { m_Thread.KTLock(); }
        explicit AutoMutex(CKesThread* thread) : AutoMutex(*thread) {}
        ~AutoMutex() { m_Thread.KTUnLock(); }

    private:
        AutoMutex(const AutoMutex&) = delete;
        AutoMutex& operator=(const AutoMutex&) = delete;
        CKesThread& m_Thread; // not owned
    };

private:
    CKesThread(const CKesThread&) = delete;
    CKesThread& operator=(const CKesThread&) = delete;

    pthread_mutex_t m_Lock;                // the thread object's lock
    pthread_cond_t m_Cond;                 // its condition (CLOCK_MONOTONIC)
    std::atomic<unsigned long> m_Wakes{0}; // bumped by every broadcast/signal
    std::mutex m_StateLock;                // guards the three fields below
    pthread_t m_Thread;                    // the thread, valid while m_Started
    bool m_Started = false;                // KTCreateThread succeeded and not yet joined
    bool m_Joinable = false;               // created joinable
};
