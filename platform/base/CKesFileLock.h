// CKesFileLock: an exclusive advisory lock on an open file (flock), which
// excludes other processes, other open handles of this process, and the
// util-linux flock command. Created by the caller around one file update; the
// caller keeps the handle open while the object lives. Destruction releases a
// lock still held. One thread uses an object at a time.
// The lock belongs to the handle's open file description: two objects on the
// same handle (or a dup of it) do not exclude each other.
// Locks: the file lock only; KFLLock blocks until it is free.
// Readers of a file (CKesReadOnlyFile) take a shared lock on their own open
// file description, so they wait for a rewrite in progress; a thread that
// holds the exclusive lock reads without it (KFLHeldByThisThread), since a
// second description of the same process would wait for itself.
#pragma once

#include "KesPort.h"

class CKesFileLock {
public:
    // name: used in error reports only.
    CKesFileLock(const char* name, KesFileHandle handle);
    virtual ~CKesFileLock();

    // Blocks until the lock is held; 1, or a negative code on failure.
    int KFLLock();
    // 1 when the lock was taken, 0 when another holder has it, negative on failure.
    int KFLTryLock();
    // 1, or a negative code (also when the lock is not held).
    int KFLUnlock();
    // True when the calling thread holds the exclusive lock of the file that
    // the handle refers to, through any CKesFileLock.
    static bool KFLHeldByThisThread(KesFileHandle handle);

private:
    CKesFileLock(const CKesFileLock&) = delete;
    CKesFileLock& operator=(const CKesFileLock&) = delete;

    void Report(int line, const char* what) const;
    void NoteHeld(bool held);

    char* m_Name;           // malloc'd copy of the name, for reports
    KesFileHandle m_Handle; // the locked file, not owned
    bool m_Held = false;    // the lock is held by this object
};
