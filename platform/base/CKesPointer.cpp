#include "CKesPointer.h"

#include <new>

CKesListable* CKesPointer::KLTargetDeepCopy(const CKesListable* source)
{
    const CKesPointer* holder = dynamic_cast<const CKesPointer*>(source);
    if (holder == nullptr) return nullptr;
    return new (std::nothrow) CKesPointer(holder->KPData());
}
