// CtlSession: the run of one network command: its deadline, the state its
// callbacks change, and the stop of the engine's event loop, which the main
// thread runs while a driver thread does the command's work.
// Created on the stack of the command's runner before the engine, destroyed
// after it. Threads: the main thread (Run), the driver thread (the command's
// work, Wait), the engine's workers and the signal handler (KRNStopNet only).
// Locks: m_Lock guards everything the command's callbacks change; it is
// innermost: the only library call made while it is held is KRNStopNet,
// which takes no lock.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

class CKesSockEngine;

class CtlSession {
public:
    // No deadline when seconds is 0.
    explicit CtlSession(double seconds);

    // Makes SIGINT and SIGTERM stop the engine's loop from now on (a stop
    // before the loop runs is kept by the engine). Call right after the
    // engine is constructed, before its servers publish anything.
    void Arm(CKesSockEngine* engine);
    // Runs the armed engine's event loop (the calling thread waits) and the driver
    // on a thread of its own; the driver ends the loop with Finish, as do the
    // signals. Then withdraws the engine's services (KNSafeExit) and
    // destroys the engine.
    void Run(const std::function<void()>& driver);
    // Destroys an armed engine whose loop never ran (a start-up failure).
    void Abandon();

    // Waits until done() holds (called under m_Lock), the deadline has passed
    // or the loop has ended; returns done().
    bool Wait(const std::function<bool()>& done);
    // Changes state under m_Lock and wakes the driver.
    void Update(const std::function<void()>& change);
    // Ends the event loop (from the driver or a worker).
    void Finish();
    // True once the event loop has ended (a signal, or Finish).
    bool LoopEnded();
    // After Run: true when the loop ended by a signal.
    bool Interrupted() const { return m_Interrupted; }

private:
    CtlSession(const CtlSession&) = delete;
    CtlSession& operator=(const CtlSession&) = delete;

    static void OnStopSignal(int signal);

    const bool m_HasDeadline;                               // a time-out was given
    const std::chrono::steady_clock::time_point m_Deadline; // when the time-out ends
    std::mutex m_Lock;                                      // the command's state
    std::condition_variable m_Changed;                      // state changed or loop ended
    bool m_LoopEnded = false;                               // KRNStartNet has returned
    bool m_Interrupted = false;                             // written by Run only
    CKesSockEngine* m_Engine = nullptr;                     // set by Arm, before the driver starts
};
