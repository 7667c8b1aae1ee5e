// TKesBlockCache: blocks of one size, handed back from the threads that
// free them to the threads that allocate them.
// A thread that only allocates what other threads free (the event loop's
// receive blocks, freed by the workers) finds its malloc cache always
// empty and takes malloc's slow path for every block, while the freeing
// threads take the allocating thread's arena lock for every free. Here a
// freeing thread pushes the block onto a shared stack without a lock, and
// an allocating thread whose own list is empty takes the whole stack at
// once: nothing is ever popped from under another thread, so a block can
// never be handed out twice.
// At most MostCached blocks wait (shared or in a thread's own list); the
// rest are freed. Every block is a plain malloc block of Bytes bytes, so
// free() is always right for one, whether it came from the cache or not.
// Address-sanitized builds cache nothing, so that a use after Give is
// still caught.
// Threads: any.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>

template <std::size_t Bytes, std::size_t MostCached>
class TKesBlockCache {
public:
    static_assert(Bytes >= sizeof(void*), "a cached block holds the link to the next");
    static constexpr std::size_t ms_BlockBytes = Bytes;
#if defined(__SANITIZE_ADDRESS__)
    static constexpr bool ms_Caches = false;
#else
    static constexpr bool ms_Caches = true;
#endif

    // A block of Bytes bytes: one given back before, or a new one; null
    // when memory is short.
    static void* Take()
    {
        Own& own = ms_Own;
        if (own.head == nullptr) own.head = ms_Shared.exchange(nullptr, std::memory_order_acquire);
        Node* node = own.head;
        if (node == nullptr) return std::malloc(Bytes);
        own.head = node->next;
        ms_Cached.fetch_sub(1, std::memory_order_relaxed);
        return node;
    }

    // Takes back a block of Take (null is ignored): kept for a later Take,
    // or freed when MostCached are waiting already.
    static void Give(void* block)
    {
        if (block == nullptr) return;
        if (!ms_Caches || ms_Cached.fetch_add(1, std::memory_order_relaxed) >= MostCached) {
            if (ms_Caches) ms_Cached.fetch_sub(1, std::memory_order_relaxed);
            std::free(block);
            return;
        }
        Node* node = static_cast<Node*>(block);
        node->next = ms_Shared.load(std::memory_order_relaxed);
        while (!ms_Shared.compare_exchange_weak(node->next, node, std::memory_order_release,
                                                std::memory_order_relaxed)) {}
    }

    // Blocks waiting now, shared or in a thread's own list.
    static std::size_t Cached() { return ms_Cached.load(std::memory_order_relaxed); }

private:
    struct Node {
        Node* next;
    };
    // What a thread took from the shared stack and has not handed out yet;
    // freed when the thread ends.
    struct Own {
        Node* head = nullptr;
        ~Own()
        {
            while (head != nullptr) {
                Node* next = head->next;
                std::free(head);
                ms_Cached.fetch_sub(1, std::memory_order_relaxed);
                head = next;
            }
        }
    };

    static inline std::atomic<Node*> ms_Shared{nullptr};
    static inline std::atomic<std::size_t> ms_Cached{0};
    static inline thread_local Own ms_Own;
};
