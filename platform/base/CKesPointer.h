// CKesPointer: a listable holder of one untyped pointer.
// Created and destroyed by its owner (often a CKesTreeList or the list it is
// in); destroying the holder leaves the pointed-to object alone.
// Threads: one owner at a time; it takes no lock.
#pragma once

#include "CKesListable.h"

class CKesPointer : public CKesListable {
public:
    explicit CKesPointer(void* data = nullptr) : m_Data(data) {}
    ~CKesPointer() override = default;

    void* KPData() const { return m_Data; }
    void KPSetData(void* data) { m_Data = data; }
    // A new holder of the same pointer; null when source is no CKesPointer.
    CKesListable* KLTargetDeepCopy(const CKesListable* source) override;

private:
    void* m_Data; // the held pointer, never owned
};
