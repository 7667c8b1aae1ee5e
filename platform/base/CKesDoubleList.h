// CKesDoubleList: an ordered, intrusive list of CKesListable items.
// Created and destroyed by its owner. The list owns its items: destroying it
// destroys the items still in it, through their virtual destructors.
// Threads: any. Each operation is atomic under the list's own lock (the only
// lock it takes; it is never held while an item is destroyed), so several
// threads may add, unlink and read at once; a walk (KDLHead/KDLGetNext) is
// only safe while no other thread unlinks the item the walker stands on.
#pragma once

#include <mutex>

#include "CKesListable.h"
#include "KesErrorCodes.h"

class CKesDoubleList {
public:
    CKesDoubleList() = default;
    virtual ~CKesDoubleList();

    // 1, or KES_ERR_ARGUMENT for a null item or one already in a list.
    int KDLAddToListEnd(CKesListable* item);
    int KDLAddToListStart(CKesListable* item);
    // The first / last item; null on an empty list.
    CKesListable* KDLHead() const;
    CKesListable* KDLTail() const;
    // The item after `item`; null after the last or for an item not in this list.
    CKesListable* KDLGetNext(const CKesListable* item) const;
    int KDLLength() const;
    // Takes the old head out of the list (not destroyed), so that its
    // successor becomes the first item. newHead must be that successor or
    // null; null never drops the items after the old head. 1 (also on an
    // empty list), or KES_ERR_ARGUMENT when newHead is neither null nor the old
    // head's successor (the list is left unchanged).
    int KDLSetHead(CKesListable* newHead);
    // Unlinks item without destroying it; 1 when it was in this list, else 0.
    int KDLAttemptToDeleteFromList(CKesListable* item);

private:
    CKesDoubleList(const CKesDoubleList&) = delete;
    CKesDoubleList& operator=(const CKesDoubleList&) = delete;
    int AddLocked(CKesListable* item, bool atEnd);
    void UnlinkLocked(CKesListable* item);

    mutable std::mutex m_Lock;      // guards every link of the list
    CKesListable* m_Head = nullptr; // first item
    CKesListable* m_Tail = nullptr; // last item
    int m_Length = 0;               // number of items
};
