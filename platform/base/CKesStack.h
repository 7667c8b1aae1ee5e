// CKesStack: a last-in, first-out stack of untyped items. Destroying the
// stack leaves the items alone. Not locked: one owner at a time.
#pragma once

#include <vector>

class CKesStack {
public:
    // bound: the most items the stack holds; -1 for no bound.
    explicit CKesStack(int bound = -1) : m_Bound(bound) {}
    virtual ~CKesStack() = default;

    // 1, or -220552 when the stack is full.
    int KSPush(void* item);
    // The last item pushed, or null when the stack is empty.
    void* KSPop();
    int KSSize() const { return static_cast<int>(m_Items.size()); }

private:
    int m_Bound;                // most items held; -1 unbounded
    std::vector<void*> m_Items; // bottom first
};
