// CKesServPool: a fixed pool of worker threads that call one worker procedure
// with (item, context) once for each item added, in FIFO order.
// Created and destroyed by its owner (one thread); KSPLaunchThreads is called
// once by the owner; items may be added from any thread, also from a worker.
// Destruction stops taking items, lets the workers run every item already
// queued, then joins them: nothing queued is lost or leaked. Items offered
// while the pool is stopping are refused and stay with the caller.
// Locks: m_Lock alone, held only to queue, hand over or take one item; the worker
// procedure runs without it, so it may take any lock and add items.
// Hand-off: an item offered while a worker is idle goes straight to that
// worker, which wakes on a word of its own and runs the item without
// touching the queue or the lock again: one wake-up per item, no second
// round on the lock.
// Turns: a caller that could run an item at once itself (the thread that
// read it) takes an idle worker's turn instead of waking it.
#pragma once

#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "KesErrorCodes.h"

typedef void (*KesPoolWorkProcedure)(void* item, void* context);

class CKesServPool {
public:
    CKesServPool(int workers, void* context);
    virtual ~CKesServPool();

    // Starts the workers; 1, or KES_ERR_ARGUMENT for a null procedure or a second
    // call, KES_ERR_ALLOCATION when no worker thread could be started.
    int KSPLaunchThreads(KesPoolWorkProcedure procedure);
    // Queues one item; 1, or KES_ERR_ARGUMENT once the pool is stopping.
    virtual int KSPAddWorkDetail(void* item);
    // Queues count items in order under one hold of the lock: idle workers
    // are handed one each (one wake-up per worker, none for a worker that
    // gets nothing), the rest wait in the queue for the first worker free.
    // 1, or KES_ERR_ARGUMENT (nothing queued) once the pool is stopping.
    int KSPAddWorkDetails(void* const* items, int count);
    // Takes an idle worker's turn for one item the caller runs itself, so
    // that the pool never runs more items at once than it has workers, and
    // an item queued meanwhile waits for a worker as it would have. True
    // when nothing is queued and a worker is idle: that worker stays out of
    // the idle list until KSPEndTurn. False (nothing taken) otherwise, also
    // once the pool is stopping.
    bool KSPTakeTurn();
    // Ends a turn taken: the worker runs what was queued meanwhile (one
    // wake-up), or goes back to waiting idle (none).
    void KSPEndTurn();
    int KSPWorkerCount() const { return m_WorkerCount; }

private:
    CKesServPool(const CKesServPool&) = delete;
    CKesServPool& operator=(const CKesServPool&) = delete;
    struct IdleWorker;
    void WorkerLoop();
    void WaitForHandedItem(IdleWorker& self, std::unique_lock<std::mutex>& hold);

    const int m_WorkerCount;                    // number of workers (at least 1)
    void* const m_Context;                      // second argument of every call
    KesPoolWorkProcedure m_Procedure = nullptr; // set once by KSPLaunchThreads, under m_Lock
    std::mutex m_Lock;                          // guards the queue, the idle list and the flag
    std::deque<void*> m_Queue;              // items not yet taken, oldest first; empty while a worker is idle
    std::vector<IdleWorker*> m_IdleWorkers; // waiting workers, the most recently busy last
    std::vector<IdleWorker*> m_LentWorkers; // waiting workers whose turn a caller has taken
    bool m_Stopping = false;                // destruction has begun
    std::vector<std::thread> m_Workers;     // the worker threads (owner thread only)
};
