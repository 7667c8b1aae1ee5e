// CKesParkedSockets: sockets whose end of stream waits for a lock that the
// event-loop thread must not wait for (a server's endpoint lock, a client's
// ClientLock). The loop, finding the lock held, pauses the socket and parks
// it here; whoever lets go of the lock next resumes every parked socket, and
// the loop, dispatching it again, reads the end again and tries again.
//
// The lock that owns this calls Park after a failed try and, when Park
// succeeded, tries once more: if that second try finds the lock free, the
// holder let go before the socket was parked, and the caller resumes the
// sockets itself (ResumeAll). Every release of the lock calls
// LetParkedRetry. A full barrier on each side makes sure that either the
// second try or the release's look sees the other.
//
// Threads: any. Parking and resuming take m_ParkedLock, then the event loop's
// own lock (KRNPauseIO, KRNResumeIO); never the other way round.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <utility>
#include <vector>

#include "CKesRvNet.h"

#if defined(__SANITIZE_THREAD__)
#define KES_PARKED_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define KES_PARKED_TSAN 1
#endif
#endif

class CKesParkedSockets {
public:
    // Pauses the socket (of its present generation) and parks it; false when
    // it is not registered any more (whoever took it out of the loop ends its
    // connection).
    bool Park(CKesRvNet* loop, unsigned int socket)
    {
        const uint32_t generation = loop->KRNGetGeneration(socket);
        {
            std::lock_guard<std::mutex> hold(m_ParkedLock);
            if (loop->KRNPauseIO(socket, generation) != 1) return false;
            m_Loop = loop;
            m_Parked.emplace_back(socket, generation);
            m_AnyParked.store(true, std::memory_order_relaxed);
        }
        Barrier();
        return true;
    }

    // After each release of the lock.
    void LetParkedRetry()
    {
        // Pairs with the barrier in Park: either the parker's second try
        // finds the lock free, or this load sees the socket parked.
        Barrier();
        if (m_AnyParked.load(std::memory_order_relaxed)) ResumeAll();
    }

    void ResumeAll()
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

private:
    // Orders a write before a later read of another variable. ThreadSanitizer
    // does not model fences; there a read-modify-write of one word that both
    // sides share stands in, which orders them the same way.
    void Barrier()
    {
#ifdef KES_PARKED_TSAN
        m_Barrier.fetch_add(0, std::memory_order_seq_cst);
#else
        std::atomic_thread_fence(std::memory_order_seq_cst);
#endif
    }

    std::atomic<unsigned int> m_Barrier{0}; // touched only under ThreadSanitizer
    std::atomic<bool> m_AnyParked{false};
    std::mutex m_ParkedLock;
    std::vector<std::pair<unsigned int, uint32_t>> m_Parked; // sockets whose end waits for the lock
    CKesRvNet* m_Loop = nullptr;                             // the loop that paused them
};
