// CKesClientLock: a client's ClientLock. An attempt holds it from the connect
// to the greeting, the greeting delay included; host threads hold it briefly
// to read or change the client's state.
//
// The event-loop thread must not wait for it: a server that closes a new
// connection at once would otherwise stop every socket of the process for
// the rest of the greeting delay, on each attempt. So the loop, finding the
// end of the client's connection while the lock is held, only tries it
// (TryLockOrPark): the socket is paused until the holder lets go, which
// resumes it; the loop then reads the end again and tries again (see
// CKesParkedSockets).
//
// Threads: any. Lock, Unlock, TryLock and IsHeldByMe as CKesMutex's; lock and
// unlock for the standard guards.
#pragma once

#include "CKesMutex.h"
#include "CKesParkedSockets.h"

class CKesClientLock {
public:
    int Lock() { return m_Lock.Lock(); }
    int Unlock()
    {
        m_Lock.Unlock();
        m_Parked.LetParkedRetry();
        return 1;
    }
    int TryLock() { return m_Lock.TryLock(); }
    bool IsHeldByMe() const { return m_Lock.IsHeldByMe(); }
    void lock() { Lock(); }
    void unlock() { Unlock(); }

    // The loop thread, at the end of the client's connection: true when it
    // now holds the lock. Otherwise the socket (of that generation) is paused
    // until the holder lets go, and the end is to be read again then (or it
    // has left the loop: whoever took it out ends the connection).
    bool TryLockOrPark(CKesRvNet* loop, unsigned int socket)
    {
        if (m_Lock.TryLock()) return true;
        if (!m_Parked.Park(loop, socket)) return false;
        // The holder may have let go before the socket was parked.
        if (m_Lock.TryLock()) {
            m_Lock.Unlock();
            m_Parked.ResumeAll();
        }
        return false;
    }

private:
    CKesMutex m_Lock;
    CKesParkedSockets m_Parked;
};
