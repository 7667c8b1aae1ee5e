#include "CKesAtomVector.h"

const CKesAtom* CKesAtomVector::KAVGetValue(int index) const
{
    if (index < 0 || index >= KAVLength()) return nullptr;
    return &m_Atoms[static_cast<size_t>(index)];
}
