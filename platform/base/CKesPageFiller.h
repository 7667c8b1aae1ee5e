// CKesPageFiller: populates the pages of growing buffers on a thread of its
// own, ahead of the thread that writes them. A page's first touch is a page
// fault, which costs about a microsecond on some virtual machines: a 64 MiB
// buffer filled from a socket would spend longer faulting than reading. With
// the filler populating the part just grown while the owner reads into its
// front, the two costs overlap on two cores instead of adding up on one.
//
// Requests are by owner (any address that names the buffer): an owner has at
// most one request, and a new one replaces it. The thread works in steps of
// ms_StepBytes, taking the owners' requests in turn, so one large buffer does
// not hold up another. It populates without changing the mapping or its
// contents (MADV_POPULATE_WRITE); where the kernel lacks that request, or the
// thread cannot be started, KPFFill says no and the caller populates on its
// own thread (KPFFillNow) or does without.
//
// It also keeps the last large block its owners are done with (KPFKeep) for
// the next large buffer (KPFTake): a host that receives large records one
// after another then reads each into pages that are already there, instead
// of unmapping one buffer and faulting in the next. One block at most, the
// largest offered, freed by the thread once nobody has taken it for the
// keep time, so its owner holds no more than one large packet's memory
// idle, and that briefly.
//
// Created and destroyed by its owner; the thread starts at the first KPFFill
// or KPFKeep and is joined by the destructor, which drops the requests left
// and frees the kept block.
// Threads: every call from any thread.
// Locks: m_Lock, never held while a step populates or a block is freed.
// KPFStop waits for the step under way for its owner (one step: about
// 300 us where a page costs 1.2).
//
// Before a buffer under fill moves (realloc), completes or is freed:
//     filler.KPFStop(owner);
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>

class CKesPageFiller {
public:
    // keepMs: how long a kept block waits for a taker.
    explicit CKesPageFiller(int keepMs = ms_KeepMs) : m_KeepFor(keepMs) {}
    ~CKesPageFiller();
    CKesPageFiller(const CKesPageFiller&) = delete;
    CKesPageFiller& operator=(const CKesPageFiller&) = delete;

    // Populates the whole pages inside [begin, begin + length) in the
    // background, in place of the owner's earlier request. False (nothing
    // requested) when pages cannot be populated this way here.
    bool KPFFill(const void* owner, unsigned char* begin, size_t length);
    // Returns once the thread touches none of the owner's pages any more: a
    // request not begun is dropped, a step under way is waited for.
    void KPFStop(const void* owner);
    // Populates the whole pages inside [begin, begin + length) on the
    // calling thread, in one call: for when KPFFill says no. Where pages
    // cannot be populated this way it does nothing (they fault in as used).
    static void KPFFillNow(unsigned char* begin, size_t length);

    // Takes over a malloc'd block whose pages are populated, to hand to
    // KPFTake. Of it and the block kept so far, the larger is kept and the
    // other freed; a block under ms_StepBytes, or one no thread could free
    // in time, is freed at once. Each large block offered starts the keep
    // time anew.
    void KPFKeep(unsigned char* block);
    // The kept block, when it holds at least `size` bytes: the caller owns it
    // (malloc'd, *held usable bytes, its contents undefined). Else null.
    unsigned char* KPFTake(size_t size, size_t* held);
    // Usable bytes of the block kept now, 0 for none.
    size_t KPFKeptBytes();
    // How long a block offered from now on is kept (0: freed at once when
    // the thread next looks). The keepMs of the constructor until called.
    void KPFSetKeepMs(int keepMs);

    static constexpr size_t ms_StepBytes = 1u << 20;
    static constexpr int ms_KeepMs = 1000;

private:
    struct Request {
        const void* owner;
        unsigned char* next; // page-aligned: the first page not populated yet
        unsigned char* end;  // page-aligned: one past the last page
    };

    void Run();
    // Fills one step of the front request; called and returns with the lock held.
    void FillStep(std::unique_lock<std::mutex>& hold);
    void DropRequestOf(const void* owner);
    bool StartThread();

    std::mutex m_Lock;
    std::condition_variable m_Work;     // a request or a block came, or the filler is ending
    std::condition_variable m_StepDone; // m_Busy was cleared
    std::deque<Request> m_Requests;     // the owners in turn; front goes next
    const void* m_Busy = nullptr;       // the owner whose step runs now
    bool m_Ending = false;
    bool m_Unsupported = false;      // the kernel refused the request once
    unsigned char* m_Kept = nullptr; // the block KPFKeep kept, or null
    size_t m_KeptBytes = 0;
    std::chrono::steady_clock::time_point m_KeptUntil; // freed then, unless taken
    std::chrono::milliseconds m_KeepFor;               // under m_Lock
    std::thread m_Thread;
};
