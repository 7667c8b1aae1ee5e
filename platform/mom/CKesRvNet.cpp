// CKesRvNet: the event loop (see the header). The loop thread takes a batch
// of fired tokens from the backend, then dispatches them one by one,
// re-checking each against the registrations under the lock right before its
// OnIO. The other reader stands by in the backend's watch, which is armed
// only while the reading reader runs work that an OnIO handed over: the
// first event during the work wakes the one standing by, which takes the
// reading; work with no event during it wakes nobody.
#include "CKesRvNet.h"

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

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

CKesRvNet::~CKesRvNet() { KRNEndReaders(); }

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
    if (KesTraceOn(3)) KesTrace("CKesRvNet::KRNStartNet().\n");
    const bool readers = StartReaders();
    std::unique_lock<std::mutex> hold(m_LeadLock);
    m_LoopResult = 1;
    if (readers) {
        // One of them may still run the work it took as the last loop stopped.
        m_Leader = m_Readers[0].busy ? 1 : 0;
        m_LoopThread.store(m_Readers[m_Leader].thread.get_id());
        for (Reader& reader : m_Readers) reader.wake.notify_one(); // the other stands by
        m_LoopDone.wait(hold, [this] { return m_Leader == kNobody; });
    } else {
        m_Leader = kCaller;
        m_LoopThread.store(std::this_thread::get_id());
        hold.unlock();
        Lead(kCaller); // hands over no work: it has no other reader
        hold.lock();
    }
    const int result = m_LoopResult;
    hold.unlock();
    m_StopRequested.store(false);
    m_Running.store(false);
    return result;
}

bool CKesRvNet::StartReaders()
{
    {
        std::lock_guard<std::mutex> hold(m_LeadLock);
        m_TakesWork = true;
        if (m_ReadersStarted) return true;
        m_ReadersEnding = false;
    }
    // No reader runs: each new one waits for m_LeadLock and then for a loop,
    // which KRNStartNet starts once both are there.
    int started = 0;
    try {
        for (; started < kReaders; ++started) {
            m_Readers[started].busy = false;
            m_Readers[started].thread = std::thread([this, started] { ReaderLoop(started); });
        }
    } catch (const std::system_error& error) {
        CKesError(KES_ERR_ALLOCATION, kSource, __LINE__, error.what());
        JoinReaders(started);
        return false;
    }
    std::lock_guard<std::mutex> hold(m_LeadLock);
    m_ReadersStarted = true;
    return true;
}

void CKesRvNet::JoinReaders(int count)
{
    {
        std::lock_guard<std::mutex> hold(m_LeadLock);
        m_ReadersEnding = true;
        m_ReadersStarted = false;
    }
    for (int i = 0; i < count; ++i) {
        m_Readers[i].wake.notify_one();
        m_Readers[i].thread.join();
    }
}

void CKesRvNet::KRNEndReaders()
{
    {
        std::unique_lock<std::mutex> hold(m_LeadLock);
        m_TakesWork = false;
        m_WorkDone.wait(hold, [this] { return !m_Readers[0].busy && !m_Readers[1].busy; });
        // While a loop runs its readers stay, taking no work, until the
        // loop object goes.
        if (!m_ReadersStarted || m_Leader != kNobody) return;
    }
    JoinReaders(kReaders);
}

void CKesRvNet::ReaderLoop(int self)
{
    Reader& reader = m_Readers[self];
    std::unique_lock<std::mutex> hold(m_LeadLock);
    for (;;) {
        reader.wake.wait(hold, [&] { return m_ReadersEnding || m_Leader >= 0; });
        if (m_Leader < 0) return; // ending: never while a loop runs
        if (m_Leader != self && !StandBy(self, hold)) continue;
        hold.unlock();
        const FollowUp followUp = Lead(self);
        if (followUp.work != nullptr) followUp.work(followUp.item);
        hold.lock();
        if (followUp.work == nullptr) continue;
        reader.busy = false;
        // Its own condition: KRNStartNet's caller, waiting for the loop to
        // stop, is not woken after every piece of work.
        m_WorkDone.notify_all();        // KRNEndReaders may wait for it
        if (m_Leader != self) continue; // the other took the reading, or the loop stopped
        // No event came during the work: the reading is still this reader's,
        // and an event from now on must not wake the other.
        m_LoopThread.store(std::this_thread::get_id());
        m_Backend->DisarmWatch();
    }
}

bool CKesRvNet::StandBy(int self, std::unique_lock<std::mutex>& hold)
{
    for (;;) {
        if (m_Leader < 0 || m_Leader == self) return m_Leader == self;
        if (m_Readers[m_Leader].busy) {
            m_Leader = self;
            m_LoopThread.store(std::this_thread::get_id());
            return true;
        }
        hold.unlock();
        m_Backend->WaitWatch();
        hold.lock();
    }
}

CKesRvNet::FollowUp CKesRvNet::Lead(int self)
{
    for (;;) {
        if (m_StopRequested.load()) break;
        if (m_FiredNext == m_FiredCount) {
            const int count = m_Backend->Wait(m_Fired, kMaxFired);
            if (count == -EINTR) continue;
            if (count < 0) {
                CKesError(KES_ERR_INVALID_SOCKET, kSource, __LINE__, strerror(-count));
                EndReading(KES_ERR_INVALID_SOCKET);
                return {};
            }
            m_FiredCount = count;
            m_FiredNext = 0;
            continue;
        }
        Dispatch(m_Fired[m_FiredNext++]);
        if (m_FollowUp.work == nullptr) continue;
        const FollowUp followUp = std::exchange(m_FollowUp, FollowUp{});
        StartWork(self);
        return followUp;
    }
    EndReading(1);
    return {};
}

void CKesRvNet::StartWork(int self)
{
    {
        std::lock_guard<std::mutex> hold(m_LeadLock);
        m_Readers[self].busy = true;
        // Before the work starts: it must not pass for the loop thread.
        m_LoopThread.store(std::thread::id());
    }
    // The other reader takes the reading at the first event during the
    // work; a watch that cannot be armed has it take the reading at once.
    if (m_Backend->ArmWatch() != 0) m_Backend->WakeStandby();
}

void CKesRvNet::EndReading(int result)
{
    {
        std::lock_guard<std::mutex> hold(m_LeadLock);
        m_FiredCount = m_FiredNext = 0;
        m_LoopResult = result;
        m_Leader = kNobody;
        m_LoopThread.store(std::thread::id());
    }
    m_LoopDone.notify_all();
    m_Backend->WakeStandby(); // the reader standing by waits for the next loop instead
}

bool CKesRvNet::KRNRunAfterDispatch(void (*work)(void*), void* item)
{
    // Not before the last event of the batch: the other reader takes a
    // wake-up's time to start, which the events already known would wait.
    if (work == nullptr || !KRNIsLoopThread() || m_Dispatching.load() == KES_INVALID_SOCKET ||
        m_FollowUp.work != nullptr || m_FiredNext < m_FiredCount)
        return false;
    std::lock_guard<std::mutex> hold(m_LeadLock);
    // The other reader cannot turn busy meanwhile: only the one that reads hands over work.
    if (m_Leader < 0 || !m_TakesWork || m_Readers[1 - m_Leader].busy) return false;
    m_FollowUp = FollowUp{work, item};
    return true;
}

void CKesRvNet::KRNTakeBackWork()
{
    if (KRNIsLoopThread()) m_FollowUp = FollowUp{};
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
