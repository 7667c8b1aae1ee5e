// Scaffolding for tests that run a socket engine in the test process: the
// event loop on its own thread, a thread-safe log of host callbacks, and
// polling for a condition. Made and destroyed by the test thread; EventLog
// is written from engine threads and read by the test under its own lock.
#pragma once

#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CKesSockEngine.h"

namespace ksxtest {

// How long a test waits for something that must happen.
constexpr int kEngineGuardMs = 30000;

// Polls done() until it holds; false when the guard runs out.
bool WaitUntil(const std::function<bool()>& done, int guardMs = kEngineGuardMs);

// Runs the engine's event loop on its own thread while it exists.
class EventLoopThread {
public:
    explicit EventLoopThread(CKesSockEngine& engine); // returns once the loop runs
    ~EventLoopThread();                               // stops the loop and joins
    EventLoopThread(const EventLoopThread&) = delete;
    EventLoopThread& operator=(const EventLoopThread&) = delete;
    std::thread::id Id() const { return m_Thread.get_id(); }

private:
    CKesSockEngine& m_Engine;
    std::thread m_Thread;
};

// Host callbacks as lines of text, in the order they happened.
class EventLog {
public:
    void Add(const std::string& event);
    std::vector<std::string> Events();
    int Count(const std::string& event);
    // Waits until the event has been logged `times` times; false when the guard runs out.
    bool WaitFor(const std::string& event, int times = 1);

private:
    std::mutex m_Lock;
    std::condition_variable m_Changed;
    std::vector<std::string> m_Events;
};

// A server of this service and domain, added to the engine and initialised
// (nullptr when either fails; the engine owns it otherwise).
template <typename Server>
Server* AddServer(CKesSockEngine& engine, const char* service, const char* domain)
{
    auto* server = new Server;
    server->KOSSSetServiceName(strdup(service));
    server->KOSSSetDomain(strdup(domain));
    if (engine.KSEAddServer(server) != 1) {
        delete server;
        return nullptr;
    }
    return server->KOSSInitialise() == 1 ? server : nullptr;
}

} // namespace ksxtest
