// Addresses and sockets of the portability layer.
#include "KesPort.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

// ---- addresses -----------------------------------------------------------

int KesInetAtoN(const char* text, struct in_addr* address)
{
    if (!text || !address) return -1;
    in_addr parsed{};
    if (inet_pton(AF_INET, text, &parsed) != 1) return -1;
    *address = parsed;
    return 0;
}

char* KesGetIPStr(uint32_t networkOrderAddress)
{
    in_addr address{};
    address.s_addr = networkOrderAddress;
    char text[INET_ADDRSTRLEN];
    if (!inet_ntop(AF_INET, &address, text, sizeof text)) return nullptr;
    return strdup(text);
}

char* KesGetIPv6Str(const struct in6_addr* address)
{
    if (!address) return nullptr;
    char text[INET6_ADDRSTRLEN];
    if (!inet_ntop(AF_INET6, address, text, sizeof text)) return nullptr;
    return strdup(text);
}

// ---- sockets -------------------------------------------------------------

namespace {

using SteadyClock = std::chrono::steady_clock;

// Whole milliseconds left until the deadline, rounded up so that a wait never
// ends before it; 0 once it has passed.
int MillisecondsUntil(SteadyClock::time_point deadline)
{
    const auto left = deadline - SteadyClock::now();
    if (left <= SteadyClock::duration::zero()) return 0;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
}

// Waits until the socket can take more (1), the deadline passes or a signal
// arrives (0: the caller's loop looks at its deadline and waits again).
// -1 on an error.
int WaitWritable(int fd, bool forever, SteadyClock::time_point deadline)
{
    pollfd entry{fd, POLLOUT, 0};
    const int ready = ::poll(&entry, 1, forever ? -1 : MillisecondsUntil(deadline));
    if (ready < 0) return errno == EINTR ? 0 : -1;
    return ready > 0 ? 1 : 0;
}

int SetNonBlocking(int fd, bool on)
{
    int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return -1;
    int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (wanted == flags) return 0;
    return ::fcntl(fd, F_SETFL, wanted) == 0 ? 0 : -1;
}

} // namespace

int KesIoctl(unsigned int socket, long request, unsigned long* argument)
{
    if (socket == KES_INVALID_SOCKET || !argument) {
        errno = socket == KES_INVALID_SOCKET ? EBADF : EINVAL;
        return -1;
    }
    const int fd = static_cast<int>(socket);
    if (request == KES_FIONBIO) return SetNonBlocking(fd, *argument != 0);
    if (request == static_cast<long>(FIONREAD)) {
        // The kernel writes an int; widen it rather than leave half a long.
        int available = 0;
        if (::ioctl(fd, FIONREAD, &available) != 0) return -1;
        *argument = static_cast<unsigned long>(available);
        return 0;
    }
    return ::ioctl(fd, static_cast<unsigned long>(request), argument) == 0 ? 0 : -1;
}

int KesGetSocketPacketLength(unsigned int socket)
{
    if (socket == KES_INVALID_SOCKET) {
        errno = EBADF;
        return -1;
    }
    int available = 0;
    if (::ioctl(static_cast<int>(socket), FIONREAD, &available) != 0) return -1;
    return available;
}

int KesCloseSocket(unsigned int socket)
{
    if (socket == KES_INVALID_SOCKET) {
        errno = EBADF;
        return -1;
    }
    // As for files: the descriptor is gone even after EINTR; never retry.
    if (::close(static_cast<int>(socket)) == 0 || errno == EINTR) return 0;
    return -1;
}

void KesMapWinLastErrorToErrno()
{
    // Socket and system calls share errno here: nothing to translate.
}

int KesLastSocketError() { return errno; }

bool KesSocketPeerGone(int error)
{
    return error == ECONNRESET || error == ECONNABORTED || error == ETIMEDOUT || error == EHOSTUNREACH ||
           error == ENETUNREACH;
}

void KesReportSocketError(unsigned int socket, const char* text)
{
    const int error = KesLastSocketError();
    std::string line = "Error on socket " + std::to_string(socket) + ".";
    if (text) {
        line += "  ";
        line += text;
        line += ".";
    }
    // Only numbers the system knows have a message; strerrorname_np is null
    // for the rest (and 0 is no error at all).
    if (error != 0 && strerrorname_np(error) != nullptr) {
        char buffer[2048];
        line += "  Reason: ";
        line += strerror_r(error, buffer, sizeof buffer);
    }
    line += " Error No: " + std::to_string(error) + "\n";
    // One write, so the line never interleaves with another thread's report.
    const char* data = line.data();
    size_t length = line.size();
    while (length > 0) {
        ssize_t written = ::write(STDERR_FILENO, data, length);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) break;
        data += written;
        length -= static_cast<size_t>(written);
    }
    errno = error;
}

int KesSendAll(unsigned int socket, const void* data, size_t length)
{
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
        ssize_t sent = send(static_cast<int>(socket), bytes, length, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return -1;
        bytes += sent;
        length -= static_cast<size_t>(sent);
    }
    return 0;
}

int KesSendAllWithin(unsigned int socket, const void* data, size_t length, int timeoutMs)
{
    const bool forever = timeoutMs < 0;
    // Taken when the socket first has no room: a send that fits (nearly
    // every one) reads no clock.
    std::optional<SteadyClock::time_point> deadline;
    const int fd = static_cast<int>(socket);
    const char* bytes = static_cast<const char*>(data);
    while (length > 0) {
        const ssize_t sent = send(fd, bytes, length, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent > 0) {
            bytes += sent;
            length -= static_cast<size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return -1;
        if (!deadline) deadline = SteadyClock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
        if (!forever && MillisecondsUntil(*deadline) == 0) {
            errno = ETIMEDOUT;
            return -1;
        }
        if (WaitWritable(fd, forever, *deadline) < 0) return -1;
    }
    return 0;
}

int KesConnect(unsigned int socket, const sockaddr* address, socklen_t length, int timeoutMs)
{
    if (::connect(static_cast<int>(socket), address, length) == 0) return 0;
    if (errno != EINTR && errno != EINPROGRESS) return -1;
    return KesFinishConnect(socket, timeoutMs);
}

int KesFinishConnect(unsigned int socket, int timeoutMs)
{
    const int fd = static_cast<int>(socket);
    const bool forever = timeoutMs < 0;
    const SteadyClock::time_point deadline =
        SteadyClock::now() + std::chrono::milliseconds(forever ? 0 : timeoutMs);
    for (int ready; (ready = WaitWritable(fd, forever, deadline)) <= 0;) {
        if (ready < 0) return -1;
        if (!forever && MillisecondsUntil(deadline) == 0) {
            errno = ETIMEDOUT;
            return -1;
        }
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return -1;
    if (error != 0) {
        errno = error;
        return -1;
    }
    // Writable without an error: connected, unless the socket was never
    // connecting at all.
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    return ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) == 0 ? 0 : -1;
}

int KesSetUserTimeout(unsigned int socket, unsigned int ms)
{
    return ::setsockopt(static_cast<int>(socket), IPPROTO_TCP, TCP_USER_TIMEOUT, &ms, sizeof ms) == 0 ? 0
                                                                                                      : -1;
}
