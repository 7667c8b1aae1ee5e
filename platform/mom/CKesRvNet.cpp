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

}  // namespace

CKesRvNet::CKesRvNet(const char* name, __serv_types type)
    : CKesNet(name, type), m_Backend(std::make_unique<KesEpollBackend>())
{
    if (m_Backend->Status() != 0)
        CKesError(KES_ERR_MISSING, kSource, __LINE__, strerror(m_Backend->Status()));
}

CKesRvNet::~CKesRvNet() = default;

int CKesRvNet::KRNPostInitFns()
{
    return 1;
}

int CKesRvNet::KRNAddIOHandle(unsigned int socket, __boolean read, __boolean write,
                              __boolean except, CMOMRvIOCallback* callback)
{
    if (socket == KES_INVALID_SOCKET)
        return KES_ERR_INVALID_SOCKET;
    if (callback == nullptr || read != TRUE || write != FALSE || except != FALSE)
        return KES_ERR_ARGUMENT;
    std::lock_guard<std::mutex> guard(m_Lock);
    const uint32_t generation = m_NextGeneration;
    const int error = m_Backend->Add(static_cast<int>(socket), MakeToken(socket, generation));
    if (error != 0) {
        CKesError(KES_ERR_INVALID_SOCKET, kSource, __LINE__, strerror(error));
        return KES_ERR_INVALID_SOCKET;
    }
    m_NextGeneration = generation == UINT32_MAX ? 1 : generation + 1;
    m_Registered[socket] = Registration{callback, generation};
    if (KesTraceOn(4))
        KesTrace("CKesRvNet::KRNAddIOHandle() socket %u.\n", socket);
    return 1;
}

int CKesRvNet::KRNRemoveIO(unsigned int socket)
{
    std::lock_guard<std::mutex> guard(m_Lock);
    if (m_Registered.erase(socket) == 0)
        return KES_ERR_INVALID_SOCKET;
    // A socket closed before its removal has left the epoll set by itself;
    // EBADF and ENOENT only say so.
    m_Backend->Remove(static_cast<int>(socket));
    if (KesTraceOn(4))
        KesTrace("CKesRvNet::KRNRemoveIO() socket %u.\n", socket);
    return 1;
}

void CKesRvNet::KRNStopNet()
{
    m_StopRequested.store(true);
    m_Backend->Wake();
}

int CKesRvNet::KRNStartNet()
{
    if (m_Backend->Status() != 0)
        return KES_ERR_MISSING;
    if (m_Running.exchange(true))
        return KES_ERR_ARGUMENT;
    m_LoopThread.store(std::this_thread::get_id());
    if (KesTraceOn(3))
        KesTrace("CKesRvNet::KRNStartNet().\n");
    uint64_t fired[kMaxFired];
    int result = 1;
    while (!m_StopRequested.load()) {
        const int count = m_Backend->Wait(fired, kMaxFired);
        if (count == -EINTR)
            continue;
        if (count < 0) {
            CKesError(KES_ERR_INVALID_SOCKET, kSource, __LINE__, strerror(-count));
            result = KES_ERR_INVALID_SOCKET;
            break;
        }
        for (int i = 0; i < count && !m_StopRequested.load(); ++i)
            Dispatch(fired[i]);
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
        const auto found = m_Registered.find(socket);
        // Removed meanwhile, or an event of an earlier registration of a
        // reused handle: the current one will fire by itself if it is ready.
        if (found == m_Registered.end() || found->second.generation != generation)
            return;
        callback = found->second.callback;
        m_Dispatching = socket;
    }
    CMOMRvIO io(socket);
    callback->OnIO(&io);
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        m_Dispatching = KES_INVALID_SOCKET;
    }
    m_DispatchDone.notify_all();
}

void CKesRvNet::KRNWaitForDispatch(unsigned int socket)
{
    std::unique_lock<std::mutex> guard(m_Lock);
    if (KRNIsLoopThread())
        return;
    m_DispatchDone.wait(guard, [&] { return m_Dispatching != socket; });
}
