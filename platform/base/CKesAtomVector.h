// CKesAtomVector: an ordered vector of atoms, owning copies of them.
// Created and destroyed by its owner. Threads: one owner at a time; no lock.
#pragma once

#include <vector>

#include "CKesAtom.h"

class CKesAtomVector {
public:
    CKesAtomVector() = default;

    void KAVAppend(const CKesAtom& atom) { m_Atoms.push_back(atom); }
    int KAVLength() const { return static_cast<int>(m_Atoms.size()); }
    // The element at index, or null when the index is out of range.
    const CKesAtom* KAVGetValue(int index) const;

private:
    std::vector<CKesAtom> m_Atoms; // the elements, owned
};
