// CKesEndpointLock: a server's endpoint lock. Packets and sends hold it
// shared while they use an endpoint; the removal of a connection holds it
// exclusively while it takes the connection out of the tables and destroys
// it.
//
// The event-loop thread must not wait for it: a callback that takes its time,
// or a send that waits for a client that stops reading, holds it shared for as
// long, and every socket of the process would go unread meanwhile. So the
// loop, finding the end of a connection while the lock is held, only tries
// it (TryLockOrPark): the socket is paused, out of the loop, until the next
// holder (shared or exclusive) lets go, which resumes it; the loop then reads
// the end again and tries again.
//
// Threads: any. Parking and resuming take m_ParkedLock, then the event loop's
// own lock (KRNPauseIO, KRNResumeIO); never the other way round.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <shared_mutex>
#include <utility>
#include <vector>

#include "CKesRvNet.h"

class CKesEndpointLock {
public:
    void lock() { m_Lock.lock(); }
    void unlock()
    {
        m_Lock.unlock();
        LetParkedRetry();
    }
    void lock_shared() { m_Lock.lock_shared(); }
    void unlock_shared()
    {
        m_Lock.unlock_shared();
        LetParkedRetry();
    }

    // The loop thread, at the end of one of the server's connections: true
    // when it now holds the lock exclusively. Otherwise the socket (of that
    // generation) is paused until a holder lets go, and the end is to be read
    // again then (or it has left the loop, its removal under way).
    bool TryLockOrPark(CKesRvNet* loop, unsigned int socket)
    {
        if (m_Lock.try_lock()) return true;
        if (loop == nullptr) {
            m_Lock.lock(); // no loop to come back: wait
            return true;
        }
        const uint32_t generation = loop->KRNGetGeneration(socket);
        {
            std::lock_guard<std::mutex> hold(m_ParkedLock);
            // Not registered any more: whoever took it out of the loop is
            // removing the connection, under this lock.
            if (loop->KRNPauseIO(socket, generation) != 1) return false;
            m_Loop = loop;
            m_Parked.emplace_back(socket, generation);
            m_AnyParked.store(true, std::memory_order_relaxed);
        }
        std::atomic_thread_fence(std::memory_order_seq_cst);
        // The holder may have let go before the socket was parked.
        if (m_Lock.try_lock()) {
            m_Lock.unlock();
            ResumeParked();
        }
        return false;
    }

private:
    void LetParkedRetry()
    {
        // Pairs with the fence in TryLockOrPark: either the loop's second try
        // finds the lock free, or this load sees the socket parked.
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (m_AnyParked.load(std::memory_order_relaxed)) ResumeParked();
    }
    void ResumeParked()
    {
        std::vector<std::pair<unsigned int, uint32_t>> parked;
        CKesRvNet* loop = nullptr;
        {
            std::lock_guard<std::mutex> hold(m_ParkedLock);
            parked.swap(m_Parked);
            loop = m_Loop;
            m_AnyParked.store(false, std::memory_order_relaxed);
        }
        // A socket removed meanwhile (or whose handle a new connection has
        // taken) no longer has this generation: the resume does nothing.
        for (const auto& [socket, generation] : parked) loop->KRNResumeIO(socket, generation);
    }

    std::shared_mutex m_Lock;
    std::atomic<bool> m_AnyParked{false};
    std::mutex m_ParkedLock;
    std::vector<std::pair<unsigned int, uint32_t>> m_Parked; // sockets whose end waits for the lock
    CKesRvNet* m_Loop = nullptr;                             // the loop that paused them
};
