// CKesThread: one thread with its own lock and condition.
// Created and destroyed by its owner; the owner joins the thread before
// destroying the object. Lock/condition operations may be used from any thread.
#pragma once

#include <pthread.h>

typedef void* (*KesThreadProcedure)(void* argument);

constexpr int KES_TIMED_WAIT_EXPIRED = -220477;

class CKesThread {
public:
    CKesThread();
    virtual ~CKesThread();

    // Starts the thread running procedure(argument). joinable 1: the thread
    // must be joined with KTJoinThread; 0: detached. 1, or a negative code.
    int KTCreateThread(KesThreadProcedure procedure, void* argument, int joinable);
    // Waits for the thread to end. 1, or a negative code (never started,
    // detached, already joined, or called from the thread itself).
    int KTJoinThread();
    // The thread's lock; 1 on success.
    int KTLock();
    int KTUnLock();
    // Wakes every / one waiter of the condition; 1 on success.
    int KTBroadcast();
    int KTSignal();
    // Waits on the condition with the lock already held, for at most the
    // relative time (scaled by KesTimeScale). 1 when woken (or spuriously),
    // KES_TIMED_WAIT_EXPIRED (-220477) when the time ran out.
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

    pthread_mutex_t m_Lock;   // the thread object's lock
    pthread_cond_t m_Cond;    // its condition (CLOCK_MONOTONIC)
    pthread_t m_Thread;       // the thread, valid while m_Started
    bool m_Started = false;   // KTCreateThread succeeded and not yet joined
    bool m_Joinable = false;  // created joinable
};
