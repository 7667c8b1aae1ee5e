// CKesPointer: a listable holder of one untyped pointer. Destroying the
// holder leaves the pointed-to object alone. Not locked: one owner at a time.
#pragma once

#include "CKesListable.h"

class CKesPointer : public CKesListable {
public:
    explicit CKesPointer(void* data = nullptr) : m_Data(data) {}
    ~CKesPointer() override = default;

    void* KPData() const { return m_Data; }
    void KPSetData(void* data) { m_Data = data; }
    // A new holder of the same pointer.
    CKesListable* KLTargetDeepCopy(const CKesListable* source) override;

private:
    void* m_Data; // the held pointer, never owned
};
