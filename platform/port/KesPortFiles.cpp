// File handles of the portability layer: plain descriptors, every call
// retried when a signal interrupts it.
#include "KesPort.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

size_t ClampCount(size_t length) { return length > INT_MAX ? static_cast<size_t>(INT_MAX) : length; }

// 0 when the handle is a regular file's, made blocking again; else why not
// (an errno value).
int KeepRegularFile(int fd)
{
    struct stat status {};
    if (fstat(fd, &status) != 0) return errno;
    if (S_ISDIR(status.st_mode)) return EISDIR;
    if (!S_ISREG(status.st_mode)) return EINVAL;
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) return errno;
    return 0;
}

} // namespace

KesFileHandle KesFileOpen(const char* path, int flags)
{
    int mode = 0;
    switch (flags) {
    case 1: mode = O_RDONLY; break;
    case 2: mode = O_WRONLY; break;
    case 3: mode = O_RDWR; break;
    default: errno = EINVAL; return KES_INVALID_FILE_HANDLE;
    }
    if (!path) {
        errno = EINVAL;
        return KES_INVALID_FILE_HANDLE;
    }
    // Opened without waiting, so that a FIFO in a file's place cannot block
    // the caller until some writer comes; then kept only if it is a regular
    // file, and made blocking again.
    int fd;
    do {
        fd = ::open(path, mode | O_CLOEXEC | O_NONBLOCK);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return KES_INVALID_FILE_HANDLE;
    const int error = KeepRegularFile(fd);
    if (error == 0) return fd;
    ::close(fd);
    errno = error;
    return KES_INVALID_FILE_HANDLE;
}

long KesFilePWrite(KesFileHandle handle, const void* buffer, size_t length, long long offset)
{
    if (!buffer && length > 0) {
        errno = EINVAL;
        return -1;
    }
    // Writes everything: a short positioned write would leave a torn record.
    const char* data = static_cast<const char*>(buffer);
    size_t done = 0;
    length = ClampCount(length);
    while (done < length) {
        ssize_t written = ::pwrite(handle, data + done, length - done, static_cast<off_t>(offset + done));
        if (written < 0 && errno == EINTR) continue;
        if (written < 0) return -1;
        if (written == 0) break;
        done += static_cast<size_t>(written);
    }
    return static_cast<long>(done);
}

long long KesFileSeek(KesFileHandle handle, long long offset, int origin)
{
    int whence = 0;
    switch (origin) {
    case 1: whence = SEEK_SET; break;
    case 2: whence = SEEK_CUR; break;
    case 3: whence = SEEK_END; break;
    default: errno = EINVAL; return -1;
    }
    off_t position = ::lseek(handle, static_cast<off_t>(offset), whence);
    return position < 0 ? -1 : static_cast<long long>(position);
}

bool KesFileIsAt(KesFileHandle handle, const char* path)
{
    struct stat open {};
    struct stat named {};
    return path && fstat(handle, &open) == 0 && stat(path, &named) == 0 && open.st_dev == named.st_dev &&
           open.st_ino == named.st_ino;
}

int KesGetOpenFileSize(KesFileHandle handle, long long* size)
{
    if (!size) {
        errno = EINVAL;
        return -1;
    }
    struct stat status {};
    if (::fstat(handle, &status) != 0) return -1;
    *size = static_cast<long long>(status.st_size);
    return 0;
}

int KesFileRead(KesFileHandle handle, void* buffer, size_t length)
{
    if (!buffer && length > 0) {
        errno = EINVAL;
        return -1;
    }
    ssize_t count;
    do {
        count = ::read(handle, buffer, ClampCount(length));
    } while (count < 0 && errno == EINTR);
    return static_cast<int>(count);
}

int KesFileWrite(KesFileHandle handle, const void* buffer, size_t length)
{
    if (!buffer && length > 0) {
        errno = EINVAL;
        return -1;
    }
    ssize_t count;
    do {
        count = ::write(handle, buffer, ClampCount(length));
    } while (count < 0 && errno == EINTR);
    return static_cast<int>(count);
}

int KesFileTruncate(KesFileHandle handle, long long length)
{
    if (length < 0) {
        errno = EINVAL;
        return -1;
    }
    int result;
    do {
        result = ::ftruncate(handle, static_cast<off_t>(length));
    } while (result != 0 && errno == EINTR);
    return result == 0 ? 0 : -1;
}

int KesFileClose(KesFileHandle handle)
{
    // Linux releases the descriptor even when close reports EINTR; retrying
    // could close a descriptor another thread has just opened.
    if (::close(handle) == 0 || errno == EINTR) return 0;
    return -1;
}
