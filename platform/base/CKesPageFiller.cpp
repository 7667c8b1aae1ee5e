#include "CKesPageFiller.h"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <system_error>
#include <utility>

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
    std::free(m_Kept);
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

void CKesPageFiller::KPFSetKeepMs(int keepMs)
{
    std::lock_guard<std::mutex> hold(m_Lock);
    m_KeepFor = std::chrono::milliseconds(keepMs);
}

void CKesPageFiller::KPFKeep(unsigned char* block)
{
    if (block == nullptr) return;
    const size_t bytes = malloc_usable_size(block);
    unsigned char* surplus = block;
    {
        std::lock_guard<std::mutex> hold(m_Lock);
        // Kept only when large enough to be worth it and a thread can free it in time.
        if (bytes >= ms_StepBytes && !m_Ending && StartThread()) {
            // Large blocks still come: the kept one waits longer.
            m_KeptUntil = std::chrono::steady_clock::now() + m_KeepFor;
            if (bytes > m_KeptBytes) {
                surplus = std::exchange(m_Kept, block);
                m_KeptBytes = bytes;
            }
        }
    }
    m_Work.notify_one();
    std::free(surplus); // unmapping a large block takes a while: not under the lock
}

unsigned char* CKesPageFiller::KPFTake(size_t size, size_t* held)
{
    std::lock_guard<std::mutex> hold(m_Lock);
    if (m_Kept == nullptr || m_KeptBytes < size) return nullptr;
    *held = std::exchange(m_KeptBytes, 0);
    return std::exchange(m_Kept, nullptr);
}

size_t CKesPageFiller::KPFKeptBytes()
{
    std::lock_guard<std::mutex> hold(m_Lock);
    return m_KeptBytes;
}

void CKesPageFiller::Run()
{
    std::unique_lock<std::mutex> hold(m_Lock);
    for (;;) {
        auto due = [this] { return m_Ending || !m_Requests.empty(); };
        if (m_Kept == nullptr)
            m_Work.wait(hold, [&] { return due() || m_Kept != nullptr; });
        else
            m_Work.wait_until(hold, m_KeptUntil, due);
        if (m_Ending) return;
        if (m_Kept != nullptr && std::chrono::steady_clock::now() >= m_KeptUntil) {
            unsigned char* idle = std::exchange(m_Kept, nullptr);
            m_KeptBytes = 0;
            hold.unlock();
            std::free(idle);
            hold.lock();
        }
        if (!m_Requests.empty()) FillStep(hold);
    }
}

void CKesPageFiller::FillStep(std::unique_lock<std::mutex>& hold)
{
#ifdef MADV_POPULATE_WRITE
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
#else
    static_cast<void>(hold);
    m_Requests.clear();
#endif
}
