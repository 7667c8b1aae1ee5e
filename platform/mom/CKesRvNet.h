// CKesRvNet: the event loop. KRNStartNet runs the loop on the calling thread
// until KRNStopNet; sockets are registered for readability with a callback
// whose OnIO the loop calls on its own thread.
// Created and destroyed by the host's thread; destroy it only after
// KRNStartNet has returned.
// Threads: KRNAddIOHandle, KRNRemoveIO, KRNPauseIO, KRNResumeIO,
// KRNGetGeneration, KRNStopNet and the queries KRNIsRunning and
// KRNIsLoopThread may be called from any thread, also from inside OnIO.
// Once KRNRemoveIO or KRNPauseIO has returned, no new OnIO
// starts for that socket; an OnIO that the loop had already begun finishes
// (neither waits for it, so a thread that OnIO waits for may call them).
// KRNStopNet is async-signal-safe.
// Locks: m_Lock guards the registrations and is innermost; it is never held
// while OnIO runs.
//
// Stopping a host on SIGINT/SIGTERM: the signal handler (or a thread that
// waits in sigwait or reads a signalfd) calls KRNStopNet on the engine;
// KRNStartNet then returns on the host's thread, which calls KNSafeExit and
// destroys the engine. A stop requested before KRNStartNet is entered is
// kept: KRNStartNet then returns at once.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "CKesNet.h"
#include "CMOMRvIOCallback.h"
#include "KesErrorCodes.h"
#include "KesPort.h"
#include "TKesHandleSlots.h"
#include "TKesHandleTable.h"

class KesEpollBackend;

class CKesRvNet : public CKesNet {
public:
    CKesRvNet(const char* name, __serv_types type);
    ~CKesRvNet() override;

    // Runs the event loop on the calling thread until KRNStopNet. 1, or a
    // negative code when the loop cannot run: KES_ERR_ARGUMENT when it runs already,
    // KES_ERR_MISSING when the system gave no polling backend, KES_ERR_INVALID_SOCKET when waiting
    // for events failed.
    virtual int KRNStartNet();
    // The post-initialisation step; the base does nothing and returns 1.
    virtual int KRNPostInitFns();

    // Registers the socket: callback->OnIO is called each time data can be
    // read from it, or it is closed or in error. read must be TRUE; write and
    // except are not supported and must be FALSE. Registering a socket again
    // replaces its callback. 1, or KES_ERR_INVALID_SOCKET for the invalid socket, KES_ERR_ARGUMENT
    // for a null callback or unsupported flags, or KES_ERR_INVALID_SOCKET (reported with
    // the system's reason) when the system refuses the socket (closed, not
    // pollable).
    int KRNAddIOHandle(unsigned int socket, __boolean read, __boolean write, __boolean except,
                       CMOMRvIOCallback* callback);
    // Stops the callbacks for the socket, which stays open. 1, or KES_ERR_INVALID_SOCKET
    // when the socket is not registered. A socket closed before its removal
    // is forgotten all the same.
    int KRNRemoveIO(unsigned int socket);
    // Pausing reading: a receiver whose queue is full stops taking more from
    // one connection without losing it. Both name the registration by the
    // socket and its generation (CMOMRvIO::Generation in OnIO, or
    // KRNGetGeneration right after registering), so a late call for a
    // connection that has gone can never reach a newer registration of the
    // same handle.
    //
    // KRNPauseIO: the loop stops dispatching the socket, whatever it has
    // pending (data, end of file, error); the registration and its generation
    // stay, so KRNRemoveIO, re-registration (which starts unpaused) and
    // handle reuse work as for any registration. Pausing a paused socket
    // does nothing. 1, or KES_ERR_INVALID_SOCKET (nothing done) when the socket
    // is not registered under that generation: removed, re-registered or
    // never registered.
    int KRNPauseIO(unsigned int socket, uint32_t generation);
    // KRNResumeIO: dispatching starts again; whatever arrived meanwhile is
    // reported at once (level-triggered). Resuming an unpaused socket does
    // nothing. 1, or KES_ERR_INVALID_SOCKET (nothing done) as for
    // KRNPauseIO; also KES_ERR_INVALID_SOCKET, reported with the system's
    // reason, when the system refuses the socket (closed while paused): it
    // then stays paused until it is removed.
    int KRNResumeIO(unsigned int socket, uint32_t generation);
    // The generation of the socket's current registration (never 0), or 0
    // when it is not registered. Each registration gets a new one.
    // Asked on every read and every packet: inline, and without m_Lock for
    // handles below about a million.
    uint32_t KRNGetGeneration(unsigned int socket)
    {
        return m_Generations.Covers(socket) ? m_Generations.Load(socket) : GenerationUnderLock(socket);
    }
    // Makes KRNStartNet return before the next dispatch. Async-signal-safe.
    void KRNStopNet();
    // True while KRNStartNet runs.
    bool KRNIsRunning() const { return m_Running.load(); }
    // True when the calling thread is the one running KRNStartNet; false on
    // every thread while no loop runs. For checks of rules of the kind
    // "only the event-loop thread may ...".
    bool KRNIsLoopThread() const { return m_LoopThread.load() == std::this_thread::get_id(); }
    // Waits until no OnIO for the socket is running (one may have started
    // before KRNRemoveIO); returns at once on the loop thread. For an owner
    // about to close a socket it has just removed: it must hold nothing that
    // such an OnIO could wait for.
    void KRNWaitForDispatch(unsigned int socket);

private:
    struct Registration {
        CMOMRvIOCallback* callback = nullptr; // not owned; must outlive its OnIO calls; null: none
        uint32_t generation = 0;              // tells a re-registered socket from the old one
        bool paused = false;                  // out of the epoll set until KRNResumeIO
    };
    static constexpr int kMaxFired = 128; // events dispatched per wait

    // Calls OnIO for one fired token when its registration is still current
    // and not paused.
    void Dispatch(uint64_t token);
    // The socket's registration when it has that generation, else null.
    // Under m_Lock.
    Registration* FindRegistration(unsigned int socket, uint32_t generation);

    std::unique_ptr<KesEpollBackend> m_Backend; // the polling backend; its epoll
                                                // data is socket | generation << 32
    // The generations of the handles it covers, readable without m_Lock
    // (KRNGetGeneration is asked on every read and every packet), written
    // under m_Lock.
    TKesHandleSlots<uint32_t> m_Generations;
    uint32_t GenerationUnderLock(unsigned int socket);
    std::mutex m_Lock;                          // guards m_Registered, m_NextGeneration
    TKesHandleTable<Registration> m_Registered; // socket -> callback, looked up on every dispatch
    uint32_t m_NextGeneration = 1;              // next registration's generation, never 0
    // The socket whose OnIO runs now: set under m_Lock with the check of its
    // registration, cleared without it; a waiter counts itself under m_Lock
    // first, so the loop takes the lock to wake it only when one waits.
    std::atomic<unsigned int> m_Dispatching{KES_INVALID_SOCKET};
    std::atomic<int> m_DispatchWaiters{0};
    std::atomic<std::thread::id> m_LoopThread; // the thread running KRNStartNet; none when no loop runs
    std::condition_variable m_DispatchDone;    // an OnIO has returned
    std::atomic<bool> m_Running{false};        // KRNStartNet is running
    std::atomic<bool> m_StopRequested{false};  // set by KRNStopNet, cleared when the loop returns
};
