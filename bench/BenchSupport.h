// Small helpers the benchmark programs share: timing, spreads of samples,
// whole reads and writes on a descriptor, and the plain loopback connect.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

namespace benchsupport {

using Clock = std::chrono::steady_clock;

// Every program reports its samples in microseconds.
inline double Micros(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// Failure ends a benchmark run; the message names the program, as scripts/bench.sh shows it.
[[noreturn]] inline void Fail(const char* what)
{
    fprintf(stderr, "%s: %s\n", program_invocation_short_name, what);
    exit(1);
}

struct Spread {
    double median;
    double p99;
};

// The percent-th percentile of sorted samples by nearest rank: the smallest
// value that percent of the samples do not exceed. Of 100 samples the 99th
// percentile is the 99th smallest, not the largest. sorted must not be empty.
inline double Percentile(const std::vector<double>& sorted, int percent)
{
    const size_t rank = (sorted.size() * static_cast<size_t>(percent) + 99) / 100;
    return sorted[rank > 0 ? rank - 1 : 0];
}

// Median and 99th percentile, the two figures a latency line prints; samples must not be empty.
inline Spread SpreadOf(std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    return {samples[samples.size() / 2], Percentile(samples, 99)};
}

// send() may take part of a buffer; false when the connection broke off.
inline bool SendAll(int fd, const unsigned char* data, size_t length)
{
    while (length > 0) {
        const ssize_t sent = send(fd, data, length, MSG_NOSIGNAL);
        if (sent <= 0) return false;
        data += sent;
        length -= size_t(sent);
    }
    return true;
}

// Whether fd has bytes to read before the deadline passes.
inline bool ReadableBefore(int fd, Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, int(std::max<long long>(left, 0))) == 1;
}

// Reads exactly length bytes; false at end, error or the deadline. Without a
// deadline it only blocks in recv, so a measured read costs no extra call.
inline bool ReadAll(int fd, unsigned char* into, size_t length,
                    std::optional<Clock::time_point> deadline = std::nullopt)
{
    while (length > 0) {
        if (deadline && !ReadableBefore(fd, *deadline)) return false;
        const ssize_t got = recv(fd, into, length, 0);
        if (got <= 0) return false;
        into += got;
        length -= size_t(got);
    }
    return true;
}

// Processes report their progress with single bytes on a pipe; false when none came within timeoutMs.
inline bool WaitByte(int fd, char* byte, int timeoutMs)
{
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, timeoutMs) == 1 && read(fd, byte, 1) == 1;
}

// The address of a port on this machine's loopback.
inline sockaddr_in LoopbackAddress(uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// A listening socket on a free loopback port, whose address goes into *address; -1 on failure.
inline int ListenLoopback(int backlog, sockaddr_in* address)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    *address = LoopbackAddress(0);
    socklen_t length = sizeof *address;
    if (bind(fd, reinterpret_cast<const sockaddr*>(address), sizeof *address) != 0 ||
        listen(fd, backlog) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(address), &length) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// A connected TCP socket, Nagle off when noDelay; -1 when the connect fails.
inline int ConnectTo(const sockaddr_in& address, bool noDelay)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    const int one = 1;
    if (noDelay) setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace benchsupport
