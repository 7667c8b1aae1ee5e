#include "CtlSession.h"

#include <atomic>
#include <csignal>
#include <thread>

#include "CKesSockEngine.h"

namespace {

// The engine whose loop a stop signal ends; set only while the loop runs.
std::atomic<CKesSockEngine*> g_SignalledEngine{nullptr};
// Set by the handler so that Run can tell a signal from a finished command.
volatile std::sig_atomic_t g_StopSignal = 0;

void SetStopHandler(void (*handler)(int))
{
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

} // namespace

CtlSession::CtlSession(double seconds)
    : m_HasDeadline(seconds > 0), m_Deadline(std::chrono::steady_clock::now() +
                                             std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                 std::chrono::duration<double>(seconds)))
{
}

void CtlSession::OnStopSignal(int)
{
    g_StopSignal = 1;
    // KRNStopNet is async-signal-safe; a stop before the loop runs is kept.
    if (CKesSockEngine* engine = g_SignalledEngine.load()) engine->KRNStopNet();
}

void CtlSession::Arm(CKesSockEngine* engine)
{
    m_Engine = engine;
    g_SignalledEngine = engine;
    SetStopHandler(OnStopSignal);
}

void CtlSession::Abandon()
{
    SetStopHandler(SIG_IGN);
    g_SignalledEngine = nullptr;
    m_Engine->KNSafeExit();
    delete m_Engine;
    m_Engine = nullptr;
    SetStopHandler(SIG_DFL);
}

void CtlSession::Run(const std::function<void()>& driver)
{
    CKesSockEngine* engine = m_Engine;
    std::thread work(driver);
    engine->KRNStartNet();
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        m_LoopEnded = true;
    }
    m_Changed.notify_all();
    work.join();

    // A second signal while the services are withdrawn must not cut that short.
    SetStopHandler(SIG_IGN);
    g_SignalledEngine = nullptr;
    m_Interrupted = g_StopSignal != 0;
    engine->KNSafeExit();
    delete engine;
    SetStopHandler(SIG_DFL);
}

bool CtlSession::Wait(const std::function<bool()>& done)
{
    std::unique_lock<std::mutex> hold(m_Lock);
    auto over = [&] { return m_LoopEnded || done(); };
    if (m_HasDeadline)
        m_Changed.wait_until(hold, m_Deadline, over);
    else
        m_Changed.wait(hold, over);
    return done();
}

void CtlSession::Update(const std::function<void()>& change)
{
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        change();
    }
    m_Changed.notify_all();
}

void CtlSession::Finish()
{
    // Under the lock so that the engine cannot be destroyed meanwhile: Run
    // marks the loop ended under it before going on to destroy the engine.
    // KRNStopNet takes no lock and calls nothing back.
    std::lock_guard<std::mutex> hold(m_Lock);
    if (!m_LoopEnded && m_Engine) m_Engine->KRNStopNet();
}

bool CtlSession::LoopEnded()
{
    std::lock_guard<std::mutex> hold(m_Lock);
    return m_LoopEnded;
}
