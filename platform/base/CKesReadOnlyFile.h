// CKesReadOnlyFile: a file opened for reading and read whole.
// Created and destroyed by one caller, used by that thread only; takes no
// lock. Owns its copy of the path and the open descriptor (closed on
// destruction); the text KOFReadAll returns belongs to the caller (free).
#pragma once

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
    // ""), or null when the file is not open or a read fails.
    char* KOFReadAll();

private:
    CKesReadOnlyFile(const CKesReadOnlyFile&) = delete;
    CKesReadOnlyFile& operator=(const CKesReadOnlyFile&) = delete;

    char* m_Path;     // malloc'd copy of the path
    bool m_Retry;     // retry failed opens
    int m_Fd = -1;    // the open file, or -1
};
