// CKesRvNet: the event loop (see the header). The loop takes a batch of
// fired tokens from the backend, then dispatches them one by one, re-checking
// each against the registrations under the lock right before its OnIO.
#include "CKesRvNet.h"

#include <cerrno>
#include <cstring>

#include "CKesError.h"
#include "KesEpollBackend.h"
#include "KesErrorCodes.h"

namespace {

const char* const kSource = "CKesRvNet";

uint64_t MakeToken(unsigned int socket, uint32_t generation)
{
    return static_cast<uint64_t>(generation) << 32 | socket;
}

} // namespace

CKesRvNet::CKesRvNet(const char* name, __serv_types type)
    : CKesNet(name, type), m_Backend(std::make_unique<KesEpollBackend>())
{
    if (m_Backend->Status() != 0)
        CKesError(KES_ERR_MISSING, kSource, __LINE__, strerror(m_Backend->Status()));
}

CKesRvNet::~CKesRvNet() = default;

int CKesRvNet::KRNPostInitFns() { return 1; }

int CKesRvNet::KRNAddIOHandle(unsigned int socket, __boolean read, __boolean write, __boolean except,
                              CMOMRvIOCallback* callback)
{
    if (socket == KES_INVALID_SOCKET) return KES_ERR_INVALID_SOCKET;
    if (callback == nullptr || read != TRUE || write != FALSE || except != FALSE) return KES_ERR_ARGUMENT;
    std::lock_guard<std::mutex> guard(m_Lock);
    const uint32_t generation = m_NextGeneration;
    const int error = m_Backend->Add(static_cast<int>(socket), MakeToken(socket, generation));
    if (error != 0) {
        CKesError(KES_ERR_INVALID_SOCKET, kSource, __LINE__, strerror(error));
        return KES_ERR_INVALID_SOCKET;
    }
    m_NextGeneration = generation == UINT32_MAX ? 1 : generation + 1;
    m_Registered[socket] = Registration{callback, generation, false};
    m_Generations.Store(socket, generation);
    if (KesTraceOn(4)) KesTrace("CKesRvNet::KRNAddIOHandle() socket %u.\n", socket);
    return 1;
}

int CKesRvNet::KRNRemoveIO(unsigned int socket)
{
    std::lock_guard<std::mutex> guard(m_Lock);
    const Registration* registration = m_Registered.Find(socket);
    if (registration == nullptr || registration->callback == nullptr) return KES_ERR_INVALID_SOCKET;
    m_Registered.Reset(socket);
    m_Generations.Store(socket, 0);
    // A paused socket, or one closed before its removal, is out of the epoll
    // set already; EBADF and ENOENT only say so.
    m_Backend->Remove(static_cast<int>(socket));
    if (KesTraceOn(4)) KesTrace("CKesRvNet::KRNRemoveIO() socket %u.\n", socket);
    return 1;
}

CKesRvNet::Registration* CKesRvNet::FindRegistration(unsigned int socket, uint32_t generation)
{
    Registration* registration = m_Registered.Find(socket);
    if (registration == nullptr || registration->callback == nullptr ||
        registration->generation != generation)
        return nullptr;
    return registration;
}

int CKesRvNet::KRNPauseIO(unsigned int socket, uint32_t generation)
{
    std::lock_guard<std::mutex> guard(m_Lock);
    Registration* registration = FindRegistration(socket, generation);
    if (registration == nullptr) return KES_ERR_INVALID_SOCKET;
    if (registration->paused) return 1;
    // Out of the epoll set altogether rather than watched with no interest:
    // epoll reports a hang-up or error whatever the interest, so a paused
    // peer that hangs up would wake the loop round after round. A handle
    // closed already has left the set by itself.
    m_Backend->Remove(static_cast<int>(socket));
    registration->paused = true;
    if (KesTraceOn(4)) KesTrace("CKesRvNet::KRNPauseIO() socket %u.\n", socket);
    return 1;
}

int CKesRvNet::KRNResumeIO(unsigned int socket, uint32_t generation)
{
    std::lock_guard<std::mutex> guard(m_Lock);
    Registration* registration = FindRegistration(socket, generation);
    if (registration == nullptr) return KES_ERR_INVALID_SOCKET;
    if (!registration->paused) return 1;
    const int error = m_Backend->Add(static_cast<int>(socket), MakeToken(socket, generation));
    if (error != 0) {
        CKesError(KES_ERR_INVALID_SOCKET, kSource, __LINE__, strerror(error));
        return KES_ERR_INVALID_SOCKET;
    }
    registration->paused = false;
    if (KesTraceOn(4)) KesTrace("CKesRvNet::KRNResumeIO() socket %u.\n", socket);
    return 1;
}

uint32_t CKesRvNet::GenerationUnderLock(unsigned int socket)
{
    std::lock_guard<std::mutex> guard(m_Lock);
    const Registration* registration = m_Registered.Find(socket);
    return registration == nullptr ? 0 : registration->generation; // 0 when none (reset)
}

void CKesRvNet::KRNStopNet()
{
    m_StopRequested.store(true);
    m_Backend->Wake();
}

int CKesRvNet::KRNStartNet()
{
    if (m_Backend->Status() != 0) return KES_ERR_MISSING;
    if (m_Running.exchange(true)) return KES_ERR_ARGUMENT;
    m_LoopThread.store(std::this_thread::get_id());
    if (KesTraceOn(3)) KesTrace("CKesRvNet::KRNStartNet().\n");
    uint64_t fired[kMaxFired];
    int result = 1;
    while (!m_StopRequested.load()) {
        const int count = m_Backend->Wait(fired, kMaxFired);
        if (count == -EINTR) continue;
        if (count < 0) {
            CKesError(KES_ERR_INVALID_SOCKET, kSource, __LINE__, strerror(-count));
            result = KES_ERR_INVALID_SOCKET;
            break;
        }
        for (int i = 0; i < count && !m_StopRequested.load(); ++i) Dispatch(fired[i]);
    }
    m_LoopThread.store(std::thread::id());
    m_StopRequested.store(false);
    m_Running.store(false);
    return result;
}

void CKesRvNet::Dispatch(uint64_t token)
{
    const auto socket = static_cast<unsigned int>(token & 0xFFFFFFFFu);
    const auto generation = static_cast<uint32_t>(token >> 32);
    CMOMRvIOCallback* callback = nullptr;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        const Registration* registration = FindRegistration(socket, generation);
        // Removed meanwhile, or an event of an earlier registration of a
        // reused handle: the current one will fire by itself if it is ready.
        // Paused after this batch was taken: it fires again once resumed.
        if (registration == nullptr || registration->paused) return;
        callback = registration->callback;
        m_Dispatching = socket;
    }
    CMOMRvIO io(socket, generation);
    callback->OnIO(&io);
    m_Dispatching.store(KES_INVALID_SOCKET);
    if (m_DispatchWaiters.load() == 0) return;
    std::lock_guard<std::mutex> guard(m_Lock); // a waiter between its check and its sleep holds it
    m_DispatchDone.notify_all();
}

void CKesRvNet::KRNWaitForDispatch(unsigned int socket)
{
    std::unique_lock<std::mutex> guard(m_Lock);
    if (KRNIsLoopThread()) return;
    ++m_DispatchWaiters;
    m_DispatchDone.wait(guard, [&] { return m_Dispatching.load() != socket; });
    --m_DispatchWaiters;
}
