#include "CKesStack.h"

#include <new>

int CKesStack::KSPush(void* item)
{
    // A null item could not be told apart from an empty stack by KSPop.
    if (item == nullptr)
        return -220552;
    if (m_Bound >= 0 && static_cast<int>(m_Items.size()) >= m_Bound)
        return -220552;
    try {
        m_Items.push_back(item);
    } catch (const std::bad_alloc&) {
        return -220553;
    }
    return 1;
}

void* CKesStack::KSPop()
{
    if (m_Items.empty())
        return nullptr;
    void* item = m_Items.back();
    m_Items.pop_back();
    return item;
}
