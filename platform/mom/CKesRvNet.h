// CKesRvNet: the event loop. KRNStartNet runs the loop until KRNStopNet;
// sockets are registered for readability with a callback whose OnIO the loop
// calls on the thread that reads.
// The reading is done by two reader threads of the loop's own, one at a time
// (the loop thread; KRNIsLoopThread): OnIO may hand the loop a piece of work
// to run right after it (KRNRunAfterDispatch). While the reader runs the
// work, the other reader stands by and takes the reading at the first event;
// when none comes, the reading stays with the first and nobody was woken. A
// read's work is thus done by the thread that read it, with no hand-off to a
// worker in between, while a slow piece of work never stops the reading. The
// thread that called KRNStartNet waits meanwhile.
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
// while OnIO runs. m_LeadLock guards which reader reads; it is never held
// while OnIO or a piece of work runs, nor together with m_Lock.
//
// Stopping a host on SIGINT/SIGTERM: the signal handler (or a thread that
// waits in sigwait or reads a signalfd) calls KRNStopNet on the engine;
// KRNStartNet then returns on the host's thread, which calls KNSafeExit and
// destroys the engine. A stop requested before KRNStartNet is entered is
// kept: KRNStartNet then returns at once. A piece of work that a reader runs
// may still run after KRNStartNet has returned, as a worker's may:
// KRNEndReaders waits for it.
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

    // Runs the event loop until KRNStopNet, on the loop's reader threads
    // (started at the first call; when the system cannot start them, on the
    // calling thread, with no work run after a dispatch). 1, or a
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
    // True when the calling thread is the reader that reads now (inside OnIO,
    // or between dispatches); false on every other thread, a reader running
    // work included, and on every thread while no loop runs. For checks of
    // rules of the kind "only the event-loop thread may ...".
    bool KRNIsLoopThread() const { return m_LoopThread.load() == std::this_thread::get_id(); }
    // Waits until no OnIO for the socket is running (one may have started
    // before KRNRemoveIO); returns at once on the loop thread. For an owner
    // about to close a socket it has just removed: it must hold nothing that
    // such an OnIO could wait for.
    void KRNWaitForDispatch(unsigned int socket);
    // From inside OnIO, on the loop thread: work(item) is to run on this
    // thread once OnIO has returned, the other reader standing by to read
    // meanwhile, so that it may take as long as it likes. True: taken,
    // and run exactly once, also when the loop is stopping. False, and the
    // caller keeps the item: the other reader is still busy with work of its
    // own, events of the same wait are still to be dispatched (they would
    // wait for the other reader to wake), the loop has no second reader, the
    // caller is not inside OnIO on the loop thread, or this OnIO has handed
    // over work already.
    bool KRNRunAfterDispatch(void (*work)(void*), void* item);
    // From the same OnIO: the work it handed over will not run after all,
    // and the reading stays with this reader (the caller keeps the item).
    void KRNTakeBackWork();
    // Waits for the work the readers run, takes no more until the next
    // KRNStartNet, and ends the reader threads unless a loop runs (they
    // then end with the loop object). Never from that work; for an owner
    // whose work uses what it is about to destroy (the destructor calls it
    // too).
    void KRNEndReaders();

private:
    struct Registration {
        CMOMRvIOCallback* callback = nullptr; // not owned; must outlive its OnIO calls; null: none
        uint32_t generation = 0;              // tells a re-registered socket from the old one
        bool paused = false;                  // out of the epoll set until KRNResumeIO
    };
    static constexpr int kMaxFired = 128; // events dispatched per wait
    static constexpr int kReaders = 2;
    static constexpr int kNobody = -2; // m_Leader when no loop runs
    static constexpr int kCaller = -1; // m_Leader when KRNStartNet's caller reads itself
    struct FollowUp {
        void (*work)(void*) = nullptr;
        void* item = nullptr;
    };
    struct Reader {
        std::thread thread;           // started by KRNStartNet, joined by KRNEndReaders
        std::condition_variable wake; // a loop has started, or the readers end
        bool busy = false;            // runs a piece of work: cannot take the reading
    };

    // Reads and dispatches as the loop thread until the loop stops (then
    // returns no work) or an OnIO hands over work (then returns it, the
    // other reader standing by). self: the reader, or kCaller.
    FollowUp Lead(int self);
    // The reader threads' procedure: waits for a loop, then reads or stands
    // by, runs the work its reading brought, and reads on when the other
    // has not taken the reading meanwhile.
    void ReaderLoop(int self);
    // Starts the readers when none run (KRNStartNet, before any reads);
    // false, with none left, when the system could not start both.
    bool StartReaders();
    // Ends and joins the first count readers, which read no more.
    void JoinReaders(int count);
    // While the other reader reads: waits in the watch until that one runs
    // work, then takes the reading (true); false when the loop has stopped.
    // Under m_LeadLock, which it lets go while it waits.
    bool StandBy(int self, std::unique_lock<std::mutex>& hold);
    // The reader self is about to run work: the other may take the reading.
    void StartWork(int self);
    // The loop has stopped: no reader reads, the batch is dropped (what it
    // held fires again when the loop next runs) and KRNStartNet returns.
    void EndReading(int result);

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
    std::atomic<std::thread::id> m_LoopThread; // the reader that reads now; none when no loop runs
    std::condition_variable m_DispatchDone;    // an OnIO has returned
    std::atomic<bool> m_Running{false};        // KRNStartNet is running
    std::atomic<bool> m_StopRequested{false};  // set by KRNStopNet, cleared when the loop returns

    // The batch being dispatched and the work an OnIO handed over: the
    // loop thread's alone; the reading passes under m_LeadLock, the batch
    // empty (work is taken only at its last event) or dropped.
    uint64_t m_Fired[kMaxFired];
    int m_FiredCount = 0;
    int m_FiredNext = 0;
    FollowUp m_FollowUp;

    std::mutex m_LeadLock;              // guards what follows
    Reader m_Readers[kReaders];         // the reader threads, when started
    bool m_ReadersStarted = false;      // both run
    bool m_ReadersEnding = false;       // KRNEndReaders has asked them to end
    bool m_TakesWork = true;            // KRNRunAfterDispatch may take work
    int m_Leader = kNobody;             // the reader that reads now, kCaller, or kNobody
    int m_LoopResult = 1;               // what KRNStartNet returns, set as the loop stops
    std::condition_variable m_LoopDone; // the loop has stopped
    std::condition_variable m_WorkDone; // a reader's work is done
};
