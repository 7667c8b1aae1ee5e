#include "CKesStack.h"
#include "KesErrorCodes.h"

#include <new>

int CKesStack::KSPush(void* item)
{
    // A null item could not be told apart from an empty stack by KSPop.
    if (item == nullptr) return KES_ERR_ARGUMENT;
    if (m_Bound >= 0 && static_cast<int>(m_Items.size()) >= m_Bound) return KES_ERR_ARGUMENT;
    try {
        m_Items.push_back(item);
    } catch (const std::bad_alloc&) {
        return KES_ERR_ALLOCATION;
    }
    return 1;
}

void* CKesStack::KSPop()
{
    if (m_Items.empty()) return nullptr;
    void* item = m_Items.back();
    m_Items.pop_back();
    return item;
}
