#include "CtlReach.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "KesPort.h"

namespace {

// Connections tried at once: far below any descriptor limit.
constexpr size_t kBatch = 256;

std::string SecondsText(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", seconds);
    return text;
}

// The verdict of a finished connect: 0 accepted, else its error number.
CtlReachResult Verdict(int error)
{
    if (error == 0) return {CtlReachState::Answers, "accepted"};
    if (error == ECONNREFUSED) return {CtlReachState::Refused, "connection refused"};
    return {CtlReachState::NoAnswer, std::strerror(error)};
}

// Starts a non-blocking connect; -1 with *result set when it finished at once.
int StartConnect(const CtlReachTarget& target, CtlReachResult* result)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(target.port));
    if (KesInetAtoN(target.address.c_str(), &address.sin_addr) != 0) {
        *result = {CtlReachState::NoAnswer, "no IPv4 address"};
        return -1;
    }
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *result = {CtlReachState::NoAnswer, std::string("no socket: ") + std::strerror(errno)};
        return -1;
    }
    const int started = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    if (started != 0 && errno == EINPROGRESS) return fd;
    *result = Verdict(started == 0 ? 0 : errno);
    ::close(fd);
    return -1;
}

void TryBatch(const CtlReachTarget* targets, CtlReachResult* results, size_t count, double seconds)
{
    using Clock = std::chrono::steady_clock;
    const auto deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    std::vector<pollfd> pending;
    std::vector<size_t> owner; // index of each pending descriptor's target
    for (size_t i = 0; i < count; ++i) {
        results[i] = {CtlReachState::NoAnswer, "no answer within " + SecondsText(seconds) + " s"};
        int fd = StartConnect(targets[i], &results[i]);
        if (fd < 0) continue;
        pending.push_back({fd, POLLOUT, 0});
        owner.push_back(i);
    }
    while (!pending.empty()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        int ready = ::poll(pending.data(), pending.size(), static_cast<int>(std::min<long long>(left, 1000)));
        if (ready < 0 && errno != EINTR) break;
        for (size_t p = 0; ready > 0 && p < pending.size();) {
            if (pending[p].revents == 0) {
                ++p;
                continue;
            }
            int error = 0;
            socklen_t length = sizeof error;
            if (::getsockopt(pending[p].fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
            results[owner[p]] = Verdict(error);
            ::close(pending[p].fd);
            pending.erase(pending.begin() + static_cast<long>(p));
            owner.erase(owner.begin() + static_cast<long>(p));
        }
    }
    for (const pollfd& left : pending) ::close(left.fd);
}

} // namespace

std::vector<CtlReachResult> CtlTryConnect(const std::vector<CtlReachTarget>& targets, double seconds)
{
    std::vector<CtlReachResult> results(targets.size());
    for (size_t first = 0; first < targets.size(); first += kBatch)
        TryBatch(targets.data() + first, results.data() + first, std::min(kBatch, targets.size() - first),
                 seconds);
    return results;
}
