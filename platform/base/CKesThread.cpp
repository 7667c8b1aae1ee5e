#include "CKesThread.h"

#include <cerrno>
#include <cmath>
#include <ctime>

#include "CKesError.h"
#include "KesErrorCodes.h"
#include "KesPort.h"

namespace {

constexpr int kMisuse = KES_ERR_ARGUMENT;
constexpr int kNoResources = KES_ERR_ALLOCATION;
constexpr long kNanosPerSecond = 1000000000L;

// now + (seconds, nanoseconds) * scale on the monotonic clock; negative
// times count as zero, absurdly long ones are capped at about a century.
timespec DeadlineAfter(long seconds, long nanoseconds)
{
    double delay = (static_cast<double>(seconds) + static_cast<double>(nanoseconds) / 1e9) * KesTimeScale();
    if (!(delay > 0.0)) delay = 0.0;
    if (delay > 3.2e9) delay = 3.2e9;
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    const double whole = std::floor(delay);
    deadline.tv_sec += static_cast<time_t>(whole);
    // Round the fraction up so that the wait never ends before the delay.
    deadline.tv_nsec += static_cast<long>(std::ceil((delay - whole) * 1e9));
    while (deadline.tv_nsec >= kNanosPerSecond) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= kNanosPerSecond;
    }
    return deadline;
}

} // namespace

CKesThread::CKesThread()
{
    pthread_mutex_init(&m_Lock, nullptr);
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&m_Cond, &attributes);
    pthread_condattr_destroy(&attributes);
}

CKesThread::~CKesThread()
{
    {
        std::lock_guard<std::mutex> hold(m_StateLock);
        if (m_Started && m_Joinable && !pthread_equal(m_Thread, pthread_self())) pthread_detach(m_Thread);
        m_Started = false;
    }
    pthread_cond_destroy(&m_Cond);
    pthread_mutex_destroy(&m_Lock);
}

int CKesThread::KTCreateThread(KesThreadProcedure procedure, void* argument, int joinable)
{
    if (!procedure) {
        CKesError(kMisuse, "CKesThread", __LINE__, "No thread procedure given.");
        return kMisuse;
    }
    std::lock_guard<std::mutex> hold(m_StateLock);
    if (m_Started) {
        CKesError(kMisuse, "CKesThread", __LINE__, "Thread already started.");
        return kMisuse;
    }
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, joinable ? PTHREAD_CREATE_JOINABLE : PTHREAD_CREATE_DETACHED);
    int result = pthread_create(&m_Thread, &attributes, procedure, argument);
    pthread_attr_destroy(&attributes);
    if (result != 0) {
        CKesError(kNoResources, "CKesThread", __LINE__, "Thread cannot be created.");
        return kNoResources;
    }
    m_Started = true;
    m_Joinable = joinable != 0;
    return 1;
}

int CKesThread::KTJoinThread()
{
    pthread_t thread;
    {
        std::lock_guard<std::mutex> hold(m_StateLock);
        if (!m_Started || !m_Joinable || pthread_equal(m_Thread, pthread_self())) return kMisuse;
        thread = m_Thread;
        m_Started = false; // a second join is refused from here on
    }
    return pthread_join(thread, nullptr) == 0 ? 1 : kMisuse;
}

int CKesThread::KTLock() { return pthread_mutex_lock(&m_Lock) == 0 ? 1 : kMisuse; }

int CKesThread::KTUnLock() { return pthread_mutex_unlock(&m_Lock) == 0 ? 1 : kMisuse; }

int CKesThread::KTBroadcast()
{
    m_Wakes.fetch_add(1, std::memory_order_release);
    return pthread_cond_broadcast(&m_Cond) == 0 ? 1 : kMisuse;
}

int CKesThread::KTSignal()
{
    m_Wakes.fetch_add(1, std::memory_order_release);
    return pthread_cond_signal(&m_Cond) == 0 ? 1 : kMisuse;
}

int CKesThread::KTConditionRelTimedWaitNoLock(long seconds, long nanoseconds)
{
    const timespec deadline = DeadlineAfter(seconds, nanoseconds);
    const unsigned long wakes = m_Wakes.load(std::memory_order_acquire);
    for (;;) {
        int result = pthread_cond_timedwait(&m_Cond, &m_Lock, &deadline);
        // A wake that came in while we were not yet waiting still counts.
        if (m_Wakes.load(std::memory_order_acquire) != wakes) return 1;
        if (result == ETIMEDOUT) return KES_TIMED_WAIT_EXPIRED;
        if (result != 0 && result != EINTR) return kMisuse;
    }
}

int CKesThread::KTConditionWaitNoLock() { return pthread_cond_wait(&m_Cond, &m_Lock) == 0 ? 1 : kMisuse; }
