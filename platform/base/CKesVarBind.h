// CKesVarBind: one named value of a record; owns its name and value.
// Created by whoever fills a record and usually handed to the record
// (CKesBaseRecord::KRAddValue), which destroys it with itself.
// Threads: one owner at a time; it takes no lock.
#pragma once

#include <cstddef>

#include "CKesAtom.h"
#include "CKesListable.h"

class CKesVarBind : public CKesListable {
public:
    CKesVarBind(const char* name, const char* text);
    CKesVarBind(const char* name, int value);
    CKesVarBind(const char* name, const CKesAtom& value);
    // The name given as nameLength bytes (not NUL-terminated); the value is
    // moved in. Used by the record decoder to avoid extra copies.
    CKesVarBind(const char* name, size_t nameLength, CKesAtom&& value);
    CKesVarBind(const CKesVarBind& other);
    ~CKesVarBind() override;

    // The name; never null ("" when constructed with null or when memory ran out).
    const char* KVBName() const { return m_Name; }
    // The value, without transfer.
    CKesAtom* KVBValue() { return &m_Value; }
    const CKesAtom* KVBValue() const { return &m_Value; }
    // A new copy of source; null when source is no CKesVarBind.
    CKesListable* KLTargetDeepCopy(const CKesListable* source) override;

private:
    CKesVarBind& operator=(const CKesVarBind&) = delete;
    void SetName(const char* name, size_t length);

    // Most names are short: they live in m_ShortName, which saves an
    // allocation per value; a longer one gets a heap copy.
    static constexpr size_t kShortName = 24; // bytes, with the closing NUL
    char* m_Name;                            // m_ShortName or a malloc'd copy; never null
    char m_ShortName[kShortName];            // the name when it fits
    CKesAtom m_Value;                        // the value
};
