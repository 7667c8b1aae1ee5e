// CKesRvNet: the event loop (epoll). KRNStartNet runs the loop on the calling
// thread until KRNStopNet; sockets are registered for readability with a
// callback whose OnIO the loop calls on its own thread.
// Created and destroyed by the host's thread; KRNAddIOHandle, KRNRemoveIO and
// KRNStopNet may be called from any thread, also from inside OnIO. Once
// KRNRemoveIO has returned, no new OnIO starts for that socket (one already
// running on the loop thread finishes). KRNStopNet is async-signal-safe.
// Lock: m_Lock guards the registrations; it is never held while OnIO runs.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "CKesNet.h"
#include "CMOMRvIOCallback.h"
#include "KesPort.h"

class KesEpollBackend;

class CKesRvNet : public CKesNet {
public:
    CKesRvNet(const char* name, __serv_types type);
    ~CKesRvNet() override;

    // Runs the event loop on the calling thread until KRNStopNet. 1, or a
    // negative code when the loop cannot run (already running, no backend).
    virtual int KRNStartNet();
    // The post-initialisation step; the base does nothing and returns 1.
    virtual int KRNPostInitFns();

    // Registers the socket: callback->OnIO is called each time data can be
    // read from it. read must be TRUE; write and except are not supported and
    // must be FALSE. Registering a socket again replaces its callback. 1, or
    // -220459 for the invalid socket, -220552 for a null callback, or a
    // negative code when the system refuses the socket.
    int KRNAddIOHandle(unsigned int socket, __boolean read, __boolean write,
                       __boolean except, CMOMRvIOCallback* callback);
    // Stops the callbacks for the socket, which stays open. 1, or -220459 when
    // the socket is not registered.
    int KRNRemoveIO(unsigned int socket);
    // Makes KRNStartNet return after the dispatch in progress.
    void KRNStopNet();
    // True while KRNStartNet runs.
    bool KRNIsRunning() const { return m_Running.load(); }

private:
    struct Registration {
        CMOMRvIOCallback* callback; // not owned
        unsigned long long generation; // tells a re-registered socket from the old one
    };
    void Dispatch(unsigned long long token);

    std::unique_ptr<KesEpollBackend> m_Backend; // the polling backend
    std::mutex m_Lock;                          // guards m_Registered, m_NextGeneration
    std::unordered_map<unsigned int, Registration> m_Registered; // socket -> callback
    unsigned long long m_NextGeneration = 1;    // next registration's generation
    std::atomic<bool> m_Running{false};         // KRNStartNet is running
};
