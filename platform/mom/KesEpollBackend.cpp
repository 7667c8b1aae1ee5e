// KesEpollBackend: the epoll polling backend of the event loop (internal).
#include "KesEpollBackend.h"

#include <cerrno>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {
// The wake descriptor's token; registration tokens are never 0.
constexpr uint64_t kWakeToken = 0;
} // namespace

KesEpollBackend::KesEpollBackend()
{
    m_Epoll = epoll_create1(EPOLL_CLOEXEC);
    if (m_Epoll < 0) {
        m_Status = errno;
        return;
    }
    m_Wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_Wake < 0) {
        m_Status = errno;
        return;
    }
    m_Status = Add(m_Wake, kWakeToken);
}

KesEpollBackend::~KesEpollBackend()
{
    if (m_Wake >= 0) close(m_Wake);
    if (m_Epoll >= 0) close(m_Epoll);
}

int KesEpollBackend::Add(int fd, uint64_t token)
{
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = token;
    if (epoll_ctl(m_Epoll, EPOLL_CTL_ADD, fd, &event) == 0) return 0;
    if (errno != EEXIST) return errno;
    return epoll_ctl(m_Epoll, EPOLL_CTL_MOD, fd, &event) == 0 ? 0 : errno;
}

int KesEpollBackend::Remove(int fd)
{
    return epoll_ctl(m_Epoll, EPOLL_CTL_DEL, fd, nullptr) == 0 ? 0 : errno;
}

int KesEpollBackend::Wait(uint64_t* fired, int max)
{
    epoll_event events[kBatch];
    const int ready = epoll_wait(m_Epoll, events, max < kBatch ? max : kBatch, -1);
    if (ready < 0) return -errno;
    int count = 0;
    for (int i = 0; i < ready; ++i) {
        if (events[i].data.u64 != kWakeToken) {
            fired[count++] = events[i].data.u64;
            continue;
        }
        uint64_t drained;
        ssize_t ignored = read(m_Wake, &drained, sizeof drained);
        (void)ignored;
    }
    return count;
}

void KesEpollBackend::Wake()
{
    // Called from signal handlers too: keep the interrupted code's errno.
    const int savedErrno = errno;
    const uint64_t one = 1;
    // A full counter (never reached in practice) still leaves the descriptor
    // readable, so the wake-up is not lost when the write fails.
    ssize_t ignored = write(m_Wake, &one, sizeof one);
    (void)ignored;
    errno = savedErrno;
}
