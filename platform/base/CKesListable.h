// CKesListable: base of every object kept in a CKesDoubleList; the object is
// itself the list element (intrusive links), so it sits in at most one list.
// Created and destroyed by its owner; a list destroys the items still in it.
// Threads: any. The links are guarded by the lock of the list that holds the
// item; the destructor takes that lock to unlink an item still in a list.
#pragma once

#include <atomic>

class CKesDoubleList;

class CKesListable {
public:
    CKesListable() = default;
    // Copies carry no links: a copy is in no list.
    CKesListable(const CKesListable&) : CKesListable() {}
    CKesListable& operator=(const CKesListable&) { return *this; }
    // Unlinks the item from the list that still holds it. Inline, as most
    // items (a record's values) are never in a list.
    virtual ~CKesListable()
    {
        if (m_List.load() != nullptr) Unlink();
    }

    // A new, independent copy of source; derived classes override it.
    // The base has nothing to copy and returns null.
    virtual CKesListable* KLTargetDeepCopy(const CKesListable* source);

private:
    friend class CKesDoubleList;
    void Unlink();
    CKesListable* m_Prev = nullptr; // set by the holding list, under its lock
    CKesListable* m_Next = nullptr; // set by the holding list, under its lock
    // The list holding the item, or null. Atomic because a list checks it
    // for items that another list may hold.
    std::atomic<CKesDoubleList*> m_List{nullptr};
};
