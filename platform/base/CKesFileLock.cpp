#include "CKesFileLock.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <utility>
#include <vector>

#include "CKesError.h"
#include "KesErrorCodes.h"

namespace {

constexpr int kLockFailed = KES_ERR_FILE_LOCK;

// flock(2) on the handle, retried when a signal interrupts a blocking wait.
int Flock(KesFileHandle handle, int operation)
{
    int result;
    do {
        result = ::flock(handle, operation);
    } while (result != 0 && errno == EINTR);
    return result;
}

// The files (device, inode) whose exclusive lock the calling thread holds.
using FileId = std::pair<dev_t, ino_t>;
thread_local std::vector<FileId> t_HeldFiles;

bool IdOf(KesFileHandle handle, FileId* id)
{
    struct stat status {};
    if (::fstat(handle, &status) != 0) return false;
    *id = FileId(status.st_dev, status.st_ino);
    return true;
}

} // namespace

CKesFileLock::CKesFileLock(const char* name, KesFileHandle handle)
    : m_Name(strdup(name ? name : "")), m_Handle(handle)
{
}

CKesFileLock::~CKesFileLock()
{
    if (m_Held) KFLUnlock();
    std::free(m_Name);
}

int CKesFileLock::KFLLock()
{
    if (Flock(m_Handle, LOCK_EX) != 0) {
        Report(__LINE__, "cannot be locked");
        return kLockFailed;
    }
    NoteHeld(true);
    return 1;
}

int CKesFileLock::KFLTryLock()
{
    if (Flock(m_Handle, LOCK_EX | LOCK_NB) == 0) {
        NoteHeld(true);
        return 1;
    }
    if (errno == EWOULDBLOCK) return 0;
    Report(__LINE__, "cannot be locked");
    return kLockFailed;
}

int CKesFileLock::KFLUnlock()
{
    if (!m_Held) {
        errno = 0;
        Report(__LINE__, "is not locked by this holder");
        return kLockFailed;
    }
    NoteHeld(false);
    if (Flock(m_Handle, LOCK_UN) != 0) {
        Report(__LINE__, "cannot be unlocked");
        return kLockFailed;
    }
    return 1;
}

bool CKesFileLock::KFLHeldByThisThread(KesFileHandle handle)
{
    FileId id;
    if (t_HeldFiles.empty() || !IdOf(handle, &id)) return false;
    for (const FileId& held : t_HeldFiles)
        if (held == id) return true;
    return false;
}

// Keeps the thread's list of held files; a lock is released on the thread
// that took it (one thread uses an object at a time).
void CKesFileLock::NoteHeld(bool held)
{
    m_Held = held;
    FileId id;
    if (!IdOf(m_Handle, &id)) return;
    if (held) {
        t_HeldFiles.push_back(id);
        return;
    }
    for (auto it = t_HeldFiles.begin(); it != t_HeldFiles.end(); ++it)
        if (*it == id) {
            t_HeldFiles.erase(it);
            return;
        }
}

void CKesFileLock::Report(int line, const char* what) const
{
    const int error = errno;
    std::string text = std::string("File lock ") + (m_Name ? m_Name : "") + " " + what;
    if (error != 0) text += std::string(": ") + std::strerror(error);
    text += ".";
    CKesError(kLockFailed, "CKesFileLock", line, text.c_str());
}
