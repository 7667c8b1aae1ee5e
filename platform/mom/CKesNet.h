// CKesNet: the base of a process's network engine: its name and service type.
// Created and destroyed by the host's thread (as the base of its engine).
// Threads: the getters may be called from any thread (the fields never
// change after construction); KNSafeExit from the host's thread after the
// event loop has returned.
// Locks: none.
#pragma once

#include "KesServTypes.h"

class CKesNet {
public:
    CKesNet(const char* name, __serv_types type);
    virtual ~CKesNet();

    // Asks the engine to stop its services before the process ends.
    virtual void KNSafeExit() {}

    const char* KNName() const { return m_Name; }
    __serv_types KNServType() const { return m_Type; }

private:
    CKesNet(const CKesNet&) = delete;
    CKesNet& operator=(const CKesNet&) = delete;

    char* m_Name;        // malloc'd copy of the process's service name
    __serv_types m_Type; // passed through unchanged
};
