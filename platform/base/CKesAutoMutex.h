// CKesAutoMutex: locks a CKesMutex in its constructor, unlocks in its destructor.
// A stack object of the thread that takes the lock; it owns nothing.
#pragma once

#include "CKesMutex.h"

class CKesAutoMutex {
public:
    explicit CKesAutoMutex(CKesMutex& mutex) : m_Mutex(mutex) { m_Mutex.Lock(); }
    ~CKesAutoMutex() { m_Mutex.Unlock(); }

private:
    CKesAutoMutex(const CKesAutoMutex&) = delete;
    CKesAutoMutex& operator=(const CKesAutoMutex&) = delete;
    CKesMutex& m_Mutex; // the held lock, not owned
};
