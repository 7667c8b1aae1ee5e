// TKesHandleSlots: one atomic value per small handle (a socket or file
// descriptor), readable without a lock. Tables look a handle up on every
// packet; a std::map or a table lock there costs more than the rest of the
// look-up. Handles from kLimit on have no slot: callers keep those in a
// table of their own.
// Threads: any. Load and Store are atomic; a block of slots, once made,
// lives as long as the object.
#pragma once

#include <array>
#include <atomic>

template <typename T>
class TKesHandleSlots {
public:
    static constexpr unsigned int kBlock = 1024, kBlocks = 1024;
    static constexpr unsigned int kLimit = kBlock * kBlocks;

    TKesHandleSlots() = default;
    ~TKesHandleSlots()
    {
        for (auto& block : m_Blocks) delete[] block.load();
    }

    static bool Covers(unsigned int handle) { return handle < kLimit; }

    // The handle's value; T{} for one never stored or beyond kLimit.
    T Load(unsigned int handle) const
    {
        if (!Covers(handle)) return T{};
        const std::atomic<T>* slots = m_Blocks[handle / kBlock].load(std::memory_order_acquire);
        return slots != nullptr ? slots[handle % kBlock].load(std::memory_order_acquire) : T{};
    }

    // False for a handle beyond kLimit. Storing T{} makes no block.
    bool Store(unsigned int handle, T value)
    {
        if (!Covers(handle)) return false;
        std::atomic<std::atomic<T>*>& block = m_Blocks[handle / kBlock];
        std::atomic<T>* slots = block.load(std::memory_order_acquire);
        if (slots == nullptr) {
            if (value == T{}) return true;
            auto* made = new std::atomic<T>[kBlock]();
            // Two first stores into one block: the loser's block goes.
            if (block.compare_exchange_strong(slots, made, std::memory_order_acq_rel))
                slots = made;
            else
                delete[] made;
        }
        slots[handle % kBlock].store(value, std::memory_order_release);
        return true;
    }

private:
    TKesHandleSlots(const TKesHandleSlots&) = delete;
    TKesHandleSlots& operator=(const TKesHandleSlots&) = delete;
    std::array<std::atomic<std::atomic<T>*>, kBlocks> m_Blocks{};
};
