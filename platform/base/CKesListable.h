// CKesListable: base of every object kept in a CKesDoubleList; the object is
// itself the list element (intrusive links), so it sits in at most one list.
// Created and destroyed by its owner; a list destroys the items still in it.
// Thread use: the links are guarded by the list that holds the item.
#pragma once

class CKesDoubleList;

class CKesListable {
public:
    CKesListable() = default;
    // Copies carry no links: a copy is in no list.
    CKesListable(const CKesListable&) : CKesListable() {}
    CKesListable& operator=(const CKesListable&) { return *this; }
    // Unlinks the item from the list that still holds it.
    virtual ~CKesListable();

    // A new, independent copy of source; derived classes override it.
    // The base has nothing to copy and returns null.
    virtual CKesListable* KLTargetDeepCopy(const CKesListable* source);

private:
    friend class CKesDoubleList;
    CKesListable* m_Prev = nullptr;   // set by the holding list
    CKesListable* m_Next = nullptr;   // set by the holding list
    CKesDoubleList* m_List = nullptr; // the list holding the item, or null
};
