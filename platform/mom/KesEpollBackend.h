// KesEpollBackend: internal to libKSXMOM, not part of its interface. The
// polling backend of the event loop: one epoll set (level-triggered, read
// interest only) and one eventfd that wakes a waiting loop; beside them the
// watch: a second epoll set in which a reader standing by waits, holding the
// first set (armed only while the reading reader runs work, so that only
// then does an event wake the one standing by) and an eventfd of its own.
// Created and destroyed by CKesRvNet with the loop object.
// Threads: Wait runs on the reading thread only, WaitWatch on the one
// standing by; Add, Remove, the watch's arming and both wakes may be called
// from any thread (the kernel serialises them against the waits). Wake is
// async-signal-safe.
// Locks: none of its own; CKesRvNet calls Add and Remove under its lock so
// that a removal and a re-registration of the same handle keep their order.
#pragma once

#include <cstdint>

class KesEpollBackend {
public:
    KesEpollBackend();
    ~KesEpollBackend();
    KesEpollBackend(const KesEpollBackend&) = delete;
    KesEpollBackend& operator=(const KesEpollBackend&) = delete;

    // 0 when the epoll set and the wake descriptor exist, else an errno.
    int Status() const { return m_Status; }
    // Watches the descriptor for readability, or changes its token when it is
    // watched already. 0 or an errno.
    int Add(int fd, uint64_t token);
    // Stops watching the descriptor. 0 or an errno (EBADF for a closed one,
    // ENOENT for one not watched).
    int Remove(int fd);
    // Blocks until a descriptor is ready or Wake is called, then writes at
    // most max tokens of ready descriptors into fired. The count (0 after a
    // wake-up alone), or -errno (EINTR when a signal interrupted the wait).
    int Wait(uint64_t* fired, int max);
    // Makes the current or the next Wait return. Async-signal-safe.
    void Wake();

    // Arms the watch: the next time the set has a ready descriptor (or has
    // one now, or Wake is called), WaitWatch returns, once. 0 or an errno.
    int ArmWatch();
    // Disarms the watch unless it has fired already. 0 or an errno.
    int DisarmWatch();
    // Blocks until the armed watch fires or WakeStandby is called (or a
    // signal interrupts it). What it reports is only a reason to look again.
    void WaitWatch();
    // Makes the current or the next WaitWatch return.
    void WakeStandby();

private:
    // Creates the watch around the set. 0 or an errno.
    int MakeWatch();

    static constexpr int kBatch = 128; // events taken per epoll_wait

    int m_Epoll = -1;   // the epoll set
    int m_Wake = -1;    // eventfd written by Wake, drained by Wait
    int m_Watch = -1;   // the watch: m_Epoll, one-shot, and m_Standby
    int m_Standby = -1; // eventfd written by WakeStandby, drained by WaitWatch
    int m_Status = 0;   // errno of a failed construction, else 0
};
