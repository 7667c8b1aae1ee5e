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
// the end again and tries again (see CKesParkedSockets).
//
// Threads: any.
#pragma once

#include <shared_mutex>

#include "CKesParkedSockets.h"

class CKesEndpointLock {
public:
    void lock() { m_Lock.lock(); }
    void unlock()
    {
        m_Lock.unlock();
        m_Parked.LetParkedRetry();
    }
    void lock_shared() { m_Lock.lock_shared(); }
    void unlock_shared()
    {
        m_Lock.unlock_shared();
        m_Parked.LetParkedRetry();
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
        if (!m_Parked.Park(loop, socket)) return false;
        // The holder may have let go before the socket was parked.
        if (m_Lock.try_lock()) {
            m_Lock.unlock();
            m_Parked.ResumeAll();
        }
        return false;
    }

private:
    std::shared_mutex m_Lock;
    CKesParkedSockets m_Parked;
};
