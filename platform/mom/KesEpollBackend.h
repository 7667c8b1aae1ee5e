// KesEpollBackend: internal to libKSXMOM, not part of its interface. The
// polling backend of the event loop: one epoll set (level-triggered, read
// interest only) and one eventfd that wakes a waiting loop.
// Created and destroyed by CKesRvNet with the loop object.
// Threads: Wait runs on the loop thread only; Add, Remove and Wake may be
// called from any thread (the kernel serialises them against Wait). Wake is
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

private:
    static constexpr int kBatch = 128; // events taken per epoll_wait

    int m_Epoll = -1; // the epoll set
    int m_Wake = -1;  // eventfd written by Wake, drained by Wait
    int m_Status = 0; // errno of a failed construction, else 0
};
