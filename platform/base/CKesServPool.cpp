#include "CKesServPool.h"

#include <string>
#include <system_error>

#include "CKesError.h"

CKesServPool::CKesServPool(int workers, void* context)
    : m_WorkerCount(workers < 1 ? 1 : workers), m_Context(context) {}

CKesServPool::~CKesServPool() {
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        m_Stopping = true;
    }
    m_Ready.notify_all();
    for (std::thread& worker : m_Workers) worker.join();

    // Only a pool that never got running workers can still hold items; they
    // cannot be run, and the pool cannot know how to free them.
    if (!m_Queue.empty()) {
        std::string text = std::to_string(m_Queue.size()) + " queued work items were never run.";
        CKesError(-220402, "CKesServPool", __LINE__, text.c_str());
    }
}

int CKesServPool::KSPLaunchThreads(KesPoolWorkProcedure procedure) {
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        if (!procedure || m_Procedure) {
            CKesError(-220552, "CKesServPool", __LINE__, procedure ? "Workers already launched." : "No worker procedure.");
            return -220552;
        }
        m_Procedure = procedure;
    }
    m_Workers.reserve(static_cast<size_t>(m_WorkerCount));
    for (int i = 0; i < m_WorkerCount; ++i) {
        try {
            m_Workers.emplace_back(&CKesServPool::WorkerLoop, this);
        } catch (const std::system_error&) {
            CKesError(-220553, "CKesServPool", __LINE__, "A worker thread cannot be started.");
            break;
        }
    }
    return m_Workers.empty() ? -220553 : 1;
}

int CKesServPool::KSPAddWorkDetail(void* item) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        if (m_Stopping) return -220552;
        m_Queue.push_back(item);
        wake = m_Idle > 0;
    }
    // Only an idle worker needs waking; busy ones look at the queue before
    // they wait again. Notifying after unlocking spares the woken worker a
    // trip straight back to sleep on the lock.
    if (wake) m_Ready.notify_one();
    return 1;
}

void CKesServPool::WorkerLoop() {
    std::unique_lock<std::mutex> hold(m_Lock);
    for (;;) {
        while (m_Queue.empty() && !m_Stopping) {
            ++m_Idle;
            m_Ready.wait(hold);
            --m_Idle;
        }
        if (m_Queue.empty()) return; // stopping, and everything queued has run
        void* item = m_Queue.front();
        m_Queue.pop_front();
        hold.unlock();
        m_Procedure(item, m_Context);
        hold.lock();
    }
}
