#include "CKesServPool.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <system_error>

#include "CKesError.h"
#include "KesErrorCodes.h"

// A waiting worker's own wake-up word. The waker writes the item, then the
// word (release), then wakes the one futex waiter on it; the worker reads the
// word (acquire) before the item, so the item is seen complete.
struct CKesServPool::IdleWorker {
    enum : uint32_t { kWaiting = 0, kHanded = 1, kStop = 2 };
    std::atomic<uint32_t> word{kWaiting};
    void* item = nullptr;
    IdleWorker* nextHanded = nullptr; // the next worker one batch handed an item to

    uint32_t Wait()
    {
        uint32_t seen;
        while ((seen = word.load(std::memory_order_acquire)) == kWaiting)
            syscall(SYS_futex, &word, FUTEX_WAIT_PRIVATE, kWaiting, nullptr, nullptr, 0);
        return seen;
    }
    void Wake(uint32_t why)
    {
        word.store(why, std::memory_order_release);
        syscall(SYS_futex, &word, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    }
};
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free,
              "the wake-up word is used as a futex");

CKesServPool::CKesServPool(int workers, void* context)
    : m_WorkerCount(workers < 1 ? 1 : workers), m_Context(context)
{
}

CKesServPool::~CKesServPool()
{
    std::vector<IdleWorker*> idle;
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        m_Stopping = true;
        idle.swap(m_IdleWorkers);
        // A turn still taken would keep its worker waiting for ever; its
        // KSPEndTurn must come before the destruction.
        idle.insert(idle.end(), m_LentWorkers.begin(), m_LentWorkers.end());
        m_LentWorkers.clear();
    }
    for (IdleWorker* worker : idle) worker->Wake(IdleWorker::kStop);
    for (std::thread& worker : m_Workers) worker.join();

    // Only a pool that never got running workers can still hold items; they
    // cannot be run, and the pool cannot know how to free them.
    if (!m_Queue.empty()) {
        std::string text = std::to_string(m_Queue.size()) + " queued work items were never run.";
        CKesError(KES_ERR_MISSING, "CKesServPool", __LINE__, text.c_str());
    }
}

int CKesServPool::KSPLaunchThreads(KesPoolWorkProcedure procedure)
{
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        if (!procedure || m_Procedure) {
            CKesError(KES_ERR_ARGUMENT, "CKesServPool", __LINE__,
                      procedure ? "Workers already launched." : "No worker procedure.");
            return KES_ERR_ARGUMENT;
        }
        m_Procedure = procedure;
    }
    m_Workers.reserve(static_cast<size_t>(m_WorkerCount));
    for (int i = 0; i < m_WorkerCount; ++i) {
        try {
            m_Workers.emplace_back(&CKesServPool::WorkerLoop, this);
        } catch (const std::system_error&) {
            CKesError(KES_ERR_ALLOCATION, "CKesServPool", __LINE__, "A worker thread cannot be started.");
            break;
        }
    }
    return m_Workers.empty() ? KES_ERR_ALLOCATION : 1;
}

int CKesServPool::KSPAddWorkDetail(void* item)
{
    IdleWorker* idle = nullptr;
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        if (m_Stopping) return KES_ERR_ARGUMENT;
        if (m_IdleWorkers.empty()) {
            m_Queue.push_back(item); // every worker is busy and looks here next
        } else {
            idle = m_IdleWorkers.back();
            m_IdleWorkers.pop_back();
            idle->item = item;
        }
    }
    // Woken after unlocking: the worker never needs the lock to start.
    if (idle) idle->Wake(IdleWorker::kHanded);
    return 1;
}

int CKesServPool::KSPAddWorkDetails(void* const* items, int count)
{
    if (count <= 0) return 1;
    if (count == 1) return KSPAddWorkDetail(items[0]);
    // Every idle worker gets an item, however many there are: the handed
    // workers are chained through themselves, so nothing is allocated, and
    // the rest queue only once no worker is idle.
    IdleWorker* handed = nullptr;
    IdleWorker** last = &handed; // woken in the items' order
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        if (m_Stopping) return KES_ERR_ARGUMENT;
        int next = 0;
        while (next < count && !m_IdleWorkers.empty()) {
            IdleWorker* idle = m_IdleWorkers.back();
            m_IdleWorkers.pop_back();
            idle->item = items[next++];
            idle->nextHanded = nullptr;
            *last = idle;
            last = &idle->nextHanded;
        }
        if (next < count) m_Queue.insert(m_Queue.end(), items + next, items + count);
    }
    // A woken worker may be idle and handed another item at once: read the
    // chain before waking it.
    while (handed != nullptr) {
        IdleWorker* worker = handed;
        handed = worker->nextHanded;
        worker->Wake(IdleWorker::kHanded);
    }
    return 1;
}

bool CKesServPool::KSPTakeTurn()
{
    std::lock_guard<std::mutex> hold(m_Lock);
    if (m_Stopping || !m_Queue.empty() || m_IdleWorkers.empty()) return false;
    m_LentWorkers.push_back(m_IdleWorkers.back());
    m_IdleWorkers.pop_back();
    return true;
}

void CKesServPool::KSPEndTurn()
{
    IdleWorker* worker = nullptr;
    uint32_t why = IdleWorker::kHanded;
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        if (m_LentWorkers.empty()) return; // woken to stop already
        worker = m_LentWorkers.back();
        m_LentWorkers.pop_back();
        if (!m_Queue.empty()) {
            worker->item = m_Queue.front();
            m_Queue.pop_front();
        } else if (m_Stopping) {
            why = IdleWorker::kStop;
        } else {
            m_IdleWorkers.push_back(worker);
            return;
        }
    }
    worker->Wake(why);
}

void CKesServPool::WorkerLoop()
{
    IdleWorker self;
    std::unique_lock<std::mutex> hold(m_Lock);
    for (;;) {
        if (!m_Queue.empty()) {
            void* item = m_Queue.front();
            m_Queue.pop_front();
            hold.unlock();
            m_Procedure(item, m_Context);
            hold.lock();
            continue;
        }
        if (m_Stopping) return; // everything queued has run
        WaitForHandedItem(self, hold);
    }
}

// Waits idle until an item is handed over or stop begins; runs a handed item.
// Called and returns with the lock held.
void CKesServPool::WaitForHandedItem(IdleWorker& self, std::unique_lock<std::mutex>& hold)
{
    self.word.store(IdleWorker::kWaiting, std::memory_order_relaxed);
    m_IdleWorkers.push_back(&self);
    hold.unlock();
    if (self.Wait() == IdleWorker::kHanded) m_Procedure(self.item, m_Context);
    hold.lock();
}
