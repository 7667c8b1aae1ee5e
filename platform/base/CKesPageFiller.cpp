#include "CKesPageFiller.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <system_error>

namespace {

uintptr_t PageSize()
{
    static const uintptr_t size = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    return size;
}

} // namespace

CKesPageFiller::~CKesPageFiller()
{
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        m_Ending = true;
        m_Requests.clear();
    }
    m_Work.notify_all();
    if (m_Thread.joinable()) m_Thread.join();
}

bool CKesPageFiller::KPFFill(const void* owner, unsigned char* begin, size_t length)
{
#ifdef MADV_POPULATE_WRITE
    const uintptr_t page = PageSize();
    const uintptr_t first = (reinterpret_cast<uintptr_t>(begin) + page - 1) & ~(page - 1);
    const uintptr_t last = (reinterpret_cast<uintptr_t>(begin) + length) & ~(page - 1);
    std::unique_lock<std::mutex> hold(m_Lock);
    if (m_Unsupported || m_Ending || !StartThread()) return false;
    DropRequestOf(owner);
    if (last > first)
        m_Requests.push_back(
            {owner, reinterpret_cast<unsigned char*>(first), reinterpret_cast<unsigned char*>(last)});
    hold.unlock();
    m_Work.notify_one();
    return true;
#else
    static_cast<void>(owner);
    static_cast<void>(begin);
    static_cast<void>(length);
    return false;
#endif
}

void CKesPageFiller::KPFStop(const void* owner)
{
    std::unique_lock<std::mutex> hold(m_Lock);
    DropRequestOf(owner);
    m_StepDone.wait(hold, [&] { return m_Busy != owner; });
}

void CKesPageFiller::DropRequestOf(const void* owner)
{
    m_Requests.erase(std::remove_if(m_Requests.begin(), m_Requests.end(),
                                    [owner](const Request& request) { return request.owner == owner; }),
                     m_Requests.end());
}

bool CKesPageFiller::StartThread()
{
    if (m_Thread.joinable()) return true;
    try {
        m_Thread = std::thread(&CKesPageFiller::Run, this);
    } catch (const std::system_error&) {
        return false; // no thread: the owners fault their pages in themselves
    }
    return true;
}

void CKesPageFiller::Run()
{
#ifdef MADV_POPULATE_WRITE
    std::unique_lock<std::mutex> hold(m_Lock);
    for (;;) {
        m_Work.wait(hold, [this] { return m_Ending || !m_Requests.empty(); });
        if (m_Ending) return;
        // One step of the front request; what is left of it goes to the back.
        Request request = m_Requests.front();
        m_Requests.pop_front();
        unsigned char* stepEnd = request.next + std::min<size_t>(ms_StepBytes, request.end - request.next);
        if (stepEnd < request.end) m_Requests.push_back({request.owner, stepEnd, request.end});
        m_Busy = request.owner;
        hold.unlock();
        const bool refused =
            madvise(request.next, stepEnd - request.next, MADV_POPULATE_WRITE) != 0 && errno == EINVAL;
        hold.lock();
        m_Busy = nullptr;
        if (refused) {
            // A kernel without the request: nobody is helped by asking again.
            m_Unsupported = true;
            m_Requests.clear();
        }
        m_StepDone.notify_all();
    }
#endif
}
