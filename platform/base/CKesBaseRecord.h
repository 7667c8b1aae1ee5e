// CKesBaseRecord: a record of named values (CKesVarBind), kept in insertion
// order, and its encoding (one MessagePack map: names as str, integers as
// int, texts as str, doubles as float64, byte strings as bin).
// Owned by whoever created it; not locked.
#pragma once

#include <vector>

#include "CKesListable.h"
#include "CKesVarBind.h"

class CKesBaseRecord : public CKesListable {
public:
    CKesBaseRecord() = default;
    CKesBaseRecord(const CKesBaseRecord& other);
    CKesBaseRecord& operator=(const CKesBaseRecord&) = delete;
    ~CKesBaseRecord() override;

    // Adds the value, which the record takes over (also on failure: a null
    // name deletes it). 1, or -220552 for a null value.
    int KRAddValue(CKesVarBind* value);
    // Adds a text / integer value under the name. 1, or -220552 for a null name.
    int KRAddValue(const char* name, const char* text);
    int KRAddValue(const char* name, const CKesAtom& value);
    // The first value of that name (the record keeps it), or null.
    CKesAtom* KRValueOf(const char* name) const;
    int KRCount() const { return static_cast<int>(m_Values.size()); }
    // The value at index in insertion order, or null.
    const CKesVarBind* KRValueAt(int index) const;
    // Prints the record to standard output (trace use).
    void KRPrint() const;
    // Writes a new malloc'd buffer with the encoding and its length into the
    // out-arguments. 1; on failure a negative code and a null buffer.
    int KOMEncode(unsigned char** buffer, unsigned int* length) const;

protected:
    void KRClear();
    std::vector<CKesVarBind*> m_Values; // owned, insertion order
};
