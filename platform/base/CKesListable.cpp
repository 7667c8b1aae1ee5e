#include "CKesListable.h"

#include "CKesDoubleList.h"

void CKesListable::Unlink()
{
    CKesDoubleList* list = m_List.load();
    if (list != nullptr) list->KDLAttemptToDeleteFromList(this);
}

CKesListable* CKesListable::KLTargetDeepCopy(const CKesListable*) { return nullptr; }
