#include "CKesPageFiller.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <system_error>

namespace {

#ifdef MADV_POPULATE_WRITE
// The whole pages inside [begin, begin + length): [*first, *last), empty
// when there are none.
void WholePages(unsigned char* begin, size_t length, unsigned char** first, unsigned char** last)
{
    static const uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t start = reinterpret_cast<uintptr_t>(begin);
    const uintptr_t from = (start + page - 1) & ~(page - 1);
    const uintptr_t to = std::max(from, (start + length) & ~(page - 1));
    *first = reinterpret_cast<unsigned char*>(from);
    *last = reinterpret_cast<unsigned char*>(to);
}
#endif

} // namespace

void CKesPageFiller::KPFFillNow(unsigned char* begin, size_t length)
{
#ifdef MADV_POPULATE_WRITE
    unsigned char *first, *last;
    WholePages(begin, length, &first, &last);
    if (last > first) madvise(first, last - first, MADV_POPULATE_WRITE);
#else
    static_cast<void>(begin);
    static_cast<void>(length);
#endif
}

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
    unsigned char *first, *last;
    WholePages(begin, length, &first, &last);
    std::unique_lock<std::mutex> hold(m_Lock);
    if (m_Unsupported || m_Ending || !StartThread()) return false;
    DropRequestOf(owner);
    if (last > first) m_Requests.push_back({owner, first, last});
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
