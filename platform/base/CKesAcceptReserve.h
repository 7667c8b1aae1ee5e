// CKesAcceptReserve: accepting connections when the process has run out of
// descriptors. It holds one spare descriptor (/dev/null). When accept fails
// for lack of descriptors and the soft limit cannot be raised, it closes the
// spare, accepts the pending connection, closes it at once (the peer sees the
// connection closed instead of waiting in the backlog) and opens the spare
// again; it counts the connections so shed, so the owner can report a
// shortage once, with a count, instead of once per connection.
// Created and destroyed by the owner of a listening socket (one per accept
// loop); it never owns the listening socket, only its spare.
// Threads: KARAccept is called by one thread at a time (the accept thread);
// KARTakeShortageBegan and KARTakeShedCount may be called from any thread.
// Locks: none; the counters are atomic.
//
// An accept loop reports like this:
//     int fd = reserve.KARAccept(listenSocket, peer, &peerLength, SOCK_CLOEXEC);
//     if (fd < 0 && CKesFileDescriptor::KFDIsUnavailable(errno)) {
//         if (reserve.KARTakeShortageBegan()) report "out of descriptors, shedding connections";
//         continue;
//     }
//     if (int shed = reserve.KARTakeShedCount()) report shed " connections were shed";
#pragma once

#include <atomic>
#include <sys/socket.h>

class CKesAcceptReserve {
public:
    // Opens the spare. Without one (the process is short already) it is
    // opened again on the next shortage.
    CKesAcceptReserve();
    ~CKesAcceptReserve();
    CKesAcceptReserve(const CKesAcceptReserve&) = delete;
    CKesAcceptReserve& operator=(const CKesAcceptReserve&) = delete;

    // Accepts one connection as accept4(listenSocket, peer, peerLength,
    // flags) does: the new descriptor, or -1 with errno. When the process is
    // out of descriptors (EMFILE), the soft limit is raised first where it
    // can be (CKesFileDescriptor::KFDMakeAvailable) and the accept tried again.
    // When that does not help, or the system is out of files (ENFILE), it
    // returns -1 with that errno after shedding one pending connection with
    // the spare. A call that can shed nothing (no connection pending, or no
    // spare to free) waits kBackOffMs before it returns, so a caller that
    // loops on accept never spins; a pending connection is never waited for,
    // so a blocking listening socket cannot hold the call up.
    int KARAccept(unsigned int listenSocket, sockaddr* peer, socklen_t* peerLength, int flags);
    // True once per shortage: the first call after a KARAccept found the
    // process out of descriptors, since the last connection it accepted.
    bool KARTakeShortageBegan();
    // The number of connections shed since the last call; starts again at 0.
    int KARTakeShedCount();

    static constexpr int kBackOffMs = 100; // pause of a call that sheds nothing

private:
    // One pending connection accepted on the spare's slot and closed, the
    // spare opened again. False when nothing could be shed.
    bool Shed(int listenFd);

    int m_Spare = -1;                         // the spare descriptor, -1 while lost
    std::atomic<bool> m_Short{false};         // a shortage is under way (KARAccept's thread)
    std::atomic<bool> m_ShortageBegan{false}; // a shortage began and was not yet taken
    std::atomic<int> m_ShedCount{0};          // connections shed since the last take
};
