// KesPort: the portability layer's free functions, the process-wide trace
// level and the shared socket-error report.
// Free functions only; every one may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>

#include "KesErrorCodes.h"

// The system's two-valued type: a 32-bit enumeration, 1 is TRUE, 0 is FALSE.
enum __boolean : int32_t { FALSE = 0, TRUE = 1 };

// Socket handles are unsigned; the invalid socket has all bits set.
constexpr unsigned int KES_INVALID_SOCKET = 0xFFFFFFFFu;

// Socket address sizes and families as the system names them on the wire.
constexpr int KES_AF_INET = 2;
constexpr int KES_AF_INET6 = 23;
constexpr unsigned int KES_SOCKADDR_IN_LEN = 16;
constexpr unsigned int KES_SOCKADDR_IN6_LEN = 28;

// Process-wide trace level, initialised from KSX_DEBUG_LEVEL (default 0).
extern "C" int __Kesworks_Debug_Level;

// True when trace output of the given level is to be written.
inline bool KesTraceOn(int level) { return __Kesworks_Debug_Level >= level; }
// Writes one trace statement (printf format) to standard output and flushes.
void KesTrace(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---- heap blocks -----------------------------------------------------------
// Texts and addresses travel as malloc'd blocks that their receiver frees.

// The setter rule for a block that an object takes over: null is refused
// (KES_ERR_ARGUMENT, nothing changes); otherwise the block replaced is freed,
// unless it is the same one, and the new one stored. 1 on success.
template <typename T>
int KesTakeOver(T*& field, T* block)
{
    if (!block) return KES_ERR_ARGUMENT;
    if (field != block) std::free(field);
    field = block;
    return 1;
}

// A malloc'd text freed when its holder goes out of scope (release() hands
// it on).
struct KesFreeBlock {
    void operator()(void* block) const { std::free(block); }
};
using KesHeapText = std::unique_ptr<char, KesFreeBlock>;

// ---- threads -------------------------------------------------------------
typedef pthread_t TKesPThread;
typedef unsigned int (*KesPThreadProc)(void* argument);
// 0 on success, else an error number.
int KesPThreadCreate(TKesPThread* thread, KesPThreadProc procedure, void* argument);
int KesPThreadJoin(TKesPThread* thread);

// ---- time ----------------------------------------------------------------
// Blocks the calling thread for the given time (scaled, see KesTimeScale).
void KesSleep(unsigned int milliseconds);
// Factor applied to every sleep and timed wait of the platform. 1.0 in
// production; tests may shorten the fixed protocol delays by setting
// KSX_TIME_SCALE (read once at start-up) or calling KesSetTimeScale.
double KesTimeScale();
void KesSetTimeScale(double factor);

// ---- files ---------------------------------------------------------------
typedef int KesFileHandle;
constexpr KesFileHandle KES_INVALID_FILE_HANDLE = -1; // all bits set
// Flags: 1 read, 2 write, 3 read and write. The file is not created. Only a
// regular file (or a link to one) opens: else EISDIR for a directory, EINVAL
// for anything else (a FIFO, a device, a socket), without waiting.
KesFileHandle KesFileOpen(const char* path, int flags);
// Positioned write; returns the number of bytes written, or -1.
long KesFilePWrite(KesFileHandle handle, const void* buffer, size_t length, long long offset);
// Origin 1 start, 2 current position, 3 end of file; returns the new position or -1.
long long KesFileSeek(KesFileHandle handle, long long offset, int origin);
// Writes the size into *size; 0 on success, -1 on failure.
int KesGetOpenFileSize(KesFileHandle handle, long long* size);
// Whether the open file is the one the path names now; false when the path
// names another file (one renamed over it) or none.
bool KesFileIsAt(KesFileHandle handle, const char* path);
// One read / write at the current position; the count (clamped to INT_MAX) or -1.
int KesFileRead(KesFileHandle handle, void* buffer, size_t length);
int KesFileWrite(KesFileHandle handle, const void* buffer, size_t length);
// Sets the file's length; 0 or -1.
int KesFileTruncate(KesFileHandle handle, long long length);
// 0 or -1.
int KesFileClose(KesFileHandle handle);

// ---- addresses -----------------------------------------------------------
// Parses a dotted IPv4 text into *address (network order); 0, or -1 when the
// text is no dotted IPv4 address.
int KesInetAtoN(const char* text, struct in_addr* address);
// A new heap text of the address (IPv4 in network byte order); caller frees.
char* KesGetIPStr(uint32_t networkOrderAddress);
char* KesGetIPv6Str(const struct in6_addr* address);

// ---- sockets -------------------------------------------------------------
// Request 34 sets a socket's non-blocking mode: *argument 1 on, 0 off.
constexpr long KES_FIONBIO = 34;
// The socket control request; 0 on success, -1 on failure (errno set).
int KesIoctl(unsigned int socket, long request, unsigned long* argument);
// Bytes that can be read from the socket now; negative on error.
int KesGetSocketPacketLength(unsigned int socket);
// Writes every byte to a connected socket, completing partial writes and
// restarting interrupted ones; a peer that has gone gives -1 (errno set), not
// a signal. 0 when everything was written.
int KesSendAll(unsigned int socket, const void* data, size_t length);
// As KesSendAll, but gives up when the whole buffer is not written within
// timeoutMs milliseconds, counted from the first moment the socket has no
// room (monotonic clock, not scaled; a negative timeout never gives up, 0
// writes only what fits at once). Works on blocking and
// non-blocking sockets alike: it never blocks in send, it waits for room with
// poll. 0 when everything was written; -1 with errno ETIMEDOUT when the
// deadline passed first, or -1 with errno as KesSendAll for any other error.
// After ETIMEDOUT part of the buffer may have been written: the caller must
// close the connection, since the peer would read the rest of a frame from
// whatever is sent next.
int KesSendAllWithin(unsigned int socket, const void* data, size_t length, int timeoutMs);
// Sets TCP_USER_TIMEOUT: how long, in milliseconds, sent data may stay
// unacknowledged (on kernels since 5.11 also: the peer's window stay shut)
// before the system drops the connection, which the reader then sees as an
// error. 0 restores the system's default. 0, or -1 with errno (a socket that
// is not TCP).
int KesSetUserTimeout(unsigned int socket, unsigned int ms);
// Connects a blocking socket. A connect interrupted by a signal is not
// given up nor called again (which may answer EALREADY while the handshake
// goes on): the connection goes on in the background, and this waits for
// its outcome as KesFinishConnect does. A non-blocking socket's EINPROGRESS
// is waited for the same way. 0 when connected; -1 with errno.
int KesConnect(unsigned int socket, const struct sockaddr* address, socklen_t length, int timeoutMs);
// Waits for the outcome of a connect already under way on the socket: until
// it can be written to (poll, restarted after a signal), then reads the
// connection's error. At most timeoutMs milliseconds (monotonic clock, not
// scaled; negative: no bound). 0 when connected; -1 with errno ETIMEDOUT when
// the bound passed first, or the connection's own error (ECONNREFUSED ...).
int KesFinishConnect(unsigned int socket, int timeoutMs);
// Closes a socket; 0 or -1.
int KesCloseSocket(unsigned int socket);
// Sets errno from the system's last error (on this platform they are one).
void KesMapWinLastErrorToErrno();
// The calling thread's last socket error number.
int KesLastSocketError();
// True for the error numbers that mean the peer is gone: reset, aborted, or
// given up by the system (unacknowledged too long, unreachable), as a read
// reports once a connection's bound on unacknowledged data has run out.
bool KesSocketPeerGone(int error);
// "Error on socket <n>.[  <text>.][  Reason: <message>] Error No: <n>\n" to
// the error stream, for the calling thread's last socket error.
void KesReportSocketError(unsigned int socket, const char* text);

// ---- reports a remote peer can trigger -----------------------------------
// A source line (source name and line number) writes at most
// KES_LIMITED_REPORTS reports in one window of KES_LIMITED_REPORT_WINDOW_MS
// (scaled, see KesTimeScale); a window begins with the first report after the
// previous one ended. The rest of the window's reports are counted, and one
// line sums them up: "<n> similar reports suppressed; the last: <text>", with
// the code, source and line of the last one held back. That line is written
// by the next limited report of any line once the window has ended, by
// KesFlushLimitedReports, or at the latest when the process exits.
constexpr int KES_LIMITED_REPORTS = 5;
constexpr unsigned int KES_LIMITED_REPORT_WINDOW_MS = 1000;
// Reports like CKesError(code, source, line, text) unless this source line has
// used up its window; true when the report was written. The text says what the
// report is about (the peer's address, the client id or the datagram's
// sender); it is required. No allocation; one process-wide lock, taken just
// before the report lock, so a listener must not make limited reports either.
bool KesReportLimited(int code, const char* source, int line, const char* text);
// Writes now the summing-up line of every source line that holds reports back.
void KesFlushLimitedReports();
