// KesEpollBackend: the epoll polling backend of the event loop (internal).
#include "KesEpollBackend.h"

#include <cerrno>
#include <initializer_list>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace {
// The wake descriptor's token; registration tokens are never 0.
constexpr uint64_t kWakeToken = 0;
// The watch's tokens.
constexpr uint64_t kStandbyToken = 0;
constexpr uint64_t kSetToken = 1;

// An eventfd's wake-up: async-signal-safe, keeps errno. A full counter
// (never reached in practice) still leaves the descriptor readable, so the
// wake-up is not lost when the write fails.
void Signal(int eventFd)
{
    const int savedErrno = errno;
    const uint64_t one = 1;
    ssize_t ignored = write(eventFd, &one, sizeof one);
    (void)ignored;
    errno = savedErrno;
}

// Takes an eventfd's wake-ups, however many were signalled.
void Drain(int eventFd)
{
    uint64_t drained;
    ssize_t ignored = read(eventFd, &drained, sizeof drained);
    (void)ignored;
}

int WatchSet(int watch, int set, uint32_t events)
{
    epoll_event event{};
    event.events = events;
    event.data.u64 = kSetToken;
    return epoll_ctl(watch, EPOLL_CTL_MOD, set, &event) == 0 ? 0 : errno;
}
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
    if (m_Status == 0) m_Status = MakeWatch();
}

int KesEpollBackend::MakeWatch()
{
    m_Watch = epoll_create1(EPOLL_CLOEXEC);
    m_Standby = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (m_Watch < 0 || m_Standby < 0) return errno;
    epoll_event standby{};
    standby.events = EPOLLIN;
    standby.data.u64 = kStandbyToken;
    // The set joins disarmed: no interest, which a set never has errors or
    // hang-ups to override.
    epoll_event set{};
    set.data.u64 = kSetToken;
    if (epoll_ctl(m_Watch, EPOLL_CTL_ADD, m_Standby, &standby) != 0 ||
        epoll_ctl(m_Watch, EPOLL_CTL_ADD, m_Epoll, &set) != 0)
        return errno;
    return 0;
}

KesEpollBackend::~KesEpollBackend()
{
    for (int fd : {m_Standby, m_Watch, m_Wake, m_Epoll})
        if (fd >= 0) close(fd);
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
        if (events[i].data.u64 != kWakeToken)
            fired[count++] = events[i].data.u64;
        else
            Drain(m_Wake);
    }
    return count;
}

void KesEpollBackend::Wake() { Signal(m_Wake); }

int KesEpollBackend::ArmWatch() { return WatchSet(m_Watch, m_Epoll, EPOLLIN | EPOLLONESHOT); }

int KesEpollBackend::DisarmWatch() { return WatchSet(m_Watch, m_Epoll, 0); }

void KesEpollBackend::WaitWatch()
{
    epoll_event events[2];
    const int ready = epoll_wait(m_Watch, events, 2, -1);
    for (int i = 0; i < ready; ++i)
        if (events[i].data.u64 == kStandbyToken) Drain(m_Standby);
}

void KesEpollBackend::WakeStandby() { Signal(m_Standby); }
