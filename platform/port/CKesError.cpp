#include "CKesError.h"

#include <cerrno>
#include <mutex>
#include <string>
#include <unistd.h>

namespace {

// Serialises the listener's installation against the reports that call it.
std::mutex& ReportLock()
{
    static std::mutex lock;
    return lock;
}

CKesError::Listener g_Listener = nullptr; // guarded by ReportLock()
void* g_ListenerContext = nullptr;        // guarded by ReportLock()

// Writes the whole buffer with as few write(2) calls as the kernel allows
// (one for any line shorter than a pipe buffer), so concurrent reports never
// interleave within a line.
void WriteAll(int fd, const char* data, size_t length)
{
    while (length > 0) {
        ssize_t written = ::write(fd, data, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        data += written;
        length -= static_cast<size_t>(written);
    }
}

} // namespace

CKesError::CKesError(int code, const char* source, int line, const char* text) : m_Code(code)
{
    const int savedErrno = errno; // a report must not disturb the caller's error number
    std::string report =
        "KSX-ERROR " + std::to_string(code) + " " + (source ? source : "?") + ":" + std::to_string(line);
    if (text) {
        report += ": ";
        report += text;
    }
    report += '\n';

    std::lock_guard<std::mutex> hold(ReportLock());
    WriteAll(STDERR_FILENO, report.data(), report.size());
    if (g_Listener) g_Listener(code, source, line, text, g_ListenerContext);
    errno = savedErrno;
}

void CKesError::KESetListener(Listener listener, void* context)
{
    std::lock_guard<std::mutex> hold(ReportLock());
    g_Listener = listener;
    g_ListenerContext = listener ? context : nullptr;
}
