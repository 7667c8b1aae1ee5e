#include "CKesFileLock.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/file.h>

#include "CKesError.h"
#include "KesErrorCodes.h"

namespace {

constexpr int kLockFailed = KES_ERR_FILE_LOCK;

// flock(2) on the handle, retried when a signal interrupts a blocking wait.
int Flock(KesFileHandle handle, int operation) {
    int result;
    do {
        result = ::flock(handle, operation);
    } while (result != 0 && errno == EINTR);
    return result;
}

}  // namespace

CKesFileLock::CKesFileLock(const char* name, KesFileHandle handle)
    : m_Name(strdup(name ? name : "")), m_Handle(handle) {}

CKesFileLock::~CKesFileLock() {
    if (m_Held) KFLUnlock();
    std::free(m_Name);
}

int CKesFileLock::KFLLock() {
    if (Flock(m_Handle, LOCK_EX) != 0) {
        Report(__LINE__, "cannot be locked");
        return kLockFailed;
    }
    m_Held = true;
    return 1;
}

int CKesFileLock::KFLTryLock() {
    if (Flock(m_Handle, LOCK_EX | LOCK_NB) == 0) {
        m_Held = true;
        return 1;
    }
    if (errno == EWOULDBLOCK) return 0;
    Report(__LINE__, "cannot be locked");
    return kLockFailed;
}

int CKesFileLock::KFLUnlock() {
    if (!m_Held) {
        errno = 0;
        Report(__LINE__, "is not locked by this holder");
        return kLockFailed;
    }
    m_Held = false;
    if (Flock(m_Handle, LOCK_UN) != 0) {
        Report(__LINE__, "cannot be unlocked");
        return kLockFailed;
    }
    return 1;
}

void CKesFileLock::Report(int line, const char* what) const {
    const int error = errno;
    std::string text = std::string("File lock ") + (m_Name ? m_Name : "") + " " + what;
    if (error != 0) text += std::string(": ") + std::strerror(error);
    text += ".";
    CKesError(kLockFailed, "CKesFileLock", line, text.c_str());
}
