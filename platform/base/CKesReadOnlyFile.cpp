#include "CKesReadOnlyFile.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "CKesFileLock.h"
#include "KesPort.h"

namespace {

// A shared flock on the reader's own open file description for the length of
// one read; released on every way out.
class SharedReadLock {
public:
    explicit SharedReadLock(int fd) : m_Fd(CKesFileLock::KFLHeldByThisThread(fd) ? -1 : fd)
    {
        if (m_Fd < 0) return;
        int result;
        do {
            result = ::flock(m_Fd, LOCK_SH);
        } while (result != 0 && errno == EINTR);
        if (result != 0) m_Fd = -1; // read unlocked rather than not at all
    }
    bool Locked() const { return m_Fd >= 0; }
    ~SharedReadLock()
    {
        if (m_Fd >= 0) ::flock(m_Fd, LOCK_UN);
    }
    SharedReadLock(const SharedReadLock&) = delete;
    SharedReadLock& operator=(const SharedReadLock&) = delete;

private:
    int m_Fd; // the locked descriptor, or -1 when no lock was taken
};

// Replacements a reader follows before it reads what it has: a bound
// against a file that is replaced again and again.
constexpr int kMostReopens = 8;

} // namespace

CKesReadOnlyFile::CKesReadOnlyFile(const char* path, bool retry)
    : m_Path(path ? strdup(path) : nullptr), m_Retry(retry)
{
}

CKesReadOnlyFile::~CKesReadOnlyFile()
{
    if (m_Fd >= 0) KesFileClose(m_Fd);
    std::free(m_Path);
}

int CKesReadOnlyFile::KOFCheckAccess()
{
    if (!m_Path) return -1;
    return ::access(m_Path, R_OK) == 0 ? 0 : -1;
}

int CKesReadOnlyFile::KOFOpenLoop(int tries, int delayMs)
{
    if (m_Fd >= 0) return 0;
    if (!m_Path) return -1;
    if (!m_Retry || tries < 1) tries = 1;
    for (int attempt = 1; attempt <= tries; ++attempt) {
        m_Fd = KesFileOpen(m_Path, 1);
        if (m_Fd >= 0) return 0;
        if (attempt < tries && delayMs > 0) KesSleep(static_cast<unsigned int>(delayMs));
    }
    m_Fd = -1;
    return -1;
}

char* CKesReadOnlyFile::KOFReadAll(size_t* readLength)
{
    for (int reopens = 0; m_Fd >= 0; ++reopens) {
        {
            // The lock of a replaced file guards nothing: its lock is let
            // go of before the path's file is opened in its place.
            SharedReadLock hold(m_Fd);
            if (reopens == kMostReopens || !hold.Locked() || KesFileIsAt(m_Fd, m_Path))
                return ReadWhole(readLength);
        }
        if (!Reopen()) reopens = kMostReopens - 1; // the path names none: reads the one it has
    }
    return nullptr;
}

bool CKesReadOnlyFile::Reopen()
{
    const int fresh = KesFileOpen(m_Path, 1);
    if (fresh < 0) return false;
    KesFileClose(m_Fd);
    m_Fd = fresh;
    return true;
}

char* CKesReadOnlyFile::ReadWhole(size_t* readLength)
{
    // The size is only a first guess: the file may grow while we read it.
    struct stat status {};
    size_t capacity = 4096;
    if (::fstat(m_Fd, &status) == 0 && status.st_size > 0) capacity = static_cast<size_t>(status.st_size) + 1;
    char* content = static_cast<char*>(std::malloc(capacity));
    if (!content) return nullptr;

    size_t length = 0;
    for (;;) {
        if (length + 1 >= capacity) {
            char* grown = static_cast<char*>(std::realloc(content, capacity * 2));
            if (!grown) break;
            content = grown;
            capacity *= 2;
        }
        // Positioned reads from the start: every call reads the whole file.
        ssize_t count = ::pread(m_Fd, content + length, capacity - length - 1, static_cast<off_t>(length));
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) break;
        if (count == 0) {
            content[length] = '\0';
            if (readLength) *readLength = length;
            return content;
        }
        length += static_cast<size_t>(count);
    }
    std::free(content);
    return nullptr;
}
