// CKesStack: a last-in, first-out stack of untyped items.
// Created and destroyed by its owner; destroying the stack leaves the items
// alone. Threads: one owner at a time; it takes no lock.
#pragma once

#include <vector>

#include "KesErrorCodes.h"

class CKesStack {
public:
    // bound: the most items the stack holds; -1 for no bound.
    explicit CKesStack(int bound = -1) : m_Bound(bound) {}
    virtual ~CKesStack() = default;

    // 1; KES_ERR_ARGUMENT when the stack is full or the item is null (a null item
    // could not be told from an empty stack); KES_ERR_ALLOCATION when memory runs out.
    int KSPush(void* item);
    // The last item pushed, or null when the stack is empty.
    void* KSPop();
    int KSSize() const { return static_cast<int>(m_Items.size()); }

private:
    int m_Bound;                // most items held; -1 unbounded
    std::vector<void*> m_Items; // bottom first
};
