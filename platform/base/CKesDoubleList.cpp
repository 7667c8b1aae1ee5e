#include "CKesDoubleList.h"
#include "KesErrorCodes.h"

#include <vector>

namespace {
constexpr int kBadArgument = KES_ERR_ARGUMENT;
}

CKesDoubleList::~CKesDoubleList()
{
    // Detach everything under the lock, destroy outside it: an item's
    // destructor must find itself in no list.
    std::vector<CKesListable*> items;
    {
        std::lock_guard<std::mutex> guard(m_Lock);
        items.reserve(m_Length);
        for (CKesListable* item = m_Head; item != nullptr; item = item->m_Next) items.push_back(item);
        for (CKesListable* item : items) {
            item->m_Prev = nullptr;
            item->m_Next = nullptr;
            item->m_List.store(nullptr);
        }
        m_Head = m_Tail = nullptr;
        m_Length = 0;
    }
    for (CKesListable* item : items) delete item;
}

int CKesDoubleList::KDLAddToListEnd(CKesListable* item) { return AddLocked(item, true); }

int CKesDoubleList::KDLAddToListStart(CKesListable* item) { return AddLocked(item, false); }

int CKesDoubleList::AddLocked(CKesListable* item, bool atEnd)
{
    if (item == nullptr) return kBadArgument;
    std::lock_guard<std::mutex> guard(m_Lock);
    // Claim the item atomically, so two lists racing for it cannot both win.
    CKesDoubleList* expected = nullptr;
    if (!item->m_List.compare_exchange_strong(expected, this)) return kBadArgument;
    if (atEnd) {
        item->m_Prev = m_Tail;
        item->m_Next = nullptr;
        if (m_Tail != nullptr)
            m_Tail->m_Next = item;
        else
            m_Head = item;
        m_Tail = item;
    } else {
        item->m_Prev = nullptr;
        item->m_Next = m_Head;
        if (m_Head != nullptr)
            m_Head->m_Prev = item;
        else
            m_Tail = item;
        m_Head = item;
    }
    ++m_Length;
    return 1;
}

CKesListable* CKesDoubleList::KDLHead() const
{
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Head;
}

CKesListable* CKesDoubleList::KDLTail() const
{
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Tail;
}

CKesListable* CKesDoubleList::KDLGetNext(const CKesListable* item) const
{
    if (item == nullptr) return nullptr;
    std::lock_guard<std::mutex> guard(m_Lock);
    if (item->m_List.load() != this) return nullptr;
    return item->m_Next;
}

int CKesDoubleList::KDLLength() const
{
    std::lock_guard<std::mutex> guard(m_Lock);
    return m_Length;
}

int CKesDoubleList::KDLSetHead(CKesListable* newHead)
{
    std::lock_guard<std::mutex> guard(m_Lock);
    if (m_Head == nullptr) return newHead == nullptr ? 1 : kBadArgument;
    if (newHead != nullptr && newHead != m_Head->m_Next) return kBadArgument;
    UnlinkLocked(m_Head);
    return 1;
}

int CKesDoubleList::KDLAttemptToDeleteFromList(CKesListable* item)
{
    if (item == nullptr) return 0;
    std::lock_guard<std::mutex> guard(m_Lock);
    if (item->m_List.load() != this) return 0;
    UnlinkLocked(item);
    return 1;
}

void CKesDoubleList::UnlinkLocked(CKesListable* item)
{
    if (item->m_Prev != nullptr)
        item->m_Prev->m_Next = item->m_Next;
    else
        m_Head = item->m_Next;
    if (item->m_Next != nullptr)
        item->m_Next->m_Prev = item->m_Prev;
    else
        m_Tail = item->m_Prev;
    item->m_Prev = nullptr;
    item->m_Next = nullptr;
    item->m_List.store(nullptr);
    --m_Length;
}
