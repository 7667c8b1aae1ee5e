// TKesHandleTable: a value per handle (a socket or file descriptor) for one
// thread's bookkeeping. Handles are small numbers, so most live in a vector
// indexed by the handle: a look-up on every read costs an index, not a
// hash. A stray huge handle goes to a hash table instead.
// Threads: one at a time (no lock). A reference stays valid until the next
// call that makes an entry.
#pragma once

#include <cstddef>
#include <unordered_map>
#include <vector>

template <typename T>
class TKesHandleTable {
public:
    static constexpr unsigned int kIndexed = 1u << 20;

    // The handle's value, made (T{}) on first use.
    T& operator[](unsigned int handle)
    {
        if (handle >= kIndexed) return m_Far[handle];
        if (handle >= m_Near.size()) m_Near.resize(static_cast<std::size_t>(handle) + 1);
        return m_Near[handle];
    }

    // The handle's value, or null when it was never made (nothing is made).
    T* Find(unsigned int handle)
    {
        if (handle >= kIndexed) {
            const auto found = m_Far.find(handle);
            return found == m_Far.end() ? nullptr : &found->second;
        }
        return handle < m_Near.size() ? &m_Near[handle] : nullptr;
    }
    const T* Find(unsigned int handle) const { return const_cast<TKesHandleTable*>(this)->Find(handle); }

    // The handle's value back to T{}.
    void Reset(unsigned int handle)
    {
        if (handle >= kIndexed)
            m_Far.erase(handle);
        else if (handle < m_Near.size())
            m_Near[handle] = T{};
    }

    // Calls visit(value) for every handle's value, made or not.
    template <typename Visit>
    void ForEach(Visit visit)
    {
        for (T& value : m_Near) visit(value);
        for (auto& [handle, value] : m_Far) visit(value);
    }

private:
    std::vector<T> m_Near;
    std::unordered_map<unsigned int, T> m_Far;
};
