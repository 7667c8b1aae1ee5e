// CKesAcceptReserve: the reserve descriptor of an accept loop (see the header).
#include "CKesAcceptReserve.h"

#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <thread>
#include <unistd.h>

#include "CKesFileDescriptor.h"

namespace {

int OpenSpare() { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }

// True when a connection waits to be accepted; never waits itself.
bool ConnectionPending(int listenFd)
{
    pollfd entry{listenFd, POLLIN, 0};
    return ::poll(&entry, 1, 0) == 1 && (entry.revents & POLLIN) != 0;
}

} // namespace

CKesAcceptReserve::CKesAcceptReserve() : m_Spare(OpenSpare()) {}

CKesAcceptReserve::~CKesAcceptReserve()
{
    if (m_Spare >= 0) ::close(m_Spare);
}

int CKesAcceptReserve::KARAccept(unsigned int listenSocket, sockaddr* peer, socklen_t* peerLength, int flags)
{
    const int listenFd = static_cast<int>(listenSocket);
    int accepted = ::accept4(listenFd, peer, peerLength, flags);
    if (accepted < 0 && errno == EMFILE && CKesFileDescriptor::KFDMakeAvailable() == 0)
        accepted = ::accept4(listenFd, peer, peerLength, flags);
    if (accepted >= 0) {
        m_Short.store(false);
        return accepted;
    }
    if (!CKesFileDescriptor::KFDIsUnavailable(errno)) return -1;
    const int shortage = errno;
    if (!m_Short.exchange(true)) m_ShortageBegan.store(true);
    if (!Shed(listenFd)) std::this_thread::sleep_for(std::chrono::milliseconds(kBackOffMs));
    errno = shortage;
    return -1;
}

bool CKesAcceptReserve::Shed(int listenFd)
{
    if (m_Spare < 0) m_Spare = OpenSpare(); // lost last time to another thread's open
    // Accept only a connection that is there: on a blocking listening socket
    // accept would wait for the next one (Linux reports EMFILE before it
    // looks for a connection).
    if (m_Spare < 0 || !ConnectionPending(listenFd)) return false;
    ::close(m_Spare);
    const int doomed = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (doomed >= 0) {
        ::close(doomed);
        m_ShedCount.fetch_add(1);
    }
    // Fails when another thread took the freed slot first; tried again on
    // the next shortage.
    m_Spare = OpenSpare();
    return doomed >= 0;
}

bool CKesAcceptReserve::KARTakeShortageBegan() { return m_ShortageBegan.exchange(false); }

int CKesAcceptReserve::KARTakeShedCount() { return m_ShedCount.exchange(0); }
