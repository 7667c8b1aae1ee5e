// CKesVarBind: one named value of a record. Owns its name and value.
// Not locked: one owner at a time.
#pragma once

#include "CKesAtom.h"
#include "CKesListable.h"

class CKesVarBind : public CKesListable {
public:
    CKesVarBind(const char* name, const char* text);
    CKesVarBind(const char* name, int value);
    CKesVarBind(const char* name, const CKesAtom& value);
    CKesVarBind(const CKesVarBind& other);
    ~CKesVarBind() override;

    const char* KVBName() const { return m_Name; }
    // The value, without transfer.
    CKesAtom* KVBValue() { return &m_Value; }
    const CKesAtom* KVBValue() const { return &m_Value; }
    CKesListable* KLTargetDeepCopy(const CKesListable* source) override;

private:
    CKesVarBind& operator=(const CKesVarBind&) = delete;

    char* m_Name;     // malloc'd copy of the name ("" when given null)
    CKesAtom m_Value; // the value
};
