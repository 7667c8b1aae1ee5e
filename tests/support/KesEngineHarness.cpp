#include "KesEngineHarness.h"

#include <algorithm>
#include <chrono>

namespace ksxtest {

bool WaitUntil(const std::function<bool()>& done, int guardMs)
{
    for (int waited = 0; waited < guardMs; waited += 2) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return done();
}

EventLoopThread::EventLoopThread(CKesSockEngine& engine)
    : m_Engine(engine), m_Thread([this] { m_Engine.KRNStartNet(); })
{
    while (!m_Engine.KRNIsRunning()) std::this_thread::yield();
}

EventLoopThread::~EventLoopThread()
{
    m_Engine.KRNStopNet();
    m_Thread.join();
}

void EventLog::Add(const std::string& event)
{
    std::lock_guard<std::mutex> hold(m_Lock);
    m_Events.push_back(event);
    m_Changed.notify_all();
}

std::vector<std::string> EventLog::Events()
{
    std::lock_guard<std::mutex> hold(m_Lock);
    return m_Events;
}

int EventLog::Count(const std::string& event)
{
    std::lock_guard<std::mutex> hold(m_Lock);
    return static_cast<int>(std::count(m_Events.begin(), m_Events.end(), event));
}

bool EventLog::WaitFor(const std::string& event, int times)
{
    std::unique_lock<std::mutex> hold(m_Lock);
    return m_Changed.wait_for(hold, std::chrono::milliseconds(kEngineGuardMs),
                              [&] { return std::count(m_Events.begin(), m_Events.end(), event) >= times; });
}

} // namespace ksxtest
