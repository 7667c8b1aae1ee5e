// CKesReadOnlyFile: a file opened for reading and read whole.
// Created and destroyed by one caller, used by that thread only.
// KOFReadAll holds a shared file lock while it reads, so a writer that
// rewrites the file in place under the exclusive lock (CKesFileLock) is
// never seen half-way, and a file replaced meanwhile (an editor that
// renames a new one over it) is not read: a reader that locked the replaced
// file reads the one the path names now. A thread that holds that exclusive lock
// itself reads without waiting. Owns its copy of the path and the open descriptor (closed on
// destruction); the text KOFReadAll returns belongs to the caller (free).
#pragma once

#include <cstddef>

class CKesReadOnlyFile {
public:
    // retry: KOFOpenLoop retries a failed open (see there).
    CKesReadOnlyFile(const char* path, bool retry);
    virtual ~CKesReadOnlyFile();

    // 0 when the file exists and can be read, -1 otherwise.
    int KOFCheckAccess();
    // Opens the file, trying up to `tries` times `delayMs` apart when the
    // object was made with retry; 0 once open, -1 otherwise.
    int KOFOpenLoop(int tries, int delayMs);
    // The whole content as a malloc'd NUL-terminated text (an empty file gives
    // ""), or null when the file is not open or a read fails. Waits while
    // another holder has the file's exclusive lock. *readLength, when asked for,
    // receives the number of bytes read (NUL bytes within the file included).
    char* KOFReadAll(size_t* readLength = nullptr);

private:
    // Reads the open file whole (the caller holds its lock where it can).
    char* ReadWhole(size_t* readLength);
    // Opens the file the path names now in place of the open one; false,
    // the open one kept, when it cannot be opened.
    bool Reopen();

    CKesReadOnlyFile(const CKesReadOnlyFile&) = delete;
    CKesReadOnlyFile& operator=(const CKesReadOnlyFile&) = delete;

    char* m_Path;  // malloc'd copy of the path
    bool m_Retry;  // retry failed opens
    int m_Fd = -1; // the open file, or -1
};
